#include "kestrelclient.h"

#include "framecodec.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <algorithm>

namespace {

// Waits are cut into slices this long, so that a cancel check is seen soon.
constexpr int kSliceMs = 50;
// The shortest frame a server can send: "CCC;TTTTTT;" and the payload's ";".
constexpr int kMinimumReplyLength = 12;

bool allDigits(const QByteArray& bytes, int offset, int width)
{
    for (int i = offset; i < offset + width; ++i) {
        if (bytes.at(i) < '0' || bytes.at(i) > '9')
            return false;
    }
    return true;
}

// The start of what arrived, readable in an error message.
QString preview(const QByteArray& bytes)
{
    const int shown = 40;
    QString text = QString::fromUtf8(bytes.left(shown));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n")).replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return QLatin1Char('"') + text + (bytes.size() > shown ? QStringLiteral("...\"") : QStringLiteral("\""));
}

int sliceOf(const QDeadlineTimer& deadline)
{
    return int(std::clamp<qint64>(deadline.remainingTime(), 0, kSliceMs));
}

} // namespace

KestrelClient::KestrelClient(QString host, quint16 port, int timeoutMs)
    : m_host(std::move(host))
    , m_port(port)
    , m_timeoutMs(timeoutMs)
{
}

QString KestrelClient::address() const
{
    const QString host = m_host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(m_host) : m_host;
    return QStringLiteral("%1:%2").arg(host).arg(m_port);
}

KestrelClient::Reply KestrelClient::connectToServer()
{
    Reply reply;
    m_socket.connectToHost(m_host, m_port);
    if (!m_socket.waitForConnected(m_timeoutMs)) {
        reply.outcome = Outcome::CannotConnect;
        const QString reason = m_socket.error() == QAbstractSocket::SocketTimeoutError
            ? QStringLiteral("no connection within %1 ms").arg(m_timeoutMs)
            : m_socket.errorString();
        reply.error = QStringLiteral("cannot connect to %1: %2").arg(address(), reason);
        m_socket.abort();
        return reply;
    }
    // Requests are small and each waits for its reply: send them at once.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return reply;
}

int KestrelClient::nextTag()
{
    m_lastTag = m_lastTag % 999999 + 1;
    return m_lastTag;
}

KestrelClient::Reply KestrelClient::send(const QByteArray& bytes)
{
    Reply reply;
    const QDeadlineTimer deadline(m_timeoutMs);
    m_socket.write(bytes);
    while (m_socket.bytesToWrite() > 0) {
        if (m_cancelled && m_cancelled()) {
            reply.outcome = Outcome::Cancelled;
            return reply;
        }
        if (m_socket.state() != QAbstractSocket::ConnectedState) {
            reply.outcome = Outcome::Closed;
            reply.error = QStringLiteral("the server at %1 closed the connection").arg(address());
            return reply;
        }
        if (deadline.hasExpired()) {
            reply.outcome = Outcome::Timeout;
            reply.error = QStringLiteral("the server at %1 took no data within %2 ms").arg(address()).arg(m_timeoutMs);
            return reply;
        }
        m_socket.waitForBytesWritten(std::max(1, sliceOf(deadline)));
    }
    return reply;
}

bool KestrelClient::receive(int ms)
{
    const int before = m_buffer.size();
    if (m_socket.bytesAvailable() == 0 && m_socket.state() == QAbstractSocket::ConnectedState)
        m_socket.waitForReadyRead(ms);
    m_buffer += m_socket.readAll();
    return m_buffer.size() > before || m_socket.state() == QAbstractSocket::ConnectedState;
}

KestrelClient::Parse KestrelClient::takeFrame(QByteArray* frame, QString* error)
{
    if (m_buffer.isEmpty())
        return Parse::NeedMore;
    if (m_buffer.at(0) != '@') {
        *error = QStringLiteral("the reply is no frame: %1").arg(preview(m_buffer));
        return Parse::Bad;
    }
    if (m_buffer.size() < FrameCodec::HeaderSize)
        return Parse::NeedMore;
    int length = 0;
    if (!allDigits(m_buffer, 1, 6) || !FrameCodec::parseHeader(m_buffer.left(FrameCodec::HeaderSize), &length)
        || length < kMinimumReplyLength) {
        *error = QStringLiteral("the reply's frame header is unreadable: %1").arg(preview(m_buffer));
        return Parse::Bad;
    }
    const int size = FrameCodec::HeaderSize + length;
    if (m_buffer.size() < size)
        return Parse::NeedMore;
    *frame = m_buffer.left(size);
    m_buffer.remove(0, size);
    if (frame->at(11) != ';' || frame->at(18) != ';' || !frame->endsWith(';') || !allDigits(*frame, 8, 3)
        || !allDigits(*frame, 12, 6)) {
        *error = QStringLiteral("the reply is no well-formed frame: %1").arg(preview(*frame));
        return Parse::Bad;
    }
    return Parse::Frame;
}

KestrelClient::Reply KestrelClient::request(FrameCommand command, const QString& argument, int replyCode)
{
    const int tag = nextTag();
    // The server drops the payload field's last character, so requests end
    // it with ";" as replies do; encode() adds it.
    Reply reply = send(FrameCodec::encode(int(command), tag, argument).bytes);
    if (!reply.ok())
        return reply;

    const QDeadlineTimer deadline(m_timeoutMs);
    QStringList otherTags;
    for (;;) {
        QByteArray bytes;
        QString error;
        const Parse parse = takeFrame(&bytes, &error);
        if (parse == Parse::Bad) {
            reply.outcome = Outcome::Malformed;
            reply.error = error;
            return reply;
        }
        if (parse == Parse::Frame) {
            MessageFrame frame;
            if (!FrameCodec::decode(bytes, &frame) || !frame.payload.endsWith(QLatin1Char(';'))) {
                reply.outcome = Outcome::Malformed;
                reply.error = QStringLiteral("the reply's payload is unreadable: %1").arg(preview(bytes));
                return reply;
            }
            if (frame.tag != tag) {
                // Not ours; the reply we wait for may still come.
                otherTags.append(QString::number(frame.tag));
                continue;
            }
            if (frame.command != replyCode) {
                reply.outcome = Outcome::Malformed;
                reply.error = QStringLiteral("the reply to request %1 (tag %2) carries code %3 instead of %4")
                                  .arg(int(command))
                                  .arg(tag)
                                  .arg(frame.command)
                                  .arg(replyCode);
                return reply;
            }
            reply.payload = frame.payload.chopped(1);
            return reply;
        }

        if (m_cancelled && m_cancelled()) {
            reply.outcome = Outcome::Cancelled;
            return reply;
        }
        if (deadline.hasExpired()) {
            if (otherTags.isEmpty()) {
                reply.outcome = Outcome::Timeout;
                reply.error = QStringLiteral("no reply from %1 within %2 ms").arg(address()).arg(m_timeoutMs);
            } else {
                reply.outcome = Outcome::Malformed;
                reply.error = QStringLiteral("the replies carried tag %1 instead of %2")
                                  .arg(otherTags.join(QStringLiteral(", ")))
                                  .arg(tag);
            }
            return reply;
        }
        if (!receive(sliceOf(deadline))) {
            reply.outcome = Outcome::Closed;
            reply.error = m_buffer.isEmpty()
                ? QStringLiteral("the server at %1 closed the connection without replying").arg(address())
                : QStringLiteral("the server at %1 closed the connection halfway through its reply: %2")
                      .arg(address(), preview(m_buffer));
            return reply;
        }
    }
}

KestrelClient::Reply KestrelClient::post(FrameCommand command, const QString& argument)
{
    return send(FrameCodec::encode(int(command), nextTag(), argument).bytes);
}

KestrelClient::Reply KestrelClient::requestText(const QByteArray& text, const CompleteCheck& complete, int quietMs)
{
    m_buffer.clear();
    Reply reply = send(text);
    if (!reply.ok())
        return reply;

    const QDeadlineTimer deadline(m_timeoutMs);
    QElapsedTimer sinceLastData;
    bool received = false;
    for (;;) {
        if (complete ? complete(m_buffer) : (received && sinceLastData.elapsed() >= quietMs))
            break;
        if (m_cancelled && m_cancelled()) {
            reply.outcome = Outcome::Cancelled;
            break;
        }
        if (deadline.hasExpired()) {
            // Without a check the timeout merely ends a long answer.
            if (complete || !received) {
                reply.outcome = Outcome::Timeout;
                reply.error = QStringLiteral("no complete answer from %1 within %2 ms").arg(address()).arg(m_timeoutMs);
            }
            break;
        }
        int slice = sliceOf(deadline);
        if (!complete && received)
            slice = int(std::clamp<qint64>(quietMs - sinceLastData.elapsed(), 0, slice));
        const int before = m_buffer.size();
        if (!receive(slice)) {
            if (complete || !received) {
                reply.outcome = Outcome::Closed;
                reply.error = QStringLiteral("the server at %1 closed the connection before its answer was complete")
                                  .arg(address());
            }
            break;
        }
        if (m_buffer.size() > before) {
            received = true;
            sinceLastData.restart();
        }
    }
    reply.bytes = m_buffer;
    m_buffer.clear();
    return reply;
}

void KestrelClient::disconnect()
{
    if (m_socket.state() == QAbstractSocket::UnconnectedState)
        return;
    m_socket.disconnectFromHost();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.waitForDisconnected(m_timeoutMs);
}
