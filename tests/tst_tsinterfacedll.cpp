// TSInterfaceDll against the stub RailDriver libraries of tests/stubs: the
// answers clients receive, the result codes, the log lines, and exactly which
// library calls each operation makes (the stubs' call log).
//
// QLibrary keeps a loaded library mapped for the life of the process, and one
// path is one instance, so each stub's state outlives a test function; init()
// resets every stub.

#include "tsinterfacedll.h"

#include "stubs/stublibrary.h"

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <limits>
#include <map>
#include <vector>
#include <memory>

namespace {

enum class Op {
    Connect,
    Disconnect,
    TrainData,
    ListRaw,
    ListJson,
    ListFlat,
    ListWithValues,
    Values,
    Value,
    SetValue,
    LocoChanged,
    LocoName,
};

const Op kAllOps[] = { Op::Connect,  Op::Disconnect,     Op::TrainData, Op::ListRaw,
                       Op::ListJson, Op::ListFlat,       Op::ListWithValues, Op::Values,
                       Op::Value,    Op::SetValue,       Op::LocoChanged, Op::LocoName };

const char* opName(Op op)
{
    switch (op) {
    case Op::Connect: return "connectSimulator";
    case Op::Disconnect: return "disconnectSimulator";
    case Op::TrainData: return "getTrainData";
    case Op::ListRaw: return "getControllerListRaw";
    case Op::ListJson: return "getControllerListJson";
    case Op::ListFlat: return "getControllerListFlat";
    case Op::ListWithValues: return "getControllerListWithValues";
    case Op::Values: return "getControllerValues";
    case Op::Value: return "getControllerValue";
    case Op::SetValue: return "setControllerValue";
    case Op::LocoChanged: return "getLocoChanged";
    case Op::LocoName: return "getLocoName";
    }
    return "?";
}

int run(TSInterfaceDll& dll, Op op, QString& text)
{
    switch (op) {
    case Op::Connect: return dll.connectSimulator(text);
    case Op::Disconnect: return dll.disconnectSimulator();
    case Op::TrainData: return dll.getTrainData(text);
    case Op::ListRaw: return dll.getControllerListRaw(text);
    case Op::ListJson: return dll.getControllerListJson(text);
    case Op::ListFlat: return dll.getControllerListFlat(text);
    case Op::ListWithValues: return dll.getControllerListWithValues(text);
    case Op::Values: return dll.getControllerValues(text);
    case Op::Value: return dll.getControllerValue(text);
    case Op::SetValue: return dll.setControllerValue(text);
    case Op::LocoChanged: return dll.getLocoChanged(text);
    case Op::LocoName: return dll.getLocoName(text);
    }
    return -1;
}

// The result codes each operation may give, from the interface contract.
QList<int> contractResults(Op op)
{
    switch (op) {
    case Op::Connect: return { 0, 1, 2, 4 };
    case Op::Disconnect: return { 0, 2 };
    case Op::TrainData: return { 0, 2, 4 };
    case Op::ListRaw:
    case Op::ListJson:
    case Op::ListFlat:
    case Op::ListWithValues:
    case Op::Values:
    case Op::Value: return { 0, 2, 5 };
    case Op::SetValue: return { 0, 2, 5, 6 };
    case Op::LocoChanged: return { 0, 2 };
    case Op::LocoName: return { 0, 2, 4 };
    }
    return {};
}

using ValueList = QList<QPair<int, float>>;
using FloatList = QList<float>;

const QString kNotImplemented = QStringLiteral("FUNCTION NOT IMPLEMENTED");
const QString kNoResultLower = QStringLiteral("no result");
const QString kNoResultUpper = QStringLiteral("NO RESULT");
const QString kCallersText = QStringLiteral("caller's text");

const QStringList kStubCases = {
    QStringLiteral("full"),
    QStringLiteral("no_SetRailDriverConnected"),
    QStringLiteral("no_GetRailDriverConnected"),
    QStringLiteral("no_GetLocoName"),
    QStringLiteral("no_GetControllerList"),
    QStringLiteral("no_GetControllerValue"),
    QStringLiteral("no_SetControllerValue"),
    QStringLiteral("no_GetRailSimValue"),
    QStringLiteral("no_GetRailSimLocoChanged"),
};

QString stubLibraryFile(const QString& stubCase)
{
    return StubLibrary::folderOf(stubCase) + QStringLiteral("/plugins/RailDriver64.dll");
}

// The error text QLibrary gives for a file that does not load; the interface
// must pass that very text on.
QString loadError(const QString& libraryFile)
{
    QLibrary probe(libraryFile);
    if (probe.load())
        return QStringLiteral("unexpectedly loaded: ") + libraryFile;
    return probe.errorString();
}

void expectDebug(const QString& line)
{
    QTest::ignoreMessage(QtDebugMsg, line.toUtf8().constData());
}

// The note a constructor writes when its folder holds no loadable library.
void expectConstructionNote(const QString& folder)
{
    expectDebug(QStringLiteral("Cannot load library.") + loadError(folder + QStringLiteral("/plugins/RailDriver64.dll")));
}

void expectNoLibraryNote()
{
    QTest::ignoreMessage(QtDebugMsg, "Cannot load library.");
}

QString controllerValueCall(int index, int type)
{
    return QStringLiteral("GetControllerValue(%1,%2);").arg(index).arg(type);
}

// The calls a controller-list operation makes for `count` names: the list
// once, then the kinds asked per controller in index order.
QString listCalls(int count, const QList<int>& kinds)
{
    QString log = QStringLiteral("GetControllerList();");
    for (int i = 0; i < count; ++i) {
        for (int kind : kinds)
            log += controllerValueCall(i, kind);
    }
    return log;
}

bool copyFile(const QString& from, const QString& to)
{
    return QDir().mkpath(QFileInfo(to).absolutePath()) && QFile::copy(from, to);
}

} // namespace

Q_DECLARE_METATYPE(Op)
Q_DECLARE_METATYPE(ValueList)
Q_DECLARE_METATYPE(FloatList)

class TestTSInterfaceDll : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void stubsAreSeparateInstances();

    void withoutLibrary_data();
    void withoutLibrary();
    void missingFunction_data();
    void missingFunction();
    void resultsStayWithinContract_data();
    void resultsStayWithinContract();

    void connectSimulator_data();
    void connectSimulator();
    void connectSimulatorWithoutLibrary_data();
    void connectSimulatorWithoutLibrary();
    void constructionAndDestructionMakeNoCalls();

    void getControllerValue_data();
    void getControllerValue();
    void setControllerValue_data();
    void setControllerValue();
    void getLocoName_data();
    void getLocoName();
    void getLocoChanged_data();
    void getLocoChanged();

    void controllerListTextForms_data();
    void controllerListTextForms();
    void controllerListCurrentValueForms_data();
    void controllerListCurrentValueForms();
    void controllerListJson_data();
    void controllerListJson();

    void getControllerValues_data();
    void getControllerValues();
    void getTrainData_data();
    void getTrainData();

    void concurrentClientsShareOneLibrary();

    void failedSteamLibraryLeavesNoLibrary();
    void steamLibraryTakesOver_data();
    void steamLibraryTakesOver();

private:
    StubLibrary& stub(const QString& stubCase);

    std::map<QString, std::unique_ptr<StubLibrary>> m_stubs;
};

StubLibrary& TestTSInterfaceDll::stub(const QString& stubCase)
{
    auto& slot = m_stubs[stubCase];
    if (!slot)
        slot = std::make_unique<StubLibrary>(stubCase);
    return *slot;
}

void TestTSInterfaceDll::initTestCase()
{
    for (const QString& stubCase : kStubCases)
        QVERIFY2(stub(stubCase).isValid(), qPrintable(stub(stubCase).errorString()));
}

void TestTSInterfaceDll::init()
{
    for (auto& entry : m_stubs)
        entry.second->reset();
}

// The loopback tests rely on this as much as these do: two stubs in one
// process keep their own state although they export the same names.
void TestTSInterfaceDll::stubsAreSeparateInstances()
{
    stub(QStringLiteral("full")).setLocoName(QStringLiteral("full"));
    stub(QStringLiteral("no_GetControllerValue")).setLocoName(QStringLiteral("other"));

    TSInterfaceDll full(StubLibrary::folderOf(QStringLiteral("full")));
    TSInterfaceDll other(StubLibrary::folderOf(QStringLiteral("no_GetControllerValue")));
    QString name;
    QCOMPARE(full.getLocoName(name), int(ResultOk));
    QCOMPARE(name, QStringLiteral("full"));
    QCOMPARE(other.getLocoName(name), int(ResultOk));
    QCOMPARE(name, QStringLiteral("other"));
    QCOMPARE(stub(QStringLiteral("full")).callLog(), QStringLiteral("GetLocoName();"));
    QCOMPARE(stub(QStringLiteral("no_GetControllerValue")).callLog(), QStringLiteral("GetLocoName();"));
}

void TestTSInterfaceDll::withoutLibrary_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<Op>("op");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");

    const QList<QPair<const char*, QString>> folders = {
        { "empty folder text", QString() },
        { "nonexistent folder", QStringLiteral("/nonexistent/kestrel-simulator") },
    };
    for (const auto& folder : folders) {
        auto row = [&](Op op, const QString& input, const QString& expected, const char* what) {
            QTest::addRow("%s: %s %s", folder.first, opName(op), what) << folder.second << op << input << expected;
        };
        row(Op::Connect, kCallersText, kCallersText, "leaves the status");
        row(Op::Disconnect, QString(), QString(), "answers 2");
        row(Op::TrainData, kCallersText, kNoResultLower, "answers no result");
        row(Op::ListRaw, kCallersText, kCallersText, "leaves the string");
        row(Op::ListJson, kCallersText, kCallersText, "leaves the string");
        row(Op::ListFlat, kCallersText, kCallersText, "leaves the string");
        row(Op::ListWithValues, kCallersText, kCallersText, "leaves the string");
        row(Op::Values, QStringLiteral("1:5"), QStringLiteral("1:5"), "leaves the request");
        row(Op::Value, QStringLiteral("12;0"), QStringLiteral("12;0"), "leaves the request");
        row(Op::SetValue, QStringLiteral("12:0.5"), kNoResultLower, "answers no result");
        row(Op::LocoChanged, kCallersText, kNoResultUpper, "answers NO RESULT");
        row(Op::LocoName, kCallersText, kNoResultUpper, "answers NO RESULT");
    }
}

void TestTSInterfaceDll::withoutLibrary()
{
    QFETCH(QString, folder);
    QFETCH(Op, op);
    QFETCH(QString, input);
    QFETCH(QString, expected);

    expectConstructionNote(folder);
    TSInterfaceDll dll(folder);
    expectNoLibraryNote();
    QString text = input;
    QCOMPARE(run(dll, op, text), int(ResultLibraryNotLoaded));
    QCOMPARE(text, expected);
}

void TestTSInterfaceDll::missingFunction_data()
{
    QTest::addColumn<QString>("stubCase");
    QTest::addColumn<Op>("op");
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("calls");

    // Stubs are in their reset state: empty controller list, values 0.
    const QString listOnly = QStringLiteral("GetControllerList();");

    QTest::addRow("disconnect calls SetRailDriverConnected(false)")
        << "full" << Op::Disconnect << QString() << 0 << QString() << "SetRailDriverConnected(0);";
    QTest::addRow("disconnect without SetRailDriverConnected still answers 0")
        << "no_SetRailDriverConnected" << Op::Disconnect << QString() << 0 << QString() << "";
    QTest::addRow("loco name without GetLocoName: 4 and NO RESULT")
        << "no_GetLocoName" << Op::LocoName << kCallersText << 4 << kNoResultUpper << "";
    QTest::addRow("loco changed without GetRailSimLocoChanged: 0 (not 4) and NO RESULT")
        << "no_GetRailSimLocoChanged" << Op::LocoChanged << kCallersText << 0 << kNoResultUpper << "";

    for (Op op : { Op::ListRaw, Op::ListJson, Op::ListFlat, Op::ListWithValues }) {
        QTest::addRow("%s without GetControllerList: 5 and not implemented", opName(op))
            << "no_GetControllerList" << op << kCallersText << 5 << kNotImplemented << "";
    }
    // The list is fetched before GetControllerValue is looked up.
    for (Op op : { Op::ListRaw, Op::ListFlat, Op::ListWithValues }) {
        QTest::addRow("%s without GetControllerValue: 0 and empty text", opName(op))
            << "no_GetControllerValue" << op << kCallersText << 0 << "" << listOnly;
    }
    QTest::addRow("getControllerListJson without GetControllerValue: 0, string untouched")
        << "no_GetControllerValue" << Op::ListJson << kCallersText << 0 << kCallersText << listOnly;

    QTest::addRow("getControllerValue without GetControllerValue: 5 and not implemented")
        << "no_GetControllerValue" << Op::Value << "12;0" << 5 << kNotImplemented << "";
    QTest::addRow("getControllerValue reports the missing function before a malformed request")
        << "no_GetControllerValue" << Op::Value << "12" << 5 << kNotImplemented << "";
    QTest::addRow("getControllerValues without GetControllerValue: 5 and not implemented")
        << "no_GetControllerValue" << Op::Values << "1:5" << 5 << kNotImplemented << "";
    QTest::addRow("getTrainData without GetControllerValue: 4 and exactly no result")
        << "no_GetControllerValue" << Op::TrainData << kCallersText << 4 << kNoResultLower << "";
}

void TestTSInterfaceDll::missingFunction()
{
    QFETCH(QString, stubCase);
    QFETCH(Op, op);
    QFETCH(QString, input);
    QFETCH(int, result);
    QFETCH(QString, expected);
    QFETCH(QString, calls);

    TSInterfaceDll dll(StubLibrary::folderOf(stubCase));
    QString text = input;
    QCOMPARE(run(dll, op, text), result);
    QCOMPARE(text, expected);
    QCOMPARE(stub(stubCase).callLog(), calls);
}

// Every operation on every stub, with well-formed and malformed requests and
// with library values that are not ordinary numbers: the result is always one
// the contract names for that operation, never 3, and nothing crashes.
void TestTSInterfaceDll::resultsStayWithinContract_data()
{
    QTest::addColumn<QString>("stubCase");

    for (const QString& stubCase : kStubCases)
        QTest::addRow("%s", qPrintable(stubCase)) << stubCase;
}

void TestTSInterfaceDll::resultsStayWithinContract()
{
    QFETCH(QString, stubCase);

    const QStringList inputs = { QString(), QStringLiteral("12;0"), QStringLiteral("12"), QStringLiteral("12:0.5"),
                                 QStringLiteral("1::x:007"), QStringLiteral("a;b;c") };
    const float values[] = { 0.5f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                             -3e9f };
    StubLibrary& library = stub(stubCase);
    library.setControllerList(QStringLiteral("A::B::"));
    TSInterfaceDll dll(StubLibrary::folderOf(stubCase));
    for (float value : values) {
        for (int id : { 0, 1, 2, 12, 400, 401, 404, 406, 407, 408 }) {
            for (int type : { 0, 1, 2 })
                library.setValue(id, type, value);
        }
        for (int id : { 30, 2, 7 })
            library.setRailSimValue(id, value);

        for (Op op : kAllOps) {
            for (const QString& input : inputs) {
                QString text = input;
                if (op == Op::TrainData && stubCase != QLatin1String("no_GetControllerValue"))
                    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Get Traindata: ")));
                const int result = run(dll, op, text);
                QVERIFY2(contractResults(op).contains(result),
                         qPrintable(QStringLiteral("%1(\"%2\") with library values %3 gave %4")
                                        .arg(opName(op), input)
                                        .arg(double(value))
                                        .arg(result)));
            }
        }
    }
}

void TestTSInterfaceDll::connectSimulator_data()
{
    QTest::addColumn<QString>("stubCase");
    QTest::addColumn<bool>("libraryConnected");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("calls");

    const QString connectAndAsk = QStringLiteral("SetRailDriverConnected(1);GetRailDriverConnected();");
    QTest::addRow("library reports connected: 0 and CONNECTED")
        << "full" << true << 0 << "CONNECTED" << connectAndAsk;
    QTest::addRow("library reports not connected: 1 after connecting, status kept")
        << "full" << false << 1 << kCallersText << connectAndAsk;
    QTest::addRow("library that cannot tell counts as connected")
        << "no_GetRailDriverConnected" << false << 0 << "CONNECTED" << "SetRailDriverConnected(1);";
    QTest::addRow("library that cannot connect: 4 without asking, status kept")
        << "no_SetRailDriverConnected" << true << 4 << kCallersText << "";
}

void TestTSInterfaceDll::connectSimulator()
{
    QFETCH(QString, stubCase);
    QFETCH(bool, libraryConnected);
    QFETCH(int, result);
    QFETCH(QString, status);
    QFETCH(QString, calls);

    stub(stubCase).setConnected(libraryConnected);
    TSInterfaceDll dll(StubLibrary::folderOf(stubCase));
    QSignalSpy lines(&dll, &TSInterfaceBase::sigDebugString);
    QString text = kCallersText;
    QCOMPARE(dll.connectSimulator(text), result);
    QCOMPARE(text, status);
    QCOMPARE(stub(stubCase).callLog(), calls);

    // Not the constructor's "loaded. " line: no full stop, no blank.
    QCOMPARE(lines.count(), 1);
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("(InterfaceDLL) - RailDriver library loaded"));
    QCOMPARE(lines.at(0).at(1).toInt(), 1);
}

void TestTSInterfaceDll::connectSimulatorWithoutLibrary_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<bool>("fileErrorEmpty");

    QTest::addRow("empty folder text: file error and load error") << "empty" << false;
    QTest::addRow("nonexistent folder: file error and load error") << "nonexistent" << false;
    QTest::addRow("folder ending in / is used unchanged, giving //plugins") << "trailing slash" << false;
    QTest::addRow("plain 32-bit file present: empty file error") << "32-bit file" << true;
    QTest::addRow("64-bit file that is not a library: load error passed on") << "broken 64-bit file" << false;
}

void TestTSInterfaceDll::connectSimulatorWithoutLibrary()
{
    QFETCH(QString, layout);
    QFETCH(bool, fileErrorEmpty);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QString folder;
    if (layout == QLatin1String("nonexistent")) {
        folder = tmp.filePath(QStringLiteral("missing"));
    } else if (layout == QLatin1String("trailing slash")) {
        folder = tmp.path() + QLatin1Char('/');
    } else if (layout != QLatin1String("empty")) {
        folder = tmp.path();
        QVERIFY(QDir(folder).mkpath(QStringLiteral("plugins")));
        const QString name = layout == QLatin1String("32-bit file") ? QStringLiteral("RailDriver.dll")
                                                                    : QStringLiteral("RailDriver64.dll");
        QFile file(folder + QStringLiteral("/plugins/") + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a library");
    }

    const QString libraryFile = folder + QStringLiteral("/plugins/RailDriver64.dll");
    const QString error = loadError(libraryFile);
    if (layout == QLatin1String("trailing slash"))
        QVERIFY2(error.contains(tmp.path() + QStringLiteral("//plugins/RailDriver64.dll")), qPrintable(error));
    QString fileError;
    if (!fileErrorEmpty) {
        QFile file32(folder + QStringLiteral("/plugins/RailDriver.dll"));
        QVERIFY(!file32.open(QIODevice::ReadOnly));
        fileError = file32.errorString();
        QVERIFY(!fileError.isEmpty());
    }

    expectDebug(QStringLiteral("Cannot load library.") + error);
    TSInterfaceDll dll(folder);
    QSignalSpy lines(&dll, &TSInterfaceBase::sigDebugString);
    expectNoLibraryNote();
    QString status = kCallersText;
    QCOMPARE(dll.connectSimulator(status), int(ResultLibraryNotLoaded));
    QCOMPARE(status, kCallersText);

    QCOMPARE(lines.count(), 1);
    QCOMPARE(lines.at(0).at(0).toString(),
             QStringLiteral("(InterfaceDLL) - RailDriver library not loaded. ") + fileError + QLatin1Char('\n') + error);
    QCOMPARE(lines.at(0).at(1).toInt(), 3);
}

// A client thread's interface comes and goes with its connection; neither
// may touch the simulator connection the other clients share.
void TestTSInterfaceDll::constructionAndDestructionMakeNoCalls()
{
    StubLibrary& full = stub(QStringLiteral("full"));
    {
        TSInterfaceDll dll(full.folder());
        QCOMPARE(full.callLog(), QString());
        QString status;
        QCOMPARE(dll.connectSimulator(status), int(ResultOk));
        full.clearCallLog();
    }
    QCOMPARE(full.callLog(), QString());

    // The library stays usable for the next client.
    TSInterfaceDll next(full.folder());
    QString name;
    QCOMPARE(next.getLocoName(name), int(ResultOk));
}

void TestTSInterfaceDll::getControllerValue_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("type");
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("calls");

    auto ok = [](const char* name, const char* request, int index, int type, float value, const char* expected) {
        QTest::addRow("%s", name) << request << index << type << value << 0 << expected
                                  << controllerValueCall(index, type);
    };
    ok("12;0 with 0.5 answers 0.5", "12;0", 12, 0, 0.5f, "0.5");
    ok("one million in exponent form", "12;0", 12, 0, 1e6f, "1e+06");
    ok("negative whole value", "12;0", 12, 0, -2.0f, "-2");
    ok("1e-05 in exponent form", "12;0", 12, 0, 1e-5f, "1e-05");
    ok("float 0.1 prints as 0.1", "12;0", 12, 0, 0.1f, "0.1");
    ok("12; reads type 0", "12;", 12, 0, 0.25f, "0.25");
    ok("abc;1 asks index 0, type 1", "abc;1", 0, 1, 7.0f, "7");
    ok("lone ; asks index 0, type 0", ";", 0, 0, 3.0f, "3");
    ok("type 2 asks the maximum", "3;2", 3, 2, 10.0f, "10");
    ok("an unknown type is passed on unchanged", "3;9", 3, 9, 4.0f, "4");
    ok("a negative index is passed on", "-4;0", -4, 0, 1.5f, "1.5");

    auto malformed = [](const char* name, const char* request) {
        QTest::addRow("%s", name) << request << 0 << 0 << 0.0f << 5 << kNotImplemented << "";
    };
    malformed("12 alone is one part: not implemented, no call", "12");
    malformed("1;2;3 is three parts: not implemented, no call", "1;2;3");
    malformed("empty request is one part: not implemented, no call", "");
    malformed("12:0 uses the wrong separator: not implemented, no call", "12:0");
}

void TestTSInterfaceDll::getControllerValue()
{
    QFETCH(QString, request);
    QFETCH(int, index);
    QFETCH(int, type);
    QFETCH(float, value);
    QFETCH(int, result);
    QFETCH(QString, expected);
    QFETCH(QString, calls);

    StubLibrary& full = stub(QStringLiteral("full"));
    full.setValue(index, type, value);
    TSInterfaceDll dll(full.folder());
    QString text = request;
    QCOMPARE(dll.getControllerValue(text), result);
    QCOMPARE(text, expected);
    QCOMPARE(full.callLog(), calls);
}

void TestTSInterfaceDll::setControllerValue_data()
{
    QTest::addColumn<QString>("stubCase");
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("calls");

    auto ok = [](const char* name, const char* request, const char* call) {
        QTest::addRow("%s", name) << "full" << request << 0 << QStringLiteral("Set CtrlValue: ") + request
                                  << QString::fromLatin1(call);
    };
    ok("12:0.5 sets 12 to 0.5 and echoes the request", "12:0.5", "SetControllerValue(12,0.5);");
    ok("12: sets the controller to 0", "12:", "SetControllerValue(12,0);");
    ok("a decimal comma does not convert: value 0", "12:0,5", "SetControllerValue(12,0);");
    ok("abc:1 sets controller 0", "abc:1", "SetControllerValue(0,1);");
    ok("negative index and value are passed on", "-3:-0.25", "SetControllerValue(-3,-0.25);");
    ok("exponent notation converts", "7:1e-05", "SetControllerValue(7,1e-05);");

    auto bad = [](const char* name, const char* stubCase, const char* request) {
        QTest::addRow("%s", name) << stubCase << request << 6 << kNoResultLower << "";
    };
    bad("12 alone: 6, no result, no call", "full", "12");
    bad("12:0.5:1 is three parts: 6, no result, no call", "full", "12:0.5:1");
    bad("empty request is one part: 6", "full", "");
    bad("12;0.5 uses the wrong separator: 6", "full", "12;0.5");
    // The argument count is checked before the function is looked up.
    bad("malformed beats missing function: 12", "no_SetControllerValue", "12");
    bad("malformed beats missing function: 12:0.5:1", "no_SetControllerValue", "12:0.5:1");

    QTest::addRow("without SetControllerValue: 5 and not implemented")
        << "no_SetControllerValue" << "12:0.5" << 5 << kNotImplemented << "";
}

void TestTSInterfaceDll::setControllerValue()
{
    QFETCH(QString, stubCase);
    QFETCH(QString, request);
    QFETCH(int, result);
    QFETCH(QString, expected);
    QFETCH(QString, calls);

    TSInterfaceDll dll(StubLibrary::folderOf(stubCase));
    QString text = request;
    QCOMPARE(dll.setControllerValue(text), result);
    QCOMPARE(text, expected);
    QCOMPARE(stub(stubCase).callLog(), calls);
}

void TestTSInterfaceDll::getLocoName_data()
{
    QTest::addColumn<bool>("nullPointer");
    QTest::addColumn<QString>("name");

    QTest::addRow("plain name") << false << "Class 66 Freight";
    QTest::addRow("empty name gives empty text") << false << "";
    QTest::addRow("non-ASCII UTF-8 name round-trips")
        << false << QStringLiteral("BR 218 \u00d6lzug \u2013 \u00abNord\u00bb \u6771");
    QTest::addRow("null pointer reads as empty text") << true << "";
}

void TestTSInterfaceDll::getLocoName()
{
    QFETCH(bool, nullPointer);
    QFETCH(QString, name);

    StubLibrary& full = stub(QStringLiteral("full"));
    if (nullPointer)
        full.setLocoNameNull();
    else
        full.setLocoName(name);
    TSInterfaceDll dll(full.folder());
    QString text = kCallersText;
    QCOMPARE(dll.getLocoName(text), int(ResultOk));
    QCOMPARE(text, name);
    QCOMPARE(full.callLog(), QStringLiteral("GetLocoName();"));
}

void TestTSInterfaceDll::getLocoChanged_data()
{
    QTest::addColumn<bool>("changed");
    QTest::addColumn<QString>("expected");

    QTest::addRow("changed locomotive") << true << "IS_CHANGED";
    QTest::addRow("same locomotive") << false << "NOT_CHANGED";
}

void TestTSInterfaceDll::getLocoChanged()
{
    QFETCH(bool, changed);
    QFETCH(QString, expected);

    StubLibrary& full = stub(QStringLiteral("full"));
    full.setLocoChanged(changed);
    TSInterfaceDll dll(full.folder());
    QString text = kCallersText;
    QCOMPARE(dll.getLocoChanged(text), int(ResultOk));
    QCOMPARE(text, expected);
    QCOMPARE(full.callLog(), QStringLiteral("GetRailSimLocoChanged();"));
}

void TestTSInterfaceDll::controllerListTextForms_data()
{
    QTest::addColumn<bool>("nullList");
    QTest::addColumn<QString>("list");
    QTest::addColumn<FloatList>("minima");
    QTest::addColumn<FloatList>("maxima");
    QTest::addColumn<FloatList>("currents");
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("flat");
    QTest::addColumn<QString>("withValues");

    QTest::addRow("two controllers, records joined without anything between")
        << false << "A::B" << FloatList{ 0, -1 } << FloatList{ 1, 1 } << FloatList{ 0.5f, 1 }
        << "0::A::0::1::1::B::-1::1::" << "0;A;0;1;1;B;-1;1;" << "0::A::0::1::0.5::1::B::-1::1::1::";
    QTest::addRow("empty list text is one nameless controller 0")
        << false << "" << FloatList{ -5 } << FloatList{ 5 } << FloatList{ 0.25f }
        << "0::::-5::5::" << "0;;-5;5;" << "0::::-5::5::0.25::";
    QTest::addRow("null list pointer reads as empty text")
        << true << "" << FloatList{ -5 } << FloatList{ 5 } << FloatList{ 0.25f }
        << "0::::-5::5::" << "0;;-5;5;" << "0::::-5::5::0.25::";
    QTest::addRow("trailing :: adds a nameless last controller")
        << false << "A::" << FloatList{ 0, 2 } << FloatList{ 1, 3 } << FloatList{ 0, 4 }
        << "0::A::0::1::1::::2::3::" << "0;A;0;1;1;;2;3;" << "0::A::0::1::0::1::::2::3::4::";
    QTest::addRow("three colons give an empty name, then the name :")
        << false << ":::" << FloatList{ 1, 2 } << FloatList{ 3, 4 } << FloatList{ 0, 0 }
        << "0::::1::3::1:::::2::4::" << "0;;1;3;1;:;2;4;" << "0::::1::3::0::1:::::2::4::0::";
    QTest::addRow("a single colon stays inside a name")
        << false << "a:b::c" << FloatList{ 0, 0 } << FloatList{ 1, 1 } << FloatList{ 0, 0 }
        << "0::a:b::0::1::1::c::0::1::" << "0;a:b;0;1;1;c;0;1;" << "0::a:b::0::1::0::1::c::0::1::0::";
    QTest::addRow("limits truncate toward zero")
        << false << "T::U" << FloatList{ -0.5f, -1.7f } << FloatList{ 2.9f, 1e6f } << FloatList{ 0, 0 }
        << "0::T::0::2::1::U::-1::1000000::" << "0;T;0;2;1;U;-1;1000000;"
        << "0::T::0::2::0::1::U::-1::1000000::0::";
    const QString nonAscii = QStringLiteral("Fahrbremse \u00fc::Zugkraft \u2013 \u6771");
    QTest::addRow("non-ASCII UTF-8 names round-trip")
        << false << nonAscii << FloatList{ 0, 0 } << FloatList{ 1, 1 } << FloatList{ 0, 0 }
        << QStringLiteral("0::Fahrbremse \u00fc::0::1::1::Zugkraft \u2013 \u6771::0::1::")
        << QStringLiteral("0;Fahrbremse \u00fc;0;1;1;Zugkraft \u2013 \u6771;0;1;")
        << QStringLiteral("0::Fahrbremse \u00fc::0::1::0::1::Zugkraft \u2013 \u6771::0::1::0::");
    // Records are filled by one arg() call per placeholder, %1 first, so a
    // "%3" in a name is taken by the call that follows the name.
    QTest::addRow("a %%3 in a name is filled by the next arg call")
        << false << "x%3" << FloatList{ 5 } << FloatList{ 9 } << FloatList{ 0.5f }
        << "0::x5::5::9::" << "0;x5;5;9;" << "0::x5::5::9::0.5::";
}

void TestTSInterfaceDll::controllerListTextForms()
{
    QFETCH(bool, nullList);
    QFETCH(QString, list);
    QFETCH(FloatList, minima);
    QFETCH(FloatList, maxima);
    QFETCH(FloatList, currents);
    QFETCH(QString, raw);
    QFETCH(QString, flat);
    QFETCH(QString, withValues);

    StubLibrary& full = stub(QStringLiteral("full"));
    if (nullList)
        full.setControllerListNull();
    else
        full.setControllerList(list);
    for (int i = 0; i < minima.size(); ++i) {
        full.setValue(i, 0, currents.at(i));
        full.setValue(i, 1, minima.at(i));
        full.setValue(i, 2, maxima.at(i));
    }
    const int count = minima.size();
    TSInterfaceDll dll(full.folder());

    struct Form {
        Op op;
        QString expected;
        QList<int> kinds;
    };
    const Form forms[] = {
        { Op::ListRaw, raw, { 1, 2 } },
        { Op::ListFlat, flat, { 1, 2 } },
        { Op::ListWithValues, withValues, { 0, 1, 2 } },
    };
    for (const Form& form : forms) {
        full.clearCallLog();
        QString text = kCallersText;
        QCOMPARE(run(dll, form.op, text), int(ResultOk));
        QCOMPARE(text, form.expected);
        QCOMPARE(full.callLog(), listCalls(count, form.kinds));
    }
}

void TestTSInterfaceDll::controllerListCurrentValueForms_data()
{
    QTest::addColumn<float>("current");
    QTest::addColumn<QString>("expected");

    QTest::addRow("0.75") << 0.75f << "0.75";
    QTest::addRow("100 without point") << 100.0f << "100";
    QTest::addRow("0.0001 still fixed") << 0.0001f << "0.0001";
    QTest::addRow("0.00001 in exponent form") << 1e-5f << "1e-05";
    QTest::addRow("one million in exponent form") << 1e6f << "1e+06";
    QTest::addRow("negative fraction keeps its sign") << -0.5f << "-0.5";
}

void TestTSInterfaceDll::controllerListCurrentValueForms()
{
    QFETCH(float, current);
    QFETCH(QString, expected);

    StubLibrary& full = stub(QStringLiteral("full"));
    full.setControllerList(QStringLiteral("A"));
    full.setValue(0, 0, current);
    TSInterfaceDll dll(full.folder());
    QString text;
    QCOMPARE(dll.getControllerListWithValues(text), int(ResultOk));
    QCOMPARE(text, QStringLiteral("0::A::0::0::") + expected + QStringLiteral("::"));
}

void TestTSInterfaceDll::controllerListJson_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<FloatList>("minima");
    QTest::addColumn<FloatList>("maxima");
    QTest::addColumn<QByteArray>("expected");

    QTest::addRow("two controllers, members in key order, trailing line feed")
        << "A::B" << FloatList{ 0, -1 } << FloatList{ 1, 1 }
        << QByteArray(R"({
    "controller": [
        {
            "ID": 0,
            "Max": 1,
            "Min": 0,
            "Name": "A"
        },
        {
            "ID": 1,
            "Max": 1,
            "Min": -1,
            "Name": "B"
        }
    ]
}
)");
    // Quote, backslash, the named control escapes, another control character
    // (U+0001) and non-ASCII text, which stays plain UTF-8.
    QTest::addRow("name escapes and non-ASCII")
        << QString::fromUtf8("say \"hi\" \\ b\bf\fn\nr\rt\tu\x01::Zugkraft \xe2\x80\x93 \xc3\xbc \xe6\x9d\xb1")
        << FloatList{ 0, 0 } << FloatList{ 1, 1 }
        << QByteArray(R"({
    "controller": [
        {
            "ID": 0,
            "Max": 1,
            "Min": 0,
            "Name": "say \"hi\" \\ b\bf\fn\nr\rt\tu\u0001"
        },
        {
            "ID": 1,
            "Max": 1,
            "Min": 0,
            "Name": "Zugkraft )" "\xe2\x80\x93 \xc3\xbc \xe6\x9d\xb1" R"("
        }
    ]
}
)");
    QTest::addRow("limits truncate toward zero in JSON too")
        << "T::U" << FloatList{ -0.5f, -1.7f } << FloatList{ 2.9f, 0.9f }
        << QByteArray(R"({
    "controller": [
        {
            "ID": 0,
            "Max": 2,
            "Min": 0,
            "Name": "T"
        },
        {
            "ID": 1,
            "Max": 0,
            "Min": -1,
            "Name": "U"
        }
    ]
}
)");
    QTest::addRow("empty list text is one nameless controller")
        << "" << FloatList{ 0 } << FloatList{ 0 }
        << QByteArray(R"({
    "controller": [
        {
            "ID": 0,
            "Max": 0,
            "Min": 0,
            "Name": ""
        }
    ]
}
)");
}

void TestTSInterfaceDll::controllerListJson()
{
    QFETCH(QString, list);
    QFETCH(FloatList, minima);
    QFETCH(FloatList, maxima);
    QFETCH(QByteArray, expected);

    StubLibrary& full = stub(QStringLiteral("full"));
    full.setControllerList(list);
    for (int i = 0; i < minima.size(); ++i) {
        full.setValue(i, 0, 123.0f); // the current value is no member
        full.setValue(i, 1, minima.at(i));
        full.setValue(i, 2, maxima.at(i));
    }
    TSInterfaceDll dll(full.folder());
    QString text = kCallersText;
    QCOMPARE(dll.getControllerListJson(text), int(ResultOk));
    QCOMPARE(text.toUtf8(), expected);
    QCOMPARE(full.callLog(), listCalls(minima.size(), { 1, 2 }));
}

void TestTSInterfaceDll::getControllerValues_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<ValueList>("values");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QList<int>>("askedIds");

    QTest::addRow("1:5 gives two records and nothing after them")
        << "1:5" << ValueList{ { 1, 0.5f }, { 5, 1 } } << "1:0.5::5:1::" << QList<int>{ 1, 5 };
    QTest::addRow("empty request is one record for controller 0")
        << "" << ValueList{ { 0, 0.25f } } << "0:0.25::" << QList<int>{ 0 };
    QTest::addRow("1::2 gives three records, the middle one for 0")
        << "1::2" << ValueList{ { 0, 0.25f }, { 1, 1 }, { 2, 2 } } << "1:1::0:0.25::2:2::" << QList<int>{ 1, 0, 2 };
    QTest::addRow("x is asked and answered as controller 0")
        << "x" << ValueList{ { 0, 0.25f } } << "0:0.25::" << QList<int>{ 0 };
    QTest::addRow("007 is answered as 7, not as its text")
        << "007" << ValueList{ { 7, 3 } } << "7:3::" << QList<int>{ 7 };
    QTest::addRow("a negative id is passed on")
        << "-2" << ValueList{ { -2, -0.5f } } << "-2:-0.5::" << QList<int>{ -2 };
    QTest::addRow("trailing colon adds a record for controller 0")
        << "4:" << ValueList{ { 4, 9 } } << "4:9::0:0::" << QList<int>{ 4, 0 };
    QTest::addRow("values in the general form")
        << "1:2:3" << ValueList{ { 1, 1e6f }, { 2, 1e-5f }, { 3, 51.123456f } } << "1:1e+06::2:1e-05::3:51.1235::"
        << QList<int>{ 1, 2, 3 };
}

void TestTSInterfaceDll::getControllerValues()
{
    QFETCH(QString, request);
    QFETCH(ValueList, values);
    QFETCH(QString, expected);
    QFETCH(QList<int>, askedIds);

    StubLibrary& full = stub(QStringLiteral("full"));
    for (const auto& value : values)
        full.setValue(value.first, 0, value.second);
    TSInterfaceDll dll(full.folder());
    QString text = request;
    QCOMPARE(dll.getControllerValues(text), int(ResultOk));
    QCOMPARE(text, expected);
    QString calls;
    for (int id : askedIds)
        calls += controllerValueCall(id, 0);
    QCOMPARE(full.callLog(), calls);
}

void TestTSInterfaceDll::getTrainData_data()
{
    QTest::addColumn<QString>("stubCase");
    QTest::addColumn<ValueList>("controllerValues");
    QTest::addColumn<ValueList>("simValues");
    QTest::addColumn<QString>("expected");

    const ValueList typical = { { 400, 51.123456f }, { 401, -0.1234f }, { 404, 0.5f },
                                { 406, 59.9f },      { 407, -0.5f },    { 408, 7 } };
    const ValueList sim = { { 30, -42.25f }, { 2, 0.75f }, { 7, 1e-5f } };

    QTest::addRow("long form: fixed 7, integers, speed without sign in fixed 2, general")
        << "full" << typical << sim << "51.1234550:-0.1234000:0.5000000:59:0:7:42.25:0.75:1e-05";
    QTest::addRow("short form without GetRailSimValue: six fields, general form")
        << "no_GetRailSimValue" << typical << sim << "51.1235:-0.1234:0.5:59:0:7";
    QTest::addRow("all zero, long form")
        << "full" << ValueList{} << ValueList{} << "0.0000000:0.0000000:0.0000000:0:0:0:0.00:0:0";
    QTest::addRow("all zero, short form") << "no_GetRailSimValue" << ValueList{} << ValueList{} << "0:0:0:0:0:0";
    QTest::addRow("integer fields truncate toward zero")
        << "full" << ValueList{ { 406, -1.7f }, { 407, 2.9f }, { 408, -0.5f } } << ValueList{}
        << "0.0000000:0.0000000:0.0000000:-1:2:0:0.00:0:0";
    QTest::addRow("a tiny negative speed is 0.00, not -0.00")
        << "full" << ValueList{} << ValueList{ { 30, -0.004f } } << "0.0000000:0.0000000:0.0000000:0:0:0:0.00:0:0";
    QTest::addRow("a positive speed is kept")
        << "full" << ValueList{} << ValueList{ { 30, 88.5f } } << "0.0000000:0.0000000:0.0000000:0:0:0:88.50:0:0";
}

void TestTSInterfaceDll::getTrainData()
{
    QFETCH(QString, stubCase);
    QFETCH(ValueList, controllerValues);
    QFETCH(ValueList, simValues);
    QFETCH(QString, expected);

    StubLibrary& library = stub(stubCase);
    for (const auto& value : controllerValues)
        library.setValue(value.first, 0, value.second);
    for (const auto& value : simValues)
        library.setRailSimValue(value.first, value.second);
    TSInterfaceDll dll(StubLibrary::folderOf(stubCase));

    expectDebug(QStringLiteral("Get Traindata: ") + expected);
    QString text = kCallersText;
    QCOMPARE(dll.getTrainData(text), int(ResultOk));
    QCOMPARE(text, expected);
    QVERIFY(!text.endsWith(QLatin1Char(':')));

    QString calls;
    for (int id : { 400, 401, 404, 406, 407, 408 })
        calls += controllerValueCall(id, 0);
    if (stubCase == QLatin1String("full")) {
        for (int id : { 30, 2, 7 })
            calls += QStringLiteral("GetRailSimValue(%1,0);").arg(id);
    }
    QCOMPARE(library.callLog(), calls);
}

// Each client thread holds its own interface onto the one loaded library and
// calls it without any lock of ours; every call must still get its own answer.
void TestTSInterfaceDll::concurrentClientsShareOneLibrary()
{
    constexpr int kThreads = 4;
    constexpr int kCalls = 200;
    StubLibrary& full = stub(QStringLiteral("full"));
    for (int t = 0; t < kThreads; ++t)
        full.setValue(t, 0, 0.5f + t);

    QAtomicInt wrongAnswers;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(QThread::create([&wrongAnswers, &full, t] {
            TSInterfaceDll dll(full.folder());
            const QString expected = QString::number(0.5 + t);
            for (int i = 0; i < kCalls; ++i) {
                QString text = QStringLiteral("%1;0").arg(t);
                if (dll.getControllerValue(text) != ResultOk || text != expected)
                    wrongAnswers.fetchAndAddRelaxed(1);
            }
        }));
        threads.back()->start();
    }
    for (auto& thread : threads)
        QVERIFY(thread->wait(60000));

    QCOMPARE(wrongAnswers.loadRelaxed(), 0);
    const QStringList calls = full.callLog().split(QLatin1Char(';'), Qt::SkipEmptyParts);
    QCOMPARE(calls.size(), kThreads * kCalls);
    for (int t = 0; t < kThreads; ++t)
        QCOMPARE(calls.count(QStringLiteral("GetControllerValue(%1,0)").arg(t)), kCalls);
}

void TestTSInterfaceDll::failedSteamLibraryLeavesNoLibrary()
{
    StubLibrary& full = stub(QStringLiteral("full"));
    full.setLocoName(QStringLiteral("still here"));
    TSInterfaceDll dll(full.folder());
    QSignalSpy lines(&dll, &TSInterfaceBase::sigDebugString);

    const QString error = loadError(full.folder() + QStringLiteral("/steam_api.dll"));
    expectDebug(QStringLiteral("Cannot load library.") + error);
    QCOMPARE(dll.loadSteamLibrary(), int(ResultLibraryNotLoaded));
    QCOMPARE(lines.count(), 1);
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("(InterfaceDLL) - steam_app library not loaded. ") + error);
    QCOMPARE(lines.at(0).at(1).toInt(), 3);

    // The RailDriver library it held before is gone as well.
    expectNoLibraryNote();
    QString name;
    QCOMPARE(dll.getLocoName(name), int(ResultLibraryNotLoaded));
    QCOMPARE(name, kNoResultUpper);
    expectNoLibraryNote();
    QCOMPARE(dll.disconnectSimulator(), int(ResultLibraryNotLoaded));
    QCOMPARE(full.callLog(), QString());
}

void TestTSInterfaceDll::steamLibraryTakesOver_data()
{
    QTest::addColumn<bool>("withRailDriver");

    QTest::addRow("replaces a loaded RailDriver library") << true;
    QTest::addRow("gives a library to an interface without one") << false;
}

void TestTSInterfaceDll::steamLibraryTakesOver()
{
    QFETCH(bool, withRailDriver);

    // Copies of the full stub are instances of their own, so the two
    // libraries below answer differently and log separately.
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString source = stubLibraryFile(QStringLiteral("full"));
    const QString steamFile = tmp.filePath(QStringLiteral("steam_api.dll"));
    const QString railFile = tmp.filePath(QStringLiteral("plugins/RailDriver64.dll"));
    QVERIFY(copyFile(source, steamFile));
    StubLibrary steam(StubLibrary::File{ steamFile });
    QVERIFY2(steam.isValid(), qPrintable(steam.errorString()));
    steam.reset();
    steam.setLocoName(QStringLiteral("steam side"));

    std::unique_ptr<StubLibrary> rail;
    if (withRailDriver) {
        QVERIFY(copyFile(source, railFile));
        rail = std::make_unique<StubLibrary>(StubLibrary::File{ railFile });
        QVERIFY2(rail->isValid(), qPrintable(rail->errorString()));
        rail->reset();
        rail->setLocoName(QStringLiteral("RailDriver side"));
    } else {
        expectConstructionNote(tmp.path());
    }

    TSInterfaceDll dll(tmp.path());
    QSignalSpy lines(&dll, &TSInterfaceBase::sigDebugString);
    QCOMPARE(dll.loadSteamLibrary(), int(ResultOk));
    QCOMPARE(lines.count(), 1);
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("(InterfaceDLL) - steamapp library loaded. "));
    QCOMPARE(lines.at(0).at(1).toInt(), 1);

    QString name;
    QCOMPARE(dll.getLocoName(name), int(ResultOk));
    QCOMPARE(name, QStringLiteral("steam side"));
    QCOMPARE(steam.callLog(), QStringLiteral("GetLocoName();"));
    if (rail)
        QCOMPARE(rail->callLog(), QString());
}

QTEST_GUILESS_MAIN(TestTSInterfaceDll)
#include "tst_tsinterfacedll.moc"
