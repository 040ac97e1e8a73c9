#include "framecodec.h"

namespace {

// A header field read as a decimal number; a field that is not one reads as
// 0, like an absent value.
int fieldValue(const QByteArray& bytes, int offset, int width)
{
    // A field of digits only, as clients send it, is read in place; the
    // fields are at most six digits wide, so it cannot overflow.
    if (offset >= 0 && offset + width <= bytes.size()) {
        int value = 0;
        int i = offset;
        for (; i < offset + width; ++i) {
            const char c = bytes.at(i);
            if (c < '0' || c > '9')
                break;
            value = value * 10 + (c - '0');
        }
        if (i == offset + width)
            return value;
    }
    bool ok = false;
    const int value = bytes.mid(offset, width).toInt(&ok, 10);
    return ok ? value : 0;
}

// The number as QByteArray::number() writes it, left-padded with "0" to
// `width` and not cut when longer; answers the count of bytes written.
int paddedNumber(char* out, int value, int width)
{
    char digits[12];
    int first = int(sizeof digits);
    long long rest = value < 0 ? -static_cast<long long>(value) : value;
    do {
        digits[--first] = char('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (value < 0)
        digits[--first] = '-';
    const int length = int(sizeof digits) - first;
    int size = 0;
    while (size < width - length)
        out[size++] = '0';
    for (int i = first; i < int(sizeof digits); ++i)
        out[size++] = digits[i];
    return size;
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
    char code[16];
    const int codeSize = paddedNumber(code, command, 3);
    char tagDigits[16];
    const int tagSize = paddedNumber(tagDigits, tag, 6);
    // The body: code ";" tag ";" payload ";".
    const int bodySize = codeSize + 1 + tagSize + 1 + payloadBytes.size() + 1;
    char length[16];
    const int lengthSize = paddedNumber(length, bodySize, 6);

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
