// How one "data arrived" notification becomes one request: frame or plain
// text by the first byte, a frame body collected within its time limits, and
// what is dropped, abandoned or left for the next notification.
//
// Most rows run on a scripted device whose waits deliver the next segment at
// once (or time out at once when the script is used up), so the rules about
// counts and waits are exercised exactly and without delay; a few rows run
// on a real loopback connection, where waiting means the socket's own wait.

#include "requestreader.h"

#include <QtTest>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>

namespace {

template <int N>
QByteArray raw(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

const QByteArray kFrame = raw("@000016;003;000017;1234;");
const QByteArray kOtherFrame = raw("@000013;005;000002;x;");

// A sequential device fed by the test. Each wait for data appends the next
// scripted segment and succeeds, or fails at once when the script is done.
class ScriptedDevice : public QIODevice
{
public:
    QByteArray data;
    QList<QByteArray> arrivals;
    QList<int> waits; // the time limit of every wait, in order

    ScriptedDevice() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return data.size() + QIODevice::bytesAvailable(); }
    bool waitForReadyRead(int msecs) override
    {
        waits << msecs;
        if (arrivals.isEmpty())
            return false;
        data += arrivals.takeFirst();
        return true;
    }

protected:
    qint64 readData(char* out, qint64 maxSize) override
    {
        const qint64 count = qMin<qint64>(maxSize, data.size());
        memcpy(out, data.constData(), size_t(count));
        data.remove(0, int(count));
        return count;
    }
    qint64 writeData(const char*, qint64 size) override { return size; }
};

class RecordingHandler : public RequestReader::Handler
{
public:
    QList<QByteArray> frames;
    QList<QByteArray> texts;
    QStringList logs; // "level|text"
    int abandoned = 0;
    QList<bool> textAnswers;          // answered in turn; true once used up
    std::function<void(int)> onText;  // runs inside textReceived, with its index

    void frameReceived(const QByteArray& message) override { frames << message; }
    bool textReceived(const QByteArray& text) override
    {
        texts << text;
        if (onText)
            onText(texts.size() - 1);
        return textAnswers.isEmpty() ? true : textAnswers.takeFirst();
    }
    void log(const QString& text, int level) override { logs << QStringLiteral("%1|%2").arg(level).arg(text); }
    void abandonConnection() override { ++abandoned; }
};

using ByteArrays = QList<QByteArray>;
using Answers = QList<bool>;

const QString kHeaderNotFound = QStringLiteral("0|Client: Header not found.");

} // namespace

class TestRequestReader : public QObject
{
    Q_OBJECT

private slots:
    void scripted_data();
    void scripted();
    void loopback_data();
    void loopback();
};

void TestRequestReader::scripted_data()
{
    QTest::addColumn<QByteArray>("waiting");      // there when the notification comes
    QTest::addColumn<ByteArrays>("arrivals");     // one segment per wait
    QTest::addColumn<Answers>("textAnswers");
    QTest::addColumn<ByteArrays>("arriveDuringText"); // appended while text is interpreted
    QTest::addColumn<int>("maxWaits");
    QTest::addColumn<ByteArrays>("frames");
    QTest::addColumn<ByteArrays>("texts");
    QTest::addColumn<QStringList>("logs");
    QTest::addColumn<bool>("abandoned");
    QTest::addColumn<int>("waitCount");
    QTest::addColumn<QByteArray>("leftOver");

    const ByteArrays none;
    const Answers yes;
    const QStringList quiet;

    QTest::addRow("GetLocoName() as 13 bytes is plain text")
        << raw("GetLocoName()") << none << yes << none << 1000 << none << ByteArrays{raw("GetLocoName()")} << quiet
        << false << 0 << QByteArray();
    QTest::addRow("a whole frame waiting is served without a wait")
        << kFrame << none << yes << none << 1000 << ByteArrays{kFrame} << none << quiet << false << 0 << QByteArray();
    QTest::addRow("smallest frame, one byte of body")
        << raw("@000001;x") << none << yes << none << 1000 << ByteArrays{raw("@000001;x")} << none << quiet << false << 0
        << QByteArray();
    QTest::addRow("eight header bytes alone are text, @ included")
        << raw("@000016;") << none << yes << none << 1000 << none << ByteArrays{raw("@000016;")} << quiet << false << 0
        << QByteArray();
    QTest::addRow("nine bytes waiting start a frame")
        << kFrame.left(9) << ByteArrays{kFrame.mid(9)} << yes << none << 1000 << ByteArrays{kFrame} << none << quiet
        << false << 1 << QByteArray();
    QTest::addRow("length not a number: @ dropped, the rest is text")
        << raw("@00x016;003;000017;1234;") << none << yes << none << 1000 << none
        << ByteArrays{raw("00x016;003;000017;1234;")} << quiet << false << 0 << QByteArray();
    QTest::addRow("wrong byte at offset 7: @ dropped, the rest is text")
        << raw("@000016:003;000017;1234;") << none << yes << none << 1000 << none
        << ByteArrays{raw("000016:003;000017;1234;")} << quiet << false << 0 << QByteArray();
    QTest::addRow("length 0: @ dropped, the rest is text")
        << raw("@000000;GetLocoName()") << none << yes << none << 1000 << none << ByteArrays{raw("000000;GetLocoName()")}
        << quiet << false << 0 << QByteArray();
    QTest::addRow("negative length: @ dropped, the rest is text")
        << raw("@-00016;003;000017;1234;") << none << yes << none << 1000 << none
        << ByteArrays{raw("-00016;003;000017;1234;")} << quiet << false << 0 << QByteArray();
    QTest::addRow("a bad header followed by nothing else is text, not dropped")
        << raw("@00000x;0") << none << yes << none << 1000 << none << ByteArrays{raw("00000x;0")} << quiet << false << 0
        << QByteArray();
    QTest::addRow("single stray byte: Header not found, byte dropped")
        << raw("x") << none << yes << none << 1000 << none << none << QStringList{kHeaderNotFound} << false << 0
        << QByteArray();
    QTest::addRow("single @: Header not found, byte dropped")
        << raw("@") << none << yes << none << 1000 << none << none << QStringList{kHeaderNotFound} << false << 0
        << QByteArray();
    QTest::addRow("notification with nothing waiting: Header not found")
        << QByteArray() << none << yes << none << 1000 << none << none << QStringList{kHeaderNotFound} << false << 0
        << QByteArray();
    QTest::addRow("frame in two segments is put together")
        << kFrame.left(12) << ByteArrays{kFrame.mid(12)} << yes << none << 1000 << ByteArrays{kFrame} << none << quiet
        << false << 1 << QByteArray();
    ByteArrays singleBytes;
    for (char byte : kFrame.mid(9))
        singleBytes << QByteArray(1, byte);
    QTest::addRow("frame in fifteen one-byte segments is put together")
        << kFrame.left(9) << singleBytes << yes << none << 1000 << ByteArrays{kFrame} << none << quiet << false << 15
        << QByteArray();
    QTest::addRow("body stops arriving: connection abandoned, nothing served")
        << kFrame.left(12) << none << yes << none << 1000 << none << none << quiet << true << 1 << QByteArray();
    QTest::addRow("body stops arriving after a segment: abandoned, nothing served")
        << kFrame.left(12) << ByteArrays{kFrame.mid(12, 4)} << yes << none << 1000 << none << none << quiet << true << 2
        << QByteArray();
    QTest::addRow("after the last wait the frame is served with what was read")
        << kFrame.left(10) << ByteArrays{raw("3"), raw(";"), raw("0")} << yes << none << 2
        << ByteArrays{kFrame.left(11)} << none << quiet << false << 2 << raw(";");
    QTest::addRow("a segment completing the body on the last wait is not read")
        << kFrame.left(12) << ByteArrays{kFrame.mid(12)} << yes << none << 1 << ByteArrays{kFrame.left(12)} << none
        << quiet << false << 1 << kFrame.mid(12);
    QTest::addRow("two frames back to back: only the first is served")
        << kFrame + kOtherFrame << none << yes << none << 1000 << ByteArrays{kFrame} << none << quiet << false << 0
        << kOtherFrame;
    QTest::addRow("a segment beyond the body stays for the next notification")
        << kFrame.left(12) << ByteArrays{kFrame.mid(12) + "GetLoco"} << yes << none << 1000 << ByteArrays{kFrame} << none
        << quiet << false << 1 << QByteArray("GetLoco");
    QTest::addRow("text answered false: what arrived meanwhile is read as a new request")
        << raw("SetControllerValue(3)") << none << Answers{false} << ByteArrays{raw("GetLocoName()")} << 1000 << none
        << ByteArrays{raw("SetControllerValue(3)"), raw("GetLocoName()")} << quiet << false << 0 << QByteArray();
    QTest::addRow("text answered false and nothing arrived: Header not found")
        << raw("abc") << none << Answers{false} << none << 1000 << none << ByteArrays{raw("abc")}
        << QStringList{kHeaderNotFound} << false << 0 << QByteArray();
    QTest::addRow("text answered false twice: read until answered true")
        << raw("one") << none << Answers{false, false} << ByteArrays{raw("two"), raw("three")} << 1000 << none
        << ByteArrays{raw("one"), raw("two"), raw("three")} << quiet << false << 0 << QByteArray();
    // After a false answer the "@" is tested against the count taken before
    // the text was read, not against what has arrived since.
    QTest::addRow("after false a frame counts when the earlier count reached 9")
        << raw("GetLocoName()") << none << Answers{false} << ByteArrays{kFrame} << 1000 << ByteArrays{kFrame}
        << ByteArrays{raw("GetLocoName()")} << quiet << false << 0 << QByteArray();
    QTest::addRow("after false a frame is text when the earlier count was below 9")
        << raw("abc") << none << Answers{false} << ByteArrays{kFrame} << 1000 << none
        << ByteArrays{raw("abc"), kFrame} << quiet << false << 0 << QByteArray();
}

void TestRequestReader::scripted()
{
    QFETCH(QByteArray, waiting);
    QFETCH(ByteArrays, arrivals);
    QFETCH(Answers, textAnswers);
    QFETCH(ByteArrays, arriveDuringText);
    QFETCH(int, maxWaits);
    QFETCH(ByteArrays, frames);
    QFETCH(ByteArrays, texts);
    QFETCH(QStringList, logs);
    QFETCH(bool, abandoned);
    QFETCH(int, waitCount);
    QFETCH(QByteArray, leftOver);

    ScriptedDevice device;
    device.data = waiting;
    device.arrivals = arrivals;
    RecordingHandler handler;
    handler.textAnswers = textAnswers;
    handler.onText = [&](int index) {
        if (index < arriveDuringText.size())
            device.data += arriveDuringText.at(index);
    };
    RequestTiming timing;
    timing.waitMs = 321;
    timing.pauseMs = 0;
    timing.maxWaits = maxWaits;
    RequestReader reader(&device, &handler, timing);

    reader.readRequest();

    QCOMPARE(handler.frames, frames);
    QCOMPARE(handler.texts, texts);
    QCOMPARE(handler.logs, logs);
    QCOMPARE(handler.abandoned, abandoned ? 1 : 0);
    QCOMPARE(device.waits.size(), waitCount);
    for (int limit : qAsConst(device.waits))
        QCOMPARE(limit, timing.waitMs);
    QCOMPARE(device.data, leftOver);
}

// Real sockets: the first segment is in the server socket's buffer when the
// notification comes; the second, if any, is already on its way in the
// system, so only the reader's own wait can pick it up.
void TestRequestReader::loopback_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<ByteArrays>("frames");
    QTest::addColumn<ByteArrays>("texts");
    QTest::addColumn<bool>("abandoned");

    const ByteArrays none;
    QTest::addRow("GetLocoName() as 13 bytes is plain text")
        << raw("GetLocoName()") << QByteArray() << false << none << ByteArrays{raw("GetLocoName()")} << false;
    QTest::addRow("eight header bytes alone are text, @ included")
        << raw("@000016;") << QByteArray() << false << none << ByteArrays{raw("@000016;")} << false;
    QTest::addRow("frame in two segments is put together")
        << kFrame.left(12) << kFrame.mid(12) << false << ByteArrays{kFrame} << none << false;
    QTest::addRow("frame whose body stops arriving is abandoned")
        << kFrame.left(12) << kFrame.mid(12, 5) << false << none << none << true;
    QTest::addRow("client closing mid-frame abandons at once")
        << kFrame.left(12) << QByteArray() << true << none << none << true;
}

void TestRequestReader::loopback()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(bool, closeAfter);
    QFETCH(ByteArrays, frames);
    QFETCH(ByteArrays, texts);
    QFETCH(bool, abandoned);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(5000));
    QVERIFY(server.waitForNewConnection(5000));
    std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
    QVERIFY(socket);

    client.write(first);
    QVERIFY(client.waitForBytesWritten(5000));
    while (socket->bytesAvailable() < first.size())
        QVERIFY(socket->waitForReadyRead(5000));
    QCOMPARE(socket->bytesAvailable(), qint64(first.size()));
    if (!second.isEmpty()) {
        client.write(second);
        QVERIFY(client.waitForBytesWritten(5000));
    }
    if (closeAfter) {
        client.disconnectFromHost();
        if (client.state() != QAbstractSocket::UnconnectedState)
            QVERIFY(client.waitForDisconnected(5000));
    }

    RecordingHandler handler;
    RequestTiming timing;
    // A closing client must end the wait at once, long before this limit;
    // otherwise a short limit keeps the abandoned rows quick.
    timing.waitMs = closeAfter ? 8000 : 300;
    timing.pauseMs = 1;
    RequestReader reader(socket.get(), &handler, timing);
    QElapsedTimer clock;
    clock.start();
    reader.readRequest();

    QCOMPARE(handler.frames, frames);
    QCOMPARE(handler.texts, texts);
    QCOMPARE(handler.abandoned, abandoned ? 1 : 0);
    if (closeAfter)
        QVERIFY2(clock.elapsed() < 4000, "the wait did not end when the client closed");
}

QTEST_GUILESS_MAIN(TestRequestReader)
#include "tst_requestreader.moc"
