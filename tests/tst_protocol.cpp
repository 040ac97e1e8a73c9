// The protocol without sockets: the frame codec's bytes, how the request
// reader turns one "data arrived" notification into one request, and what
// the command layer answers, calls and logs for every framed code and
// plain-text command.

#include "chunkdevice.h"
#include "commandset.h"
#include "fakeinterface.h"
#include "framecodec.h"
#include "loopbackclient.h"
#include "requestreader.h"
#include "sharedclientdata.h"

#include <QtTest>

#include <atomic>
#include <thread>

namespace {

template <int N>
QByteArray raw(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

// Reply frames built independently of FrameCodec.
const auto frame = LoopbackClient::frame;
const QByteArray kFrame = raw("@000016;003;000017;1234;");
const QString kDefaultShared = QStringLiteral("::0:9:169:300:200:200");

class MemoryResponder : public CommandResponder
{
public:
    QByteArray sent;
    QStringList logs; // "level|text"
    int endAfterSends = -1; // the client is ended after this many sends

    void sendBytes(const QByteArray& bytes) override
    {
        sent += bytes;
        --endAfterSends;
    }
    void log(const QString& text, int level) override { logs << QStringLiteral("%1|%2").arg(level).arg(text); }
    bool shouldEnd() const override { return endAfterSends == 0; }
};

class RecordingHandler : public RequestReader::Handler
{
public:
    QList<QByteArray> requests; // frames as they are, texts behind "text:"
    QStringList logs;
    int abandoned = 0;
    QList<bool> textAnswers;  // answered in turn; true once used up
    ChunkDevice* device = nullptr;
    QList<QByteArray> arriveDuringText;
    bool ending = false;

    void frameReceived(const QByteArray& message) override { requests << message; }
    bool textReceived(const QByteArray& text) override
    {
        requests << "text:" + text;
        if (!arriveDuringText.isEmpty())
            device->append(arriveDuringText.takeFirst());
        return textAnswers.isEmpty() ? true : textAnswers.takeFirst();
    }
    void log(const QString& text, int level) override { logs << QStringLiteral("%1|%2").arg(level).arg(text); }
    void abandonConnection() override { ++abandoned; }
    bool endRequested() const override { return ending; }
};

using Bytes = QList<QByteArray>;
using Answers = QList<bool>;

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void parseHeader_data();
    void parseHeader();
    void decode_data();
    void decode();
    void encode_data();
    void encode();
    void reader_data();
    void reader();
    void framed_data();
    void framed();
    void plainText_data();
    void plainText();
    void sharedValuesNeverTorn();
};

void TestProtocol::parseHeader_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("length"); // 0: no header
    QTest::addRow("length 16") << raw("@000016;") << 16;
    QTest::addRow("smallest length 1") << raw("@000001;") << 1;
    QTest::addRow("largest six-digit length") << raw("@999999;") << 999999;
    QTest::addRow("first byte not @") << raw("#000016;") << 0;
    QTest::addRow("length not a number") << raw("@00a016;") << 0;
    QTest::addRow("colon at offset 7") << raw("@000016:") << 0;
    QTest::addRow("length 0") << raw("@000000;") << 0;
    QTest::addRow("negative length") << raw("@-00016;") << 0;
    QTest::addRow("seven bytes are too short") << raw("@00016;") << 0;
}

void TestProtocol::parseHeader()
{
    QFETCH(QByteArray, header);
    QFETCH(int, length);
    int parsed = -1;
    QCOMPARE(FrameCodec::parseHeader(header, &parsed), length > 0);
    if (length > 0)
        QCOMPARE(parsed, length);
}

void TestProtocol::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("decoded");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("tag");
    QTest::addColumn<QString>("payload");

    QTest::addRow("payload keeps its closing ;") << kFrame << true << 16 << 3 << 17 << "1234;";
    QTest::addRow("19 bytes, empty payload") << raw("@000011;005;000001;") << true << 11 << 5 << 1 << "";
    QTest::addRow("18 bytes are no frame") << raw("@000010;005;000001") << false << 0 << 0 << 0 << "";
    QTest::addRow("no @") << raw("#000016;003;000017;1234;") << false << 0 << 0 << 0 << "";
    QTest::addRow("separators are not looked at") << raw("@000016X003X000017X1234;") << true << 16 << 3 << 17 << "1234;";
    QTest::addRow("fields that are no numbers read 0") << raw("@0x0016;a03;00b017;text;") << true << 0 << 0 << 0 << "text;";
    QTest::addRow("length is the header's, not the byte count") << raw("@000099;005;000003;abc") << true << 99 << 5 << 3
                                                                << "abc";
    QTest::addRow("payload ends at a NUL") << raw("@000016;003;000017;12\0" "4;") << true << 16 << 3 << 17 << "12";
    QTest::addRow("payload decoded as UTF-8") << QStringLiteral("@000019;001;000002;Z\u00fcrich;").toUtf8() << true << 19
                                              << 1 << 2 << QStringLiteral("Z\u00fcrich;");
    QTest::addRow("largest command and tag") << raw("@000016;999;999999;TRUE;") << true << 16 << 999 << 999999 << "TRUE;";
    QTest::addRow("negative command refused") << raw("@000016;-03;000017;1234;") << false << 0 << 0 << 0 << "";
    QTest::addRow("negative tag refused") << raw("@000016;003;-00017;1234;") << false << 0 << 0 << 0 << "";
}

void TestProtocol::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, decoded);
    MessageFrame message;
    QCOMPARE(FrameCodec::decode(bytes, &message), decoded);
    if (!decoded)
        return;
    QTEST(message.length, "length");
    QTEST(message.command, "command");
    QTEST(message.tag, "tag");
    QTEST(message.payload, "payload");
}

void TestProtocol::encode_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("tag");
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QByteArray>("bytes");

    QTest::addRow("the 24-byte example") << 3 << 17 << "1234" << kFrame;
    QTest::addRow("empty payload still ends with ;") << 2 << 0 << "" << raw("@000012;002;000000;;");
    QTest::addRow("six-digit tag, three-digit code") << 999 << 999999 << "TRUE" << raw("@000016;999;999999;TRUE;");
    QTest::addRow("a seven-digit tag is not cut") << 7 << 1234567 << "a" << raw("@000014;007;1234567;a;");
    QTest::addRow("length counts UTF-8 bytes") << 5 << 1 << QStringLiteral("\u20ac\U0001F682")
                                               << QStringLiteral("@000019;005;000001;\u20ac\U0001F682;").toUtf8();
    QTest::addRow("separators in the payload are not escaped") << 10 << 3 << "a;b:@" << raw("@000017;010;000003;a;b:@;");
}

void TestProtocol::encode()
{
    QFETCH(int, command);
    QFETCH(int, tag);
    QFETCH(QString, payload);
    QFETCH(QByteArray, bytes);
    const MessageFrame message = FrameCodec::encode(command, tag, payload);
    QCOMPARE(message.bytes, bytes);
    QCOMPARE(message.length, bytes.size() - 8);
}

// The reader on a device whose waits deliver the next segment at once, or
// time out at once when none is left.
void TestProtocol::reader_data()
{
    QTest::addColumn<QByteArray>("waiting");       // there when the notification comes
    QTest::addColumn<Bytes>("arrivals");           // one segment per wait
    QTest::addColumn<Answers>("textAnswers");
    QTest::addColumn<Bytes>("arriveDuringText");
    QTest::addColumn<int>("maxWaits");
    QTest::addColumn<Bytes>("requests");
    QTest::addColumn<bool>("headerNotFound");
    QTest::addColumn<bool>("abandoned");
    QTest::addColumn<int>("waits");
    QTest::addColumn<QByteArray>("unread");

    const Bytes none;
    const Answers yes;
    auto text = [](const QByteArray& bytes) { return "text:" + bytes; };
    const QByteArray name = raw("GetLocoName()");
    const QByteArray other = raw("@000013;005;000002;x;");
    Bytes single;
    for (char byte : kFrame.mid(9))
        single << QByteArray(1, byte);

    QTest::addRow("13 bytes of GetLocoName() are plain text")
        << name << none << yes << none << 1000 << Bytes{text(name)} << false << false << 0 << QByteArray();
    QTest::addRow("a whole frame is served without a wait")
        << kFrame << none << yes << none << 1000 << Bytes{kFrame} << false << false << 0 << QByteArray();
    QTest::addRow("eight header bytes alone are text, @ included")
        << raw("@000016;") << none << yes << none << 1000 << Bytes{text("@000016;")} << false << false << 0 << QByteArray();
    QTest::addRow("nine bytes start a frame")
        << kFrame.left(9) << Bytes{kFrame.mid(9)} << yes << none << 1000 << Bytes{kFrame} << false << false << 1
        << QByteArray();
    QTest::addRow("a bad length field: @ dropped, the rest is text")
        << raw("@00x016;003;000017;1234;") << none << yes << none << 1000 << Bytes{text("00x016;003;000017;1234;")}
        << false << false << 0 << QByteArray();
    QTest::addRow("a wrong byte at offset 7: @ dropped, the rest is text")
        << raw("@000016:003;000017;1234;") << none << yes << none << 1000 << Bytes{text("000016:003;000017;1234;")}
        << false << false << 0 << QByteArray();
    QTest::addRow("a single stray byte: Header not found")
        << raw("x") << none << yes << none << 1000 << none << true << false << 0 << QByteArray();
    QTest::addRow("nothing waiting: Header not found")
        << QByteArray() << none << yes << none << 1000 << none << true << false << 0 << QByteArray();
    QTest::addRow("a frame in fifteen one-byte segments is put together")
        << kFrame.left(9) << single << yes << none << 1000 << Bytes{kFrame} << false << false << 15 << QByteArray();
    QTest::addRow("a body that stops arriving abandons the connection")
        << kFrame.left(12) << Bytes{kFrame.mid(12, 4)} << yes << none << 1000 << none << false << true << 2 << QByteArray();
    QTest::addRow("after the last wait the frame is served with what was read")
        << kFrame.left(10) << Bytes{"3", ";", "0"} << yes << none << 2 << Bytes{kFrame.left(11)} << false << false << 2
        << raw(";");
    QTest::addRow("two frames back to back: the second waits")
        << kFrame + other << none << yes << none << 1000 << Bytes{kFrame} << false << false << 0 << other;
    QTest::addRow("bytes beyond the body wait for the next notification")
        << kFrame.left(12) << Bytes{kFrame.mid(12) + "GetLoco"} << yes << none << 1000 << Bytes{kFrame} << false << false
        << 1 << QByteArray("GetLoco");
    QTest::addRow("text answered false: what arrived meanwhile is a new request")
        << raw("SetControllerValue(3)") << none << Answers{false} << Bytes{name} << 1000
        << Bytes{text("SetControllerValue(3)"), text(name)} << false << false << 0 << QByteArray();
    QTest::addRow("text answered false and nothing arrived: Header not found")
        << raw("abc") << none << Answers{false} << none << 1000 << Bytes{text("abc")} << true << false << 0 << QByteArray();
    // After a false answer "@" is tested against the count taken before the
    // text was read.
    QTest::addRow("after false a frame counts when the earlier count reached 9")
        << name << none << Answers{false} << Bytes{kFrame} << 1000 << Bytes{text(name), kFrame} << false << false << 0
        << QByteArray();
    QTest::addRow("after false a frame is text when the earlier count was below 9")
        << raw("abc") << none << Answers{false} << Bytes{kFrame} << 1000 << Bytes{text("abc"), text(kFrame)} << false
        << false << 0 << QByteArray();
}

void TestProtocol::reader()
{
    QFETCH(QByteArray, waiting);
    QFETCH(Bytes, arrivals);
    QFETCH(Answers, textAnswers);
    QFETCH(Bytes, arriveDuringText);
    QFETCH(int, maxWaits);

    ChunkDevice device(arrivals);
    device.append(waiting);
    RecordingHandler handler;
    handler.device = &device;
    handler.textAnswers = textAnswers;
    handler.arriveDuringText = arriveDuringText;
    RequestTiming timing;
    timing.waitMs = 321;
    timing.pauseMs = 0;
    timing.maxWaits = maxWaits;
    RequestReader reader(&device, &handler, timing);
    reader.readRequest();

    QTEST(handler.requests, "requests");
    QTEST(handler.logs.contains(QStringLiteral("0|Client: Header not found.")), "headerNotFound");
    QTEST(handler.abandoned == 1, "abandoned");
    QTEST(device.waits(), "waits");
    for (int limit : device.waitLimits())
        QCOMPARE(limit, timing.waitMs);
    QTEST(device.unread(), "unread");

    // A client being ended reads nothing more.
    handler.ending = true;
    handler.requests.clear();
    device.append(raw("GetLocoName()"));
    reader.readRequest();
    QCOMPARE(handler.requests, Bytes());
}

void TestProtocol::framed_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("payload"); // as the frame carries it, closing ";" included
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("log");

    const QStringList none;
    QTest::addRow("1 names the client, no reply") << 1 << "Cab display;" << QByteArray() << none
                                                  << "1|(Server) - Client Name: Cab display";
    QTest::addRow("2 server name") << 2 << "" << frame(2, 42, "Kestrel") << none << "0|(Server) - Get Server name: Kestrel";
    QTest::addRow("3 client id") << 3 << "" << frame(3, 42, "1234") << none << "0|(Server) - Get Client ID: 1234";
    QTest::addRow("4 train data, then the shared values")
        << 4 << "" << frame(4, 42, "51.5000000:-0.2500000:1.5000000:12:30:15:80.26:0.5:0:" + kDefaultShared)
        << QStringList{"getTrainData"} << "0|(Server) - Get Train Data: 51.5000000:-0.2500000:1.5000000:12:30:15:80.26:0.5:0";
    QTest::addRow("5 loco name") << 5 << "ignored;" << frame(5, 42, "Class 66") << QStringList{"getLocoName"}
                                 << "0|(Server) - Get Loco name: Class 66";
    QTest::addRow("6 values, answered with code 7") << 6 << "0:1;" << frame(7, 42, "values of 0:1")
                                                    << QStringList{"getControllerValues(0:1)"}
                                                    << "0|(Server) - Get ControllerValues: values of 0:1";
    QTest::addRow("7 raw list") << 7 << "" << frame(7, 42, "0::Throttle::0::1::") << QStringList{"getControllerListRaw"}
                                << "0|(Server) - Get Controller list: 0::Throttle::0::1::";
    QTest::addRow("8 sets, the argument passed unchanged") << 8 << "1:0,5;" << frame(8, 42, "Set CtrlValue: 1:0,5")
                                                           << QStringList{"setControllerValue(1:0,5)"}
                                                           << "0|(Server) - Set CtrlValue: 1:0,5";
    QTest::addRow("9 stores, answered with code 10") << 9 << "A:B:1.5:1:2:3:4:5;" << frame(10, 42, "TRUE") << none
                                                     << "0|(Server) - A:B:1.5:1:2:3:4:5";
    QTest::addRow("9 stores placeholders as they are") << 9 << "%2%1:%1:1:1:2:3:4:5;" << frame(10, 42, "TRUE") << none
                                                       << "0|(Server) - %2%1:%1:1:1:2:3:4:5";
    QTest::addRow("9 with seven parts stores nothing") << 9 << "A:B:1.5:1:2:3:4;" << frame(10, 42, "FALSE") << none
                                                       << "0|(Server) - A:B:1.5:1:2:3:4";
    QTest::addRow("10 shared values") << 10 << "" << frame(10, 42, kDefaultShared) << none << "0|(Server) - " + kDefaultShared;
    QTest::addRow("0 is ignored") << 0 << "" << QByteArray() << none << "";
    QTest::addRow("11 is ignored") << 11 << "" << QByteArray() << none << "";
    // A reply that no six-digit length could announce is refused.
    const QString longIds = QString(999980, QLatin1Char('1')) + QLatin1Char(';');
    QTest::addRow("a reply too long for a frame is refused")
        << 6 << longIds << frame(7, 42, "REPLY TOO LONG") << QStringList{"getControllerValues(" + longIds.chopped(1) + ")"}
        << "1|(Server) - Reply of 1000011 bytes is too long for a frame; request refused";
}

void TestProtocol::framed()
{
    QFETCH(int, code);
    QFETCH(QString, payload);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, calls);
    QFETCH(QString, log);

    FakeInterface fake;
    SharedClientData shared;
    QString name;
    MemoryResponder responder;
    CommandSet commands(&fake, &shared, 1234, &name, &responder);
    MessageFrame request;
    request.command = code;
    request.tag = 42;
    request.payload = payload;
    commands.executeFrame(request);

    QCOMPARE(responder.sent, reply);
    QCOMPARE(fake.calls, calls);
    QCOMPARE(responder.logs.isEmpty() ? QString() : responder.logs.last(), log);
    if (code == 1)
        QCOMPARE(name, QStringLiteral("Cab display"));
    if (code == 9 && reply.contains("TRUE")) {
        // Every client reads back what one stored, "%" and all.
        responder.sent.clear();
        request.command = 10;
        commands.executeFrame(request);
        QCOMPARE(responder.sent, frame(10, 42, payload.chopped(1)));
    }
}

void TestProtocol::plainText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("logs");
    QTest::addColumn<bool>("answer");

    const QString command = QStringLiteral("1|(Server) - Command: %1");
    const QByteArray loco = QStringLiteral("Class 66").toLocal8Bit();
    QTest::addRow("GetLocoName()") << raw("GetLocoName()") << loco << QStringList{"getLocoName"}
                                   << QStringList{command.arg("GetLocoName()")} << true;
    QTest::addRow("two commands and an empty piece between")
        << raw("GetLocoName()<END><END>GetLocoName()<END>") << loco + loco << QStringList{"getLocoName", "getLocoName"}
        << QStringList{command.arg("GetLocoName()"), command.arg("GetLocoName()")} << true;
    QTest::addRow("JSON list") << raw("GetControllerListExtended(JSON)") << raw("{\"controller\":[]}")
                               << QStringList{"getControllerListJson"} << QStringList{command.arg("GetControllerListExtended(JSON)")}
                               << true;
    QTest::addRow("RAW list") << raw("GetControllerListExtended(RAW)") << raw("0::Throttle::0::1::")
                              << QStringList{"getControllerListRaw"} << QStringList{command.arg("GetControllerListExtended(RAW)")}
                              << true;
    QTest::addRow("FLAT list") << raw("GetControllerListExtended(FLAT)") << raw("0;Throttle;0;1;")
                               << QStringList{"getControllerListFlat"} << QStringList{command.arg("GetControllerListExtended(FLAT)")}
                               << true;
    QTest::addRow("one value") << raw("GetControllerValue(12;0)") << raw("value of 12;0")
                               << QStringList{"getControllerValue(12;0)"} << QStringList{command.arg("GetControllerValue(12;0)")}
                               << true;
    QTest::addRow("MultiplyRaw is not GetControllerValue(") << raw("GetControllerValueMultiplyRaw(1:2)")
                                                            << raw("values of 1:2") << QStringList{"getControllerValues(1:2)"}
                                                            << QStringList{command.arg("GetControllerValueMultiplyRaw(1:2)")}
                                                            << true;
    QTest::addRow("set: comma to point, no answer") << raw("SetControllerValue(12;0,5)") << QByteArray()
                                                    << QStringList{"setControllerValue(12:0.5)"}
                                                    << QStringList{command.arg("SetControllerValue(12;0,5)")} << true;
    QTest::addRow("a malformed set abandons the rest")
        << raw("SetControllerValue(3)<END>GetLocoName()") << QByteArray() << QStringList()
        << QStringList{command.arg("SetControllerValue(3)")} << false;
    QTest::addRow("keywords are found anywhere: XSetClientNameY(Z)")
        << raw("XSetClientNameY(Z)") << QByteArray() << QStringList()
        << QStringList{command.arg("XSetClientNameY(Z)"), "1|(Server) - Client Name: Z"} << true;
    QTest::addRow("a command without brackets is skipped")
        << raw("GetControllerValue(12;0<END>GetLocoName()") << loco << QStringList{"getLocoName"}
        << QStringList{command.arg("GetControllerValue(12;0"), command.arg("GetLocoName()")} << true;
    QTest::addRow("an unknown command is logged, the next still runs")
        << raw("Hello<END>GetLocoName()") << loco << QStringList{"getLocoName"}
        << QStringList{command.arg("Hello"), "1|(Server) - Unknown Command: Hello", command.arg("GetLocoName()")} << true;
    QTest::addRow("text ends at a NUL") << raw("GetLocoName()\0GetLocoName()") << loco << QStringList{"getLocoName"}
                                        << QStringList{command.arg("GetLocoName()")} << true;
    QTest::addRow("a client being ended stops at the next command")
        << raw("GetLocoName()<END>GetLocoName()<END>GetLocoName()") << loco << QStringList{"getLocoName"}
        << QStringList{command.arg("GetLocoName()")} << true;
}

void TestProtocol::plainText()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, answer);

    FakeInterface fake;
    SharedClientData shared;
    QString name;
    MemoryResponder responder;
    if (QByteArray(QTest::currentDataTag()).startsWith("a client being ended"))
        responder.endAfterSends = 1;
    CommandSet commands(&fake, &shared, 1234, &name, &responder);
    QCOMPARE(commands.interpretText(text), answer);
    QTEST(responder.sent, "sent");
    QTEST(fake.calls, "calls");
    QTEST(responder.logs, "logs");

    // Without an interface nothing is served and the reader is told so.
    CommandSet without(nullptr, &shared, 1234, &name, &responder);
    responder.sent.clear();
    QVERIFY(!without.interpretText(text));
    QCOMPARE(responder.sent, QByteArray());
}

// Client threads store and read the record at once: a reader must never see
// half of one client's values and half of another's.
void TestProtocol::sharedValuesNeverTorn()
{
    SharedClientData shared;
    SharedClientData::Values first;
    first.text1 = QStringLiteral("first");
    first.int5 = 1;
    SharedClientData::Values second;
    second.text1 = QString(500, QLatin1Char('s'));
    second.int5 = 2;
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
            shared.write(i % 2 ? first : second);
        stop = true;
    });
    std::thread reader([&] {
        while (!stop) {
            const SharedClientData::Values values = shared.read();
            if ((values.int5 == 1) != (values.text1 == first.text1))
                ++torn;
        }
    });
    writer.join();
    reader.join();
    QCOMPARE(torn.load(), 0);
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
