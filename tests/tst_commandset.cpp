// The command layer without a socket: every framed code and every plain-text
// command, with the interface operation it calls, the bytes the client
// receives and the log lines the window shows.

#include "commandset.h"
#include "sharedclientdata.h"
#include "tsinterfacebase.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {

const QString kLocoName = QStringLiteral("Class 66");
const QString kTrainData = QStringLiteral("51.5000000:-0.2500000:1.5000000:12:30:15:80.26:0.5:0");
const QString kRawList = QStringLiteral("0::Throttle::0::1::");
const QString kFlatList = QStringLiteral("0;Throttle;0;1;");
const QString kJsonList = QStringLiteral("{\"controller\":[]}");

// Answers fixed texts and records every call with the text it was given, so
// a test sees which operation a command reached and with what argument.
class FakeInterface : public TSInterfaceBase
{
public:
    QStringList calls;
    QString locoName = kLocoName;

    int connectSimulator(QString&) override { return record(QStringLiteral("connectSimulator")); }
    int disconnectSimulator() override { return record(QStringLiteral("disconnectSimulator")); }
    int getTrainData(QString& text) override { return answer(QStringLiteral("getTrainData"), text, kTrainData); }
    int getControllerListRaw(QString& text) override
    {
        return answer(QStringLiteral("getControllerListRaw"), text, kRawList);
    }
    int getControllerListJson(QString& text) override
    {
        return answer(QStringLiteral("getControllerListJson"), text, kJsonList);
    }
    int getControllerListFlat(QString& text) override
    {
        return answer(QStringLiteral("getControllerListFlat"), text, kFlatList);
    }
    int getControllerValues(QString& text) override
    {
        calls << QStringLiteral("getControllerValues(%1)").arg(text);
        text = QStringLiteral("values of ") + text;
        return ResultOk;
    }
    int getControllerValue(QString& text) override
    {
        calls << QStringLiteral("getControllerValue(%1)").arg(text);
        text = QStringLiteral("value of ") + text;
        return ResultOk;
    }
    int setControllerValue(QString& text) override
    {
        calls << QStringLiteral("setControllerValue(%1)").arg(text);
        text = QStringLiteral("Set CtrlValue: ") + text;
        return ResultOk;
    }
    int getLocoName(QString& text) override { return answer(QStringLiteral("getLocoName"), text, locoName); }

private:
    int record(const QString& call)
    {
        calls << call;
        return ResultOk;
    }
    // Operations that fill an empty text: a command that passes anything
    // else shows up in the call log.
    int answer(const QString& call, QString& text, const QString& result)
    {
        calls << (text.isEmpty() ? call : QStringLiteral("%1(%2)").arg(call, text));
        text = result;
        return ResultOk;
    }
};

class MemoryResponder : public CommandResponder
{
public:
    QByteArray sent;        // everything, in order
    QList<QByteArray> writes; // one entry per write
    QStringList logs;       // "level|text"

    void sendBytes(const QByteArray& bytes) override
    {
        sent += bytes;
        writes << bytes;
    }
    void log(const QString& text, int level) override { logs << QStringLiteral("%1|%2").arg(level).arg(text); }
};

// A reply frame built here independently of FrameCodec.
QByteArray frame(int code, int tag, const QString& payload)
{
    const QByteArray body = QByteArray::number(code).rightJustified(3, '0') + ';'
        + QByteArray::number(tag).rightJustified(6, '0') + ';' + payload.toUtf8() + ';';
    return '@' + QByteArray::number(body.size()).rightJustified(6, '0') + ';' + body;
}

MessageFrame request(int command, int tag, const QString& payload)
{
    MessageFrame message;
    message.length = 11 + payload.toUtf8().size();
    message.command = command;
    message.tag = tag;
    message.payload = payload;
    return message;
}

template <int N>
QByteArray raw(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

const qintptr kClientId = 1234;

} // namespace

class TestCommandSet : public QObject
{
    Q_OBJECT

private slots:
    void framedCommands_data();
    void framedCommands();
    void sharedValues_data();
    void sharedValues();
    void sharedValuesReachEveryClient();
    void sharedValuesNeverTorn();
    void plainText_data();
    void plainText();
    void plainTextWithoutInterface();
};

void TestCommandSet::framedCommands_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("tag");
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QString>("locoName");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("logs");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("clientName");

    const QString none;
    QTest::addRow("1 names the client with the payload before its closing ;, no reply")
        << 1 << 5 << QStringLiteral("Cab display;") << kLocoName << QByteArray()
        << QStringList{QStringLiteral("1|(Server) - Client Name: Cab display")} << QStringList() << QStringLiteral("Cab display");
    QTest::addRow("1 with a non-ASCII name")
        << 1 << 5 << QStringLiteral("F\u00fchrerstand;") << kLocoName << QByteArray()
        << QStringList{QStringLiteral("1|(Server) - Client Name: F\u00fchrerstand")} << QStringList()
        << QStringLiteral("F\u00fchrerstand");
    QTest::addRow("2 answers the server name Kestrel")
        << 2 << 42 << QStringLiteral("junk;") << kLocoName << frame(2, 42, QStringLiteral("Kestrel"))
        << QStringList{QStringLiteral("0|(Server) - Get Server name: Kestrel")} << QStringList() << none;
    QTest::addRow("3 answers the client id")
        << 3 << 7 << QString() << kLocoName << frame(3, 7, QStringLiteral("1234"))
        << QStringList{QStringLiteral("0|(Server) - Get Client ID: 1234")} << QStringList() << none;
    QTest::addRow("4 appends the shared values to the train data, logs the train data alone")
        << 4 << 8 << QStringLiteral("ignored;") << kLocoName
        << frame(4, 8, kTrainData + QStringLiteral(":::0:9:169:300:200:200"))
        << QStringList{QStringLiteral("0|(Server) - Get Train Data: ") + kTrainData}
        << QStringList{QStringLiteral("getTrainData")} << none;
    QTest::addRow("5 answers the loco name")
        << 5 << 9 << QStringLiteral("ignored;") << kLocoName << frame(5, 9, kLocoName)
        << QStringList{QStringLiteral("0|(Server) - Get Loco name: Class 66")} << QStringList{QStringLiteral("getLocoName")}
        << none;
    QTest::addRow("5 with a non-ASCII loco name counts its UTF-8 bytes")
        << 5 << 9 << QString() << QStringLiteral("Baureihe 218 \u00e4\u20ac")
        << QStringLiteral("@000030;005;000009;Baureihe 218 \u00e4\u20ac;").toUtf8()
        << QStringList{QStringLiteral("0|(Server) - Get Loco name: Baureihe 218 \u00e4\u20ac")}
        << QStringList{QStringLiteral("getLocoName")} << none;
    QTest::addRow("6 is answered with code 7 and the rewritten ids")
        << 6 << 10 << QStringLiteral("1:2;") << kLocoName << frame(7, 10, QStringLiteral("values of 1:2"))
        << QStringList{QStringLiteral("0|(Server) - Get ControllerValues: values of 1:2")}
        << QStringList{QStringLiteral("getControllerValues(1:2)")} << none;
    QTest::addRow("7 answers the raw controller list")
        << 7 << 11 << QString() << kLocoName << frame(7, 11, kRawList)
        << QStringList{QStringLiteral("0|(Server) - Get Controller list: ") + kRawList}
        << QStringList{QStringLiteral("getControllerListRaw")} << none;
    QTest::addRow("8 passes id:value unchanged and echoes the rewritten text")
        << 8 << 12 << QStringLiteral("12:0,5;") << kLocoName << frame(8, 12, QStringLiteral("Set CtrlValue: 12:0,5"))
        << QStringList{QStringLiteral("0|(Server) - Set CtrlValue: 12:0,5")}
        << QStringList{QStringLiteral("setControllerValue(12:0,5)")} << none;
    QTest::addRow("9 is answered with code 10 and logs the request payload")
        << 9 << 13 << QStringLiteral("A:B:1.5:1:2:3:4:5;") << kLocoName << frame(10, 13, QStringLiteral("TRUE"))
        << QStringList{QStringLiteral("0|(Server) - A:B:1.5:1:2:3:4:5")} << QStringList() << none;
    QTest::addRow("10 answers the default shared values")
        << 10 << 14 << QString() << kLocoName << frame(10, 14, QStringLiteral("::0:9:169:300:200:200"))
        << QStringList{QStringLiteral("0|(Server) - ::0:9:169:300:200:200")} << QStringList() << none;
    QTest::addRow("tag 999999 echoed")
        << 2 << 999999 << QString() << kLocoName << raw("@000019;002;999999;Kestrel;")
        << QStringList{QStringLiteral("0|(Server) - Get Server name: Kestrel")} << QStringList() << none;
    for (int code : {0, 11, 999, -1}) {
        QTest::addRow("code %d ignored without reply or log line", code)
            << code << 1 << QStringLiteral("A:B:1.5:1:2:3:4:5;") << kLocoName << QByteArray() << QStringList()
            << QStringList() << none;
    }
}

void TestCommandSet::framedCommands()
{
    QFETCH(int, command);
    QFETCH(int, tag);
    QFETCH(QString, payload);
    QFETCH(QString, locoName);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, logs);
    QFETCH(QStringList, calls);
    QFETCH(QString, clientName);

    FakeInterface fake;
    fake.locoName = locoName;
    SharedClientData shared;
    MemoryResponder responder;
    QString name;
    CommandSet commands(&fake, &shared, kClientId, &name, &responder);

    commands.executeFrame(request(command, tag, payload));

    QCOMPARE(responder.sent, reply);
    QCOMPARE(responder.writes.size(), reply.isEmpty() ? 0 : 1);
    QCOMPARE(responder.logs, logs);
    QCOMPARE(fake.calls, calls);
    QCOMPARE(name, clientName);
}

void TestCommandSet::sharedValues_data()
{
    QTest::addColumn<QString>("store");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("readBack");

    const QString defaults = QStringLiteral("::0:9:169:300:200:200");
    QTest::addRow("eight parts stored and read back")
        << QStringLiteral("A:B:1.5:1:2:3:4:5") << QStringLiteral("TRUE") << QStringLiteral("A:B:1.5:1:2:3:4:5");
    QTest::addRow("seven parts refused, nothing changed")
        << QStringLiteral("A:B:1.5:1:2:3:4") << QStringLiteral("FALSE") << defaults;
    QTest::addRow("empty payload refused") << QString() << QStringLiteral("FALSE") << defaults;
    QTest::addRow("parts beyond the eighth ignored")
        << QStringLiteral("A:B:1.5:1:2:3:4:5:6:extra") << QStringLiteral("TRUE") << QStringLiteral("A:B:1.5:1:2:3:4:5");
    QTest::addRow("empty parts kept, an empty number reads 0")
        << QStringLiteral(":::1:2:3:4:5") << QStringLiteral("TRUE") << QStringLiteral("::0:1:2:3:4:5");
    QTest::addRow("unreadable numbers read 0")
        << QStringLiteral("x:y:abc:one:2:3:4:5") << QStringLiteral("TRUE") << QStringLiteral("x:y:0:0:2:3:4:5");
    QTest::addRow("a decimal comma is unreadable")
        << QStringLiteral("x:y:1,5:1:2:3:4:5") << QStringLiteral("TRUE") << QStringLiteral("x:y:0:1:2:3:4:5");
    QTest::addRow("integer beyond 32 bits reads 0")
        << QStringLiteral("x:y:1:99999999999:2:3:4:5") << QStringLiteral("TRUE") << QStringLiteral("x:y:1:0:2:3:4:5");
    QTest::addRow("negative numbers")
        << QStringLiteral("x:y:-2.5:-1:-2:-3:-4:-5") << QStringLiteral("TRUE") << QStringLiteral("x:y:-2.5:-1:-2:-3:-4:-5");
    QTest::addRow("number written with six significant digits")
        << QStringLiteral("x:y:3.14159265:1:2:3:4:5") << QStringLiteral("TRUE") << QStringLiteral("x:y:3.14159:1:2:3:4:5");
    QTest::addRow("number kept as a 32-bit float: 0.1 stays 0.1")
        << QStringLiteral("x:y:0.1:1:2:3:4:5") << QStringLiteral("TRUE") << QStringLiteral("x:y:0.1:1:2:3:4:5");
    QTest::addRow("a million in exponent form")
        << QStringLiteral("x:y:1234567:1:2:3:4:5") << QStringLiteral("TRUE") << QStringLiteral("x:y:1.23457e+06:1:2:3:4:5");
    QTest::addRow("non-ASCII texts")
        << QStringLiteral("Z\u00fcrich:\u20ac:0:1:2:3:4:5") << QStringLiteral("TRUE")
        << QStringLiteral("Z\u00fcrich:\u20ac:0:1:2:3:4:5");
    // A client's text is data, never a placeholder for the values after it.
    QTest::addRow("a placeholder in a text stays as it was sent")
        << QStringLiteral("%3:b:7:1:2:3:4:5") << QStringLiteral("TRUE") << QStringLiteral("%3:b:7:1:2:3:4:5");
    QTest::addRow("placeholders in both texts do not multiply each other")
        << QStringLiteral("%2%2%2:%3%3:7:1:2:3:4:5") << QStringLiteral("TRUE")
        << QStringLiteral("%2%2%2:%3%3:7:1:2:3:4:5");
    const QString longest(CommandSet::MaxSharedTextBytes, QLatin1Char('x'));
    QTest::addRow("texts of the longest length stored")
        << longest + QLatin1Char(':') + longest + QStringLiteral(":1:1:2:3:4:5") << QStringLiteral("TRUE")
        << longest + QLatin1Char(':') + longest + QStringLiteral(":1:1:2:3:4:5");
    QTest::addRow("a first text one byte too long refused, nothing changed")
        << longest + QStringLiteral("x:b:1:1:2:3:4:5") << QStringLiteral("FALSE") << defaults;
    // Length counts UTF-8 bytes: 2049 two-byte characters are 4098 bytes.
    QTest::addRow("a second text too long in UTF-8 bytes refused")
        << QStringLiteral("a:") + QString(CommandSet::MaxSharedTextBytes / 2 + 1, QChar(0xfc)) + QStringLiteral(":1:1:2:3:4:5")
        << QStringLiteral("FALSE") << defaults;
}

void TestCommandSet::sharedValues()
{
    QFETCH(QString, store);
    QFETCH(QString, answer);
    QFETCH(QString, readBack);

    FakeInterface fake;
    SharedClientData shared;
    MemoryResponder responder;
    QString name;
    CommandSet commands(&fake, &shared, kClientId, &name, &responder);

    commands.executeFrame(request(9, 1, store + QLatin1Char(';')));
    QCOMPARE(responder.sent, frame(10, 1, answer));

    responder.sent.clear();
    commands.executeFrame(request(10, 2, QString()));
    QCOMPARE(responder.sent, frame(10, 2, readBack));

    responder.sent.clear();
    commands.executeFrame(request(4, 3, QString()));
    QCOMPARE(responder.sent, frame(4, 3, kTrainData + QLatin1Char(':') + readBack));
}

void TestCommandSet::sharedValuesReachEveryClient()
{
    FakeInterface interfaceA;
    FakeInterface interfaceB;
    SharedClientData shared;
    MemoryResponder responderA;
    MemoryResponder responderB;
    QString nameA;
    QString nameB;
    CommandSet clientA(&interfaceA, &shared, 11, &nameA, &responderA);
    CommandSet clientB(&interfaceB, &shared, 12, &nameB, &responderB);

    clientA.executeFrame(request(9, 1, QStringLiteral("A:B:1.5:1:2:3:4:5;")));
    QCOMPARE(responderA.sent, frame(10, 1, QStringLiteral("TRUE")));

    clientB.executeFrame(request(10, 2, QString()));
    QCOMPARE(responderB.sent, frame(10, 2, QStringLiteral("A:B:1.5:1:2:3:4:5")));

    // A refused store by B leaves A's values for both.
    responderB.sent.clear();
    clientB.executeFrame(request(9, 3, QStringLiteral("only:three:parts;")));
    QCOMPARE(responderB.sent, frame(10, 3, QStringLiteral("FALSE")));
    responderA.sent.clear();
    clientA.executeFrame(request(10, 4, QString()));
    QCOMPARE(responderA.sent, frame(10, 4, QStringLiteral("A:B:1.5:1:2:3:4:5")));
}

void TestCommandSet::sharedValuesNeverTorn()
{
    // Client threads store and read the record at the same time; a reader
    // must get one client's eight values, never a mix of two stores.
    SharedClientData shared;
    std::atomic<bool> torn{false};
    std::atomic<int> storesLeft{2};
    auto writer = [&](const QString& payload) {
        FakeInterface fake;
        MemoryResponder responder;
        QString name;
        CommandSet commands(&fake, &shared, 1, &name, &responder);
        for (int i = 0; i < 2000; ++i)
            commands.executeFrame(request(9, i, payload));
        --storesLeft;
    };
    auto reader = [&] {
        FakeInterface fake;
        MemoryResponder responder;
        QString name;
        CommandSet commands(&fake, &shared, 2, &name, &responder);
        const QSet<QByteArray> whole = {
            frame(10, 0, QStringLiteral("::0:9:169:300:200:200")),
            frame(10, 0, QStringLiteral("one:one:1:1:1:1:1:1")),
            frame(10, 0, QStringLiteral("second:second:2:2:2:2:2:2")),
        };
        while (storesLeft > 0) {
            responder.sent.clear();
            commands.executeFrame(request(10, 0, QString()));
            if (!whole.contains(responder.sent))
                torn = true;
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(writer, QStringLiteral("one:one:1:1:1:1:1:1;"));
    threads.emplace_back(writer, QStringLiteral("second:second:2:2:2:2:2:2;"));
    threads.emplace_back(reader);
    threads.emplace_back(reader);
    for (std::thread& thread : threads)
        thread.join();
    QVERIFY(!torn);
}

void TestCommandSet::plainText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("locoName");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("logs");
    QTest::addColumn<QString>("clientName");

    const QString none;
    const QByteArray nothing;
    auto command = [](const QString& piece) { return QStringLiteral("1|(Server) - Command: ") + piece; };
    const QString getLoco = QStringLiteral("getLocoName");

    QTest::addRow("GetLocoName() without <END> is answered")
        << raw("GetLocoName()") << kLocoName << true << kLocoName.toLocal8Bit() << QStringList{getLoco}
        << QStringList{command(QStringLiteral("GetLocoName()"))} << none;
    QTest::addRow("answer in the local 8-bit encoding, no frame")
        << raw("GetLocoName()<END>") << QStringLiteral("Lok \u00e4") << true << QStringLiteral("Lok \u00e4").toLocal8Bit()
        << QStringList{getLoco} << QStringList{command(QStringLiteral("GetLocoName()"))} << none;
    QTest::addRow("two answers back to back carry no terminator")
        << raw("GetLocoName()<END><END>GetLocoName()<END>") << kLocoName << true << QByteArray("Class 66Class 66")
        << QStringList{getLoco, getLoco}
        << QStringList{command(QStringLiteral("GetLocoName()")), command(QStringLiteral("GetLocoName()"))} << none;
    QTest::addRow("empty pieces skipped without a log line")
        << raw("<END><END>GetControllerListExtended(FLAT)<END><END><END>") << kLocoName << true << kFlatList.toLocal8Bit()
        << QStringList{QStringLiteral("getControllerListFlat")}
        << QStringList{command(QStringLiteral("GetControllerListExtended(FLAT)"))} << none;
    QTest::addRow("JSON list") << raw("GetControllerListExtended(JSON)<END>") << kLocoName << true
                               << kJsonList.toLocal8Bit() << QStringList{QStringLiteral("getControllerListJson")}
                               << QStringList{command(QStringLiteral("GetControllerListExtended(JSON)"))} << none;
    QTest::addRow("RAW list") << raw("GetControllerListExtended(RAW)<END>") << kLocoName << true
                              << kRawList.toLocal8Bit() << QStringList{QStringLiteral("getControllerListRaw")}
                              << QStringList{command(QStringLiteral("GetControllerListExtended(RAW)"))} << none;
    QTest::addRow("GetControllerValue(12;0) answers the rewritten argument")
        << raw("GetControllerValue(12;0)<END>") << kLocoName << true << QByteArray("value of 12;0")
        << QStringList{QStringLiteral("getControllerValue(12;0)")}
        << QStringList{command(QStringLiteral("GetControllerValue(12;0)"))} << none;
    QTest::addRow("argument between the first ( and the first )")
        << raw("GetControllerValue(1;2)(3;4)") << kLocoName << true << QByteArray("value of 1;2")
        << QStringList{QStringLiteral("getControllerValue(1;2)")}
        << QStringList{command(QStringLiteral("GetControllerValue(1;2)(3;4)"))} << none;
    QTest::addRow("GetControllerValueMultiplyRaw(1:2) calls getControllerValues, not getControllerValue")
        << raw("GetControllerValueMultiplyRaw(1:2)") << kLocoName << true << QByteArray("values of 1:2")
        << QStringList{QStringLiteral("getControllerValues(1:2)")}
        << QStringList{command(QStringLiteral("GetControllerValueMultiplyRaw(1:2)"))} << none;
    QTest::addRow("XSetClientNameY(Z) names Z: keywords are found anywhere")
        << raw("XSetClientNameY(Z)<END>") << kLocoName << true << nothing << QStringList()
        << QStringList{command(QStringLiteral("XSetClientNameY(Z)")), QStringLiteral("1|(Server) - Client Name: Z")}
        << QStringLiteral("Z");
    QTest::addRow("SetClientName is looked for before GetLocoName()")
        << raw("SetClientName(GetLocoName())") << kLocoName << true << nothing << QStringList()
        << QStringList{command(QStringLiteral("SetClientName(GetLocoName())")),
                       QStringLiteral("1|(Server) - Client Name: GetLocoName(")}
        << QStringLiteral("GetLocoName(");
    QTest::addRow("GetLocoName() is looked for before the lists")
        << raw("GetControllerListExtended(RAW)GetLocoName()") << kLocoName << true << kLocoName.toLocal8Bit()
        << QStringList{getLoco} << QStringList{command(QStringLiteral("GetControllerListExtended(RAW)GetLocoName()"))}
        << none;
    QTest::addRow("SetClientName then GetLocoName() in one text")
        << raw("SetClientName(Cab display)<END>GetLocoName()<END>") << kLocoName << true << kLocoName.toLocal8Bit()
        << QStringList{getLoco}
        << QStringList{command(QStringLiteral("SetClientName(Cab display)")),
                       QStringLiteral("1|(Server) - Client Name: Cab display"), command(QStringLiteral("GetLocoName()"))}
        << QStringLiteral("Cab display");
    QTest::addRow("name decoded as UTF-8")
        << QStringLiteral("SetClientName(Z\u00fcrich)").toUtf8() << kLocoName << true << nothing << QStringList()
        << QStringList{command(QStringLiteral("SetClientName(Z\u00fcrich)")),
                       QStringLiteral("1|(Server) - Client Name: Z\u00fcrich")}
        << QStringLiteral("Z\u00fcrich");
    QTest::addRow("SetControllerValue(12;0,5) sets 12:0.5 and answers nothing")
        << raw("SetControllerValue(12;0,5)<END>") << kLocoName << true << nothing
        << QStringList{QStringLiteral("setControllerValue(12:0.5)")}
        << QStringList{command(QStringLiteral("SetControllerValue(12;0,5)"))} << none;
    QTest::addRow("every comma of the value becomes a point")
        << raw("SetControllerValue(1;0,5,5)") << kLocoName << true << nothing
        << QStringList{QStringLiteral("setControllerValue(1:0.5.5)")}
        << QStringList{command(QStringLiteral("SetControllerValue(1;0,5,5)"))} << none;
    QTest::addRow("SetControllerValue with an empty value is still two parts")
        << raw("SetControllerValue(4;)") << kLocoName << true << nothing
        << QStringList{QStringLiteral("setControllerValue(4:)")}
        << QStringList{command(QStringLiteral("SetControllerValue(4;)"))} << none;
    QTest::addRow("SetControllerValue(3) abandons the rest: the second command is not answered")
        << raw("SetControllerValue(3)<END>GetLocoName()") << kLocoName << false << nothing << QStringList()
        << QStringList{command(QStringLiteral("SetControllerValue(3)"))} << none;
    QTest::addRow("three parts abandon the rest after earlier answers")
        << raw("GetLocoName()<END>SetControllerValue(1;2;3)<END>GetLocoName()") << kLocoName << false
        << kLocoName.toLocal8Bit() << QStringList{getLoco}
        << QStringList{command(QStringLiteral("GetLocoName()")), command(QStringLiteral("SetControllerValue(1;2;3)"))}
        << none;
    QTest::addRow("missing parentheses skipped silently after the Command line")
        << raw("SetClientName Bob<END>GetControllerValue(12;0<END>GetControllerValueMultiplyRaw<END>"
               "SetControllerValue)1;2<END>GetLocoName()")
        << kLocoName << true << kLocoName.toLocal8Bit() << QStringList{getLoco}
        << QStringList{command(QStringLiteral("SetClientName Bob")), command(QStringLiteral("GetControllerValue(12;0")),
                       command(QStringLiteral("GetControllerValueMultiplyRaw")),
                       command(QStringLiteral("SetControllerValue)1;2")), command(QStringLiteral("GetLocoName()"))}
        << none;
    QTest::addRow("unknown command logged at level 1, the next piece still runs")
        << raw("Hello<END>GetLocoName()") << kLocoName << true << kLocoName.toLocal8Bit() << QStringList{getLoco}
        << QStringList{command(QStringLiteral("Hello")), QStringLiteral("1|(Server) - Unknown Command: Hello"),
                       command(QStringLiteral("GetLocoName()"))}
        << none;
    QTest::addRow("keywords are case-sensitive")
        << raw("getloconame()") << kLocoName << true << nothing << QStringList()
        << QStringList{command(QStringLiteral("getloconame()")), QStringLiteral("1|(Server) - Unknown Command: getloconame()")}
        << none;
    QTest::addRow("<end> in lower case does not split")
        << raw("GetLocoName()<end>GetLocoName()") << kLocoName << true << kLocoName.toLocal8Bit() << QStringList{getLoco}
        << QStringList{command(QStringLiteral("GetLocoName()<end>GetLocoName()"))} << none;
    QTest::addRow("text after a NUL ignored")
        << raw("GetLocoName()\0GetLocoName()") << kLocoName << true << kLocoName.toLocal8Bit() << QStringList{getLoco}
        << QStringList{command(QStringLiteral("GetLocoName()"))} << none;
    QTest::addRow("NUL first: nothing at all")
        << raw("\0GetLocoName()") << kLocoName << true << nothing << QStringList() << QStringList() << none;
    QTest::addRow("empty text") << QByteArray() << kLocoName << true << nothing << QStringList() << QStringList() << none;
}

void TestCommandSet::plainText()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, locoName);
    QFETCH(bool, result);
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, logs);
    QFETCH(QString, clientName);

    FakeInterface fake;
    fake.locoName = locoName;
    SharedClientData shared;
    MemoryResponder responder;
    QString name;
    CommandSet commands(&fake, &shared, kClientId, &name, &responder);

    QCOMPARE(commands.interpretText(text), result);
    QCOMPARE(responder.sent, sent);
    QCOMPARE(fake.calls, calls);
    QCOMPARE(responder.logs, logs);
    QCOMPARE(name, clientName);
}

void TestCommandSet::plainTextWithoutInterface()
{
    // A client thread whose interface does not exist: false at once, before
    // any log line, so the reader can try again.
    SharedClientData shared;
    MemoryResponder responder;
    QString name;
    CommandSet commands(nullptr, &shared, kClientId, &name, &responder);

    QCOMPARE(commands.interpretText("SetClientName(Bob)<END>GetLocoName()"), false);
    QVERIFY(responder.sent.isEmpty());
    QVERIFY(responder.logs.isEmpty());
    QVERIFY(name.isEmpty());
}

QTEST_GUILESS_MAIN(TestCommandSet)
#include "tst_commandset.moc"
