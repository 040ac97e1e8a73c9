// The server end to end on loopback: requests through the real listener,
// client threads and sockets, the record the clients share, the folder each
// client takes, the server's own log lines and what stop() ends.

#include "serverfixture.h"

#include <QNetworkInterface>
#include <QtTest>

namespace {

using Frame = LoopbackClient;
using Exchange = QList<QPair<QByteArray, QByteArray>>; // sent, then expected back

// Hands over accepted descriptors as they are, for a client thread to take.
class DescriptorListener : public QTcpServer
{
public:
    qintptr descriptor = -1;
    void incomingConnection(qintptr handle) override { descriptor = handle; }
};

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_fixture.setUp()); }
    void init() { m_fixture.resetStub(); }
    void exchanges_data();
    void exchanges();
    void ipv6Client();
    void sharedValuesAcrossClientsAndServers();
    void folderReadWhenClientStarts();
    void logLines();
    void listenFailure();
    void stopEndsTheLatestActiveClientOnly();
    void threadDestroyedWhileServing();

private:
    ServerFixture m_fixture;
};

void TestServer::exchanges_data()
{
    QTest::addColumn<Exchange>("exchange");
    const QByteArray ask = Frame::frame(5, 17, QString());
    QTest::addRow("a frame is answered with its tag")
        << Exchange{{ask, Frame::frame(5, 17, QStringLiteral("Class 66"))}};
    QTest::addRow("a frame in two segments is put together")
        << Exchange{{ask.left(12), QByteArray()}, {ask.mid(12), Frame::frame(5, 17, QStringLiteral("Class 66"))}};
    QTest::addRow("plain text answers carry no terminator")
        << Exchange{{"GetLocoName()<END>GetControllerValue(0;0)<END>", "Class 660.5"}};
    QTest::addRow("a second frame in the same segment waits for the next send")
        << Exchange{{ask + Frame::frame(2, 1, QString()), Frame::frame(5, 17, QStringLiteral("Class 66"))},
                    {Frame::frame(10, 2, QString()), Frame::frame(2, 1, QStringLiteral("Kestrel"))}};
    QTest::addRow("train data ends with the shared values")
        << Exchange{{Frame::frame(4, 1, QString()),
                     Frame::frame(4, 1, QStringLiteral("0.0000000:0.0000000:0.0000000:0:0:0:0.00:0:0:::0:9:169:300:200:200"))}};
}

void TestServer::exchanges()
{
    QFETCH(Exchange, exchange);
    auto server = m_fixture.start();
    QVERIFY(server);
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()));
    for (const auto& [sent, expected] : exchange) {
        QVERIFY(client.send(sent));
        if (!expected.isEmpty())
            QCOMPARE(client.receive(expected.size()), expected);
    }
}

// The listener takes IPv6 and IPv4 clients on one socket (IPv4 only where
// the machine has no IPv6).
void TestServer::ipv6Client()
{
    if (!QNetworkInterface::allAddresses().contains(QHostAddress(QHostAddress::LocalHostIPv6)))
        QSKIP("this machine has no IPv6 loopback");
    auto server = m_fixture.start();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHostIPv6, server->serverPort());
    QVERIFY(client.waitForConnected(5000));
    client.write("GetLocoName()");
    QTRY_COMPARE(client.bytesAvailable(), qint64(8));
}

void TestServer::sharedValuesAcrossClientsAndServers()
{
    auto server = m_fixture.start();
    QVERIFY(server);
    LoopbackClient storing;
    LoopbackClient reading;
    QVERIFY(storing.connectTo(server->serverPort()));
    QVERIFY(reading.connectTo(server->serverPort()));
    QVERIFY(storing.send(Frame::frame(9, 1, QStringLiteral("A:B:1.5:1:2:3:4:5"))));
    QCOMPARE(storing.receiveFrame(), Frame::frame(10, 1, QStringLiteral("TRUE")));
    QVERIFY(reading.send(Frame::frame(10, 2, QString())));
    QCOMPARE(reading.receiveFrame(), Frame::frame(10, 2, QStringLiteral("A:B:1.5:1:2:3:4:5")));

    // A new server starts from the defaults.
    server.reset();
    server = m_fixture.start();
    LoopbackClient later;
    QVERIFY(later.connectTo(server->serverPort()));
    QVERIFY(later.send(Frame::frame(10, 3, QString())));
    QCOMPARE(later.receiveFrame(), Frame::frame(10, 3, QStringLiteral("::0:9:169:300:200:200")));
}

// Each client takes the folder stored when it connects; a client that was
// already there keeps its library.
void TestServer::folderReadWhenClientStarts()
{
    QTemporaryDir emptyFolder;
    auto server = m_fixture.start();
    LoopbackClient before;
    QVERIFY(before.connectTo(server->serverPort()));
    QVERIFY(before.send("GetLocoName()"));
    QCOMPARE(before.receive(8), QByteArray("Class 66"));

    m_fixture.settings->OverrideTrainSimPath(emptyFolder.path());
    LoopbackClient after;
    QVERIFY(after.connectTo(server->serverPort()));
    QVERIFY(after.send(Frame::frame(5, 1, QString())));
    QCOMPARE(after.receiveFrame(), Frame::frame(5, 1, QStringLiteral("NO RESULT")));
    QVERIFY(before.send("GetLocoName()"));
    QCOMPARE(before.receive(8), QByteArray("Class 66"));
    m_fixture.settings->OverrideTrainSimPath(m_fixture.stub.folder());
}

// One check per line the server writes itself.
void TestServer::logLines()
{
    TSServer server(m_fixture.settings.get());
    QSignalSpy log(&server, &TSServer::sigDebugString);
    server.startListening(QString(), 0);
    QVERIFY(ServerFixture::hasLine(log, QStringLiteral("(Server) - Listening to port 0"), 0));

    LoopbackClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    const qintptr id = ServerFixture::clientId(client);
    QVERIFY(id > 0);
    QVERIFY(ServerFixture::hasLine(log, QStringLiteral("(Server) - Connecting... %1").arg(id), 0));
    client.close();
    QTRY_VERIFY(ServerFixture::hasLine(log, QStringLiteral("(Server) - Client disconnected ID:%1").arg(id), 0));
    QCOMPARE(ServerFixture::linesStartingWith(log, QStringLiteral("(Server) - Connecting...")), 1);
}

void TestServer::listenFailure()
{
    auto first = m_fixture.start();
    QVERIFY(first);
    TSServer second(m_fixture.settings.get());
    QSignalSpy log(&second, &TSServer::sigDebugString);
    second.startListening(QString(), first->serverPort());
    QVERIFY(!second.isListening());
    QVERIFY(!second.listenError().isEmpty());
    QVERIFY(ServerFixture::hasLine(log, QStringLiteral("(Server) - Could not start server"), 0));
}

// stop() ends the most recent client while it is active, and nothing once
// any client has disconnected.
void TestServer::stopEndsTheLatestActiveClientOnly()
{
    auto server = m_fixture.start();
    LoopbackClient first;
    LoopbackClient latest;
    QVERIFY(first.connectTo(server->serverPort()));
    QVERIFY(ServerFixture::clientId(first) > 0);
    QVERIFY(latest.connectTo(server->serverPort()));
    QVERIFY(ServerFixture::clientId(latest) > 0);
    server->stop();
    QVERIFY(latest.waitForClosed());
    QVERIFY(ServerFixture::clientId(first) > 0);

    LoopbackClient third;
    QVERIFY(third.connectTo(server->serverPort()));
    QVERIFY(ServerFixture::clientId(third) > 0);
    first.close(); // any disconnection marks the server's clients inactive
    QTRY_COMPARE(ServerFixture::clientThreads(server.get()), 1);
    server->stop();
    QVERIFY(ServerFixture::clientId(third) > 0);
}

// Deleting a client thread that still serves ends it and waits for it,
// instead of destroying a running QThread (which aborts the process).
void TestServer::threadDestroyedWhileServing()
{
    DescriptorListener listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    LoopbackClient client;
    QVERIFY(client.connectTo(listener.serverPort()));
    QTRY_VERIFY(listener.descriptor >= 0);
    SharedClientData shared;
    auto* thread = new TSServerThread(m_fixture.settings.get(), &shared, listener.descriptor, nullptr);
    thread->start();
    QVERIFY(client.send("GetLocoName()"));
    QCOMPARE(client.receive(8), QByteArray("Class 66"));
    delete thread;
    QVERIFY(client.waitForClosed());
}

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
