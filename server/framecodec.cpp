#include "framecodec.h"

namespace {

// A header field read as a decimal number; a field that is not one reads as
// 0, like an absent value.
int fieldValue(const QByteArray& bytes, int offset, int width)
{
    bool ok = false;
    const int value = bytes.mid(offset, width).toInt(&ok, 10);
    return ok ? value : 0;
}

void appendPadded(QByteArray* out, int value, int width)
{
    const QByteArray digits = QByteArray::number(value);
    if (digits.size() < width)
        out->append(width - digits.size(), '0');
    out->append(digits);
}

} // namespace

bool FrameCodec::parseHeader(const QByteArray& header, int* length)
{
    if (header.size() < HeaderSize || header.at(0) != '@' || header.at(7) != ';')
        return false;
    const int value = fieldValue(header, 1, 6);
    if (value <= 0)
        return false;
    *length = value;
    return true;
}

bool FrameCodec::decode(const QByteArray& bytes, MessageFrame* frame)
{
    if (bytes.size() < MinimumFrameSize || bytes.at(0) != '@')
        return false;
    const int command = fieldValue(bytes, 8, 3);
    const int tag = fieldValue(bytes, 12, 6);
    if (command < 0 || tag < 0)
        return false;
    frame->bytes.clear();
    frame->length = fieldValue(bytes, 1, 6);
    frame->command = command;
    frame->tag = tag;
    // The payload ends at a NUL byte, if the client sent one.
    const char* payload = bytes.constData() + MinimumFrameSize;
    frame->payload = QString::fromUtf8(payload, int(qstrnlen(payload, uint(bytes.size() - MinimumFrameSize))));
    return true;
}

MessageFrame FrameCodec::encode(int command, int tag, const QString& payload)
{
    const QByteArray payloadBytes = payload.toUtf8();
    QByteArray body;
    body.reserve(12 + payloadBytes.size());
    appendPadded(&body, command, 3);
    body.append(';');
    appendPadded(&body, tag, 6);
    body.append(';');
    body.append(payloadBytes);
    body.append(';');

    MessageFrame frame;
    frame.bytes.reserve(HeaderSize + body.size());
    frame.bytes.append('@');
    appendPadded(&frame.bytes, body.size(), 6);
    frame.bytes.append(';');
    frame.bytes.append(body);
    frame.length = body.size();
    frame.command = command;
    frame.tag = tag;
    frame.payload = payload;
    return frame;
}
