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

// One client's command layer over the in-memory simulator, keeping what it
// sends and logs ("level|text").
class CommandBench : public CommandResponder
{
public:
    FakeInterface fake;
    SharedClientData shared;
    QString name;
    CommandSet commands{&fake, &shared, 1234, &name, this};
    QByteArray sent;
    QStringList logs;
    int endAfterSends = -1; // the client is ended after this many sends

    void sendBytes(const QByteArray& bytes) override
    {
        sent += bytes;
        --endAfterSends;
    }
    void log(const QString& text, int level) override { logs << QStringLiteral("%1|%2").arg(level).arg(text); }
    bool shouldEnd() const override { return endAfterSends == 0; }
};

// Records what the reader hands on, in order: frames as they are, texts
// behind "text:", log lines and "abandoned". While arriveDuringText lasts,
// each text is answered false and its next entry arrives meanwhile.
class RecordingHandler : public RequestReader::Handler
{
public:
    QList<QByteArray> events;
    ChunkDevice* device = nullptr;
    QList<QByteArray> arriveDuringText;
    bool ending = false;

    void frameReceived(const QByteArray& message) override { events << message; }
    bool textReceived(const QByteArray& text) override
    {
        events << "text:" + text;
        if (arriveDuringText.isEmpty())
            return true;
        device->append(arriveDuringText.takeFirst());
        return false;
    }
    void log(const QString& text, int level) override { events << QByteArray::number(level) + '|' + text.toUtf8(); }
    void abandonConnection() override { events << "abandoned"; }
    bool endRequested() const override { return ending; }
};

using Bytes = QList<QByteArray>;

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:

    // Each row goes through parseHeader as well: the length it reads, or -1.
    void decode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("header");
        QTest::addColumn<bool>("decoded");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("tag");
        QTest::addColumn<QString>("payload");

        QTest::addRow("payload keeps its closing ;") << kFrame << 16 << true << 16 << 3 << 17 << "1234;";
        QTest::addRow("19 bytes, empty payload; smallest length 1")
            << raw("@000001;005;000001;") << 1 << true << 1 << 5 << 1 << "";
        QTest::addRow("18 bytes are no frame; length 0 no header")
            << raw("@000000;005;000001") << -1 << false << 0 << 0 << 0 << "";
        QTest::addRow("seven bytes are too short") << raw("@00016;") << -1 << false << 0 << 0 << 0 << "";
        QTest::addRow("no @") << raw("#000016;003;000017;1234;") << -1 << false << 0 << 0 << 0 << "";
        QTest::addRow("decode ignores separators, the header needs ; at offset 7")
            << raw("@000016X003X000017X1234;") << -1 << true << 16 << 3 << 17 << "1234;";
        QTest::addRow("fields that are no numbers read 0, no header")
            << raw("@0x0016;a03;00b017;text;") << -1 << true << 0 << 0 << 0 << "text;";
        QTest::addRow("length is the header's, not the byte count")
            << raw("@000099;005;000003;abc") << 99 << true << 99 << 5 << 3 << "abc";
        QTest::addRow("payload ends at a NUL")
            << raw("@000016;003;000017;12\0" "4;") << 16 << true << 16 << 3 << 17 << "12";
        QTest::addRow("payload decoded as UTF-8") << QStringLiteral("@000019;001;000002;Z\u00fcrich;").toUtf8() << 19
                                                  << true << 19 << 1 << 2 << QStringLiteral("Z\u00fcrich;");
        QTest::addRow("largest length, command and tag")
            << raw("@999999;999;999999;TRUE;") << 999999 << true << 999999 << 999 << 999999 << "TRUE;";
        QTest::addRow("negative command refused, negative length no header")
            << raw("@-00016;-03;000017;1234;") << -1 << false << 0 << 0 << 0 << "";
        QTest::addRow("negative tag refused") << raw("@000016;003;-00017;1234;") << 16 << false << 0 << 0 << 0 << "";
    }

    void decode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, decoded);
        int length = 0;
        QTEST(FrameCodec::parseHeader(bytes, &length) ? length : -1, "header");
        MessageFrame message;
        QCOMPARE(FrameCodec::decode(bytes, &message), decoded);
        if (!decoded)
            return;
        QTEST(message.length, "length");
        QTEST(message.command, "command");
        QTEST(message.tag, "tag");
        QTEST(message.payload, "payload");
    }

    void encode_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("tag");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QByteArray>("bytes");

        QTest::addRow("the 24-byte example") << 3 << 17 << "1234" << kFrame;
        QTest::addRow("empty payload still ends with ;") << 2 << 0 << "" << raw("@000012;002;000000;;");
        QTest::addRow("a seven-digit tag is not cut") << 7 << 1234567 << "a" << raw("@000014;007;1234567;a;");
        QTest::addRow("length counts UTF-8 bytes") << 5 << 1 << QStringLiteral("\u20ac\U0001F682")
                                                   << QStringLiteral("@000019;005;000001;\u20ac\U0001F682;").toUtf8();
    }

    void encode()
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
    void reader_data()
    {
        QTest::addColumn<QByteArray>("waiting"); // there when the notification comes
        QTest::addColumn<Bytes>("arrivals");     // one segment per wait
        QTest::addColumn<Bytes>("events");
        QTest::addColumn<int>("waits");
        QTest::addColumn<QByteArray>("unread");
        QTest::addColumn<Bytes>("arriveDuringText");
        QTest::addColumn<int>("maxWaits");

        auto row = [](const char* name, const QByteArray& waiting, const Bytes& arrivals, const Bytes& events,
                      int waits = 0, const QByteArray& unread = {}, const Bytes& duringText = {}, int maxWaits = 1000) {
            QTest::newRow(name) << waiting << arrivals << events << waits << unread << duringText << maxWaits;
        };
        auto text = [](const QByteArray& bytes) { return "text:" + bytes; };
        const QByteArray name = "GetLocoName()", other = "@000013;005;000002;x;", notFound = "0|Client: Header not found.";
        Bytes single;
        for (char byte : kFrame.mid(9))
            single << QByteArray(1, byte);

        row("eight header bytes alone are text, @ included", "@000016;", {}, {text("@000016;")});
        row("a bad header: @ dropped, the rest is text", "@00x016;003;000017;1234;", {}, {text("00x016;003;000017;1234;")});
        row("a single stray byte: Header not found", "x", {}, {notFound});
        row("nine bytes start a frame, fifteen one-byte segments complete it", kFrame.left(9), single, {kFrame}, 15);
        row("a body that stops arriving abandons the connection", kFrame.left(12), {kFrame.mid(12, 4)}, {"abandoned"}, 2);
        row("after the last wait the frame is served with what was read", kFrame.left(10), {"3", ";", "0"},
            {kFrame.left(11)}, 2, ";", {}, 2);
        row("two frames back to back: the second waits", kFrame + other, {}, {kFrame}, 0, other);
        row("bytes beyond the body wait for the next notification", kFrame.left(12), {kFrame.mid(12) + "GetLoco"}, {kFrame},
            1, "GetLoco");
        row("text answered false and nothing arrived: Header not found", "abc", {}, {text("abc"), notFound}, 0, {}, {""});
        // After a false answer what arrived meanwhile is a new request, and "@"
        // is tested against the count taken before the text was read.
        row("after false a frame counts when the earlier count reached 9", name, {}, {text(name), kFrame}, 0, {}, {kFrame});
        row("after false a frame is text when the earlier count was below 9", "abc", {}, {text("abc"), text(kFrame)}, 0, {},
            {kFrame});
    }

    void reader()
    {
        QFETCH(QByteArray, waiting);
        QFETCH(Bytes, arrivals);
        QFETCH(Bytes, arriveDuringText);
        QFETCH(int, maxWaits);

        ChunkDevice device(arrivals);
        device.append(waiting);
        RecordingHandler handler;
        handler.device = &device;
        handler.arriveDuringText = arriveDuringText;
        RequestReader reader(&device, &handler, RequestTiming{321, 0, maxWaits});
        reader.readRequest();

        QTEST(handler.events, "events");
        QTEST(device.waitLimits().size(), "waits");
        for (int limit : device.waitLimits())
            QCOMPARE(limit, 321);
        QTEST(device.unread(), "unread");

        // A client being ended reads nothing more.
        handler.ending = true;
        handler.events.clear();
        reader.readRequest();
        QCOMPARE(handler.events, Bytes());
    }

    void framed_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("payload"); // as the frame carries it, closing ";" included
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("log"); // the last line logged; "*" where another row checks its format

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
        QTest::addRow("6 values, answered with code 7")
            << 6 << "0:1;" << frame(7, 42, "values of 0:1") << QStringList{"getControllerValues(0:1)"}
            << "0|(Server) - Get ControllerValues: values of 0:1";
        QTest::addRow("7 raw list") << 7 << "" << frame(7, 42, "0::Throttle::0::1::") << QStringList{"getControllerListRaw"}
                                    << "0|(Server) - Get Controller list: 0::Throttle::0::1::";
        QTest::addRow("8 sets, the argument passed unchanged")
            << 8 << "1:0,5;" << frame(8, 42, "Set CtrlValue: 1:0,5") << QStringList{"setControllerValue(1:0,5)"}
            << "0|(Server) - Set CtrlValue: 1:0,5";
        QTest::addRow("9 stores each field, placeholders as they are")
            << 9 << "%2%1:%1:1.5:1:2:3:4:5;" << frame(10, 42, "TRUE") << none << "*";
        QTest::addRow("9: seven parts store nothing") << 9 << "A:B:1.5:1:2:3:4;" << frame(10, 42, "FALSE") << none << "*";
        const QString longest(CommandSet::MaxSharedTextBytes, QLatin1Char('t'));
        QTest::addRow("9: a text of the longest size is stored")
            << 9 << longest + ":b:1:1:2:3:4:5;" << frame(10, 42, "TRUE") << none << "*";
        QTest::addRow("9: a text one byte longer is not")
            << 9 << longest + "t:b:1:1:2:3:4:5;" << frame(10, 42, "FALSE") << none << "*";
        QTest::addRow("11 is ignored") << 11 << "" << QByteArray() << none << "";
        // A reply that no six-digit length could announce is refused.
        const QString longIds = QString(999980, QLatin1Char('1')) + QLatin1Char(';');
        QTest::addRow("a reply too long for a frame is refused")
            << 6 << longIds << frame(7, 42, "REPLY TOO LONG") << QStringList{"getControllerValues(" + longIds.chopped(1) + ")"}
            << "1|(Server) - Reply of 1000011 bytes is too long for a frame; request refused";
    }

    void framed()
    {
        QFETCH(int, code);
        QFETCH(QString, payload);
        QFETCH(QByteArray, reply);
        QFETCH(QString, log);

        CommandBench bench;
        MessageFrame request{QByteArray(), 0, code, 42, payload};
        bench.commands.executeFrame(request);

        QCOMPARE(bench.sent, reply);
        QTEST(bench.fake.calls, "calls");
        if (log != "*")
            QCOMPARE(bench.logs.value(bench.logs.size() - 1), log);
        if (code == 1)
            QCOMPARE(bench.name, QStringLiteral("Cab display"));
        if (code == 9) {
            // Every client reads back what one stored, "%" and all, and finds
            // it after whole train data (placeholders in it fill nothing);
            // a record refused leaves the values as they were.
            const QString shared = reply.contains("TRUE") ? payload.chopped(1) : kDefaultShared;
            for (const int asked : {10, 4}) {
                bench.sent.clear();
                request.command = asked;
                bench.commands.executeFrame(request);
                QCOMPARE(bench.sent, frame(asked, 42, asked == 4 ? bench.fake.trainData + ':' + shared : shared));
            }
        }
    }

    void plainText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("logs");
        QTest::addColumn<bool>("answer");

        const QString command = QStringLiteral("1|(Server) - Command: %1");
        const QByteArray loco = "Class 66";
        QTest::addRow("two commands and an empty piece between")
            << raw("GetLocoName()<END><END>GetLocoName()<END>") << loco + loco << QStringList{"getLocoName", "getLocoName"}
            << QStringList{command.arg("GetLocoName()"), command.arg("GetLocoName()")} << true;
        QTest::addRow("each list form reaches its own operation")
            << raw("GetControllerListExtended(JSON)<END>GetControllerListExtended(RAW)<END>GetControllerListExtended(FLAT)")
            << raw("{\"controller\":[]}0::Throttle::0::1::0;Throttle;0;1;")
            << QStringList{"getControllerListJson", "getControllerListRaw", "getControllerListFlat"}
            << QStringList{command.arg("GetControllerListExtended(JSON)"), command.arg("GetControllerListExtended(RAW)"),
                           command.arg("GetControllerListExtended(FLAT)")}
            << true;
        QTest::addRow("one value, and MultiplyRaw is not GetControllerValue(")
            << raw("GetControllerValue(12;0)<END>GetControllerValueMultiplyRaw(1:2)") << raw("value of 12;0values of 1:2")
            << QStringList{"getControllerValue(12;0)", "getControllerValues(1:2)"}
            << QStringList{command.arg("GetControllerValue(12;0)"), command.arg("GetControllerValueMultiplyRaw(1:2)")}
            << true;
        QTest::addRow("set: comma to point, no answer; a malformed set abandons the rest")
            << raw("SetControllerValue(12;0,5)<END>SetControllerValue(3)<END>GetLocoName()") << QByteArray()
            << QStringList{"setControllerValue(12:0.5)"}
            << QStringList{command.arg("SetControllerValue(12;0,5)"), command.arg("SetControllerValue(3)")} << false;
        QTest::addRow("keywords are found anywhere: XSetClientNameY(Z)")
            << raw("XSetClientNameY(Z)") << QByteArray() << QStringList()
            << QStringList{command.arg("XSetClientNameY(Z)"), "1|(Server) - Client Name: Z"} << true;
        QTest::addRow("an unknown command is logged, one without brackets skipped, the next still runs")
            << raw("Hello<END>GetControllerValue(12;0<END>GetLocoName()") << loco << QStringList{"getLocoName"}
            << QStringList{command.arg("Hello"), "1|(Server) - Unknown Command: Hello",
                           command.arg("GetControllerValue(12;0"), command.arg("GetLocoName()")}
            << true;
        QTest::addRow("text ends at a NUL") << raw("GetLocoName()\0GetLocoName()") << loco << QStringList{"getLocoName"}
                                            << QStringList{command.arg("GetLocoName()")} << true;
        QTest::addRow("a client being ended stops at the next command")
            << raw("GetLocoName()<END>GetLocoName()<END>GetLocoName()") << loco << QStringList{"getLocoName"}
            << QStringList{command.arg("GetLocoName()")} << true;
    }

    void plainText()
    {
        QFETCH(QByteArray, text);

        CommandBench bench;
        if (QByteArray(QTest::currentDataTag()).startsWith("a client being ended"))
            bench.endAfterSends = 1;
        QTEST(bench.commands.interpretText(text), "answer");
        QTEST(bench.sent, "sent");
        QTEST(bench.fake.calls, "calls");
        QTEST(bench.logs, "logs");

        // Without an interface nothing is served and the reader is told so.
        CommandSet without(nullptr, &bench.shared, 1234, &bench.name, &bench);
        bench.sent.clear();
        QVERIFY(!without.interpretText(text));
        QCOMPARE(bench.sent, QByteArray());
    }

    // Client threads store and read the record at once: a reader must never see
    // half of one client's values and half of another's.
    void sharedValuesNeverTorn()
    {
        SharedClientData shared;
        SharedClientData::Values first, second;
        first.text1 = QStringLiteral("first");
        first.int5 = 1;
        second.text1 = QString(500, QLatin1Char('s'));
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (int i = 0; i < 20000; ++i)
                shared.write(i % 2 ? first : second);
            stop = true;
        });
        int torn = 0;
        while (!stop) {
            const SharedClientData::Values values = shared.read();
            if ((values.int5 == 1) != (values.text1 == first.text1))
                ++torn;
        }
        writer.join();
        QCOMPARE(torn, 0);
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
