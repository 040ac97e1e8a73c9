// The simulator interface: TSInterfaceDll against the stub RailDriver
// libraries (answers, result codes and exactly which library calls each
// operation makes), how a float becomes an integer, and the simulator's
// folder found in Steam's libraries.

#include "numberformat.h"
#include "steamlibraries.h"
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

// Steers a stub from a row's text: "|"-separated "name=Class 66", "list=A::B",
// "v<index>,<type>=<value>", "rs<id>=<value>", "disconnected", "changed"; "~"
// as a text makes the library hand out a null pointer.
void setUp(StubLibrary& stub, const QString& settings)
{
    for (const QString& setting : settings.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        const QString key = setting.section(QLatin1Char('='), 0, 0);
        const QString value = setting.section(QLatin1Char('='), 1);
        if (key == QLatin1String("name"))
            value == QLatin1String("~") ? stub.setLocoNameNull() : stub.setLocoName(value);
        else if (key == QLatin1String("list"))
            value == QLatin1String("~") ? stub.setControllerListNull() : stub.setControllerList(value);
        else if (key == QLatin1String("disconnected"))
            stub.setConnected(false);
        else if (key == QLatin1String("changed"))
            stub.setLocoChanged(true);
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

    void operations_data()
    {
        QTest::addColumn<QString>("stubCase"); // empty: a folder without a library
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("calls");
        const char* const caller = "caller's text";
        auto row = [](const char* name, const char* stubCase = "full") -> QTestData& {
            return QTest::addRow("%s", name) << stubCase;
        };

        // Without a library every operation answers 2; those that always write
        // an answer write their "no result".
        const QMap<QString, QString> noResult = {{"getLocoName", "NO RESULT"}, {"getLocoChanged", "NO RESULT"},
                                                 {"getTrainData", "no result"}, {"setControllerValue", "no result"}};
        for (const auto& entry : kOperations)
            QTest::addRow("no library: %s answers 2", qPrintable(entry.first))
                << "" << "" << entry.first << caller << noResult.value(entry.first, caller) << 2 << "";

        // A library that lacks the one function an operation needs: no call, and
        // each operation's own answer (a malformed set is told before the lookup).
        const struct { const char* function; const char* operation; const char* input; const char* text; int result; }
            lacking[] = {{"GetLocoName", "getLocoName", caller, "NO RESULT", 4},
                         {"GetRailSimLocoChanged", "getLocoChanged", caller, "NO RESULT", 0},
                         {"GetControllerValue", "getTrainData", caller, "no result", 4},
                         {"GetControllerList", "getControllerListRaw", caller, kNotImplemented, 5},
                         {"GetControllerList", "getControllerListJson", caller, kNotImplemented, 5},
                         {"GetControllerValue", "getControllerValues", "1:2", kNotImplemented, 5},
                         {"GetControllerValue", "getControllerValue", "1;0", kNotImplemented, 5},
                         {"SetControllerValue", "setControllerValue", "1:0.5", kNotImplemented, 5},
                         {"SetControllerValue", "setControllerValue", "1", "no result", 6},
                         {"SetRailDriverConnected", "connectSimulator", caller, caller, 4},
                         {"SetRailDriverConnected", "disconnectSimulator", caller, caller, 0}};
        for (const auto& r : lacking)
            QTest::addRow("%s without %s: %d", r.operation, r.function, r.result)
                << QStringLiteral("no_%1").arg(r.function) << "" << r.operation << r.input << r.text << r.result << "";
        row("list without GetControllerValue: empty, 0", "no_GetControllerValue") << "list=A::B"
            << "getControllerListWithValues" << caller << "" << 0 << "GetControllerList();";
        row("JSON list without GetControllerValue leaves the text", "no_GetControllerValue") << "list=A::B"
            << "getControllerListJson" << caller << caller << 0 << "GetControllerList();";
        row("connect without GetRailDriverConnected counts as connected", "no_GetRailDriverConnected") << ""
            << "connectSimulator" << "" << "CONNECTED" << 0 << "SetRailDriverConnected(1);";

        // Connecting, single values, the locomotive.
        row("connect: CONNECTED") << "" << "connectSimulator" << "" << "CONNECTED" << 0
                                  << "SetRailDriverConnected(1);GetRailDriverConnected();";
        row("connect to a simulator that says no: 1, text unchanged") << "disconnected" << "connectSimulator" << caller
            << caller << 1 << "SetRailDriverConnected(1);GetRailDriverConnected();";
        row("disconnect calls it") << "" << "disconnectSimulator" << caller << caller << 0 << "SetRailDriverConnected(0);";
        row("value 3;2 asks for the maximum, general form") << "v3,2=1e6" << "getControllerValue" << "3;2"
                                                            << "1e+06" << 0 << "GetControllerValue(3,2);";
        row("12; reads type 0") << "v12,0=-2" << "getControllerValue" << "12;" << "-2" << 0 << "GetControllerValue(12,0);";
        row("value with one part: 5, no call") << "" << "getControllerValue" << "12" << kNotImplemented << 5 << "";
        row("set 12:0.5") << "" << "setControllerValue" << "12:0.5" << "Set CtrlValue: 12:0.5" << 0
                          << "SetControllerValue(12,0.5);";
        row("1: sets 0") << "" << "setControllerValue" << "1:" << "Set CtrlValue: 1:" << 0 << "SetControllerValue(1,0);";
        row("set with three parts: 6, no call") << "" << "setControllerValue" << "12:0.5:1" << "no result" << 6 << "";
        row("loco name as UTF-8") << QStringLiteral("name=Baureihe 218 \u00fc \u6771") << "getLocoName" << caller
                                  << QStringLiteral("Baureihe 218 \u00fc \u6771") << 0 << "GetLocoName();";
        row("a null name reads as empty") << "name=~" << "getLocoName" << caller << "" << 0 << "GetLocoName();";
        row("loco changed") << "changed" << "getLocoChanged" << "" << "IS_CHANGED" << 0 << "GetRailSimLocoChanged();";
        row("loco not changed") << "" << "getLocoChanged" << "" << "NOT_CHANGED" << 0 << "GetRailSimLocoChanged();";

        // Several values: ids read as toInt() reads them, however the digits run.
        row("an empty request asks for controller 0") << "v0,0=0.25" << "getControllerValues" << ""
                                                      << "0:0.25::" << 0 << "GetControllerValue(0,0);";
        row("leading zeros, an empty id, a sign, letters and an overflowing id")
            << "v-2,0=-0.5" << "getControllerValues" << "007::-2:x:9999999999" << "7:0::0:0::-2:-0.5::0:0::0:0::"
            << 0 << "GetControllerValue(7,0);GetControllerValue(0,0);GetControllerValue(-2,0);GetControllerValue(0,0);"
                    "GetControllerValue(0,0);";
        row("NaN and infinities in the general form") << "v0,0=nan|v1,0=inf|v2,0=-inf" << "getControllerValues" << "0:1:2"
            << "0:nan::1:inf::2:-inf::" << 0 << "GetControllerValue(0,0);GetControllerValue(1,0);GetControllerValue(2,0);";

        // Controller lists: one list call, then the limits (and the value) per controller in index order.
        const QString twoCalls = QStringLiteral("GetControllerList();GetControllerValue(0,1);GetControllerValue(0,2);"
                                                "GetControllerValue(1,1);GetControllerValue(1,2);");
        const QString oneCall = QStringLiteral("GetControllerList();GetControllerValue(0,1);GetControllerValue(0,2);");
        const char* const two = "list=A::B|v0,1=-0.5|v0,2=2.9|v1,1=-1.7|v1,2=1e6|v0,0=0.75|v1,0=1e-5";
        row("flat list, truncated") << two << "getControllerListFlat" << "" << "0;A;0;2;1;B;-1;1000000;" << 0 << twoCalls;
        row("list with values in the general form")
            << two << "getControllerListWithValues" << "" << "0::A::0::2::0.75::1::B::-1::1000000::1e-05::" << 0
            << "GetControllerList();GetControllerValue(0,0);GetControllerValue(0,1);GetControllerValue(0,2);"
               "GetControllerValue(1,0);GetControllerValue(1,1);GetControllerValue(1,2);";
        row("JSON list, indented, integer limits") << two << "getControllerListJson" << ""
            << QString::fromUtf8(QJsonDocument::fromJson(R"({"controller": [{"ID": 0, "Max": 2, "Min": 0, "Name": "A"},
                                     {"ID": 1, "Max": 1000000, "Min": -1, "Name": "B"}]})").toJson())
            << 0 << twoCalls;
        row("null list: one nameless controller") << "list=~" << "getControllerListFlat" << "" << "0;;0;0;" << 0 << oneCall;
        row("a trailing :: adds a nameless controller; one : stays in a name")
            << "list=a:b::" << "getControllerListFlat" << "" << "0;a:b;0;0;1;;0;0;" << 0 << twoCalls;
        row("raw list: %3 in a name is filled by the next arg call")
            << "list=x%3|v0,1=5|v0,2=9" << "getControllerListRaw" << "" << "0::x5::5::9::" << 0 << oneCall;

        const QString trainCalls = QStringLiteral("GetControllerValue(400,0);GetControllerValue(401,0);"
                                                  "GetControllerValue(404,0);GetControllerValue(406,0);"
                                                  "GetControllerValue(407,0);GetControllerValue(408,0);");
        const char* const train = "v400,0=51.123456|v401,0=-0.1234|v404,0=0.5|v406,0=59.9|v407,0=-0.5|v408,0=7|"
                                  "rs30=-42.25|rs2=0.75|rs7=1e-5";
        row("train data: fixed 7, integers, speed without sign, general")
            << train << "getTrainData" << "" << "51.1234550:-0.1234000:0.5000000:59:0:7:42.25:0.75:1e-05" << 0
            << trainCalls + "GetRailSimValue(30,0);GetRailSimValue(2,0);GetRailSimValue(7,0);";
        row("train data without GetRailSimValue: six fields, general form", "no_GetRailSimValue")
            << train << "getTrainData" << "" << "51.1235:-0.1234:0.5:59:0:7" << 0 << trainCalls;
    }

    void operations()
    {
        QFETCH(QString, stubCase);
        QFETCH(QString, settings);
        QFETCH(QString, operation);
        QFETCH(QString, input);
        QTemporaryDir empty;
        StubLibrary stub(stubCase.isEmpty() ? QStringLiteral("full") : stubCase);
        stub.reset(); // a stub that did not load is a qFatal here
        setUp(stub, settings);
        TSInterfaceDll dll(stubCase.isEmpty() ? empty.path() : stub.folder());
        if (stubCase.isEmpty()) // the short note of an operation that has no library
            QTest::ignoreMessage(QtDebugMsg, "Cannot load library.");

        QTEST(kOperations.at(operation)(dll, input), "result");
        QTEST(input, "text");
        QTEST(stub.callLog(), "calls");
    }

    // The one line connectSimulator or loadSteamLibrary reports. Without the
    // 64-bit library, whether the 32-bit file opens tells a wrong folder from a
    // wrong build. A steam library alone in its folder is the only one there to
    // answer; a failed steam load must let go of the library loaded before.
    void libraryLines_data()
    {
        QTest::addColumn<QString>("folder"); // "stub": its own; "empty"; else a new one with a stub copy as this file
        QTest::addColumn<bool>("steam");
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("result");
        QTest::addRow("connect: loaded") << "stub" << false << "RailDriver library loaded" << 0;
        QTest::addRow("connect, no 32-bit file: its error") << "empty" << false << "RailDriver library not loaded. " << 2;
        QTest::addRow("connect, a 32-bit file: no error")
            << "plugins/RailDriver.dll" << false << "RailDriver library not loaded. " << 2;
        QTest::addRow("steam_api.dll takes over the calls") << "steam_api.dll" << true << "steamapp library loaded. " << 0;
        QTest::addRow("a failed steam load leaves no library") << "stub" << true << "steam_app library not loaded. " << 2;
    }

    void libraryLines()
    {
        QFETCH(QString, folder);
        QFETCH(bool, steam);
        QFETCH(QString, line);
        QFETCH(int, result);
        QTemporaryDir dir;
        const QString stubFolder = StubLibrary(QStringLiteral("full")).folder();
        if (folder.endsWith(QLatin1String(".dll")))
            QVERIFY(QDir(dir.path()).mkpath(QFileInfo(folder).path())
                    && QFile::copy(stubFolder + QStringLiteral("/plugins/RailDriver64.dll"), dir.filePath(folder)));
        const QString path = folder == QLatin1String("stub") ? stubFolder : dir.path();
        QLibrary probe(path + (steam ? QStringLiteral("/steam_api.dll") : QStringLiteral("/plugins/RailDriver64.dll")));
        QFile file32(path + QStringLiteral("/plugins/RailDriver.dll"));
        if (!probe.load() && !steam) // whether the 32-bit file opens, then the library's own error
            line += (file32.open(QIODevice::ReadOnly) ? QString() : file32.errorString()) + '\n';
        line += probe.isLoaded() ? QString() : probe.errorString();

        TSInterfaceDll dll(path);
        QSignalSpy lines(&dll, &TSInterfaceBase::sigDebugString);
        QString name;
        QCOMPARE(steam ? dll.loadSteamLibrary() : dll.connectSimulator(name), result);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.at(0), (QVariantList{QStringLiteral("(InterfaceDLL) - ") + line, result ? 3 : 1}));
        if (steam)
            QCOMPARE(dll.getLocoName(name), result);
    }

    // Client threads load the same library at once and call it concurrently.
    void concurrentClientsShareOneLibrary()
    {
        StubLibrary stub(QStringLiteral("full"));
        stub.reset();
        setUp(stub, QStringLiteral("v0,0=0.5|v1,0=2"));
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

    void truncated_data()
    {
        QTest::addColumn<float>("value");
        QTest::addColumn<int>("integer");
        QTest::addRow("2.9 truncates to 2, not rounded") << 2.9f << 2;
        QTest::addRow("-1.7 truncates to -1, not floored") << -1.7f << -1;
        QTest::addRow("NaN is 0") << float(NAN) << 0;
        QTest::addRow("above the range saturates") << 3e9f << INT_MAX;
        QTest::addRow("below the range saturates") << -3e9f << INT_MIN;
    }

    void truncated()
    {
        QFETCH(float, value);
        QTEST(NumberFormat::truncated(value), "integer");
    }

    void steamLibraryFolders_data()
    {
        QTest::addColumn<QByteArray>("vdf");
        QTest::addColumn<QStringList>("libraries");
        const QByteArray two = "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"C:\\\\Program Files (x86)\\\\Steam\"\n"
                               "\t\t\"apps\" { \"24010\" \"1234\" }\n\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\"D:\\\\SteamLibrary\"\n\t}\n}\n";
        QTest::addRow("two libraries, backslashes escaped") << two << QStringList{"C:/Program Files (x86)/Steam", "D:/SteamLibrary"};
        QTest::addRow("cut short in the second library: the first stays") << two.left(two.indexOf("D:")) << QStringList{"C:/Program Files (x86)/Steam"};
        QTest::addRow("the format before 2021: numbered values, other keys passed over")
            << QByteArray("\"LibraryFolders\" { \"TimeNextStatsReport\" \"1\" \"1\" \"E:\\\\Games\" }") << QStringList{"E:/Games"};
        QTest::addRow("comments and an escaped quote")
            << QByteArray("// Steam\n\"libraryfolders\" { // here\n \"0\" { \"path\" \"F:\\\\a \\\"b\\\"\" } }") << QStringList{"F:/a \"b\""};
        QTest::addRow("not Steam's format") << QByteArray("<html>{\"libraryfolders\"}") << QStringList();
        QTest::addRow("nested 100000 deep: no stack overflow") << "\"x\"" + QByteArray("{\"a\"").repeated(100000) << QStringList();
    }

    void steamLibraryFolders()
    {
        QFETCH(QByteArray, vdf);
        QTEST(SteamLibraries::libraryFolders(vdf), "libraries");
    }

    // A Steam folder listing three libraries: one gone, one without the simulator, and one whose manifest names
    // the simulator's folder; "RailWorks.exe" and the plugin are there or not.
    void simulatorInSteam_data()
    {
        QTest::addColumn<QStringList>("files"); // made in the third library's simulator folder
        QTest::addColumn<bool>("hasLibrary");
        QTest::addRow("the folder the manifest names") << QStringList{"RailWorks.exe", "plugins/RailDriver64.dll"} << true;
        QTest::addRow("half installed: no library in plugins") << QStringList{"RailWorks.exe"} << false;
        QTest::addRow("no program: no simulator") << QStringList{"plugins/RailDriver64.dll"} << false;
    }

    void simulatorInSteam()
    {
        QFETCH(QStringList, files);
        QTemporaryDir root;
        const QString folder = root.filePath(QStringLiteral("lib-c/steamapps/common/Train Sim"));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("steam/steamapps"))) && QDir().mkpath(root.filePath("lib-b"))
                && QDir().mkpath(folder + QStringLiteral("/plugins")));
        const auto write = [](const QString& path, const QByteArray& text) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
        };
        const QByteArray vdf = QStringLiteral("\"libraryfolders\" { \"1\" { \"path\" \"%1/lib-a\" } \"2\" { \"path\" \"%1/lib-b\" } "
                                              "\"3\" { \"path\" \"%1/lib-c\" } }").arg(root.path()).toUtf8();
        QVERIFY(write(root.filePath(QStringLiteral("steam/steamapps/libraryfolders.vdf")), vdf)
                && write(root.filePath(QStringLiteral("lib-c/steamapps/appmanifest_24010.acf")),
                         "\"AppState\" { \"appid\" \"24010\" \"installdir\" \"Train Sim\" }"));
        for (const QString& file : files)
            QVERIFY(write(folder + QLatin1Char('/') + file, "x"));
        const SteamLibraries::Found found = SteamLibraries::findSimulator({root.filePath(QStringLiteral("steam"))});
        QCOMPARE(found.folder, QTest::currentDataTag()[0] == 'n' ? QString() : folder);
        QTEST(found.hasLibrary, "hasLibrary");
        QCOMPARE(found.library, found.folder.isEmpty() ? QString() : root.filePath(QStringLiteral("lib-c")));
    }
};

QTEST_GUILESS_MAIN(TestInterface)
#include "tst_interface.moc"
