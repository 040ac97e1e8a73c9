#pragma once

#include "messageframe.h"

#include <QByteArray>

// The wire format of framed messages as pure functions over bytes, so that
// every rule about headers, widths and lengths is tested without a socket.
class FrameCodec
{
public:
    static constexpr int HeaderSize = 8;   // "@LLLLLL;"
    static constexpr int MinimumFrameSize = 19; // header, "CCC;TTTTTT;"
    static constexpr int HeaderProbeSize = 9; // bytes that must wait before "@" counts as a frame
    static constexpr int MaxLength = 999999; // the most that six length digits hold

    // Reads the length from an eight-byte header. True when the bytes are a
    // frame header: "@", a length field that reads as a number above 0, and
    // ";" at offset 7.
    static bool parseHeader(const QByteArray& header, int* length);

    // Decodes a complete received frame. False when the bytes are no frame
    // (shorter than 19 bytes, no "@") or carry a negative command code or
    // tag, which no client can mean and which could not be echoed within the
    // six-digit tag field; such a request runs no command.
    static bool decode(const QByteArray& bytes, MessageFrame* frame);

    // Builds a reply frame; `bytes` holds its UTF-8 encoding.
    static MessageFrame encode(int command, int tag, const QString& payload);
};
