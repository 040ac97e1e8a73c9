// kestreld, kestrel-cli and the example clients as their users run them, against kestreld and scripted servers.

#include "fakesteam.h"
#include "loopbackclient.h"
#include "serverprocess.h"

#include <QTcpServer>
#include <QtTest>

#include <csignal>

class TestPrograms : public QObject
{
    Q_OBJECT

    ServerProcess m_server; // kestreld on the simulated locomotive, for the clients

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start({"--port", "0", "--simulator-path", KESTREL_SIMULATOR_DIR}));
    }

    void runs_data()
    {
        QTest::addColumn<QString>("program");       // built beside kestreld, or an absolute path
        QTest::addColumn<QStringList>("arguments"); // PORT: the scripted server's, or without a script kestreld's
        QTest::addColumn<QByteArray>("script");     // the scripted server's reply, see runs()
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("printed"); // on standard output or error
        const auto row = [](const char* name, const QString& program, const QStringList& arguments, int status,
                            const char* printed, const QByteArray& script = QByteArray()) {
            QTest::addRow("%s", name) << program << arguments << script << status << QString::fromUtf8(printed);
        };
        row("kestreld: --port not a number", "kestreld", {"--port", "x"}, 2, "--port needs a number from 0 to 65535");
        row("kestreld: --live-port above 65535", "kestreld", {"--live-port", "65536"}, 2, "--live-port needs a number");
        row("kestreld: an unknown option", "kestreld", {"--bogus"}, 2, "Unknown option 'bogus'");
        row("kestreld: a port in use", "kestreld", {"--port", "PORT"}, 1, "cannot listen on port");
        const QString cli = QStringLiteral("kestrel-cli"); // rows in turn on one kestreld: get reads what set wrote
        row("cli: set, a negative value as written", cli, {"--port", "PORT", "set", "0", "-1"}, 0, "CtrlValue: 0:-1\n");
        row("cli: get reads it back, the id without leading zeros", cli, {"--port", "PORT", "get", "00"}, 0, "0 -1\n");
        row("cli: share", cli, {"--port", "PORT", "share", "a", "b", "1.5", "1", "2", "3", "4", "5"}, 0, "TRUE\n");
        row("cli: shared, labelled", cli, {"--port", "PORT", "shared"}, 0, "text2   b\nnumber  1.5\nint1    1\n");
        row("cli: text, the raw answer", cli, {"--port", "PORT", "text", "GetLocoName()<END>"}, 0, "Demonstrator\n");
        row("cli: a usage error", cli, {"get"}, 2, "get needs at least 1 argument");
        row("cli: a closed port", cli, {"--port", "1", "loco"}, 3, "cannot connect to 127.0.0.1:1:");
        const QStringList loco{"--port", "PORT", "--timeout", "400", "loco"}; // its first request, tag 1
        row("cli: a reply that stalls: timeout", cli, loco, 4, "no reply from 127.0.0.1:", "@");
        row("cli: a reply in two segments is joined", cli, loco, 0, "Class 66\n", "@000020;005;000001;Class| 66;");
        row("cli: a reply that is no frame", cli, loco, 5, "the reply is no frame", "Class 66");
        row("cli: a reply with the wrong code", cli, loco, 5, "carries code 4 instead of 5", "@000013;004;000001;x;");
        row("cli: a reply with another tag", cli, loco, 5, "tag 999998 instead of 1", "@000013;005;999998;x;");
        row("cli: closed halfway through the reply", cli, loco, 6, "halfway", "@000020;005;000001;<close>");
        row("cli: answered NO RESULT", cli, loco, 1, "no result: NO RESULT", "@000021;005;000001;NO RESULT;");
        row("cli: text answered NO RESULT, printed", cli, {"--port", "PORT", "text", "GetLocoName()"}, 1, "NO RESULT\n", "NO RESULT");
        row("example client in C++", "example_client", {"127.0.0.1", "PORT"}, 0, "Demonstrator\ncontroller 0 = ");
        row("example client in Python", QStandardPaths::findExecutable(QStringLiteral("python3")),
            {QFINDTESTDATA("../examples/python/kestrel_client.py"), "--port", "PORT", "--count", "1"}, 0, "Reverser=");
    }
    // The scripted server answers the first request with the script, pausing 50 ms at a "|"; "<close>" closes.
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
            socket->waitForReadyRead(5000);
            const QList<QByteArray> parts = QByteArray(script).replace("<close>", "").split('|');
            socket->write(parts.first());
            if (parts.size() > 1)
                QTimer::singleShot(50, socket, [socket, rest = parts.last()] { socket->write(rest); });
            if (script.endsWith("<close>"))
                socket->disconnectFromHost();
        });
        arguments.replaceInStrings("PORT", QString::number(script.isEmpty() ? m_server.port() : server.serverPort()));
        QTemporaryDir dir; // for kestreld's settings
        QProcess process;
        process.setWorkingDirectory(dir.path());
        // Into files, not pipes: under Wine a program's last output through a
        // pipe sometimes arrives after its exit has been seen, and is lost.
        process.setStandardOutputFile(dir.filePath("out.txt"));
        process.setStandardErrorFile(dir.filePath("err.txt"));
        if (program == QLatin1String("kestreld"))
            arguments << QStringLiteral("--no-discovery");
        process.start(QFileInfo(ServerProcess::kestreld()).dir().filePath(program), arguments);
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 30000);
        QTEST(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, "status");
        QFile out(dir.filePath("out.txt")), err(dir.filePath("err.txt"));
        QVERIFY(out.open(QIODevice::ReadOnly) && err.open(QIODevice::ReadOnly));
        const QString text = QString::fromLocal8Bit(out.readAll() + err.readAll());
        QVERIFY2(QString(text).replace("\r\n", "\n").contains(printed), qPrintable(text));
    }

    // A cab with every lever, switch, lamp and gauge: its controller list line is logged whole.
    void longControllerListLoggedWhole()
    {
        QTemporaryDir simulator;
        QVERIFY(QDir(simulator.path()).mkdir("plugins")
                && QFile::copy(KESTREL_SIMULATOR_DIR "/plugins/RailDriver64.dll", simulator.filePath("plugins/RailDriver64.dll"))
                && QFile::copy(KESTREL_SIMULATOR_DIR "/examples/full-cab.loco", simulator.filePath("plugins/railsim.loco")));
        ServerProcess server;
        QVERIFY(server.start({"--port", "0", "--no-live", "--simulator-path", simulator.path()}));
        LoopbackClient client;
        QVERIFY(client.connectTo(server.port()) && client.send(LoopbackClient::frame(7, 1, QString())));
        const QByteArray reply = client.receiveFrame();
        const QByteArray list = reply.mid(19, reply.size() - 20);
        QCOMPARE(list.count("::"), 4 * 150);
        QTRY_VERIFY2(server.output().contains("(Server) - Get Controller list: " + list + '\n'), server.output().right(200));
    }

    // With nothing stored, the simulator in Steam's libraries is served, and the first line says so; a stored
    // folder wins.
    void simulatorFoundInSteam()
    {
#ifndef Q_OS_WIN
        QSKIP("Steam's folder is named in the Windows registry");
#else
        FakeSteam steam;
        ServerProcess server, stored;
        QVERIFY(server.start({"--port", "0", "--no-live"}));
        const QString first = QString::fromLocal8Bit(server.output()).section('\n', 0, 0).trimmed();
        QVERIFY2(first.endsWith(": serving the simulator found in " + steam.simulatorFolder() + " (Steam library "
                                + steam.folder() + ')'),
                 qPrintable(first));
        QTemporaryDir dir;
        QFile ini(dir.filePath(QStringLiteral("kestrel.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write("[trainsim]\npath=/stored\n") > 0);
        ini.close();
        QVERIFY(stored.start({"--port", "0", "--no-live"}, dir.path()));
        QVERIFY(stored.output().contains("(Main) - Serving the simulator folder /stored\n"));
#endif
    }

    // On a terminal kestreld prints the pairing link's QR code as well, in colours of its own: a screenshot of
    // xterm, light and in reverse video, reads back (zbarimg, not ours) as the link.
    void pairingCodeOnATerminal_data()
    {
        QTest::addColumn<QStringList>("look");
        QTest::addRow("a light terminal") << QStringList();
        QTest::addRow("a dark terminal") << QStringList{"-rv"};
    }
    void pairingCodeOnATerminal()
    {
        QFETCH(QStringList, look);
        QStringList tools{"Xvfb", "xterm", "import", "zbarimg"};
        for (QString& tool : tools)
            tool = QStandardPaths::findExecutable(tool);
        if (tools.contains(QString()))
            QSKIP("needs Xvfb, xterm, ImageMagick's import and zbarimg (apt-get install xvfb xterm imagemagick zbar-tools)");
        QProcess display; // on a display number of its own choosing
        display.start(tools[0], {"-displayfd", "1", "-screen", "0", "1024x768x24"});
        QTRY_VERIFY(display.canReadLine());
        const QString name = ':' + QString::fromLatin1(display.readLine()).trimmed();
        QTemporaryDir dir;
        QFile ini(dir.filePath(QStringLiteral("kestrel.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly)
                && ini.write("[live]\ncontrolcode=417476\npairingsecret=0123456789abcdef0123456789abcdef\n") > 0 && ini.flush());
        QProcess terminal;
        terminal.setWorkingDirectory(dir.path());
        terminal.start(tools[1], look + QStringList{"-display", name, "-geometry", "110x50+0+0", "-fn",
                                                   "-misc-fixed-medium-r-normal--18-120-100-100-c-90-iso10646-1", "-e",
                                                   ServerProcess::kestreld(), "--port", "0", "--no-discovery"});
        const auto read = [&] {
            QProcess shot, reader;
            shot.setStandardOutputProcess(&reader); // import's PNG into zbarimg
            shot.start(tools[2], {"-display", name, "-window", "root", "png:-"});
            reader.start(tools[3], {"--quiet", "--raw", "png:-"});
            shot.waitForFinished(20000);
            reader.waitForFinished(20000);
            return QString::fromUtf8(reader.readAllStandardOutput()).trimmed();
        };
        QString link; // each look takes a while: QTRY would count looks, not time
        for (const QDeadlineTimer deadline(20000); (link = read()).isEmpty() && !deadline.hasExpired();)
            QTest::qWait(100);
        QVERIFY2(QRegularExpression(QStringLiteral("^http://[^/]+:\\d+/#pair=XCEfbW0sOuCCaW9PHdP-eA$")).match(link).hasMatch(),
                 qPrintable(link));
        terminal.kill();
        display.kill();
        QVERIFY(terminal.waitForFinished() && display.waitForFinished());
    }

    // Last: on Windows the end is Ctrl-C, which reaches m_server too.
    void kestreld_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("first"); // the first line; DIR: the working directory
        QTest::addColumn<QByteArray>("library"); // written to DIR/plugins/RailDriver64.dll when not empty
        QTest::addColumn<QString>("problem"); // how the line that says why there is no library begins
        QTest::addColumn<QString>("shown"); // printed once a client asked for the locomotive
        const QString noLibrary = QStringLiteral("(Main) - No RailDriver library, so clients get no simulator data: ");
        QTest::addRow("no stored folder: the simulated locomotive and the cab display") << QByteArray() << QStringList()
            << "(Main) - No \"trainsim/path\" in DIR/kestrel.ini: serving the simulated locomotive in " KESTREL_SIMULATOR_DIR
            << QByteArray() << QString() << "(Main) - Cab display: http://";
        QTest::addRow("the stored folder, missing; debug/loglevel hides the lines below it")
            << QByteArray("[trainsim]\npath=/stored\n[debug]\nloglevel=1\n") << QStringList()
            << "(Main) - Serving the simulator folder /stored" << QByteArray() << noLibrary + "there is no folder /stored"
            << "(Server) - Command: GetLocoName()";
        QTest::addRow("--simulator-path for one run; --no-live") << QByteArray("[trainsim]\npath=/stored\n[main]\nport=1\n")
            << QStringList{"--simulator-path", "/given", "--no-live"} << "(Main) - Serving the simulator folder /given"
            << QByteArray() << noLibrary + "there is no folder /given" << "(Server) - Connecting...";
        QTest::addRow("a folder without the library") << QByteArray("[trainsim]\npath=DIR\n") << QStringList{"--no-live"}
            << "(Main) - Serving the simulator folder DIR" << QByteArray()
            << noLibrary + "there is no file DIR/plugins/RailDriver64.dll" << "(Server) - Command: GetLocoName()";
        QTest::addRow("a library that does not load") << QByteArray("[trainsim]\npath=DIR\n") << QStringList{"--no-live"}
            << "(Main) - Serving the simulator folder DIR" << QByteArray("no library")
            << noLibrary + "Cannot load library " << "(Server) - Command: GetLocoName()";
    }
    void kestreld()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, library);
        QFETCH(QString, problem);
        QFETCH(QString, shown);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("kestrel.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ini.replace("DIR", dir.path().toUtf8())) == ini.size());
        file.close();
        if (!library.isEmpty()) {
            QFile dll(dir.filePath(QStringLiteral("plugins/RailDriver64.dll")));
            QVERIFY(QDir(dir.path()).mkdir("plugins") && dll.open(QIODevice::WriteOnly) && dll.write(library) == library.size());
        }
        ServerProcess server;
        QVERIFY(server.start(QStringList{"--port", "0"} + arguments, dir.path()));
        const QStringList lines = QString::fromLocal8Bit(server.output()).replace(dir.path(), "DIR").split('\n');
        QTEST(lines.first().mid(13).trimmed(), "first"); // after "hh:mm:ss.zzz "
        // One line says why there is no library, and serving goes on.
        const QStringList problems = lines.filter(QStringLiteral("No RailDriver library"));
        QCOMPARE(problems.size(), problem.isEmpty() ? 0 : 1);
        QVERIFY2(problem.isEmpty() || problems.first().mid(13).startsWith(problem), qPrintable(problems.join('\n')));
        LoopbackClient client;
        QVERIFY(client.connectTo(server.port()) && client.send("GetLocoName()"));
        QVERIFY(!client.receive(1).isEmpty());
        QTRY_VERIFY2(server.output().contains(shown.toLocal8Bit()), server.output().constData());
#ifdef Q_OS_WIN
        QCOMPARE(server.stop(10000), 0); // Ctrl-C on the console
#else
        ::kill(pid_t(server.pid()), SIGINT); // Ctrl-C alone; tst_faults sends SIGTERM
        QVERIFY(server.process().waitForFinished(10000));
        QCOMPARE(server.process().exitCode(), 0); // a signal's number when one ended it
#endif
        QVERIFY(!ini.contains("loglevel") || !server.output().contains("(Server) - Connecting..."));
        // Options and defaults are never written back; the cab display's control code is, once made.
        const QSettings written(file.fileName(), QSettings::IniFormat);
        QCOMPARE(written.value("live/controlcode").toString().size(), arguments.contains("--no-live") ? 0 : 6);
        QCOMPARE(written.value("trainsim/path"), ini.contains("path=") ? QVariant(QString(ini).section("path=", 1).section('\n', 0, 0)) : QVariant());
        QCOMPARE(written.value("main/port"), ini.contains("port") ? QVariant("1") : QVariant());
    }
};

QTEST_GUILESS_MAIN(TestPrograms)
#include "tst_programs.moc"
