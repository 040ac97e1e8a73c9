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
#endif

#include "serverfixture.h"
#include "serverprocess.h"

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

constexpr int kMaxBody = 999999;
constexpr int kSlow = kSanitized ? 3 : 1;
constexpr int kIdleThreads = kSanitized ? 3 : 2; // the main thread, Qt's, and the sanitizer's

// A number from /proc/<pid>/status ("VmHWM" in KiB, "Threads"); pid 0 is
// this process. 0 where there is no /proc, which passes every bound below.
qint64 statusField(qint64 pid, const char* field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid ? QString::number(pid) : QStringLiteral("self")));
    const QRegularExpression line(QStringLiteral("^%1:\\s*(\\d+)").arg(QLatin1String(field)),
                                  QRegularExpression::MultilineOption);
    return status.open(QIODevice::ReadOnly) ? line.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong()
                                            : 0;
}

// Bytes its client thread has not read yet (the server runs here: its descriptor is ours).
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
    const QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

bool freshClientServed(quint16 port)
{
    LoopbackClient fresh;
    return fresh.connectTo(port) && fresh.send("GetLocoName()") && !fresh.receive(1, 4000 * kSlow).isEmpty();
}

const QStringList kestreldArguments{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--simulator-path"),
                                    QStringLiteral(KESTREL_SIMULATOR_DIR)};

enum class Ending { ClientCloses, ClientResets, ClientGoesSilent, ServerStops, ServerDestroyed };
enum class Output { Read, UnreadPipe, ClosedPipe }; // kestreld's standard output

} // namespace

Q_DECLARE_METATYPE(Ending)
Q_DECLARE_METATYPE(Output)

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_fixture.reset(); }

    void initTestCase()
    {
        // The server would write every frame it receives to the debug output.
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        QVERIFY(m_fixture.setUp());
    }

    void clientEndedMidFrame_data()
    {
        QTest::addColumn<Ending>("ending");
        QTest::addRow("a client that closes mid-frame is ended at once") << Ending::ClientCloses;
        QTest::addRow("a client that resets mid-frame is ended at once") << Ending::ClientResets;
        QTest::addRow("a client silent mid-frame is dropped after 10 s; others are served") << Ending::ClientGoesSilent;
        QTest::addRow("stop() ends the latest client at once while it waits for the body") << Ending::ServerStops;
        QTest::addRow("destruction ends waiting and served clients at once") << Ending::ServerDestroyed;
    }

    void clientEndedMidFrame()
    {
        QFETCH(Ending, ending);
        auto server = m_fixture.start();
        LoopbackClient steady, leaver; // the leaver last: stop() ends the latest client only
        QVERIFY(steady.connectTo(server->serverPort()) && ServerFixture::clientId(steady) > 0);
        QVERIFY(leaver.connectTo(server->serverPort()));
        const qintptr id = ServerFixture::clientId(leaver);
        const QByteArray ask = LoopbackClient::frame(5, 2, QString());
        const QByteArray answer = LoopbackClient::frame(5, 2, QStringLiteral("Class 66"));
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
            QCOMPARE(steady.receiveFrame(5000), answer); // not after the leaver's 10 s
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
            QVERIFY2(clock.elapsed() < 9500, qPrintable(QString::number(clock.elapsed()))); // not at the 10 s frame wait's end
            QVERIFY(leaver.waitForClosed());
            break;
        }
        QCOMPARE(leaver.receive(1, 0), QByteArray()); // no reply to the part it sent
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
    void connectDisconnectCyclesLeakNothing()
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
        // Sockets and pipes are broken links, which only QDir::System lists.
        const auto descriptorCount = [] {
            return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System).size();
        };
        int descriptors = 0;
        qint64 resident = 0;
        // The first hundred warm up pools, arenas and the library's first load.
        for (int i = 0; i < 1100; ++i) {
            QVERIFY2(cycle(i), qPrintable(QStringLiteral("cycle %1").arg(i)));
            if (i % 100 != 99)
                continue;
            QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 0; }));
            m_fixture.stub.clearCallLog();
            m_fixture.log.clear();
            if (i == 99) {
                descriptors = descriptorCount();
                resident = statusField(0, "VmRSS");
            }
        }
        QVERIFY(waitUntil([&] { return statusField(0, "Threads") <= kIdleThreads; }));
        QCOMPARE(descriptorCount(), descriptors);
        const qint64 grown = statusField(0, "VmRSS") - resident;
        QVERIFY2(kSanitized || grown < 2048, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));
    }

    void largestFrame()
    {
        const int segments = 16; // a megabyte reaches the server in many segments however it is sent
        auto server = m_fixture.start();
        // Code 2 answers whatever the request carries.
        const QByteArray ask = LoopbackClient::frame(2, 1, QString(kMaxBody - 12, QLatin1Char('x')));
        const int step = (ask.size() + segments - 1) / segments;
        qint64 resident = 0;
        for (int round = 0; round < 5; ++round) { // the first warms up
            LoopbackClient client;
            QVERIFY(client.connectTo(server->serverPort()));
            for (int offset = 0; offset < ask.size(); offset += step)
                QVERIFY(client.send(ask.mid(offset, step), 10000));
            QCOMPARE(client.receiveFrame(10000 * kSlow), LoopbackClient::frame(2, 1, QStringLiteral("Kestrel")));
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

    // Two hundred clients that come all at once all get in (none waits for the
    // system's second try because the queue of unaccepted connections was full),
    // send random bytes and go. The server's thread accepts nothing while they
    // connect (waitForConnected() runs no events): beyond a short listen queue a
    // connection would never complete, however fast or slow the machine.
    void connectBurstOfRandomBytes()
    {
        auto server = m_fixture.start();
        std::size_t burst = 200;
    #ifdef Q_OS_LINUX
        QFile systemCap(QStringLiteral("/proc/sys/net/core/somaxconn")); // no listen queue is longer
        if (systemCap.open(QIODevice::ReadOnly))
            burst = std::min<std::size_t>(burst, systemCap.readAll().trimmed().toUInt());
    #endif
        std::deque<QTcpSocket> sockets(burst);
        for (QTcpSocket& socket : sockets)
            socket.connectToHost(QHostAddress::LocalHost, server->serverPort());
        for (QTcpSocket& socket : sockets)
            QVERIFY2(socket.waitForConnected(10000), "a connect found the listen queue full");
        QRandomGenerator random(20240611);
        // A quarter start like a frame, a quarter like a command with an
        // argument, so that random bytes reach past the first decisions.
        const QByteArray openings[] = {QByteArray(), QByteArray(), "GetControllerValue(", "SetControllerValue("};
        for (QTcpSocket& socket : sockets) {
            QByteArray bytes(1 + int(random.bounded(2048)), Qt::Uninitialized);
            for (char& byte : bytes)
                byte = char(random.bounded(256));
            const int kind = int(random.bounded(4));
            bytes.prepend(kind == 0 ? '@' + QByteArray::number(1 + random.bounded(kMaxBody)).rightJustified(6, '0') + ';'
                                    : openings[kind]);
            socket.write(bytes);
            socket.disconnectFromHost();
        }
        QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == 0; }, 20000 * kSlow));
        QVERIFY(freshClientServed(server->serverPort()));
    }

    // A hundred thousand commands of two log lines each: the lines may not pile
    // up on the server's thread, and those dropped are counted.
    void logFloodIsDroppedAndCounted()
    {
        auto server = m_fixture.start();
        LoopbackClient flooding;
        QVERIFY(flooding.connectTo(server->serverPort()));
        const qintptr id = ServerFixture::clientId(flooding);
        // This thread shows the lines; it takes none until the client's thread
        // has made them all (it waits, held, in the library after the last).
        m_fixture.stub.hold(true);
        flooding.socket().write(QByteArray("x<END>").repeated(100000));
        QVERIFY(flooding.socket().waitForBytesWritten(20000));
        const QDeadlineTimer deadline(20000 * kSlow);
        while (unreadOnServerSide(id) != 0 && !deadline.hasExpired())
            QThread::yieldCurrentThread();
        flooding.socket().write("GetLocoName()");
        QVERIFY(flooding.socket().waitForBytesWritten(20000));
        while (m_fixture.stub.waitingCalls() == 0 && !deadline.hasExpired())
            QThread::yieldCurrentThread();
        m_fixture.stub.hold(false);
        int dropped = 0;
        auto accounted = [&] {
            dropped = 0;
            for (const QString& line : m_fixture.log.filter(QStringLiteral(" log lines dropped")))
                dropped += line.section(QLatin1Char(' '), 2, 2).toInt();
            return m_fixture.log.filter(QStringLiteral("Command: ")).size() + dropped;
        };
        QTRY_VERIFY_WITH_TIMEOUT(accounted() >= 199000, 20000 * kSlow);
        QVERIFY(dropped > 0);
        QCOMPARE(flooding.receive(8), QByteArray("Class 66"));
    }

    // Whatever lines come, the queue holds a bounded number of them and of their
    // characters; long lines of a real locomotive stay whole, a program's own
    // line is kept.
    void logQueueBounds_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("taken"); // the last line is to be kept
        QTest::addRow("short lines fill its lines") << 5000 << 10 << 4097;
        QTest::addRow("long lines fill its characters first") << 100 << LogQueue::MaxTextLength << 65;
    }

    void logQueueBounds()
    {
        QFETCH(int, lines);
        QFETCH(int, length);
        LogQueue queue(4096);
        for (int i = 1; i <= lines; ++i)
            queue.push(QString(length, QLatin1Char('x')), 0, i == lines);
        int dropped = 0;
        const QVector<LogQueue::Line> taken = queue.take(lines, &dropped);
        QTEST(int(taken.size()), "taken");
        QCOMPARE(dropped + taken.size(), lines);
        QCOMPARE(taken.last().text.size(), length);
        QVERIFY(LogQueue::cut(QString(LogQueue::MaxTextLength + 1, QLatin1Char('x'))).endsWith("x [... 1 more characters]"));
    }

    void limits_data()
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

    void limits()
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
        QCOMPARE(int(std::count_if(connections.begin(), connections.end(),
                                   [](LoopbackClient& connection) { return ServerFixture::clientId(connection) > 0; })),
                 served);
        // Room again for a new connection once one went.
        connections.front().close();
        QVERIFY(waitUntil([&] { return ServerFixture::clientThreads(server.get()) == std::max(0, served - 1); }));
        QVERIFY(freshClientServed(server->serverPort()));
    }

    void kestreldUnderLoad_data()
    {
        QTest::addColumn<int>("clients");
        QTest::addColumn<QByteArrayList>("loads"); // the clients take turns at these, each sending its load at once
        QTest::addColumn<Output>("output");
        const QByteArray flood = QByteArray("x<END>").repeated(5 * 1024 * 1024 / 6);
        // Ten megabytes of replies, none read: the client's thread waits to write.
        const QByteArray unread = QByteArray("GetControllerListExtended(JSON)<END>").repeated(4000);
        QTest::addRow("a 5 MB text flood") << 1 << QByteArrayList{flood} << Output::Read;
    #ifndef Q_OS_WIN // named pipes of Unix
        QTest::addRow("a text flood into an output pipe nobody reads") << 1 << QByteArrayList{flood} << Output::UnreadPipe;
        QTest::addRow("a text flood into a closed output pipe") << 1 << QByteArrayList{flood} << Output::ClosedPipe;
    #endif
        QTest::addRow("100 clients stopped mid-frame, streaming text, reading no replies")
            << 100 << QByteArrayList{"@000300;005;000001;x", flood.left(120000), unread} << Output::Read;
    }

    // Under each load kestreld's memory stays bounded, a new client is served and SIGTERM ends it at once.
    void kestreldUnderLoad()
    {
        QFETCH(int, clients);
        QFETCH(QByteArrayList, loads);
        QFETCH(Output, output);
        ServerProcess server;
        QFile pipe;
    #ifndef Q_OS_WIN
        QTemporaryDir dir;
        const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("out")));
        if (output != Output::Read) {
            QVERIFY(::mkfifo(fifo.constData(), 0600) == 0
                    && pipe.open(::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), QIODevice::ReadOnly,
                                 QFileDevice::AutoCloseHandle));
            // kestreld ignores SIGPIPE itself: it may not inherit that from this process (Qt's sockets ignore it).
            QVERIFY(server.start(QStringList{"--default-signal=PIPE", ServerProcess::kestreld()} + kestreldArguments,
                                 QString(), QStringLiteral("/usr/bin/env"), QString::fromLocal8Bit(fifo)));
            QByteArray printed;
            const QRegularExpression chosen(QStringLiteral("chose port (\\d+)"));
            QVERIFY(waitUntil([&] { return chosen.match(QString::fromLocal8Bit(printed += pipe.readAll())).hasMatch(); }));
            server.setPort(quint16(chosen.match(QString::fromLocal8Bit(printed)).captured(1).toUInt()));
            if (output == Output::ClosedPipe)
                pipe.close();
        }
    #endif
        if (output == Output::Read)
            QVERIFY(server.start(kestreldArguments));
        std::deque<LoopbackClient> connections(clients);
        for (int i = 0; i < clients; ++i) {
            QVERIFY(connections[i].connectTo(server.port()) && ServerFixture::clientId(connections[i]) > 0);
            connections[i].socket().setReadBufferSize(4096);
            connections[i].socket().write(loads.at(i % loads.size()));
        }
        // Every load has left its client, and the replies to commands have
        // begun: what no flood of log lines (which may be dropped) can hide.
        QVERIFY(waitUntil([&] {
            int i = 0;
            return std::all_of(connections.begin(), connections.end(), [&](LoopbackClient& client) {
                const bool asks = loads.at(i++ % loads.size()).startsWith("Get");
                return client.socket().bytesToWrite() == 0 && (!asks || client.socket().bytesAvailable() > 0);
            });
        }, 20000 * kSlow));
        QVERIFY(freshClientServed(server.port()));
        const qint64 peak = statusField(server.pid(), "VmHWM");
        QVERIFY2(kSanitized || peak < 100 * 1024, qPrintable(QStringLiteral("peak resident memory %1 KiB").arg(peak)));
        // kestreld gives its client threads 1.5 s before it leaves them behind,
        // and says so: a thread that does not end at once shows there, however
        // long the machine takes to end a process.
        QCOMPARE(server.stop(10000 * kSlow), 0);
        QVERIFY2(kSanitized || !server.output().contains("did not end within"), server.output().right(300).constData());
    }

    // With few descriptors left the server refuses clients, lives on and accepts
    // again once clients leave. A client costs two (its socket, its thread's
    // wake-up): an odd and an even limit let either be the one too many.
    void outOfDescriptors_data()
    {
        QTest::addColumn<QString>("limit");
        QTest::addRow("ulimit -n 100") << "100";
        QTest::addRow("ulimit -n 101") << "101";
    }

    void outOfDescriptors()
    {
    #ifndef Q_OS_LINUX
        QSKIP("descriptor limits of Unix");
    #else
        QFETCH(QString, limit);
        ServerProcess server;
        const QStringList limited{"-c", "ulimit -n " + limit + " && exec \"$0\" \"$@\"", ServerProcess::kestreld()};
        QVERIFY(server.start(limited + kestreldArguments, QString(), QStringLiteral("/bin/sh")));
        std::deque<LoopbackClient> clients;
        bool refused = false;
        for (int i = 0; i < 64 && !refused; ++i) {
            clients.emplace_back();
            refused = !clients.back().connectTo(server.port()) || ServerFixture::clientId(clients.back()) <= 0;
        }
        QVERIFY2(refused && clients.back().waitForClosed(), "64 clients never reached the limit, or the refused one hangs");
        clients.clear();
        QVERIFY(waitUntil([&] { return freshClientServed(server.port()); }, 10000));
    #endif
    }

private:
    ServerFixture m_fixture;
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
