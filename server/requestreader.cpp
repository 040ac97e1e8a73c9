#include "requestreader.h"

#include "framecodec.h"

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
        if (!m_device->waitForReadyRead(m_timing.waitMs)) {
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
