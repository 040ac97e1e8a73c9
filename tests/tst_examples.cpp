// The example clients in examples/, run as a client author would run them:
// against kestreld serving a frozen copy of the simulated locomotive.

#include "processrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char* const kDescription = "name Kestrel.:.Railsim Test.:.Class 20 Example\n"
                                 "freeze\n"
                                 "controller Reverser -1 1 1\n"
                                 "controller Regulator 0 1 0.25\n"
                                 "controller TrainBrakeControl 0 1 0.5\n";

QString buildTreeFile(const QString& name)
{
    return QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absoluteFilePath(name);
}

} // namespace

class tst_Examples : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void pythonClient();
    void cppClient();

private:
    bool run(const QString& program, const QStringList& arguments, QString* out, int* status);

    QTemporaryDir m_simulator;
    QProcess m_server;
    quint16 m_port = 0;
};

void tst_Examples::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    const QString kestreld = buildTreeFile(QStringLiteral("kestreld"));
    QVERIFY2(QFile::exists(kestreld), qPrintable(kestreld + QStringLiteral(" is missing: build the target kestreld")));
    QVERIFY(m_simulator.isValid());
    QVERIFY(QDir(m_simulator.path()).mkpath(QStringLiteral("plugins")));
    QVERIFY(QFile::copy(QStringLiteral(KESTREL_SIMULATOR_DIR "/plugins/RailDriver64.dll"),
                        m_simulator.filePath(QStringLiteral("plugins/RailDriver64.dll"))));
    QFile description(m_simulator.filePath(QStringLiteral("plugins/railsim.loco")));
    QVERIFY(description.open(QIODevice::WriteOnly));
    description.write(kDescription);
    description.close();

    // A free port may be taken between our probe and kestreld's listen: then
    // kestreld exits, and another port is tried.
    m_server.setWorkingDirectory(m_simulator.path());
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    for (int attempt = 0; attempt < 5 && m_port == 0; ++attempt) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        m_server.start(kestreld, {"--port", QString::number(port), "--simulator-path", m_simulator.path()});
        QVERIFY(m_server.waitForStarted());
        const QByteArray listening = "Listening to port " + QByteArray::number(port);
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += m_server.readAll()).contains(listening)
                                     || m_server.state() == QProcess::NotRunning,
                                 10000);
        if (output.contains(listening))
            m_port = port;
        else
            m_server.waitForFinished();
    }
    QVERIFY2(m_port != 0, "kestreld did not start listening");
    // Its log goes on; a full pipe would stall it.
    connect(&m_server, &QProcess::readyRead, this, [this] { m_server.readAll(); });
}

void tst_Examples::cleanupTestCase()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(10000))
            m_server.kill();
    }
}

bool tst_Examples::run(const QString& program, const QStringList& arguments, QString* out, int* status)
{
    ProcessRun result;
    if (!runProcess(program, arguments, &result))
        return false;
    *status = result.status;
    *out = result.out;
    if (result.status != 0)
        qWarning("%s", qPrintable(result.err));
    return true;
}

void tst_Examples::pythonClient()
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        QSKIP("python3 is not installed");
    const QString script = QFileInfo(QStringLiteral(__FILE__)).absolutePath()
        + QStringLiteral("/../examples/python/kestrel_client.py");
    QVERIFY2(QFile::exists(script), qPrintable(script));

    QString out;
    int status = -1;
    QVERIFY(run(python, {script, "--host", "127.0.0.1", "--port", QString::number(m_port), "--count", "3",
                         "--interval", "0.05"},
                &out, &status));
    QCOMPARE(status, 0);
    QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 8);
    QCOMPARE(lines.mid(0, 5), QStringList({
                                  "server  Kestrel",
                                  "loco    Kestrel.:.Railsim Test.:.Class 20 Example",
                                  "    0  Reverser                           -1 .. 1",
                                  "    1  Regulator                           0 .. 1",
                                  "    2  TrainBrakeControl                   0 .. 1",
                              }));
    const QRegularExpression round(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d  Reverser=1  Regulator=0.25  TrainBrakeControl=0.5$"));
    for (const QString& line : lines.mid(5))
        QVERIFY2(round.match(line).hasMatch(), qPrintable(line));
}

void tst_Examples::cppClient()
{
    const QString client = buildTreeFile(QStringLiteral("example_client"));
    QVERIFY2(QFile::exists(client), qPrintable(client + QStringLiteral(" is missing: build the target example_client")));

    QString out;
    int status = -1;
    QVERIFY(run(client, {"127.0.0.1", QString::number(m_port)}, &out, &status));
    QCOMPARE(status, 0);
    QCOMPARE(out, QStringLiteral("loco: Kestrel.:.Railsim Test.:.Class 20 Example\n"
                                 "controller 0 = 1\n"
                                 "controller 1 = 0.25\n"
                                 "controller 2 = 0.5\n"));
}

QTEST_GUILESS_MAIN(tst_Examples)
#include "tst_examples.moc"
