#pragma once

#include <QString>
#include <QStringList>

// What the user asked for, checked before any connection is made.
struct CliOptions
{
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 47812;
    int timeoutMs = 3000;

    QString command;
    // The command's arguments, already checked: controller ids are plain
    // decimal numbers, values use "." as decimal point.
    QStringList arguments;

    bool json = false;     // list --json
    int intervalMs = 100;  // watch --interval
    int count = 0;         // watch --count; 0 runs until Ctrl-C

    bool help = false;
    bool version = false;
};

// kestrel-cli's command line: global options first, then the command and
// its arguments. After the command only that command's own options are
// recognised, so "set 0 -1" and "text '--x'" reach the server as written.
class CommandLine
{
public:
    // False, with a message for the user, when the arguments make no sense.
    static bool parse(const QStringList& arguments, CliOptions* options, QString* error);
    static QString helpText();
};
