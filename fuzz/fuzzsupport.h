#pragma once

// Helpers shared by the fuzz harnesses: a check that stops the run with a
// readable reason, Qt's message output silenced (the command layer logs
// through its responder, but Qt itself warns about arg() calls without a
// placeholder, which would drown libFuzzer's own output), the record format
// of the harness inputs, and the checks every reply must pass.

#include "framecodec.h"
#include "messageframe.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                      \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n  ", __FILE__, __LINE__, \
                         #condition);                                                   \
            std::fprintf(stderr, __VA_ARGS__);                                          \
            std::fputc('\n', stderr);                                                   \
            std::abort();                                                               \
        }                                                                               \
    } while (false)

namespace fuzz {

inline void quietMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "qFatal: %s\n", qPrintable(message));
        std::abort();
    }
}

inline void silenceQt() { qInstallMessageHandler(quietMessageHandler); }

// Inputs are records separated by two 0xFF bytes: a byte pair that no
// protocol text needs, so the seed files stay readable in an editor.
inline QList<QByteArray> records(const uint8_t* data, size_t size)
{
    QList<QByteArray> result;
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    int start = 0;
    for (;;) {
        const int end = input.indexOf("\xff\xff", start);
        if (end < 0) {
            result << QByteArray(input.constData() + start, input.size() - start);
            return result;
        }
        result << QByteArray(input.constData() + start, end - start);
        start = end + 2;
    }
}

// The largest body a six-digit length field can announce.
constexpr int MaxBody = 999999;

// The reply code each framed request code is answered with; 0 for none.
inline int replyCodeFor(int command)
{
    switch (command) {
    case 2: case 3: case 4: case 5: case 7: case 8: case 10: return command;
    case 6: return 7;
    case 9: return 10;
    default: return 0;
    }
}

// A reply must be one whole frame that a client can parse: a valid header
// whose length is the number of bytes after it, within the six digits, and
// fields that decode to the expected code and the request's tag.
inline void checkReply(const QByteArray& reply, int expectedCode, int tag)
{
    FUZZ_CHECK(reply.size() - FrameCodec::HeaderSize <= MaxBody,
               "reply body of %d bytes does not fit the six-digit length field (code %d)",
               reply.size() - FrameCodec::HeaderSize, expectedCode);
    int length = 0;
    FUZZ_CHECK(FrameCodec::parseHeader(reply.left(FrameCodec::HeaderSize), &length),
               "reply header is not a frame header: %s", reply.left(16).toHex().constData());
    FUZZ_CHECK(length == reply.size() - FrameCodec::HeaderSize, "length field %d, body %d bytes", length,
               reply.size() - FrameCodec::HeaderSize);
    FUZZ_CHECK(reply.endsWith(';'), "reply does not end with ';'");
    MessageFrame decoded;
    FUZZ_CHECK(FrameCodec::decode(reply, &decoded), "reply does not decode");
    FUZZ_CHECK(decoded.command == expectedCode, "reply code %d, expected %d", decoded.command, expectedCode);
    FUZZ_CHECK(decoded.tag == tag, "reply tag %d, request tag %d", decoded.tag, tag);
}

} // namespace fuzz
