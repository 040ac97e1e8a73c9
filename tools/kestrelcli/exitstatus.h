#pragma once

// kestrel-cli's exit statuses, one per kind of failure, so that scripts can
// tell "the server is not there" from "the server said no". --help and
// examples/README.md list them; keep the three in step.
enum ExitStatus {
    ExitOk = 0,
    // The server answered, but without a result: FALSE to "share", one of
    // its no-result texts ("NO RESULT", "no result", "FUNCTION NOT
    // IMPLEMENTED"), or an echo of the request when it has no library.
    ExitNoResult = 1,
    ExitUsage = 2,
    ExitCannotConnect = 3,
    ExitTimeout = 4,
    ExitMalformedReply = 5,
    ExitConnectionClosed = 6,
};
