// The programs as their users run them: kestreld's options, first line,
// settings, log level and end on a signal; kestrel-cli against kestreld and
// against servers that fail in every way a reply can; the example clients.

#include "loopbackclient.h"
#include "serverprocess.h"

#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

#include <csignal>

namespace {

QString buildFile(const char* name)
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../") + QLatin1String(name));
}

} // namespace

class TestPrograms : public QObject
{
    Q_OBJECT

    ServerProcess m_server; // kestreld on the simulated locomotive, for the clients

private slots:
    void initTestCase()
    {
        QVERIFY2(m_server.start({"--port", "0", "--simulator-path", KESTREL_SIMULATOR_DIR}), qPrintable(ServerProcess::kestreld()));
        // Its log goes on; a full pipe would only cost it lines, but read it anyway.
        connect(&m_server.process(), &QProcess::readyReadStandardOutput, this, [this] { m_server.output(); });
    }

    void runs_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments"); // KESTRELD: the running kestreld's port, PORT: the scripted server's
        QTest::addColumn<QByteArray>("script");     // the scripted server's reply, see runs()
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("printed"); // on standard output or error
        const auto row = [](const char* name, const char* program, const QStringList& arguments, int status, const char* printed,
                            const QByteArray& script = QByteArray()) {
            QTest::addRow("%s", name) << buildFile(program) << arguments << script << status << QString::fromUtf8(printed);
        };
        row("kestreld: --port without a number", "kestreld", {"--port", "x"}, 2, "--port needs a number from 0 to 65535");
        row("kestreld: --live-port above 65535", "kestreld", {"--live-port", "65536"}, 2, "--live-port needs a number");
        row("kestreld: an unknown option", "kestreld", {"--bogus"}, 2, "Unknown option 'bogus'");
        row("kestreld: a port in use", "kestreld", {"--port", "KESTRELD"}, 1, "cannot listen on port");
        // What the CLI itself does; what the server answers is the command
        // layer's tests' concern. Rows in turn on the same server.
        const QStringList cli{"--port", "KESTRELD"};
        row("cli: set", "kestrel-cli", cli + QStringList{"set", "9", "1"}, 0, "Set CtrlValue: 9:1\n");
        row("cli: get reads it back, the id without leading zeros", "kestrel-cli", cli + QStringList{"get", "009"}, 0, "9 1\n");
        row("cli: a negative value reaches the server as written", "kestrel-cli", cli + QStringList{"set", "0", "-1"}, 0,
            "Set CtrlValue: 0:-1\n");
        row("cli: share", "kestrel-cli", cli + QStringList{"share", "a", "b", "1.5", "1", "2", "3", "4", "5"}, 0, "TRUE\n");
        row("cli: shared labels the values", "kestrel-cli", cli + QStringList{"shared"}, 0,
            "text1   a\ntext2   b\nnumber  1.5\nint1    1\nint2    2\nint3    3\nint4    4\nint5    5\n");
        row("cli: text prints the raw answer", "kestrel-cli", cli + QStringList{"text", "GetLocoName()<END>"}, 0,
            "Kestrel.:.Railsim.:.Class 66 Demonstrator\n");
        row("cli: a usage error", "kestrel-cli", {"get"}, 2, "get needs at least 1 argument");
        const QStringList loco{"--port", "PORT", "--timeout", "400", "loco"};
        row("cli: a closed port", "kestrel-cli", loco, 3, "cannot connect to 127.0.0.1:", "<refuse>");
        row("cli: a silent server: timeout", "kestrel-cli", loco, 4, "no reply from 127.0.0.1:");
        row("cli: a reply in two segments is joined", "kestrel-cli", loco, 0, "Class 66\n", "@LLLLLL;005;TTTTTT;Class<split> 66;");
        row("cli: a reply that is no frame", "kestrel-cli", loco, 5, "the reply is no frame", "Class 66");
        row("cli: a reply with the wrong code", "kestrel-cli", loco, 5, "carries code 4 instead of 5", "@LLLLLL;004;TTTTTT;x;");
        row("cli: a reply with another tag", "kestrel-cli", loco, 5, "tag 999998 instead of 1", "@LLLLLL;005;999998;x;");
        row("cli: closed without a reply", "kestrel-cli", loco, 6, "closed the connection without replying", "<close>");
        row("cli: closed halfway through the reply", "kestrel-cli", loco, 6, "halfway", "@000020;005;TTTTTT;<close>");
        row("cli: answered NO RESULT", "kestrel-cli", loco, 1, "no result: NO RESULT", "@LLLLLL;005;TTTTTT;NO RESULT;");
        row("example client in C++", "example_client", {"127.0.0.1", "KESTRELD"}, 0,
            "loco: Kestrel.:.Railsim.:.Class 66 Demonstrator\ncontroller 0 = ");
        const QString script = QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../examples/python/kestrel_client.py");
        QTest::addRow("example client in Python") << QStandardPaths::findExecutable(QStringLiteral("python3"))
            << QStringList{script, "--port", "KESTRELD", "--count", "3", "--interval", "0.05"} << QByteArray() << 0 << "Reverser=";
    }
    // The scripted server answers the first request of a connection:
    // "TTTTTT" becomes its tag, "LLLLLL" the frame length, "<split>" sends
    // the rest 50 ms later, a final "<close>" closes the connection; an
    // empty script never answers, "<refuse>" does not even listen.
    void runs()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, script);
        QFETCH(QString, printed);
        if (program.isEmpty())
            QSKIP("python3 is not installed");
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        connect(&server, &QTcpServer::newConnection, this, [&server, script] {
            QTcpSocket* socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, script] {
                QByteArray reply = script;
                reply.replace("TTTTTT", socket->readAll().mid(12, 6));
                if (script.isEmpty() || socket->property("answered").isValid())
                    return;
                socket->setProperty("answered", true);
                const int split = reply.indexOf("<split>");
                reply.replace("<split>", "").replace("<close>", "");
                if (reply.startsWith("@LLLLLL;"))
                    reply.replace(1, 6, QByteArray::number(reply.size() - 8).rightJustified(6, '0'));
                socket->write(reply.left(split < 0 ? reply.size() : split));
                if (split >= 0)
                    QTimer::singleShot(50, socket, [socket, rest = reply.mid(split)] { socket->write(rest); });
                if (script.endsWith("<close>"))
                    socket->disconnectFromHost();
            });
        });
        arguments.replaceInStrings(QStringLiteral("KESTRELD"), QString::number(m_server.port()))
            .replaceInStrings(QStringLiteral("PORT"), QString::number(server.serverPort()));
        if (script == "<refuse>")
            server.close();
        QTemporaryDir dir; // for kestreld's settings
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(program, arguments);
        QVERIFY(process.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 30000);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QTEST(process.exitCode(), "status");
        // Text as the program meant it, whatever line ends the system writes.
        const QString text = QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
        QVERIFY2(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")).contains(printed), qPrintable(text));
    }

    // Last: on Windows the end is Ctrl-C, which reaches m_server too.
    void kestreld_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("first");  // the first line; DIR: the working directory
        QTest::addColumn<QString>("shown");  // printed once a client asked for the locomotive
        QTest::addColumn<QString>("hidden"); // never printed
        QTest::addColumn<int>("signal");     // ends it with the client halfway through a frame
        QTest::addRow("without a stored folder: the simulated locomotive and the cab display; SIGTERM")
            << QByteArray() << QStringList()
            << "(Main) - No \"trainsim/path\" in DIR/kestrel.ini: serving the simulated locomotive in " KESTREL_SIMULATOR_DIR
            << "(Main) - Cab display: http://" << "" << int(SIGTERM);
        QTest::addRow("the stored folder; SIGINT") << QByteArray("[trainsim]\npath=/sim/stored\n") << QStringList()
            << "(Main) - Serving the simulator folder /sim/stored" << "(Server) - Connecting..." << "" << int(SIGINT);
        QTest::addRow("--simulator-path for this run only; --no-live")
            << QByteArray("[trainsim]\npath=/sim/stored\n[main]\nport=1\n") << QStringList{"--simulator-path", "/sim/given", "--no-live"}
            << "(Main) - Serving the simulator folder /sim/given" << "(Server) - Connecting..." << "Cab display" << int(SIGTERM);
        QTest::addRow("debug/loglevel hides the lines below it")
            << QByteArray("[debug]\nloglevel=1\n") << QStringList{"--simulator-path", KESTREL_SIMULATOR_DIR}
            << "(Main) - Serving the simulator folder " KESTREL_SIMULATOR_DIR << "(Server) - Command: GetLocoName()"
            << "(Server) - Connecting..." << int(SIGINT);
    }
    void kestreld()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, arguments);
        QFETCH(QString, first);
        QFETCH(QString, shown);
        QFETCH(QString, hidden);
        QFETCH(int, signal);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("kestrel.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size());
        file.close();
        ServerProcess server;
        QVERIFY(server.start(QStringList{"--port", "0"} + arguments, dir.path()));
        const QString line = QString::fromLocal8Bit(server.output()).section(QLatin1Char('\n'), 0, 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ")).match(line).hasMatch(), qPrintable(line));
        QCOMPARE(line.mid(13).trimmed(), first.replace(QStringLiteral("DIR"), dir.path()));
        LoopbackClient client;
        QVERIFY(client.connectTo(server.port()) && client.send("GetLocoName()"));
        QTRY_VERIFY2(server.output().contains(shown.toLocal8Bit()), server.output().constData());
        QVERIFY(client.send("@000050;005;000001;Get"));

        QElapsedTimer clock;
        clock.start();
#ifdef Q_OS_WIN
        Q_UNUSED(signal)
        QCOMPARE(server.stop(10000), 0); // Ctrl-C
#else
        ::kill(pid_t(server.pid()), signal);
        QVERIFY(server.process().waitForFinished(10000));
        QCOMPARE(server.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process().exitCode(), 0);
#endif
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(hidden.isEmpty() || !server.output().contains(hidden.toLocal8Bit()));
        // Options and defaults are never written back; the cab display's
        // control code is, once made.
        const QSettings written(file.fileName(), QSettings::IniFormat);
        QCOMPARE(written.value("live/controlcode").toString().size(), arguments.contains("--no-live") ? 0 : 6);
        QCOMPARE(written.value("trainsim/path"), ini.contains("path") ? QVariant("/sim/stored") : QVariant());
        QCOMPARE(written.value("main/port"), ini.contains("port") ? QVariant("1") : QVariant());
    }
};

QTEST_GUILESS_MAIN(TestPrograms)
#include "tst_programs.moc"
