// The request path: one connection's byte stream, cut into segments at each
// pair of 0xFF bytes, read by a RequestReader from a device that never blocks,
// answered by the command layer over the in-memory simulator (texts sent on
// verbatim, "%" and all), the real interface on the stub library (floats through
// the number forms) and no interface. A segment starting with byte 1 to 5 is
// no data but sets up the simulators: 1 loco name, 2 controller list (alone:
// the library answers null), 3<index:2><type> and 4<id> a controller or
// simulator value from the last four bytes' raw bits (NaN, infinities,
// denormals), 5 the train data.
// Properties: the reader always reads waiting bytes, hands on no empty text and
// no frame longer than its header says (shorter only after its waits), sends
// nothing after a give-up. A framed request with a reply code gets one reply, a
// whole frame within the six-digit length field (longer answers are refused),
// with its code and tag; others get none. Shared values read back as stored.
// Only a malformed SetControllerValue answers a text false. No answer holds a
// NUL; no answer or log line outgrows a fixed multiple of the input.

#include "chunkdevice.h"
#include "commandset.h"
#include "fakeinterface.h"
#include "framecodec.h"
#include "fuzzsupport.h"
#include "numberformat.h"
#include "requestreader.h"
#include "sharedclientdata.h"
#include "tsinterfacedll.h"

#include "stubs/stublibrary.h"

#include <cstring>

namespace {

constexpr int kMaxWaits = 8;
// The largest honest growth is the library's JSON list of empty controller
// names: some 110 bytes of indented record for each "::" of input.
constexpr qint64 kGrowth = 64, kFixedAnswer = 4096;
qint64 bound = 0;
StubLibrary* stub = nullptr;
TSInterfaceDll* library = nullptr;

class Client : public RequestReader::Handler, public CommandResponder
{
public:
    // Runs the whole stream through a request reader, one notification per
    // segment; bytes left after the last one wait for the client's next send.
    Client(const QList<QByteArray>& segments, TSInterfaceBase* simulator)
        : m_device(segments), m_simulator(simulator), m_commands(simulator, &m_shared, 7, &m_name, this)
    {
        RequestReader reader(&m_device, this, RequestTiming{10000, 0, kMaxWaits});
        for (int late = 0; !m_gone && (m_device.deliverNext() || (m_device.bytesAvailable() > 0 && late++ < 64));) {
            const qint64 before = m_device.consumed(), waiting = m_device.bytesAvailable();
            m_waitsAtStart = m_device.waitLimits().size();
            reader.readRequest();
            FUZZ_CHECK(!waiting || m_gone || m_device.consumed() > before, "bytes waiting, none read");
        }
    }

    void frameReceived(const QByteArray& message) override
    {
        int length = 0;
        const int body = message.size() - FrameCodec::HeaderSize, waits = m_device.waitLimits().size() - m_waitsAtStart;
        FUZZ_CHECK(FrameCodec::parseHeader(message, &length)
                       && (body == length || (body < length && waits >= kMaxWaits)),
                   "frame of %d body bytes for a header of %d after %d waits", body, length, waits);
        MessageFrame request, decoded;
        if (!FrameCodec::decode(message, &request))
            return;
        m_replies.clear();
        m_commands.executeFrame(request);
        const int c = request.command, code = c == 6 ? 7 : c == 9 ? 10 : (c >= 2 && c <= 10) ? c : 0;
        FUZZ_CHECK(m_replies.size() == (code ? 1 : 0), "code %d answered %d times", c, int(m_replies.size()));
        if (!code)
            return;
        // A whole frame; its header, at most six digits, also keeps it within the length field.
        const QByteArray& reply = m_replies.first();
        FUZZ_CHECK(FrameCodec::parseHeader(reply, &length) && length == reply.size() - FrameCodec::HeaderSize
                       && reply.endsWith(';') && FrameCodec::decode(reply, &decoded) && decoded.command == code
                       && decoded.tag == request.tag,
                   "reply %s (%d bytes) to code %d tag %d", reply.left(19).constData(), reply.size(), c, request.tag);
        if (c == 10) {
            // Each value in its field, a "%" in a client's text being data.
            const SharedClientData::Values v = m_shared.read();
            QString stored = v.text1 + QLatin1Char(':') + v.text2 + QLatin1Char(':') + NumberFormat::general(v.number);
            for (int number : {v.int1, v.int2, v.int3, v.int4, v.int5})
                stored += QLatin1Char(':') + QString::number(number);
            FUZZ_CHECK(decoded.payload == stored + QLatin1Char(';'), "shared values %s, stored %s",
                       qPrintable(decoded.payload.left(80)), qPrintable(stored.left(80)));
        }
    }

    bool textReceived(const QByteArray& text) override
    {
        FUZZ_CHECK(!text.isEmpty(), "empty text handed on");
        const bool whole = m_commands.interpretText(text);
        // The text as the command layer reads it: up to its first NUL.
        FUZZ_CHECK(whole || !m_simulator || QByteArray(text.constData()).contains("SetControllerValue"),
                   "text abandoned without a SetControllerValue");
        return whole;
    }

    void log(const QString& text, int) override { FUZZ_CHECK(text.size() <= bound, "log of %d", int(text.size())); }
    void abandonConnection() override { m_gone = true; }
    void sendBytes(const QByteArray& bytes) override
    {
        FUZZ_CHECK(!m_gone && bytes.size() <= bound && !bytes.contains('\0'), "%d bytes sent (bound %lld, gone %d): %s",
                   bytes.size(), bound, m_gone, bytes.left(64).toHex().constData());
        m_replies << bytes;
    }

private:
    ChunkDevice m_device;
    TSInterfaceBase* m_simulator;
    SharedClientData m_shared;
    QString m_name;
    CommandSet m_commands;
    QList<QByteArray> m_replies;
    int m_waitsAtStart = 0;
    bool m_gone = false; // the reader gave the connection up
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Qt's debug lines would drown libFuzzer's output; a qFatal still ends the run.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        FUZZ_CHECK(type != QtFatalMsg, "qFatal: %s", qPrintable(message));
    });
    stub = new StubLibrary(QStringLiteral("full")); // steering a stub that did not load is a qFatal
    // One interface for the run: it resolves every function on each call.
    library = new TSInterfaceDll(stub->folder());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    stub->reset();
    bound = kGrowth * qint64(size) + kFixedAnswer;
    FakeInterface simulator;
    QList<QByteArray> segments;
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    for (int start = 0, end = 0; end >= 0; start = end + 2) {
        end = input.indexOf("\xff\xff", start);
        const QByteArray record = input.mid(start, end < 0 ? -1 : end - start), body = record.mid(1);
        const char kind = record.isEmpty() ? 0 : record.at(0);
        const QString text = QString::fromUtf8(body.constData()); // library texts end at a NUL
        float value;
        std::memcpy(&value, body.right(4).leftJustified(4, '\0').constData(), 4);
        if (kind == 1) {
            simulator.locoName = text;
            body.isEmpty() ? stub->setLocoNameNull() : stub->setLocoName(text);
        } else if (kind == 2) {
            simulator.rawList = simulator.flatList = simulator.jsonList = text;
            body.isEmpty() ? stub->setControllerListNull() : stub->setControllerList(text);
        } else if (kind == 3 && body.size() >= 7) {
            stub->setValue(qint16((uchar(body.at(0)) << 8) | uchar(body.at(1))), uchar(body.at(2)) % 3, value);
        } else if (kind == 4 && body.size() >= 5) {
            stub->setRailSimValue(uchar(body.at(0)), value);
        } else if (kind == 5) {
            simulator.trainData = text;
        } else if (kind < 1 || kind > 5) {
            segments << record;
        }
    }
    Client{segments, &simulator};
    Client{segments, library};
    Client{segments, nullptr};
    return 0;
}
