// The simulated locomotive through its eight exports. Each simulator is a copy of the library in a folder of its own,
// with its description beside it, so each has a locomotive of its own.

#include <QtTest>

#include <thread>
#include <type_traits>

class TestRailsim : public QObject
{
    Q_OBJECT

    struct Simulator
    {
        QTemporaryDir dir;
        QLibrary library{dir.filePath(QStringLiteral("RailDriver64.dll"))};
        void (*setConnected)(bool) = nullptr;
        const char* (*locoName)() = nullptr;
        const char* (*controllerList)() = nullptr;
        float (*getValue)(int, int) = nullptr;
        void (*setValue)(int, float) = nullptr;
        float (*simValue)(int, int) = nullptr;
        bool (*locoChanged)() = nullptr;

        bool start(const QByteArray& description)
        {
            const auto bind = [this](auto& function, const char* name) {
                function = reinterpret_cast<std::decay_t<decltype(function)>>(library.resolve(name));
                return function != nullptr;
            };
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
        int index(const QString& name) const { return QString(controllerList()).split("::").indexOf(name); }
    };

private slots:
    void moves_data()
    {
        QTest::addColumn<QByteArray>("extra"); // description lines
        QTest::addColumn<QString>("lever");    // set to 1 at the start; a brake stops the train
        QTest::addColumn<int>("heads");        // heading 0: north forward, south backward
        QTest::addRow("forward under power") << QByteArray() << "Regulator" << 1;
        QTest::addRow("backward under power") << QByteArray() << "Regulator" << -1;
        QTest::addRow("the train brake stops it") << QByteArray("speed 40\n") << "TrainBrakeControl" << 1;
        QTest::addRow("the emergency brake stops it") << QByteArray("speed 40\n") << "EmergencyBrake" << 1;
        QTest::addRow("uphill it stalls and rolls back") << QByteArray("gradient 2\nspeed 10\n") << "" << -1;
    }
    void moves()
    {
        QFETCH(QByteArray, extra);
        QFETCH(QString, lever);
        QFETCH(int, heads);
        const bool stops = lever.contains(QLatin1String("Brake"));
        Simulator simulator;
        QVERIFY(simulator.start("timescale 100\nheading 0\ngradient 0\n" + extra));
        const float latitude = simulator.getValue(400, 0);
        const float second = simulator.getValue(408, 0);
        simulator.setValue(simulator.index("Reverser"), float(heads));
        simulator.setValue(simulator.index(lever), 1.0f);
        QCOMPARE(simulator.simValue(7, 0), lever == QLatin1String("EmergencyBrake") ? 1.0f : 0.0f);
        QTRY_VERIFY(heads * (simulator.getValue(400, 0) - latitude) > 0.0f);
        QTRY_VERIFY(stops ? simulator.simValue(30, 0) == 0.0f : heads * simulator.simValue(30, 0) > 2.0f); // mph
        QVERIFY(qAbs(simulator.getValue(simulator.index("SpeedometerMPH"), 0) - qAbs(simulator.simValue(30, 0))) < 1.0f);
        QCOMPARE(simulator.getValue(simulator.index("BrakePipePressureBAR"), 0) < 5.0f, stops);
        QTRY_VERIFY(simulator.getValue(408, 0) != second);
    }

    // Frozen: "First" (-1 to 1, at 0.5), the row's lines, "Second" (read-only, at -0.5); then described anew.
    void writes_data()
    {
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<int>("index");
        QTest::addColumn<float>("written");
        QTest::addColumn<float>("read");
        QTest::addRow("within limits") << QByteArray() << 0 << 0.4f << 0.4f;
        QTest::addRow("above the maximum clamps") << QByteArray() << 0 << 1.7f << 1.0f;
        QTest::addRow("below the minimum clamps") << QByteArray() << 0 << -5.0f << -1.0f;
        QTest::addRow("NaN is ignored") << QByteArray() << 0 << float(qQNaN()) << 0.5f;
        QTest::addRow("read-only ignores writes") << QByteArray() << 1 << 0.0f << -0.5f;
        QTest::addRow("one past the last reads 0") << QByteArray() << 2 << 5.0f << 0.0f;
        QTest::addRow("simulator-wide values ignore writes") << QByteArray() << 406 << 3.0f << 8.0f;
        QTest::addRow("skips a minimum above its maximum, a NaN limit, \"::\" in a name, binary") << QByteArrayLiteral(
            "controller A 1 0 0\ncontroller B nan 1 0\ncontroller C::D 0 1 0\n\x01\xff\x00\x7f") << 1 << 0.0f << -0.5f;
    }
    void writes()
    {
        QFETCH(QByteArray, lines);
        QFETCH(int, index);
        QFETCH(float, written);
        Simulator simulator;
        QVERIFY(simulator.start("freeze\ncontroller First -1 1 0.5\n" + lines + "\ncontroller Second -1 1 -0.5 ro\n"));
        simulator.setValue(index, written);
        QTEST(simulator.getValue(index, 0), "read");
        QVERIFY(simulator.locoChanged());
        QVERIFY(simulator.describe("name A.:.B.:.Other\r\nfreeze\r\ncontroller Only 0 1 0.5\r\n"));
        QVERIFY(!simulator.locoChanged());
        simulator.setConnected(true); // a client connects: the file is read again
        QVERIFY(simulator.locoChanged());
        QCOMPARE(QString::fromUtf8(simulator.locoName()), QStringLiteral("A.:.B.:.Other"));
        QCOMPARE(simulator.getValue(1, 0), 0.0f); // where Second stood: the new list ends before
    }

    // Client threads at once, as the server runs them: answers stay whole.
    void concurrentCallers()
    {
        Simulator simulator;
        QVERIFY(simulator.start("timescale 100\n"));
        const QByteArray list = simulator.controllerList();
        QAtomicInt faults;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 4000; ++i) {
                    const int index = (i * 7 + t) % 24 - 2;
                    const float current = simulator.getValue(index, 0);
                    faults += list != simulator.controllerList() || !qIsFinite(simulator.simValue(i % 31, 0))
                        || !(current >= simulator.getValue(index, 1) && current <= simulator.getValue(index, 2));
                    simulator.setValue(index, float(i % 5) / 2.0f - 1.0f);
                    simulator.setConnected(i % 500 == 0); // a client that connects reads the description again
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(faults.loadRelaxed(), 0);
    }
};

QTEST_GUILESS_MAIN(TestRailsim)
#include "tst_railsim.moc"
