// Faults and hostile clients, of the server in this process and of kestreld
// as a user runs it. Each row proves its fix with a bound measured here:
// time, memory, threads, descriptors, bytes or log lines.

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

#include "serverfixture.h"
#include "serverprocess.h"
#include "framecodec.h"

#include <QtTest>

#include <deque>

// Under a sanitizer the process's memory and speed are the sanitizer's: the
// memory bounds are not checked and the time bounds are wider.
#ifndef __has_feature
#define __has_feature(x) 0 // for compilers other than Clang
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || __has_feature(address_sanitizer) \
    || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

namespace {

using Frame = LoopbackClient;
constexpr int kMaxBody = 999999;
constexpr int kSlow = kSanitized ? 3 : 1;
constexpr int kIdleThreads = kSanitized ? 3 : 2; // the main thread, Qt's, and the sanitizer's

// A number from /proc/<pid>/status ("VmHWM" in KiB, "Threads"); pid 0 is
// this process. -1 where there is no /proc, which passes every bound below.
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

// A new client of the server at `port` is answered within 4 s.
bool freshClientServed(quint16 port)
{
    LoopbackClient fresh;
    return fresh.connectTo(port) && fresh.send("GetLocoName()") && !fresh.receive(1, 4000).isEmpty();
}

const QStringList kestreldArguments{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--simulator-path"),
                                    QStringLiteral(KESTREL_SIMULATOR_DIR)};

enum class Ending { ClientCloses, ClientResets, ClientGoesSilent, ServerStops, ServerDestroyed };
enum class Load { TextFlood, UnreadReplies, BusyClients };

} // namespace

Q_DECLARE_METATYPE(Ending)
Q_DECLARE_METATYPE(Load)

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { m_fixture.reset(); }
    void clientEndedMidFrame_data();
    void clientEndedMidFrame();
    void connectDisconnectCyclesLeakNothing();
    void largestFrame_data();
    void largestFrame();
    void randomBytesClients();
    void logFloodIsDroppedAndCounted();
    void limits_data();
    void limits();
    void stuckLibraryNeverHoldsStop();
    void connectBurstIsNotHeldBack();
    void kestreldRepliesStayFrames_data();
    void kestreldRepliesStayFrames();
    void kestreldUnderLoad_data();
    void kestreldUnderLoad();
    void outputNobodyReads_data();
    void outputNobodyReads();
    void outOfDescriptors();

private:
    ServerFixture m_fixture;
};

void TestFaults::initTestCase()
{
    // The server writes every frame it receives to the debug output: made, not shown.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    QVERIFY(m_fixture.setUp());
}

void TestFaults::clientEndedMidFrame_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::addRow("a client that closes mid-frame is ended at once") << Ending::ClientCloses;
    QTest::addRow("a client that resets mid-frame is ended at once") << Ending::ClientResets;
    QTest::addRow("a client silent mid-frame is dropped after 10 s; others are served") << Ending::ClientGoesSilent;
    QTest::addRow("stop() ends the latest client at once while it waits for the body") << Ending::ServerStops;
    QTest::addRow("destruction ends waiting and served clients at once") << Ending::ServerDestroyed;
}

void TestFaults::clientEndedMidFrame()
{
    QFETCH(Ending, ending);
    auto server = m_fixture.start();
    LoopbackClient steady;
    LoopbackClient leaver; // last: stop() ends the latest client only
    QVERIFY(steady.connectTo(server->serverPort()) && ServerFixture::clientId(steady) > 0);
    QVERIFY(leaver.connectTo(server->serverPort()));
    const qintptr id = ServerFixture::clientId(leaver);
    const QByteArray ask = Frame::frame(5, 2, QString());
    const QByteArray answer = Frame::frame(5, 2, QStringLiteral("Class 66"));
    QVERIFY(leaver.send('@' + QByteArray::number(kMaxBody) + ";002;000001;"));
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE(unreadOnServerSide(id), 0); // its thread waits for the body
    switch (ending) {
    case Ending::ClientCloses:
        leaver.close();
        break;
    case Ending::ClientResets: {
        // A zero linger time makes the close a reset, as a crashed client's is.
        const linger noLinger{1, 0};
        ::setsockopt(decltype(::socket(0, 0, 0))(leaver.socket().socketDescriptor()), SOL_SOCKET, SO_LINGER,
                     reinterpret_cast<const char*>(&noLinger), sizeof noLinger);
        leaver.socket().abort();
        break;
    }
    case Ending::ClientGoesSilent:
        QVERIFY(steady.send(ask));
        QCOMPARE(steady.receiveFrame(1000 * kSlow), answer);
        QVERIFY(leaver.waitForClosed(12000));
        QVERIFY2(clock.elapsed() >= 9500, qPrintable(QString::number(clock.elapsed())));
        break;
    case Ending::ServerStops:
    case Ending::ServerDestroyed:
        clock.restart();
        if (ending == Ending::ServerStops)
            server->stop();
        else
            server.reset();
        QVERIFY2(clock.elapsed() < 1000 * kSlow, qPrintable(QStringLiteral("took %1 ms").arg(clock.elapsed())));
        QVERIFY(leaver.waitForClosed());
        break;
    }
    QCOMPARE(leaver.takeReceived(), QByteArray()); // no reply to the part it sent
    if (!server) {
        QVERIFY(steady.waitForClosed());
        return;
    }
    // Its thread ends long before the frame wait would run out.
    QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 1; }));
    QVERIFY(steady.send(ask));
    QCOMPARE(steady.receiveFrame(), answer);
}

// Threads, descriptors and memory a client cost are all given back.
void TestFaults::connectDisconnectCyclesLeakNothing()
{
    auto server = m_fixture.start();
    // Every other client asks first, every third leaves by abort.
    auto cycle = [&](int i) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server->serverPort());
        if (!waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }))
            return false;
        if (i % 2 == 1) {
            socket.write("GetLocoName()");
            if (!waitUntil([&] { return socket.bytesAvailable() >= 8; }) || socket.readAll() != "Class 66")
                return false;
        }
        if (i % 3 == 0)
            socket.abort();
        else
            socket.disconnectFromHost();
        return socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(5000);
    };
    auto settle = [&] { return waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 0; }); };

    for (int i = 0; i < 100; ++i) // warm-up: pools, arenas, the library's first load
        QVERIFY(cycle(i));
    QVERIFY(settle());
    QVERIFY(waitUntil([&] { return statusField(0, "Threads") <= kIdleThreads; }));
    // Sockets and pipes are broken links, which only QDir::System lists.
    const auto descriptorCount = [] {
        return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System).size();
    };
    const qint64 threads = statusField(0, "Threads");
    const int descriptors = descriptorCount();
    const qint64 resident = statusField(0, "VmRSS");
    for (int i = 0; i < 1000; ++i) {
        QVERIFY2(cycle(i), qPrintable(QStringLiteral("cycle %1").arg(i)));
        if (i % 100 == 99) {
            QVERIFY(settle());
            m_fixture.stub.clearCallLog();
            m_fixture.log.clear();
        }
    }
    QVERIFY(waitUntil([&] { return statusField(0, "Threads") <= threads; }));
    QCOMPARE(descriptorCount(), descriptors);
    const qint64 grown = statusField(0, "VmRSS") - resident;
    QVERIFY2(kSanitized || grown < 2048, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));
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
    // Code 2 answers whatever the request carries.
    const QByteArray ask = Frame::frame(2, 1, QString(kMaxBody - 12, QLatin1Char('x')));
    const int step = (ask.size() + segments - 1) / segments;
    qint64 resident = 0;
    for (int round = 0; round < 5; ++round) { // the first warms up
        LoopbackClient client;
        QVERIFY(client.connectTo(server->serverPort()));
        for (int offset = 0; offset < ask.size(); offset += step)
            QVERIFY(client.send(ask.mid(offset, step), 10000));
        QCOMPARE(client.receiveFrame(10000 * kSlow), Frame::frame(2, 1, QStringLiteral("Kestrel")));
        QVERIFY(ServerFixture::clientId(client) > 0);
        client.close();
        QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 0; }));
        if (round == 0)
            resident = statusField(0, "VmRSS");
    }
    // Each client held its megabyte frame several times over; none stays.
    const qint64 grown = statusField(0, "VmRSS") - resident;
    QVERIFY2(kSanitized || grown < 8192, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));
}

void TestFaults::randomBytesClients()
{
    auto server = m_fixture.start();
    QRandomGenerator random(20240611);
    // A quarter start like a frame, a quarter like a command with an
    // argument, so that random bytes reach past the first decisions.
    const QByteArray openings[] = {QByteArray(), QByteArray(), "GetControllerValue(", "SetControllerValue("};
    for (int batch = 0; batch < 20; ++batch) {
        std::deque<QTcpSocket> sockets(10);
        for (QTcpSocket& socket : sockets) {
            QByteArray bytes(1 + int(random.bounded(2048)), Qt::Uninitialized);
            for (char& byte : bytes)
                byte = char(random.bounded(256));
            const int kind = int(random.bounded(4));
            bytes.prepend(kind == 0 ? '@' + QByteArray::number(1 + random.bounded(kMaxBody)).rightJustified(6, '0') + ';'
                                    : openings[kind]);
            socket.connectToHost(QHostAddress::LocalHost, server->serverPort());
            QVERIFY(waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
            socket.write(bytes);
        }
        for (QTcpSocket& socket : sockets)
            socket.disconnectFromHost();
        QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 0; }, 20000 * kSlow));
    }
    // A client that behaves is served as on a fresh server.
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()) && client.send(Frame::frame(7, 3, QString())));
    QCOMPARE(client.receiveFrame(), Frame::frame(7, 3, QStringLiteral("0::Throttle::0::0::1::Brake::0::0::")));
}

// A text of a hundred thousand commands makes two log lines each: they may
// not pile up on the server's thread (kestreldUnderLoad shows that others
// are served meanwhile), and those dropped are counted.
void TestFaults::logFloodIsDroppedAndCounted()
{
    auto server = m_fixture.start();
    LoopbackClient flooding;
    QVERIFY(flooding.connectTo(server->serverPort()));
    QVERIFY(flooding.send(QByteArray("x<END>").repeated(100000), 20000));
    int dropped = 0;
    auto accounted = [&] {
        dropped = 0;
        for (const QString& line : m_fixture.log.filter(QStringLiteral(" log lines dropped")))
            dropped += line.section(QLatin1Char(' '), 2, 2).toInt();
        return m_fixture.log.filter(QStringLiteral("Command: ")).size() + dropped;
    };
    QTRY_VERIFY_WITH_TIMEOUT(accounted() >= 199000, 20000 * kSlow);
    QVERIFY(dropped > 0);
}

void TestFaults::limits_data()
{
    QTest::addColumn<QString>("key"); // in the "limits" group
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("clients");
    QTest::addColumn<int>("served"); // of `clients`, served once they are all in
    QTest::addColumn<QString>("line");
    QTest::addRow("a connection silent past limits/idletimeout is closed")
        << "idletimeout" << 1 << 1 << 0 << "sent nothing for 1 s; connection closed";
    QTest::addRow("limits/connectionsperaddress=0 is no limit") << "connectionsperaddress" << 0 << 3 << 3 << "";
    QTest::addRow("one address holds at most limits/connectionsperaddress")
        << "connectionsperaddress" << 3 << 4 << 3 << "Too many connections from 127.0.0.1, connection refused";
}

void TestFaults::limits()
{
    QFETCH(QString, key);
    QFETCH(int, value);
    QFETCH(int, clients);
    QFETCH(int, served);
    QFETCH(QString, line);
    // Written beside the fixture's settings, which see it at once.
    QSettings ini(m_fixture.settings->FileName(), QSettings::IniFormat);
    ini.setValue(QStringLiteral("limits/") + key, value);
    const auto restore = qScopeGuard([&] { ini.remove(QStringLiteral("limits")); });
    auto server = m_fixture.start();

    // A refused connection may be closed before its client sees it open.
    std::deque<LoopbackClient> connections(clients);
    for (int i = 0; i < clients; ++i)
        QVERIFY(connections[i].connectTo(server->serverPort()) || i >= served);
    if (!line.isEmpty()) // the idle one within 3 s, as it is closed after 1 s
        QTRY_COMPARE_WITH_TIMEOUT(m_fixture.log.filter(line).size(), 1, 3000 * kSlow);
    int answered = 0;
    for (LoopbackClient& connection : connections)
        answered += ServerFixture::clientId(connection) > 0 ? 1 : 0;
    QCOMPARE(answered, served);
    // Room again for a new connection once one went.
    connections.front().close();
    QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == std::max(0, served - 1); }));
    QVERIFY(freshClientServed(server->serverPort()));
}

// A library call that never returns must not hold Stop or the window's end:
// the client is left behind and the server goes once it ends.
void TestFaults::stuckLibraryNeverHoldsStop()
{
    auto* server = m_fixture.start().release();
    QPointer<TSServer> alive(server);
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()) && ServerFixture::clientId(client) > 0);
    m_fixture.stub.hold(true);
    QVERIFY(client.send("GetLocoName()"));
    QTRY_COMPARE(m_fixture.stub.waitingCalls(), 1);

    QElapsedTimer clock;
    clock.start();
    server->stop();
    server->retire();
    QVERIFY2(clock.elapsed() < 2 * TSServer::StopWaitMs + 500, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(m_fixture.log.filter(QStringLiteral("did not end within")).size(), 2);
    QVERIFY(alive);
    m_fixture.stub.hold(false);
    QVERIFY(waitUntil([&] { return alive.isNull(); }));
}

// Connections that come all at once all complete at once: none waits for
// the system's second try because the queue of unaccepted ones was full.
void TestFaults::connectBurstIsNotHeldBack()
{
    auto server = m_fixture.start();
    QElapsedTimer clock;
    clock.start();
    std::deque<QTcpSocket> sockets(200);
    for (QTcpSocket& socket : sockets)
        socket.connectToHost(QHostAddress::LocalHost, server->serverPort());
    QVERIFY(waitUntil([&] {
        return std::all_of(sockets.begin(), sockets.end(),
                           [](const QTcpSocket& s) { return s.state() == QAbstractSocket::ConnectedState; });
    }));
    QVERIFY2(clock.elapsed() < 900, qPrintable(QStringLiteral("200 connects took %1 ms").arg(clock.elapsed())));
}

// Replies to one client that another's shared texts make long stay frames.
void TestFaults::kestreldRepliesStayFrames_data()
{
    QTest::addColumn<QString>("stored"); // shared texts another client stores first
    QTest::addColumn<QByteArray>("request");
    QTest::addRow("placeholders in shared texts do not multiply others' replies")
        << QStringLiteral("%2").repeated(1000) + QLatin1Char(':') + QString(1500, QLatin1Char('y'))
            + QStringLiteral(":1:1:2:3:4:5")
        << Frame::frame(10, 2, QString());
    QTest::addRow("a long shared text does not break others' train data")
        << QString(kMaxBody - 60, QLatin1Char('t')) + QStringLiteral(":b:1:1:2:3:4:5")
        << Frame::frame(4, 2, QString());
    QTest::addRow("a reply too long for six length digits is refused")
        << QString() << Frame::frame(6, 2, QStringLiteral("1:").repeated(kMaxBody / 2 - 10) + QLatin1Char('1'));
}

void TestFaults::kestreldRepliesStayFrames()
{
    QFETCH(QString, stored);
    QFETCH(QByteArray, request);
    ServerProcess server;
    QVERIFY(server.start(kestreldArguments));
    LoopbackClient storing;
    LoopbackClient asking;
    QVERIFY(storing.connectTo(server.port()) && asking.connectTo(server.port()));
    if (!stored.isEmpty())
        QVERIFY(storing.send(Frame::frame(9, 1, stored), 10000) && !storing.receiveFrame(10000).isEmpty());
    QVERIFY(asking.send(request, 10000));
    int length = 0;
    const QByteArray reply = asking.receiveFrame(10000 * kSlow);
    QVERIFY2(FrameCodec::parseHeader(reply.left(8), &length) && reply.size() == 8 + length, reply.left(8).constData());
    QCOMPARE(server.stop(2000 * kSlow), 0);
}

void TestFaults::kestreldUnderLoad_data()
{
    QTest::addColumn<Load>("load");
    QTest::addColumn<int>("memoryBoundKb"); // of its peak resident memory; 0: not measured
    QTest::addRow("a 5 MB text flood: memory bounded, others served, SIGTERM prompt") << Load::TextFlood << 150 * 1024;
    QTest::addRow("clients that read no replies cost bounded memory") << Load::UnreadReplies << 120 * 1024;
    QTest::addRow("SIGTERM with 100 busy clients ends it within 2 s") << Load::BusyClients << 0;
}

void TestFaults::kestreldUnderLoad()
{
    QFETCH(Load, load);
    QFETCH(int, memoryBoundKb);
    ServerProcess server;
    QVERIFY(server.start(kestreldArguments));
    // Busy clients each start their load at once, as they would come in.
    std::deque<LoopbackClient> clients(load == Load::BusyClients ? 100 : 2);
    for (size_t i = 0; i < clients.size(); ++i) {
        QVERIFY(clients[i].connectTo(server.port()) && ServerFixture::clientId(clients[i]) > 0);
        QTcpSocket& socket = clients[i].socket();
        if (load != Load::BusyClients)
            continue;
        if (i % 3 == 0)
            socket.write(Frame::frame(5, 1, QString(200, QLatin1Char('x'))).left(30)); // mid-frame
        else if (i % 3 == 1)
            socket.write(QByteArray("x<END>").repeated(100000)); // streaming text
        else // a 2 MB answer it does not read
            socket.write("GetControllerValueMultiplyRaw(" + QByteArray("14:").repeated(256 * 1024) + "14)<END>");
        socket.flush();
    }

    switch (load) {
    case Load::TextFlood:
        clients[0].socket().write(QByteArray("x<END>").repeated(5 * 1024 * 1024 / 6));
        QVERIFY(waitUntil([&] { return server.output().contains("Unknown Command: x"); }));
        QVERIFY(freshClientServed(server.port()));
        break;
    case Load::UnreadReplies:
        // Replies of a little under a megabyte each, sixteen a client, none
        // read: the system's buffers fill, then the server's, then the
        // clients are held back; nothing grows past its cap.
        for (LoopbackClient& client : clients) {
            const QString controllers = QStringLiteral("14:").repeated(110000) + QStringLiteral("14");
            client.socket().setReadBufferSize(4096);
            for (int tag = 1; tag <= 16; ++tag)
                client.socket().write(Frame::frame(6, tag, controllers));
        }
        QVERIFY(waitUntil([&] { return server.output().count("Get ControllerValues") >= 6; }, 20000 * kSlow));
        QVERIFY(freshClientServed(server.port()));
        break;
    case Load::BusyClients:
        QVERIFY(waitUntil([&] {
            const QByteArray log = server.output();
            return log.contains("Unknown Command: x") && log.contains("Command: GetControllerValueMultiplyRaw(");
        }));
        break;
    }
    const qint64 peak = statusField(server.pid(), "VmHWM");
    QVERIFY2(kSanitized || memoryBoundKb == 0 || peak < memoryBoundKb,
             qPrintable(QStringLiteral("peak resident memory %1 KiB").arg(peak)));
    QCOMPARE(server.stop(2000 * kSlow), 0);
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
    QVERIFY(server.start(kestreldArguments, dir.path(), ServerProcess::kestreld(), QString::fromLocal8Bit(fifo)));
    QByteArray printed;
    QRegularExpressionMatch chosen;
    QVERIFY(waitUntil([&] {
        char buffer[512];
        printed.append(buffer, int(std::max<ssize_t>(::read(reader, buffer, sizeof buffer), 0)));
        chosen = QRegularExpression(QStringLiteral("chose port (\\d+)")).match(QString::fromLocal8Bit(printed));
        return chosen.hasMatch();
    }));
    server.setPort(quint16(chosen.captured(1).toUInt()));
    if (readerGone)
        ::close(reader);

    // Far more log than the pipe holds.
    LoopbackClient flooding;
    QVERIFY(flooding.connectTo(server.port()));
    QVERIFY(flooding.send(QByteArray("x<END>").repeated(200000), 20000));
    for (int i = 0; i < 3; ++i)
        QVERIFY(freshClientServed(server.port()));
    QCOMPARE(server.stop(2000 * kSlow), 0);
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
    std::deque<LoopbackClient> clients;
    bool refused = false;
    for (int i = 0; i < 64 && !refused; ++i) {
        clients.emplace_back();
        refused = !clients.back().connectTo(server.port()) || ServerFixture::clientId(clients.back()) <= 0;
    }
    QVERIFY2(refused, "64 clients never reached the limit");
    QVERIFY(server.running());
    clients.clear();
    QVERIFY(waitUntil([&] { return freshClientServed(server.port()); }, 10000));
#endif
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
