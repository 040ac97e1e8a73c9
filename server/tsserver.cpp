#include "tsserver.h"

#include "nativesocket.h"
#include "settings.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QHostAddress>
#include <QTimer>

#include <algorithm>
#include <climits>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

namespace {

// Lines that may wait for the server's thread, and how many it emits before
// it lets other events (new connections, a signal to stop) have a turn.
constexpr int kLogCapacity = 4096;
constexpr int kLogBatch = 256;

} // namespace

int TSServer::maxClients()
{
    constexpr int ceiling = 4096;
#ifdef Q_OS_WIN
    return ceiling;
#else
    // Three descriptors a client (socket, wake-up, a file the library may
    // open) and a reserve for the process itself.
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return ceiling;
    const long long usable = (static_cast<long long>(limit.rlim_cur) - 64) / 3;
    return int(std::clamp<long long>(usable, 1, ceiling));
#endif
}

TSServer::TSServer(Settings* settings, QObject* parent)
    : QTcpServer(parent)
    , m_settings(settings)
    , m_log(kLogCapacity)
{
    // Qt stops accepting for good when an accept fails for want of
    // descriptors or memory. Such a shortage passes as clients leave, so
    // try again shortly instead of going deaf.
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::SocketResourceError)
            return;
        emit sigDebugString(QStringLiteral("(Server) - Out of resources, accepting again shortly"), 1);
        QTimer::singleShot(100, this, [this] {
            if (isListening())
                resumeAccepting();
        });
    });
}

TSServer::~TSServer()
{
    close();
    stopAllClients();
    // What the clients said last still reaches whoever listens.
    while (!m_log.isEmpty())
        drainLog();
}

void TSServer::startListening(QString address, quint16 port)
{
    Q_UNUSED(address)
    if (m_settings) {
        const int idleSeconds = std::min(m_settings->GetIdleTimeout(), INT_MAX / 1000);
        m_limits.idleTimeoutMs = idleSeconds * 1000;
        m_connectionsPerAddress = m_settings->GetConnectionsPerAddress();
        m_limits.maxPendingBytes = m_settings->GetUnreadBytes();
    }
    m_listenError.clear();
    const qintptr descriptor = NativeSocket::listen(port, &m_listenError);
    bool listening = descriptor >= 0 && setSocketDescriptor(descriptor);
    if (descriptor >= 0 && !listening) {
        m_listenError = errorString();
        NativeSocket::close(descriptor);
    }
    if (listening) {
        qDebug().noquote() << QStringLiteral("Listening to port %1...").arg(port);
        emit sigDebugString(QStringLiteral("(Server) - Listening to port %1").arg(port), 0);
    } else {
        qDebug("Could not start server");
        emit sigDebugString(QStringLiteral("(Server) - Could not start server"), 0);
    }
}

void TSServer::stop()
{
    if (!m_lastClientThread || !m_clientActive)
        return;
    TSServerThread* thread = m_lastClientThread;
    thread->requestEnd();
    if (!thread->waitForEnd(StopWaitMs))
        reportLeftBehind({thread}, StopWaitMs);
}

bool TSServer::stopAllClients(int timeoutMs)
{
    const QList<TSServerThread*> threads = m_clients.keys();
    for (TSServerThread* thread : threads)
        thread->requestEnd();
    const QDeadlineTimer deadline(timeoutMs < 0 ? qint64(QDeadlineTimer::Forever) : qint64(timeoutMs));
    QList<TSServerThread*> running;
    for (TSServerThread* thread : threads) {
        const int left = timeoutMs < 0 ? -1 : int(std::max<qint64>(0, deadline.remainingTime()));
        if (!thread->waitForEnd(left))
            running.append(thread);
    }
    if (!running.isEmpty())
        reportLeftBehind(running, timeoutMs);
    return running.isEmpty();
}

void TSServer::retire()
{
    m_retiring = true;
    close();
    // The ended client threads go with the server; one that did not end is
    // waited for by reapClients(), which deletes the server after it.
    if (stopAllClients(StopWaitMs))
        deleteLater();
}

void TSServer::reportLeftBehind(const QList<TSServerThread*>& threads, int waitedMs)
{
    for (TSServerThread* thread : threads)
        emit sigDebugString(QStringLiteral("(Server) - Client ID:%1 did not end within %2 ms (a call into the "
                                           "simulator's library does not return); it is left to end by itself")
                                .arg(thread->socketDescriptor())
                                .arg(waitedMs),
                            1);
}

void TSServer::OnDebugString(QString text, int level)
{
    // Called in client threads too: only the queue is touched here. A
    // client's megabyte of request, echoed in its line, is cut first.
    if (m_log.push(LogQueue::cut(text), level))
        QMetaObject::invokeMethod(this, "drainLog", Qt::QueuedConnection);
}

void TSServer::drainLog()
{
    if (m_log.drain(kLogBatch, "(Server)", [this](const QString& text, int level) { emit sigDebugString(text, level); }))
        QMetaObject::invokeMethod(this, "drainLog", Qt::QueuedConnection);
}

void TSServer::OnControllerSet(int index)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_setsMutex);
        first = m_setIndexes.isEmpty();
        m_setIndexes.insert(index);
    }
    if (first)
        QMetaObject::invokeMethod(this, "announceControllerSets", Qt::QueuedConnection);
}

void TSServer::announceControllerSets()
{
    QSet<int> indexes;
    {
        std::lock_guard<std::mutex> lock(m_setsMutex);
        indexes.swap(m_setIndexes);
    }
    for (int index : qAsConst(indexes))
        emit sigControllerSet(index);
}

void TSServer::OnClientDisconnected()
{
    m_clientActive = false;
}

void TSServer::reapClients()
{
    const QList<TSServerThread*> threads = m_clients.keys();
    for (TSServerThread* thread : threads) {
        if (!thread->hasEnded())
            continue;
        // run() has returned; the wait covers the last moments of the thread.
        thread->waitForEnd();
        forget(thread);
        delete thread;
    }
    if (m_retiring && m_clients.isEmpty())
        deleteLater();
}

void TSServer::forget(TSServerThread* thread)
{
    const QString address = m_clients.take(thread);
    auto count = m_addressCounts.find(address);
    if (count != m_addressCounts.end() && --count.value() <= 0)
        m_addressCounts.erase(count);
}

void TSServer::incomingConnection(qintptr socketDescriptor)
{
    qDebug().noquote() << QString::number(socketDescriptor) + QStringLiteral(" Connecting...");
    emit sigDebugString(QStringLiteral("(Server) - Connecting... %1").arg(socketDescriptor), 0);

    if (m_clients.size() >= maxClients()) {
        emit sigDebugString(QStringLiteral("(Server) - Too many clients, connection refused ID:%1").arg(socketDescriptor), 1);
        NativeSocket::close(socketDescriptor);
        return;
    }
    // One host may not take every place: a cap per client address.
    const QString address = NativeSocket::peerAddress(socketDescriptor);
    if (m_connectionsPerAddress > 0 && m_addressCounts.value(address) >= m_connectionsPerAddress) {
        emit sigDebugString(QStringLiteral("(Server) - Too many connections from %1, connection refused ID:%2")
                                .arg(address)
                                .arg(socketDescriptor),
                            1);
        NativeSocket::close(socketDescriptor);
        return;
    }

    auto* thread = new TSServerThread(m_settings, &m_sharedData, socketDescriptor, this);
    thread->setLimits(m_limits);
    m_lastClientThread = thread;
    // Direct: the line goes into the bounded queue in the client's thread.
    connect(thread, &TSServerThread::sigDebugString, this, &TSServer::OnDebugString, Qt::DirectConnection);
    connect(thread, &TSServerThread::sigDisconnected, this, &TSServer::OnClientDisconnected);
    connect(thread, &TSServerThread::sigControllerSet, this, &TSServer::OnControllerSet, Qt::DirectConnection);
    thread->start(QThread::InheritPriority);

    if (!thread->isRunning() && !thread->isFinished()) {
        // The system refused a new thread (out of threads or memory). The
        // client cannot be served: close its connection and forget it.
        emit sigDebugString(QStringLiteral("(Server) - Could not start client thread ID:%1").arg(socketDescriptor), 0);
        NativeSocket::close(socketDescriptor);
        delete thread;
        return;
    }
    m_clients.insert(thread, address);
    ++m_addressCounts[address];
    m_clientActive = true;
}
