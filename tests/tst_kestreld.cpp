// The headless server as a user runs it: its options, the lines it prints,
// the settings file it reads but does not write, and how it ends.

#include "loopbackclient.h"

#include <QtTest>
#include <QProcess>
#include <QTcpServer>

#include <memory>

namespace {

QString kestreld()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../kestreld"));
}

QString stubFolder()
{
    return QStringLiteral(KESTREL_STUB_DIR "/full");
}

// A port nobody listens on right now.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 0;
    return probe.serverPort();
}

const QRegularExpression kStamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d "));

} // namespace

class TestKestreld : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void informationOptions_data();
    void informationOptions();
    void servesTheFolderGiven();
    void simulatedLocomotiveWithoutStoredFolder();
    void logLevelFromSettings_data();
    void logLevelFromSettings();
    void portInUse();
    void terminateWithClientsConnected();
    void optionsDoNotWriteSettings_data();
    void optionsDoNotWriteSettings();

private:
    // Starts kestreld in the test's working directory.
    bool start(const QStringList& arguments);
    // Connects once the server accepts connections.
    bool connectWhenListening(LoopbackClient& client, quint16 port);
    void writeIni(const QByteArray& text);
    QString iniPath() const { return m_dir->filePath(QStringLiteral("kestrel.ini")); }
    QStringList stdoutLines();
    // The exit code and what the server wrote to standard error, for a
    // failure message.
    QString exitReport();
    // The printed lines without their time stamps.
    QStringList printedTexts();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_stdout;
};

void TestKestreld::initTestCase()
{
    QVERIFY2(QFileInfo(kestreld()).isExecutable(), qPrintable(kestreld()));
    QVERIFY(QFileInfo::exists(stubFolder() + QStringLiteral("/plugins/RailDriver64.dll")));
}

void TestKestreld::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_stdout.clear();
}

void TestKestreld::cleanup()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    m_process.reset();
    m_dir.reset();
}

bool TestKestreld::start(const QStringList& arguments)
{
    m_process = std::make_unique<QProcess>();
    m_process->setWorkingDirectory(m_dir->path());
    m_process->setProgram(kestreld());
    m_process->setArguments(arguments);
    m_process->start();
    return m_process->waitForStarted(5000);
}

bool TestKestreld::connectWhenListening(LoopbackClient& client, quint16 port)
{
    // The listening line may be below the log threshold, so ask the port.
    return QTest::qWaitFor(
        [&] {
            if (m_process->state() != QProcess::Running)
                return true;
            if (client.socket().state() == QAbstractSocket::ConnectedState)
                return true;
            client.socket().abort();
            client.socket().connectToHost(QHostAddress::LocalHost, port);
            return client.socket().waitForConnected(200);
        },
        10000)
        && client.socket().state() == QAbstractSocket::ConnectedState;
}

void TestKestreld::writeIni(const QByteArray& text)
{
    QFile file(iniPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

QStringList TestKestreld::stdoutLines()
{
    m_stdout += m_process->readAllStandardOutput();
    QStringList lines = QString::fromLocal8Bit(m_stdout).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QString TestKestreld::exitReport()
{
    return QStringLiteral("exit code %1, standard error:\n%2")
        .arg(m_process->exitCode())
        .arg(QString::fromLocal8Bit(m_process->readAllStandardError().left(6000)));
}

QStringList TestKestreld::printedTexts()
{
    QStringList texts;
    for (const QString& line : stdoutLines())
        texts << line.mid(13);
    return texts;
}

void TestKestreld::informationOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdoutPattern");
    QTest::addColumn<bool>("stderrEmpty");

    QTest::addRow("--help lists the options")
        << QStringList{QStringLiteral("--help")} << 0
        << QStringLiteral("--port <N>[\\s\\S]*--simulator-path <DIR>") << true;
    QTest::addRow("--version prints the version")
        << QStringList{QStringLiteral("--version")} << 0 << QStringLiteral("^kestreld \\d+\\.\\d+\\.\\d+\\.\\d+\\n$") << true;
    QTest::addRow("--port that is not a number is refused")
        << QStringList{QStringLiteral("--port"), QStringLiteral("http")} << 2 << QStringLiteral("^$") << false;
    QTest::addRow("--port above 65535 is refused")
        << QStringList{QStringLiteral("--port"), QStringLiteral("65536")} << 2 << QStringLiteral("^$") << false;
}

void TestKestreld::informationOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutPattern);
    QFETCH(bool, stderrEmpty);

    QVERIFY(start(arguments));
    QVERIFY(m_process->waitForFinished(5000));
    QCOMPARE(m_process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_process->exitCode(), exitCode);
    const QString out = QString::fromLocal8Bit(m_process->readAllStandardOutput());
    QVERIFY2(QRegularExpression(stdoutPattern).match(out).hasMatch(), qPrintable(out));
    QCOMPARE(m_process->readAllStandardError().isEmpty(), stderrEmpty);
    QVERIFY(!QFile::exists(iniPath()));
}

void TestKestreld::servesTheFolderGiven()
{
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QVERIFY(start({QStringLiteral("--port"), QString::number(port), QStringLiteral("--simulator-path"), stubFolder()}));

    const QString listening = QStringLiteral("(Server) - Listening to port %1").arg(port);
    QTRY_VERIFY_WITH_TIMEOUT(stdoutLines().size() >= 2, 10000);
    QStringList lines = stdoutLines();
    QVERIFY2(kStamp.match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
    QCOMPARE(lines.at(0).mid(13), QStringLiteral("(Main) - Serving the simulator folder ") + stubFolder());
    QCOMPARE(lines.at(1).mid(13), listening);

    // A fresh stub in another process answers an empty name; the library
    // is loaded, or the answer would be "NO RESULT".
    LoopbackClient client;
    QVERIFY(client.connectTo(port));
    QVERIFY(client.send("GetLocoName()<END>GetControllerValue(0;0)"));
    QCOMPARE(client.receive(1), QByteArray("0"));
    QVERIFY(client.send(LoopbackClient::frame(5, 77, QString())));
    QCOMPARE(client.receiveFrame(), LoopbackClient::frame(5, 77, QString()));
    QVERIFY(client.send(LoopbackClient::frame(2, 78, QString())));
    QCOMPARE(client.receiveFrame(), LoopbackClient::frame(2, 78, QStringLiteral("Kestrel")));

    QTRY_VERIFY(printedTexts().contains(QStringLiteral("(Server) - Command: GetLocoName()")));
}

void TestKestreld::simulatedLocomotiveWithoutStoredFolder()
{
    const quint16 port = freePort();
    QVERIFY(port != 0);
    writeIni("[main]\nip=10.0.0.1\n");
    QVERIFY(start({QStringLiteral("--port"), QString::number(port)}));
    QTRY_VERIFY_WITH_TIMEOUT(!stdoutLines().isEmpty(), 10000);
    const QString first = stdoutLines().at(0);
    QVERIFY2(kStamp.match(first).hasMatch(), qPrintable(first));
    QVERIFY2(first.contains(QStringLiteral("simulated locomotive")), qPrintable(first));
    QVERIFY2(first.contains(iniPath()) || first.contains(QFileInfo(iniPath()).canonicalFilePath()), qPrintable(first));

    // Whatever the simulated locomotive is called, its library answered.
    LoopbackClient client;
    QVERIFY(connectWhenListening(client, port));
    QVERIFY(client.send(LoopbackClient::frame(5, 1, QString())));
    const QByteArray reply = client.receiveFrame();
    QVERIFY2(reply.startsWith("@") && reply.mid(8, 11) == "005;000001;", reply.constData());
    QVERIFY2(reply.size() > 20 && !reply.contains("NO RESULT"), reply.constData());
}

void TestKestreld::logLevelFromSettings_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("levelZeroShown");
    QTest::addColumn<bool>("levelOneShown");

    QTest::addRow("no threshold: every line") << QByteArray() << true << true;
    QTest::addRow("threshold 1 hides level 0") << QByteArray("[debug]\nloglevel=1\n") << false << true;
    QTest::addRow("threshold 2 hides everything") << QByteArray("[debug]\nloglevel=2\n") << false << false;
    QTest::addRow("negative threshold shows everything") << QByteArray("[debug]\nloglevel=-1\n") << true << true;
    QTest::addRow("threshold not a number counts as 0") << QByteArray("[debug]\nloglevel=quiet\n") << true << true;
}

void TestKestreld::logLevelFromSettings()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, levelZeroShown);
    QFETCH(bool, levelOneShown);

    if (!ini.isEmpty())
        writeIni(ini);
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QVERIFY(start({QStringLiteral("--port"), QString::number(port), QStringLiteral("--simulator-path"), stubFolder()}));

    LoopbackClient client;
    QVERIFY(connectWhenListening(client, port));
    QVERIFY(client.send("GetControllerValue(0;0)"));
    QCOMPARE(client.receive(1), QByteArray("0"));
    client.close();
    if (levelZeroShown) {
        QTRY_VERIFY_WITH_TIMEOUT(
            !printedTexts().filter(QStringLiteral("(Server) - Client disconnected ID:")).isEmpty(), 10000);
    }
    m_process->terminate();
    QVERIFY(m_process->waitForFinished(5000));
    QVERIFY2(m_process->exitCode() == 0, qPrintable(exitReport()));

    const QStringList lines = stdoutLines();
    QVERIFY(!lines.isEmpty());
    QStringList texts;
    for (const QString& line : lines) {
        QVERIFY2(kStamp.match(line).hasMatch(), qPrintable(line));
        texts << line.mid(13);
    }
    // The first line is the program's own and always shown.
    QVERIFY(texts.at(0).startsWith(QStringLiteral("(Main) - ")));
    const QString listening = QStringLiteral("(Server) - Listening to port %1").arg(port);
    QCOMPARE(texts.contains(listening), levelZeroShown);
    QCOMPARE(texts.filter(QStringLiteral("(Server) - Connecting... ")).size(), levelZeroShown ? 1 : 0);
    QCOMPARE(texts.filter(QStringLiteral("(Server) - Client disconnected ID:")).size(), levelZeroShown ? 1 : 0);
    QCOMPARE(texts.contains(QStringLiteral("(Server) - Command: GetControllerValue(0;0)")), levelOneShown);
    if (levelZeroShown) {
        // The same id in both lines.
        const QString connecting = texts.filter(QStringLiteral("(Server) - Connecting... ")).at(0);
        const QString id = connecting.mid(connecting.lastIndexOf(QLatin1Char(' ')) + 1);
        QVERIFY(texts.contains(QStringLiteral("(Server) - Client disconnected ID:") + id));
    }
}

void TestKestreld::portInUse()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    QVERIFY(start({QStringLiteral("--port"), QString::number(holder.serverPort()), QStringLiteral("--simulator-path"),
                   stubFolder()}));
    QVERIFY(m_process->waitForFinished(5000));
    QCOMPARE(m_process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_process->exitCode(), 1);
    const QString err = QString::fromLocal8Bit(m_process->readAllStandardError());
    QVERIFY2(err.contains(QString::number(holder.serverPort())), qPrintable(err));
    QVERIFY(stdoutLines().join(QLatin1Char('\n')).contains(QStringLiteral("(Server) - Could not start server")));
}

void TestKestreld::terminateWithClientsConnected()
{
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QVERIFY(start({QStringLiteral("--port"), QString::number(port), QStringLiteral("--simulator-path"), stubFolder()}));

    LoopbackClient idle;
    LoopbackClient midFrame;
    LoopbackClient served;
    QVERIFY(connectWhenListening(idle, port));
    QVERIFY(midFrame.connectTo(port));
    QVERIFY(served.connectTo(port));
    QVERIFY(midFrame.send(LoopbackClient::frame(7, 1, QString()).left(12)));
    QVERIFY(served.send(LoopbackClient::frame(2, 1, QString())));
    QCOMPARE(served.receiveFrame(), LoopbackClient::frame(2, 1, QStringLiteral("Kestrel")));

    QElapsedTimer clock;
    clock.start();
    m_process->terminate();
    QVERIFY(m_process->waitForFinished(5000));
    QCOMPARE(m_process->exitStatus(), QProcess::NormalExit);
    QVERIFY2(m_process->exitCode() == 0, qPrintable(exitReport()));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(idle.waitForClosed());
    QVERIFY(midFrame.waitForClosed());
    QVERIFY(served.waitForClosed());
}

void TestKestreld::optionsDoNotWriteSettings_data()
{
    QTest::addColumn<QByteArray>("ini"); // empty: no file

    QTest::addRow("no file before, none after") << QByteArray();
    QTest::addRow("stored port and folder stay as they were")
        << QByteArray("[main]\nport=1\n\n[trainsim]\npath=C:/Games/RailWorks\n");
}

void TestKestreld::optionsDoNotWriteSettings()
{
    QFETCH(QByteArray, ini);

    if (!ini.isEmpty())
        writeIni(ini);
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QVERIFY(start({QStringLiteral("--port"), QString::number(port), QStringLiteral("--simulator-path"), stubFolder()}));
    LoopbackClient client;
    QVERIFY(connectWhenListening(client, port));
    QVERIFY(client.send(LoopbackClient::frame(2, 1, QString())));
    QCOMPARE(client.receiveFrame(), LoopbackClient::frame(2, 1, QStringLiteral("Kestrel")));
    m_process->terminate();
    QVERIFY(m_process->waitForFinished(5000));
    QVERIFY2(m_process->exitCode() == 0, qPrintable(exitReport()));

    if (ini.isEmpty()) {
        QVERIFY(!QFile::exists(iniPath()));
    } else {
        QFile file(iniPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), ini);
    }
}

QTEST_GUILESS_MAIN(TestKestreld)
#include "tst_kestreld.moc"
