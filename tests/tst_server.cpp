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
    void init() { m_fixture.reset(); }
    void exchanges_data();
    void exchanges();
    void sharedValuesAcrossClientsAndServers();
    void folderReadWhenClientStarts();
    void logLinesAndListenFailure();
    void stopEndsTheLatestActiveClientOnly();
    void threadDestroyedWhileServing();

private:
    ServerFixture m_fixture;
};

void TestServer::exchanges_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<bool>("ipv6"); // the client comes over IPv6
    const QByteArray ask = Frame::frame(5, 17, QString());
    const QByteArray answer = Frame::frame(5, 17, QStringLiteral("Class 66"));
    QTest::addRow("a frame in two segments is put together")
        << Exchange{{ask.left(12), QByteArray()}, {ask.mid(12), answer}} << false;
    QTest::addRow("plain text answers carry no terminator")
        << Exchange{{"GetLocoName()<END>GetControllerValue(0;0)<END>", "Class 660.5"}} << false;
    QTest::addRow("a second frame in the same segment waits for the next send")
        << Exchange{{ask + Frame::frame(2, 1, QString()), answer},
                    {Frame::frame(10, 2, QString()), Frame::frame(2, 1, QStringLiteral("Kestrel"))}}
        << false;
    // The one listening socket takes IPv6 and IPv4 clients alike.
    QTest::addRow("an IPv6 client is served") << Exchange{{ask, answer}} << true;
}

void TestServer::exchanges()
{
    QFETCH(Exchange, exchange);
    QFETCH(bool, ipv6);
    const QHostAddress address(ipv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost);
    if (ipv6 && !QNetworkInterface::allAddresses().contains(address))
        QSKIP("this machine has no IPv6 loopback");
    auto server = m_fixture.start();
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort(), address));
    for (const auto& [sent, expected] : exchange) {
        QVERIFY(client.send(sent));
        if (!expected.isEmpty())
            QCOMPARE(client.receive(expected.size()), expected);
    }
}

void TestServer::sharedValuesAcrossClientsAndServers()
{
    auto server = m_fixture.start();
    LoopbackClient storing;
    LoopbackClient reading;
    QVERIFY(storing.connectTo(server->serverPort()) && reading.connectTo(server->serverPort()));
    QVERIFY(storing.send(Frame::frame(9, 1, QStringLiteral("A:B:1.5:1:2:3:4:5"))));
    QCOMPARE(storing.receiveFrame(), Frame::frame(10, 1, QStringLiteral("TRUE")));
    QVERIFY(reading.send(Frame::frame(10, 2, QString())));
    QCOMPARE(reading.receiveFrame(), Frame::frame(10, 2, QStringLiteral("A:B:1.5:1:2:3:4:5")));

    // A new server starts from the defaults.
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

// One check per line the server writes itself; a second server on a port
// already taken does not listen and says why.
void TestServer::logLinesAndListenFailure()
{
    auto server = m_fixture.start();
    const QStringList& log = m_fixture.log;
    QCOMPARE(log.filter(QStringLiteral("(Server) - Listening to port 0")).size(), 1);
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()));
    const qintptr id = ServerFixture::clientId(client);
    QVERIFY(id > 0);
    QCOMPARE(log.filter(QStringLiteral("(Server) - Connecting... %1").arg(id)).size(), 1);
    client.close();
    QTRY_COMPARE(log.filter(QStringLiteral("(Server) - Client disconnected ID:%1").arg(id)).size(), 1);

    auto second = m_fixture.start(server->serverPort());
    QVERIFY(!second->isListening());
    QVERIFY(!second->listenError().isEmpty());
    QCOMPARE(log.filter(QStringLiteral("(Server) - Could not start server")).size(), 1);
}

// stop() ends the most recent client while it is active, and nothing once
// any client has disconnected.
void TestServer::stopEndsTheLatestActiveClientOnly()
{
    auto server = m_fixture.start();
    LoopbackClient first;
    LoopbackClient latest;
    QVERIFY(first.connectTo(server->serverPort()) && ServerFixture::clientId(first) > 0);
    QVERIFY(latest.connectTo(server->serverPort()) && ServerFixture::clientId(latest) > 0);
    server->stop();
    QVERIFY(latest.waitForClosed());
    QVERIFY(ServerFixture::clientId(first) > 0);

    LoopbackClient third;
    QVERIFY(third.connectTo(server->serverPort()) && ServerFixture::clientId(third) > 0);
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
