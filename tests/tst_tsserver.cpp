// The server end to end on loopback: a TSServer on a port of the system's
// choosing, client threads on the stub RailDriver library, and raw TCP
// clients that send bytes exactly as a client program would.

#include "loopbackclient.h"
#include "settings.h"
#include "tsserver.h"
#include "tsserverthread.h"

#include "stubs/stublibrary.h"

#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#endif

namespace {

const QString kLocoName = QStringLiteral("Class 66");
const QByteArray kTrainData = "51.5000000:-0.2500000:1.5000000:12:30:15:80.25:0.5:0";

// Bytes that reached the server's side of a connection but that its client
// thread has not read yet. Zero after a segment was sent means the client
// thread has taken it in, so a next segment can only reach it through the
// reader's own wait.
int unreadOnServerSide(qintptr descriptor)
{
#ifdef Q_OS_UNIX
    int count = 0;
    if (::ioctl(int(descriptor), FIONREAD, &count) != 0)
        return -1;
    return count;
#else
    Q_UNUSED(descriptor)
    return 0;
#endif
}

struct LoggedLine
{
    QString text;
    int level;
};

QList<LoggedLine> logLines(const QSignalSpy& spy)
{
    QList<LoggedLine> lines;
    for (const QList<QVariant>& arguments : spy)
        lines << LoggedLine{arguments.at(0).toString(), arguments.at(1).toInt()};
    return lines;
}

bool hasLine(const QSignalSpy& spy, const QString& text, int level)
{
    for (const LoggedLine& line : logLines(spy)) {
        if (line.text == text && line.level == level)
            return true;
    }
    return false;
}

QStringList linesStartingWith(const QSignalSpy& spy, const QString& prefix)
{
    QStringList texts;
    for (const LoggedLine& line : logLines(spy)) {
        if (line.text.startsWith(prefix))
            texts << line.text;
    }
    return texts;
}

} // namespace

class TestTSServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void framedCommands_data();
    void framedCommands();
    void plainText_data();
    void plainText();
    void frameInTwoSegments();
    void clientsShareValues();
    void newServerStartsFromDefaults();
    void folderReadWhenClientStarts();
    void connectAndDisconnectLines();
    void listeningLineShowsPortAskedFor();
    void portInUse();
    void stopWithClientMidFrame();
    void stopAfterAnyClientLeft();
    void disconnectingClientFreesItsThread();
    void destroyWithClientsConnected();

private:
    // A listening server with a spy on its log lines.
    std::unique_ptr<TSServer> startServer();
    // The client's id, asked with framed code 3.
    qintptr clientId(LoopbackClient& client);

    QTemporaryDir m_dir;
    QString m_previousDir;
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<StubLibrary> m_stub;
};

void TestTSServer::initTestCase()
{
    m_stub = std::make_unique<StubLibrary>(QStringLiteral("full"));
    QVERIFY2(m_stub->isValid(), qPrintable(m_stub->errorString()));

    QVERIFY(m_dir.isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    m_settings = std::make_unique<Settings>(nullptr);
}

void TestTSServer::init()
{
    m_settings->SetTrainSimPath(m_stub->folder());
    m_stub->reset();
    m_stub->setLocoName(kLocoName);
    m_stub->setControllerList(QStringLiteral("Throttle::Brake"));
    m_stub->setValue(0, 0, 0.5f);
    m_stub->setValue(0, 1, 0.0f);
    m_stub->setValue(0, 2, 1.0f);
    m_stub->setValue(1, 0, 0.25f);
    m_stub->setValue(1, 1, 0.0f);
    m_stub->setValue(1, 2, 1.0f);
    m_stub->setValue(400, 0, 51.5f);
    m_stub->setValue(401, 0, -0.25f);
    m_stub->setValue(404, 0, 1.5f);
    m_stub->setValue(406, 0, 12.0f);
    m_stub->setValue(407, 0, 30.0f);
    m_stub->setValue(408, 0, 15.0f);
    m_stub->setRailSimValue(30, -80.25f);
    m_stub->setRailSimValue(2, 0.5f);
    m_stub->setRailSimValue(7, 0.0f);
    m_stub->clearCallLog();
}

void TestTSServer::cleanupTestCase()
{
    m_settings.reset();
    QDir::setCurrent(m_previousDir);
}

std::unique_ptr<TSServer> TestTSServer::startServer()
{
    auto server = std::make_unique<TSServer>(m_settings.get());
    server->startListening(QString(), 0);
    return server;
}

qintptr TestTSServer::clientId(LoopbackClient& client)
{
    if (!client.send(LoopbackClient::frame(3, 1, QString())))
        return -1;
    const QByteArray reply = client.receiveFrame();
    if (!reply.startsWith("@") || reply.size() < 20)
        return -1;
    return reply.mid(19, reply.size() - 20).toLongLong();
}

void TestTSServer::framedCommands_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply"); // "<id>" stands for the client's id; empty: none
    QTest::addColumn<QString>("logText");
    QTest::addColumn<int>("logLevel");
    QTest::addColumn<QString>("libraryCall"); // must be in the stub's call log

    QTest::addRow("1 names the client, no reply")
        << LoopbackClient::frame(1, 4, QStringLiteral("Cab display")) << QByteArray()
        << QStringLiteral("(Server) - Client Name: Cab display") << 1 << QString();
    QTest::addRow("2 server name")
        << LoopbackClient::frame(2, 17, QString()) << LoopbackClient::frame(2, 17, QStringLiteral("Kestrel"))
        << QStringLiteral("(Server) - Get Server name: Kestrel") << 0 << QString();
    QTest::addRow("3 client id")
        << LoopbackClient::frame(3, 18, QString()) << LoopbackClient::frame(3, 18, QStringLiteral("<id>"))
        << QStringLiteral("(Server) - Get Client ID: <id>") << 0 << QString();
    QTest::addRow("4 train data with the default shared values")
        << LoopbackClient::frame(4, 19, QString()) << LoopbackClient::frame(4, 19, kTrainData + ":::0:9:169:300:200:200")
        << QStringLiteral("(Server) - Get Train Data: ") + kTrainData << 0 << QStringLiteral("GetRailSimValue(30,0);");
    QTest::addRow("5 loco name")
        << LoopbackClient::frame(5, 20, QString()) << LoopbackClient::frame(5, 20, kLocoName)
        << QStringLiteral("(Server) - Get Loco name: Class 66") << 0 << QStringLiteral("GetLocoName();");
    QTest::addRow("6 controller values, answered with code 7")
        << LoopbackClient::frame(6, 21, QStringLiteral("0:1")) << LoopbackClient::frame(7, 21, QStringLiteral("0:0.5::1:0.25::"))
        << QStringLiteral("(Server) - Get ControllerValues: 0:0.5::1:0.25::") << 0
        << QStringLiteral("GetControllerValue(1,0);");
    QTest::addRow("7 raw controller list")
        << LoopbackClient::frame(7, 22, QString()) << LoopbackClient::frame(7, 22, QStringLiteral("0::Throttle::0::1::1::Brake::0::1::"))
        << QStringLiteral("(Server) - Get Controller list: 0::Throttle::0::1::1::Brake::0::1::") << 0
        << QStringLiteral("GetControllerValue(1,2);");
    QTest::addRow("8 sets a value")
        << LoopbackClient::frame(8, 23, QStringLiteral("1:0.75")) << LoopbackClient::frame(8, 23, QStringLiteral("Set CtrlValue: 1:0.75"))
        << QStringLiteral("(Server) - Set CtrlValue: 1:0.75") << 0 << QStringLiteral("SetControllerValue(1,0.75);");
    QTest::addRow("9 stores shared values, answered with code 10")
        << LoopbackClient::frame(9, 24, QStringLiteral("A:B:1.5:1:2:3:4:5")) << LoopbackClient::frame(10, 24, QStringLiteral("TRUE"))
        << QStringLiteral("(Server) - A:B:1.5:1:2:3:4:5") << 0 << QString();
    QTest::addRow("10 default shared values")
        << LoopbackClient::frame(10, 25, QString()) << LoopbackClient::frame(10, 25, QStringLiteral("::0:9:169:300:200:200"))
        << QStringLiteral("(Server) - ::0:9:169:300:200:200") << 0 << QString();
    QTest::addRow("0 ignored") << LoopbackClient::frame(0, 26, QString()) << QByteArray() << QString() << 0 << QString();
    QTest::addRow("11 ignored") << LoopbackClient::frame(11, 27, QString()) << QByteArray() << QString() << 0 << QString();
    QTest::addRow("shorter than 19 bytes: nothing runs")
        << QByteArray("@000001;x") << QByteArray() << QString() << 0 << QString();
}

void TestTSServer::framedCommands()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(QString, logText);
    QFETCH(int, logLevel);
    QFETCH(QString, libraryCall);

    auto server = startServer();
    QSignalSpy log(server.get(), &TSServer::sigDebugString);
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()));
    const qintptr id = clientId(client);
    QVERIFY(id > 0);
    if (reply.contains("<id>"))
        reply = LoopbackClient::frame(3, reply.mid(12, 6).toInt(), QString::number(id));
    logText.replace(QStringLiteral("<id>"), QString::number(id));

    QVERIFY(client.send(request));
    // A request without a reply shows itself by the next reply being the
    // one to a following request. That one is sent once the client thread
    // has taken the first in: each notification serves one request.
    const QByteArray marker = LoopbackClient::frame(2, 999, QStringLiteral("Kestrel"));
    if (reply.isEmpty()) {
        QTRY_COMPARE(unreadOnServerSide(id), 0);
        QVERIFY(client.send(LoopbackClient::frame(2, 999, QString())));
        QCOMPARE(client.receiveFrame(), marker);
    } else {
        QCOMPARE(client.receiveFrame(), reply);
    }
    if (!logText.isEmpty())
        QTRY_VERIFY2(hasLine(log, logText, logLevel), qPrintable(logText));
    else
        QTRY_VERIFY(hasLine(log, QStringLiteral("(Server) - Get Server name: Kestrel"), 0));
    if (!libraryCall.isEmpty())
        QVERIFY2(m_stub->callLog().contains(libraryCall), qPrintable(m_stub->callLog()));
    // Nothing else came.
    QCOMPARE(client.takeReceived(), QByteArray());
}

void TestTSServer::plainText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("libraryCall");

    QTest::addRow("GetLocoName() as 13 bytes") << QByteArray("GetLocoName()") << kLocoName.toLocal8Bit() << QString();
    QTest::addRow("name, then loco name in one text")
        << QByteArray("SetClientName(Cab display)<END>GetLocoName()<END>") << kLocoName.toLocal8Bit() << QString();
    QTest::addRow("two answers back to back, no terminator")
        << QByteArray("GetLocoName()<END><END>GetLocoName()<END>") << (kLocoName + kLocoName).toLocal8Bit() << QString();
    QTest::addRow("one controller value")
        << QByteArray("GetControllerValue(1;0)<END>") << QByteArray("0.25") << QStringLiteral("GetControllerValue(1,0);");
    QTest::addRow("set a value with a decimal comma, no answer")
        << QByteArray("SetControllerValue(1;0,75)<END>") << QByteArray() << QStringLiteral("SetControllerValue(1,0.75);");
    QTest::addRow("malformed set: the second command is not answered")
        << QByteArray("SetControllerValue(3)<END>GetLocoName()") << QByteArray() << QString();
    QTest::addRow("unknown command, then an answer")
        << QByteArray("Hello<END>GetControllerValue(0;0)") << QByteArray("0.5") << QString();
    QTest::addRow("a header that does not qualify is read as text")
        << QByteArray("@GetLoco;GetLocoName()") << kLocoName.toLocal8Bit() << QString();
}

void TestTSServer::plainText()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, answer);
    QFETCH(QString, libraryCall);

    auto server = startServer();
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()));
    const qintptr id = clientId(client);
    QVERIFY(id > 0);
    QVERIFY(client.send(text));
    if (!answer.isEmpty())
        QCOMPARE(client.receive(answer.size()), answer);
    // The next answer is the one to the next request: nothing was sent
    // before it, no terminator, no leftover of the text above. It is sent
    // once the client thread has taken the text in, so that the two are
    // not read as one text.
    QTRY_COMPARE(unreadOnServerSide(id), 0);
    QVERIFY(client.send("GetControllerValue(0;2)"));
    QCOMPARE(client.receive(1), QByteArray("1"));
    QCOMPARE(client.takeReceived(), QByteArray());
    if (!libraryCall.isEmpty())
        QVERIFY2(m_stub->callLog().contains(libraryCall), qPrintable(m_stub->callLog()));
}

void TestTSServer::frameInTwoSegments()
{
    auto server = startServer();
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()));
    const qintptr id = clientId(client);
    QVERIFY(id > 0);

    const QByteArray request = LoopbackClient::frame(5, 31, QString());
    QVERIFY(client.send(request.left(12)));
    QTRY_COMPARE(unreadOnServerSide(id), 0);
    QVERIFY(client.send(request.mid(12)));
    QCOMPARE(client.receiveFrame(), LoopbackClient::frame(5, 31, kLocoName));
}

void TestTSServer::clientsShareValues()
{
    auto server = startServer();
    LoopbackClient first;
    LoopbackClient second;
    QVERIFY(first.connectTo(server->serverPort()));
    QVERIFY(second.connectTo(server->serverPort()));

    QVERIFY(first.send(LoopbackClient::frame(9, 1, QStringLiteral("A:B:1.5:1:2:3:4:5"))));
    QCOMPARE(first.receiveFrame(), LoopbackClient::frame(10, 1, QStringLiteral("TRUE")));
    QVERIFY(second.send(LoopbackClient::frame(10, 2, QString())));
    QCOMPARE(second.receiveFrame(), LoopbackClient::frame(10, 2, QStringLiteral("A:B:1.5:1:2:3:4:5")));
    QVERIFY(second.send(LoopbackClient::frame(4, 3, QString())));
    QCOMPARE(second.receiveFrame(), LoopbackClient::frame(4, 3, kTrainData + ":A:B:1.5:1:2:3:4:5"));

    // Seven parts change nothing, for either client.
    QVERIFY(second.send(LoopbackClient::frame(9, 4, QStringLiteral("C:D:2:1:2:3:4"))));
    QCOMPARE(second.receiveFrame(), LoopbackClient::frame(10, 4, QStringLiteral("FALSE")));
    QVERIFY(first.send(LoopbackClient::frame(10, 5, QString())));
    QCOMPARE(first.receiveFrame(), LoopbackClient::frame(10, 5, QStringLiteral("A:B:1.5:1:2:3:4:5")));
}

void TestTSServer::newServerStartsFromDefaults()
{
    {
        auto server = startServer();
        LoopbackClient client;
        QVERIFY(client.connectTo(server->serverPort()));
        QVERIFY(client.send(LoopbackClient::frame(9, 1, QStringLiteral("A:B:1.5:1:2:3:4:5"))));
        QCOMPARE(client.receiveFrame(), LoopbackClient::frame(10, 1, QStringLiteral("TRUE")));
        server->stop();
    }
    auto server = startServer();
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()));
    QVERIFY(client.send(LoopbackClient::frame(10, 2, QString())));
    QCOMPARE(client.receiveFrame(), LoopbackClient::frame(10, 2, QStringLiteral("::0:9:169:300:200:200")));
}

void TestTSServer::folderReadWhenClientStarts()
{
    // Each client takes the folder stored when it connects; a client that
    // was already there keeps its library.
    QTemporaryDir emptyFolder;
    auto server = startServer();
    LoopbackClient before;
    QVERIFY(before.connectTo(server->serverPort()));
    QVERIFY(before.send("GetLocoName()"));
    QCOMPARE(before.receive(kLocoName.size()), kLocoName.toLocal8Bit());

    m_settings->SetTrainSimPath(emptyFolder.path());
    LoopbackClient after;
    QVERIFY(after.connectTo(server->serverPort()));
    QVERIFY(after.send("GetLocoName()"));
    QCOMPARE(after.receive(9), QByteArray("NO RESULT"));
    QVERIFY(after.send(LoopbackClient::frame(4, 1, QString())));
    QCOMPARE(after.receiveFrame(), LoopbackClient::frame(4, 1, QStringLiteral("no result:::0:9:169:300:200:200")));

    QVERIFY(before.send("GetLocoName()"));
    QCOMPARE(before.receive(kLocoName.size()), kLocoName.toLocal8Bit());
}

void TestTSServer::connectAndDisconnectLines()
{
    auto server = startServer();
    QSignalSpy log(server.get(), &TSServer::sigDebugString);
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()));
    const qintptr id = clientId(client);
    QVERIFY(id > 0);
    QVERIFY(hasLine(log, QStringLiteral("(Server) - Connecting... %1").arg(id), 0));

    client.close();
    QTRY_VERIFY(hasLine(log, QStringLiteral("(Server) - Client disconnected ID:%1").arg(id), 0));
    QCOMPARE(linesStartingWith(log, QStringLiteral("(Server) - Connecting...")).size(), 1);
    QCOMPARE(linesStartingWith(log, QStringLiteral("(Server) - Client disconnected")).size(), 1);
}

void TestTSServer::listeningLineShowsPortAskedFor()
{
    TSServer server(m_settings.get());
    QSignalSpy log(&server, &TSServer::sigDebugString);
    server.startListening(QStringLiteral("192.0.2.1"), 0);
    QVERIFY(server.isListening());
    QVERIFY(server.serverPort() != 0);
    QCOMPARE(log.count(), 1);
    QCOMPARE(log.at(0).at(0).toString(), QStringLiteral("(Server) - Listening to port 0"));
    QCOMPARE(log.at(0).at(1).toInt(), 0);
    // The address text is not used for binding: loopback reaches it.
    LoopbackClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    QVERIFY(client.send(LoopbackClient::frame(2, 1, QString())));
    QCOMPARE(client.receiveFrame(), LoopbackClient::frame(2, 1, QStringLiteral("Kestrel")));
}

void TestTSServer::portInUse()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));

    TSServer server(m_settings.get());
    QSignalSpy log(&server, &TSServer::sigDebugString);
    server.startListening(QString(), holder.serverPort());
    QVERIFY(!server.isListening());
    QCOMPARE(log.count(), 1);
    QCOMPARE(log.at(0).at(0).toString(), QStringLiteral("(Server) - Could not start server"));
    QCOMPARE(log.at(0).at(1).toInt(), 0);
    server.stop(); // nothing to stop, returns at once
}

void TestTSServer::stopWithClientMidFrame()
{
    auto server = startServer();
    server->stop(); // before any connection: nothing to do

    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()));
    const qintptr id = clientId(client);
    QVERIFY(id > 0);
    QVERIFY(client.send(LoopbackClient::frame(5, 1, QString()).left(12)));
    QTRY_COMPARE(unreadOnServerSide(id), 0);

    QElapsedTimer clock;
    clock.start();
    server->stop();
    // At the latest when the frame's wait for data has run out.
    QVERIFY2(clock.elapsed() < 11000, qPrintable(QString::number(clock.elapsed())));
    const auto threads = server->findChildren<TSServerThread*>();
    for (TSServerThread* thread : threads)
        QVERIFY(thread->isFinished());
    QVERIFY(client.waitForClosed());
    QTRY_COMPARE(server->findChildren<TSServerThread*>().size(), 0);

    // The server keeps listening; a new client is served.
    LoopbackClient next;
    QVERIFY(next.connectTo(server->serverPort()));
    QVERIFY(next.send(LoopbackClient::frame(5, 2, QString())));
    QCOMPARE(next.receiveFrame(), LoopbackClient::frame(5, 2, kLocoName));
}

void TestTSServer::stopAfterAnyClientLeft()
{
    // Only the latest client is tracked, with one flag for all: once any
    // client has left, stop ends no client thread.
    auto server = startServer();
    QSignalSpy log(server.get(), &TSServer::sigDebugString);
    LoopbackClient first;
    LoopbackClient second;
    QVERIFY(first.connectTo(server->serverPort()));
    QVERIFY(clientId(first) > 0);
    QVERIFY(second.connectTo(server->serverPort()));
    QVERIFY(clientId(second) > 0);

    first.close();
    QTRY_COMPARE(linesStartingWith(log, QStringLiteral("(Server) - Client disconnected")).size(), 1);
    server->stop();
    QVERIFY(second.send(LoopbackClient::frame(5, 3, QString())));
    QCOMPARE(second.receiveFrame(), LoopbackClient::frame(5, 3, kLocoName));
}

void TestTSServer::disconnectingClientFreesItsThread()
{
    auto server = startServer();
    LoopbackClient first;
    LoopbackClient second;
    QVERIFY(first.connectTo(server->serverPort()));
    QVERIFY(second.connectTo(server->serverPort()));
    QVERIFY(clientId(first) > 0);
    QVERIFY(clientId(second) > 0);
    QCOMPARE(server->findChildren<TSServerThread*>().size(), 2);

    first.close();
    QTRY_COMPARE(server->findChildren<TSServerThread*>().size(), 1);
    second.close();
    QTRY_COMPARE(server->findChildren<TSServerThread*>().size(), 0);
}

void TestTSServer::destroyWithClientsConnected()
{
    auto server = startServer();
    const quint16 port = server->serverPort();
    LoopbackClient clients[4];
    for (LoopbackClient& client : clients)
        QVERIFY(client.connectTo(port));
    // Two halfway through a frame, one idle, one just served.
    for (int i = 0; i < 2; ++i) {
        const qintptr id = clientId(clients[i]);
        QVERIFY(id > 0);
        QVERIFY(clients[i].send(LoopbackClient::frame(7, i, QString()).left(12 + i)));
        QTRY_COMPARE(unreadOnServerSide(id), 0);
    }
    QVERIFY(clients[3].send("GetLocoName()"));
    QCOMPARE(clients[3].receive(kLocoName.size()), kLocoName.toLocal8Bit());
    QTRY_COMPARE(server->findChildren<TSServerThread*>().size(), 4);

    QList<QPointer<TSServerThread>> threads;
    for (TSServerThread* thread : server->findChildren<TSServerThread*>())
        threads << thread;
    QElapsedTimer clock;
    clock.start();
    server.reset();
    QVERIFY2(clock.elapsed() < 11000, qPrintable(QString::number(clock.elapsed())));
    for (const QPointer<TSServerThread>& thread : threads)
        QVERIFY(thread.isNull());
    for (LoopbackClient& client : clients)
        QVERIFY(client.waitForClosed());
    // The port is free again.
    QTcpServer again;
    QVERIFY(again.listen(QHostAddress::Any, port));
}

QTEST_GUILESS_MAIN(TestTSServer)
#include "tst_tsserver.moc"
