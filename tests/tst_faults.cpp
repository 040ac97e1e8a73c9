// Faults and hostile clients. The server in this process: clients that drop
// in the middle of a frame, go silent, come and go a thousand times, send
// random bytes, the largest frame, floods of text or nothing at all for too
// long, too many connections from one address or all at once, a library call
// that does not return. kestreld as a user runs it: replies that must stay
// frames, floods and unread replies under a memory bound, an output nobody
// reads, too few descriptors, and SIGTERM with a hundred busy clients. Each
// row proves its fix with a bound measured here: time, memory, threads,
// descriptors, bytes or log lines.

#include <QtGlobal>
// Winsock before the Windows headers that the helpers below include.
#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <dirent.h>
#endif

#include "serverfixture.h"
#include "serverprocess.h"

#include "framecodec.h"

#include <QRandomGenerator>
#include <QtTest>



// Under a sanitizer the process's memory and speed are the sanitizer's: the
// memory bounds are not checked and the time bounds are wider.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTREL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTREL_SANITIZED 1
#endif
#endif

namespace {

using Frame = LoopbackClient;
constexpr int kMaxBody = 999999;
#ifdef KESTREL_SANITIZED
constexpr int kSlow = 3;
constexpr int kIdleThreads = 3; // the main thread, Qt's, and the sanitizer's
#else
constexpr int kSlow = 1;
constexpr int kIdleThreads = 2; // the main thread and Qt's
#endif

#ifdef Q_OS_LINUX
// A number from /proc/<pid>/status ("VmHWM" in KiB, "Threads"); pid 0 is
// this process.
qint64 statusField(qint64 pid, const QByteArray& field)
{
    QFile status(pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int descriptorCount()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            count += entry->d_name[0] != '.' ? 1 : 0;
        ::closedir(dir);
    }
    return count;
}
#endif

// Bytes that reached the server's side of a connection but that its client
// thread has not read yet (the server runs here, so its descriptor is ours).
int unreadOnServerSide(qintptr descriptor)
{
#ifdef Q_OS_WIN
    u_long count = 0;
    return ioctlsocket(SOCKET(descriptor), FIONREAD, &count) == 0 ? int(count) : -1;
#else
    int count = 0;
    return ::ioctl(int(descriptor), FIONREAD, &count) == 0 ? count : -1;
#endif
}

// Keeps this thread's event loop running until `predicate` holds, without
// QTest::qWaitFor's sleeps, so that a thousand connections stay quick.
template <typename Predicate>
bool waitUntil(Predicate predicate, int timeoutMs = 5000 * kSlow)
{
    QElapsedTimer clock;
    clock.start();
    while (!predicate()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// The server writes every frame it receives to the debug output.
struct QuietDebug
{
    QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& m) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(m));
    });
    ~QuietDebug() { qInstallMessageHandler(previous); }
};

// A plain-text request whose answer is about `megabytes` MB (when it
// arrives whole): records of controller 14 and its value.
QByteArray bigRequest(int megabytes)
{
    return "GetControllerValueMultiplyRaw(" + QByteArray("14:").repeated(megabytes * 1024 * 1024 / 8) + "14)<END>";
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_fixture.setUp()); }
    void init() { m_fixture.resetStub(); }

    void clientDropsMidFrame_data();
    void clientDropsMidFrame();
    void silentClientIsDroppedOthersServed();
    void endWhileClientWaitsForBody_data();
    void endWhileClientWaitsForBody();
    void connectDisconnectCyclesLeakNothing();
    void largestFrame_data();
    void largestFrame();
    void randomBytesClients();
    void logFloodIsDroppedAndCounted();
    void limits_data();
    void limits();
    void stuckLibraryNeverHoldsStop();
    void connectBurstIsNotHeldBack();
    void kestreld_data();
    void kestreld();
    void outputNobodyReads_data();
    void outputNobodyReads();
    void outOfDescriptors();

private:
    ServerFixture m_fixture;
};

void TestFaults::clientDropsMidFrame_data()
{
    QTest::addColumn<int>("sentBytes"); // of the 20-byte frame "@000012;005;000001;;"
    QTest::addColumn<bool>("reset");
    QTest::addRow("closes after the header and one body byte") << 9 << false;
    QTest::addRow("closes one byte before the end") << 19 << false;
    QTest::addRow("resets halfway through the body") << 14 << true;
}

void TestFaults::clientDropsMidFrame()
{
    QFETCH(int, sentBytes);
    QFETCH(bool, reset);

    auto server = m_fixture.start();
    LoopbackClient steady;
    QVERIFY(steady.connectTo(server->serverPort()));
    QVERIFY(ServerFixture::clientId(steady) > 0);
    {
        LoopbackClient leaving;
        QVERIFY(leaving.connectTo(server->serverPort()));
        const qintptr id = ServerFixture::clientId(leaving);
        QVERIFY(leaving.send(Frame::frame(5, 1, QString()).left(sentBytes)));
        QTRY_COMPARE(unreadOnServerSide(id), 0); // the client thread waits for the rest
        if (reset) {
            // A zero linger time makes the close a reset, as a crashed client's is.
            const linger noLinger{1, 0};
            ::setsockopt(decltype(::socket(0, 0, 0))(leaving.socket().socketDescriptor()), SOL_SOCKET, SO_LINGER,
                         reinterpret_cast<const char*>(&noLinger), sizeof noLinger);
            leaving.socket().abort();
        } else {
            leaving.close();
        }
    }
    // Its thread ends long before the frame wait would run out.
    QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 1; }));
    QVERIFY(steady.send(Frame::frame(5, 2, QString())));
    QCOMPARE(steady.receiveFrame(), Frame::frame(5, 2, QStringLiteral("Class 66")));
}

void TestFaults::silentClientIsDroppedOthersServed()
{
    auto server = m_fixture.start();
    LoopbackClient silent;
    QVERIFY(silent.connectTo(server->serverPort()));
    const qintptr id = ServerFixture::clientId(silent);
    QElapsedTimer clock;
    QVERIFY(silent.send(Frame::frame(2, 1, QString(100, QLatin1Char('x'))).left(40)));
    clock.start();
    QTRY_COMPARE(unreadOnServerSide(id), 0);

    // Others are answered at once while it waits for the rest of its frame.
    LoopbackClient other;
    QVERIFY(other.connectTo(server->serverPort()));
    QElapsedTimer answer;
    answer.start();
    QVERIFY(other.send(Frame::frame(5, 1, QString())));
    QCOMPARE(other.receiveFrame(2000), Frame::frame(5, 1, QStringLiteral("Class 66")));
    QVERIFY(answer.elapsed() < 1000 * kSlow);
    // After 10000 ms without data it is disconnected without a reply.
    QVERIFY(silent.waitForClosed(12000));
    QVERIFY2(clock.elapsed() >= 9500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(silent.takeReceived(), QByteArray());
}

void TestFaults::endWhileClientWaitsForBody_data()
{
    QTest::addColumn<bool>("destroy");      // destroy the server instead of stop()
    QTest::addColumn<int>("announcedBody"); // the silent client's length field
    QTest::addRow("stop() ends the latest client waiting for a short frame") << false << 100;
    QTest::addRow("stop() ends the latest client waiting for the largest frame") << false << kMaxBody;
    QTest::addRow("destruction ends idle, served and waiting clients") << true << 100;
}

void TestFaults::endWhileClientWaitsForBody()
{
    QFETCH(bool, destroy);
    QFETCH(int, announcedBody);

    auto server = m_fixture.start();
    LoopbackClient idle;
    LoopbackClient served;
    LoopbackClient silent; // last: stop() ends the latest client only
    qintptr silentId = 0;
    for (LoopbackClient* client : {&idle, &served, &silent}) {
        QVERIFY(client->connectTo(server->serverPort()));
        QVERIFY((silentId = ServerFixture::clientId(*client)) > 0);
    }
    QVERIFY(served.send("GetLocoName()"));
    QCOMPARE(served.receive(8), QByteArray("Class 66"));
    QVERIFY(silent.send('@' + QByteArray::number(announcedBody).rightJustified(6, '0') + ";002;000001;"));
    QTRY_COMPARE(unreadOnServerSide(silentId), 0); // its thread waits for the body

    QElapsedTimer clock;
    clock.start();
    if (destroy)
        server.reset();
    else
        server->stop();
    QVERIFY2(clock.elapsed() < 1000 * kSlow, qPrintable(QStringLiteral("took %1 ms").arg(clock.elapsed())));
    QVERIFY(silent.waitForClosed());
    QCOMPARE(silent.takeReceived(), QByteArray());
    if (destroy) {
        QVERIFY(idle.waitForClosed());
        QVERIFY(served.waitForClosed());
        return;
    }
    QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 2; }));
    QVERIFY(idle.send(Frame::frame(5, 2, QString())));
    QCOMPARE(idle.receiveFrame(), Frame::frame(5, 2, QStringLiteral("Class 66")));
}

// Threads, descriptors and memory a client cost are all given back.
void TestFaults::connectDisconnectCyclesLeakNothing()
{
    auto server = m_fixture.start();
    const quint16 port = server->serverPort();
    QuietDebug quiet;
    // Every third client leaves by abort, every other one asks first.
    auto cycle = [&](int i) -> bool {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }))
            return false;
        if (i % 2 == 1) {
            socket.write("GetLocoName()");
            if (!waitUntil([&] { return socket.bytesAvailable() >= 8; }) || socket.readAll() != "Class 66")
                return false;
        }
        if (i % 3 == 0) {
            socket.abort();
            return true;
        }
        socket.disconnectFromHost();
        return socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(5000);
    };
    auto settle = [&] { return waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 0; }, 10000 * kSlow); };

    for (int i = 0; i < 100; ++i) // warm-up: pools, arenas, the library's first load
        QVERIFY(cycle(i));
    QVERIFY(settle());
#ifdef Q_OS_LINUX
    QVERIFY(waitUntil([&] { return statusField(0, "Threads") <= kIdleThreads; }));
    const qint64 threads = statusField(0, "Threads");
    const int descriptors = descriptorCount();
    [[maybe_unused]] const qint64 resident = statusField(0, "VmRSS"); // unchecked under a sanitizer
#endif
    for (int i = 0; i < 1000; ++i) {
        QVERIFY2(cycle(i), qPrintable(QStringLiteral("cycle %1").arg(i)));
        if (i % 100 == 99) {
            QVERIFY(settle());
            m_fixture.stub.clearCallLog();
        }
    }
    QVERIFY(settle());
#ifdef Q_OS_LINUX
    QVERIFY(waitUntil([&] { return statusField(0, "Threads") <= threads; }));
    QCOMPARE(descriptorCount(), descriptors);
#ifndef KESTREL_SANITIZED
    const qint64 grown = statusField(0, "VmRSS") - resident;
    QVERIFY2(grown < 2048, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));
#endif
#endif
}

void TestFaults::largestFrame_data()
{
    QTest::addColumn<int>("segments");
    QTest::addRow("in one send") << 1;
    QTest::addRow("in 16 segments") << 16;
}

void TestFaults::largestFrame()
{
    QFETCH(int, segments);
    auto server = m_fixture.start();
    QuietDebug quiet;
    // Code 2 answers whatever the request carries.
    const QByteArray ask = Frame::frame(2, 1, QString(kMaxBody - 12, QLatin1Char('x')));
    QCOMPARE(ask.size(), 8 + kMaxBody);
    auto serveOne = [&](int tag) -> bool {
        LoopbackClient client;
        if (!client.connectTo(server->serverPort()))
            return false;
        const int step = (ask.size() + segments - 1) / segments;
        for (int offset = 0; offset < ask.size(); offset += step) {
            if (!client.send(ask.mid(offset, step), 10000))
                return false;
        }
        if (client.receiveFrame(10000 * kSlow) != Frame::frame(2, 1, QStringLiteral("Kestrel")))
            return false;
        return ServerFixture::clientId(client) > 0 && tag > 0;
    };
    QVERIFY(serveOne(1)); // warm-up
    QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 0; }));
#ifdef Q_OS_LINUX
    [[maybe_unused]] const qint64 resident = statusField(0, "VmRSS");
#endif
    for (int tag = 2; tag < 6; ++tag) {
        QVERIFY(serveOne(tag));
        QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 0; }));
    }
#if defined(Q_OS_LINUX) && !defined(KESTREL_SANITIZED)
    // Each client held its megabyte frame several times over; none stays.
    const qint64 grown = statusField(0, "VmRSS") - resident;
    QVERIFY2(grown < 8192, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));
#endif
}

void TestFaults::randomBytesClients()
{
    auto server = m_fixture.start();
    const quint16 port = server->serverPort();
    QuietDebug quiet;
    QRandomGenerator random(20240611);
    // A quarter start like a frame, a quarter like a command with an
    // argument, so that random bytes reach past the first decisions.
    const QByteArray openings[] = {QByteArray(), QByteArray(), "GetControllerValue(", "SetControllerValue("};
    for (int batch = 0; batch < 20; ++batch) {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int i = 0; i < 10; ++i) {
            QByteArray bytes(1 + int(random.bounded(2048)), Qt::Uninitialized);
            for (char& byte : bytes)
                byte = char(random.bounded(256));
            const int kind = int(random.bounded(4));
            bytes.prepend(kind == 0 ? '@' + QByteArray::number(1 + random.bounded(kMaxBody)).rightJustified(6, '0') + ';'
                                    : openings[kind]);
            auto socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(waitUntil([&] { return socket->state() == QAbstractSocket::ConnectedState; }));
            socket->write(bytes);
            sockets.push_back(std::move(socket));
        }
        for (auto& socket : sockets)
            socket->disconnectFromHost();
        QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 0; }, 20000 * kSlow));
    }
    // A client that behaves is served as on a fresh server.
    LoopbackClient client;
    QVERIFY(client.connectTo(port));
    QVERIFY(client.send(Frame::frame(7, 3, QString())));
    QCOMPARE(client.receiveFrame(), Frame::frame(7, 3, QStringLiteral("0::Throttle::0::1::1::Brake::0::1::")));
}

// A text of a hundred thousand commands makes two log lines each: they may
// not pile up on the server's thread, are dropped and counted instead, and
// the server goes on accepting and answering.
void TestFaults::logFloodIsDroppedAndCounted()
{
    auto server = m_fixture.start();
    QSignalSpy log(server.get(), &TSServer::sigDebugString);
    LoopbackClient flooding;
    QVERIFY(flooding.connectTo(server->serverPort()));
    QVERIFY(flooding.send(QByteArray("x<END>").repeated(100000), 20000));
    LoopbackClient other;
    QVERIFY(other.connectTo(server->serverPort()));
    QVERIFY(other.send(Frame::frame(5, 1, QString())));
    QCOMPARE(other.receiveFrame(4000 * kSlow), Frame::frame(5, 1, QStringLiteral("Class 66")));
    // Every line of the flood either reached the log or was counted.
    int dropped = 0;
    auto accounted = [&] {
        int lines = 0;
        dropped = 0;
        for (const QList<QVariant>& line : log) {
            const QString text = line.at(0).toString();
            if (text.startsWith(QLatin1String("(Server) - Command: "))
                || text.startsWith(QLatin1String("(Server) - Unknown Command: ")))
                ++lines;
            else if (text.endsWith(QLatin1String(" log lines dropped")))
                dropped += text.section(QLatin1Char(' '), 2, 2).toInt();
        }
        return lines + dropped;
    };
    QTRY_VERIFY_WITH_TIMEOUT(accounted() >= 199000, 20000 * kSlow);
    QVERIFY(dropped > 0);
}

void TestFaults::limits_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("clients");
    QTest::addColumn<int>("served"); // of `clients`, served once they are all in
    QTest::addColumn<QString>("line");
    QTest::addRow("a connection silent past limits/idletimeout is closed")
        << QByteArray("[limits]\nidletimeout=1\n") << 1 << 0 << "(Server) - Client ID:%1 sent nothing for 1 s; connection closed";
    QTest::addRow("connectionsperaddress=0 is no limit") << QByteArray("[limits]\nconnectionsperaddress=0\n") << 3 << 3 << "";
    QTest::addRow("one address holds at most limits/connectionsperaddress")
        << QByteArray("[limits]\nconnectionsperaddress=3\n") << 4 << 3 << "(Server) - Too many connections from 127.0.0.1, connection refused ID:%1";
}

void TestFaults::limits()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, clients);
    QFETCH(int, served);
    QFETCH(QString, line);

    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("kestrel.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size());
    file.close();
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    Settings settings(nullptr);
    settings.OverrideTrainSimPath(m_fixture.stub.folder());
    QDir::setCurrent(previous);
    TSServer server(&settings);
    QSignalSpy log(&server, &TSServer::sigDebugString);
    server.startListening(QString(), 0);

    std::vector<std::unique_ptr<LoopbackClient>> connections;
    // A refused connection may be closed before its client sees it open.
    for (int i = 0; i < clients; ++i) {
        connections.push_back(std::make_unique<LoopbackClient>());
        QVERIFY(connections.back()->connectTo(server.serverPort()) || i >= served);
    }
    QElapsedTimer clock;
    clock.start();
    if (!line.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(ServerFixture::linesStartingWith(log, line.section(QLatin1Char('%'), 0, 0)), 1, 5000 * kSlow);
    int answered = 0;
    for (auto& connection : connections)
        answered += ServerFixture::clientId(*connection) > 0 ? 1 : 0;
    QCOMPARE(answered, served);
    if (served == 0)
        QVERIFY2(clock.elapsed() < 3000 * kSlow, "the idle connection was closed late");
    // Room again for a new connection once one went.
    connections.front()->close();
    QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(&server) == std::max(0, served - 1); }));
    LoopbackClient later;
    QVERIFY(later.connectTo(server.serverPort()));
    QVERIFY(ServerFixture::clientId(later) > 0);
}

// A library call that never returns must not hold Stop or the window's end:
// the client is left behind and the server goes once it ends.
void TestFaults::stuckLibraryNeverHoldsStop()
{
    auto* server = m_fixture.start().release();
    QPointer<TSServer> alive(server);
    QSignalSpy log(server, &TSServer::sigDebugString);
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()));
    QVERIFY(ServerFixture::clientId(client) > 0);
    m_fixture.stub.hold(true);
    QVERIFY(client.send("GetLocoName()"));
    QTRY_COMPARE(m_fixture.stub.waitingCalls(), 1);

    QElapsedTimer clock;
    clock.start();
    server->stop();
    server->retire();
    QVERIFY2(clock.elapsed() < 2 * TSServer::StopWaitMs + 500, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(ServerFixture::linesStartingWith(log, QStringLiteral("(Server) - Client ID:")), 2);
    QVERIFY(alive);
    m_fixture.stub.hold(false);
    QVERIFY(waitUntil([&] { return alive.isNull(); }));
}

// Connections that come all at once all complete at once: none waits for
// the system's second try because the queue of unaccepted ones was full.
void TestFaults::connectBurstIsNotHeldBack()
{
    auto server = m_fixture.start();
    QuietDebug quiet;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 200; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, server->serverPort());
    }
    QVERIFY(waitUntil([&] {
        return std::all_of(sockets.begin(), sockets.end(),
                           [](const auto& s) { return s->state() == QAbstractSocket::ConnectedState; });
    }));
    QVERIFY2(clock.elapsed() < 900, qPrintable(QStringLiteral("200 connects took %1 ms").arg(clock.elapsed())));
}

enum class Hostile { SharedPlaceholders, LongSharedText, TooLongReply, TextFlood, UnreadReplies, BusyClients };
Q_DECLARE_METATYPE(Hostile)

void TestFaults::kestreld_data()
{
    QTest::addColumn<Hostile>("hostile");
    QTest::addRow("placeholders in shared texts do not multiply others' replies") << Hostile::SharedPlaceholders;
    QTest::addRow("a long shared text does not break others' train data") << Hostile::LongSharedText;
    QTest::addRow("a reply too long for six length digits is refused") << Hostile::TooLongReply;
    QTest::addRow("a 5 MB text flood: memory bounded, others served, SIGTERM prompt") << Hostile::TextFlood;
    QTest::addRow("clients that read no replies cost bounded memory") << Hostile::UnreadReplies;
    QTest::addRow("SIGTERM with 100 busy clients ends it within 2 s") << Hostile::BusyClients;
}

void TestFaults::kestreld()
{
    QFETCH(Hostile, hostile);
    ServerProcess server;
    QVERIFY(server.start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--simulator-path"),
                          QStringLiteral(KESTREL_SIMULATOR_DIR)}));
    auto connect = [&](LoopbackClient& client) { return client.connectTo(server.port()); };
    LoopbackClient first;
    LoopbackClient second;
    QVERIFY(connect(first) && connect(second));
    qint64 memoryBoundKb = 0;

    switch (hostile) {
    case Hostile::SharedPlaceholders:
    case Hostile::LongSharedText:
    case Hostile::TooLongReply: {
        QString stored = QStringLiteral("%2").repeated(1000) + QStringLiteral(":") + QString(1500, QLatin1Char('y'))
            + QStringLiteral(":1:1:2:3:4:5");
        int code = 10;
        if (hostile == Hostile::LongSharedText) {
            stored = QString(kMaxBody - 60, QLatin1Char('t')) + QStringLiteral(":b:1:1:2:3:4:5");
            code = 4;
        }
        QByteArray request = Frame::frame(code, 2, QString());
        if (hostile == Hostile::TooLongReply)
            request = Frame::frame(6, 2, QStringLiteral("1:").repeated(kMaxBody / 2 - 10) + QLatin1Char('1'));
        else
            QVERIFY(first.send(Frame::frame(9, 1, stored), 10000) && !first.receiveFrame(10000).isEmpty());
        QVERIFY(second.send(request, 10000));
        const QByteArray header = second.receive(8, 10000 * kSlow);
        int length = 0;
        QVERIFY2(FrameCodec::parseHeader(header, &length), header.constData());
        QCOMPARE(second.receive(length, 10000).size(), length);
        break;
    }
    case Hostile::TextFlood: {
        first.socket().write(QByteArray("x<END>").repeated(5 * 1024 * 1024 / 6));
        QVERIFY(waitUntil([&] { return server.output().contains("Unknown Command: x"); }));
        QElapsedTimer clock;
        clock.start();
        LoopbackClient fresh;
        QVERIFY(connect(fresh) && fresh.send("GetLocoName()"));
        QVERIFY(!fresh.receive(10, 4000).isEmpty());
        QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
        memoryBoundKb = 150 * 1024;
        break;
    }
    case Hostile::UnreadReplies: {
        // Replies of a little under a megabyte each, sixteen a client, none
        // read: the system's buffers fill, then the server's, then the
        // clients are held back; nothing grows past its cap.
        for (LoopbackClient* client : {&first, &second}) {
            client->socket().setReadBufferSize(4096);
            for (int tag = 1; tag <= 16; ++tag)
                client->socket().write(Frame::frame(6, tag, QStringLiteral("14:").repeated(110000) + QStringLiteral("14")));
        }
        QVERIFY(waitUntil([&] { return server.output().count("Get ControllerValues") >= 6; }, 20000 * kSlow));
        LoopbackClient fresh;
        QVERIFY(connect(fresh) && fresh.send("GetLocoName()"));
        QVERIFY(!fresh.receive(10, 4000).isEmpty());
        memoryBoundKb = 120 * 1024;
        break;
    }
    case Hostile::BusyClients: {
        std::vector<std::unique_ptr<LoopbackClient>> busy;
        for (int i = 0; i < 100; ++i) {
            busy.push_back(std::make_unique<LoopbackClient>());
            QVERIFY(connect(*busy.back()) && ServerFixture::clientId(*busy.back()) > 0);
            QTcpSocket& socket = busy.back()->socket();
            if (i % 3 == 0)
                socket.write(Frame::frame(5, 1, QString(200, QLatin1Char('x'))).left(30)); // mid-frame
            else if (i % 3 == 1)
                socket.write(QByteArray("x<END>").repeated(100000)); // streaming text
            else
                socket.write(bigRequest(2)); // a large answer it does not read
            socket.flush();
        }
        QVERIFY(waitUntil([&] {
            const QByteArray log = server.output();
            return log.contains("Unknown Command: x") && log.contains("Command: GetControllerValueMultiplyRaw(");
        }));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(server.stop(10000 * kSlow), 0);
        QVERIFY2(clock.elapsed() < 2000 * kSlow, qPrintable(QString::number(clock.elapsed())));
        return;
    }
    }
#if defined(Q_OS_LINUX) && !defined(KESTREL_SANITIZED)
    if (memoryBoundKb > 0) {
        const qint64 peak = statusField(server.pid(), "VmHWM");
        QVERIFY2(peak < memoryBoundKb, qPrintable(QStringLiteral("peak resident memory %1 KiB").arg(peak)));
    }
#endif
    Q_UNUSED(memoryBoundKb)
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(server.stop(10000 * kSlow), 0);
    QVERIFY2(clock.elapsed() < 2000 * kSlow, qPrintable(QString::number(clock.elapsed())));
}

// kestreld's standard output is a pipe whose reader stops reading, or goes.
void TestFaults::outputNobodyReads_data()
{
    QTest::addColumn<bool>("readerGone");
    QTest::addRow("a full pipe holds neither serving nor SIGTERM") << false;
    QTest::addRow("a closed pipe does not kill it") << true;
}

void TestFaults::outputNobodyReads()
{
#ifdef Q_OS_WIN
    QSKIP("named pipes of Unix");
#else
    QFETCH(bool, readerGone);
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("out")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    ServerProcess server;
    QVERIFY(server.start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--simulator-path"),
                          QStringLiteral(KESTREL_SIMULATOR_DIR)},
                         dir.path(), ServerProcess::kestreld(), QString::fromLocal8Bit(fifo)));
    QByteArray printed;
    const QRegularExpression chosen(QStringLiteral("chose port (\\d+)"));
    QVERIFY(waitUntil([&] {
        char buffer[512];
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n > 0)
            printed.append(buffer, int(n));
        return chosen.match(QString::fromLocal8Bit(printed)).hasMatch();
    }));
    server.setPort(quint16(chosen.match(QString::fromLocal8Bit(printed)).captured(1).toUInt()));
    if (readerGone)
        ::close(reader);

    // Far more log than the pipe holds.
    LoopbackClient flooding;
    QVERIFY(flooding.connectTo(server.port()));
    QVERIFY(flooding.send(QByteArray("x<END>").repeated(200000), 20000));
    for (int i = 0; i < 3; ++i) {
        LoopbackClient fresh;
        QVERIFY(fresh.connectTo(server.port()) && fresh.send("GetLocoName()"));
        QVERIFY(!fresh.receive(10, 4000).isEmpty());
    }
    QVERIFY(server.running());
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(server.stop(10000 * kSlow), 0);
    QVERIFY2(clock.elapsed() < 2000 * kSlow, qPrintable(QString::number(clock.elapsed())));
    if (!readerGone)
        ::close(reader);
#endif
}

// With few descriptors left the server refuses clients, lives on and
// accepts again once clients leave.
void TestFaults::outOfDescriptors()
{
#ifndef Q_OS_LINUX
    QSKIP("descriptor limits of Unix");
#else
    ServerProcess server;
    QVERIFY(server.start({QStringLiteral("-c"), QStringLiteral("ulimit -n 100 && exec \"$0\" --port 0 --simulator-path \"$1\""),
                          ServerProcess::kestreld(), QStringLiteral(KESTREL_SIMULATOR_DIR)},
                         QString(), QStringLiteral("/bin/sh")));
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    bool refused = false;
    for (int i = 0; i < 64 && !refused; ++i) {
        clients.push_back(std::make_unique<LoopbackClient>());
        refused = !clients.back()->connectTo(server.port()) || ServerFixture::clientId(*clients.back()) <= 0;
    }
    QVERIFY2(refused, "64 clients never reached the limit");
    QVERIFY(server.running());
    clients.clear();
    QVERIFY(waitUntil([&] {
        LoopbackClient later;
        return later.connectTo(server.port()) && ServerFixture::clientId(later) > 0;
    }, 10000));
#endif
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
