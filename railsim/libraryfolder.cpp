#include "libraryfolder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <string>
#include <system_error>

namespace {

// Any object of ours tells the loader which library to name; a data object
// spares us converting a function pointer to a data pointer.
const char kMarker = 0;

} // namespace

std::filesystem::path libraryFolder()
{
    std::filesystem::path library;
#ifdef _WIN32
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&kMarker), &module))
        return {};
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, name.data(), DWORD(name.size()));
        if (length == 0)
            return {};
        if (length < name.size()) {
            name.resize(length);
            break;
        }
        name.resize(name.size() * 2);
    }
    library = name;
#else
    Dl_info info{};
    if (dladdr(&kMarker, &info) == 0 || info.dli_fname == nullptr)
        return {};
    library = info.dli_fname;
#endif
    // The loader keeps the name it was given, which may be relative to the
    // working folder of the moment; pin it down before anyone changes that.
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(library, error);
    return (error ? library : absolute).parent_path();
}
