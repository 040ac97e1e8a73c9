#include "liveserver.h"

#include "httpresponder.h"
#include "logqueue.h"
#include "nativesocket.h"

#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

namespace {

// A client that has not sent its request's head within this long is closed.
constexpr int kHeadWaitMs = 10000;
constexpr int kMaxPendingHttp = 64;
constexpr qint64 kMaxWebSocketBytes = 1024 * 1024;

} // namespace

LiveServer::LiveServer(LiveState* state, LogQueue* log, QObject* logOwner, Options options)
    : m_state(state)
    , m_log(log)
    , m_logOwner(logOwner)
    , m_options(std::move(options))
    , m_webSockets(QStringLiteral("Kestrel"), QWebSocketServer::NonSecureMode)
{
    m_tcp.setParent(this);
    m_webSockets.setParent(this);
    m_clock.start();
    m_state->setSide(LiveState::Server, this);
    connect(&m_tcp, &QTcpServer::newConnection, this, &LiveServer::accept);
    connect(&m_webSockets, &QWebSocketServer::newConnection, this, &LiveServer::sessionStarted);
}

// Runs in the server's thread, which deletes it as that thread ends.
LiveServer::~LiveServer()
{
    m_state->setSide(LiveState::Server, nullptr);
    m_tcp.close();
    const QList<LiveSession*> sessions = m_sessions.values();
    m_sessions.clear();
    for (LiveSession* session : sessions)
        session->disconnect(this);
    qDeleteAll(sessions);
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
        wake(nullptr);
}

void LiveServer::wake(const char* method)
{
    if (!method)
        QMetaObject::invokeMethod(m_logOwner, "drainLog", Qt::QueuedConnection);
    else
        m_state->wake(LiveState::Sampler, method);
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
        auto* session = new LiveSession(socket, m_nextSession++, this, m_options.timing);
        m_sessions.insert(session->id(), session);
        log(QStringLiteral("(Live) - %1 connected").arg(session->peer()), 0);
        connect(session, &LiveSession::closed, this, [this, session] {
            log(QStringLiteral("(Live) - %1 disconnected").arg(session->peer()), 0);
            m_sessions.remove(session->id());
            session->deleteLater();
            subscriptionsChanged();
        });
        if (m_locomotive.generation > 0)
            session->greet(m_locomotive);
        // A new client is a moment to look for another locomotive.
        wake("refresh");
    }
}

void LiveServer::locomotiveChanged()
{
    m_locomotive = m_state->locomotive();
    for (LiveSession* session : qAsConst(m_sessions))
        session->locomotiveChanged(m_locomotive);
    subscriptionsChanged();
}

void LiveServer::valuesChanged()
{
    const QHash<int, double> values = m_state->values();
    const qint64 now = m_clock.elapsed();
    for (LiveSession* session : qAsConst(m_sessions))
        session->valuesChanged(values, now);
}

void LiveServer::setsDone()
{
    for (const LiveState::SetRequest& request : m_state->takeFinishedSets()) {
        if (LiveSession* session = m_sessions.value(request.session))
            session->setDone(request);
    }
}

void LiveServer::subscriptionsChanged()
{
    QHash<int, int> demand;
    for (const LiveSession* session : qAsConst(m_sessions))
        session->addDemand(&demand);
    m_state->setDemand(demand);
    wake("demandChanged");
}

void LiveServer::requestSet(const LiveState::SetRequest& request, const QString& peer)
{
    m_state->requestSet(request);
    log(QStringLiteral("(Live) - %1 sets controller %2 to %3").arg(peer).arg(request.index).arg(request.value), 1);
    wake("setsWaiting");
}

// Wrong codes are counted per address over the last minute; past the limit
// every try from there is refused until the minute has passed, so that the
// code cannot be found by trying them all.
LiveServer::CodeCheck LiveServer::checkCode(const QString& peer, const QString& code)
{
    const qint64 now = m_clock.elapsed();
    QList<qint64>& wrong = m_wrongCodes[peer];
    while (!wrong.isEmpty() && now - wrong.first() > 60000)
        wrong.removeFirst();
    CodeCheck check = CodeCheck::Wrong;
    if (wrong.size() >= WrongCodesPerMinute) {
        check = CodeCheck::TooMany;
    } else if (!code.isEmpty() && code == m_options.controlCode) {
        check = CodeCheck::Ok;
    } else if (!code.isEmpty()) {
        wrong.append(now);
        log(QStringLiteral("(Live) - %1 gave a wrong control code").arg(peer), 1);
    }
    if (wrong.isEmpty())
        m_wrongCodes.remove(peer);
    return check;
}
