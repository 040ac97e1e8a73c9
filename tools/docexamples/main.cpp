// record-examples: the example exchanges of Kestrel's documents, played
// against kestreld and compared with what the documents show; --update
// writes what the server sent into them. A document that shows what the
// server does not send fails the check, so the documents cannot drift from
// the code.

#include "docexample.h"
#include "docrecorder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#endif

int main(int argc, char** argv)
{
#ifdef Q_OS_UNIX
    // Descriptors that the caller left open would pass on to kestreld and
    // move the socket numbers it hands its clients as their IDs.
    for (int descriptor = 3; descriptor < 1024; ++descriptor) {
        const int flags = ::fcntl(descriptor, F_GETFD);
        if (flags >= 0)
            ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
    }
#endif
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays the example exchanges of Markdown documents against kestreld on the simulated "
        "locomotive, and reports where a document shows other bytes than the server sends."));
    parser.addHelpOption();
    const QCommandLineOption update(QStringLiteral("update"), QStringLiteral("Write what the server sent into the documents."));
    const QCommandLineOption kestreld(QStringLiteral("kestreld"), QStringLiteral("The kestreld to ask."), QStringLiteral("PATH"));
    const QCommandLineOption simulator(QStringLiteral("simulator"),
                                       QStringLiteral("The simulated locomotive's folder (the build's \"simulator\")."),
                                       QStringLiteral("DIR"));
    parser.addOptions({update, kestreld, simulator});
    parser.addPositionalArgument(QStringLiteral("documents"), QStringLiteral("The Markdown files."), QStringLiteral("FILE..."));
    parser.process(app);
    if (!parser.isSet(kestreld) || !parser.isSet(simulator) || parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "record-examples: needs --kestreld, --simulator and at least one document\n");
        return 2;
    }

    // Absolute: kestreld runs in a folder of its own.
    DocRecorder recorder(QFileInfo(parser.value(kestreld)).absoluteFilePath(),
                         QFileInfo(parser.value(simulator)).absoluteFilePath());
    recorder.setRecording(parser.isSet(update));
    int differing = 0;
    for (const QString& document : parser.positionalArguments()) {
        QFile file(document);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "record-examples: cannot read %s\n", qPrintable(document));
            return 2;
        }
        QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        file.close();
        QVector<DocExample> examples;
        QString error;
        if (!DocExample::parse(document, lines, &examples, &error)) {
            std::fprintf(stderr, "record-examples: %s\n", qPrintable(error));
            return 2;
        }
        // From the last block up, so that the lines of those above stay where they are.
        for (auto example = examples.crbegin(); example != examples.crend(); ++example) {
            QVector<QStringList> received;
            if (!recorder.play(*example, &received, &error)) {
                std::fprintf(stderr, "record-examples: %s, block at line %d: %s\n", qPrintable(document),
                             example->firstLine, qPrintable(error));
                return 2;
            }
            QStringList differences;
            const QStringList body = example->rewritten(lines, received, &differences);
            for (const QString& difference : differences)
                std::printf("%s\n", qPrintable(difference));
            differing += differences.size();
            lines = lines.mid(0, example->firstLine) + body + lines.mid(example->firstLine + example->lineCount);
        }
        if (parser.isSet(update) && file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(lines.join(QLatin1Char('\n')).toUtf8());
        std::printf("%s: %d examples\n", qPrintable(document), int(examples.size()));
    }
    if (differing > 0)
        std::printf("%d differences%s\n", differing, parser.isSet(update) ? ", written into the documents" : "");
    return differing > 0 && !parser.isSet(update) ? 1 : 0;
}
