#include "tsinterfacedll.h"

#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

namespace {

const QString kLibraryPath = QStringLiteral(KESTREL_SIMULATOR_DIR "/plugins/RailDriver64.dll");
const QString kFrozenExample = QStringLiteral(KESTREL_SIMULATOR_DIR "/examples/frozen.loco");
const QString kBuiltInName = QStringLiteral("Kestrel.:.Railsim.:.Class 66 Demonstrator");

// A quick locomotive on a straight, level line heading north: 100 simulated
// seconds pass in each wall-clock second, so the physics tests take moments.
QByteArray fastDescription(const QByteArray& extra = {})
{
    return "name Kestrel.:.Railsim Tests.:.Fast Class 66\n"
           "timescale 100\nheading 0\ngradient 0\ntunnel 0\n"
        + extra;
}

// One loaded copy of the library, reached only through its exported names.
class RailDriver
{
public:
    bool load(const QString& path)
    {
        m_library.setFileName(path);
        if (!m_library.load())
            return false;
        resolve(setConnected, "SetRailDriverConnected");
        resolve(getConnected, "GetRailDriverConnected");
        resolve(locoName, "GetLocoName");
        resolve(controllerList, "GetControllerList");
        resolve(getValue, "GetControllerValue");
        resolve(setValue, "SetControllerValue");
        resolve(simValue, "GetRailSimValue");
        resolve(locoChanged, "GetRailSimLocoChanged");
        return setConnected && getConnected && locoName && controllerList && getValue && setValue && simValue
            && locoChanged;
    }

    QString name() const { return QString::fromUtf8(locoName()); }
    QStringList names() const { return QString::fromUtf8(controllerList()).split(QStringLiteral("::")); }
    int indexOf(const QString& name) const { return names().indexOf(name); }
    float value(const QString& name) const { return getValue(indexOf(name), 0); }
    void set(const QString& name, float value) const { setValue(indexOf(name), value); }
    float speedMph() const { return simValue(30, 0); }
    int secondsOfDay() const
    {
        return int(getValue(406, 0)) * 3600 + int(getValue(407, 0)) * 60 + int(getValue(408, 0));
    }

    void (*setConnected)(bool) = nullptr;
    bool (*getConnected)() = nullptr;
    const char* (*locoName)() = nullptr;
    const char* (*controllerList)() = nullptr;
    float (*getValue)(int, int) = nullptr;
    void (*setValue)(int, float) = nullptr;
    float (*simValue)(int, int) = nullptr;
    bool (*locoChanged)() = nullptr;

private:
    template <typename Function>
    void resolve(Function& function, const char* name)
    {
        function = reinterpret_cast<Function>(m_library.resolve(name));
    }

    QLibrary m_library;
};

bool writeDescription(const QTemporaryDir& dir, const QByteArray& description)
{
    QFile file(dir.path() + QStringLiteral("/plugins/railsim.loco"));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(description) == description.size();
}

// A simulator folder of its own in `dir`: a copy of the library, which the
// loader takes for a different library and so gives a locomotive of its
// own, and a description beside it unless `description` is null.
bool makeSimulator(const QTemporaryDir& dir, const QByteArray& description)
{
    const QString plugins = dir.path() + QStringLiteral("/plugins");
    if (!QDir().mkpath(plugins) || !QFile::copy(kLibraryPath, plugins + QStringLiteral("/RailDriver64.dll")))
        return false;
    return description.isNull() || writeDescription(dir, description);
}

// A locomotive of its own, from `description`, held for the test's length.
struct Simulator
{
    QTemporaryDir dir;
    RailDriver driver;

    bool start(const QByteArray& description)
    {
        return dir.isValid() && makeSimulator(dir, description)
            && driver.load(dir.path() + QStringLiteral("/plugins/RailDriver64.dll"));
    }
};

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestRailsim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void builtInLocomotiveIdentifiesItself();
    void builtInLocomotiveMovesUnderPower();
    void clockRuns();
    void clockWrapsAtMidnight();
    void setAndReadBack_data();
    void setAndReadBack();
    void throttleMovesTheTrain_data();
    void throttleMovesTheTrain();
    void brakesSlowTheTrain_data();
    void brakesSlowTheTrain();
    void gradientMovesTheTrain_data();
    void gradientMovesTheTrain();
    void frozenExample_data();
    void frozenExample();
    void frozenExampleIdentity();
    void frozenLocomotiveStandsStill();
    void kestrelReadsTheFrozenExample();
    void unreadableLinesAreSkipped_data();
    void unreadableLinesAreSkipped();
    void descriptionSpellingsAreRead_data();
    void descriptionSpellingsAreRead();
    void locoChangesWithTheDescription_data();
    void locoChangesWithTheDescription();
    void concurrentClientsAreServedSafely();

private:
    RailDriver m_builtIn;
    Simulator m_frozen;
    Simulator m_frozenBuiltIn; // the built-in controllers, frozen
};

void TestRailsim::initTestCase()
{
    QVERIFY2(QFile::exists(kLibraryPath), qPrintable(kLibraryPath));
    QVERIFY(m_builtIn.load(kLibraryPath));
    QVERIFY2(QFile::exists(kFrozenExample), qPrintable(kFrozenExample));
    QVERIFY(m_frozen.start(readFile(kFrozenExample)));
    QVERIFY(m_frozenBuiltIn.start("freeze\n"));
}

// Runs first: the loco-changed flag is read here before anything else.
void TestRailsim::builtInLocomotiveIdentifiesItself()
{
    QVERIFY(m_builtIn.locoChanged());
    QVERIFY(!m_builtIn.locoChanged());
    QVERIFY(!m_builtIn.locoChanged());

    const QStringList parts = m_builtIn.name().split(QStringLiteral(".:."));
    QCOMPARE(parts.size(), 3);
    for (const QString& part : parts)
        QVERIFY(!part.isEmpty());

    const QStringList names = m_builtIn.names();
    QVERIFY2(names.size() >= 15, qPrintable(names.join(QLatin1Char(' '))));
    QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        QVERIFY(!names.at(i).isEmpty());
        const float minimum = m_builtIn.getValue(i, 1);
        const float maximum = m_builtIn.getValue(i, 2);
        const float current = m_builtIn.getValue(i, 0);
        QVERIFY2(minimum < maximum && current >= minimum && current <= maximum, qPrintable(names.at(i)));
    }
}

// The one physics test at wall-clock pace, without any description file.
void TestRailsim::builtInLocomotiveMovesUnderPower()
{
    QCOMPARE(m_builtIn.speedMph(), 0.0f);
    m_builtIn.set(QStringLiteral("Reverser"), 1.0f);
    m_builtIn.set(QStringLiteral("Regulator"), 1.0f);
    QTRY_VERIFY_WITH_TIMEOUT(m_builtIn.speedMph() > 0.0f, 5000);
    QVERIFY(m_builtIn.value(QStringLiteral("SpeedometerMPH")) > 0.0f);

    m_builtIn.set(QStringLiteral("Regulator"), 0.0f);
    m_builtIn.set(QStringLiteral("EngineBrakeControl"), 1.0f);
    QTRY_COMPARE_WITH_TIMEOUT(m_builtIn.speedMph(), 0.0f, 5000);
    m_builtIn.set(QStringLiteral("EngineBrakeControl"), 0.0f);
    m_builtIn.set(QStringLiteral("Reverser"), 0.0f);
}

void TestRailsim::clockRuns()
{
    // The built-in clock started at 08:00:00 at the first call, moments ago.
    QCOMPARE(m_builtIn.getValue(406, 0), 8.0f);
    QCOMPARE(m_builtIn.getValue(407, 0), 0.0f);
    const int start = m_builtIn.secondsOfDay();
    QTRY_VERIFY_WITH_TIMEOUT(m_builtIn.secondsOfDay() > start, 3000);
}

void TestRailsim::clockWrapsAtMidnight()
{
    Simulator simulator;
    QVERIFY(simulator.start("time 23:59:58\ntimescale 10\n"));
    QCOMPARE(simulator.driver.getValue(406, 0), 23.0f);
    QTRY_VERIFY_WITH_TIMEOUT(simulator.driver.secondsOfDay() < 60, 3000);
    QCOMPARE(simulator.driver.getValue(406, 0), 0.0f);
}

// On a frozen copy with the built-in controllers, so nothing moves by
// itself between the write and the read.
void TestRailsim::setAndReadBack_data()
{
    QTest::addColumn<QString>("controller");
    QTest::addColumn<int>("index"); // when no controller name is given
    QTest::addColumn<float>("before");
    QTest::addColumn<float>("written");
    QTest::addColumn<float>("expected");

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    QTest::addRow("within limits") << "Regulator" << 0 << 0.0f << 0.4f << 0.4f;
    QTest::addRow("above maximum clamps") << "Regulator" << 0 << 0.0f << 1.7f << 1.0f;
    QTest::addRow("below minimum clamps") << "Regulator" << 0 << 0.5f << -0.3f << 0.0f;
    QTest::addRow("reverser backwards") << "Reverser" << 0 << 0.0f << -1.0f << -1.0f;
    QTest::addRow("reverser beyond backwards clamps") << "Reverser" << 0 << 0.0f << -5.0f << -1.0f;
    QTest::addRow("three-position switch") << "Headlights" << 0 << 0.0f << 2.0f << 2.0f;
    QTest::addRow("infinity clamps") << "TrainBrakeControl" << 0 << 0.0f << infinity << 1.0f;
    QTest::addRow("NaN is ignored") << "Regulator" << 0 << 0.5f << nan << 0.5f;
    QTest::addRow("gauge ignores writes") << "BrakePipePressureBAR" << 0 << 1.0f << 0.0f << 5.0f;
    QTest::addRow("speedometer ignores writes") << "SpeedometerMPH" << 0 << 10.0f << 50.0f << 0.0f;
    QTest::addRow("unknown index reads 0") << QString() << 999 << 1.0f << 5.0f << 0.0f;
    QTest::addRow("negative index reads 0") << QString() << -1 << 1.0f << 5.0f << 0.0f;
    QTest::addRow("simulator-wide value ignores writes") << QString() << 406 << 1.0f << 3.0f << 8.0f;
}

void TestRailsim::setAndReadBack()
{
    QFETCH(QString, controller);
    QFETCH(int, index);
    QFETCH(float, before);
    QFETCH(float, written);
    QFETCH(float, expected);

    const RailDriver& driver = m_frozenBuiltIn.driver;
    if (!controller.isEmpty())
        index = driver.indexOf(controller);
    QVERIFY(index != -1 || controller.isEmpty());

    driver.setValue(index, before);
    driver.setValue(index, written);
    QCOMPARE(driver.getValue(index, 0), expected);
}

void TestRailsim::throttleMovesTheTrain_data()
{
    QTest::addColumn<float>("reverser");
    QTest::addColumn<int>("direction");

    QTest::addRow("forward") << 1.0f << 1;
    QTest::addRow("backward") << -1.0f << -1;
    QTest::addRow("neutral stays put") << 0.0f << 0;
}

void TestRailsim::throttleMovesTheTrain()
{
    QFETCH(float, reverser);
    QFETCH(int, direction);

    Simulator simulator;
    QVERIFY(simulator.start(fastDescription()));
    const RailDriver& driver = simulator.driver;
    const float latitude = driver.getValue(400, 0);
    const float longitude = driver.getValue(401, 0);
    const float fuel = driver.getValue(402, 0);
    const int start = driver.secondsOfDay();

    driver.set(QStringLiteral("Reverser"), reverser);
    driver.set(QStringLiteral("Regulator"), 1.0f);

    if (direction == 0) {
        QTRY_VERIFY_WITH_TIMEOUT(driver.secondsOfDay() > start + 30, 5000);
        QCOMPARE(driver.speedMph(), 0.0f);
        QCOMPARE(driver.getValue(400, 0), latitude);
        return;
    }

    QTRY_VERIFY_WITH_TIMEOUT(direction * driver.speedMph() > 10.0f, 5000);
    const float speedometer = driver.value(QStringLiteral("SpeedometerMPH"));
    QVERIFY2(std::fabs(speedometer - std::fabs(driver.speedMph())) < 1.0f, qPrintable(QString::number(speedometer)));
    QVERIFY(driver.value(QStringLiteral("Ammeter")) > 0.0f);
    QVERIFY(driver.value(QStringLiteral("RPM")) > 450.0f);
    QVERIFY(driver.getValue(402, 0) < fuel);
    // Heading north: forward gains latitude, backward loses it.
    QVERIFY(direction * (driver.getValue(400, 0) - latitude) > 0.0f);
    QCOMPARE(driver.getValue(401, 0), longitude);
}

void TestRailsim::brakesSlowTheTrain_data()
{
    QTest::addColumn<QString>("brake");
    QTest::addColumn<QString>("gauge");
    QTest::addColumn<float>("threshold");
    QTest::addColumn<bool>("above"); // whether the gauge rises above the threshold or falls below it
    QTest::addColumn<float>("slowsTo");

    QTest::addRow("train brake") << "TrainBrakeControl" << "TrainBrakeCylinderPressureBAR" << 3.0f << true << 0.0f;
    QTest::addRow("engine brake") << "EngineBrakeControl" << "LocoBrakeCylinderPressureBAR" << 3.0f << true << 0.0f;
    QTest::addRow("emergency brake") << "EmergencyBrake" << "BrakePipePressureBAR" << 0.5f << false << 0.0f;
    // Fades below 10 mph, so it slows the train without stopping it.
    QTest::addRow("dynamic brake") << "DynamicBrake" << "Ammeter" << -100.0f << false << 8.0f;
}

void TestRailsim::brakesSlowTheTrain()
{
    QFETCH(QString, brake);
    QFETCH(QString, gauge);
    QFETCH(float, threshold);
    QFETCH(bool, above);
    QFETCH(float, slowsTo);

    Simulator simulator;
    QVERIFY(simulator.start(fastDescription()));
    const RailDriver& driver = simulator.driver;
    driver.set(QStringLiteral("Reverser"), 1.0f);
    driver.set(QStringLiteral("Regulator"), 1.0f);
    QTRY_VERIFY_WITH_TIMEOUT(driver.speedMph() > 20.0f, 5000);

    driver.set(QStringLiteral("Regulator"), 0.0f);
    driver.set(brake, 1.0f);
    QTRY_VERIFY_WITH_TIMEOUT(above ? driver.value(gauge) > threshold : driver.value(gauge) < threshold, 5000);
    // Coasting alone would take over 20 s to lose even 12 mph here.
    QTRY_VERIFY_WITH_TIMEOUT(driver.speedMph() <= slowsTo, 5000);
    QVERIFY(driver.speedMph() >= 0.0f);
}

void TestRailsim::gradientMovesTheTrain_data()
{
    QTest::addColumn<QByteArray>("gradient");
    QTest::addColumn<QByteArray>("speed");
    QTest::addColumn<int>("endsUp"); // sign of the speed the train ends up with

    QTest::addRow("uphill stalls and rolls back") << QByteArray("2") << QByteArray("10") << -1;
    QTest::addRow("downhill runs away") << QByteArray("-2") << QByteArray("0") << 1;
    QTest::addRow("gentle slope holds the train") << QByteArray("0.05") << QByteArray("0") << 0;
}

void TestRailsim::gradientMovesTheTrain()
{
    QFETCH(QByteArray, gradient);
    QFETCH(QByteArray, speed);
    QFETCH(int, endsUp);

    Simulator simulator;
    QVERIFY(simulator.start(fastDescription("gradient " + gradient + "\nspeed " + speed + "\n")));
    const RailDriver& driver = simulator.driver;
    if (endsUp == 0) {
        const int start = driver.secondsOfDay();
        QTRY_VERIFY_WITH_TIMEOUT(driver.secondsOfDay() > start + 30, 5000);
        QCOMPARE(driver.speedMph(), 0.0f);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(endsUp * driver.speedMph() > 1.0f, 5000);
    }
}

void TestRailsim::frozenExample_data()
{
    QTest::addColumn<bool>("simulatorValue"); // GetRailSimValue rather than GetControllerValue
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("kind");
    QTest::addColumn<float>("expected");

    QTest::addRow("reverser minimum") << false << 0 << 1 << -1.0f;
    QTest::addRow("regulator value") << false << 1 << 0 << 0.25f;
    QTest::addRow("headlights maximum") << false << 6 << 2 << 2.0f;
    QTest::addRow("name with a space") << false << 7 << 0 << 0.25f;
    QTest::addRow("speedometer value") << false << 8 << 0 << 6.5f;
    QTest::addRow("ammeter value") << false << 9 << 0 << -250.0f;
    QTest::addRow("brake pipe") << false << 10 << 0 << 3.5f;
    QTest::addRow("past the list") << false << 11 << 0 << 0.0f;
    QTest::addRow("unknown kind") << false << 1 << 3 << 0.0f;
    QTest::addRow("latitude") << false << 400 << 0 << 51.5f;
    QTest::addRow("latitude minimum") << false << 400 << 1 << -90.0f;
    QTest::addRow("longitude") << false << 401 << 0 << -0.125f;
    QTest::addRow("fuel") << false << 402 << 0 << 0.75f;
    QTest::addRow("in tunnel") << false << 403 << 0 << 1.0f;
    QTest::addRow("gradient") << false << 404 << 0 << -1.25f;
    QTest::addRow("heading") << false << 405 << 0 << 270.0f;
    QTest::addRow("hour") << false << 406 << 0 << 13.0f;
    QTest::addRow("minute") << false << 407 << 0 << 45.0f;
    QTest::addRow("second") << false << 408 << 0 << 30.0f;
    QTest::addRow("past the simulator-wide values") << false << 409 << 0 << 0.0f;
    QTest::addRow("throttle less train brake") << true << 2 << 0 << -0.25f;
    QTest::addRow("emergency brake") << true << 7 << 0 << 1.0f;
    QTest::addRow("speed backwards") << true << 30 << 0 << -6.5f;
    QTest::addRow("unknown simulator value") << true << 5 << 0 << 0.0f;
}

void TestRailsim::frozenExample()
{
    QFETCH(bool, simulatorValue);
    QFETCH(int, id);
    QFETCH(int, kind);
    QFETCH(float, expected);

    const RailDriver& driver = m_frozen.driver;
    QCOMPARE(simulatorValue ? driver.simValue(id, 0) : driver.getValue(id, kind), expected);
}

void TestRailsim::frozenExampleIdentity()
{
    QCOMPARE(m_frozen.driver.name(), QStringLiteral("Kestrel.:.Railsim Frozen.:.Class 08 Shunter 08 765"));
    QCOMPARE(QString::fromUtf8(m_frozen.driver.controllerList()),
             QStringLiteral("Reverser::Regulator::TrainBrakeControl::EngineBrakeControl::EmergencyBrake::Horn::"
                            "Headlights::Virtual Throttle::SpeedometerMPH::Ammeter::BrakePipePressureBAR"));
}

// A running twin from the same description shows that the time waited was
// long enough for anything unfrozen to move.
void TestRailsim::frozenLocomotiveStandsStill()
{
    const QByteArray description = "timescale 100\nspeed 30\ngradient 1\n"
                                   "controller Reverser -1 1 1\ncontroller Regulator 0 1 1\n"
                                   "controller SpeedometerMPH 0 100 30 ro\n";
    Simulator frozen;
    Simulator running;
    QVERIFY(frozen.start("freeze\n" + description));
    QVERIFY(running.start(description));

    const auto snapshot = [](const RailDriver& driver) {
        QVector<float> values{driver.speedMph(), driver.value(QStringLiteral("SpeedometerMPH"))};
        for (int id = 400; id <= 408; ++id)
            values.append(driver.getValue(id, 0));
        return values;
    };
    const QVector<float> before = snapshot(frozen.driver);
    const int runningStart = running.driver.secondsOfDay();
    const float runningLatitude = running.driver.getValue(400, 0);
    QTRY_VERIFY_WITH_TIMEOUT(running.driver.secondsOfDay() > runningStart + 20
                                 && running.driver.getValue(400, 0) != runningLatitude,
                             5000);
    QCOMPARE(snapshot(frozen.driver), before);
}

// Kestrel's own interface reads the stand-in as it reads the simulator.
void TestRailsim::kestrelReadsTheFrozenExample()
{
    TSInterfaceDll simulatorInterface(m_frozen.dir.path());
    QString status;
    QCOMPARE(simulatorInterface.connectSimulator(status), int(ResultOk));
    QCOMPARE(status, QStringLiteral("CONNECTED"));
    QVERIFY(m_frozen.driver.getConnected());

    QString text;
    QCOMPARE(simulatorInterface.getTrainData(text), int(ResultOk));
    QCOMPARE(text, QStringLiteral("51.5000000:-0.1250000:-1.2500000:13:45:30:6.50:-0.25:1"));

    QCOMPARE(simulatorInterface.disconnectSimulator(), int(ResultOk));
    QVERIFY(!m_frozen.driver.getConnected());
}

void TestRailsim::unreadableLinesAreSkipped_data()
{
    QTest::addColumn<QByteArray>("line");

    QTest::addRow("minimum above maximum") << QByteArray("controller Broken 1 0 0");
    QTest::addRow("value missing") << QByteArray("controller Broken 0 1");
    QTest::addRow("NaN limit") << QByteArray("controller Broken nan 1 0");
    QTest::addRow("list separator in name") << QByteArray("controller Bro::ken 0 1 0");
    QTest::addRow("unknown access") << QByteArray("controller Broken 0 1 0 rx");
    QTest::addRow("hour out of range") << QByteArray("time 25:00:00");
    QTest::addRow("four-part time") << QByteArray("time 09:00:00:01");
    QTest::addRow("latitude out of range") << QByteArray("latitude 91");
    QTest::addRow("decimal comma") << QByteArray("latitude 51,5");
    QTest::addRow("two arguments") << QByteArray("gradient 1 2");
    QTest::addRow("unknown keyword") << QByteArray("whistle 1");
    QTest::addRow("empty name") << QByteArray("name   ");
    QTest::addRow("binary") << QByteArray("\x01\x02\xff\xfe\x00\x7f", 6);
}

void TestRailsim::unreadableLinesAreSkipped()
{
    QFETCH(QByteArray, line);

    Simulator simulator;
    QVERIFY(simulator.start("name Kestrel.:.Railsim Tests.:.Skipper\nfreeze\n"
                            "controller Good 0 1 0.5\n"
                            + line + "\ncontroller AlsoGood -1 1 -0.5 ro\n"));
    const RailDriver& driver = simulator.driver;
    QCOMPARE(driver.name(), QStringLiteral("Kestrel.:.Railsim Tests.:.Skipper"));
    QCOMPARE(QString::fromUtf8(driver.controllerList()), QStringLiteral("Good::AlsoGood"));
    QCOMPARE(driver.getValue(0, 0), 0.5f);
    QCOMPARE(driver.getValue(1, 0), -0.5f);
    QCOMPARE(driver.secondsOfDay(), 8 * 3600);
    QCOMPARE(driver.getValue(400, 0), 53.3431f); // the built-in starting point
    QCOMPARE(driver.getValue(404, 0), 0.0f);
}

void TestRailsim::descriptionSpellingsAreRead_data()
{
    QTest::addColumn<QByteArray>("description");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("list");
    QTest::addColumn<float>("firstValue");

    QTest::addRow("windows line endings") << QByteArray("name A.:.B.:.C\r\ncontroller One 0 1 0.5\r\n") << "A.:.B.:.C"
                                          << "One" << 0.5f;
    QTest::addRow("byte order mark") << QByteArray("\xEF\xBB\xBFname A.:.B.:.C\ncontroller One 0 1 0.5\n")
                                     << "A.:.B.:.C" << "One" << 0.5f;
    QTest::addRow("keywords in capitals") << QByteArray("NAME A.:.B.:.C\nController One 0 1 0.5 RO\n")
                                          << "A.:.B.:.C" << "One" << 0.5f;
    QTest::addRow("value clamped into limits") << QByteArray("controller One 0 1 5\n") << kBuiltInName << "One"
                                               << 1.0f;
    QTest::addRow("spaces in a name") << QByteArray("controller Cab  Light 0 1 1\ncontroller Two 0 1 0\n")
                                      << kBuiltInName << "Cab Light::Two" << 1.0f;
}

void TestRailsim::descriptionSpellingsAreRead()
{
    QFETCH(QByteArray, description);
    QFETCH(QString, name);
    QFETCH(QString, list);
    QFETCH(float, firstValue);

    Simulator simulator;
    QVERIFY(simulator.start(description));
    QCOMPARE(simulator.driver.name(), name);
    QCOMPARE(QString::fromUtf8(simulator.driver.controllerList()), list);
    QCOMPARE(simulator.driver.getValue(0, 0), firstValue);
}

void TestRailsim::locoChangesWithTheDescription_data()
{
    QTest::addColumn<QByteArray>("second"); // null: the file is removed
    QTest::addColumn<bool>("changed");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("reloaded");

    const QByteArray first = "name Kestrel.:.Railsim.:.First\nfreeze\ntime 10:00:00\n";
    QTest::addRow("unchanged file") << first << false << "Kestrel.:.Railsim.:.First" << false;
    QTest::addRow("same name, other values") << QByteArray("name Kestrel.:.Railsim.:.First\nfreeze\ntime 11:00:00\n")
                                             << false << "Kestrel.:.Railsim.:.First" << true;
    QTest::addRow("another name") << QByteArray("name Kestrel.:.Railsim.:.Second\nfreeze\ntime 11:00:00\n") << true
                                  << "Kestrel.:.Railsim.:.Second" << true;
    QTest::addRow("file removed") << QByteArray() << true << kBuiltInName << true;
}

void TestRailsim::locoChangesWithTheDescription()
{
    QFETCH(QByteArray, second);
    QFETCH(bool, changed);
    QFETCH(QString, name);
    QFETCH(bool, reloaded);

    Simulator simulator;
    QVERIFY(simulator.start("name Kestrel.:.Railsim.:.First\nfreeze\ntime 10:00:00\n"));
    const RailDriver& driver = simulator.driver;
    QVERIFY(driver.locoChanged());
    QVERIFY(!driver.locoChanged());
    driver.set(QStringLiteral("Regulator"), 0.75f);

    if (second.isNull())
        QVERIFY(QFile::remove(simulator.dir.path() + QStringLiteral("/plugins/railsim.loco")));
    else
        QVERIFY(writeDescription(simulator.dir, second));
    // The file is read again only when a client connects.
    QVERIFY(!driver.locoChanged());
    driver.setConnected(true);

    QCOMPARE(driver.locoChanged(), changed);
    QVERIFY(!driver.locoChanged());
    QCOMPARE(driver.name(), name);
    QCOMPARE(driver.value(QStringLiteral("Regulator")), reloaded ? 0.0f : 0.75f);
}

// Client threads at once, as the server runs them: every answer must stay
// whole and within its limits. Meant to be run under ThreadSanitizer too.
void TestRailsim::concurrentClientsAreServedSafely()
{
    Simulator simulator;
    QVERIFY(simulator.start(fastDescription()));
    const RailDriver& driver = simulator.driver;
    const QByteArray expectedName = driver.name().toUtf8();
    const QByteArray expectedList = QByteArray(driver.controllerList());
    const int count = driver.names().size();

    std::atomic<int> faults{0};
    std::atomic<long> calls{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    const auto client = [&](unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> index(-2, count + 2);
        std::uniform_real_distribution<float> value(-2.0f, 2.0f);
        for (long i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
            switch (i % 6) {
            case 0:
                faults += expectedName != driver.locoName();
                break;
            case 1:
                faults += expectedList != driver.controllerList();
                break;
            case 2: {
                const int at = index(random) + (i % 12 == 2 ? 400 : 0);
                const float current = driver.getValue(at, 0);
                const float minimum = driver.getValue(at, 1);
                const float maximum = driver.getValue(at, 2);
                faults += !(current >= minimum && current <= maximum);
                break;
            }
            case 3:
                driver.setValue(index(random), value(random));
                break;
            case 4:
                faults += !std::isfinite(driver.simValue(int(i % 31), 0));
                driver.locoChanged();
                break;
            default:
                // Connecting reads the description file again.
                driver.setConnected((i / 6) % 2 == 0);
                driver.getConnected();
                break;
            }
            ++calls;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t)
        threads.emplace_back(client, t + 1);
    for (std::thread& thread : threads)
        thread.join();

    QCOMPARE(faults.load(), 0);
    QVERIFY(calls.load() > 100);
}

QTEST_GUILESS_MAIN(TestRailsim)
#include "tst_railsim.moc"
