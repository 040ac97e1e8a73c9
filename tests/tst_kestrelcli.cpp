// kestrel-cli as its users run it: the built executable in a QProcess,
// against a server in this process (TSServer on a stub library, or on a copy
// of the simulated locomotive), against a scripted fake server for the
// failures a real one does not produce, and against a closed port.

#include "processrun.h"
#include "settings.h"
#include "stubs/stublibrary.h"
#include "tsserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

using CliRun = ProcessRun;

// A server that answers the first request of each connection with a scripted
// reply. In the script "TTTTTT" becomes the request's tag and "LLLLLL" the
// frame length; "<split>" sends the rest 50 ms later, a final "<close>"
// closes the connection. An empty script never answers.
class FakeServer : public QObject
{
public:
    explicit FakeServer(QByteArray script)
        : m_script(std::move(script))
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = m_server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                const QByteArray request = socket->readAll();
                if (!m_answered) {
                    m_answered = true;
                    answer(socket, request);
                }
            });
        });
    }

    quint16 port() const { return m_server.serverPort(); }

private:
    void answer(QTcpSocket* socket, const QByteArray& request)
    {
        QByteArray reply = m_script;
        reply.replace("TTTTTT", request.startsWith('@') ? request.mid(12, 6) : QByteArray("000000"));
        const bool close = reply.endsWith("<close>");
        if (close)
            reply.chop(7);
        const int split = reply.indexOf("<split>");
        if (split >= 0)
            reply.remove(split, 7);
        if (reply.startsWith("@LLLLLL;"))
            reply.replace(1, 6, QByteArray::number(reply.size() - 8).rightJustified(6, '0'));
        socket->write(split >= 0 ? reply.left(split) : reply);
        if (split >= 0)
            QTimer::singleShot(50, socket, [socket, rest = reply.mid(split)] { socket->write(rest); });
        if (close)
            socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QByteArray m_script;
    bool m_answered = false;
};

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

const char* const kLocoName = "Kestrel.:.Prüfstand.:.Class 66 Demonstrator";

// What every stub case answers, where it has the function.
void configure(StubLibrary& stub)
{
    stub.reset();
    stub.setLocoName(QString::fromUtf8(kLocoName));
    stub.setControllerList(QStringLiteral("Reverser::Regulator::Ammeter"));
    const float values[3][3] = {{1, -1, 1}, {0.5f, 0, 1}, {-250, -1500, 1500}};
    for (int index = 0; index < 3; ++index) {
        for (int type = 0; type < 3; ++type)
            stub.setValue(index, type, values[index][type]);
    }
    stub.setValue(400, 0, 51.5f);   // latitude
    stub.setValue(401, 0, -0.125f); // longitude
    stub.setValue(404, 0, 0.5f);    // gradient
    stub.setValue(406, 0, 8);
    stub.setValue(407, 0, 30);
    stub.setValue(408, 0, 15);
    stub.setRailSimValue(30, -42.25f); // speed, sent without its sign
    stub.setRailSimValue(2, 0.75f);
    stub.setRailSimValue(7, 1);
}

const char* const kNewSharedValues = "text1\n"
                                     "text2\n"
                                     "number  0\n"
                                     "int1    9\n"
                                     "int2    169\n"
                                     "int3    300\n"
                                     "int4    200\n"
                                     "int5    200\n";

} // namespace

class tst_KestrelCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commandOutput_data();
    void commandOutput();
    void trainData_data();
    void trainData();
    void setReachesLibrary_data();
    void setReachesLibrary();
    void setThenGetReadsBack();
    void shareThenShared();
    void nameReachesServer();
    void clientIdIsTheServersId();
    void watchWithoutTerminal_data();
    void watchWithoutTerminal();
    void usageErrors_data();
    void usageErrors();
    void failingServers_data();
    void failingServers();
    void closedPortIsNamed();

private:
    bool startServer(const QString& folder);
    bool runCli(const QStringList& arguments, CliRun* run);
    QStringList atServer(const QStringList& arguments) const;

    QTemporaryDir m_workDir;
    QString m_cli;
    std::unique_ptr<StubLibrary> m_full;
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<TSServer> m_server;
    QStringList m_serverLog;
};

void tst_KestrelCli::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    QVERIFY(m_workDir.isValid());
    // Settings read "kestrel.ini" from the working directory.
    QVERIFY(QDir::setCurrent(m_workDir.path()));
    m_cli = QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absoluteFilePath(QStringLiteral("kestrel-cli"));
    QVERIFY2(QFile::exists(m_cli), qPrintable(m_cli + QStringLiteral(" is missing: build the target kestrel-cli")));
    m_full = std::make_unique<StubLibrary>(QStringLiteral("full"));
    QVERIFY2(m_full->isValid(), qPrintable(m_full->errorString()));
}

void tst_KestrelCli::init()
{
    configure(*m_full);
    QVERIFY(startServer(m_full->folder()));
}

void tst_KestrelCli::cleanup()
{
    m_server.reset();
    m_settings.reset();
    m_serverLog.clear();
}

bool tst_KestrelCli::startServer(const QString& folder)
{
    cleanup();
    m_settings = std::make_unique<Settings>(nullptr);
    m_settings->OverrideTrainSimPath(folder);
    m_server = std::make_unique<TSServer>(m_settings.get());
    connect(m_server.get(), &TSServer::sigDebugString, this, [this](const QString& text) { m_serverLog.append(text); });
    m_server->startListening(QString(), 0);
    return m_server->isListening();
}

QStringList tst_KestrelCli::atServer(const QStringList& arguments) const
{
    return QStringList{QStringLiteral("--port"), QString::number(m_server->serverPort())} + arguments;
}

// Runs kestrel-cli while this event loop keeps serving.
bool tst_KestrelCli::runCli(const QStringList& arguments, CliRun* run)
{
    return runProcess(m_cli, arguments, run);
}

void tst_KestrelCli::commandOutput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");

    QTest::addRow("server-name answers Kestrel") << QStringList{"server-name"} << "Kestrel\n";
    QTest::addRow("loco prints the UTF-8 name unchanged") << QStringList{"loco"} << QString::fromUtf8(kLocoName) + '\n';
    QTest::addRow("list aligns index, name, min and max")
        << QStringList{"list"}
        << "INDEX  NAME         MIN   MAX\n"
           "    0  Reverser      -1     1\n"
           "    1  Regulator      0     1\n"
           "    2  Ammeter    -1500  1500\n";
    QTest::addRow("list --json passes the server's document through")
        << QStringList{"list", "--json"}
        << "{\n"
           "    \"controller\": [\n"
           "        {\n            \"ID\": 0,\n            \"Max\": 1,\n            \"Min\": -1,\n            \"Name\": \"Reverser\"\n        },\n"
           "        {\n            \"ID\": 1,\n            \"Max\": 1,\n            \"Min\": 0,\n            \"Name\": \"Regulator\"\n        },\n"
           "        {\n            \"ID\": 2,\n            \"Max\": 1500,\n            \"Min\": -1500,\n            \"Name\": \"Ammeter\"\n        }\n"
           "    ]\n"
           "}\n";
    QTest::addRow("get prints one line per id, in request order") << QStringList{"get", "2", "0"} << "2 -250\n0 1\n";
    QTest::addRow("get writes ids without leading zeros") << QStringList{"get", "001"} << "1 0.5\n";
    QTest::addRow("shared labels the values of a new server") << QStringList{"shared"} << kNewSharedValues;
    QTest::addRow("text prints the raw answer and a line end")
        << QStringList{"text", "GetControllerValue(1;0)<END>"} << "0.5\n";
    QTest::addRow("text collects answers that arrive back to back")
        << QStringList{"text", "GetControllerValue(1;0)<END>GetControllerValue(2;1)<END>"} << "0.5-1500\n";
}

void tst_KestrelCli::commandOutput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    CliRun run;
    QVERIFY(runCli(atServer(arguments), &run));
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QCOMPARE(run.out, expected);
}

void tst_KestrelCli::trainData_data()
{
    QTest::addColumn<QString>("stubCase");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("status");

    QTest::addRow("full library: nine labelled fields, then the shared values")
        << "full"
        << "latitude         51.5000000\n"
           "longitude        -0.1250000\n"
           "gradient         0.5000000\n"
           "time of day      08:30:15\n"
           "speed            42.25\n"
           "throttle         0.75\n"
           "emergency brake  1\n"
           "text1\n"
           "text2\n"
           "number           0\n"
           "int1             9\n"
           "int2             169\n"
           "int3             300\n"
           "int4             200\n"
           "int5             200\n"
        << 0;
    QTest::addRow("library without simulator values: the six-field short form")
        << "no_GetRailSimValue"
        << "latitude     51.5\n"
           "longitude    -0.125\n"
           "gradient     0.5\n"
           "time of day  08:30:15\n"
           "text1\n"
           "text2\n"
           "number       0\n"
           "int1         9\n"
           "int2         169\n"
           "int3         300\n"
           "int4         200\n"
           "int5         200\n"
        << 0;
    QTest::addRow("library without values: shared values and status 1")
        << "no_GetControllerValue" << QString::fromLatin1(kNewSharedValues) << 1;
}

void tst_KestrelCli::trainData()
{
    QFETCH(QString, stubCase);
    QFETCH(QString, expected);
    QFETCH(int, status);
    StubLibrary stub(stubCase);
    QVERIFY2(stub.isValid(), qPrintable(stub.errorString()));
    configure(stub);
    QVERIFY(startServer(stub.folder()));

    CliRun run;
    QVERIFY(runCli(atServer({"train"}), &run));
    QCOMPARE(run.status, status);
    QCOMPARE(run.out, expected);
    if (status != 0)
        QVERIFY2(run.err.contains("no result"), qPrintable(run.err));
}

void tst_KestrelCli::setReachesLibrary_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("call");

    QTest::addRow("decimal point") << QStringList{"set", "1", "0.75"} << "Set CtrlValue: 1:0.75\n"
                                   << "SetControllerValue(1,0.75);";
    QTest::addRow("decimal comma is sent as a point") << QStringList{"set", "1", "0,75"} << "Set CtrlValue: 1:0.75\n"
                                                      << "SetControllerValue(1,0.75);";
    QTest::addRow("negative value is no option") << QStringList{"set", "0", "-1"} << "Set CtrlValue: 0:-1\n"
                                                 << "SetControllerValue(0,-1);";
}

void tst_KestrelCli::setReachesLibrary()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, answer);
    QFETCH(QString, call);
    CliRun run;
    QVERIFY(runCli(atServer(arguments), &run));
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QCOMPARE(run.out, answer);
    QVERIFY2(m_full->callLog().contains(call), qPrintable(m_full->callLog()));
}

// The stubs do not keep what is set; the simulated locomotive does.
void tst_KestrelCli::setThenGetReadsBack()
{
    QTemporaryDir simulator;
    QVERIFY(simulator.isValid());
    QVERIFY(QDir(simulator.path()).mkpath(QStringLiteral("plugins")));
    const QString library = simulator.filePath(QStringLiteral("plugins/RailDriver64.dll"));
    QVERIFY(QFile::copy(QStringLiteral(KESTREL_SIMULATOR_DIR "/plugins/RailDriver64.dll"), library));
    QFile description(simulator.filePath(QStringLiteral("plugins/railsim.loco")));
    QVERIFY(description.open(QIODevice::WriteOnly));
    description.write("name Kestrel.:.Railsim Test.:.Class 20\nfreeze\n"
                      "controller Reverser -1 1 1\ncontroller Regulator 0 1 0.25\n");
    description.close();
    QVERIFY(startServer(simulator.path()));

    CliRun run;
    QVERIFY(runCli(atServer({"get", "1"}), &run));
    QCOMPARE(run.out, QStringLiteral("1 0.25\n"));
    QVERIFY(runCli(atServer({"set", "1", "0.75"}), &run));
    QCOMPARE(run.out, QStringLiteral("Set CtrlValue: 1:0.75\n"));
    QVERIFY(runCli(atServer({"get", "1", "0"}), &run));
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QCOMPARE(run.out, QStringLiteral("1 0.75\n0 1\n"));
    cleanup();
}

void tst_KestrelCli::shareThenShared()
{
    CliRun run;
    QVERIFY(runCli(atServer({"share", "Cab A", "Panel", "1,5", "-7", "2", "3", "4", "5"}), &run));
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QCOMPARE(run.out, QStringLiteral("TRUE\n"));

    QVERIFY(runCli(atServer({"shared"}), &run));
    QCOMPARE(run.out, QStringLiteral("text1   Cab A\n"
                                     "text2   Panel\n"
                                     "number  1.5\n"
                                     "int1    -7\n"
                                     "int2    2\n"
                                     "int3    3\n"
                                     "int4    4\n"
                                     "int5    5\n"));
}

void tst_KestrelCli::nameReachesServer()
{
    CliRun run;
    QVERIFY(runCli(atServer({"name", "Cab display"}), &run));
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QCOMPARE(run.out, QString());
    QTRY_VERIFY(m_serverLog.contains(QStringLiteral("(Server) - Client Name: Cab display")));
}

void tst_KestrelCli::clientIdIsTheServersId()
{
    CliRun run;
    QVERIFY(runCli(atServer({"client-id"}), &run));
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QVERIFY(run.out.endsWith('\n'));
    QVERIFY(m_serverLog.contains(QStringLiteral("(Server) - Connecting... ") + run.out.trimmed()));
}

void tst_KestrelCli::watchWithoutTerminal_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("rounds");
    QTest::addColumn<QString>("values");

    QTest::addRow("chosen ids, three rounds") << QStringList{"watch", "0", "2", "--interval", "20", "--count", "3"} << 3
                                              << " Reverser=1 Ammeter=-250";
    QTest::addRow("no ids: every controller") << QStringList{"watch", "--count", "2"} << 2
                                              << " Reverser=1 Regulator=0.5 Ammeter=-250";
    QTest::addRow("an id the list lacks is shown by number") << QStringList{"watch", "7", "--count", "1"} << 1 << " #7=0";
}

void tst_KestrelCli::watchWithoutTerminal()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, rounds);
    QFETCH(QString, values);
    CliRun run;
    QVERIFY(runCli(atServer(arguments), &run));
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QVERIFY2(!run.out.contains(QLatin1Char('\x1b')), "ANSI sequences without a terminal");
    const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), rounds);
    const QRegularExpression line(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d") + QRegularExpression::escape(values) + '$');
    for (const QString& text : lines)
        QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
}

void tst_KestrelCli::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::addRow("no command") << QStringList{} << "no command given";
    QTest::addRow("unknown command") << QStringList{"horn"} << "unknown command \"horn\"";
    QTest::addRow("unknown option") << QStringList{"--verbose", "loco"} << "unknown option \"--verbose\"";
    QTest::addRow("port beyond 65535") << QStringList{"--port", "70000", "loco"} << "--port needs a number";
    QTest::addRow("timeout that is no number") << QStringList{"--timeout", "soon", "loco"} << "--timeout needs";
    QTest::addRow("get without ids") << QStringList{"get"} << "get needs at least 1";
    QTest::addRow("get with a negative id") << QStringList{"get", "1", "-2"} << "\"-2\" is no controller id";
    QTest::addRow("set without a value") << QStringList{"set", "1"} << "set takes 2 argument(s)";
    QTest::addRow("set with a value that is no number") << QStringList{"set", "1", "full"} << "\"full\" is no number";
    QTest::addRow("share with seven values") << QStringList{"share", "a", "b", "1", "1", "2", "3", "4"}
                                             << "share takes 8";
    QTest::addRow("share with a colon in a text") << QStringList{"share", "a:b", "c", "1", "1", "2", "3", "4", "5"}
                                                  << "TEXT1 \"a:b\" holds a \":\"";
    QTest::addRow("share with an integer beyond 32 bits")
        << QStringList{"share", "a", "b", "1", "1", "2", "3", "4", "4294967296"} << "INT5 \"4294967296\"";
    QTest::addRow("watch --count 0") << QStringList{"watch", "--count", "0"} << "--count needs a number above 0";
    QTest::addRow("watch --interval without its value") << QStringList{"watch", "--interval"} << "--interval needs a value";
    QTest::addRow("text with nothing to send") << QStringList{"text", ""} << "text needs something";
}

// The port is closed: status 2 rather than 3 shows the arguments are
// checked before any connection is tried.
void tst_KestrelCli::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    CliRun run;
    QVERIFY(runCli(QStringList{"--port", QString::number(closedPort())} + arguments, &run));
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(run.out, QString());
}

void tst_KestrelCli::failingServers_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("message");

    const QStringList loco{"--timeout", "400", "loco"};
    QTest::addRow("silent server: timeout") << loco << QByteArray() << 4 << "" << "no reply from 127.0.0.1:";
    QTest::addRow("reply split in two segments is joined")
        << loco << QByteArray("@LLLLLL;005;TTTTTT;Class<split> 66;") << 0 << "Class 66\n" << "";
    QTest::addRow("reply that is no frame") << loco << QByteArray("Class 66") << 5 << "" << "the reply is no frame";
    QTest::addRow("reply with the wrong code") << loco << QByteArray("@LLLLLL;004;TTTTTT;x;") << 5 << ""
                                               << "carries code 4 instead of 5";
    QTest::addRow("replies with other tags only") << loco << QByteArray("@LLLLLL;005;999998;x;") << 5 << ""
                                                  << "tag 999998 instead of 1";
    QTest::addRow("reply without its closing ;") << loco << QByteArray("@LLLLLL;005;TTTTTT;x") << 5 << ""
                                                 << "no well-formed frame";
    QTest::addRow("reply with an unreadable length") << loco << QByteArray("@00x013;005;TTTTTT;x;") << 5 << ""
                                                     << "header is unreadable";
    QTest::addRow("connection closed without a reply") << loco << QByteArray("<close>") << 6 << ""
                                                       << "closed the connection without replying";
    QTest::addRow("connection closed halfway through the reply") << loco << QByteArray("@000020;005;TTTTTT;<close>")
                                                                 << 6 << "" << "halfway";
    QTest::addRow("loco answered NO RESULT") << loco << QByteArray("@LLLLLL;005;TTTTTT;NO RESULT;") << 1 << ""
                                             << "no result: NO RESULT";
    QTest::addRow("share answered FALSE") << QStringList{"share", "a", "b", "1", "1", "2", "3", "4", "5"}
                                          << QByteArray("@LLLLLL;010;TTTTTT;FALSE;") << 1 << "FALSE\n" << "";
    QTest::addRow("get answered with fewer records than ids")
        << QStringList{"get", "1", "2"} << QByteArray("@LLLLLL;007;TTTTTT;1:0.5::;") << 5 << ""
        << "one ID:VALUE:: record per id";
    QTest::addRow("get echoed by a server without library")
        << QStringList{"get", "1", "2"} << QByteArray("@LLLLLL;007;TTTTTT;1:2;") << 1 << "" << "came back unchanged";
    QTest::addRow("set answered no result") << QStringList{"set", "1", "0.5"}
                                            << QByteArray("@LLLLLL;008;TTTTTT;no result;") << 1 << "" << "no result";
    QTest::addRow("list --json answered with no JSON")
        << QStringList{"--timeout", "400", "list", "--json"} << QByteArray("FUNCTION NOT IMPLEMENTED") << 1 << ""
        << "FUNCTION NOT IMPLEMENTED";
    QTest::addRow("text without an answer prints nothing and succeeds")
        << QStringList{"--timeout", "400", "text", "SetControllerValue(1;0.5)"} << QByteArray() << 0 << ""
        << "no answer within 400 ms";
}

void tst_KestrelCli::failingServers()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, script);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, message);
    FakeServer server(script);
    QVERIFY(server.port() != 0);

    CliRun run;
    QVERIFY(runCli(QStringList{"--port", QString::number(server.port())} + arguments, &run));
    QVERIFY2(run.status == status, qPrintable(QStringLiteral("status %1: %2").arg(run.status).arg(run.err)));
    QCOMPARE(run.out, out);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
}

void tst_KestrelCli::closedPortIsNamed()
{
    const quint16 port = closedPort();
    CliRun run;
    QVERIFY(runCli({"--port", QString::number(port), "loco"}, &run));
    QCOMPARE(run.status, 3);
    QVERIFY2(run.err.contains(QStringLiteral("cannot connect to 127.0.0.1:%1").arg(port)), qPrintable(run.err));
}

QTEST_GUILESS_MAIN(tst_KestrelCli)
#include "tst_kestrelcli.moc"
