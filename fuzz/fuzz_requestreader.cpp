// Fuzzes the request reader on an in-memory device, with the command layer
// behind it over the in-memory simulator: the input is the byte stream of
// one client, cut into segments at every pair of 0xFF bytes. Each segment
// arrives as one "data arrived" notification, or is fetched by the reader's
// own wait while it collects a frame body. The device never blocks, the
// pause between reads is zero and the wait count is small, so every path
// (whole frames, frames served after the last wait, frames given up, plain
// text, text read again after a false answer) is reached in microseconds.
//
// An input that begins with an empty segment (two 0xFF bytes first) runs a
// client whose simulator interface does not exist, so every plain text is
// answered false and read again.
//
// Properties:
// - each notification with bytes waiting consumes at least one of them, so
//   the reader never stalls on its own input;
// - a frame handed on starts with a valid header and is never longer than
//   that header announces; shorter only after the reader used up its waits;
// - plain text handed on is never empty;
// - every framed request that decodes and has a reply code is answered with
//   exactly one well-formed reply carrying its tag; any other is not answered;
// - once the connection is given up, the reader is not called again and
//   nothing more is sent.

#include "chunkdevice.h"
#include "commandset.h"
#include "fakeinterface.h"
#include "fuzzsupport.h"
#include "requestreader.h"
#include "sharedclientdata.h"

namespace {

constexpr int kMaxWaits = 8;

class Client : public RequestReader::Handler, public CommandResponder
{
public:
    Client(ChunkDevice* device, TSInterfaceBase* simulator)
        : m_device(device)
        , m_commands(simulator, &m_shared, 7, &m_name, this)
    {
    }

    void startNotification() { m_waitsAtStart = m_device->waits(); }

    void frameReceived(const QByteArray& message) override
    {
        int length = 0;
        FUZZ_CHECK(FrameCodec::parseHeader(message.left(FrameCodec::HeaderSize), &length),
                   "frame handed on without a header: %s", message.left(8).toHex().constData());
        const int body = message.size() - FrameCodec::HeaderSize;
        FUZZ_CHECK(body <= length, "frame of %d body bytes for a header of %d", body, length);
        if (body < length) {
            FUZZ_CHECK(m_device->waits() - m_waitsAtStart >= kMaxWaits,
                       "incomplete frame (%d of %d) served after %d waits", body, length,
                       m_device->waits() - m_waitsAtStart);
        }

        MessageFrame request;
        if (!FrameCodec::decode(message, &request))
            return;
        m_replies.clear();
        m_commands.executeFrame(request);
        const int code = fuzz::replyCodeFor(request.command);
        if (code == 0) {
            FUZZ_CHECK(m_replies.isEmpty(), "code %d answered", request.command);
            return;
        }
        FUZZ_CHECK(m_replies.size() == 1, "code %d answered %d times", request.command, int(m_replies.size()));
        fuzz::checkReply(m_replies.first(), code, request.tag);
    }

    bool textReceived(const QByteArray& text) override
    {
        FUZZ_CHECK(!text.isEmpty(), "empty text handed on");
        m_replies.clear();
        return m_commands.interpretText(text);
    }

    void log(const QString&, int) override {}

    void abandonConnection() override
    {
        FUZZ_CHECK(!m_device->gone(), "connection given up twice");
        m_device->drop();
    }

    void sendBytes(const QByteArray& bytes) override
    {
        FUZZ_CHECK(!m_device->gone(), "%d bytes sent after the connection was given up", bytes.size());
        m_replies << bytes;
    }

private:
    ChunkDevice* m_device;
    SharedClientData m_shared;
    QString m_name;
    CommandSet m_commands;
    QList<QByteArray> m_replies;
    int m_waitsAtStart = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::silenceQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QList<QByteArray> segments = fuzz::records(data, size);
    const bool withoutInterface = segments.size() > 1 && segments.first().isEmpty();
    if (withoutInterface)
        segments.removeFirst();

    FakeInterface simulator;
    ChunkDevice device(segments);
    Client client(&device, withoutInterface ? nullptr : &simulator);
    // The device never blocks: a wait returns at once with the next segment
    // or with nothing, so the time limit only has to be long enough never to
    // run out by itself.
    RequestTiming timing;
    timing.pauseMs = 0;
    timing.maxWaits = kMaxWaits;
    RequestReader reader(&device, &client, timing);

    auto notify = [&] {
        const qint64 before = device.consumed();
        const bool waiting = device.bytesAvailable() > 0;
        client.startNotification();
        reader.readRequest();
        FUZZ_CHECK(!waiting || device.gone() || device.consumed() > before,
                   "a notification with bytes waiting read none");
    };

    while (!device.gone() && device.deliverNext())
        notify();
    // Bytes left after the last segment wait for the client's next send;
    // model a few more notifications that bring nothing new.
    for (int i = 0; i < 64 && !device.gone() && device.bytesAvailable() > 0; ++i)
        notify();
    FUZZ_CHECK(device.consumed() <= device.delivered(), "read more than arrived");
    return 0;
}
