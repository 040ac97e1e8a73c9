// Kestrel: serves a train simulator's RailDriver library to network clients.
// The program has no command-line options of its own; Qt takes what it knows.

#include "kestrel.h"

#include <QApplication>
#include <QEvent>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);

    int result = 0;
    {
        Kestrel window;
        window.show();
        // Ends when the last window has closed.
        result = app.exec();
    }
    // The window hands a server that still exists to deferred deletion, and
    // no event loop runs again to carry it out: do it here, so that the
    // server closes its port and goes before the application object.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
