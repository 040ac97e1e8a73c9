// Fuzzes the frame codec: any bytes as a header and as a whole received
// frame, and encode -> decode round trips of what a reply can carry.
//
// Properties:
// - parseHeader accepts only "@", six bytes that read as a number above 0
//   and ";", and the length it reports fits the six digits;
// - decode accepts nothing shorter than 19 bytes or without "@", and never
//   reports a negative code or tag or one wider than its field;
// - whatever decode accepted encodes again into a frame that parses, whose
//   length field counts the bytes after the header, and that decodes back to
//   the same code, tag and payload (plus the closing ";").

#include "framecodec.h"
#include "fuzzsupport.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {

void checkRoundTrip(int command, int tag, const QString& payload)
{
    const MessageFrame encoded = FrameCodec::encode(command, tag, payload);
    const QByteArray& bytes = encoded.bytes;
    FUZZ_CHECK(encoded.length == bytes.size() - FrameCodec::HeaderSize, "length %d for %d bytes",
               encoded.length, bytes.size());
    if (encoded.length > fuzz::MaxBody)
        return; // cannot be told in six digits; replies that large are checked elsewhere

    int length = 0;
    FUZZ_CHECK(FrameCodec::parseHeader(bytes.left(FrameCodec::HeaderSize), &length), "own header refused: %s",
               bytes.left(8).constData());
    FUZZ_CHECK(length == encoded.length, "header says %d, body is %d", length, encoded.length);

    MessageFrame decoded;
    FUZZ_CHECK(FrameCodec::decode(bytes, &decoded), "own frame refused");
    FUZZ_CHECK(decoded.command == command, "code %d became %d", command, decoded.command);
    FUZZ_CHECK(decoded.tag == tag, "tag %d became %d", tag, decoded.tag);
    FUZZ_CHECK(decoded.length == encoded.length, "length %d became %d", encoded.length, decoded.length);
    // The payload comes back whole with the frame's closing ";", unless it
    // holds a NUL, where reception stops.
    const int nul = payload.indexOf(QChar(0));
    const QString expected = nul < 0 ? payload + QLatin1Char(';') : payload.left(nul);
    FUZZ_CHECK(decoded.payload == expected, "payload of %d characters came back as %d", int(payload.size()),
               int(decoded.payload.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::silenceQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));

    int length = -1;
    if (FrameCodec::parseHeader(bytes, &length)) {
        FUZZ_CHECK(bytes.size() >= FrameCodec::HeaderSize && bytes.at(0) == '@' && bytes.at(7) == ';',
                   "header accepted without its fixed bytes");
        FUZZ_CHECK(length > 0 && length <= fuzz::MaxBody, "header length %d", length);
    }

    MessageFrame frame;
    if (FrameCodec::decode(bytes, &frame)) {
        FUZZ_CHECK(bytes.size() >= FrameCodec::MinimumFrameSize && bytes.at(0) == '@', "accepted %d bytes",
                   bytes.size());
        FUZZ_CHECK(frame.command >= 0 && frame.command <= 999, "code %d", frame.command);
        FUZZ_CHECK(frame.tag >= 0 && frame.tag <= 999999, "tag %d", frame.tag);
        FUZZ_CHECK(!frame.payload.contains(QChar(0)), "payload holds a NUL");
        // A request that decoded is answerable: its tag goes back unchanged.
        checkRoundTrip(frame.command, frame.tag, frame.payload);
    } else {
        // Refused frames are refused for one of the documented reasons.
        const bool tooShort = bytes.size() < FrameCodec::MinimumFrameSize || bytes.at(0) != '@';
        const bool negative = !tooShort && (bytes.mid(8, 3).toInt() < 0 || bytes.mid(12, 6).toInt() < 0);
        FUZZ_CHECK(tooShort || negative, "frame refused for no documented reason: %s",
                   bytes.left(19).toHex().constData());
    }

    // Replies with any code and tag a request can carry, any payload text.
    FuzzedDataProvider provider(data, size);
    const int command = provider.ConsumeIntegralInRange<int>(0, 999);
    const int tag = provider.ConsumeIntegralInRange<int>(0, 999999);
    const std::string rest = provider.ConsumeRemainingBytesAsString();
    checkRoundTrip(command, tag, QString::fromUtf8(rest.data(), int(rest.size())));
    return 0;
}
