// The programs as their users run them: kestreld's options, first line,
// settings and log level; kestrel-cli against kestreld, against scripted
// servers that fail in every way a reply can, and against a closed port; the
// example clients against kestreld.

#include "loopbackclient.h"
#include "serverprocess.h"

#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

namespace {

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

// Runs a program to its end while this thread's event loop keeps going.
Run runProgram(const QString& program, const QStringList& arguments, const QString& workingDir = QString())
{
    QProcess process;
    process.setWorkingDirectory(workingDir);
    process.start(program, arguments);
    Run run;
    if (!process.waitForStarted(10000) || !QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    // Text as the program meant it, whatever line ends the system writes.
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    run.err = QString::fromLocal8Bit(process.readAllStandardError()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return run;
}

QString buildFile(const char* name)
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../") + QLatin1String(name));
}

// Answers the first request of each connection with a scripted reply:
// "TTTTTT" becomes the request's tag, "LLLLLL" the frame length, "<split>"
// sends the rest 50 ms later, a final "<close>" closes the connection. An
// empty script never answers.
class ScriptedServer : public QObject
{
public:
    explicit ScriptedServer(QByteArray script)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this, script] {
            QTcpSocket* socket = m_server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, script] {
                const QByteArray request = socket->readAll();
                if (script.isEmpty() || socket->property("answered").toBool())
                    return;
                socket->setProperty("answered", true);
                QByteArray reply = script;
                reply.replace("TTTTTT", request.startsWith('@') ? request.mid(12, 6) : QByteArray("000000"));
                const bool close = reply.endsWith("<close>");
                reply.replace("<close>", "");
                const int split = reply.indexOf("<split>");
                reply.replace("<split>", "");
                if (reply.startsWith("@LLLLLL;"))
                    reply.replace(1, 6, QByteArray::number(reply.size() - 8).rightJustified(6, '0'));
                socket->write(reply.left(split < 0 ? reply.size() : split));
                if (split >= 0)
                    QTimer::singleShot(50, socket, [socket, rest = reply.mid(split)] { socket->write(rest); });
                if (close)
                    socket->disconnectFromHost();
            });
        });
    }
    quint16 port() const { return m_server.serverPort(); }

private:
    QTcpServer m_server;
};

} // namespace

class TestPrograms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void kestreldOptions_data();
    void kestreldOptions();
    void kestreldFirstLine_data();
    void kestreldFirstLine();
    void kestreldLogLevel();
    void cli_data();
    void cli();
    void cliFailures_data();
    void cliFailures();
    void examples_data();
    void examples();

private:
    ServerProcess m_server; // kestreld on the simulated locomotive, for the clients
};

void TestPrograms::initTestCase()
{
    QVERIFY2(m_server.start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--simulator-path"),
                             QStringLiteral(KESTREL_SIMULATOR_DIR)}),
             qPrintable(ServerProcess::kestreld()));
    // Its log goes on; a full pipe would only cost it lines, but read it anyway.
    connect(&m_server.process(), &QProcess::readyReadStandardOutput, this, [this] { m_server.output(); });
}

void TestPrograms::kestreldOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("printed"); // on standard output or error
    QTest::addRow("--help lists the options") << QStringList{"--help"} << 0 << "--simulator-path <DIR>";
    QTest::addRow("--version") << QStringList{"--version"} << 0 << "kestreld " KESTREL_VERSION;
    QTest::addRow("--port without a number") << QStringList{"--port", "x"} << 2 << "--port needs a number from 0 to 65535";
    QTest::addRow("an unknown option") << QStringList{"--bogus"} << 2 << "Unknown option 'bogus'";
    QTest::addRow("a port in use") << QStringList{"--port", "PORT"} << 1 << "cannot listen on port";
    QTest::addRow("--live-port without a number") << QStringList{"--live-port", "-1"} << 2 << "--live-port needs a number";
}

void TestPrograms::kestreldOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, printed);
    arguments.replaceInStrings(QStringLiteral("PORT"), QString::number(m_server.port()));
    QTemporaryDir dir;
    const Run run = runProgram(ServerProcess::kestreld(), arguments, dir.path());
    QCOMPARE(run.status, status);
    QVERIFY2((run.out + run.err).contains(printed), qPrintable(run.out + run.err));
}

void TestPrograms::kestreldFirstLine_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("line"); // DIR: the working directory
    QTest::addRow("without a stored folder it serves the simulated locomotive")
        << QByteArray() << QStringList()
        << "(Main) - No \"trainsim/path\" in DIR/kestrel.ini: serving the simulated locomotive in " KESTREL_SIMULATOR_DIR;
    QTest::addRow("the stored folder") << QByteArray("[trainsim]\npath=/sim/stored\n") << QStringList()
                                       << "(Main) - Serving the simulator folder /sim/stored";
    QTest::addRow("--simulator-path serves a folder for this run only")
        << QByteArray("[trainsim]\npath=/sim/stored\n[main]\nport=1\n") << QStringList{"--simulator-path", "/sim/given"}
        << "(Main) - Serving the simulator folder /sim/given";
}

void TestPrograms::kestreldFirstLine()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, arguments);
    QFETCH(QString, line);
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("kestrel.ini")));
    if (!ini.isEmpty())
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size());
    file.close();

    ServerProcess server;
    QVERIFY(server.start(QStringList{"--port", "0"} + arguments, dir.path()));
    const QString first = QString::fromLocal8Bit(server.output()).section(QLatin1Char('\n'), 0, 0);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ")).match(first).hasMatch(), qPrintable(first));
    QCOMPARE(first.mid(13).trimmed(), QString(line).replace(QStringLiteral("DIR"), dir.path()));
    // Options and defaults are never written back (the cab display's
    // control code is, once made).
    const auto written = [&](const char* key) { return QSettings(file.fileName(), QSettings::IniFormat).value(key); };
    QTRY_COMPARE(written("live/controlcode").toString().size(), 6);
    QCOMPARE(written("trainsim/path"), ini.contains("path") ? QVariant("/sim/stored") : QVariant());
    QCOMPARE(written("main/port"), ini.contains("port") ? QVariant("1") : QVariant());
}

// "debug/loglevel" hides the lines below it, read anew for every line.
void TestPrograms::kestreldLogLevel()
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("kestrel.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[debug]\nloglevel=1\n") > 0);
    file.close();
    ServerProcess server;
    QVERIFY(server.start({"--port", "0", "--simulator-path", KESTREL_SIMULATOR_DIR}, dir.path()));
    LoopbackClient client;
    QVERIFY(client.connectTo(server.port()));
    QVERIFY(client.send("GetLocoName()"));
    QVERIFY(!client.receive(5).isEmpty());
    QTRY_VERIFY(server.output().contains("(Server) - Command: GetLocoName()"));
    QVERIFY(!server.output().contains("(Server) - Connecting..."));
}

void TestPrograms::cli_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addRow("loco") << QStringList{"loco"} << 0 << "Kestrel.:.Railsim.:.Class 66 Demonstrator\n";
    QTest::addRow("server-name") << QStringList{"server-name"} << 0 << "Kestrel\n";
    QTest::addRow("set then get reads back, ids without leading zeros")
        << QStringList{"set", "9", "1"} << 0 << "Set CtrlValue: 9:1\nGET 009 -> 9 1\n";
    QTest::addRow("share then shared labels the values")
        << QStringList{"share", "a", "b", "1.5", "1", "2", "3", "4", "5"} << 0
        << "TRUE\nSHARED -> text1   a\ntext2   b\nnumber  1.5\nint1    1\nint2    2\nint3    3\nint4    4\nint5    5\n";
    QTest::addRow("text prints the raw answer") << QStringList{"text", "GetControllerValue(8;2)<END>"} << 0 << "2\n";
    QTest::addRow("a negative value reaches the server as written")
        << QStringList{"set", "0", "-1"} << 0 << "Set CtrlValue: 0:-1\n";
    QTest::addRow("a usage error") << QStringList{"get"} << 2 << "";
    QTest::addRow("a closed port") << QStringList{"--port", "CLOSED", "loco"} << 3 << "";
}

void TestPrograms::cli()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const QString closedPort = QString::number(closed.serverPort());
    closed.close();
    arguments.replaceInStrings(QStringLiteral("CLOSED"), closedPort);

    const QStringList port{"--port", QString::number(m_server.port())};
    Run run = runProgram(buildFile("kestrel-cli"), port + arguments);
    // A second command on the same server, where the row asks for it.
    const QString expected = out.section(QLatin1String("GET "), 0, 0).section(QLatin1String("SHARED -> "), 0, 0);
    QCOMPARE(run.status, status);
    QCOMPARE(run.out, expected);
    if (out.contains(QLatin1String("GET "))) {
        run = runProgram(buildFile("kestrel-cli"), port + QStringList{"get", "009"});
        QCOMPARE(run.out, out.section(QLatin1String(" -> "), 1));
    } else if (out.contains(QLatin1String("SHARED -> "))) {
        run = runProgram(buildFile("kestrel-cli"), port + QStringList{"shared"});
        QCOMPARE(run.out, out.section(QLatin1String(" -> "), 1));
    }
}

void TestPrograms::cliFailures_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::addRow("a silent server: timeout") << QByteArray() << 4 << "no reply from 127.0.0.1:";
    QTest::addRow("a reply in two segments is joined") << QByteArray("@LLLLLL;005;TTTTTT;Class<split> 66;") << 0 << "";
    QTest::addRow("a reply that is no frame") << QByteArray("Class 66") << 5 << "the reply is no frame";
    QTest::addRow("a reply with the wrong code") << QByteArray("@LLLLLL;004;TTTTTT;x;") << 5 << "carries code 4 instead of 5";
    QTest::addRow("a reply with another tag") << QByteArray("@LLLLLL;005;999998;x;") << 5 << "tag 999998 instead of 1";
    QTest::addRow("closed without a reply") << QByteArray("<close>") << 6 << "closed the connection without replying";
    QTest::addRow("closed halfway through the reply") << QByteArray("@000020;005;TTTTTT;<close>") << 6 << "halfway";
    QTest::addRow("answered NO RESULT") << QByteArray("@LLLLLL;005;TTTTTT;NO RESULT;") << 1 << "no result: NO RESULT";
}

void TestPrograms::cliFailures()
{
    QFETCH(QByteArray, script);
    QFETCH(int, status);
    QFETCH(QString, message);
    ScriptedServer server(script);
    const Run run = runProgram(buildFile("kestrel-cli"), {"--port", QString::number(server.port()), "--timeout", "400", "loco"});
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
}

void TestPrograms::examples_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("firstLine");
    QTest::addColumn<int>("lines");
    QTest::addRow("C++") << buildFile("example_client") << QStringList{"127.0.0.1", "PORT"}
                         << "loco: Kestrel.:.Railsim.:.Class 66 Demonstrator" << 4;
    const QString script = QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../examples/python/kestrel_client.py");
    QTest::addRow("Python") << QStandardPaths::findExecutable(QStringLiteral("python3"))
                            << QStringList{script, "--port", "PORT", "--count", "3", "--interval", "0.05"}
                            << "server  Kestrel" << 25;
}

void TestPrograms::examples()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, firstLine);
    QFETCH(int, lines);
    if (program.isEmpty())
        QSKIP("python3 is not installed");
    arguments.replaceInStrings(QStringLiteral("PORT"), QString::number(m_server.port()));
    const Run run = runProgram(program, arguments);
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QCOMPARE(run.out.section(QLatin1Char('\n'), 0, 0), firstLine);
    QCOMPARE(run.out.count(QLatin1Char('\n')), lines);
}

QTEST_GUILESS_MAIN(TestPrograms)
#include "tst_programs.moc"
