#pragma once

// Result code of every simulator interface operation. The network side only
// ever sends the answer text; the code is for callers that want to know why
// an answer is a no-result text.
using InterfaceResult = int;

enum : InterfaceResult {
    ResultOk = 0,
    ResultNotConnected = 1,
    ResultLibraryNotLoaded = 2,
    // 3 is not used by any operation.
    ResultNoFunction = 4,
    ResultNotImplemented = 5,
    ResultBadArguments = 6,
};
