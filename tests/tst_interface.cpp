// The simulator interface: TSInterfaceDll against the stub RailDriver
// libraries (answers, result codes and exactly which library calls each
// operation makes), and how a float becomes an integer.

#include "numberformat.h"
#include "tsinterfacedll.h"

#include "stubs/stublibrary.h"

#include <QtTest>

#include <atomic>
#include <climits>
#include <cmath>
#include <functional>
#include <map>
#include <thread>

namespace {

#define OPERATION(name) {QStringLiteral(#name), [](TSInterfaceDll& dll, QString& text) { return dll.name(text); }}
const std::map<QString, std::function<int(TSInterfaceDll&, QString&)>> kOperations = {
    OPERATION(connectSimulator), OPERATION(getTrainData), OPERATION(getControllerListRaw),
    OPERATION(getControllerListJson), OPERATION(getControllerListFlat), OPERATION(getControllerListWithValues),
    OPERATION(getControllerValues), OPERATION(getControllerValue), OPERATION(setControllerValue),
    OPERATION(getLocoChanged), OPERATION(getLocoName),
    {QStringLiteral("disconnectSimulator"), [](TSInterfaceDll& dll, QString&) { return dll.disconnectSimulator(); }}};
#undef OPERATION

// Steers a stub from a row's text: "|"-separated "name=Class 66", "list=A::B",
// "v<index>,<type>=<value>", "rs<id>=<value>", "connected=0", "changed=1";
// "~" as a text makes the library hand out a null pointer.
void setUp(StubLibrary& stub, const QString& settings)
{
    for (const QString& setting : settings.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        const QString key = setting.section(QLatin1Char('='), 0, 0);
        const QString value = setting.section(QLatin1Char('='), 1);
        const bool null = value == QLatin1String("~");
        if (key == QLatin1String("name"))
            null ? stub.setLocoNameNull() : stub.setLocoName(value);
        else if (key == QLatin1String("list"))
            null ? stub.setControllerListNull() : stub.setControllerList(value);
        else if (key == QLatin1String("connected"))
            stub.setConnected(value == QLatin1String("1"));
        else if (key == QLatin1String("changed"))
            stub.setLocoChanged(value == QLatin1String("1"));
        else if (key.startsWith(QLatin1String("rs")))
            stub.setRailSimValue(key.mid(2).toInt(), value.toFloat());
        else if (key.startsWith(QLatin1Char('v')))
            stub.setValue(key.mid(1).section(QLatin1Char(','), 0, 0).toInt(), key.section(QLatin1Char(','), 1).toInt(),
                          value.toFloat());
        else
            qFatal("unknown stub setting %s", qPrintable(setting));
    }
}

const char* const kNotImplemented = "FUNCTION NOT IMPLEMENTED";

} // namespace

class TestInterface : public QObject
{
    Q_OBJECT

private slots:
    void operations_data();
    void operations();
    void libraryLines_data();
    void libraryLines();
    void steamLibrary_data();
    void steamLibrary();
    void concurrentClientsShareOneLibrary();
    void truncated_data();
    void truncated();
};

void TestInterface::operations_data()
{
    QTest::addColumn<QString>("stubCase"); // empty: a folder without a library
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("calls");
    const char* const caller = "caller's text";
    const char* const full = "full";
    auto row = [](const char* name) -> QTestData& { return QTest::addRow("%s", name); };

    for (const auto& entry : kOperations) {
        const QString& name = entry.first;
        const char* text = caller;
        if (name == QLatin1String("getLocoName") || name == QLatin1String("getLocoChanged"))
            text = "NO RESULT";
        else if (name == QLatin1String("getTrainData") || name == QLatin1String("setControllerValue"))
            text = "no result";
        QTest::addRow("no library: %s answers 2", qPrintable(name)) << "" << "" << name << caller << text << 2 << "";
    }

    // A library that lacks the one function an operation needs.
    row("getLocoName without GetLocoName: NO RESULT, 4")
        << "no_GetLocoName" << "" << "getLocoName" << caller << "NO RESULT" << 4 << "";
    row("getLocoChanged without its function: NO RESULT, 0")
        << "no_GetRailSimLocoChanged" << "" << "getLocoChanged" << caller << "NO RESULT" << 0 << "";
    row("getTrainData without GetControllerValue: no result, 4")
        << "no_GetControllerValue" << "" << "getTrainData" << caller << "no result" << 4 << "";
    for (const char* op : {"getControllerListRaw", "getControllerListJson"})
        QTest::addRow("%s without GetControllerList: 5", op)
            << "no_GetControllerList" << "" << op << caller << kNotImplemented << 5 << "";
    row("list without GetControllerValue: empty, 0") << "no_GetControllerValue" << "list=A::B"
        << "getControllerListWithValues" << caller << "" << 0 << "GetControllerList();";
    row("JSON list without GetControllerValue leaves the text") << "no_GetControllerValue" << "list=A::B"
        << "getControllerListJson" << caller << caller << 0 << "GetControllerList();";
    row("getControllerValues without its function: 5")
        << "no_GetControllerValue" << "" << "getControllerValues" << "1:2" << kNotImplemented << 5 << "";
    row("getControllerValue without its function: 5")
        << "no_GetControllerValue" << "" << "getControllerValue" << "1;0" << kNotImplemented << 5 << "";
    row("setControllerValue without its function: 5")
        << "no_SetControllerValue" << "" << "setControllerValue" << "1:0.5" << kNotImplemented << 5 << "";
    row("a malformed set answers 6 before the function is looked for")
        << "no_SetControllerValue" << "" << "setControllerValue" << "1" << "no result" << 6 << "";
    row("connect without SetRailDriverConnected: 4, no call")
        << "no_SetRailDriverConnected" << "" << "connectSimulator" << caller << caller << 4 << "";
    row("connect without GetRailDriverConnected counts as connected")
        << "no_GetRailDriverConnected" << "" << "connectSimulator" << "" << "CONNECTED" << 0
        << "SetRailDriverConnected(1);";
    row("disconnect without SetRailDriverConnected: 0, no call")
        << "no_SetRailDriverConnected" << "" << "disconnectSimulator" << caller << caller << 0 << "";

    // Connecting, single values, the locomotive.
    row("connect: CONNECTED") << full << "" << "connectSimulator" << "" << "CONNECTED" << 0
                              << "SetRailDriverConnected(1);GetRailDriverConnected();";
    row("connect to a simulator that says no: 1, text unchanged")
        << full << "connected=0" << "connectSimulator" << caller << caller << 1
        << "SetRailDriverConnected(1);GetRailDriverConnected();";
    row("disconnect tells the library") << full << "" << "disconnectSimulator" << caller << caller << 0
                                        << "SetRailDriverConnected(0);";
    row("value 3;2 asks for the maximum, general form") << full << "v3,2=1e6" << "getControllerValue" << "3;2"
                                                        << "1e+06" << 0 << "GetControllerValue(3,2);";
    row("12; asks for type 0") << full << "v12,0=-2" << "getControllerValue" << "12;" << "-2" << 0
                               << "GetControllerValue(12,0);";
    row("value with one part: 5, no call") << full << "" << "getControllerValue" << "12" << kNotImplemented << 5 << "";
    row("set 12:0.5") << full << "" << "setControllerValue" << "12:0.5" << "Set CtrlValue: 12:0.5" << 0
                      << "SetControllerValue(12,0.5);";
    row("set 12: sets 0") << full << "" << "setControllerValue" << "12:" << "Set CtrlValue: 12:" << 0
                          << "SetControllerValue(12,0);";
    row("set with three parts: 6, no call") << full << "" << "setControllerValue" << "12:0.5:1" << "no result" << 6
                                            << "";
    row("loco name as UTF-8") << full << QStringLiteral("name=Baureihe 218 \u00fc \u6771") << "getLocoName" << caller
                              << QStringLiteral("Baureihe 218 \u00fc \u6771") << 0 << "GetLocoName();";
    row("a null name reads as empty") << full << "name=~" << "getLocoName" << "" << "" << 0 << "GetLocoName();";
    row("loco changed") << full << "changed=1" << "getLocoChanged" << "" << "IS_CHANGED" << 0
                        << "GetRailSimLocoChanged();";
    row("loco not changed") << full << "" << "getLocoChanged" << "" << "NOT_CHANGED" << 0 << "GetRailSimLocoChanged();";

    // Several values: ids read as toInt() reads them, however the digits run.
    row("an empty request asks for controller 0") << full << "v0,0=0.25" << "getControllerValues" << ""
                                                  << "0:0.25::" << 0 << "GetControllerValue(0,0);";
    row("leading zeros, an empty id, a sign, letters and an overflowing id")
        << full << "v-2,0=-0.5" << "getControllerValues" << "007::-2:x:9999999999" << "7:0::0:0::-2:-0.5::0:0::0:0::"
        << 0 << "GetControllerValue(7,0);GetControllerValue(0,0);GetControllerValue(-2,0);GetControllerValue(0,0);"
                "GetControllerValue(0,0);";

    // Controller lists: one list call, then the limits (and the value) per
    // controller in index order.
    const QString twoCalls = QStringLiteral("GetControllerList();GetControllerValue(0,1);GetControllerValue(0,2);"
                                            "GetControllerValue(1,1);GetControllerValue(1,2);");
    const QString oneCall = QStringLiteral("GetControllerList();GetControllerValue(0,1);GetControllerValue(0,2);");
    const char* const two = "list=A::B|v0,1=-0.5|v0,2=2.9|v1,1=-1.7|v1,2=1e6|v0,0=0.75|v1,0=1e-5";
    row("raw list, limits truncated") << full << two << "getControllerListRaw" << ""
                                      << "0::A::0::2::1::B::-1::1000000::" << 0 << twoCalls;
    row("flat list") << full << two << "getControllerListFlat" << "" << "0;A;0;2;1;B;-1;1000000;" << 0 << twoCalls;
    row("list with values in the general form")
        << full << two << "getControllerListWithValues" << "" << "0::A::0::2::0.75::1::B::-1::1000000::1e-05::" << 0
        << "GetControllerList();GetControllerValue(0,0);GetControllerValue(0,1);GetControllerValue(0,2);"
           "GetControllerValue(1,0);GetControllerValue(1,1);GetControllerValue(1,2);";
    row("JSON list, members in key order, line feed at the end")
        << full << two << "getControllerListJson" << ""
        << "{\n    \"controller\": [\n        {\n            \"ID\": 0,\n            \"Max\": 2,\n"
           "            \"Min\": 0,\n            \"Name\": \"A\"\n        },\n        {\n            \"ID\": 1,\n"
           "            \"Max\": 1000000,\n            \"Min\": -1,\n            \"Name\": \"B\"\n        }\n    ]\n}\n"
        << 0 << twoCalls;
    row("a null list is one nameless controller") << full << "list=~" << "getControllerListFlat" << "" << "0;;0;0;"
                                                  << 0 << oneCall;
    row("a trailing :: adds a nameless controller; one : stays in a name")
        << full << "list=a:b::" << "getControllerListFlat" << "" << "0;a:b;0;0;1;;0;0;" << 0 << twoCalls;
    row("%3 in a name is filled by the next arg call") << full << "list=x%3|v0,1=5|v0,2=9" << "getControllerListRaw"
                                                       << "" << "0::x5::5::9::" << 0 << oneCall;

    // Train data.
    const QString trainCalls = QStringLiteral("GetControllerValue(400,0);GetControllerValue(401,0);"
                                              "GetControllerValue(404,0);GetControllerValue(406,0);"
                                              "GetControllerValue(407,0);GetControllerValue(408,0);");
    const char* const train = "v400,0=51.123456|v401,0=-0.1234|v404,0=0.5|v406,0=59.9|v407,0=-0.5|v408,0=7|"
                              "rs30=-42.25|rs2=0.75|rs7=1e-5";
    row("train data: fixed 7, integers, speed without sign, general")
        << full << train << "getTrainData" << "" << "51.1234550:-0.1234000:0.5000000:59:0:7:42.25:0.75:1e-05" << 0
        << trainCalls + "GetRailSimValue(30,0);GetRailSimValue(2,0);GetRailSimValue(7,0);";
    row("train data without GetRailSimValue: six fields, general form")
        << "no_GetRailSimValue" << train << "getTrainData" << "" << "51.1235:-0.1234:0.5:59:0:7" << 0 << trainCalls;

    // What the library may answer besides numbers.
    row("NaN and infinities in the general form")
        << full << "v0,0=nan|v1,0=inf|v2,0=-inf" << "getControllerValues" << "0:1:2" << "0:nan::1:inf::2:-inf::" << 0
        << "GetControllerValue(0,0);GetControllerValue(1,0);GetControllerValue(2,0);";
}

void TestInterface::operations()
{
    QFETCH(QString, stubCase);
    QFETCH(QString, settings);
    QFETCH(QString, operation);
    QFETCH(QString, input);
    QTemporaryDir empty;
    StubLibrary stub(stubCase.isEmpty() ? QStringLiteral("full") : stubCase);
    QVERIFY2(stub.isValid(), qPrintable(stub.errorString()));
    stub.reset();
    setUp(stub, settings);
    TSInterfaceDll dll(stubCase.isEmpty() ? empty.path() : stub.folder());
    stub.clearCallLog();
    if (stubCase.isEmpty()) // the short note of an operation that has no library
        QTest::ignoreMessage(QtDebugMsg, "Cannot load library.");

    QTEST(kOperations.at(operation)(dll, input), "result");
    QTEST(input, "text");
    QTEST(stub.callLog(), "calls");
}

// connectSimulator's line, one row per form: whether the 32-bit file opens
// tells a wrong folder from a wrong build.
void TestInterface::libraryLines_data()
{
    QTest::addColumn<bool>("withLibrary");
    QTest::addColumn<bool>("with32BitFile");
    QTest::addRow("a loaded library") << true << false;
    QTest::addRow("no library, no 32-bit file: its open error") << false << false;
    QTest::addRow("no library, a 32-bit file: no open error") << false << true;
}

void TestInterface::libraryLines()
{
    QFETCH(bool, withLibrary);
    QFETCH(bool, with32BitFile);
    QTemporaryDir dir;
    const QString folder = withLibrary ? StubLibrary(QStringLiteral("full")).folder() : dir.path();
    QFile file32(folder + QStringLiteral("/plugins/RailDriver.dll"));
    if (with32BitFile)
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("plugins"))) && file32.open(QIODevice::WriteOnly));
    file32.close();
    QLibrary probe(folder + QStringLiteral("/plugins/RailDriver64.dll"));
    QCOMPARE(probe.load(), withLibrary);
    const QString line = withLibrary ? QStringLiteral("(InterfaceDLL) - RailDriver library loaded")
                                     : QStringLiteral("(InterfaceDLL) - RailDriver library not loaded. ")
            + (file32.open(QIODevice::ReadOnly) ? QString() : file32.errorString()) + '\n' + probe.errorString();

    TSInterfaceDll dll(folder);
    QSignalSpy lines(&dll, &TSInterfaceBase::sigDebugString);
    QString status;
    QCOMPARE(dll.connectSimulator(status), withLibrary ? 0 : 2);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.at(0), (QVariantList{line, withLibrary ? 1 : 3}));
}

void TestInterface::steamLibrary_data()
{
    QTest::addColumn<bool>("present");
    QTest::addRow("steam_api.dll takes over the calls") << true;
    QTest::addRow("a failed load leaves no library at all") << false;
}

// Present: a folder holding only steam_api.dll (a copy of the stub), so only
// it can answer. Absent: the stub's own folder, whose library the failed
// load must let go.
void TestInterface::steamLibrary()
{
    QFETCH(bool, present);
    QTemporaryDir dir;
    const QString stubFolder = StubLibrary(QStringLiteral("full")).folder();
    QVERIFY(QFile::copy(stubFolder + QStringLiteral("/plugins/RailDriver64.dll"),
                        dir.filePath(QStringLiteral("steam_api.dll"))));
    TSInterfaceDll dll(present ? dir.path() : stubFolder);
    QSignalSpy lines(&dll, &TSInterfaceBase::sigDebugString);
    QCOMPARE(dll.loadSteamLibrary(), present ? 0 : 2);
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.at(0).at(0).toString().startsWith(present ? "(InterfaceDLL) - steamapp library loaded. "
                                                            : "(InterfaceDLL) - steam_app library not loaded. "));
    QCOMPARE(lines.at(0).at(1).toInt(), present ? 1 : 3);
    QString name;
    QCOMPARE(dll.getLocoName(name), present ? 0 : 2);
}

// Client threads load the same library at once and call it concurrently.
void TestInterface::concurrentClientsShareOneLibrary()
{
    StubLibrary stub(QStringLiteral("full"));
    QVERIFY2(stub.isValid(), qPrintable(stub.errorString()));
    stub.reset();
    setUp(stub, QStringLiteral("list=A::B|v0,0=0.5|v1,0=2"));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            TSInterfaceDll dll(stub.folder());
            for (int i = 0; i < 200; ++i) {
                QString values = QStringLiteral("0:1");
                QString set = QStringLiteral("%1:%2").arg(t + 10).arg(i);
                wrong += dll.getControllerValues(values) != 0 || values != QLatin1String("0:0.5::1:2::")
                    || dll.setControllerValue(set) != 0;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(stub.callLog().count(QStringLiteral("SetControllerValue(")), 8 * 200);
}

void TestInterface::truncated_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("integer");
    QTest::addRow("2.9 truncates to 2, not rounded") << 2.9f << 2;
    QTest::addRow("-1.7 truncates to -1, not floored") << -1.7f << -1;
    QTest::addRow("NaN is 0") << float(NAN) << 0;
    QTest::addRow("above the range saturates") << 3e9f << INT_MAX;
    QTest::addRow("below the range saturates") << -3e9f << INT_MIN;
}

void TestInterface::truncated()
{
    QFETCH(float, value);
    QTEST(NumberFormat::truncated(value), "integer");
}

QTEST_GUILESS_MAIN(TestInterface)
#include "tst_interface.moc"
