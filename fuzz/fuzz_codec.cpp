// The frame codec and the integer form, from any bytes. parseHeader accepts
// only "@", a length above 0 within six digits and ";"; decode refuses only
// what is under 19 bytes, lacks the "@" or has a negative code or tag, and
// reports no code or tag wider than its field and no NUL. What decoded, and any
// code, tag and payload a reply can carry, encodes into a frame whose header
// counts the bytes after it and that decodes back the same (";" added). The
// first 64 bytes, read as ints, are written exactly as Qt writes them.

#include "framecodec.h"
#include "fuzzsupport.h"
#include "numberformat.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>

namespace {

void checkRoundTrip(int command, int tag, const QString& payload)
{
    const MessageFrame encoded = FrameCodec::encode(command, tag, payload);
    const int body = encoded.bytes.size() - FrameCodec::HeaderSize, nul = payload.indexOf(QChar(0));
    int length = 0;
    MessageFrame decoded;
    FUZZ_CHECK(encoded.length == body, "length %d for a body of %d bytes", encoded.length, body);
    if (body > FrameCodec::MaxLength)
        return; // no header can tell it: the command layer refuses such replies
    // Reception stops at a NUL; otherwise the closing ";" comes back too.
    FUZZ_CHECK(FrameCodec::parseHeader(encoded.bytes, &length) && length == body
                   && FrameCodec::decode(encoded.bytes, &decoded) && decoded.command == command && decoded.tag == tag
                   && decoded.length == body && decoded.payload == (nul < 0 ? payload + ';' : payload.left(nul)),
               "code %d tag %d, %d characters came back as %d %d, %d", command, tag, int(payload.size()),
               decoded.command, decoded.tag, int(decoded.payload.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    int length = 0;
    FUZZ_CHECK(!FrameCodec::parseHeader(bytes, &length)
                   || (size >= 8 && bytes.at(0) == '@' && bytes.at(7) == ';' && length > 0 && length <= 999999),
               "header %s accepted with length %d", bytes.left(8).toHex().constData(), length);
    MessageFrame frame;
    const bool framed = size >= FrameCodec::MinimumFrameSize && bytes.at(0) == '@';
    if (FrameCodec::decode(bytes, &frame)) {
        FUZZ_CHECK(framed && frame.command >= 0 && frame.command <= 999 && frame.tag >= 0 && frame.tag <= 999999
                       && !frame.payload.contains(QChar(0)),
                   "accepted %s as code %d tag %d", bytes.left(19).toHex().constData(), frame.command, frame.tag);
        checkRoundTrip(frame.command, frame.tag, frame.payload);
    } else {
        FUZZ_CHECK(!framed || bytes.mid(8, 3).toInt() < 0 || bytes.mid(12, 6).toInt() < 0,
                   "refused for no reason: %s", bytes.left(19).toHex().constData());
    }
    FuzzedDataProvider provider(data, size);
    const int command = provider.ConsumeIntegralInRange<int>(0, 999);
    const int tag = provider.ConsumeIntegralInRange<int>(0, 999999);
    const std::string rest = provider.ConsumeRemainingBytesAsString();
    checkRoundTrip(command, tag, QString::fromUtf8(rest.data(), int(rest.size())));

    for (size_t offset = 0; offset + 4 <= size && offset < 64; offset += 4) {
        qint32 bits;
        std::memcpy(&bits, data + offset, 4);
        FUZZ_CHECK(NumberFormat::decimal(bits) == QString::number(bits), "decimal(%d)", bits);
    }
    return 0;
}
