// The live port: its HTTP answers as pure functions, the WebSocket protocol
// against a live endpoint on the stub library (greeting, values at once and
// beyond the deadband only, one library read per controller and tick however
// many subscribe, a new locomotive, setting with and without the code, every
// bad message, a silent client), and the cab page in a real browser against
// kestreld.

#include "httpresponder.h"
#include "liveendpoint.h"
#include "loopbackclient.h"
#include "serverprocess.h"

#include "stubs/stublibrary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QWebSocket>
#include <QtTest>

namespace {

const QString kCode = QStringLiteral("246810");

// A WebSocket client that keeps what it receives.
struct Client
{
    QWebSocket socket;
    QList<QJsonObject> received;

    explicit Client(quint16 port) : Client(QUrl(QStringLiteral("ws://127.0.0.1:%1/live/v1").arg(port))) {}
    explicit Client(const QUrl& url)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
            received << QJsonDocument::fromJson(text.toUtf8()).object();
        });
        socket.open(url);
    }
    void send(const QJsonObject& message) { socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson())); }
    // The first message of `type` received after `from`.
    QJsonObject next(const QString& type, int from = 0)
    {
        for (int i = from; i < received.size(); ++i) {
            if (received.at(i).value(QStringLiteral("type")).toString() == type)
                return received.at(i);
        }
        return QJsonObject();
    }
    bool waitFor(const QString& type, int from = 0, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return !next(type, from).isEmpty(); }, timeoutMs);
    }
    int count(const QString& type) const
    {
        return int(std::count_if(received.begin(), received.end(),
                                 [&](const QJsonObject& m) { return m.value(QStringLiteral("type")).toString() == type; }));
    }
};

QJsonObject subscribe(const QJsonArray& controllers, double deadband = 0, int period = 50)
{
    return {{"type", "subscribe"}, {"id", "s"}, {"controllers", controllers}, {"period", period}, {"deadband", deadband}};
}

} // namespace

class TestLive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { m_live.stop(); }
    void http_data();
    void http();
    void greetingAndValues();
    void oneReadPerTickForAllSubscribers();
    void newLocomotiveKeepsNamedSubscriptions();
    void setNeedsTheCode();
    void periodHeldWithinBounds_data();
    void periodHeldWithinBounds();
    void badMessages_data();
    void badMessages();
    void silentClientIsDropped();
    void cabPageInABrowser();

private:
    StubLibrary m_stub{QStringLiteral("full")};
    LiveEndpoint m_live;
};

void TestLive::initTestCase()
{
    QVERIFY2(m_stub.isValid(), qPrintable(m_stub.errorString()));
}

void TestLive::init()
{
    m_stub.reset();
    m_stub.setLocoName(QStringLiteral("Kestrel.:.Stub.:.Class 66"));
    m_stub.setControllerList(QStringLiteral("Throttle::Brake::Speed"));
    m_stub.setValue(0, 2, 1);
    m_stub.setValue(2, 2, 100);
    QString error;
    LiveSession::Timing timing;
    timing.heartbeatMs = 200;
    timing.timeoutMs = 1000;
    QVERIFY2(m_live.start(m_stub.folder(), 0, kCode, &error, timing), qPrintable(error));
}

void TestLive::http_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status"); // empty: not answered yet
    QTest::addColumn<bool>("upgrade");
    const QByteArray upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\n";
    QTest::addRow("the cab page") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("200 OK") << false;
    QTest::addRow("its script, query ignored") << QByteArray("GET /cab.js?v=2 HTTP/1.1\r\n\r\n") << QByteArray("200 OK") << false;
    QTest::addRow("no walking out of the bundle") << QByteArray("GET /../kestrel.ini HTTP/1.1\r\n\r\n")
                                                  << QByteArray("404 Not Found") << false;
    QTest::addRow("only GET and HEAD") << QByteArray("POST / HTTP/1.1\r\n\r\n") << QByteArray("405 Method Not Allowed") << false;
    QTest::addRow("a head not yet whole waits") << QByteArray("GET / HTTP/1.1\r\nHost:") << QByteArray() << false;
    QTest::addRow("a head past 8 KiB is refused") << "GET / HTTP/1.1\r\nX: " + QByteArray(9000, 'a')
                                                  << QByteArray("431 Request Header Fields Too Large") << false;
    QTest::addRow("too many headers are refused") << "GET / HTTP/1.1\r\n" + QByteArray("A: b\r\n").repeated(65) + "\r\n"
                                                  << QByteArray("431 Request Header Fields Too Large") << false;
    QTest::addRow("no request line") << QByteArray("hello\r\n\r\n") << QByteArray("400 Bad Request") << false;
    QTest::addRow("the live protocol's upgrade") << "GET /live/v1 HTTP/1.1\r\n" + upgrade + "\r\n" << QByteArray() << true;
    QTest::addRow("an upgrade elsewhere is no live client") << "GET /other HTTP/1.1\r\n" + upgrade + "\r\n"
                                                            << QByteArray("404 Not Found") << false;
}

void TestLive::http()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(bool, upgrade);
    HttpResponder::Request parsed;
    const HttpResponder::Head head = HttpResponder::parse(request, &parsed);
    if (status.isEmpty() && !upgrade) {
        QCOMPARE(head, HttpResponder::Head::Incomplete);
        return;
    }
    QCOMPARE(head == HttpResponder::Head::Complete && HttpResponder::isLiveUpgrade(parsed), upgrade);
    if (upgrade)
        return;
    const QByteArray response = head == HttpResponder::Head::Complete ? HttpResponder::respond(parsed)
                                                                      : HttpResponder::refuse(head);
    QVERIFY2(response.startsWith("HTTP/1.1 " + status + "\r\n"), response.left(60).constData());
    const int body = response.indexOf("\r\n\r\n") + 4;
    QVERIFY(response.contains("Content-Length: " + QByteArray::number(response.size() - body) + "\r\n"));
}

void TestLive::greetingAndValues()
{
    m_stub.setValue(0, 0, 0.25f);
    Client client(m_live.port());
    QVERIFY(client.waitFor(QStringLiteral("hello")));
    const QJsonObject hello = client.next(QStringLiteral("hello"));
    QCOMPARE(hello.value("loco").toString(), QStringLiteral("Kestrel.:.Stub.:.Class 66"));
    QCOMPARE(hello.value("controllers").toArray().at(2).toObject(),
             (QJsonObject{{"index", 2}, {"name", "Speed"}, {"min", 0}, {"max", 100}}));
    QCOMPARE(hello.value("heartbeat").toDouble(), 0.2);

    // The current values at once, then only what moved beyond the deadband.
    client.send(subscribe({"Throttle", 2}, 0.1));
    QVERIFY(client.waitFor(QStringLiteral("values")));
    QCOMPARE(client.next(QStringLiteral("values")).value("values").toObject(), (QJsonObject{{"0", 0.25}, {"2", 0}}));
    const int before = client.received.size();
    m_stub.setValue(0, 0, 0.3f);  // within the deadband
    m_stub.setValue(2, 0, 42.5f); // beyond it
    QVERIFY(client.waitFor(QStringLiteral("values"), before));
    QCOMPARE(client.next(QStringLiteral("values"), before).value("values").toObject(), (QJsonObject{{"2", 42.5}}));

    client.send({{"type", "unsubscribe"}, {"controllers", QJsonArray{"Throttle"}}});
    QVERIFY(client.waitFor(QStringLiteral("unsubscribed")));
    QCOMPARE(client.next(QStringLiteral("unsubscribed")).value("controllers").toArray(), QJsonArray{0});
}

// The library is read once per controller and tick, however many subscribe:
// each message the first client gets, the test answers with a new value.
void TestLive::oneReadPerTickForAllSubscribers()
{
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 6; ++i) {
        clients.push_back(std::make_unique<Client>(m_live.port()));
        QVERIFY(clients.back()->waitFor(QStringLiteral("hello")));
        clients.back()->send(subscribe({"Throttle", "Speed"}));
    }
    QVERIFY(QTest::qWaitFor([&] { return clients.front()->count(QStringLiteral("values")) > 0; }, 5000));
    m_stub.clearCallLog();
    const int start = clients.front()->count(QStringLiteral("values"));
    float speed = 1;
    QObject::connect(&clients.front()->socket, &QWebSocket::textMessageReceived, [&] { m_stub.setValue(2, 0, ++speed); });
    m_stub.setValue(2, 0, speed);
    QVERIFY(QTest::qWaitFor([&] { return clients.front()->count(QStringLiteral("values")) >= start + 20; }, 10000));
    const QString calls = m_stub.callLog();
    const int ticks = clients.front()->count(QStringLiteral("values")) - start;
    QVERIFY2(calls.count(QStringLiteral("GetControllerValue(2,0);")) <= ticks + 2, qPrintable(calls.left(300)));
    QCOMPARE(calls.count(QStringLiteral("GetControllerValue(0,0);")), calls.count(QStringLiteral("GetControllerValue(2,0);")));
    for (const auto& client : clients)
        QVERIFY(client->count(QStringLiteral("values")) >= ticks - 2);
}

void TestLive::newLocomotiveKeepsNamedSubscriptions()
{
    Client client(m_live.port());
    QVERIFY(client.waitFor(QStringLiteral("hello")));
    client.send(subscribe({"Speed", 0}));
    QVERIFY(client.waitFor(QStringLiteral("values")));
    const int before = client.received.size();
    m_stub.setControllerList(QStringLiteral("Horn::Speed"));
    m_stub.setLocoName(QStringLiteral("Kestrel.:.Stub.:.Class 43"));
    m_stub.setValue(0, 0, 1); // the horn, where the old index 0 was subscribed
    m_stub.setValue(1, 0, 77);
    QVERIFY(client.waitFor(QStringLiteral("loco"), before, 5000));
    // No value of the new locomotive went out before the news of it.
    for (int i = before; client.received.at(i).value("type") != QLatin1String("loco"); ++i)
        QVERIFY(client.received.at(i).value("type") != QLatin1String("values"));
    QCOMPARE(client.next(QStringLiteral("loco"), before).value("loco").toString(), QStringLiteral("Kestrel.:.Stub.:.Class 43"));
    // "Speed" is controller 1 now; the subscription to index 0 has ended.
    QVERIFY(client.waitFor(QStringLiteral("values"), before));
    QCOMPARE(client.next(QStringLiteral("values"), before).value("values").toObject(), (QJsonObject{{"1", 77}}));

    // A locomotive without "Speed", then one with it again: still watched.
    m_stub.setControllerList(QStringLiteral("Horn"));
    m_stub.setLocoName(QStringLiteral("Kestrel.:.Stub.:.Class 08"));
    QVERIFY(client.waitFor(QStringLiteral("loco"), client.received.size() - 1));
    const int gone = client.received.size();
    m_stub.setControllerList(QStringLiteral("Speed"));
    m_stub.setValue(0, 0, 12);
    m_stub.setLocoName(QStringLiteral("Kestrel.:.Stub.:.Class 20"));
    QVERIFY(client.waitFor(QStringLiteral("values"), gone));
    QCOMPARE(client.next(QStringLiteral("values"), gone).value("values").toObject(), (QJsonObject{{"0", 12}}));
}

void TestLive::setNeedsTheCode()
{
    Client client(m_live.port());
    QVERIFY(client.waitFor(QStringLiteral("hello")));
    auto set = [&](const QString& code) {
        client.received.clear();
        client.send({{"type", "set"}, {"id", "x"}, {"controller", "Brake"}, {"value", 0.5}, {"code", code}});
        static_cast<void>(QTest::qWaitFor([&] { return !client.received.isEmpty(); }, 5000));
        return client.received.value(0);
    };
    m_stub.clearCallLog();
    QCOMPARE(set(QString()).value("error").toString(), QStringLiteral("not-allowed"));
    const QJsonObject done = set(kCode);
    QCOMPARE(done.value("ok").toBool(), true);
    QCOMPARE(done.value("id"), QJsonValue("x")); // echoed as sent
    QTRY_COMPARE(m_stub.callLog(), QStringLiteral("SetControllerValue(1,0.5);"));
    // Five wrong codes a minute from one address, then no more tries.
    for (int i = 0; i < 5; ++i)
        QCOMPARE(set(QStringLiteral("111111")).value("error").toString(), QStringLiteral("not-allowed"));
    QCOMPARE(set(kCode).value("error").toString(), QStringLiteral("too-many-codes"));
}

void TestLive::periodHeldWithinBounds_data()
{
    QTest::addColumn<QJsonValue>("asked");
    QTest::addColumn<int>("period");
    QTest::addRow("none asked: 100 ms") << QJsonValue(QJsonValue::Undefined) << 100;
    QTest::addRow("a fraction is rounded, not the fastest rate") << QJsonValue(250.5) << 251;
    QTest::addRow("too fast is the fastest allowed") << QJsonValue(1) << 50;
    QTest::addRow("beyond an int is the slowest allowed") << QJsonValue(1e10) << 10000;
}

void TestLive::periodHeldWithinBounds()
{
    QFETCH(QJsonValue, asked);
    Client client(m_live.port());
    QVERIFY(client.waitFor(QStringLiteral("hello")));
    QJsonObject message{{"type", "subscribe"}, {"controllers", QJsonArray{0}}};
    if (!asked.isUndefined())
        message.insert(QStringLiteral("period"), asked);
    client.send(message);
    QVERIFY(client.waitFor(QStringLiteral("subscribed")));
    QTEST(client.next(QStringLiteral("subscribed")).value("period").toInt(), "period");
}

void TestLive::badMessages_data()
{
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("error");
    QTest::addRow("not JSON") << QStringList{"{nope"} << "not-json";
    QTest::addRow("no object") << QStringList{"[1]"} << "bad-message";
    QTest::addRow("an unknown type") << QStringList{"{\"type\":\"fly\"}"} << "unknown-type";
    QTest::addRow("an unknown controller") << QStringList{"{\"type\":\"subscribe\",\"controllers\":[\"Wings\",99]}"} << "unknown-controller";
    QTest::addRow("unsubscribe with no array") << QStringList{"{\"type\":\"unsubscribe\",\"controllers\":0}"} << "bad-message";
    QTest::addRow("a negative deadband") << QStringList{"{\"type\":\"subscribe\",\"controllers\":[0],\"deadband\":-1}"} << "bad-message";
    QTest::addRow("too large") << QStringList{"{\"type\":\"ping\",\"x\":\"" + QString(20000, 'x') + "\"}"} << "too-large";
    QStringList flood;
    for (int i = 0; i < 200; ++i)
        flood << QStringLiteral("{\"type\":\"ping\"}");
    QTest::addRow("too many a second") << flood << "too-many";
}

void TestLive::badMessages()
{
    QFETCH(QStringList, messages);
    QFETCH(QString, error);
    Client client(m_live.port());
    Client other(m_live.port());
    QVERIFY(client.waitFor(QStringLiteral("hello")) && other.waitFor(QStringLiteral("hello")));
    for (const QString& message : messages)
        client.socket.sendTextMessage(message);
    QVERIFY(client.waitFor(QStringLiteral("error")));
    QCOMPARE(client.next(QStringLiteral("error")).value("error").toString(), error);
    // The flood's answer is one error, not one per message.
    QVERIFY(client.count(QStringLiteral("error")) == 1 || error != QLatin1String("too-many"));
    // The connection and everyone else go on.
    other.send({{"type", "ping"}, {"id", "o"}});
    QVERIFY(other.waitFor(QStringLiteral("pong")));
    // The flooded client too, once its allowance has come back.
    QVERIFY(QTest::qWaitFor([&] {
        client.send({{"type", "ping"}, {"id", "c"}});
        return client.waitFor(QStringLiteral("pong"), 0, 200);
    }, 5000));
}

// A client that sends nothing, not even pongs, is dropped after the
// stated timeout.
void TestLive::silentClientIsDropped()
{
    LoopbackClient raw;
    QVERIFY(raw.connectTo(m_live.port()));
    QVERIFY(raw.send("GET /live/v1 HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
    QVERIFY(raw.receive(12).startsWith("HTTP/1.1 101"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(raw.waitForClosed(5000));
    QVERIFY2(clock.elapsed() >= 800, qPrintable(QString::number(clock.elapsed())));
}

// The page from a running kestreld, in headless Chromium: the locomotive's
// name and a value just set through the framed protocol. The test asks the
// page itself through Chromium's DevTools protocol until both are there, in
// real time: a virtual time budget runs out before a slow WebSocket connects.
void TestLive::cabPageInABrowser()
{
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        QSKIP("Chromium is not installed (apt-get install chromium)");
    ServerProcess server;
    QVERIFY(server.start({"--port", "0", "--simulator-path", KESTREL_SIMULATOR_DIR}));
    const QRegularExpression page(QStringLiteral("Cab display: http://[^/]+:(\\d+)/"));
    QTRY_VERIFY(page.match(QString::fromLocal8Bit(server.output())).hasMatch());
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(page.match(QString::fromLocal8Bit(server.output())).captured(1));
    LoopbackClient client;
    QVERIFY(client.connectTo(server.port()));
    QVERIFY(client.send(LoopbackClient::frame(8, 1, QStringLiteral("8:2")))); // Headlights bright
    QVERIFY(!client.receiveFrame().isEmpty());

    QTemporaryDir profile;
    QProcess browser;
    browser.start(chromium, {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-sync",
                             "--disable-background-networking", "--disable-component-update",
                             "--remote-debugging-port=0", "--user-data-dir=" + profile.path(), url});
    const QRegularExpression listening(QStringLiteral("DevTools listening on (ws://\\S+)"));
    QString printed;
    QTRY_VERIFY_WITH_TIMEOUT(listening.match(printed += QString::fromLocal8Bit(browser.readAllStandardError())).hasMatch(),
                             30000);
    Client devtools(QUrl(listening.match(printed).captured(1)));
    QTRY_COMPARE(devtools.socket.state(), QAbstractSocket::ConnectedState);
    int id = 0;
    auto call = [&](const QString& method, const QJsonObject& params, const QString& session = QString()) {
        QJsonObject message{{"id", ++id}, {"method", method}, {"params", params}};
        if (!session.isEmpty())
            message.insert(QStringLiteral("sessionId"), session);
        devtools.send(message);
        auto reply = [&] {
            for (const QJsonObject& m : devtools.received)
                if (m.value(QStringLiteral("id")).toInt() == id)
                    return m.value(QStringLiteral("result")).toObject();
            return QJsonObject();
        };
        static_cast<void>(QTest::qWaitFor([&] { return !reply().isEmpty(); }, 10000));
        return reply();
    };
    QString target;
    for (const QJsonValue info : call(QStringLiteral("Target.getTargets"), {}).value("targetInfos").toArray())
        target = info.toObject().value("type").toString() == QLatin1String("page") ? info.toObject().value("targetId").toString() : target;
    const QString session = call(QStringLiteral("Target.attachToTarget"), {{"targetId", target}, {"flatten", true}})
                                .value("sessionId").toString();
    QVERIFY(!session.isEmpty());
    const QString shown = QStringLiteral(
        "document.getElementById('loco-name').dataset.full + '|' + "
        "(document.querySelector('[data-controller=\"Headlights\"] .value') || {}).textContent");
    auto evaluate = [&] {
        return call(QStringLiteral("Runtime.evaluate"), {{"expression", shown}, {"returnByValue", true}}, session)
            .value("result").toObject().value("value").toString();
    };
    QTRY_COMPARE_WITH_TIMEOUT(evaluate(), QStringLiteral("Kestrel.:.Railsim.:.Class 66 Demonstrator|2"), 20000);
    browser.kill();
    browser.waitForFinished();
}

QTEST_GUILESS_MAIN(TestLive)
#include "tst_live.moc"
