#include "commandrunner.h"

#include "exitstatus.h"
#include "interruptsignal.h"
#include "watchview.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QThread>

#include <algorithm>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

const QString kSetConfirmation = QStringLiteral("Set CtrlValue: ");

// The JSON list is complete once it parses and its closing line feed is
// there; the server sends it in one piece, but TCP may deliver it in several.
bool isCompleteJson(const QByteArray& bytes)
{
    if (!bytes.endsWith('\n'))
        return false;
    QJsonParseError error;
    QJsonDocument::fromJson(bytes, &error);
    return error.error == QJsonParseError::NoError;
}

void writeBytes(std::FILE* file, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
    std::fflush(file);
}

} // namespace

CommandRunner::CommandRunner(const CliOptions& options, std::FILE* out, std::FILE* err)
    : m_options(options)
    , m_client(options.host, options.port, options.timeoutMs)
    , m_out(out)
    , m_err(err)
{
}

int CommandRunner::run()
{
    const KestrelClient::Reply connected = m_client.connectToServer();
    if (!connected.ok())
        return failed(connected);

    const QString& command = m_options.command;
    int status = ExitUsage;
    if (command == QLatin1String("server-name"))
        status = serverName();
    else if (command == QLatin1String("client-id"))
        status = clientId();
    else if (command == QLatin1String("loco"))
        status = loco();
    else if (command == QLatin1String("train"))
        status = train();
    else if (command == QLatin1String("shared"))
        status = shared();
    else if (command == QLatin1String("share"))
        status = share();
    else if (command == QLatin1String("name"))
        status = name();
    else if (command == QLatin1String("list"))
        status = m_options.json ? listJson() : list();
    else if (command == QLatin1String("get"))
        status = get();
    else if (command == QLatin1String("set"))
        status = set();
    else if (command == QLatin1String("text"))
        status = text();
    else if (command == QLatin1String("watch"))
        status = watch();
    m_client.disconnect();
    return status;
}

// ---- Reporting ----

void CommandRunner::print(const QString& line)
{
    writeBytes(m_out, (line + QLatin1Char('\n')).toUtf8());
}

void CommandRunner::printLabelled(const LabelledValues& values)
{
    int width = 0;
    for (const auto& value : values)
        width = std::max(width, int(value.first.size()));
    for (const auto& value : values) {
        QString line = value.first.leftJustified(width + 2) + value.second;
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        print(line);
    }
}

void CommandRunner::complain(const QString& message)
{
    writeBytes(m_err, QStringLiteral("kestrel-cli: %1\n").arg(message).toUtf8());
}

int CommandRunner::failed(const KestrelClient::Reply& reply)
{
    switch (reply.outcome) {
    case KestrelClient::Outcome::Ok:
    case KestrelClient::Outcome::Cancelled:
        return ExitOk;
    case KestrelClient::Outcome::CannotConnect:
        complain(reply.error);
        return ExitCannotConnect;
    case KestrelClient::Outcome::Timeout:
        complain(reply.error);
        return ExitTimeout;
    case KestrelClient::Outcome::Malformed:
        complain(QStringLiteral("malformed reply: %1").arg(reply.error));
        return ExitMalformedReply;
    case KestrelClient::Outcome::Closed:
        complain(reply.error);
        return ExitConnectionClosed;
    }
    return ExitMalformedReply;
}

int CommandRunner::malformed(const QString& what, const QString& payload)
{
    complain(QStringLiteral("malformed reply: %1 expected, got \"%2\"").arg(what, payload));
    return ExitMalformedReply;
}

int CommandRunner::noResult(const QString& payload)
{
    complain(QStringLiteral("the server has no result: %1").arg(payload));
    return ExitNoResult;
}

bool CommandRunner::fetch(FrameCommand command, const QString& argument, int replyCode, QString* payload, int* status)
{
    const KestrelClient::Reply reply = m_client.request(command, argument, replyCode);
    if (!reply.ok()) {
        *status = failed(reply);
        return false;
    }
    *payload = reply.payload;
    return true;
}

// ---- Commands ----

int CommandRunner::serverName()
{
    QString payload;
    int status = ExitOk;
    if (!fetch(FrameCommand::GetServerName, QString(), 2, &payload, &status))
        return status;
    print(payload);
    return ExitOk;
}

int CommandRunner::clientId()
{
    QString payload;
    int status = ExitOk;
    if (!fetch(FrameCommand::GetClientId, QString(), 3, &payload, &status))
        return status;
    bool isNumber = false;
    payload.toLongLong(&isNumber, 10);
    if (!isNumber)
        return malformed(QStringLiteral("a client id"), payload);
    print(payload);
    return ExitOk;
}

int CommandRunner::loco()
{
    QString payload;
    int status = ExitOk;
    if (!fetch(FrameCommand::GetLocoName, QString(), 5, &payload, &status))
        return status;
    if (ReplyParser::isNoResult(payload))
        return noResult(payload);
    print(payload);
    return ExitOk;
}

int CommandRunner::train()
{
    QString payload;
    int status = ExitOk;
    if (!fetch(FrameCommand::GetTrainData, QString(), 4, &payload, &status))
        return status;
    LabelledValues values;
    bool noTrainData = false;
    if (!ReplyParser::trainData(payload, &values, &noTrainData))
        return malformed(QStringLiteral("train data and eight shared values"), payload);
    printLabelled(values);
    if (noTrainData)
        return noResult(QStringLiteral("no result (train data)"));
    return ExitOk;
}

int CommandRunner::shared()
{
    QString payload;
    int status = ExitOk;
    if (!fetch(FrameCommand::GetSharedData, QString(), 10, &payload, &status))
        return status;
    LabelledValues values;
    if (!ReplyParser::sharedValues(payload, &values))
        return malformed(QStringLiteral("eight shared values"), payload);
    printLabelled(values);
    return ExitOk;
}

int CommandRunner::share()
{
    QString payload;
    int status = ExitOk;
    if (!fetch(FrameCommand::SetSharedData, m_options.arguments.join(QLatin1Char(':')), 10, &payload, &status))
        return status;
    if (payload != QLatin1String("TRUE") && payload != QLatin1String("FALSE"))
        return malformed(QStringLiteral("TRUE or FALSE"), payload);
    print(payload);
    return payload == QLatin1String("TRUE") ? ExitOk : ExitNoResult;
}

int CommandRunner::name()
{
    // No reply comes; success means the request left.
    const KestrelClient::Reply reply = m_client.post(FrameCommand::SetClientName, m_options.arguments.at(0));
    return reply.ok() ? ExitOk : failed(reply);
}

int CommandRunner::list()
{
    QVector<ControllerInfo> controllers;
    int status = ExitOk;
    if (!controllerNames(&controllers, &status))
        return status;

    const QStringList headers = {QStringLiteral("INDEX"), QStringLiteral("NAME"), QStringLiteral("MIN"),
                                 QStringLiteral("MAX")};
    int widths[4] = {int(headers[0].size()), int(headers[1].size()), int(headers[2].size()), int(headers[3].size())};
    for (const ControllerInfo& controller : controllers) {
        widths[0] = std::max(widths[0], int(QString::number(controller.index).size()));
        widths[1] = std::max(widths[1], int(controller.name.size()));
        widths[2] = std::max(widths[2], int(controller.minimum.size()));
        widths[3] = std::max(widths[3], int(controller.maximum.size()));
    }
    // Numbers to the right, the name to the left.
    auto row = [&widths](const QString& index, const QString& name, const QString& minimum, const QString& maximum) {
        QString line = QStringLiteral("%1  %2  %3  %4")
                           .arg(index, widths[0])
                           .arg(name, -widths[1])
                           .arg(minimum, widths[2])
                           .arg(maximum, widths[3]);
        return line;
    };
    print(row(headers[0], headers[1], headers[2], headers[3]));
    for (const ControllerInfo& controller : controllers)
        print(row(QString::number(controller.index), controller.name, controller.minimum, controller.maximum));
    if (controllers.isEmpty())
        complain(QStringLiteral("the server lists no controllers"));
    return ExitOk;
}

bool CommandRunner::controllerNames(QVector<ControllerInfo>* controllers, int* status)
{
    QString payload;
    if (!fetch(FrameCommand::GetControllerList, QString(), 7, &payload, status))
        return false;
    if (ReplyParser::isNoResult(payload)) {
        *status = noResult(payload);
        return false;
    }
    if (!ReplyParser::controllerList(payload, controllers)) {
        *status = malformed(QStringLiteral("a controller list"), payload);
        return false;
    }
    return true;
}

int CommandRunner::listJson()
{
    KestrelClient::Reply reply
        = m_client.requestText(QByteArrayLiteral("GetControllerListExtended(JSON)<END>"), isCompleteJson);
    if (reply.outcome == KestrelClient::Outcome::Timeout && reply.bytes.isEmpty()) {
        complain(reply.error + QStringLiteral(" (a server without the simulator's library sends no JSON list)"));
        return ExitTimeout;
    }
    if (reply.outcome == KestrelClient::Outcome::Timeout && !reply.bytes.isEmpty()) {
        // All there is; a document without its closing line feed still counts.
        if (QJsonDocument::fromJson(reply.bytes).isNull()) {
            const QString text = QString::fromLocal8Bit(reply.bytes);
            return ReplyParser::isNoResult(text) ? noResult(text) : malformed(QStringLiteral("a JSON document"), text);
        }
        reply.outcome = KestrelClient::Outcome::Ok;
    }
    if (!reply.ok())
        return failed(reply);
    writeBytes(m_out, reply.bytes);
    return ExitOk;
}

int CommandRunner::get()
{
    const QStringList& ids = m_options.arguments;
    const QString request = ids.join(QLatin1Char(':'));
    QString payload;
    int status = ExitOk;
    if (!fetch(FrameCommand::GetControllerValues, request, 7, &payload, &status))
        return status;
    if (ReplyParser::isNoResult(payload))
        return noResult(payload);
    // A server without a library answers the request unchanged.
    if (payload == request)
        return noResult(QStringLiteral("the request came back unchanged (no simulator library loaded?)"));

    QVector<ControllerValue> values;
    bool matches = ReplyParser::controllerValues(payload, &values) && values.size() == ids.size();
    for (int i = 0; matches && i < ids.size(); ++i)
        matches = QString::number(values.at(i).id) == ids.at(i);
    if (!matches)
        return malformed(QStringLiteral("one ID:VALUE:: record per id asked for"), payload);
    for (const ControllerValue& value : values)
        print(QStringLiteral("%1 %2").arg(value.id).arg(value.value));
    return ExitOk;
}

int CommandRunner::set()
{
    const QString request = m_options.arguments.join(QLatin1Char(':'));
    QString payload;
    int status = ExitOk;
    if (!fetch(FrameCommand::SetControllerValue, request, 8, &payload, &status))
        return status;
    if (payload == kSetConfirmation + request) {
        print(payload);
        return ExitOk;
    }
    if (ReplyParser::isNoResult(payload))
        return noResult(payload);
    return malformed(QStringLiteral("\"%1\"").arg(kSetConfirmation + request), payload);
}

int CommandRunner::text()
{
    const KestrelClient::Reply reply = m_client.requestText(m_options.arguments.at(0).toLocal8Bit(), nullptr);
    if (reply.outcome == KestrelClient::Outcome::Timeout && reply.bytes.isEmpty()) {
        complain(QStringLiteral("no answer within %1 ms (some commands, such as SetControllerValue, have none)")
                     .arg(m_options.timeoutMs));
        return ExitOk;
    }
    if (!reply.ok())
        return failed(reply);
    writeBytes(m_out, reply.bytes.endsWith('\n') ? reply.bytes : reply.bytes + '\n');
    // The answer as it came, and a status a script can tell it by.
    return ReplyParser::isNoResult(QString::fromLocal8Bit(reply.bytes)) ? ExitNoResult : ExitOk;
}

int CommandRunner::watch()
{
    QVector<ControllerInfo> controllers;
    int status = ExitOk;
    if (!controllerNames(&controllers, &status))
        return status;

    QStringList ids = m_options.arguments;
    if (ids.isEmpty()) {
        for (const ControllerInfo& controller : controllers)
            ids.append(QString::number(controller.index));
    }
    if (ids.isEmpty()) {
        complain(QStringLiteral("the server lists no controllers to watch"));
        return ExitNoResult;
    }
    QStringList names;
    for (const QString& id : ids) {
        const auto found = std::find_if(controllers.cbegin(), controllers.cend(),
                                        [&id](const ControllerInfo& c) { return QString::number(c.index) == id; });
        names.append(found != controllers.cend() ? found->name : QStringLiteral("#") + id);
    }

    InterruptSignal::install();
    m_client.setCancelCheck(&InterruptSignal::raised);
    WatchView view(m_out, isatty(fileno(m_out)) != 0, names, m_client.address());
    const QString request = ids.join(QLatin1Char(':'));
    QElapsedTimer clock;
    clock.start();
    qint64 due = 0;

    for (int round = 1; !InterruptSignal::raised(); ++round) {
        QString payload;
        if (!fetch(FrameCommand::GetControllerValues, request, 7, &payload, &status))
            break;
        QVector<ControllerValue> values;
        if (!ReplyParser::controllerValues(payload, &values) || values.size() != ids.size()) {
            view.finish();
            return ReplyParser::isNoResult(payload) ? noResult(payload)
                                                    : malformed(QStringLiteral("one ID:VALUE:: record per id"), payload);
        }
        QStringList shown;
        for (const ControllerValue& value : values)
            shown.append(value.value);
        view.show(shown);
        if (m_options.count > 0 && round >= m_options.count)
            break;
        // Rounds start on the interval's beat; a round late because the
        // previous one was slow starts at once, without catching up further.
        due = std::max(due + m_options.intervalMs, clock.elapsed());
        while (!InterruptSignal::raised() && clock.elapsed() < due)
            QThread::msleep(ulong(std::min<qint64>(20, due - clock.elapsed())));
    }
    view.finish();
    return status;
}
