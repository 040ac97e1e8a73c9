// Fault tests of the whole server on loopback: clients that drop in the
// middle of a frame, go silent, connect and leave a thousand times, send
// random bytes or the largest frame there is, a library that answers null
// texts and non-finite values, and a server stopped or destroyed while its
// clients are busy. Each test checks that the server keeps serving the
// clients that behave and gives back every thread, descriptor and byte of
// memory that a client cost it.
//
// Requests that may kill the server, and a server given a small descriptor
// limit, run in a child process (this program started again with
// KESTREL_FAULTS_SERVE set), so that a crash fails one row instead of ending
// the whole program.

#include "loopbackclient.h"
#include "settings.h"
#include "tsserver.h"
#include "tsserverthread.h"

#include "stubs/stublibrary.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <limits>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <dirent.h>
#endif

// Under a sanitizer the process's memory is the sanitizer's (quarantine,
// shadow, histories), so resident memory says nothing about our leaks; the
// sanitizer's own leak check covers them there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTREL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTREL_SANITIZED 1
#endif
#endif

namespace {

const char kServeVariable[] = "KESTREL_FAULTS_SERVE";
const char kDescriptorLimitVariable[] = "KESTREL_FAULTS_FD_LIMIT";
const QString kLocoName = QStringLiteral("Class 66");
const QByteArray kDefaultShared = "::0:9:169:300:200:200";
// A frame body that a six-digit length field can announce.
constexpr int kMaxBody = 999999;
// Stop and destruction must not wait for the 10000 ms frame wait to run out.
constexpr qint64 kPromptMs = 5000;

using Frame = LoopbackClient;

// ---- Process resources (Linux) -------------------------------------------

#ifdef Q_OS_LINUX
int entriesIn(const char* path)
{
    DIR* dir = ::opendir(path);
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count;
}

int threadCount() { return entriesIn("/proc/self/task"); }
int descriptorCount() { return entriesIn("/proc/self/fd"); }

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
#endif

// Bytes that reached the server's side of a connection but that its client
// thread has not read yet. The server runs in this process, so the client's
// id (the server's descriptor) names that socket here too.
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

// Keeps the event loop of this thread running until `predicate` holds: the
// server accepts connections and relays log lines here, and client threads
// that finished are deleted here. Unlike QTest::qWaitFor it does not sleep
// between passes, so a thousand connections do not cost ten seconds.
template <typename Predicate>
bool waitUntil(Predicate predicate, int timeoutMs = LoopbackClient::DefaultTimeoutMs)
{
    if (predicate())
        return true;
    QElapsedTimer clock;
    clock.start();
    QTimer tick; // wakes the blocking pass below when nothing else does
    tick.start(1);
    while (!predicate()) {
        if (clock.elapsed() > timeoutMs)
            return predicate();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// Drops Qt's debug notes while it lives: the server writes several per
// connection and the whole frame for every request, which would bury the
// test output under a thousand connections or a megabyte frame.
class QuietDebug
{
public:
    QuietDebug()
    {
        s_previous = qInstallMessageHandler(nullptr);
        qInstallMessageHandler(&QuietDebug::handler);
    }
    ~QuietDebug() { qInstallMessageHandler(s_previous.load()); }

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (type == QtDebugMsg)
            return;
        if (const QtMessageHandler previous = s_previous.load())
            previous(type, context, message);
    }
    static std::atomic<QtMessageHandler> s_previous;
};
std::atomic<QtMessageHandler> QuietDebug::s_previous{nullptr};

// What a client can parse as a reply: "@", six digits that count the bytes
// after the eight-byte header, ";", then the code and the tag it expects.
// Empty when the reply is such a frame, else what is wrong with it.
QString frameProblem(const QByteArray& reply, int code, int tag)
{
    if (reply.size() < 8)
        return QStringLiteral("no reply header (%1 bytes)").arg(reply.size());
    bool digits = reply.at(0) == '@' && reply.at(7) == ';';
    for (int i = 1; i < 7; ++i)
        digits = digits && reply.at(i) >= '0' && reply.at(i) <= '9';
    if (!digits)
        return QStringLiteral("header %1 is not \"@\", six digits and \";\"").arg(QString::fromLatin1(reply.left(10)));
    const int length = reply.mid(1, 6).toInt();
    if (length != reply.size() - 8)
        return QStringLiteral("length field %1 for %2 body bytes").arg(length).arg(reply.size() - 8);
    const QByteArray expected = QByteArray::number(code).rightJustified(3, '0') + ';'
        + QByteArray::number(tag).rightJustified(6, '0') + ';';
    if (reply.mid(8, 11) != expected)
        return QStringLiteral("fields %1, expected %2").arg(QString::fromLatin1(reply.mid(8, 11)),
                                                              QString::fromLatin1(expected));
    return QString();
}

// Reads one reply the way a client must, trusting only a well-formed
// header; returns the bytes as far as they could be framed.
// A server that died closes the connection, which ends the wait at once.
QByteArray receiveReply(QTcpSocket& socket, int timeoutMs = 10000)
{
    auto arrived = [&](qint64 count) {
        return waitUntil([&] {
            return socket.bytesAvailable() >= count || socket.state() != QAbstractSocket::ConnectedState;
        }, timeoutMs);
    };
    arrived(8);
    const QByteArray header = socket.read(8);
    if (header.size() < 8 || header.at(0) != '@' || header.at(7) != ';')
        return header + socket.readAll();
    const int length = header.mid(1, 6).toInt();
    arrived(length);
    return header + socket.read(length);
}

// A client's id, asked with framed code 3; 0 when it was not answered.
qintptr clientId(LoopbackClient& client)
{
    if (!client.send(Frame::frame(3, 900, QString())))
        return 0;
    const QByteArray reply = client.receiveFrame();
    return reply.mid(19, reply.size() - 20).toLongLong();
}

// ---- The server in a child process -----------------------------------------

// The child: a server on the stub folder named by the variable, its port on
// standard output, running until the parent closes standard input.
int serveForParent(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QuietDebug quiet;
    Settings settings(nullptr);
    settings.OverrideTrainSimPath(qEnvironmentVariable(kServeVariable));
    TSServer server(&settings);
    server.startListening(QString(), 0);
    if (!server.isListening())
        return 1;
#ifdef Q_OS_UNIX
    // A small descriptor limit brings the end of descriptors within reach
    // of a few clients.
    if (qEnvironmentVariableIsSet(kDescriptorLimitVariable)) {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = rlim_t(qEnvironmentVariableIntValue(kDescriptorLimitVariable));
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 1;
    }
#endif
    std::printf("%u\n", unsigned(server.serverPort()));
    std::fflush(stdout);
#ifdef Q_OS_UNIX
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char byte;
        if (::read(STDIN_FILENO, &byte, 1) <= 0)
            app.quit();
    });
#endif
    return app.exec();
}

class ServerProcess
{
public:
    ~ServerProcess()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    bool start(const QString& workingDir, const QString& simulatorFolder, int descriptorLimit = 0)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(kServeVariable), simulatorFolder);
        if (descriptorLimit > 0)
            environment.insert(QString::fromLatin1(kDescriptorLimitVariable), QString::number(descriptorLimit));
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(workingDir);
        // A sanitizer's report of the child's death shows in our output.
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationFilePath(), QStringList());
        if (!m_process.waitForStarted(10000))
            return false;
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(10000))
                return false;
        }
        m_port = quint16(m_process.readLine().trimmed().toUInt());
        return m_port != 0;
    }

    quint16 port() const { return m_port; }
    bool running() const { return m_process.state() == QProcess::Running; }
    // What became of the process, once it had a moment to end if it was
    // ending: a server that crashes closes its clients' connections first.
    QString settledFate()
    {
        if (running())
            m_process.waitForFinished(1000);
        return fate();
    }
    QString fate() const
    {
        if (running())
            return QStringLiteral("running");
        return m_process.exitStatus() == QProcess::CrashExit
            ? QStringLiteral("the server process crashed")
            : QStringLiteral("the server process ended with code %1").arg(m_process.exitCode());
    }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void clientDropsMidFrame_data();
    void clientDropsMidFrame();
    void silentClientKeepsOthersServedAndIsDropped();
    void endWhileClientWaitsForBody_data();
    void endWhileClientWaitsForBody();
    void connectDisconnectCycles();
    void nullAndNonFiniteAnswers_data();
    void nullAndNonFiniteAnswers();
    void largestFrame_data();
    void largestFrame();
    void randomBytesClients();
    void repliesStayFrames_data();
    void repliesStayFrames();
    void outOfDescriptors_data();
    void outOfDescriptors();

private:
    std::unique_ptr<TSServer> startServer();
    // Every client thread of the server has finished and been deleted.
    static bool noClientThreads(TSServer* server)
    {
        return server->findChildren<TSServerThread*>().isEmpty();
    }

    QTemporaryDir m_dir;
    QString m_previousDir;
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<StubLibrary> m_stub;
};

void TestFaults::initTestCase()
{
    m_stub = std::make_unique<StubLibrary>(QStringLiteral("full"));
    QVERIFY2(m_stub->isValid(), qPrintable(m_stub->errorString()));
    QVERIFY(m_dir.isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    m_settings = std::make_unique<Settings>(nullptr);
    m_settings->OverrideTrainSimPath(m_stub->folder());
}

void TestFaults::init()
{
    m_stub->reset();
    m_stub->setLocoName(kLocoName);
    m_stub->setControllerList(QStringLiteral("Throttle::Brake"));
    m_stub->setValue(0, 0, 0.5f);
    m_stub->setValue(0, 2, 1.0f);
    m_stub->setValue(1, 2, 1.0f);
}

void TestFaults::cleanupTestCase()
{
    m_settings.reset();
    QDir::setCurrent(m_previousDir);
}

std::unique_ptr<TSServer> TestFaults::startServer()
{
    auto server = std::make_unique<TSServer>(m_settings.get());
    server->startListening(QString(), 0);
    if (!server->isListening())
        return nullptr;
    return server;
}

// ---- A client that leaves halfway through a frame --------------------------

void TestFaults::clientDropsMidFrame_data()
{
    QTest::addColumn<int>("sentBytes"); // of the 20-byte frame "@000012;005;000001;;"
    QTest::addColumn<bool>("reset");    // leave with a reset instead of a close

    // Nine bytes are the fewest that count as a frame at all.
    QTest::addRow("closes after the header and one body byte") << 9 << false;
    QTest::addRow("closes halfway through the body") << 14 << false;
    QTest::addRow("closes one byte before the end") << 19 << false;
    QTest::addRow("resets halfway through the body") << 14 << true;
}

void TestFaults::clientDropsMidFrame()
{
    QFETCH(int, sentBytes);
    QFETCH(bool, reset);

    auto server = startServer();
    QVERIFY(server);
#ifdef Q_OS_LINUX
    const int threadsBefore = threadCount();
#endif
    LoopbackClient steady;
    QVERIFY(steady.connectTo(server->serverPort()));
    QVERIFY(clientId(steady) > 0);

    {
        LoopbackClient leaving;
        QVERIFY(leaving.connectTo(server->serverPort()));
        const qintptr id = clientId(leaving);
        QVERIFY(id > 0);
        QVERIFY(leaving.send(Frame::frame(5, 1, QString()).left(sentBytes)));
        // The client thread has taken the bytes in: it waits for the rest.
        QTRY_COMPARE(unreadOnServerSide(id), 0);
        if (reset) {
#ifdef Q_OS_UNIX
            // A zero linger time makes the close a reset, as a crashed or
            // unplugged client's connection ends.
            const linger noLinger{1, 0};
            ::setsockopt(int(leaving.socket().socketDescriptor()), SOL_SOCKET, SO_LINGER, &noLinger,
                         sizeof noLinger);
#endif
            leaving.socket().abort();
        } else {
            leaving.close();
        }
    }

    // The leaving client's thread ends well before the frame wait would have
    // run out; the steady client's thread stays.
    QVERIFY(waitUntil([&] { return server->findChildren<TSServerThread*>().size() == 1; }, int(kPromptMs)));
    QVERIFY(steady.send(Frame::frame(5, 2, QString())));
    QCOMPARE(steady.receiveFrame(), Frame::frame(5, 2, kLocoName));
#ifdef Q_OS_LINUX
    QVERIFY(waitUntil([&] { return threadCount() <= threadsBefore + 1; }));
#endif
}

// ---- A client that announces a frame and goes silent -----------------------

void TestFaults::silentClientKeepsOthersServedAndIsDropped()
{
    auto server = startServer();
    QVERIFY(server);
    LoopbackClient silent;
    QVERIFY(silent.connectTo(server->serverPort()));
    const qintptr id = clientId(silent);
    QVERIFY(id > 0);
    QElapsedTimer clock;
    QVERIFY(silent.send(Frame::frame(2, 1, QString(100, QLatin1Char('x'))).left(40)));
    clock.start();
    QTRY_COMPARE(unreadOnServerSide(id), 0);

    // While the silent client's thread waits for the rest of its frame,
    // others connect and are answered at once, again and again.
    LoopbackClient other;
    QVERIFY(other.connectTo(server->serverPort()));
    int tag = 0;
    while (clock.elapsed() < 8000) {
        QElapsedTimer answer;
        answer.start();
        QVERIFY(other.send(Frame::frame(5, ++tag, QString())));
        QCOMPARE(other.receiveFrame(2000), Frame::frame(5, tag, kLocoName));
        QVERIFY2(answer.elapsed() < 1000, qPrintable(QString::number(answer.elapsed())));
        QTest::qWait(250);
    }

    // After 10000 ms without data the silent client is disconnected without
    // a reply, and its thread ends.
    QVERIFY(silent.waitForClosed(6000));
    QVERIFY2(clock.elapsed() >= 9500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(silent.takeReceived(), QByteArray());
    QVERIFY(waitUntil([&] { return server->findChildren<TSServerThread*>().size() == 1; }));
    QVERIFY(other.send(Frame::frame(3, 7, QString())));
    QVERIFY(frameProblem(other.receiveFrame(), 3, 7).isEmpty());
}

void TestFaults::endWhileClientWaitsForBody_data()
{
    QTest::addColumn<bool>("destroy");      // destroy the server instead of stop()
    QTest::addColumn<int>("announcedBody"); // the silent client's length field

    QTest::addRow("stop() ends the latest client waiting for a short frame") << false << 100;
    QTest::addRow("stop() ends the latest client waiting for the largest frame") << false << kMaxBody;
    QTest::addRow("destruction ends idle, served and waiting clients") << true << 100;
    QTest::addRow("destruction ends a client waiting for the largest frame") << true << kMaxBody;
}

void TestFaults::endWhileClientWaitsForBody()
{
    QFETCH(bool, destroy);
    QFETCH(int, announcedBody);

    auto server = startServer();
    QVERIFY(server);
    const quint16 port = server->serverPort();
#ifdef Q_OS_LINUX
    const int threadsBefore = threadCount();
#endif
    LoopbackClient idle;
    LoopbackClient served;
    LoopbackClient silent; // connects last: stop() ends the latest client only
    for (LoopbackClient* client : {&idle, &served, &silent})
        QVERIFY(client->connectTo(port));
    QVERIFY(clientId(idle) > 0);
    QVERIFY(clientId(served) > 0);
    const qintptr silentId = clientId(silent);
    QVERIFY(silentId > 0);
    QVERIFY(served.send("GetLocoName()"));
    QCOMPARE(served.receive(kLocoName.size()), kLocoName.toLocal8Bit());

    const QByteArray header = '@' + QByteArray::number(announcedBody).rightJustified(6, '0') + ';';
    QVERIFY(silent.send(header + "002;000001;"));
    QTRY_COMPARE(unreadOnServerSide(silentId), 0);

    QList<QPointer<TSServerThread>> threads;
    for (TSServerThread* thread : server->findChildren<TSServerThread*>())
        threads << thread;
    QCOMPARE(threads.size(), 3);

    QElapsedTimer clock;
    clock.start();
    if (destroy)
        server.reset();
    else
        server->stop();
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed < kPromptMs, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));

    QVERIFY(silent.waitForClosed());
    QCOMPARE(silent.takeReceived(), QByteArray());
    if (destroy) {
        for (const QPointer<TSServerThread>& thread : threads)
            QVERIFY(thread.isNull());
        QVERIFY(idle.waitForClosed());
        QVERIFY(served.waitForClosed());
#ifdef Q_OS_LINUX
        QVERIFY(waitUntil([&] { return threadCount() <= threadsBefore; }));
#endif
        return;
    }
    // stop() ended the waiting client alone; the others are still served.
    QVERIFY(waitUntil([&] { return server->findChildren<TSServerThread*>().size() == 2; }));
    QVERIFY(idle.send(Frame::frame(5, 2, QString())));
    QCOMPARE(idle.receiveFrame(), Frame::frame(5, 2, kLocoName));
    QVERIFY(served.send(Frame::frame(10, 3, QString())));
    QCOMPARE(served.receiveFrame(), Frame::frame(10, 3, QString::fromLatin1(kDefaultShared)));
#ifdef Q_OS_LINUX
    QVERIFY(waitUntil([&] { return threadCount() <= threadsBefore + 2; }));
#endif
}

// ---- A thousand clients that come and go -----------------------------------

void TestFaults::connectDisconnectCycles()
{
    auto server = startServer();
    QVERIFY(server);
    const quint16 port = server->serverPort();
    QuietDebug quiet;
#ifdef Q_OS_LINUX
    const int threadsAtStart = threadCount();
#endif

    // Every third client leaves by reset, every other one asks for the
    // locomotive's name first; the others connect and close at once.
    auto cycle = [&](int i) -> bool {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }))
            return false;
        if (i % 2 == 1) {
            socket.write("GetLocoName()");
            if (!waitUntil([&] { return socket.bytesAvailable() >= kLocoName.size(); }))
                return false;
            if (socket.readAll() != kLocoName.toLocal8Bit())
                return false;
        }
        if (i % 3 == 0) {
            socket.abort();
            return true;
        }
        socket.disconnectFromHost();
        return socket.state() == QAbstractSocket::UnconnectedState
            || socket.waitForDisconnected(LoopbackClient::DefaultTimeoutMs);
    };
    auto settle = [&] {
        return waitUntil([&] { return noClientThreads(server.get()); }, 10000);
    };

    // Warm up: lazily created pools, arenas and the library's first load.
    for (int i = 0; i < 100; ++i)
        QVERIFY2(cycle(i), qPrintable(QStringLiteral("warm-up cycle %1").arg(i)));
    QVERIFY(settle());
#ifdef Q_OS_LINUX
    // A finished client thread's system thread ends a moment after Qt has
    // let go of it.
    QVERIFY(waitUntil([&] { return threadCount() <= threadsAtStart; }));
    const int threads = threadCount();
    const int descriptors = descriptorCount();
    const qint64 resident = residentKb();
#endif

    for (int i = 0; i < 1000; ++i) {
        QVERIFY2(cycle(i), qPrintable(QStringLiteral("cycle %1").arg(i)));
        if (i % 100 == 99) {
            QVERIFY(settle());
            m_stub->clearCallLog();
        }
    }
    QVERIFY(settle());
#ifdef Q_OS_LINUX
    QVERIFY2(waitUntil([&] { return threadCount() <= threads; }),
             qPrintable(QStringLiteral("%1 threads, %2 before").arg(threadCount()).arg(threads)));
    QVERIFY2(waitUntil([&] { return descriptorCount() <= descriptors; }),
             qPrintable(QStringLiteral("%1 descriptors, %2 before").arg(descriptorCount()).arg(descriptors)));
#ifndef KESTREL_SANITIZED
    // A client costs a few kilobytes while it is connected; a leak of even
    // one kilobyte per connection would show as 1000 KiB here.
    const qint64 grown = residentKb() - resident;
    QVERIFY2(grown < 4096, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));
#else
    Q_UNUSED(resident)
#endif
#endif
    // The server still serves.
    LoopbackClient last;
    QVERIFY(last.connectTo(port));
    QVERIFY(last.send(Frame::frame(5, 1, QString())));
    QCOMPARE(last.receiveFrame(), Frame::frame(5, 1, kLocoName));
}

// ---- A library that answers null texts and non-finite values --------------

enum class LibraryAnswers { NullTexts, NonFinite };
Q_DECLARE_METATYPE(LibraryAnswers)

void TestFaults::nullAndNonFiniteAnswers_data()
{
    QTest::addColumn<LibraryAnswers>("answers");
    // Sent one after another, each followed by the wait for its answer.
    QTest::addColumn<QByteArrayList>("requests");
    QTest::addColumn<QByteArrayList>("expected");

    const auto nulls = LibraryAnswers::NullTexts;
    QTest::addRow("null name gives an empty framed name")
        << nulls << QByteArrayList{Frame::frame(5, 1, QString())} << QByteArrayList{Frame::frame(5, 1, QString())};
    QTest::addRow("null name answers plain text with nothing")
        << nulls << QByteArrayList{"GetLocoName()<END>GetControllerValue(0;0)<END>"} << QByteArrayList{"0.5"};
    QTest::addRow("null list reads as one nameless controller")
        << nulls << QByteArrayList{Frame::frame(7, 2, QString())}
        << QByteArrayList{Frame::frame(7, 2, QStringLiteral("0::::0::1::"))};
    QTest::addRow("null list in the flat form")
        << nulls << QByteArrayList{"GetControllerListExtended(FLAT)<END>"} << QByteArrayList{"0;;0;1;"};
    QTest::addRow("null list as JSON")
        << nulls << QByteArrayList{"GetControllerListExtended(JSON)<END>"}
        << QByteArrayList{"{\n    \"controller\": [\n        {\n            \"ID\": 0,\n            \"Max\": 1,\n"
                          "            \"Min\": 0,\n            \"Name\": \"\"\n        }\n    ]\n}\n"};

    const auto odd = LibraryAnswers::NonFinite;
    QTest::addRow("NaN and infinities as values")
        << odd << QByteArrayList{Frame::frame(6, 3, QStringLiteral("0:1:2:3"))}
        << QByteArrayList{Frame::frame(7, 3, QStringLiteral("0:nan::1:inf::2:-inf::3:3.40282e+38::"))};
    QTest::addRow("NaN as a plain-text value")
        << odd << QByteArrayList{"GetControllerValue(0;0)<END>"} << QByteArrayList{"nan"};
    QTest::addRow("limits: NaN reads 0, infinities and huge values saturate")
        << odd << QByteArrayList{Frame::frame(7, 4, QString())}
        << QByteArrayList{Frame::frame(7, 4, QStringLiteral("0::A::0::2147483647::1::B::-2147483648::2147483647::"))};
    QTest::addRow("train data from NaN and infinities")
        << odd << QByteArrayList{Frame::frame(4, 5, QString())}
        << QByteArrayList{Frame::frame(4, 5, QStringLiteral("nan:inf:-inf:0:2147483647:-2147483648:inf:nan:inf")
                                                  + QString::fromLatin1(":" + kDefaultShared))};
    QTest::addRow("a client sets NaN")
        << odd << QByteArrayList{Frame::frame(8, 6, QStringLiteral("1:nan"))}
        << QByteArrayList{Frame::frame(8, 6, QStringLiteral("Set CtrlValue: 1:nan"))};
    QTest::addRow("a client shares NaN and infinity, others read them back")
        << odd
        << QByteArrayList{Frame::frame(9, 7, QStringLiteral("a:b:nan:1:2:3:4:5")), Frame::frame(10, 8, QString()),
                          Frame::frame(9, 9, QStringLiteral("a:b:-inf:1:2:3:4:5")), Frame::frame(10, 10, QString())}
        << QByteArrayList{Frame::frame(10, 7, QStringLiteral("TRUE")),
                          Frame::frame(10, 8, QStringLiteral("a:b:nan:1:2:3:4:5")),
                          Frame::frame(10, 9, QStringLiteral("TRUE")),
                          Frame::frame(10, 10, QStringLiteral("a:b:-inf:1:2:3:4:5"))};
}

void TestFaults::nullAndNonFiniteAnswers()
{
    QFETCH(LibraryAnswers, answers);
    QFETCH(QByteArrayList, requests);
    QFETCH(QByteArrayList, expected);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    if (answers == LibraryAnswers::NullTexts) {
        m_stub->setLocoNameNull();
        m_stub->setControllerListNull();
    } else {
        m_stub->setControllerList(QStringLiteral("A::B"));
        m_stub->setValue(0, 0, nan);
        m_stub->setValue(1, 0, inf);
        m_stub->setValue(2, 0, -inf);
        m_stub->setValue(3, 0, std::numeric_limits<float>::max());
        m_stub->setValue(0, 1, nan);
        m_stub->setValue(0, 2, inf);
        m_stub->setValue(1, 1, -inf);
        m_stub->setValue(1, 2, std::numeric_limits<float>::max());
        const int trainIds[] = {400, 401, 404, 406, 407, 408};
        const float trainValues[] = {nan, inf, -inf, nan, inf, -inf};
        for (int i = 0; i < 6; ++i)
            m_stub->setValue(trainIds[i], 0, trainValues[i]);
        m_stub->setRailSimValue(30, -inf); // speed, written without its sign
        m_stub->setRailSimValue(2, nan);
        m_stub->setRailSimValue(7, inf);
    }

    auto server = startServer();
    QVERIFY(server);
    LoopbackClient client;
    QVERIFY(client.connectTo(server->serverPort()));
    for (int i = 0; i < requests.size(); ++i) {
        QVERIFY(client.send(requests.at(i)));
        QCOMPARE(client.receive(expected.at(i).size()), expected.at(i));
    }
    // Nothing more than that, and the client is still served.
    QVERIFY(client.send(Frame::frame(2, 99, QString())));
    QCOMPARE(client.receiveFrame(), Frame::frame(2, 99, QStringLiteral("Kestrel")));
}

// ---- The largest frame there is --------------------------------------------

void TestFaults::largestFrame_data()
{
    QTest::addColumn<int>("segments");

    QTest::addRow("in one send") << 1;
    QTest::addRow("in 16 segments") << 16;
}

void TestFaults::largestFrame()
{
    QFETCH(int, segments);

    auto server = startServer();
    QVERIFY(server);
    QuietDebug quiet; // the server writes every frame it receives to the debug output

    // Code 2 answers the server's name whatever the request carries; code 1
    // keeps its payload as the client's name.
    const QByteArray ask = Frame::frame(2, 1, QString(kMaxBody - 12, QLatin1Char('x')));
    const QByteArray name = Frame::frame(1, 2, QString(kMaxBody - 12, QLatin1Char('n')));
    QCOMPARE(ask.size(), 8 + kMaxBody);

    // A request that follows a frame in the same segment waits for the
    // client's next send, and code 1 has no reply to wait for: the name's
    // log line tells when the next request may go.
    QSignalSpy log(server.get(), &TSServer::sigDebugString);
    auto named = [&] {
        for (const QList<QVariant>& line : log) {
            if (line.at(0).toString().startsWith(QLatin1String("(Server) - Client Name: nnn")))
                return true;
        }
        return false;
    };
    auto serveOne = [&](int tag) -> bool {
        log.clear();
        LoopbackClient client;
        if (!client.connectTo(server->serverPort()))
            return false;
        auto sendInSegments = [&](const QByteArray& request) {
            const int step = (request.size() + segments - 1) / segments;
            for (int offset = 0; offset < request.size(); offset += step) {
                if (!client.send(request.mid(offset, step), 10000))
                    return false;
            }
            return true;
        };
        if (!sendInSegments(ask) || client.receiveFrame(10000) != Frame::frame(2, 1, QStringLiteral("Kestrel")))
            return false;
        if (!sendInSegments(name) || !waitUntil(named, 10000))
            return false;
        log.clear();
        if (!client.send(Frame::frame(3, tag, QString())))
            return false;
        const bool answered = frameProblem(client.receiveFrame(), 3, tag).isEmpty();
        client.close();
        return answered;
    };

    QVERIFY(serveOne(1)); // warm-up
    QVERIFY(waitUntil([&] { return noClientThreads(server.get()); }));
#ifdef Q_OS_LINUX
    const qint64 resident = residentKb();
#endif
    for (int tag = 2; tag < 6; ++tag) {
        QVERIFY2(serveOne(tag), qPrintable(QStringLiteral("client %1").arg(tag)));
        QVERIFY(waitUntil([&] { return noClientThreads(server.get()); }));
    }
#if defined(Q_OS_LINUX) && !defined(KESTREL_SANITIZED)
    // Each client held its two megabyte frames several times over (bytes,
    // decoded text, log line, name); none of that may stay behind.
    const qint64 grown = residentKb() - resident;
    QVERIFY2(grown < 8192, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(grown)));
#endif
}

// ---- Clients that send random bytes ----------------------------------------

void TestFaults::randomBytesClients()
{
    auto server = startServer();
    QVERIFY(server);
    const quint16 port = server->serverPort();
    QuietDebug quiet;
#ifdef Q_OS_LINUX
    const int threadsBefore = threadCount();
#endif
    QRandomGenerator random(20240611);
    // A quarter start like a frame, a quarter like a command with an
    // argument, so that random bytes reach past the first decisions.
    const QList<QByteArray> openings = {
        QByteArray(), QByteArray(), QByteArray("GetControllerValue("), QByteArray("SetControllerValue(")};

    for (int batch = 0; batch < 20; ++batch) {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int i = 0; i < 10; ++i) {
            QByteArray bytes(1 + int(random.bounded(2048)), Qt::Uninitialized);
            for (char& byte : bytes)
                byte = char(random.bounded(256));
            const int kind = int(random.bounded(4));
            if (kind == 0)
                bytes.prepend('@' + QByteArray::number(1 + random.bounded(kMaxBody)).rightJustified(6, '0') + ';');
            else
                bytes.prepend(openings.at(kind));
            auto socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(waitUntil([&] { return socket->state() == QAbstractSocket::ConnectedState; }));
            socket->write(bytes);
            sockets.push_back(std::move(socket));
        }
        for (auto& socket : sockets)
            socket->disconnectFromHost();
        QVERIFY(waitUntil([&] {
            for (auto& socket : sockets) {
                if (socket->state() != QAbstractSocket::UnconnectedState)
                    return false;
            }
            return true;
        }));
        QVERIFY2(waitUntil([&] { return noClientThreads(server.get()); }),
                 qPrintable(QStringLiteral("batch %1: %2 client threads left").arg(batch).arg(
                     server->findChildren<TSServerThread*>().size())));
    }
#ifdef Q_OS_LINUX
    QVERIFY(waitUntil([&] { return threadCount() <= threadsBefore; }));
#endif

    // A client that behaves is served exactly as on a fresh server.
    LoopbackClient client;
    QVERIFY(client.connectTo(port));
    QVERIFY(client.send(Frame::frame(2, 1, QString())));
    QCOMPARE(client.receiveFrame(), Frame::frame(2, 1, QStringLiteral("Kestrel")));
    QVERIFY(client.send(Frame::frame(5, 2, QString())));
    QCOMPARE(client.receiveFrame(), Frame::frame(5, 2, kLocoName));
    QVERIFY(client.send(Frame::frame(7, 3, QString())));
    QCOMPARE(client.receiveFrame(), Frame::frame(7, 3, QStringLiteral("0::Throttle::0::1::1::Brake::0::1::")));
    QVERIFY(client.send("GetControllerValue(0;0)<END>"));
    QCOMPARE(client.receive(3), QByteArray("0.5"));
}

// ---- Replies that a client can always parse --------------------------------

void TestFaults::repliesStayFrames_data()
{
    QTest::addColumn<QString>("stored");  // code 9 payload of the first client
    QTest::addColumn<int>("askedCode");   // what the second client asks for
    QTest::addColumn<int>("replyCode");

    // Were shared texts written into the reply by successive arg() calls, a
    // "%2" in the first text would be filled with the second text: one
    // client's short request would make every client's reply as long as the
    // product of the two texts.
    QTest::addRow("placeholders in shared texts do not multiply the reply")
        << QStringLiteral("%2").repeated(700) + QLatin1Char(':') + QString(1500, QLatin1Char('y'))
               + QStringLiteral(":1:1:2:3:4:5")
        << 10 << 10;
    // ... and past 2^32 characters Qt's length arithmetic would wrap around
    // and the reply be written past its buffer.
    QTest::addRow("placeholders that overflow the reply's length do not kill the server")
        << QStringLiteral("%2").repeated(65535) + QLatin1Char(':') + QString(65536, QLatin1Char('y'))
               + QStringLiteral(":1:1:2:3:4:5")
        << 10 << 10;
    // A long shared text fits its own request but not the train data reply
    // of another client, whose length field would need seven digits.
    QTest::addRow("a long shared text does not break another client's train data")
        << QString(kMaxBody - 60, QLatin1Char('t')) + QStringLiteral(":b:1:1:2:3:4:5") << 4 << 4;
}

void TestFaults::repliesStayFrames()
{
    QFETCH(QString, stored);
    QFETCH(int, askedCode);
    QFETCH(int, replyCode);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerProcess server;
    QVERIFY(server.start(dir.path(), m_stub->folder()));

    LoopbackClient storing;
    QVERIFY(storing.connectTo(server.port()));
    QVERIFY(storing.send(Frame::frame(9, 1, stored), 10000));
    // Storing may be refused (texts too long for the record); either way
    // the answer is a frame and other clients' replies must stay frames.
    const QByteArray stored9 = storing.receiveFrame(10000);
    QVERIFY2(stored9 == Frame::frame(10, 1, QStringLiteral("TRUE"))
                 || stored9 == Frame::frame(10, 1, QStringLiteral("FALSE")),
             stored9.left(64).constData());

    LoopbackClient asking;
    QVERIFY(asking.connectTo(server.port()));
    QVERIFY(asking.send(Frame::frame(askedCode, 2, QString())));
    const QByteArray reply = receiveReply(asking.socket());
    const QString problem = frameProblem(reply, replyCode, 2);
    QVERIFY2(problem.isEmpty(), qPrintable(problem + QStringLiteral("; ") + server.settledFate()));
    QVERIFY2(reply.size() - 8 <= kMaxBody, qPrintable(QString::number(reply.size())));

    // The server survived and serves the other client too.
    QVERIFY(storing.send(Frame::frame(2, 3, QString())));
    QCOMPARE(storing.receiveFrame(), Frame::frame(2, 3, QStringLiteral("Kestrel")));
}

// ---- More clients than descriptors -----------------------------------------

void TestFaults::outOfDescriptors_data()
{
    QTest::addColumn<int>("limit");

    // Each client costs the server two descriptors: its socket and the
    // wake-up descriptor of its thread's event loop, taken by the new thread
    // while the listener may already accept the next client. Limits of
    // either parity let both the accept and a starting client thread run
    // into the limit.
    QTest::addRow("out of descriptors at an even limit") << 64;
    QTest::addRow("out of descriptors at an odd limit") << 63;
}

void TestFaults::outOfDescriptors()
{
#ifndef Q_OS_LINUX
    QSKIP("descriptor limits are a Unix matter");
#else
    QFETCH(int, limit);

    // A limit this small is reached by a few dozen clients, as the usual
    // limit of 1024 is by about five hundred. The server may refuse clients
    // then, but it must live on and accept again once clients leave.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerProcess server;
    QVERIFY(server.start(dir.path(), m_stub->folder(), limit));

    std::vector<std::unique_ptr<LoopbackClient>> clients;
    bool refused = false;
    for (int i = 0; i < 64 && !refused && server.running(); ++i) {
        auto client = std::make_unique<LoopbackClient>();
        if (!client->connectTo(server.port())) {
            refused = true;
            break;
        }
        refused = !client->send(Frame::frame(3, i, QString()))
            || frameProblem(client->receiveFrame(2000), 3, i) != QString();
        clients.push_back(std::move(client));
    }
    QVERIFY2(refused || !server.running(), "64 clients never reached the limit");
    QVERIFY2(server.running(), qPrintable(server.settledFate()));

    // The clients' threads end a moment after they leave; until then a new
    // client may still be refused, so try a few times.
    clients.clear();
    QByteArray reply;
    for (int attempt = 0; attempt < 50 && reply.isEmpty() && server.running(); ++attempt) {
        LoopbackClient later;
        if (later.connectTo(server.port()) && later.send(Frame::frame(2, 1, QString())))
            reply = later.receiveFrame(1000);
    }
    QVERIFY2(reply == Frame::frame(2, 1, QStringLiteral("Kestrel")),
             qPrintable(QStringLiteral("a later client got \"%1\"; %2")
                            .arg(QString::fromLatin1(reply), server.settledFate())));
#endif
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet(kServeVariable))
        return serveForParent(argc, argv);
    QCoreApplication app(argc, argv);
    TestFaults test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
