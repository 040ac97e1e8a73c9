#include "framecodec.h"

#include "numberformat.h"

namespace {

// A header field read as a decimal number; a field that is not one reads as
// 0, like an absent value.
int fieldValue(const QByteArray& bytes, int offset, int width)
{
    bool ok = false;
    const int value = bytes.mid(offset, width).toInt(&ok, 10);
    return ok ? value : 0;
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
    char code[24];
    const int codeSize = NumberFormat::writeDecimal(command, code, 3);
    char tagDigits[24];
    const int tagSize = NumberFormat::writeDecimal(tag, tagDigits, 6);
    // The body: code ";" tag ";" payload ";".
    const int bodySize = codeSize + 1 + tagSize + 1 + payloadBytes.size() + 1;
    char length[24];
    const int lengthSize = NumberFormat::writeDecimal(bodySize, length, 6);

    // Written in one buffer, without a copy of the body.
    MessageFrame frame;
    frame.bytes.reserve(1 + lengthSize + 1 + bodySize);
    frame.bytes.append('@');
    frame.bytes.append(length, lengthSize);
    frame.bytes.append(';');
    frame.bytes.append(code, codeSize);
    frame.bytes.append(';');
    frame.bytes.append(tagDigits, tagSize);
    frame.bytes.append(';');
    frame.bytes.append(payloadBytes);
    frame.bytes.append(';');
    frame.length = bodySize;
    frame.command = command;
    frame.tag = tag;
    frame.payload = payload;
    return frame;
}
