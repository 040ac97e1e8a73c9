#pragma once

class QCoreApplication;

// Ends a console program's event loop on the requests to stop that the
// system sends it: SIGINT and SIGTERM on Unix; Ctrl-C, Ctrl-Break, closing
// the console window, logging off and shutting down on Windows. The
// program's own shutdown then runs as after any other end of the loop.
class ShutdownSignal
{
public:
    // False when the system refused the handlers.
    static bool install(QCoreApplication* app);
    // Tells a pending request that the program's shutdown is done. Windows
    // ends a process whose console is being closed as soon as the handler
    // returns, so the handler waits for this (the system allows it a few
    // seconds).
    static void shutdownDone();
};
