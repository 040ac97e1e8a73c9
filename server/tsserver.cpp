#include "tsserver.h"

#include "tsserverthread.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

namespace {

// Closes an accepted connection that will not be served.
void refuseConnection(qintptr socketDescriptor)
{
    QTcpSocket socket;
    if (socket.setSocketDescriptor(socketDescriptor))
        socket.abort();
}

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
}

void TSServer::startListening(QString address, quint16 port)
{
    Q_UNUSED(address)
    if (listen(QHostAddress::Any, port)) {
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
    m_lastClientThread->requestEnd();
    m_lastClientThread->waitForEnd();
}

void TSServer::stopAllClients()
{
    const auto threads = findChildren<TSServerThread*>(QString(), Qt::FindDirectChildrenOnly);
    for (TSServerThread* thread : threads)
        thread->requestEnd();
    for (TSServerThread* thread : threads)
        thread->waitForEnd();
}

void TSServer::OnDebugString(QString text, int level)
{
    emit sigDebugString(text, level);
}

void TSServer::OnClientDisconnected()
{
    m_clientActive = false;
}

void TSServer::incomingConnection(qintptr socketDescriptor)
{
    qDebug().noquote() << QString::number(socketDescriptor) + QStringLiteral(" Connecting...");
    emit sigDebugString(QStringLiteral("(Server) - Connecting... %1").arg(socketDescriptor), 0);

    if (m_runningClients >= maxClients()) {
        emit sigDebugString(QStringLiteral("(Server) - Too many clients, connection refused ID:%1").arg(socketDescriptor), 1);
        refuseConnection(socketDescriptor);
        return;
    }

    auto* thread = new TSServerThread(m_settings, &m_sharedData, socketDescriptor, this);
    m_lastClientThread = thread;
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, this, [this] { --m_runningClients; });
    connect(thread, &TSServerThread::sigDebugString, this, &TSServer::OnDebugString);
    connect(thread, &TSServerThread::sigDisconnected, this, &TSServer::OnClientDisconnected);
    thread->start(QThread::InheritPriority);

    if (!thread->isRunning() && !thread->isFinished()) {
        // The system refused a new thread (out of threads or memory). The
        // client cannot be served: close its connection and forget it.
        emit sigDebugString(QStringLiteral("(Server) - Could not start client thread ID:%1").arg(socketDescriptor), 0);
        refuseConnection(socketDescriptor);
        delete thread;
        return;
    }
    ++m_runningClients;
    m_clientActive = true;
}
