// Fuzzes the command layer directly: decoded framed requests with any code,
// tag and payload, and plain texts, run against two simulators at once:
// the in-memory one (texts with placeholders, NaN, infinities, denormals)
// and the real RailDriver interface on the stub library, whose answers the
// input steers the same way (null texts included).
//
// The input is a list of records separated by two 0xFF bytes; the first
// byte of a record says what it does:
//   T<text>                      plain text for interpretText
//   F<code><tag:3><payload>      a framed request: code as a signed byte,
//                                tag as a 24-bit big-endian number
//   N<name>                      the locomotive's name; "N" alone: null
//   L<list>                      the controller list ("::" between names);
//                                "L" alone: null
//   V<index:2><type><float:4>    a controller value (index a signed 16-bit
//                                big-endian number, type 0 to 2, the float's
//                                raw bits little-endian)
//   R<id><float:4>               a simulator value (GetRailSimValue)
//   U<mode>                      what unset controllers of the in-memory
//                                simulator read: 0, NaN, +inf, -inf, ...
// Other records are ignored.
//
// Properties:
// - every request whose code has a reply and whose tag fits its field is
//   answered with exactly one well-formed reply with that tag, also when
//   the simulator answers NaN or nothing; other codes are not answered;
// - no answer holds a NUL byte: every text the simulator or the client
//   brings in is cut at its NUL before it is sent on;
// - the shared values in a reply read exactly as stored, each in its field;
// - interpretText answers false only for a malformed "SetControllerValue";
// - no answer is more than a bounded multiple of everything the input
//   brought in (requests and simulator texts together): a few bytes of
//   request must not make megabytes of reply.

#include "commandset.h"
#include "fakeinterface.h"
#include "fuzzsupport.h"
#include "numberformat.h"
#include "sharedclientdata.h"
#include "tsinterfacedll.h"

#include "stubs/stublibrary.h"

#include <cstring>
#include <memory>

namespace {

// The size of the current input; the bound on any one answer follows from
// it. The largest honest growth is a list of empty controller names, where
// each "::" of input becomes a record of a few dozen bytes.
size_t inputSize = 0;
constexpr size_t kGrowth = 64;
constexpr size_t kFixedAnswer = 4096;

class Responder : public CommandResponder
{
public:
    void sendBytes(const QByteArray& bytes) override
    {
        FUZZ_CHECK(size_t(bytes.size()) <= kGrowth * inputSize + kFixedAnswer,
                   "an answer of %d bytes from an input of %zu bytes", bytes.size(), inputSize);
        FUZZ_CHECK(!bytes.contains('\0'), "an answer holds a NUL byte: %s", bytes.left(64).toHex().constData());
        replies << bytes;
    }
    void log(const QString&, int) override {}

    QList<QByteArray> replies;
};

// One simulator with its command layer, as one client thread has them.
struct Client
{
    Client(TSInterfaceBase* simulator)
        : commands(simulator, &shared, 7, &name, &responder)
    {
    }

    SharedClientData shared;
    QString name;
    Responder responder;
    CommandSet commands;
};

StubLibrary* stub = nullptr;
TSInterfaceDll* library = nullptr;

QByteArray untilNul(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

void runFrame(Client& client, const MessageFrame& request)
{
    client.responder.replies.clear();
    client.commands.executeFrame(request);
    if (request.tag < 0 || request.tag > 999999)
        return; // no request that decodes carries such a tag
    const int code = fuzz::replyCodeFor(request.command);
    if (code == 0) {
        FUZZ_CHECK(client.responder.replies.isEmpty(), "code %d answered", request.command);
        return;
    }
    FUZZ_CHECK(client.responder.replies.size() == 1, "code %d answered %d times", request.command,
               int(client.responder.replies.size()));
    const QByteArray& reply = client.responder.replies.first();
    fuzz::checkReply(reply, code, request.tag);

    // The shared values read back exactly as stored, each in its own field:
    // a "%" in a client's text is data, never a placeholder.
    if (request.command == 10) {
        const SharedClientData::Values v = client.shared.read();
        const QStringList fields = {v.text1,
                                    v.text2,
                                    NumberFormat::general(v.number),
                                    QString::number(v.int1),
                                    QString::number(v.int2),
                                    QString::number(v.int3),
                                    QString::number(v.int4),
                                    QString::number(v.int5)};
        const QString expected = fields.join(QLatin1Char(':'));
        const QByteArray payload = reply.mid(19, reply.size() - 20);
        FUZZ_CHECK(payload == expected.toUtf8(), "shared values \"%s\", expected \"%s\"",
                   payload.left(80).constData(), expected.left(80).toUtf8().constData());
    }
}

void runText(Client& client, const QByteArray& text)
{
    client.responder.replies.clear();
    const bool whole = client.commands.interpretText(text);
    if (!whole) {
        FUZZ_CHECK(untilNul(text).contains("SetControllerValue"),
                   "text abandoned without a SetControllerValue command");
    }
}

float floatAt(const QByteArray& bytes, int offset)
{
    float value = 0.0f;
    if (bytes.size() >= offset + 4)
        std::memcpy(&value, bytes.constData() + offset, 4);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::silenceQt();
    stub = new StubLibrary(QStringLiteral("full"));
    if (!stub->isValid()) {
        std::fprintf(stderr, "stub library: %s\n", qPrintable(stub->errorString()));
        std::abort();
    }
    stub->reset();
    // One interface for the whole run: it resolves every function anew on
    // each call, so it keeps no state between inputs.
    library = new TSInterfaceDll(stub->folder());
    QString status;
    if (library->connectSimulator(status) != ResultOk) {
        std::fprintf(stderr, "stub library did not connect\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    stub->reset();
    inputSize = size;
    FakeInterface simulator;
    Client inMemory(&simulator);
    Client onLibrary(library);

    for (const QByteArray& record : fuzz::records(data, size)) {
        if (record.isEmpty())
            continue;
        const QByteArray body = record.mid(1);
        switch (record.at(0)) {
        case 'T':
            runText(inMemory, body);
            runText(onLibrary, body);
            break;
        case 'F': {
            if (body.size() < 4)
                break;
            MessageFrame request;
            request.command = static_cast<signed char>(body.at(0));
            request.tag = (uchar(body.at(1)) << 16) | (uchar(body.at(2)) << 8) | uchar(body.at(3));
            // As reception does: the payload ends at a NUL.
            request.payload = QString::fromUtf8(untilNul(body.mid(4)));
            request.length = 11 + body.size() - 4;
            runFrame(inMemory, request);
            runFrame(onLibrary, request);
            break;
        }
        case 'N':
            if (body.isEmpty()) {
                simulator.locoName.clear();
                stub->setLocoNameNull();
            } else {
                simulator.locoName = QString::fromUtf8(untilNul(body));
                stub->setLocoName(simulator.locoName);
            }
            break;
        case 'L':
            if (body.isEmpty()) {
                simulator.controllers.clear();
                stub->setControllerListNull();
            } else {
                const QString list = QString::fromUtf8(untilNul(body));
                simulator.controllers = list.split(QStringLiteral("::"));
                stub->setControllerList(list);
            }
            break;
        case 'V':
            if (body.size() >= 7) {
                const int index = qint16((uchar(body.at(0)) << 8) | uchar(body.at(1)));
                const int type = uchar(body.at(2)) % 3;
                const float value = floatAt(body, 3);
                simulator.setValue(type == 0 ? index : (type == 1 ? -1 - index : 1000 + index), value);
                stub->setValue(index, type, value);
            }
            break;
        case 'R':
            if (body.size() >= 5) {
                const float value = floatAt(body, 1);
                simulator.setValue(uchar(body.at(0)), value);
                stub->setRailSimValue(uchar(body.at(0)), value);
            }
            break;
        case 'U':
            if (!body.isEmpty())
                simulator.unset = FakeInterface::Unset(uchar(body.at(0)) % 8);
            break;
        default:
            break;
        }
    }
    return 0;
}
