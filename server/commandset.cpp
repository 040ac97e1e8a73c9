#include "commandset.h"

#include "framecodec.h"
#include "numberformat.h"
#include "sharedclientdata.h"
#include "tsinterfacebase.h"

#include <QStringList>

namespace {

// A framed request's payload without the frame's closing ";".
QString argumentOf(const MessageFrame& request)
{
    QString payload = request.payload;
    payload.chop(1);
    return payload;
}

// The text between the first "(" and the first ")" of a plain-text command;
// false when either is missing. A ")" before the "(" yields the rest of the
// piece after the "(", as it always has.
bool bracketedArgument(const QString& piece, QString* argument)
{
    const int open = piece.indexOf(QLatin1Char('('));
    const int close = piece.indexOf(QLatin1Char(')'));
    if (open < 0 || close < 0)
        return false;
    *argument = piece.mid(open + 1, close - open - 1);
    return true;
}

} // namespace

CommandSet::CommandSet(TSInterfaceBase* simulator, SharedClientData* sharedData, qintptr clientId,
                       QString* clientName, CommandResponder* responder)
    : m_interface(simulator)
    , m_sharedData(sharedData)
    , m_clientId(clientId)
    , m_clientName(clientName)
    , m_responder(responder)
{
}

void CommandSet::reply(int command, int tag, const QString& payload)
{
    MessageFrame frame = FrameCodec::encode(command, tag, payload);
    if (frame.length > FrameCodec::MaxLength) {
        // No client could read the length of such a frame (it would take a
        // seventh digit): the request is answered with a short refusal.
        m_responder->log(QStringLiteral("(Server) - Reply of %1 bytes is too long for a frame; request refused")
                             .arg(frame.bytes.size()),
                         1);
        frame = FrameCodec::encode(command, tag, replyTooLong());
    }
    m_responder->sendBytes(frame.bytes);
}

void CommandSet::answerText(const QString& text)
{
    // Plain-text clients get the system's 8-bit code page, no framing.
    m_responder->sendBytes(text.toLocal8Bit());
}

// Filled by successive arg() calls, %1 first, as clients have always
// received it.
QString CommandSet::sharedValuesText(const QString& pattern) const
{
    const SharedClientData::Values values = m_sharedData->read();
    // Each value goes in place of its own placeholder in one pass. Filling
    // them by successive arg() calls would read a "%2" inside a client's
    // text as a placeholder for the next value: one client could then make
    // every other client's reply grow without bound (or overflow Qt's
    // string arithmetic). Without "%" in the texts both give the same text.
    const QString fields[8] = {values.text1,
                               values.text2,
                               NumberFormat::general(values.number),
                               NumberFormat::decimal(values.int1),
                               NumberFormat::decimal(values.int2),
                               NumberFormat::decimal(values.int3),
                               NumberFormat::decimal(values.int4),
                               NumberFormat::decimal(values.int5)};
    QString text;
    text.reserve(pattern.size() + values.text1.size() + values.text2.size() + 48);
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern.at(i);
        const QChar next = i + 1 < pattern.size() ? pattern.at(i + 1) : QChar();
        if (c == QLatin1Char('%') && next >= QLatin1Char('1') && next <= QLatin1Char('8')) {
            text += fields[next.unicode() - '1'];
            ++i;
        } else {
            text += c;
        }
    }
    return text;
}

QString CommandSet::storeSharedValues(const QString& payload)
{
    const QStringList parts = payload.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    if (parts.size() < 8)
        return QStringLiteral("FALSE");
    // The record is small and goes into every client's train data: texts
    // that would make those replies large (or too long for the frame's
    // six-digit length) are refused.
    if (parts.at(0).toUtf8().size() > MaxSharedTextBytes || parts.at(1).toUtf8().size() > MaxSharedTextBytes)
        return QStringLiteral("FALSE");
    SharedClientData::Values values;
    values.text1 = parts.at(0);
    values.text2 = parts.at(1);
    values.number = parts.at(2).toFloat();
    values.int1 = parts.at(3).toInt(nullptr, 10);
    values.int2 = parts.at(4).toInt(nullptr, 10);
    values.int3 = parts.at(5).toInt(nullptr, 10);
    values.int4 = parts.at(6).toInt(nullptr, 10);
    values.int5 = parts.at(7).toInt(nullptr, 10);
    m_sharedData->write(values);
    return QStringLiteral("TRUE");
}

void CommandSet::executeFrame(const MessageFrame& request)
{
    const int tag = request.tag;
    // Commands that need the simulator answer its no-result texts when the
    // client has no interface; that cannot happen once the client thread
    // runs, but the command layer does not rely on it.
    auto call = [this](int (TSInterfaceBase::*operation)(QString&), QString& text) {
        if (m_interface)
            (m_interface->*operation)(text);
    };

    switch (FrameCommand(request.command)) {
    case FrameCommand::SetClientName:
        *m_clientName = argumentOf(request);
        m_responder->log(QStringLiteral("(Server) - Client Name: %1").arg(*m_clientName), 1);
        return;
    case FrameCommand::GetServerName:
        m_responder->log(QStringLiteral("(Server) - Get Server name: %1").arg(serverName()), 0);
        reply(2, tag, serverName());
        return;
    case FrameCommand::GetClientId: {
        const QString id = QString::number(m_clientId);
        m_responder->log(QStringLiteral("(Server) - Get Client ID: %1").arg(id), 0);
        reply(3, tag, id);
        return;
    }
    case FrameCommand::GetTrainData: {
        QString text;
        call(&TSInterfaceBase::getTrainData, text);
        m_responder->log(QStringLiteral("(Server) - Get Train Data: %1").arg(text), 0);
        reply(4, tag, text + sharedValuesText(QStringLiteral(":%1:%2:%3:%4:%5:%6:%7:%8")));
        return;
    }
    case FrameCommand::GetLocoName: {
        QString text;
        call(&TSInterfaceBase::getLocoName, text);
        m_responder->log(QStringLiteral("(Server) - Get Loco name: %1").arg(text), 0);
        reply(5, tag, text);
        return;
    }
    case FrameCommand::GetControllerValues: {
        QString text = argumentOf(request);
        call(&TSInterfaceBase::getControllerValues, text);
        m_responder->log(QStringLiteral("(Server) - Get ControllerValues: %1").arg(text), 0);
        reply(7, tag, text);
        return;
    }
    case FrameCommand::GetControllerList: {
        QString text;
        call(&TSInterfaceBase::getControllerListRaw, text);
        m_responder->log(QStringLiteral("(Server) - Get Controller list: %1").arg(text), 0);
        reply(7, tag, text);
        return;
    }
    case FrameCommand::SetControllerValue: {
        QString text = argumentOf(request);
        setController(text);
        m_responder->log(QStringLiteral("(Server) - %1").arg(text), 0);
        reply(8, tag, text);
        return;
    }
    case FrameCommand::SetSharedData: {
        const QString payload = argumentOf(request);
        const QString stored = storeSharedValues(payload);
        m_responder->log(QStringLiteral("(Server) - %1").arg(payload), 0);
        reply(10, tag, stored);
        return;
    }
    case FrameCommand::GetSharedData: {
        const QString text = sharedValuesText(QStringLiteral("%1:%2:%3:%4:%5:%6:%7:%8"));
        m_responder->log(QStringLiteral("(Server) - %1").arg(text), 0);
        reply(10, tag, text);
        return;
    }
    }
    // Any other code is ignored: no reply, no log line.
}

void CommandSet::setController(QString& text)
{
    if (!m_interface)
        return;
    // The id as the interface reads it: a text that is no number is 0.
    const int index = text.section(QLatin1Char(':'), 0, 0).toInt();
    if (m_interface->setControllerValue(text) == ResultOk)
        m_responder->controllerSet(index);
}

bool CommandSet::interpretText(const QByteArray& bytes)
{
    if (!m_interface)
        return false;

    const QString text = QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
    const QStringList pieces = text.split(QStringLiteral("<END>"), Qt::KeepEmptyParts, Qt::CaseSensitive);
    for (const QString& piece : pieces) {
        if (m_responder->shouldEnd())
            return true; // the client is going; the rest is not served
        if (piece.isEmpty())
            continue;
        m_responder->log(QStringLiteral("(Server) - Command: %1").arg(piece), 1);

        QString argument;
        if (piece.contains(QLatin1String("SetClientName"))) {
            if (!bracketedArgument(piece, &argument))
                continue;
            *m_clientName = argument;
            m_responder->log(QStringLiteral("(Server) - Client Name: %1").arg(argument), 1);
        } else if (piece.contains(QLatin1String("GetLocoName()"))) {
            QString answer;
            m_interface->getLocoName(answer);
            answerText(answer);
        } else if (piece.contains(QLatin1String("GetControllerListExtended(JSON)"))) {
            QString answer;
            m_interface->getControllerListJson(answer);
            answerText(answer);
        } else if (piece.contains(QLatin1String("GetControllerListExtended(RAW)"))) {
            QString answer;
            m_interface->getControllerListRaw(answer);
            answerText(answer);
        } else if (piece.contains(QLatin1String("GetControllerListExtended(FLAT)"))) {
            QString answer;
            m_interface->getControllerListFlat(answer);
            answerText(answer);
        } else if (piece.contains(QLatin1String("GetControllerValue("))) {
            if (!bracketedArgument(piece, &argument))
                continue;
            m_interface->getControllerValue(argument);
            answerText(argument);
        } else if (piece.contains(QLatin1String("GetControllerValueMultiplyRaw"))) {
            if (!bracketedArgument(piece, &argument))
                continue;
            m_interface->getControllerValues(argument);
            answerText(argument);
        } else if (piece.contains(QLatin1String("SetControllerValue"))) {
            if (!bracketedArgument(piece, &argument))
                continue;
            const QStringList parts = argument.split(QLatin1Char(';'), Qt::KeepEmptyParts);
            if (parts.size() != 2)
                return false; // the rest of the text is abandoned
            QString request = parts.at(0) + QLatin1Char(':') + QString(parts.at(1)).replace(QLatin1Char(','), QLatin1Char('.'));
            setController(request);
        } else {
            m_responder->log(QStringLiteral("(Server) - Unknown Command: %1").arg(piece), 1);
        }
    }
    return true;
}
