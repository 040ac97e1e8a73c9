// kestrel-cli: asks a Kestrel server for its locomotive's values from the
// command line, one command per run. Meant for client authors trying the
// protocol, for scripts and for watching controllers live.

#include "commandline.h"
#include "commandrunner.h"
#include "exitstatus.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrel-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));

    CliOptions options;
    QString error;
    if (!CommandLine::parse(QCoreApplication::arguments().mid(1), &options, &error)) {
        std::fprintf(stderr, "kestrel-cli: %s\nTry \"kestrel-cli --help\".\n", error.toLocal8Bit().constData());
        return ExitUsage;
    }
    if (options.help) {
        std::fputs(CommandLine::helpText().toLocal8Bit().constData(), stdout);
        return ExitOk;
    }
    if (options.version) {
        std::printf("kestrel-cli %s\n", KESTREL_VERSION);
        return ExitOk;
    }
    return CommandRunner(options, stdout, stderr).run();
}
