#include "shutdownsignal.h"

#include <QCoreApplication>
#include <QMetaObject>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Asks the event loop to end; safe from any thread.
void requestQuit()
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
}

#ifdef Q_OS_WIN
HANDLE g_shutdownDone = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    requestQuit();
    // After these the system ends the process when the handler returns.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_shutdownDone, INFINITE);
    return TRUE;
}
#else
// The handler may run on any thread at any moment: it only writes a byte to
// a socket that the event loop watches.
int g_signalSockets[2] = {-1, -1};

extern "C" void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalSockets[1], &byte, 1);
}
#endif

} // namespace

bool ShutdownSignal::install(QCoreApplication* app)
{
#ifdef Q_OS_WIN
    Q_UNUSED(app)
    g_shutdownDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A program started by one that ignores Ctrl-C inherits that; this one
    // wants it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    return g_shutdownDone && SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalSockets) != 0)
        return false;
    auto* notifier = new QSocketNotifier(g_signalSockets[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [] {
        char byte = 0;
        [[maybe_unused]] const auto bytesRead = ::read(g_signalSockets[0], &byte, 1);
        requestQuit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
#endif
}

void ShutdownSignal::shutdownDone()
{
#ifdef Q_OS_WIN
    if (g_shutdownDone)
        SetEvent(g_shutdownDone);
#endif
}
