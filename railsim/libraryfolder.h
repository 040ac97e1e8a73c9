#pragma once

#include <filesystem>

// The folder this library was loaded from, so that its description file is
// found beside it whatever the host's working folder is. Empty when the
// system cannot tell.
std::filesystem::path libraryFolder();
