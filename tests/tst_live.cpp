// The live port: its HTTP answers as pure functions, the WebSocket protocol on
// the stub library, and the cab page in headless Chromium against kestreld.

#include "httpresponder.h"
#include "kestrelservice.h"
#include "liveendpoint.h"
#include "loopbackclient.h"
#include "queuedhandoff.h"
#include "serverprocess.h"
#include "settings.h"

#include "stubs/stublibrary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QStandardPaths>
#include <QTcpServer>
#include <QWebSocket>
#include <QtTest>

#include <deque>
#include <mutex>

// Holds the thread it lives in for as long as the test holds its mutex.
class Holder : public QObject
{
    Q_OBJECT

public:
    static std::mutex mutex;
    Q_INVOKABLE void hold()
    {
        std::lock_guard<std::mutex> wait(mutex);
        QueuedHandoff::send(this);
    }
};
std::mutex Holder::mutex;

class TestLive : public QObject
{
    Q_OBJECT

    struct Client
    {
        QWebSocket socket;
        QList<QJsonObject> received;

        // Greeted before it returns: until the locomotive is known, every controller is unknown.
        explicit Client(quint16 port) : Client(QUrl(QStringLiteral("ws://127.0.0.1:%1/live/v1").arg(port)))
        {
            static_cast<void>(next("hello"));
        }
        explicit Client(const QUrl& url)
        {
            QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
                received << QJsonDocument::fromJson(text.toUtf8()).object();
            });
            socket.open(url);
        }
        void send(const QJsonObject& message) { socket.sendTextMessage(QJsonDocument(message).toJson()); }
        // The first message from `from` on whose `key` is `value`; empty if none came in time.
        QJsonObject next(const QJsonValue& value, int from = 0, const QString& key = QStringLiteral("type"),
                         int timeoutMs = 5000)
        {
            static_cast<void>(QTest::qWaitFor([&] {
                while (from < received.size() && received.at(from).value(key) != value)
                    ++from;
                return from < received.size();
            }, timeoutMs));
            return received.value(from);
        }
    };

    StubLibrary m_stub{QStringLiteral("full")};
    LiveEndpoint m_live;
    const QString m_code = QStringLiteral("246810");
    QStringList m_log;

private slots:
    void initTestCase()
    {
        connect(&m_live, &LiveEndpoint::sigDebugString, this, [this](const QString& line) { m_log << line; });
    }
    void init()
    {
        m_log.clear();
        m_stub.reset();
        m_stub.setLocoName(QStringLiteral("Kestrel.:.Stub.:.Class 66"));
        m_stub.setControllerList(QStringLiteral("Throttle::Brake::Speed"));
        m_stub.setValue(2, 2, 100);
        QString error;
        QVERIFY2(m_live.start(m_stub.folder(), 0, m_code, &error, {200, 1000}), qPrintable(error));
    }
    void cleanup() { m_live.stop(); }

    void http_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("answer"); // the status code, or "incomplete" or "upgrade"
        const QString upgrade = QStringLiteral("Upgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
        QTest::addRow("a bundled file, query ignored") << "GET /cab.js?v=2 HTTP/1.1\r\nHost: x\r\n\r\n" << "200";
        QTest::addRow("no walking out of the bundle") << "GET /../kestrel.ini HTTP/1.1\r\n\r\n" << "404";
        QTest::addRow("only GET and HEAD") << "POST / HTTP/1.1\r\n\r\n" << "405";
        QTest::addRow("a head not yet whole waits") << "GET / HTTP/1.1\r\nHost:" << "incomplete";
        QTest::addRow("a head past 8 KiB") << "GET / HTTP/1.1\r\nX: " + QString(9000, 'a') << "431";
        QTest::addRow("a head of 8 KiB is whole") << "GET / HTTP/1.1\r\nX: " + QString(8192 - 19, 'a') + "\r\n\r\n" << "200";
        QTest::addRow("too many headers") << "GET / HTTP/1.1\r\n" + QString("A: b\r\n").repeated(65) + "\r\n" << "431";
        QTest::addRow("no request line") << "hello\r\n\r\n" << "400";
        QTest::addRow("the live protocol's upgrade") << "GET /live/v1 HTTP/1.1\r\n" + upgrade << "upgrade";
        QTest::addRow("an upgrade elsewhere is no live client") << "GET /other HTTP/1.1\r\n" + upgrade << "404";
    }
    void http()
    {
        QFETCH(QString, request);
        HttpResponder::Request parsed;
        const HttpResponder::Head head = HttpResponder::parse(request.toLatin1(), &parsed);
        const bool upgrade = head == HttpResponder::Head::Complete && HttpResponder::isLiveUpgrade(parsed);
        const QByteArray response = head == HttpResponder::Head::Complete ? HttpResponder::respond(parsed)
                                                                          : HttpResponder::refuse(head);
        const QString status = QString::fromLatin1(response.mid(9, 3)); // after "HTTP/1.1 "
        QTEST(head == HttpResponder::Head::Incomplete ? "incomplete" : upgrade ? "upgrade" : status, "answer");
        const int body = response.indexOf("\r\n\r\n") + 4;
        QVERIFY(response.contains("Content-Length: " + QByteArray::number(response.size() - body) + "\r\n"));
    }

    // One client: the greeting; setting, which needs the code; values at once, then beyond the deadband only.
    void aClientsSession()
    {
        m_stub.setValue(0, 0, 0.25f);
        Client client(m_live.port());
        const QJsonObject hello = client.next("hello");
        QCOMPARE(hello.value("loco").toString(), QStringLiteral("Kestrel.:.Stub.:.Class 66"));
        QCOMPARE(hello["controllers"][2].toObject(), (QJsonObject{{"index", 2}, {"name", "Speed"}, {"min", 0}, {"max", 100}}));
        QCOMPARE(hello.value("heartbeat").toDouble(), 0.2);

        auto set = [&](const QString& code) {
            const int from = client.received.size();
            client.send({{"type", "set"}, {"id", "x"}, {"controller", "Brake"}, {"value", 0.5}, {"code", code}});
            return client.next("x", from, QStringLiteral("id"));
        };
        QCOMPARE(set(m_code).value("ok").toBool(), true);
        QVERIFY(m_stub.callLog().contains(QStringLiteral("SetControllerValue(1,0.5);")));
        // Five wrong codes a minute from one address, then no more; the missing one is not counted.
        for (const char* code : {"", "1", "1", "1", "1", "1"})
            QCOMPARE(set(code).value("error").toString(), QStringLiteral("not-allowed"));
        QCOMPARE(set(m_code).value("error").toString(), QStringLiteral("too-many-codes"));
        // Counted and logged by the client's address: another address still has its tries.
        QTRY_COMPARE(m_log.filter("(Live) - 127.0.0.1 gave a wrong control code").size(), 5);
        QCOMPARE(m_log.filter("(Live) - 127.0.0.1 sets controller 1 to 0.5").size(), 1);
        if (QTcpServer().listen(QHostAddress::LocalHostIPv6)) {
            Client other(QUrl(QStringLiteral("ws://[::1]:%1/live/v1").arg(m_live.port())));
            QVERIFY(!other.next("hello").isEmpty());
            other.send({{"type", "set"}, {"controller", 0}, {"value", 1}, {"code", "1"}});
            QCOMPARE(other.next("error").value("error").toString(), QStringLiteral("not-allowed"));
        }

        client.send({{"type", "subscribe"}, {"controllers", QJsonArray{0, "Speed"}}, {"deadband", 0.1}});
        QCOMPARE(client.next("values").value("values").toObject(), (QJsonObject{{"0", 0.25}, {"2", 0}}));
        int from = client.received.size();
        m_stub.setValue(0, 0, 0.3f);  // within the deadband
        m_stub.setValue(2, 0, 42.5f); // beyond it
        QCOMPARE(client.next("values", from).value("values").toObject(), (QJsonObject{{"2", 42.5}}));

        // Through a locomotive without "Speed" to one with it at another index: the subscription by name goes
        // on, the one by index ends, and no value is sent under the old locomotive's indexes.
        from = client.received.size();
        m_stub.setControllerList(QStringLiteral("Horn"));
        m_stub.setLocoName(QStringLiteral("Kestrel.:.Stub.:.Class 08"));
        m_stub.setValue(0, 0, 1); // the horn, where index 0 was subscribed
        QVERIFY(!client.next("Kestrel.:.Stub.:.Class 08", from, QStringLiteral("loco")).isEmpty());
        m_stub.setControllerList(QStringLiteral("Speed::Horn"));
        m_stub.setValue(0, 0, 12);
        m_stub.setLocoName(QStringLiteral("Kestrel.:.Stub.:.Class 20"));
        QCOMPARE(client.next("values", from).value("values").toObject(), (QJsonObject{{"0", 12}}));
        client.send({{"type", "unsubscribe"}, {"controllers", QJsonArray{0}}}); // controller 0 by its number
        QCOMPARE(client.next("unsubscribed").value("controllers").toArray(), QJsonArray{0});
    }

    // The library is read once per controller and tick (one name call each), however many subscribe:
    // each message the first client gets, the test answers with a new value.
    void oneReadPerTickForAllSubscribers()
    {
        std::deque<Client> clients; // never moved: each one's handler holds it
        for (int i = 0; i < 6; ++i)
            clients.emplace_back(m_live.port())
                .send({{"type", "subscribe"}, {"controllers", QJsonArray{"Throttle", "Speed"}}, {"period", 50}});
        Client& first = clients.front();
        QVERIFY(!first.next("values").isEmpty());
        m_stub.clearCallLog();
        int ticks = 0;
        QObject::connect(&first.socket, &QWebSocket::textMessageReceived, [&] { m_stub.setValue(2, 0, ++ticks); });
        m_stub.setValue(2, 0, -1);
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 20, 10000);
        QVERIFY(m_stub.callLog().count(QStringLiteral("GetControllerValue(2,0);")) <= m_stub.callLog().count("GetLocoName();") + 2);
        for (const Client& client : clients)
            QVERIFY(client.received.size() >= first.received.size() - 2);
    }

    // Held still, the network side sends, once it goes on, what the sampler read in order: a new locomotive
    // before any value of it, never its values under the old one's indexes.
    void noValueBeforeItsLocomotive()
    {
        // Made before the live port's threads start, so that everything they do with it comes after.
        m_live.stop();
        auto* holder = new Holder;
        QString error;
        QVERIFY2(m_live.start(m_stub.folder(), 0, m_code, &error, {200, 1000}), qPrintable(error));
        m_stub.setValue(0, 0, 0.25f);
        Client client(m_live.port());
        client.send({{"type", "subscribe"}, {"controllers", QJsonArray{"Throttle"}}, {"period", 50}});
        QVERIFY(!client.next("values").isEmpty());
        holder->moveToThread(m_live.networkThread());
        std::unique_lock<std::mutex> held(Holder::mutex);
        QMetaObject::invokeMethod(holder, "hold", Qt::QueuedConnection);
        // Some ticks of the old locomotive wait behind it; then it changes at once as far as the sampler can
        // tell (it waits in GetLocoName meanwhile), and some ticks of the new one follow.
        m_stub.clearCallLog();
        QTRY_VERIFY(m_stub.callLog().count(QStringLiteral("GetLocoName();")) >= 2);
        m_stub.hold(true);
        QTRY_COMPARE(m_stub.waitingCalls(), 1);
        const int from = client.received.size();
        m_stub.setLocoName(QStringLiteral("Kestrel.:.Stub.:.Class 08"));
        m_stub.setControllerList(QStringLiteral("Horn::Throttle"));
        m_stub.setValue(0, 0, 1);
        m_stub.setValue(1, 0, 0.75f);
        m_stub.clearCallLog();
        m_stub.hold(false);
        QTRY_VERIFY(m_stub.callLog().count(QStringLiteral("GetLocoName();")) >= 6);
        held.unlock();
        const int loco = int(client.received.indexOf(client.next("loco", from))); // -1: none came
        QCOMPARE(client.next("values", from).value("values").toObject(), (QJsonObject{{"1", 0.75}}));
        QVERIFY(loco >= 0 && loco < client.received.indexOf(client.next("values", from)));
        m_live.stop();
        QueuedHandoff::receive(holder); // what its thread did with it, that thread has ended
        delete holder;
    }

    // A subscriber at the slowest period hears of a new locomotive within a second or so, not 10 s later.
    void newLocomotiveBetweenSlowReads()
    {
        Client client(m_live.port());
        client.send({{"type", "subscribe"}, {"controllers", QJsonArray{"Throttle"}}, {"period", 10000}});
        QVERIFY(!client.next("values").isEmpty());
        m_stub.setLocoName(QStringLiteral("Kestrel.:.Stub.:.Class 08"));
        QVERIFY(!client.next("loco").isEmpty());
    }

    // A set through either port is read again at once: its value reaches a subscriber long before the next tick
    // (10 s away), and the client that set it through the live port before the answer to its set.
    void setReachesSubscribersAtOnce_data()
    {
        QTest::addColumn<bool>("framed");
        QTest::addRow("through the live port") << false;
        QTest::addRow("through the framed protocol") << true;
    }
    void setReachesSubscribersAtOnce()
    {
        QFETCH(bool, framed);
        m_live.stop();
        QTemporaryDir dir; // for the settings
        const auto back = qScopeGuard([before = QDir::currentPath()] { QDir::setCurrent(before); });
        QVERIFY(QDir::setCurrent(dir.path()));
        Settings settings(nullptr);
        settings.OverrideTrainSimPath(m_stub.folder());
        KestrelService service(&settings);
        QVERIFY(service.start({QString(), 0, true, 0, false}));
        Client client(service.livePort());
        client.send({{"type", "subscribe"}, {"controllers", QJsonArray{"Brake"}}, {"period", 10000}});
        QCOMPARE(client.next("values").value("values").toObject(), (QJsonObject{{"1", 0}}));
        const int from = client.received.size();
        LoopbackClient main;
        if (framed)
            QVERIFY(main.connectTo(service.port()) && main.send(LoopbackClient::frame(8, 1, QStringLiteral("1:0.5"))));
        else
            client.send({{"type", "set"}, {"controller", "Brake"}, {"value", 0.5}, {"code", settings.GetLiveControlCode()}});
        QCOMPARE(client.next("values", from).value("values").toObject(), (QJsonObject{{"1", 0.5}}));
        QVERIFY(framed || client.received.indexOf(client.next("set", from)) > client.received.indexOf(client.next("values", from)));
    }

    // A closed client's session goes, and every session goes with the live port; the page's address names
    // an IPv4 address of this machine, one others reach where there is one.
    void sessionsAndAddress()
    {
        for (int i = 0; i <= 64; ++i) { // an answered page request frees its place among the 64 that may wait
            LoopbackClient page;
            QVERIFY(page.connectTo(m_live.port()) && page.send("GET / HTTP/1.1\r\n\r\n") && page.receive(12) == "HTTP/1.1 200");
        }
        {
            std::deque<Client> clients;
            for (int i = 0; i < 3; ++i)
                clients.emplace_back(m_live.port());
            QCOMPARE(LiveSession::instances(), 3);
            clients.pop_back();
            QTRY_COMPARE(LiveSession::instances(), 2);
        }
        QTRY_COMPARE(LiveSession::instances(), 0);
        Client stays(m_live.port());
        QString error; // a start while running stops first: the old port and its sessions end
        QVERIFY2(m_live.start(m_stub.folder(), 0, m_code, &error, {200, 1000}), qPrintable(error));
        QCOMPARE(LiveSession::instances(), 0);
        LiveEndpoint taken; // a port in use: it says why, and what it made goes once however often it stops
        QVERIFY(!taken.start(m_stub.folder(), m_live.port(), m_code, &error) && !error.isEmpty());
        const QHostAddress host(LiveEndpoint::reachableHost());
        const auto others = QNetworkInterface::allAddresses();
        QVERIFY(host.protocol() == QAbstractSocket::IPv4Protocol && !host.isLinkLocal());
        QCOMPARE(host.isLoopback(), std::none_of(others.begin(), others.end(), [](const QHostAddress& a) {
                     return a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback() && !a.isLinkLocal();
                 }));
    }

    // The fault's error, once, for a flood too; the connection goes on. (The documents' recorded examples
    // hold the other errors and the periods.)
    void answers_data()
    {
        QTest::addColumn<QString>("messages"); // one a line
        QTest::addColumn<QString>("error");
        QTest::addRow("a negative deadband") << "{\"type\":\"subscribe\",\"controllers\":[0],\"deadband\":-1}" << "bad-message";
        QTest::addRow("too large: 6000 characters, but 18000 bytes")
            << QStringLiteral("{\"type\":\"ping\",\"x\":\"%1\"}").arg(QString(6000, QChar(0x20ac))) << "too-large";
        QTest::addRow("too many a second") << QString("{\"type\":\"ping\"}\n").repeated(200) << "too-many";
        QTest::addRow("a binary message") << "binary:{\"type\":\"ping\"}" << "bad-message";
    }
    void answers()
    {
        QFETCH(QString, messages);
        Client client(m_live.port());
        for (const QString& message : messages.split('\n', Qt::SkipEmptyParts))
            message.startsWith("binary:") ? void(client.socket.sendBinaryMessage(message.mid(7).toUtf8()))
                                          : void(client.socket.sendTextMessage(message));
        const QJsonObject first = client.next("error");
        QTEST(first.value("error").toString(), "error");
        // The connection goes on (a flooded one once its allowance is back); by then all is answered: one error.
        QVERIFY(QTest::qWaitFor([&] {
            client.send({{"type", "ping"}});
            return !client.next("pong", client.received.indexOf(first) + 1, QStringLiteral("type"), 200).isEmpty();
        }));
        QVERIFY(client.next("error", client.received.indexOf(first) + 1, QStringLiteral("type"), 0).isEmpty());
    }

    // A client that sends nothing, not even pongs, is dropped after the timeout.
    void silentClientIsDropped()
    {
        LoopbackClient raw;
        QVERIFY(raw.connectTo(m_live.port()));
        QVERIFY(raw.send("GET /live/v1 HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
        const QDeadlineTimer tooEarly(800);
        QVERIFY(raw.waitForClosed(5000));
        QVERIFY2(tooEarly.hasExpired(), qPrintable(QString::number(tooEarly.remainingTime())));
    }

    // The page of a running kestreld in headless Chromium, asked through DevTools in real time (a virtual time
    // budget ran out before a slow WebSocket connected): the name, and a value set through the framed protocol.
    // Opened from the pairing link it drives without a code typed, and the link leaves the address bar; once
    // the control code has changed, the old link no longer drives and the page asks for the code.
    void cabPageInABrowser()
    {
        const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
        if (chromium.isEmpty())
            QSKIP("Chromium is not installed (apt-get install chromium)");
        QTemporaryDir work; // a known code and pairing secret: the link is known
        const auto serve = [&](ServerProcess& server, const QByteArray& code) {
            QFile ini(work.filePath(QStringLiteral("kestrel.ini")));
            return ini.open(QIODevice::WriteOnly)
                && ini.write("[live]\ncontrolcode=" + code + "\npairingsecret=0123456789abcdef0123456789abcdef\n") > 0
                && (ini.close(), server.start({"--port", "0", "--simulator-path", KESTREL_SIMULATOR_DIR}, work.path()));
        };
        ServerProcess server;
        QVERIFY(serve(server, "417476"));
        LoopbackClient client;
        QVERIFY(client.connectTo(server.port()));
        QVERIFY(client.send(LoopbackClient::frame(8, 1, QStringLiteral("8:2")))); // Headlights bright
        const QRegularExpression page(QStringLiteral("Cab display: http://[^/]+(:\\d+/)"));
        const auto pageOf = [&](ServerProcess& kestreld) { // empty if it never said
            static_cast<void>(QTest::qWaitFor([&] { return page.match(QString::fromLocal8Bit(kestreld.output())).hasMatch(); }));
            return "http://127.0.0.1" + page.match(QString::fromLocal8Bit(kestreld.output())).captured(1);
        };
        const QString url = pageOf(server);
        QTemporaryDir profile;
        QProcess browser;
        browser.start(chromium, {"--headless", "--no-sandbox", "--remote-debugging-port=0",
                                 "--user-data-dir=" + profile.path()});
        const QRegularExpression listening(QStringLiteral("DevTools listening on (ws://\\S+)"));
        QString printed;
        QTRY_VERIFY_WITH_TIMEOUT(
            listening.match(printed += QString::fromLocal8Bit(browser.readAllStandardError())).hasMatch(), 30000);
        Client devtools(QUrl(listening.match(printed).captured(1)));
        QTRY_COMPARE(devtools.socket.state(), QAbstractSocket::ConnectedState);
        int id = 0;
        QJsonValue session = QJsonValue::Undefined; // the page's, once attached to it
        auto call = [&](const QString& method, const QJsonObject& params) {
            devtools.send({{"id", ++id}, {"method", method}, {"params", params}, {"sessionId", session}});
            return devtools.next(id, 0, QStringLiteral("id"), 10000).value("result").toObject();
        };
        const auto open = [&](const QString& address) {
            session = QJsonValue::Undefined;
            const QJsonValue target = call("Target.createTarget", {{"url", address}}).value("targetId");
            session = call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}}).value("sessionId");
        };
        const auto evaluate = [&](const QString& expression) {
            return call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}})
                .value("result").toObject().value("value").toVariant().toString();
        };
        // Asked again until it shows what is expected or 20 s passed (a look may take long: QTRY counts looks).
        const auto shows = [&](const QString& expression, const QString& expected) {
            QString value;
            for (const QDeadlineTimer deadline(20000); (value = evaluate(expression)) != expected && !deadline.hasExpired();)
                QTest::qWait(100);
            return value;
        };
        open(url);
        const QString shown = QStringLiteral("document.getElementById('loco-name').dataset.full + '|' + document."
                                             "querySelector('[data-controller=\"Headlights\"] .value')?.textContent");
        QCOMPARE(shows(shown, "Kestrel.:.Railsim.:.Class 66 Demonstrator|2"), "Kestrel.:.Railsim.:.Class 66 Demonstrator|2");

        const QString pairing = QStringLiteral("#pair=XCEfbW0sOuCCaW9PHdP-eA");
        open(url + pairing);
        QCOMPARE(shows("location.hash + '|' + localStorage.getItem('kestrel.controlCode')", "|417476"), "|417476");
        evaluate("document.getElementById('horn').dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter'}))");
        QTRY_VERIFY(client.send(LoopbackClient::frame(6, 2, QStringLiteral("6")))
                    && client.receiveFrame() == LoopbackClient::frame(7, 2, QStringLiteral("6:1::")));

        QCOMPARE(server.stop(10000), 0);
        ServerProcess renewed;
        QVERIFY(serve(renewed, "999999"));
        open(pageOf(renewed) + pairing);
        QCOMPARE(shows("document.getElementById('code-dialog').open + '|' + location.hash", "true|"), "true|");
        browser.terminate();
        QVERIFY(browser.waitForFinished());
    }
};

QTEST_GUILESS_MAIN(TestLive)
#include "tst_live.moc"
