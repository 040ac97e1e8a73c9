// The simulator interface: TSInterfaceDll against the stub RailDriver
// libraries (answers, result codes and exactly which library calls each
// operation makes), the defaults of TSInterfaceBase, and the number forms
// compared with Qt's own conversions.

#include "numberformat.h"
#include "tsinterfacedll.h"

#include "stubs/stublibrary.h"

#include <QtTest>

#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

namespace {

using Operation = int (TSInterfaceDll::*)(QString&);

const std::map<QString, Operation> kOperations = {
    {QStringLiteral("connectSimulator"), &TSInterfaceDll::connectSimulator},
    {QStringLiteral("getTrainData"), &TSInterfaceDll::getTrainData},
    {QStringLiteral("getControllerListRaw"), &TSInterfaceDll::getControllerListRaw},
    {QStringLiteral("getControllerListJson"), &TSInterfaceDll::getControllerListJson},
    {QStringLiteral("getControllerListFlat"), &TSInterfaceDll::getControllerListFlat},
    {QStringLiteral("getControllerListWithValues"), &TSInterfaceDll::getControllerListWithValues},
    {QStringLiteral("getControllerValues"), &TSInterfaceDll::getControllerValues},
    {QStringLiteral("getControllerValue"), &TSInterfaceDll::getControllerValue},
    {QStringLiteral("setControllerValue"), &TSInterfaceDll::setControllerValue},
    {QStringLiteral("getLocoChanged"), &TSInterfaceDll::getLocoChanged},
    {QStringLiteral("getLocoName"), &TSInterfaceDll::getLocoName},
};

// Steers a stub from a row's text: "|"-separated settings, "name=Class 66",
// "list=A::B", "v<index>,<type>=<value>", "rs<id>=<value>", "connected=0",
// "changed=1"; "~" as a text makes the library hand out a null pointer.
void setUp(StubLibrary& stub, const QString& settings)
{
    for (const QString& setting : settings.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        const QString key = setting.section(QLatin1Char('='), 0, 0);
        const QString value = setting.section(QLatin1Char('='), 1);
        if (key == QLatin1String("name"))
            value == QLatin1String("~") ? stub.setLocoNameNull() : stub.setLocoName(value);
        else if (key == QLatin1String("list"))
            value == QLatin1String("~") ? stub.setControllerListNull() : stub.setControllerList(value);
        else if (key == QLatin1String("connected"))
            stub.setConnected(value == QLatin1String("1"));
        else if (key == QLatin1String("changed"))
            stub.setLocoChanged(value == QLatin1String("1"));
        else if (key.startsWith(QLatin1String("rs")))
            stub.setRailSimValue(key.mid(2).toInt(), value.toFloat());
        else if (key.startsWith(QLatin1Char('v')))
            stub.setValue(key.mid(1).section(QLatin1Char(','), 0, 0).toInt(),
                          key.section(QLatin1Char(','), 1).toInt(), value.toFloat());
        else
            qFatal("unknown stub setting %s", qPrintable(setting));
    }
}

const QString kNotImplemented = QStringLiteral("FUNCTION NOT IMPLEMENTED");

// Implements only what TSInterfaceBase leaves abstract.
class PureOnly : public TSInterfaceBase
{
public:
    int connectSimulator(QString&) override { return -1; }
    int disconnectSimulator() override { return -1; }
    int getTrainData(QString&) override { return -1; }
    int getControllerListRaw(QString&) override { return -1; }
    int getControllerListJson(QString&) override { return -1; }
    int getControllerListFlat(QString&) override { return -1; }
    int getLocoName(QString&) override { return -1; }
};

} // namespace

class TestInterface : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void operations_data();
    void operations();
    void libraryLines_data();
    void libraryLines();
    void steamLibrary_data();
    void steamLibrary();
    void concurrentClientsShareOneLibrary();
    void baseDefaults();
    void numberFormsAsQt();
    void truncated_data();
    void truncated();
    void writeDecimal_data();
    void writeDecimal();

private:
    StubLibrary& stub(const QString& stubCase);
    std::map<QString, std::unique_ptr<StubLibrary>> m_stubs;
};

StubLibrary& TestInterface::stub(const QString& stubCase)
{
    auto& slot = m_stubs[stubCase];
    if (!slot)
        slot = std::make_unique<StubLibrary>(stubCase);
    if (!slot->isValid())
        qFatal("%s", qPrintable(slot->errorString()));
    return *slot;
}

void TestInterface::init()
{
    for (auto& entry : m_stubs)
        entry.second->reset();
}

void TestInterface::operations_data()
{
    QTest::addColumn<QString>("stubCase"); // empty: a folder without a library
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("calls");

    const QString caller = QStringLiteral("caller's text");
    const QString full = QStringLiteral("full");
    auto row = [](const char* name) -> QTestData& { return QTest::addRow("%s", name); };

    // No library: every operation answers 2 and makes no call.
    for (const auto& [name, operation] : kOperations) {
        Q_UNUSED(operation)
        QString text = caller;
        if (name == QLatin1String("getLocoName") || name == QLatin1String("getLocoChanged"))
            text = QStringLiteral("NO RESULT");
        else if (name == QLatin1String("getTrainData") || name == QLatin1String("setControllerValue"))
            text = QStringLiteral("no result");
        QTest::addRow("no library: %s answers 2", qPrintable(name))
            << QString() << QString() << name << caller << text << 2 << QString();
    }

    // A library that lacks the one function an operation needs.
    row("getLocoName without GetLocoName: NO RESULT, 4")
        << "no_GetLocoName" << "" << "getLocoName" << caller << "NO RESULT" << 4 << "";
    row("getLocoChanged without its function: NO RESULT, 0")
        << "no_GetRailSimLocoChanged" << "" << "getLocoChanged" << caller << "NO RESULT" << 0 << "";
    row("getTrainData without GetControllerValue: no result, 4")
        << "no_GetControllerValue" << "" << "getTrainData" << caller << "no result" << 4 << "";
    for (const char* op : {"getControllerListRaw", "getControllerListFlat", "getControllerListWithValues",
                           "getControllerListJson"})
        QTest::addRow("%s without GetControllerList: 5", op)
            << "no_GetControllerList" << "" << op << caller << kNotImplemented << 5 << "";
    for (const char* op : {"getControllerListRaw", "getControllerListFlat", "getControllerListWithValues"})
        QTest::addRow("%s without GetControllerValue: empty, 0", op)
            << "no_GetControllerValue" << "list=A::B" << op << caller << "" << 0 << "GetControllerList();";
    row("getControllerListJson without GetControllerValue leaves the text")
        << "no_GetControllerValue" << "list=A::B" << "getControllerListJson" << caller << caller << 0
        << "GetControllerList();";
    row("getControllerValues without its function: 5")
        << "no_GetControllerValue" << "" << "getControllerValues" << "1:2" << kNotImplemented << 5 << "";
    row("getControllerValue without its function: 5")
        << "no_GetControllerValue" << "" << "getControllerValue" << "1;0" << kNotImplemented << 5 << "";
    row("setControllerValue without its function: 5")
        << "no_SetControllerValue" << "" << "setControllerValue" << "1:0.5" << kNotImplemented << 5 << "";
    row("a malformed set answers 6 before the function is looked for")
        << "no_SetControllerValue" << "" << "setControllerValue" << "1" << "no result" << 6 << "";

    // Connecting.
    row("connect: CONNECTED")
        << full << "" << "connectSimulator" << "" << "CONNECTED" << 0
        << "SetRailDriverConnected(1);GetRailDriverConnected();";
    row("connect to a simulator that says no: 1, text unchanged")
        << full << "connected=0" << "connectSimulator" << caller << caller << 1
        << "SetRailDriverConnected(1);GetRailDriverConnected();";
    row("connect without SetRailDriverConnected: 4, no call")
        << "no_SetRailDriverConnected" << "" << "connectSimulator" << caller << caller << 4 << "";
    row("connect without GetRailDriverConnected counts as connected")
        << "no_GetRailDriverConnected" << "" << "connectSimulator" << "" << "CONNECTED" << 0
        << "SetRailDriverConnected(1);";

    // Single values.
    row("value 12;0 reads 0.5") << full << "v12,0=0.5" << "getControllerValue" << "12;0" << "0.5" << 0
                                << "GetControllerValue(12,0);";
    row("value of one million in exponent form") << full << "v12,0=1e6" << "getControllerValue" << "12;0" << "1e+06"
                                                 << 0 << "GetControllerValue(12,0);";
    row("value -2") << full << "v3,2=-2" << "getControllerValue" << "3;2" << "-2" << 0 << "GetControllerValue(3,2);";
    row("12; asks for type 0") << full << "" << "getControllerValue" << "12;" << "0" << 0 << "GetControllerValue(12,0);";
    row("abc;1 asks for controller 0") << full << "" << "getControllerValue" << "abc;1" << "0" << 0
                                       << "GetControllerValue(0,1);";
    row("007;0 asks for controller 7") << full << "" << "getControllerValue" << "007;0" << "0" << 0
                                       << "GetControllerValue(7,0);";
    row("one part: 5, no call") << full << "" << "getControllerValue" << "12" << kNotImplemented << 5 << "";
    row("three parts: 5, no call") << full << "" << "getControllerValue" << "1;2;3" << kNotImplemented << 5 << "";
    row("set 12:0.5") << full << "" << "setControllerValue" << "12:0.5" << "Set CtrlValue: 12:0.5" << 0
                      << "SetControllerValue(12,0.5);";
    row("set 12: sets 0") << full << "" << "setControllerValue" << "12:" << "Set CtrlValue: 12:" << 0
                          << "SetControllerValue(12,0);";
    row("set with a decimal comma sets 0") << full << "" << "setControllerValue" << "2:0,5"
                                           << "Set CtrlValue: 2:0,5" << 0 << "SetControllerValue(2,0);";
    row("set with three parts: 6, no call") << full << "" << "setControllerValue" << "12:0.5:1" << "no result" << 6
                                            << "";
    row("loco name") << full << "name=Class 66" << "getLocoName" << caller << "Class 66" << 0 << "GetLocoName();";
    row("non-ASCII loco name") << full << QStringLiteral("name=Baureihe 218 \u00fc \u6771") << "getLocoName" << ""
                               << QStringLiteral("Baureihe 218 \u00fc \u6771") << 0 << "GetLocoName();";
    row("a null name reads as empty") << full << "name=~" << "getLocoName" << "" << "" << 0 << "GetLocoName();";
    row("loco changed") << full << "changed=1" << "getLocoChanged" << "" << "IS_CHANGED" << 0
                        << "GetRailSimLocoChanged();";
    row("loco not changed") << full << "" << "getLocoChanged" << "" << "NOT_CHANGED" << 0 << "GetRailSimLocoChanged();";

    // Several values at once.
    row("1:5 gives two records") << full << "v1,0=0.5|v5,0=1" << "getControllerValues" << "1:5" << "1:0.5::5:1::"
                                 << 0 << "GetControllerValue(1,0);GetControllerValue(5,0);";
    row("an empty request asks for controller 0") << full << "v0,0=0.25" << "getControllerValues" << ""
                                                  << "0:0.25::" << 0 << "GetControllerValue(0,0);";
    row("1::2 has a record for 0 in the middle")
        << full << "" << "getControllerValues" << "1::2" << "1:0::0:0::2:0::" << 0
        << "GetControllerValue(1,0);GetControllerValue(0,0);GetControllerValue(2,0);";
    row("007 and -2 are answered as numbers") << full << "v-2,0=-0.5" << "getControllerValues" << "007:-2"
                                              << "7:0::-2:-0.5::" << 0
                                              << "GetControllerValue(7,0);GetControllerValue(-2,0);";

    // Controller lists: one list call, then the limits (and the value) per
    // controller in index order.
    const QString twoCalls = QStringLiteral(
        "GetControllerList();GetControllerValue(0,1);GetControllerValue(0,2);GetControllerValue(1,1);"
        "GetControllerValue(1,2);");
    const QString two = QStringLiteral("list=A::B|v0,1=-0.5|v0,2=2.9|v1,1=-1.7|v1,2=1e6|v0,0=0.75|v1,0=1e-5");
    row("raw list, limits truncated") << full << two << "getControllerListRaw" << "" << "0::A::0::2::1::B::-1::1000000::"
                                      << 0 << twoCalls;
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
    row("an empty list is one nameless controller") << full << "list=" << "getControllerListRaw" << "" << "0::::0::0::"
                                                    << 0 << "GetControllerList();GetControllerValue(0,1);GetControllerValue(0,2);";
    row("a null list reads as empty") << full << "list=~" << "getControllerListFlat" << "" << "0;;0;0;" << 0
                                      << "GetControllerList();GetControllerValue(0,1);GetControllerValue(0,2);";
    row("a trailing :: adds a nameless controller; one : stays in a name")
        << full << "list=a:b::" << "getControllerListFlat" << "" << "0;a:b;0;0;1;;0;0;" << 0 << twoCalls;
    row("%3 in a name is filled by the next arg call") << full << "list=x%3|v0,1=5|v0,2=9" << "getControllerListRaw"
                                                       << "" << "0::x5::5::9::" << 0
                                                       << "GetControllerList();GetControllerValue(0,1);GetControllerValue(0,2);";
    row("JSON escapes names") << full << QStringLiteral("list=say \"hi\" \\ \t\u00fc") << "getControllerListJson" << ""
                              << QStringLiteral("{\n    \"controller\": [\n        {\n            \"ID\": 0,\n"
                                                "            \"Max\": 0,\n            \"Min\": 0,\n"
                                                "            \"Name\": \"say \\\"hi\\\" \\\\ \\t\u00fc\"\n        }\n    ]\n}\n")
                              << 0 << "GetControllerList();GetControllerValue(0,1);GetControllerValue(0,2);";

    // Train data.
    const QString trainCalls = QStringLiteral(
        "GetControllerValue(400,0);GetControllerValue(401,0);GetControllerValue(404,0);GetControllerValue(406,0);"
        "GetControllerValue(407,0);GetControllerValue(408,0);");
    const QString train = QStringLiteral("v400,0=51.123456|v401,0=-0.1234|v404,0=0.5|v406,0=59.9|v407,0=-0.5|"
                                         "v408,0=7|rs30=-42.25|rs2=0.75|rs7=1e-5");
    row("train data: fixed 7, integers, speed without sign, general")
        << full << train << "getTrainData" << "" << "51.1234550:-0.1234000:0.5000000:59:0:7:42.25:0.75:1e-05" << 0
        << trainCalls + "GetRailSimValue(30,0);GetRailSimValue(2,0);GetRailSimValue(7,0);";
    row("train data without GetRailSimValue: six fields, general form")
        << "no_GetRailSimValue" << train << "getTrainData" << "" << "51.1235:-0.1234:0.5:59:0:7" << 0 << trainCalls;
    row("a tiny negative speed is 0.00") << full << "rs30=-0.004" << "getTrainData" << ""
                                         << "0.0000000:0.0000000:0.0000000:0:0:0:0.00:0:0" << 0
                                         << trainCalls + "GetRailSimValue(30,0);GetRailSimValue(2,0);GetRailSimValue(7,0);";
}

void TestInterface::operations()
{
    QFETCH(QString, stubCase);
    QFETCH(QString, settings);
    QFETCH(QString, operation);
    QFETCH(QString, input);
    QFETCH(QString, text);
    QFETCH(int, result);
    QFETCH(QString, calls);

    QTemporaryDir empty;
    QString folder = empty.path();
    if (!stubCase.isEmpty()) {
        StubLibrary& library = stub(stubCase);
        setUp(library, settings);
        folder = library.folder();
    }
    TSInterfaceDll dll(folder);
    if (!stubCase.isEmpty())
        stub(stubCase).clearCallLog();
    else // the short note of an operation that has no library
        QTest::ignoreMessage(QtDebugMsg, "Cannot load library.");

    QString inOut = input;
    QCOMPARE((dll.*kOperations.at(operation))(inOut), result);
    QCOMPARE(inOut, text);
    if (!stubCase.isEmpty())
        QCOMPARE(stub(stubCase).callLog(), calls);
}

// The lines an interface emits: one row per distinct line.
void TestInterface::libraryLines_data()
{
    QTest::addColumn<bool>("withLibrary");
    QTest::addColumn<bool>("with32BitFile");
    QTest::addRow("a loaded library") << true << false;
    QTest::addRow("no library, no 32-bit file") << false << false;
    QTest::addRow("no library, a 32-bit file") << false << true;
}

void TestInterface::libraryLines()
{
    QFETCH(bool, withLibrary);
    QFETCH(bool, with32BitFile);

    QTemporaryDir dir;
    // A folder ending in "/" is passed on unchanged: "//plugins".
    const QString folder = withLibrary ? stub(QStringLiteral("full")).folder() : dir.path() + QLatin1Char('/');
    if (with32BitFile) {
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("plugins"))));
        QFile file(dir.filePath(QStringLiteral("plugins/RailDriver.dll")));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QLibrary probe(folder + QStringLiteral("/plugins/RailDriver64.dll"));
    const bool loads = probe.load();
    QCOMPARE(loads, withLibrary);
    QFile file32(folder + QStringLiteral("/plugins/RailDriver.dll"));
    const QString fileError = file32.open(QIODevice::ReadOnly) ? QString() : file32.errorString();

    // The constructor's line has no receiver in Kestrel; a spy on a second
    // interface made the same way sees what connectSimulator says.
    TSInterfaceDll dll(folder);
    QSignalSpy lines(&dll, &TSInterfaceBase::sigDebugString);
    QString status;
    QCOMPARE(dll.connectSimulator(status), withLibrary ? 0 : 2);
    QCOMPARE(lines.size(), 1);
    if (withLibrary) {
        QCOMPARE(lines.at(0), (QVariantList{QStringLiteral("(InterfaceDLL) - RailDriver library loaded"), 1}));
    } else {
        QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("(InterfaceDLL) - RailDriver library not loaded. ")
                                                   + fileError + QLatin1Char('\n') + probe.errorString());
        QCOMPARE(lines.at(0).at(1).toInt(), 3);
    }
}

void TestInterface::steamLibrary_data()
{
    QTest::addColumn<bool>("present");
    QTest::addRow("steam_api.dll takes over the calls") << true;
    QTest::addRow("a failed load leaves no library at all") << false;
}

void TestInterface::steamLibrary()
{
    QFETCH(bool, present);

    QTemporaryDir dir;
    const QString folder = dir.path();
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/plugins")));
    QVERIFY(QFile::copy(stub(QStringLiteral("full")).libraryFile(), folder + QStringLiteral("/plugins/RailDriver64.dll")));
    if (present)
        QVERIFY(QFile::copy(stub(QStringLiteral("full")).libraryFile(), folder + QStringLiteral("/steam_api.dll")));
    StubLibrary steam(StubLibrary::File{folder + QStringLiteral("/steam_api.dll")});

    TSInterfaceDll dll(folder);
    QSignalSpy lines(&dll, &TSInterfaceBase::sigDebugString);
    QCOMPARE(dll.loadSteamLibrary(), present ? 0 : 2);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.at(0).at(1).toInt(), present ? 1 : 3);
    QString name;
    QCOMPARE(dll.getLocoName(name), present ? 0 : 2);
    if (present) {
        QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("(InterfaceDLL) - steamapp library loaded. "));
        QCOMPARE(steam.callLog(), QStringLiteral("GetLocoName();"));
    }
}

// Client threads load the same library at once and call it concurrently.
void TestInterface::concurrentClientsShareOneLibrary()
{
    StubLibrary& library = stub(QStringLiteral("full"));
    setUp(library, QStringLiteral("list=A::B|v0,0=0.5|v1,0=2"));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            TSInterfaceDll dll(library.folder());
            for (int i = 0; i < 200; ++i) {
                QString values = QStringLiteral("0:1");
                QString set = QStringLiteral("%1:%2").arg(t + 10).arg(i);
                if (dll.getControllerValues(values) != 0 || values != QLatin1String("0:0.5::1:2::")
                    || dll.setControllerValue(set) != 0)
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(library.callLog().count(QStringLiteral("SetControllerValue(")), 8 * 200);
}

// What TSInterfaceBase gives where a class implements only the abstract
// operations: 5, the text untouched.
void TestInterface::baseDefaults()
{
    PureOnly pure;
    QSignalSpy lines(&pure, &TSInterfaceBase::sigDebugString);
    using BaseOperation = int (TSInterfaceBase::*)(QString&);
    for (BaseOperation operation :
         {&TSInterfaceBase::getControllerListWithValues, &TSInterfaceBase::getControllerValues,
          &TSInterfaceBase::getControllerValue, &TSInterfaceBase::setControllerValue,
          &TSInterfaceBase::reservedOperation1, &TSInterfaceBase::reservedOperation2,
          &TSInterfaceBase::getLocoChanged}) {
        QString text = QStringLiteral("untouched");
        QCOMPARE((pure.*operation)(text), 5);
        QCOMPARE(text, QStringLiteral("untouched"));
    }
    QCOMPARE(pure.loadSteamLibrary(), 5);
    QCOMPARE(lines.size(), 0);
}

// The hand-written number forms must give Qt's text for every float: a
// sweep over bit patterns (both signs, every exponent) and the values where
// rounding carries or the form changes.
void TestInterface::numberFormsAsQt()
{
    std::vector<float> values = {0.0f, -0.0f, 0.5f, 1e6f, 999999.5f, 9999995.0f, 0.0001f, 0.00001f, 1234.125f,
                                 0.125f, 1e-5f, 123456.5f, 51.123456f, 99.995f, 1.0e19f, 1.7e-18f, 3.4e38f,
                                 1.2e-38f, 1e-45f, INFINITY, -INFINITY, NAN};
    for (uint32_t bits = 0; bits < 0xFFFFFFFFu - 16411u; bits += 16411u) {
        float value;
        std::memcpy(&value, &bits, sizeof value);
        values.push_back(value);
    }
    for (float value : values) {
        const QString general = QStringLiteral("%1").arg(double(value), 0, 'g', -1);
        QCOMPARE(NumberFormat::general(value), general);
        for (int decimals : {2, 7, 10}) // 10: past what the own path takes
            QCOMPARE(NumberFormat::fixed(value, decimals), QString::number(double(value), 'f', decimals));
    }
}

void TestInterface::truncated_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("integer");
    QTest::addRow("2.9 truncates to 2") << 2.9f << 2;
    QTest::addRow("-1.7 truncates to -1") << -1.7f << -1;
    QTest::addRow("-0.5 is 0") << -0.5f << 0;
    QTest::addRow("NaN is 0") << float(NAN) << 0;
    QTest::addRow("above the range saturates") << 3e9f << INT_MAX;
    QTest::addRow("infinity saturates") << float(INFINITY) << INT_MAX;
    QTest::addRow("below the range saturates") << -3e9f << INT_MIN;
}

void TestInterface::truncated()
{
    QFETCH(float, value);
    QFETCH(int, integer);
    QCOMPARE(NumberFormat::truncated(value), integer);
    QCOMPARE(NumberFormat::integer(value), QString::number(integer));
}

void TestInterface::writeDecimal_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("text");
    QTest::addRow("padded to the width") << qint64(17) << 6 << "000017";
    QTest::addRow("never cut") << qint64(1000014) << 6 << "1000014";
    QTest::addRow("no width") << qint64(0) << 0 << "0";
    QTest::addRow("smallest int") << qint64(INT_MIN) << 0 << "-2147483648";
}

void TestInterface::writeDecimal()
{
    QFETCH(qint64, value);
    QFETCH(int, width);
    QFETCH(QString, text);
    char out[32];
    QCOMPARE(QString::fromLatin1(out, NumberFormat::writeDecimal(value, out, width)), text);
    if (width == 0 && value >= INT_MIN && value <= INT_MAX)
        QCOMPARE(NumberFormat::decimal(int(value)), text);
}

QTEST_GUILESS_MAIN(TestInterface)
#include "tst_interface.moc"
