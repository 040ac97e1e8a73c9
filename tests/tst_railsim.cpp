// The simulated locomotive, reached only through its eight exports and
// Kestrel's interface: values within their limits, a train that moves under
// power, brakes and gradients (100 simulated seconds a second, so the physics
// take moments), writes and their limits, description files, a locomotive
// change, and client threads calling at once. Each simulator is a copy of the
// library in a folder of its own, so each has a locomotive of its own.

#include "tsinterfacedll.h"

#include <QtTest>

#include <atomic>
#include <cmath>
#include <thread>
#include <type_traits>

namespace {

const QString kLibrary = QStringLiteral(KESTREL_SIMULATOR_DIR "/plugins/RailDriver64.dll");

struct Simulator
{
    QTemporaryDir dir;
    QLibrary library;
    void (*setConnected)(bool) = nullptr;
    const char* (*locoName)() = nullptr;
    const char* (*controllerList)() = nullptr;
    float (*getValue)(int, int) = nullptr;
    void (*setValue)(int, float) = nullptr;
    float (*simValue)(int, int) = nullptr;
    bool (*locoChanged)() = nullptr;

    // A copy of the library with `description` beside it (none when null).
    bool start(const QByteArray& description)
    {
        const QString plugins = dir.path() + QStringLiteral("/plugins");
        if (!QDir().mkpath(plugins) || !QFile::copy(kLibrary, plugins + QStringLiteral("/RailDriver64.dll"))
            || (!description.isNull() && !describe(description)))
            return false;
        library.setFileName(plugins + QStringLiteral("/RailDriver64.dll"));
        const auto bind = [this](auto& function, const char* name) {
            function = reinterpret_cast<std::decay_t<decltype(function)>>(library.resolve(name));
            return function != nullptr;
        };
        return library.load() && bind(setConnected, "SetRailDriverConnected") && bind(locoName, "GetLocoName")
            && bind(controllerList, "GetControllerList") && bind(getValue, "GetControllerValue")
            && bind(setValue, "SetControllerValue") && bind(simValue, "GetRailSimValue")
            && bind(locoChanged, "GetRailSimLocoChanged");
    }
    bool describe(const QByteArray& description)
    {
        QFile file(dir.path() + QStringLiteral("/plugins/railsim.loco"));
        return file.open(QIODevice::WriteOnly) && file.write(description) == description.size();
    }
    QStringList names() const { return QString::fromUtf8(controllerList()).split(QStringLiteral("::")); }
    float value(const char* name) const { return getValue(names().indexOf(QLatin1String(name)), 0); }
    void set(const char* name, float value) const { setValue(names().indexOf(QLatin1String(name)), value); }
    float speed() const { return simValue(30, 0); }
    int clock() const { return int(getValue(406, 0)) * 3600 + int(getValue(407, 0)) * 60 + int(getValue(408, 0)); }
};

const QByteArray kFast = "name Kestrel.:.Railsim Tests.:.Fast\ntimescale 100\nheading 0\ngradient 0\n";

} // namespace

class TestRailsim : public QObject
{
    Q_OBJECT

private slots:
    void builtInLocomotive();
    void moves_data();
    void moves();
    void writes_data();
    void writes();
    void unreadableLinesAreSkipped_data();
    void unreadableLinesAreSkipped();
    void locoChangesWithTheDescription();
    void concurrentCallers();
};

// Without a description: a locomotive told once, named as the simulator
// names them, every controller within its limits, a running clock, and all
// nine train data fields through Kestrel's interface.
void TestRailsim::builtInLocomotive()
{
    Simulator simulator;
    QVERIFY(simulator.start(QByteArray()));
    QVERIFY(simulator.locoChanged());
    QVERIFY(!simulator.locoChanged());
    QCOMPARE(QString::fromUtf8(simulator.locoName()).split(QStringLiteral(".:.")).size(), 3);
    const QStringList names = simulator.names();
    for (int i = 0; i < names.size(); ++i) {
        const float current = simulator.getValue(i, 0);
        QVERIFY2(simulator.getValue(i, 1) < simulator.getValue(i, 2) && current >= simulator.getValue(i, 1)
                     && current <= simulator.getValue(i, 2),
                 qPrintable(names.at(i)));
    }
    const int start = simulator.clock();
    QTRY_VERIFY_WITH_TIMEOUT(simulator.clock() > start, 3000);
    TSInterfaceDll dll(simulator.dir.path());
    QString text;
    QCOMPARE(dll.getTrainData(text), 0);
    QCOMPARE(text.split(QLatin1Char(':')).size(), 9);
}

void TestRailsim::moves_data()
{
    QTest::addColumn<QByteArray>("extra");    // description lines
    QTest::addColumn<float>("reverser");
    QTest::addColumn<QString>("brake");      // applied once above 20 mph
    QTest::addColumn<int>("endsUp");         // sign of the speed at the end
    QTest::addRow("forward under power") << QByteArray() << 1.0f << "" << 1;
    QTest::addRow("backward under power") << QByteArray() << -1.0f << "" << -1;
    QTest::addRow("the train brake stops it") << QByteArray() << 1.0f << "TrainBrakeControl" << 0;
    QTest::addRow("the emergency brake stops it") << QByteArray() << 1.0f << "EmergencyBrake" << 0;
    QTest::addRow("uphill it stalls and rolls back") << QByteArray("gradient 2\nspeed 10\n") << 0.0f << "" << -1;
    QTest::addRow("downhill it runs away") << QByteArray("gradient -2\n") << 0.0f << "" << 1;
}

void TestRailsim::moves()
{
    QFETCH(QByteArray, extra);
    QFETCH(float, reverser);
    QFETCH(QString, brake);
    QFETCH(int, endsUp);
    Simulator simulator;
    QVERIFY(simulator.start(kFast + extra));
    const float latitude = simulator.getValue(400, 0);
    simulator.set("Reverser", reverser);
    simulator.set("Regulator", reverser != 0.0f ? 1.0f : 0.0f);
    if (!brake.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(simulator.speed() > 20.0f, 5000);
        simulator.set("Regulator", 0.0f);
        simulator.set(qPrintable(brake), 1.0f);
        QTRY_COMPARE_WITH_TIMEOUT(simulator.speed(), 0.0f, 5000);
        QVERIFY(simulator.value("BrakePipePressureBAR") < 5.0f);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(endsUp * simulator.speed() > 2.0f, 5000);
    QVERIFY(std::fabs(simulator.value("SpeedometerMPH") - std::fabs(simulator.speed())) < 1.0f);
    // Heading north: forward gains latitude.
    QTRY_VERIFY_WITH_TIMEOUT(endsUp * (simulator.getValue(400, 0) - latitude) > 0.0f, 5000);
}

void TestRailsim::writes_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<float>("written");
    QTest::addColumn<float>("read");
    QTest::addRow("within limits") << 1 << 0.4f << 0.4f;
    QTest::addRow("above the maximum clamps") << 1 << 1.7f << 1.0f;
    QTest::addRow("below the minimum clamps") << 0 << -5.0f << -1.0f;
    QTest::addRow("NaN is ignored") << 1 << float(NAN) << 0.0f;
    QTest::addRow("a gauge ignores writes") << 15 << 0.0f << 5.0f;
    QTest::addRow("an unknown index reads 0") << 999 << 5.0f << 0.0f;
    QTest::addRow("simulator-wide values ignore writes") << 406 << 3.0f << 8.0f;
}

void TestRailsim::writes()
{
    QFETCH(int, index);
    QFETCH(float, written);
    Simulator simulator;
    QVERIFY(simulator.start("freeze\n"));
    simulator.setValue(index, written);
    QTEST(simulator.getValue(index, 0), "read");
}

void TestRailsim::unreadableLinesAreSkipped_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addRow("minimum above maximum") << QByteArray("controller Broken 1 0 0");
    QTest::addRow("NaN limit") << QByteArray("controller Broken nan 1 0");
    QTest::addRow("list separator in a name") << QByteArray("controller Bro::ken 0 1 0");
    QTest::addRow("binary") << QByteArray("\x01\x02\xff\xfe\x00\x7f", 6);
}

void TestRailsim::unreadableLinesAreSkipped()
{
    QFETCH(QByteArray, line);
    Simulator simulator;
    QVERIFY(simulator.start("name A.:.B.:.Skipper\r\nfreeze\ncontroller Good 0 1 0.5\n" + line
                            + "\ncontroller AlsoGood -1 1 -0.5 ro\n"));
    QCOMPARE(QString::fromUtf8(simulator.locoName()), QStringLiteral("A.:.B.:.Skipper"));
    QCOMPARE(QString::fromUtf8(simulator.controllerList()), QStringLiteral("Good::AlsoGood"));
    QCOMPARE(simulator.getValue(1, 0), -0.5f);
}

// The file is read again when a client connects; a new name is a new
// locomotive, told once.
void TestRailsim::locoChangesWithTheDescription()
{
    Simulator simulator;
    QVERIFY(simulator.start("name A.:.B.:.First\nfreeze\n"));
    QVERIFY(simulator.locoChanged());
    simulator.set("Regulator", 0.75f);
    QVERIFY(simulator.describe("name A.:.B.:.Second\nfreeze\n"));
    QVERIFY(!simulator.locoChanged());
    simulator.setConnected(true);
    QVERIFY(simulator.locoChanged());
    QVERIFY(!simulator.locoChanged());
    QCOMPARE(QString::fromUtf8(simulator.locoName()), QStringLiteral("A.:.B.:.Second"));
    QCOMPARE(simulator.value("Regulator"), 0.0f);
}

// Client threads at once, as the server runs them: every answer stays whole
// and within its limits.
void TestRailsim::concurrentCallers()
{
    Simulator simulator;
    QVERIFY(simulator.start(kFast));
    const QByteArray name = simulator.locoName();
    const QByteArray list = simulator.controllerList();
    std::atomic<int> faults{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 4000; ++i) {
                const int index = (i * 7 + t) % 24 - 2;
                faults += name != simulator.locoName() || list != simulator.controllerList();
                const float current = simulator.getValue(index, 0);
                faults += !(current >= simulator.getValue(index, 1) && current <= simulator.getValue(index, 2));
                simulator.setValue(index, float(i % 5) / 2.0f - 1.0f);
                faults += !std::isfinite(simulator.simValue(i % 31, 0));
                if (i % 500 == 0)
                    simulator.setConnected(true); // reads the description again
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(faults.load(), 0);
}

QTEST_GUILESS_MAIN(TestRailsim)
#include "tst_railsim.moc"
