// The settings store: "kestrel.ini" in the working directory, its section
// and key names (users edit the file by hand), the defaults, how bad values
// read, and calls from client threads while the window writes.

#include "settings.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void defaultsWithoutFile();
    void reportsTheAbsolutePath();
    void roundTrip_data();
    void roundTrip();
    void valuesWrittenByHand_data();
    void valuesWrittenByHand();
    void overrideIsNotWritten();
    void concurrentReadsWhileWriting();

private:
    QString iniPath() const { return m_dir->filePath(QStringLiteral("kestrel.ini")); }
    void writeIni(const QByteArray& text)
    {
        QFile file(iniPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    QString readIni() const
    {
        QFile file(iniPath());
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
};

void TestSettings::init()
{
    m_previousDir = QDir::currentPath();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void TestSettings::cleanup()
{
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

void TestSettings::defaultsWithoutFile()
{
    Settings settings(nullptr);
    QCOMPARE(settings.GetPort(), quint16(47812));
    QCOMPARE(settings.GetIp(), QString());
    QCOMPARE(settings.GetNetInterface(), QString());
    QCOMPARE(settings.GetTrainSimPath(), QString());
    QCOMPARE(settings.GetWindowGeometry(), QByteArray());
    QCOMPARE(settings.GetWindowState(), QByteArray());
    QCOMPARE(settings.GetLogLevel(), 0);
    QVERIFY(!settings.HasTrainSimPath());
}

void TestSettings::reportsTheAbsolutePath()
{
    // The file is resolved against the working directory when the store is
    // made, and that full path goes to the debug channel.
    const QString expected = QDir::current().absoluteFilePath(QStringLiteral("kestrel.ini"));
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("Expecting settings at \"%1\"").arg(expected)));
    Settings settings(nullptr);
    QCOMPARE(settings.FileName(), expected);

    // A later change of directory does not move the file.
    QTemporaryDir elsewhere;
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    settings.SetIp(QStringLiteral("10.0.0.1"));
    QCOMPARE(settings.FileName(), expected);
}

void TestSettings::roundTrip_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("section");

    QTest::addRow("main/ip") << QStringLiteral("ip") << QVariant(QStringLiteral("192.168.1.20")) << QStringLiteral("main");
    QTest::addRow("main/netinterface") << QStringLiteral("netinterface")
                                       << QVariant(QStringLiteral("Ethernet 2 (Intel; 1Gb/s)")) << QStringLiteral("main");
    QTest::addRow("main/port") << QStringLiteral("port") << QVariant(12345) << QStringLiteral("main");
    QTest::addRow("main/port at its largest") << QStringLiteral("port") << QVariant(65535) << QStringLiteral("main");
    QTest::addRow("main/windowgeometry with every byte value")
        << QStringLiteral("windowgeometry") << QVariant([] {
               QByteArray bytes;
               for (int i = 0; i < 256; ++i)
                   bytes += char(i);
               return bytes;
           }()) << QStringLiteral("main");
    QTest::addRow("main/windowstate") << QStringLiteral("windowstate") << QVariant(QByteArray("\0\xff state", 8))
                                      << QStringLiteral("main");
    QTest::addRow("trainsim/path with spaces and non-ASCII")
        << QStringLiteral("path") << QVariant(QStringLiteral("C:/Program Files (x86)/Steam/steamapps/common/RailWorks \u00e4"))
        << QStringLiteral("trainsim");
}

void TestSettings::roundTrip()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(QString, section);

    {
        Settings settings(nullptr);
        if (key == QLatin1String("ip"))
            settings.SetIp(value.toString());
        else if (key == QLatin1String("netinterface"))
            settings.SetNetInterface(value.toString());
        else if (key == QLatin1String("port"))
            settings.SetPort(quint16(value.toInt()));
        else if (key == QLatin1String("windowgeometry"))
            settings.SetWindowGeometry(value.toByteArray());
        else if (key == QLatin1String("windowstate"))
            settings.SetWindowState(value.toByteArray());
        else if (key == QLatin1String("path"))
            settings.SetTrainSimPath(value.toString());
        else
            QFAIL("unknown key");
    }

    // The file, as a user sees it: the section, the key, nothing else.
    const QString text = readIni();
    QVERIFY2(text.startsWith(QStringLiteral("[%1]\n").arg(section)), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("\n%1=").arg(key)), qPrintable(text));
    QVERIFY(!text.contains(QStringLiteral("[debug]")));
    if (key == QLatin1String("port"))
        QVERIFY2(text.contains(QStringLiteral("\nport=%1\n").arg(value.toInt())), qPrintable(text));
    if (value.type() == QVariant::ByteArray)
        QVERIFY2(text.contains(QRegularExpression(QStringLiteral("\n%1=\"?@ByteArray\\(").arg(key))), qPrintable(text));

    // Any INI reader that knows Qt's format finds it under group/key.
    {
        QSettings file(iniPath(), QSettings::IniFormat);
        QCOMPARE(file.childGroups(), QStringList{section});
        QCOMPARE(file.allKeys(), QStringList{section + QLatin1Char('/') + key});
        if (key == QLatin1String("port"))
            QCOMPARE(file.value(section + QLatin1Char('/') + key).toInt(), value.toInt());
        else if (value.type() == QVariant::ByteArray)
            QCOMPARE(file.value(section + QLatin1Char('/') + key).toByteArray(), value.toByteArray());
        else
            QCOMPARE(file.value(section + QLatin1Char('/') + key).toString(), value.toString());
    }

    // A new store reads it back; the other keys keep their defaults.
    Settings settings(nullptr);
    QCOMPARE(settings.GetIp(), key == QLatin1String("ip") ? value.toString() : QString());
    QCOMPARE(settings.GetNetInterface(), key == QLatin1String("netinterface") ? value.toString() : QString());
    QCOMPARE(settings.GetPort(), key == QLatin1String("port") ? quint16(value.toInt()) : quint16(47812));
    QCOMPARE(settings.GetWindowGeometry(), key == QLatin1String("windowgeometry") ? value.toByteArray() : QByteArray());
    QCOMPARE(settings.GetWindowState(), key == QLatin1String("windowstate") ? value.toByteArray() : QByteArray());
    QCOMPARE(settings.GetTrainSimPath(), key == QLatin1String("path") ? value.toString() : QString());
    QCOMPARE(settings.HasTrainSimPath(), key == QLatin1String("path"));
    QCOMPARE(settings.GetLogLevel(), 0);
}

void TestSettings::valuesWrittenByHand_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("logLevel");

    QTest::addRow("port and loglevel as numbers") << QByteArray("[main]\nport=8080\n[debug]\nloglevel=1\n") << 8080 << 1;
    QTest::addRow("port not a number reads 0") << QByteArray("[main]\nport=abc\n") << 0 << 0;
    QTest::addRow("empty port reads 0, not the default") << QByteArray("[main]\nport=\n") << 0 << 0;
    QTest::addRow("negative port reads 0") << QByteArray("[main]\nport=-1\n") << 0 << 0;
    QTest::addRow("port 65536 keeps its low 16 bits") << QByteArray("[main]\nport=65536\n") << 0 << 0;
    QTest::addRow("port 70000 keeps its low 16 bits") << QByteArray("[main]\nport=70000\n") << 4464 << 0;
    QTest::addRow("port beyond 32 bits reads 0") << QByteArray("[main]\nport=4294967296\n") << 0 << 0;
    QTest::addRow("loglevel not a number reads 0") << QByteArray("[debug]\nloglevel=verbose\n") << 47812 << 0;
    QTest::addRow("negative loglevel") << QByteArray("[debug]\nloglevel=-2\n") << 47812 << -2;
    QTest::addRow("loglevel above the levels in use") << QByteArray("[debug]\nloglevel=7\n") << 47812 << 7;
    QTest::addRow("keys in another section are not ours")
        << QByteArray("[General]\nport=1\nloglevel=3\n[Main]\nport=2\n") << 47812 << 0;
    QTest::addRow("Windows line ends") << QByteArray("[main]\r\nport=8081\r\n[debug]\r\nloglevel=3\r\n") << 8081 << 3;
}

void TestSettings::valuesWrittenByHand()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, port);
    QFETCH(int, logLevel);

    writeIni(ini);
    Settings settings(nullptr);
    QCOMPARE(settings.GetPort(), quint16(port));
    QCOMPARE(settings.GetLogLevel(), logLevel);
}

void TestSettings::overrideIsNotWritten()
{
    writeIni("[trainsim]\npath=C:/Stored\n");
    {
        Settings settings(nullptr);
        QVERIFY(settings.HasTrainSimPath());
        settings.OverrideTrainSimPath(QStringLiteral("/tmp/Override"));
        QCOMPARE(settings.GetTrainSimPath(), QStringLiteral("/tmp/Override"));
        // The override answers even when the stored folder changes.
        settings.SetTrainSimPath(QStringLiteral("C:/Changed"));
        QCOMPARE(settings.GetTrainSimPath(), QStringLiteral("/tmp/Override"));
    }
    QSettings file(iniPath(), QSettings::IniFormat);
    QCOMPARE(file.value(QStringLiteral("trainsim/path")).toString(), QStringLiteral("C:/Changed"));

    // Without a stored folder, an override neither creates the key nor the file.
    QVERIFY(QFile::remove(iniPath()));
    {
        Settings settings(nullptr);
        settings.OverrideTrainSimPath(QStringLiteral("/tmp/Override"));
        QVERIFY(!settings.HasTrainSimPath());
        QCOMPARE(settings.GetTrainSimPath(), QStringLiteral("/tmp/Override"));
    }
    QVERIFY(!QFile::exists(iniPath()));
}

void TestSettings::concurrentReadsWhileWriting()
{
    // Client threads read the simulator folder while the window writes its
    // settings; every read must give one of the folders written, whole.
    Settings settings(nullptr);
    const QStringList folders = {QStringLiteral("C:/Games/RailWorks"), QStringLiteral("D:/Steam/steamapps/common/RailWorks")};
    settings.SetTrainSimPath(folders.at(0));

    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> bad{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            while (!done) {
                if (!folders.contains(settings.GetTrainSimPath()))
                    ++bad;
                ++reads;
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        settings.SetTrainSimPath(folders.at(i % 2));
        settings.SetIp(QStringLiteral("10.0.0.%1").arg(i % 250));
        settings.SetPort(quint16(1000 + i));
        QCOMPARE(settings.GetPort(), quint16(1000 + i));
    }
    // Make sure the readers really overlapped with some writes.
    QTRY_VERIFY(reads > 100);
    done = true;
    for (std::thread& thread : clients)
        thread.join();
    QCOMPARE(bad.load(), 0);
    QCOMPARE(settings.GetTrainSimPath(), folders.at(1));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
