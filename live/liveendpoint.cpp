#include "liveendpoint.h"

#include "liveserver.h"
#include "livestate.h"
#include "logqueue.h"
#include "sampler.h"

#include <QNetworkInterface>
#include <QThread>

LiveEndpoint::LiveEndpoint(QObject* parent)
    : QObject(parent)
{
    Q_INIT_RESOURCE(live);
}

LiveEndpoint::~LiveEndpoint()
{
    stop();
}

bool LiveEndpoint::start(const QString& simulatorPath, quint16 port, const QString& controlCode, QString* error,
                         LiveSession::Timing timing)
{
    stop();
    m_state = new LiveState;
    m_log = new LogQueue(1024);
    LiveServer::Options options;
    options.controlCode = controlCode;
    options.timing = timing;
    m_server = new LiveServer(m_state, m_log, this, options);
    if (!m_server->listen(port, error)) {
        stop();
        return false;
    }
    m_port = m_server->port();
    m_sampler = new Sampler(simulatorPath, m_state);
    // Both are made and set up here, before their threads run.
    m_network = new QThread;
    m_sampling = new QThread;
    m_network->setObjectName(QStringLiteral("live network"));
    m_sampling->setObjectName(QStringLiteral("live sampler"));
    m_server->moveToThread(m_network);
    m_sampler->moveToThread(m_sampling);
    // Queued before the thread runs, so that this thread touches the
    // sampler only before the thread's start, which orders it before
    // anything the sampler's thread does, its deletion included.
    QMetaObject::invokeMethod(m_sampler, "start", Qt::QueuedConnection);
    m_network->start();
    m_sampling->start();
    return true;
}

void LiveEndpoint::stop()
{
    if (!m_network) {
        // Never started, or the port could not be had.
        delete m_server;
        delete m_state;
        delete m_log;
        m_server = nullptr;
        m_state = nullptr;
        m_log = nullptr;
        return;
    }
    // The sampler first: the server is what it reports to. Each object goes
    // in its own thread as that thread ends, by deleteLater() itself: a
    // finishing thread deletes what awaits deferred deletion, whereas a
    // queued call still waiting when quit() takes effect is never delivered.
    // The server goes even when the sampler is stuck: the sampler reaches it
    // only through the shared state, which then stays.
    m_sampler->deleteLater();
    m_sampling->quit();
    const bool samplerEnded = m_sampling->wait(StopWaitMs);
    m_server->deleteLater();
    m_network->quit();
    m_network->wait();
    delete m_network;
    if (samplerEnded) {
        delete m_sampling;
        // What the threads left in the queue, then the shared state: both
        // are taken under their locks, which orders this after the threads.
        drainLog();
        m_state->demand();
        delete m_state;
        delete m_log;
    } else {
        // A library call that does not return holds the sampler: it and
        // the state it shares are left to the end of the process.
        emit sigDebugString(QStringLiteral("(Live) - The sampler did not end within %1 ms (a call into the "
                                           "simulator's library does not return); it is left to end by itself")
                                .arg(StopWaitMs),
                            1);
    }
    m_state = nullptr;
    m_log = nullptr;
    m_network = m_sampling = nullptr;
    m_server = nullptr;
    m_sampler = nullptr;
    m_port = 0;
}

void LiveEndpoint::drainLog()
{
    if (m_log && m_log->drain(256, "(Live)", [this](const QString& text, int level) { emit sigDebugString(text, level); }))
        QMetaObject::invokeMethod(this, "drainLog", Qt::QueuedConnection);
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
