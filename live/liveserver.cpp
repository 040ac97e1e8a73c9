#include "liveserver.h"

#include "httpresponder.h"
#include "logqueue.h"
#include "nativesocket.h"
#include "queuedhandoff.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

namespace {

// A client that has not sent its request's head within this long is closed.
constexpr int kHeadWaitMs = 10000;
constexpr int kMaxPendingHttp = 64;
constexpr qint64 kMaxWebSocketBytes = 1024 * 1024;

} // namespace

LiveServer::LiveServer(LogQueue* log, Options options)
    : m_log(log)
    , m_options(std::move(options))
    , m_codes(m_options.controlCode, m_options.pairingToken)
    , m_webSockets(QStringLiteral("Kestrel"), QWebSocketServer::NonSecureMode)
{
    m_tcp.setParent(this);
    m_webSockets.setParent(this);
    m_clock.start();
    connect(&m_tcp, &QTcpServer::newConnection, this, &LiveServer::accept);
    connect(&m_webSockets, &QWebSocketServer::newConnection, this, &LiveServer::sessionStarted);
}

// Runs in the server's thread, which deletes it as that thread ends; the
// live endpoint handed it over to this thread.
LiveServer::~LiveServer()
{
    QueuedHandoff::receive(this);
    m_tcp.close();
    const QList<LiveSession*> sessions = m_sessions.values();
    m_sessions.clear();
    for (LiveSession* session : sessions)
        session->disconnect(this);
    qDeleteAll(sessions);
    // A closing WebSocket hands its TCP socket to deferred deletion, which a
    // thread that is finishing (this runs as it finishes) no longer carries
    // out by itself: the socket, and with it the thread's data, would stay.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool LiveServer::listen(quint16 port, QString* error)
{
    const qintptr descriptor = NativeSocket::listen(port, error);
    if (descriptor < 0)
        return false;
    if (!m_tcp.setSocketDescriptor(descriptor)) {
        *error = m_tcp.errorString();
        NativeSocket::close(descriptor);
        return false;
    }
    return true;
}

void LiveServer::log(const QString& text, int level)
{
    if (m_log->push(LogQueue::cut(text), level))
        emit logWaiting();
}

void LiveServer::accept()
{
    while (QTcpSocket* socket = m_tcp.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (m_pendingHttp >= kMaxPendingHttp) {
            socket->abort();
            continue;
        }
        ++m_pendingHttp;
        // Counted until the request is answered or handed on.
        auto* headWait = new QTimer(socket);
        headWait->setSingleShot(true);
        connect(headWait, &QTimer::timeout, socket, &QTcpSocket::abort);
        connect(socket, &QObject::destroyed, this, [this] { --m_pendingHttp; });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readHead(socket); });
        headWait->start(kHeadWaitMs);
    }
}

void LiveServer::readHead(QTcpSocket* socket)
{
    // Looked at, not taken: a WebSocket upgrade is read again by Qt.
    const QByteArray bytes = socket->peek(HttpResponder::MaxHeadBytes + 4);
    HttpResponder::Request request;
    const HttpResponder::Head head = HttpResponder::parse(bytes, &request);
    if (head == HttpResponder::Head::Incomplete)
        return;
    if (head == HttpResponder::Head::Complete && HttpResponder::isLiveUpgrade(request)
        && m_sessions.size() < MaxSessions) {
        // Handed on whole: none of our connections or timers stay with it.
        socket->disconnect(this);
        socket->disconnect(socket);
        qDeleteAll(socket->findChildren<QTimer*>());
        socket->setParent(nullptr);
        --m_pendingHttp;
        m_webSockets.handleConnection(socket);
        return;
    }
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    socket->readAll();
    if (head != HttpResponder::Head::Complete)
        socket->write(HttpResponder::refuse(head));
    else if (HttpResponder::isLiveUpgrade(request))
        socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    else
        socket->write(HttpResponder::respond(request));
    socket->disconnectFromHost();
}

void LiveServer::sessionStarted()
{
    while (QWebSocket* socket = m_webSockets.nextPendingConnection()) {
        socket->setMaxAllowedIncomingMessageSize(quint64(kMaxWebSocketBytes));
        socket->setMaxAllowedIncomingFrameSize(quint64(kMaxWebSocketBytes));
        auto* session = new LiveSession(socket, m_nextSession++, &m_codes, m_options.timing);
        m_sessions.insert(session->id(), session);
        log(QStringLiteral("(Live) - %1 connected").arg(session->peer()), 0);
        connect(session, &LiveSession::logLine, this, &LiveServer::log);
        connect(session, &LiveSession::subscriptionsChanged, this, &LiveServer::subscriptionsChanged);
        connect(session, &LiveSession::setRequested, this, &LiveServer::requestSet);
        connect(session, &LiveSession::closed, this, [this, session] {
            log(QStringLiteral("(Live) - %1 disconnected").arg(session->peer()), 0);
            m_sessions.remove(session->id());
            session->deleteLater();
            subscriptionsChanged();
        });
        if (m_locomotive.generation > 0)
            session->greet(m_locomotive);
        // A new client is a moment to look for another locomotive.
        emit refreshWanted();
    }
}

void LiveServer::locomotiveRead(const Sampler::Locomotive& locomotive)
{
    QueuedHandoff::receive(&Sampler::staticMetaObject);
    m_locomotive = locomotive;
    for (LiveSession* session : qAsConst(m_sessions))
        session->locomotiveChanged(m_locomotive);
    subscriptionsChanged();
}

void LiveServer::valuesRead(const Sampler::Values& values)
{
    QueuedHandoff::receive(&Sampler::staticMetaObject);
    // The sampler sends a locomotive before its values, so values of
    // another locomotive than the last one announced cannot come; should
    // they, they would be shown under the wrong controllers.
    if (values.generation != m_locomotive.generation)
        return;
    const qint64 now = m_clock.elapsed();
    for (LiveSession* session : qAsConst(m_sessions))
        session->valuesRead(values, now);
}

void LiveServer::setDone(const Sampler::SetRequest& request)
{
    QueuedHandoff::receive(&Sampler::staticMetaObject);
    if (LiveSession* session = m_sessions.value(request.session))
        session->setDone(request);
}

void LiveServer::subscriptionsChanged()
{
    QHash<int, int> demand;
    for (const LiveSession* session : qAsConst(m_sessions))
        session->addDemand(&demand);
    QueuedHandoff::send(&Sampler::staticMetaObject);
    emit demandChanged(demand);
}

void LiveServer::requestSet(const Sampler::SetRequest& request)
{
    QueuedHandoff::send(&Sampler::staticMetaObject);
    emit setRequested(request);
}
