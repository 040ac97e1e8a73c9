#include "requestreader.h"

#include "framecodec.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QIODevice>
#include <QThread>

#include <algorithm>

RequestReader::RequestReader(QIODevice* device, Handler* handler, Timing timing)
    : m_device(device)
    , m_handler(handler)
    , m_timing(timing)
{
}

void RequestReader::readRequest()
{
    qint64 available = m_device->bytesAvailable();
    for (;;) {
        if (m_handler->endRequested())
            return;
        QByteArray text = m_device->read(1);
        if (text == "@" && available >= FrameCodec::HeaderProbeSize) {
            const QByteArray rest = m_device->read(FrameCodec::HeaderSize - 1);
            const QByteArray header = text + rest;
            int length = 0;
            if (FrameCodec::parseHeader(header, &length)) {
                readFrameBody(header, length);
                return;
            }
            // Not a header after all: the "@" goes, the rest is plain text.
            text = rest;
        }
        available = m_device->bytesAvailable();
        if (available == 0) {
            m_handler->log(QStringLiteral("Client: Header not found."), 0);
            return;
        }
        text += m_device->read(available);
        if (m_handler->textReceived(text))
            return;
        // The text was not dealt with entirely; whatever has arrived since
        // is read as a new request, tested against the count taken above.
    }
}

void RequestReader::readFrameBody(QByteArray message, int length)
{
    int received = 0;
    qint64 available = m_device->bytesAvailable();
    for (int waits = 0;;) {
        if (available > 0 && received < length) {
            const QByteArray chunk = m_device->read(std::min<qint64>(available, length - received));
            message += chunk;
            received += chunk.size();
        }
        if (received == length)
            break;
        if (!waitForMoreData()) {
            m_handler->abandonConnection();
            return;
        }
        QThread::msleep(ulong(m_timing.pauseMs));
        available = m_device->bytesAvailable();
        if (++waits >= m_timing.maxWaits)
            break;
    }
    m_handler->frameReceived(message);
}

// Waits up to the time limit for more data, in short slices so that a
// client being ended (server stopped, program closing) is not held for the
// full limit by a client that went silent halfway through a frame.
bool RequestReader::waitForMoreData()
{
    constexpr int sliceMs = 50;
    auto* socket = qobject_cast<QAbstractSocket*>(m_device);
    if (!socket)
        return m_device->waitForReadyRead(m_timing.waitMs);
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        const qint64 left = m_timing.waitMs - elapsed.elapsed();
        if (left <= 0 || m_handler->endRequested())
            return false;
        if (m_device->waitForReadyRead(int(std::min<qint64>(left, sliceMs))))
            return true;
        // A socket that failed for another reason than the time-out (the
        // client went away) has nothing more to give.
        if (socket->state() != QAbstractSocket::ConnectedState
            || socket->error() != QAbstractSocket::SocketTimeoutError)
            return false;
    }
}
