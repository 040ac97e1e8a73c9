// kestreld: Kestrel's server without a window, for Linux boxes, demos and
// client authors. It reads the same "kestrel.ini" in its working directory,
// runs the same service as the window and prints the lines the window's log
// pane would show.

#include "kestrelservice.h"
#include "logline.h"
#include "logwriter.h"
#include "settings.h"
#include "shutdownsignal.h"
#include "simulatorfolder.h"
#include "steamlibraries.h"
#include "qrmatrix.h"
#include "terminalqr.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>

#ifndef Q_OS_WIN
#include <ctime>
#include <sys/resource.h>
#include <sys/time.h>
#endif

namespace {

// How long the end of the program waits for clients and for the log output.
constexpr int kClientsEndMs = 1500;
constexpr int kOutputEndMs = 300;

// The time of day for a line's stamp, the same QTime::currentTime() gives:
// the same clock read the same way, the zone looked at anew (tzset) as Qt
// does before it converts. Qt goes through QDateTime and asks the C library
// three times per call; every request prints a line, so once is enough.
QTime timeOfDay()
{
#ifndef Q_OS_WIN
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const qint64 msecs = qint64(now.tv_sec) * 1000 + now.tv_usec / 1000;
    const time_t seconds = time_t(msecs / 1000);
    ::tzset();
    tm local{};
    if (::localtime_r(&seconds, &local))
        return QTime(local.tm_hour, local.tm_min, local.tm_sec, int(msecs % 1000));
#endif
    return QTime::currentTime();
}

// The simulated locomotive shipped with the build: beside the executable in
// an installed layout, else where this build tree put it.
QString builtInSimulatorFolder()
{
    const QStringList candidates = {
        QCoreApplication::applicationDirPath() + QStringLiteral("/simulator"),
        QStringLiteral(KESTREL_SIMULATOR_DIR),
    };
    for (const QString& folder : candidates) {
        if (QFileInfo::exists(SimulatorFolder::libraryPath(folder)))
            return QDir::cleanPath(folder);
    }
    return QStringLiteral(KESTREL_SIMULATOR_DIR);
}

// Qt's debug channel carries the short technical notes ("Data in: ..." for
// every frame) that the window never shows either; only with --trace do they
// reach standard error. Warnings always do.
bool traceEnabled = false;

void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg && !traceEnabled)
        return;
    std::fputs(message.toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
}

#ifndef Q_OS_WIN
// A server for many panels needs more descriptors than the usual soft limit
// of 1024 allows (two per client); take what the hard limit grants.
void raiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}
#endif

// Help and version go to standard output here: QCommandLineParser would show
// them in a message box on Windows when no console is attached.
void printText(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(messageHandler);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestreld"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Kestrel's headless server: serves a train simulator's RailDriver library to network "
        "clients. Reads kestrel.ini in the working directory; without a stored simulator folder "
        "it serves the simulated locomotive that the build ships."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Listen on port <N> instead of the stored one."),
                                        QStringLiteral("N"));
    const QCommandLineOption pathOption(QStringLiteral("simulator-path"),
                                        QStringLiteral("Serve the simulator folder <DIR> instead of the stored one."),
                                        QStringLiteral("DIR"));
    const QCommandLineOption traceOption(QStringLiteral("trace"),
                                         QStringLiteral("Also write Qt's debug notes (every frame received) to standard error."));
    const QCommandLineOption livePortOption(QStringLiteral("live-port"),
                                            QStringLiteral("Serve the cab display and its live values on port <N> "
                                                           "(default: the server's port plus one)."),
                                            QStringLiteral("N"));
    const QCommandLineOption noLiveOption(QStringLiteral("no-live"),
                                          QStringLiteral("Do not serve the cab display and its live values."));
    const QCommandLineOption noQrOption(QStringLiteral("no-qr"),
                                        QStringLiteral("Do not print the pairing link's QR code on the terminal."));
    parser.addOption(portOption);
    parser.addOption(pathOption);
    parser.addOption(livePortOption);
    parser.addOption(noLiveOption);
    const QCommandLineOption noDiscoveryOption(QStringLiteral("no-discovery"),
                                               QStringLiteral("Do not announce Kestrel on the local network (DNS-SD)."));
    parser.addOption(noQrOption);
    parser.addOption(noDiscoveryOption);
    parser.addOption(traceOption);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "kestreld: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        printText(parser.helpText());
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printText(QStringLiteral("kestreld %1\n").arg(QCoreApplication::applicationVersion()));
        return 0;
    }
    traceEnabled = parser.isSet(traceOption);
    // The handler drops the debug notes without --trace; telling Qt too lets
    // the server skip building the notes it writes for every request.
    if (!traceEnabled)
        QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, false);

    Settings settings(nullptr);
    quint16 port = settings.GetPort();
    if (parser.isSet(portOption)) {
        bool ok = false;
        const uint value = parser.value(portOption).toUInt(&ok);
        if (!ok || value > 65535) {
            std::fprintf(stderr, "kestreld: --port needs a number from 0 to 65535, not \"%s\"\n",
                         qPrintable(parser.value(portOption)));
            return 2;
        }
        port = quint16(value);
    }
    quint16 livePort = settings.GetLivePort(port);
    if (parser.isSet(livePortOption)) {
        bool ok = false;
        const uint value = parser.value(livePortOption).toUInt(&ok);
        if (!ok || value > 65535) {
            std::fprintf(stderr, "kestreld: --live-port needs a number from 0 to 65535, not \"%s\"\n",
                         qPrintable(parser.value(livePortOption)));
            return 2;
        }
        livePort = quint16(value);
    }

    QString firstLine;
    if (parser.isSet(pathOption)) {
        settings.OverrideTrainSimPath(parser.value(pathOption));
        firstLine = QStringLiteral("(Main) - Serving the simulator folder %1").arg(parser.value(pathOption));
    } else if (!settings.HasTrainSimPath()) {
        // Nothing stored: the simulator in Steam's libraries, else the simulated locomotive.
        const QStringList steam = SteamLibraries::steamFolders();
        const SteamLibraries::Found found = SteamLibraries::findSimulator(steam);
        const QString unstored = QStringLiteral("(Main) - No \"trainsim/path\" in %1").arg(settings.FileName());
        const QString folder = found.hasLibrary ? found.folder : builtInSimulatorFolder();
        settings.OverrideTrainSimPath(folder);
        if (found.hasLibrary)
            firstLine = unstored + QStringLiteral(": serving the simulator found in %1 (Steam library %2)").arg(folder, found.library);
        else if (!found.folder.isEmpty())
            firstLine = unstored + QStringLiteral(", and the simulator in %1 has no plugins/RailDriver64.dll: serving the "
                                                  "simulated locomotive in %2").arg(found.folder, folder);
        else if (!steam.isEmpty())
            firstLine = unstored + QStringLiteral(" and no simulator in Steam's libraries: serving the simulated locomotive in %1")
                                       .arg(folder);
        else
            firstLine = unstored + QStringLiteral(": serving the simulated locomotive in %1").arg(folder);
    } else {
        firstLine = QStringLiteral("(Main) - Serving the simulator folder %1").arg(settings.GetTrainSimPath());
    }
    LogWriter output;
    // kestreld's own lines: few, and never lost to a client's flood.
    const auto say = [&output](const QString& text) { output.write(LogLine::stamped(text), true); };
    say(firstLine);
    // The interface's own lines never reach the log, so without this a wrong
    // folder shows only as "NO RESULT" and empty answers in every client.
    // Serving goes on: each new client tries the library again.
    const QString problem = SimulatorFolder::problem(settings.GetTrainSimPath());
    if (!problem.isEmpty())
        say(QStringLiteral("(Main) - No RailDriver library, so clients get no simulator data: %1").arg(problem));

#ifndef Q_OS_WIN
    raiseDescriptorLimit();
#endif
    if (!ShutdownSignal::install(&app)) {
        std::fprintf(stderr, "kestreld: cannot install the handlers of Ctrl-C and SIGTERM\n");
        return 1;
    }

    KestrelService service(&settings);
    QObject::connect(&service, &KestrelService::logLine, &app,
                     [&settings, &output, &say](const QString& text, KestrelService::Level level) {
                         // The service's own lines (the port, the cab display)
                         // are kestreld's too: always shown, never dropped.
                         // The threshold is read anew for every other line, as
                         // the window does.
                         if (text.startsWith(QLatin1String("(Main) - ")))
                             say(text);
                         else if (LogLine::shown(int(level), settings.GetLogLevel()))
                             output.write(LogLine::stamped(text, timeOfDay()));
                     });
    KestrelService::Options options;
    options.port = port;
    options.live = !parser.isSet(noLiveOption);
    options.livePort = livePort;
    options.announce = !parser.isSet(noDiscoveryOption);
    if (!service.start(options)) {
        std::fprintf(stderr, "kestreld: cannot listen on port %u: %s\n", unsigned(port), qPrintable(service.listenError()));
        output.finish(kOutputEndMs);
        return 1;
    }
    // On a terminal, the pairing link to scan too; the link itself is always printed.
    QrMatrix pairingCode;
    if (!parser.isSet(noQrOption) && LogWriter::isTerminal() && pairingCode.encode(service.pairingLink())
        && !service.pairingLink().isEmpty())
        output.write(TerminalQr::render(pairingCode).chopped(1), true);

    const int status = app.exec();
    const bool clientsEnded = service.finish(kClientsEndMs);
    if (!clientsEnded)
        say(QStringLiteral("(Main) - Client threads did not end within %1 ms; ending without them").arg(kClientsEndMs));
    const bool outputDone = output.finish(kOutputEndMs);
    ShutdownSignal::shutdownDone();
    // A client left in a library call, or an output that takes nothing: end
    // here, without the clean-up that would wait for them.
    if (!clientsEnded || !outputDone)
        std::_Exit(status);
    return status;
}
