#include "commandline.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <climits>

namespace {

struct CommandShape
{
    const char* name;
    int minArguments;
    int maxArguments; // -1: any number
};

const CommandShape kCommands[] = {
    {"server-name", 0, 0}, {"client-id", 0, 0}, {"loco", 0, 0},  {"train", 0, 0},
    {"shared", 0, 0},      {"share", 8, 8},     {"name", 1, 1},  {"list", 0, 0},
    {"get", 1, -1},        {"set", 2, 2},       {"text", 1, 1},  {"watch", 0, -1},
};

const CommandShape* findCommand(const QString& name)
{
    for (const CommandShape& shape : kCommands) {
        if (name == QLatin1String(shape.name))
            return &shape;
    }
    return nullptr;
}

bool readNumber(const QString& text, qint64 minimum, qint64 maximum, qint64* value)
{
    static const QRegularExpression digits(QStringLiteral("^-?[0-9]+$"));
    if (!digits.match(text).hasMatch())
        return false;
    bool ok = false;
    const qint64 number = text.toLongLong(&ok, 10);
    if (!ok || number < minimum || number > maximum)
        return false;
    *value = number;
    return true;
}

// Controller ids as the server reads them: plain decimal numbers. Written
// back without leading zeros, since the server echoes "007" as "7".
bool readIds(const QStringList& texts, QStringList* ids, QString* error)
{
    for (const QString& text : texts) {
        qint64 id = 0;
        if (!readNumber(text, 0, INT_MAX, &id)) {
            *error = QStringLiteral("\"%1\" is no controller id (a number from 0 up)").arg(text);
            return false;
        }
        ids->append(QString::number(id));
    }
    return true;
}

// A decimal number with "." or "," as decimal point; the framed commands
// want ".", so a comma is turned into one.
bool readDecimal(const QString& text, QString* value)
{
    QString normalised = text;
    normalised.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    normalised.toDouble(&ok);
    if (!ok || normalised.trimmed() != normalised)
        return false;
    *value = normalised;
    return true;
}

bool checkArguments(CliOptions* options, QString* error)
{
    const QStringList given = options->arguments;
    QStringList& out = options->arguments;
    const QString& command = options->command;

    if (command == QLatin1String("get") || command == QLatin1String("watch")) {
        out.clear();
        return readIds(given, &out, error);
    }
    if (command == QLatin1String("set")) {
        out.clear();
        if (!readIds({given.at(0)}, &out, error))
            return false;
        QString value;
        if (!readDecimal(given.at(1), &value)) {
            *error = QStringLiteral("\"%1\" is no number").arg(given.at(1));
            return false;
        }
        out.append(value);
        return true;
    }
    if (command == QLatin1String("share")) {
        // The server splits the eight values at ":"; a text holding one
        // would shift every value after it.
        for (int i = 0; i < 2; ++i) {
            if (given.at(i).contains(QLatin1Char(':'))) {
                *error = QStringLiteral("TEXT%1 \"%2\" holds a \":\", which the server cannot store")
                             .arg(i + 1)
                             .arg(given.at(i));
                return false;
            }
        }
        QString number;
        if (!readDecimal(given.at(2), &number)) {
            *error = QStringLiteral("NUMBER \"%1\" is no number").arg(given.at(2));
            return false;
        }
        out[2] = number;
        for (int i = 3; i < 8; ++i) {
            qint64 value = 0;
            if (!readNumber(given.at(i), INT_MIN, INT_MAX, &value)) {
                *error = QStringLiteral("INT%1 \"%2\" is no 32-bit integer").arg(i - 2).arg(given.at(i));
                return false;
            }
            out[i] = QString::number(value);
        }
        return true;
    }
    if (command == QLatin1String("text") && given.at(0).isEmpty()) {
        *error = QStringLiteral("text needs something to send");
        return false;
    }
    return true;
}

} // namespace

bool CommandLine::parse(const QStringList& arguments, CliOptions* options, QString* error)
{
    error->clear();
    // Global options end at the command: what follows it is the command's,
    // so "set 0 -1" and "text --x" reach the server as written.
    QCommandLineParser global;
    global.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption host(QStringLiteral("host"), QString(), QStringLiteral("H"));
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("P"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("MS"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    global.addOptions({host, port, timeout, help, version});
    if (!global.parse(QStringList{QStringLiteral("kestrel-cli")} + arguments)) {
        *error = global.errorText();
        return false;
    }
    if (global.isSet(help) || global.isSet(version)) {
        options->help = global.isSet(help);
        options->version = !options->help;
        return true;
    }
    if (global.isSet(host)) {
        options->host = global.value(host);
        if (options->host.isEmpty()) {
            *error = QStringLiteral("--host needs a host name or address");
            return false;
        }
    }
    qint64 number = 0;
    if (global.isSet(port)) {
        if (!readNumber(global.value(port), 1, 65535, &number)) {
            *error = QStringLiteral("--port needs a number from 1 to 65535, not \"%1\"").arg(global.value(port));
            return false;
        }
        options->port = quint16(number);
    }
    if (global.isSet(timeout)) {
        if (!readNumber(global.value(timeout), 1, INT_MAX, &number)) {
            *error = QStringLiteral("--timeout needs a number of milliseconds above 0, not \"%1\"")
                         .arg(global.value(timeout));
            return false;
        }
        options->timeoutMs = int(number);
    }

    QStringList rest = global.positionalArguments();
    if (rest.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    options->command = rest.takeFirst();
    const CommandShape* shape = findCommand(options->command);
    if (!shape) {
        *error = QStringLiteral("unknown command \"%1\"").arg(options->command);
        return false;
    }

    // Only "list" and "watch" have options of their own; their arguments
    // are ids, never negative.
    if (options->command == QLatin1String("list") || options->command == QLatin1String("watch")) {
        QCommandLineParser own;
        const QCommandLineOption json(QStringLiteral("json"));
        const QCommandLineOption interval(QStringLiteral("interval"), QString(), QStringLiteral("MS"));
        const QCommandLineOption count(QStringLiteral("count"), QString(), QStringLiteral("N"));
        if (options->command == QLatin1String("list"))
            own.addOption(json);
        else
            own.addOptions({interval, count});
        if (!own.parse(QStringList{options->command} + rest)) {
            *error = own.errorText();
            return false;
        }
        rest = own.positionalArguments();
        options->json = options->command == QLatin1String("list") && own.isSet(json);
        if (options->command == QLatin1String("watch") && own.isSet(interval)) {
            if (!readNumber(own.value(interval), 1, INT_MAX, &number)) {
                *error = QStringLiteral("--interval needs a number of milliseconds above 0, not \"%1\"")
                             .arg(own.value(interval));
                return false;
            }
            options->intervalMs = int(number);
        }
        if (options->command == QLatin1String("watch") && own.isSet(count)) {
            if (!readNumber(own.value(count), 1, INT_MAX, &number)) {
                *error = QStringLiteral("--count needs a number above 0, not \"%1\"").arg(own.value(count));
                return false;
            }
            options->count = int(number);
        }
    }
    options->arguments = rest;

    const int given = options->arguments.size();
    if (given < shape->minArguments || (shape->maxArguments >= 0 && given > shape->maxArguments)) {
        if (shape->minArguments == shape->maxArguments)
            *error = QStringLiteral("%1 takes %2 argument(s), not %3").arg(options->command).arg(shape->minArguments).arg(given);
        else
            *error = QStringLiteral("%1 needs at least %2 argument(s)").arg(options->command).arg(shape->minArguments);
        return false;
    }
    return checkArguments(options, error);
}

QString CommandLine::helpText()
{
    return QStringLiteral(R"help(Usage: kestrel-cli [--host H] [--port P] [--timeout MS] COMMAND [ARGUMENTS]

Asks a Kestrel server for its locomotive's values, or sets them. Each run
opens one connection, sends its requests one at a time and checks that every
reply carries the request's tag and the expected reply code.

Options (before the command):
  --host H        server to ask (default 127.0.0.1)
  --port P        its port (default 47812)
  --timeout MS    longest wait for the connection and for each reply
                  (default 3000)
  -h, --help      show this text
  --version       show the version

Commands:
  server-name     the server's name (framed code 2)
  client-id       the id the server gave this connection (3)
  loco            the locomotive's name (5)
  train           the train data and the shared values, labelled (4)
  shared          the eight shared values, labelled (10)
  share TEXT1 TEXT2 NUMBER INT1 INT2 INT3 INT4 INT5
                  stores the shared values (9); prints TRUE or FALSE
  name NAME       tells the server this client's name (1; no reply)
  list [--json]   the controllers as a table of index, name, minimum and
                  maximum (7); --json prints the server's JSON list unchanged
                  (plain text "GetControllerListExtended(JSON)")
  get ID...       one "ID VALUE" line per controller (6)
  set ID VALUE    sets a controller (8) and prints the server's answer
  text 'TEXT'     sends TEXT as plain text and prints the raw answer
  watch [ID...] [--interval MS] [--count N]
                  a live table of controller names and values, polled
                  every MS milliseconds (default 100) until Ctrl-C or N
                  rounds; every controller when no ID is given. Redraws in
                  place on a terminal; otherwise prints one line per round:
                  "HH:MM:SS.mmm NAME=VALUE ..."

Plain-text answers carry no terminator. "text" prints what arrives until
nothing more has come for 250 ms, or until the timeout; when nothing comes
at all (SetControllerValue and SetClientName have no answer) it prints
nothing, says so on standard error and exits with status 0; an answer that
is a no-result text exits with status 1. "list --json" reads until the bytes
form a complete JSON document; a server without the simulator's library
sends none, and it exits with status 4 after the timeout.

Exit status:
  0  success
  1  the server answered without a result: FALSE, NO RESULT, no result,
     FUNCTION NOT IMPLEMENTED, or the request echoed (no library loaded)
  2  usage error
  3  cannot connect to the server
  4  no reply within the timeout
  5  malformed reply (not a frame, wrong tag or code, unreadable content)
  6  the server closed the connection before replying
)help");
}
