#include "tsserver.h"

#include "tsserverthread.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>

TSServer::TSServer(Settings* settings, QObject* parent)
    : QTcpServer(parent)
    , m_settings(settings)
{
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
    m_lastClientThread->wait();
}

void TSServer::stopAllClients()
{
    const auto threads = findChildren<TSServerThread*>(QString(), Qt::FindDirectChildrenOnly);
    for (TSServerThread* thread : threads)
        thread->requestEnd();
    for (TSServerThread* thread : threads)
        thread->wait();
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

    auto* thread = new TSServerThread(m_settings, &m_sharedData, socketDescriptor, this);
    m_lastClientThread = thread;
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &TSServerThread::sigDebugString, this, &TSServer::OnDebugString);
    connect(thread, &TSServerThread::sigDisconnected, this, &TSServer::OnClientDisconnected);
    thread->start(QThread::InheritPriority);

    if (!thread->isRunning() && !thread->isFinished()) {
        // The system refused a new thread (out of threads or memory). The
        // client cannot be served: close its connection and forget it.
        emit sigDebugString(QStringLiteral("(Server) - Could not start client thread ID:%1").arg(socketDescriptor), 0);
        QTcpSocket socket;
        if (socket.setSocketDescriptor(socketDescriptor))
            socket.abort();
        delete thread;
        return;
    }
    m_clientActive = true;
}
