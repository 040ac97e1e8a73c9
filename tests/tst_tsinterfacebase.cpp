// The defaulted operations of TSInterfaceBase: a partial implementation must
// answer "not implemented" to everything it leaves out, and must not touch
// the caller's string, which the server would otherwise send as an answer.

#include "tsinterfacebase.h"

#include <QtTest>

#include <functional>

namespace {

// Implements the pure operations only. Their bodies mark the string so that a
// default body that wrongly forwarded to one of them would show.
class PureOnlyInterface : public TSInterfaceBase
{
public:
    int connectSimulator(QString& status) override { return touch(status); }
    int disconnectSimulator() override { return ResultOk; }
    int getTrainData(QString& text) override { return touch(text); }
    int getControllerListRaw(QString& text) override { return touch(text); }
    int getControllerListJson(QString& text) override { return touch(text); }
    int getControllerListFlat(QString& text) override { return touch(text); }
    int getLocoName(QString& text) override { return touch(text); }

private:
    static int touch(QString& text)
    {
        text = QStringLiteral("touched by a pure operation");
        return ResultOk;
    }
};

using Operation = std::function<int(TSInterfaceBase&, QString&)>;

} // namespace

Q_DECLARE_METATYPE(Operation)

class TestTSInterfaceBase : public QObject
{
    Q_OBJECT

private slots:
    void defaultedOperations_data();
    void defaultedOperations();
};

void TestTSInterfaceBase::defaultedOperations_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("text");

    // Out strings and in/out strings alike come back unchanged, whatever
    // they hold: a request, an empty string, or a null one.
    const QString request = QStringLiteral("12;0 \u00e4 request");
    QTest::addRow("getControllerListWithValues")
        << Operation([](TSInterfaceBase& i, QString& s) { return i.getControllerListWithValues(s); }) << request;
    QTest::addRow("getControllerValues")
        << Operation([](TSInterfaceBase& i, QString& s) { return i.getControllerValues(s); })
        << QStringLiteral("1:5");
    QTest::addRow("getControllerValue")
        << Operation([](TSInterfaceBase& i, QString& s) { return i.getControllerValue(s); }) << request;
    QTest::addRow("setControllerValue")
        << Operation([](TSInterfaceBase& i, QString& s) { return i.setControllerValue(s); })
        << QStringLiteral("12:0.5");
    QTest::addRow("reservedOperation1")
        << Operation([](TSInterfaceBase& i, QString& s) { return i.reservedOperation1(s); }) << request;
    QTest::addRow("reservedOperation2")
        << Operation([](TSInterfaceBase& i, QString& s) { return i.reservedOperation2(s); }) << QString();
    QTest::addRow("getLocoChanged")
        << Operation([](TSInterfaceBase& i, QString& s) { return i.getLocoChanged(s); }) << QString("");
    QTest::addRow("loadSteamLibrary")
        << Operation([](TSInterfaceBase& i, QString&) { return i.loadSteamLibrary(); }) << request;
}

void TestTSInterfaceBase::defaultedOperations()
{
    QFETCH(Operation, operation);
    QFETCH(QString, text);

    PureOnlyInterface pure;
    QSignalSpy debugLines(&pure, &TSInterfaceBase::sigDebugString);
    QString inOut = text;
    QCOMPARE(operation(pure, inOut), int(ResultNotImplemented));
    QCOMPARE(inOut, text);
    QCOMPARE(inOut.isNull(), text.isNull());
    QCOMPARE(debugLines.count(), 0);
}

QTEST_GUILESS_MAIN(TestTSInterfaceBase)
#include "tst_tsinterfacebase.moc"
