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
struct DescriptorListener : QTcpServer
{
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

    void exchanges_data()
    {
        QTest::addColumn<Exchange>("exchange");
        QTest::addColumn<bool>("ipv6"); // the client comes over IPv6
        const QByteArray ask = Frame::frame(5, 17, QString());
        const QByteArray answer = Frame::frame(5, 17, QStringLiteral("Class 66"));
        QTest::addRow("a second frame in the same segment waits for the next send")
            << Exchange{{ask + Frame::frame(2, 1, QString()), answer},
                        {Frame::frame(10, 2, QString()), Frame::frame(2, 1, QStringLiteral("Kestrel"))}}
            << false;
        // The one listening socket takes IPv6 and IPv4 clients alike.
        QTest::addRow("an IPv6 client is served") << Exchange{{ask, answer}} << true;
    }

    void exchanges()
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

    void sharedValuesAcrossClientsAndServers()
    {
        auto server = m_fixture.start();
        LoopbackClient storing, reading;
        QVERIFY(storing.connectTo(server->serverPort()) && storing.send(Frame::frame(9, 1, "A:B:1.5:1:2:3:4:5")));
        QCOMPARE(storing.receiveFrame(), Frame::frame(10, 1, QStringLiteral("TRUE")));
        QVERIFY(reading.connectTo(server->serverPort()) && reading.send(Frame::frame(10, 2, QString())));
        QCOMPARE(reading.receiveFrame(), Frame::frame(10, 2, QStringLiteral("A:B:1.5:1:2:3:4:5")));

        // A new server starts from the defaults.
        server = m_fixture.start();
        LoopbackClient later;
        QVERIFY(later.connectTo(server->serverPort()) && later.send(Frame::frame(10, 3, QString())));
        QCOMPARE(later.receiveFrame(), Frame::frame(10, 3, QStringLiteral("::0:9:169:300:200:200")));
    }

    // Each client takes the folder stored when it starts, before its first
    // request; a client that was already there keeps its library.
    void folderReadWhenClientStarts()
    {
        QTemporaryDir emptyFolder;
        auto server = m_fixture.start();
        LoopbackClient before;
        QVERIFY(before.connectTo(server->serverPort()) && ServerFixture::clientId(before) > 0);
        m_fixture.settings->OverrideTrainSimPath(emptyFolder.path());
        LoopbackClient after;
        QVERIFY(after.connectTo(server->serverPort()) && after.send(Frame::frame(5, 1, QString())));
        QCOMPARE(after.receiveFrame(), Frame::frame(5, 1, QStringLiteral("NO RESULT")));
        QVERIFY(before.send("GetLocoName()"));
        QCOMPARE(before.receive(8), QByteArray("Class 66"));
    }

    // One check per line the server writes itself; a second server on a port
    // already taken does not listen and says why.
    void logLinesAndListenFailure()
    {
        auto server = m_fixture.start();
        LoopbackClient client;
        QVERIFY(client.connectTo(server->serverPort()));
        const qintptr id = ServerFixture::clientId(client); // 0, and no line names it, when it was not served
        client.close();
        auto second = m_fixture.start(server->serverPort());
        QVERIFY(!second->isListening() && !second->listenError().isEmpty());
        for (const QString& line : QStringList{"Listening to port 0", "Connecting... " + QString::number(id),
                                               "Client disconnected ID:" + QString::number(id), "Could not start server"})
            QTRY_COMPARE(m_fixture.log.filter("(Server) - " + line).size(), 1);
    }

    // stop() ends the latest client only while the server's clients are active
    // (tst_faults ends one that way); once any client has gone, it ends none.
    void stopEndsNothingOnceAClientLeft()
    {
        auto server = m_fixture.start();
        LoopbackClient first, latest;
        QVERIFY(first.connectTo(server->serverPort()) && ServerFixture::clientId(first) > 0);
        QVERIFY(latest.connectTo(server->serverPort()) && ServerFixture::clientId(latest) > 0);
        first.close();
        QTRY_COMPARE(ServerFixture::clientThreads(server.get()), 1);
        server->stop();
        QVERIFY(ServerFixture::clientId(latest) > 0);
    }

    // Deleting a client thread that still serves ends it and waits for it,
    // instead of destroying a running QThread (which aborts the process).
    void threadDestroyedWhileServing()
    {
        DescriptorListener listener;
        LoopbackClient client;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0) && client.connectTo(listener.serverPort()));
        QTRY_VERIFY(listener.descriptor >= 0);
        SharedClientData shared;
        auto* thread = new TSServerThread(m_fixture.settings.get(), &shared, listener.descriptor, nullptr);
        thread->start();
        QVERIFY(client.send("GetLocoName()"));
        QCOMPARE(client.receive(8), QByteArray("Class 66"));
        delete thread;
        QVERIFY(client.waitForClosed());
    }

private:
    ServerFixture m_fixture;
};

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
