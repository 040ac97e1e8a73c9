// The simulated locomotive through its eight exports. Each simulator is a copy
// of the library in a folder of its own, so each has a locomotive of its own.

#include <QtTest>

#include <atomic>
#include <cmath>
#include <thread>
#include <type_traits>

class TestRailsim : public QObject
{
    Q_OBJECT

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

        // A copy of the library with `description` beside it.
        bool start(const QByteArray& description)
        {
            const auto bind = [this](auto& function, const char* name) {
                function = reinterpret_cast<std::decay_t<decltype(function)>>(library.resolve(name));
                return function != nullptr;
            };
            library.setFileName(dir.filePath(QStringLiteral("RailDriver64.dll")));
            return QFile::copy(QStringLiteral(KESTREL_SIMULATOR_DIR "/plugins/RailDriver64.dll"), library.fileName())
                && describe(description) && library.resolve("GetRailDriverConnected")
                && bind(setConnected, "SetRailDriverConnected") && bind(locoName, "GetLocoName")
                && bind(controllerList, "GetControllerList") && bind(getValue, "GetControllerValue")
                && bind(setValue, "SetControllerValue") && bind(simValue, "GetRailSimValue")
                && bind(locoChanged, "GetRailSimLocoChanged");
        }
        bool describe(const QByteArray& description)
        {
            QFile file(dir.filePath(QStringLiteral("railsim.loco")));
            return file.open(QIODevice::WriteOnly) && file.write(description) == description.size();
        }
        QStringList names() const { return QString::fromUtf8(controllerList()).split(QStringLiteral("::")); }
        float value(const char* name) const { return getValue(names().indexOf(QLatin1String(name)), 0); }
        void set(const char* name, float value) const { setValue(names().indexOf(QLatin1String(name)), value); }
        float speed() const { return simValue(30, 0); }
    };

private slots:
    void moves_data()
    {
        QTest::addColumn<QByteArray>("extra"); // description lines
        QTest::addColumn<QString>("lever");    // set to 1 at the start
        QTest::addColumn<int>("heads");        // heading 0: north forward, south backward
        QTest::addColumn<bool>("stops");
        QTest::addRow("forward under power") << QByteArray() << "Regulator" << 1 << false;
        QTest::addRow("backward under power") << QByteArray() << "Regulator" << -1 << false;
        QTest::addRow("the train brake stops it") << QByteArray("speed 40\n") << "TrainBrakeControl" << 1 << true;
        QTest::addRow("the emergency brake stops it") << QByteArray("speed 40\n") << "EmergencyBrake" << 1 << true;
        QTest::addRow("uphill it stalls and rolls back") << QByteArray("gradient 2\nspeed 10\n") << "" << -1 << false;
    }
    void moves()
    {
        QFETCH(QByteArray, extra);
        QFETCH(QString, lever);
        QFETCH(int, heads);
        QFETCH(bool, stops);
        Simulator simulator;
        QVERIFY(simulator.start("timescale 100\nheading 0\ngradient 0\n" + extra));
        const float latitude = simulator.getValue(400, 0);
        const float second = simulator.getValue(408, 0);
        simulator.set("Reverser", float(heads));
        simulator.set(qPrintable(lever), 1.0f);
        QCOMPARE(simulator.simValue(7, 0), lever == QLatin1String("EmergencyBrake") ? 1.0f : 0.0f);
        QTRY_VERIFY(heads * (simulator.getValue(400, 0) - latitude) > 0.0f);
        QTRY_VERIFY(stops ? simulator.speed() == 0.0f : heads * simulator.speed() > 2.0f);
        QVERIFY(std::fabs(simulator.value("SpeedometerMPH") - std::fabs(simulator.speed())) < 1.0f);
        QCOMPARE(simulator.value("BrakePipePressureBAR") < 5.0f, stops);
        QTRY_VERIFY(simulator.getValue(408, 0) != second);
    }

    // Frozen: "First" (-1 to 1, at 0.5), the row's line, "Second" (read-only, at -0.5).
    void writes_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("index");
        QTest::addColumn<float>("written");
        QTest::addColumn<float>("read");
        QTest::addRow("within limits") << QByteArray() << 0 << 0.4f << 0.4f;
        QTest::addRow("above the maximum clamps") << QByteArray() << 0 << 1.7f << 1.0f;
        QTest::addRow("below the minimum clamps") << QByteArray() << 0 << -5.0f << -1.0f;
        QTest::addRow("NaN is ignored") << QByteArray() << 0 << float(NAN) << 0.5f;
        QTest::addRow("read-only ignores writes") << QByteArray() << 1 << 0.0f << -0.5f;
        QTest::addRow("one past the last reads 0") << QByteArray() << 2 << 5.0f << 0.0f;
        QTest::addRow("simulator-wide values ignore writes") << QByteArray() << 406 << 3.0f << 8.0f;
        QTest::addRow("skips minimum above maximum") << QByteArray("controller Broken 1 0 0") << 1 << 0.0f << -0.5f;
        QTest::addRow("skips a NaN limit") << QByteArray("controller Broken nan 1 0") << 1 << 0.0f << -0.5f;
        QTest::addRow("skips \"::\" in a name") << QByteArray("controller Bro::ken 0 1 0") << 1 << 0.0f << -0.5f;
        QTest::addRow("skips binary") << QByteArray("\x01\x02\xff\xfe\x00\x7f", 6) << 1 << 0.0f << -0.5f;
    }
    void writes()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, index);
        QFETCH(float, written);
        Simulator simulator;
        QVERIFY(simulator.start("freeze\ncontroller First -1 1 0.5\n" + line + "\ncontroller Second -1 1 -0.5 ro\n"));
        simulator.setValue(index, written);
        QTEST(simulator.getValue(index, 0), "read");
    }

    // The file is read again when a client connects; a new name is a new
    // locomotive, told once.
    void locoChangesWithTheDescription()
    {
        Simulator simulator;
        QVERIFY(simulator.start("name A.:.B.:.First\nfreeze\n"));
        QVERIFY(simulator.locoChanged());
        simulator.set("Regulator", 0.75f);
        QVERIFY(simulator.describe("name A.:.B.:.Second\r\nfreeze\r\ncontroller Only 0 1 0.5\r\n"));
        QVERIFY(!simulator.locoChanged());
        simulator.setConnected(true);
        QVERIFY(simulator.locoChanged());
        QVERIFY(!simulator.locoChanged());
        QCOMPARE(QString::fromUtf8(simulator.locoName()), QStringLiteral("A.:.B.:.Second"));
        QCOMPARE(simulator.getValue(1, 0), 0.0f); // where Regulator stood: the list is new, and ends before
    }

    // Client threads at once, as the server runs them: answers stay whole.
    void concurrentCallers()
    {
        Simulator simulator;
        QVERIFY(simulator.start("timescale 100\n"));
        const QByteArray list = simulator.controllerList();
        std::atomic<int> faults{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 4000; ++i) {
                    const int index = (i * 7 + t) % 24 - 2;
                    const float current = simulator.getValue(index, 0);
                    faults += list != simulator.controllerList() || !std::isfinite(simulator.simValue(i % 31, 0))
                        || !(current >= simulator.getValue(index, 1) && current <= simulator.getValue(index, 2));
                    simulator.setValue(index, float(i % 5) / 2.0f - 1.0f);
                    simulator.setConnected(i % 500 == 0); // a client that connects reads the description again
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(faults.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestRailsim)
#include "tst_railsim.moc"
