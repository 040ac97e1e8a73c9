#include "liveendpoint.h"

#include "liveserver.h"
#include "logqueue.h"
#include "queuedhandoff.h"
#include "sampler.h"

#include <QNetworkInterface>
#include <QThread>

LiveEndpoint::LiveEndpoint(QObject* parent)
    : QObject(parent)
{
    Q_INIT_RESOURCE(live);
    // What the sampler and the live server hand each other, queued.
    qRegisterMetaType<Sampler::Locomotive>();
    qRegisterMetaType<Sampler::Values>();
    qRegisterMetaType<Sampler::SetRequest>();
    qRegisterMetaType<QHash<int, int>>();
}

LiveEndpoint::~LiveEndpoint()
{
    stop();
}

bool LiveEndpoint::start(const QString& simulatorPath, quint16 port, const QString& controlCode, QString* error,
                         LiveSession::Timing timing, const QString& pairingToken)
{
    stop();
    m_log = new LogQueue(1024);
    m_server = new LiveServer(m_log, {controlCode, timing, pairingToken});
    if (!m_server->listen(port, error)) {
        stop();
        return false;
    }
    m_port = m_server->port();
    m_sampler = new Sampler(simulatorPath);
    // Both are made and wired here, before their threads run; every
    // connection between them crosses threads and is queued, so each side
    // gets what the other sent, in the order it was sent.
    connect(m_sampler, &Sampler::locomotiveRead, m_server, &LiveServer::locomotiveRead);
    connect(m_sampler, &Sampler::valuesRead, m_server, &LiveServer::valuesRead);
    connect(m_sampler, &Sampler::setDone, m_server, &LiveServer::setDone);
    connect(m_server, &LiveServer::demandChanged, m_sampler, &Sampler::setDemand);
    connect(m_server, &LiveServer::refreshWanted, m_sampler, &Sampler::refresh);
    connect(m_server, &LiveServer::setRequested, m_sampler, &Sampler::set);
    connect(this, &LiveEndpoint::controllerSet, m_sampler, &Sampler::readAgain);
    connect(m_server, &LiveServer::logWaiting, this, &LiveEndpoint::drainLog);
    m_network = new QThread;
    m_sampling = new QThread;
    m_network->setObjectName(QStringLiteral("live network"));
    m_sampling->setObjectName(QStringLiteral("live sampler"));
    m_server->moveToThread(m_network);
    m_sampler->moveToThread(m_sampling);
    // Queued before the thread runs, so that this thread touches the
    // sampler only before the thread's start, which orders it before
    // anything the sampler's thread does, its deletion included.
    QMetaObject::invokeMethod(m_sampler, &Sampler::start, Qt::QueuedConnection);
    m_network->start();
    m_sampling->start();
    return true;
}

void LiveEndpoint::stop()
{
    if (!m_network) {
        // Never started, or the port could not be had.
        delete m_server;
        delete m_log;
        m_server = nullptr;
        m_log = nullptr;
        return;
    }
    // The sampler first: the server is what it reports to. Each object goes
    // in its own thread as that thread ends, by deleteLater() itself: a
    // finishing thread deletes what awaits deferred deletion, whereas a
    // queued call still waiting when quit() takes effect is never delivered.
    // The server goes even when the sampler is stuck: what the sampler
    // sends it later is dropped with it.
    // Apart first, here: a destructor that found the other still connected
    // would reach into it from its own thread.
    disconnect(this, nullptr, m_sampler, nullptr);
    disconnect(m_sampler, nullptr, m_server, nullptr);
    disconnect(m_server, nullptr, m_sampler, nullptr);
    QueuedHandoff::send(m_sampler);
    m_sampler->deleteLater();
    m_sampling->quit();
    const bool samplerEnded = m_sampling->wait(StopWaitMs);
    QueuedHandoff::send(m_server);
    m_server->deleteLater();
    m_network->quit();
    m_network->wait();
    delete m_network;
    // What the server left in the queue: taken under the queue's lock,
    // which orders this after the server's thread.
    drainLog();
    delete m_log;
    if (samplerEnded) {
        delete m_sampling;
    } else {
        // A library call that does not return holds the sampler: it and its
        // thread are left to the end of the process.
        emit sigDebugString(QStringLiteral("(Live) - The sampler did not end within %1 ms (a call into the "
                                           "simulator's library does not return); it is left to end by itself")
                                .arg(StopWaitMs),
                            1);
    }
    m_log = nullptr;
    m_network = m_sampling = nullptr;
    m_server = nullptr;
    m_sampler = nullptr;
    m_port = 0;
}

void LiveEndpoint::drainLog()
{
    if (m_log && m_log->drain(256, "(Live)", [this](const QString& text, int level) { emit sigDebugString(text, level); }))
        QMetaObject::invokeMethod(this, &LiveEndpoint::drainLog, Qt::QueuedConnection);
}

QString LiveEndpoint::pageAddress(const QString& host, quint16 port)
{
    return QStringLiteral("http://%1:%2/").arg(host).arg(port);
}

QString LiveEndpoint::reachableHost()
{
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()
            && !address.isLinkLocal())
            return address.toString();
    }
    return QStringLiteral("127.0.0.1");
}
