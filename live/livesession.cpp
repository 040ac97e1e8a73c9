#include "livesession.h"

#include "codeguard.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QWebSocket>

#include <algorithm>
#include <cmath>

namespace {

QJsonArray controllerList(const Sampler::Locomotive& locomotive)
{
    QJsonArray controllers;
    for (const Sampler::Controller& controller : locomotive.controllers)
        controllers.append(QJsonObject{{QStringLiteral("index"), controller.index},
                                       {QStringLiteral("name"), controller.name},
                                       {QStringLiteral("min"), controller.minimum},
                                       {QStringLiteral("max"), controller.maximum}});
    return controllers;
}

QString describe(const QJsonValue& controller)
{
    return controller.isString() ? QStringLiteral("\"%1\"").arg(controller.toString())
                                 : QString::number(controller.toDouble());
}

} // namespace

std::atomic<int> LiveSession::s_instances{0};

LiveSession::LiveSession(QWebSocket* socket, quint64 id, CodeGuard* codes, Timing timing)
    : m_socket(socket)
    , m_id(id)
    , m_codes(codes)
    , m_timing(timing)
{
    ++s_instances;
    m_socket->setParent(this);
    m_peer = m_socket->peerAddress().toString();
    if (m_peer.startsWith(QLatin1String("::ffff:")))
        m_peer = m_peer.mid(7);
    m_lastHeard.start();
    m_rateClock.start();
    connect(m_socket, &QWebSocket::textMessageReceived, this, &LiveSession::onMessage);
    connect(m_socket, &QWebSocket::binaryMessageReceived, this, [this] {
        m_lastHeard.restart();
        // Counted like text: each answer costs the server as much.
        if (takeToken())
            sendError("bad-message", QStringLiteral("messages are JSON text"));
    });
    connect(m_socket, &QWebSocket::pong, this, [this] { m_lastHeard.restart(); });
    connect(m_socket, &QWebSocket::disconnected, this, &LiveSession::closed);
    connect(&m_heartbeat, &QTimer::timeout, this, &LiveSession::heartbeat);
    m_heartbeat.start(m_timing.heartbeatMs);
}

LiveSession::~LiveSession()
{
    --s_instances;
}

void LiveSession::heartbeat()
{
    if (m_lastHeard.elapsed() > m_timing.timeoutMs) {
        emit logLine(QStringLiteral("(Live) - %1 silent for %2 s; connection closed").arg(m_peer).arg(m_timing.timeoutMs / 1000),
                     1);
        m_socket->abort();
        return;
    }
    m_socket->ping();
}

void LiveSession::send(const QJsonObject& message)
{
    m_socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void LiveSession::sendError(const char* error, const QString& text, const QJsonValue& id)
{
    QJsonObject message{{QStringLiteral("type"), QStringLiteral("error")},
                        {QStringLiteral("error"), QLatin1String(error)},
                        {QStringLiteral("message"), text}};
    if (!id.isUndefined()) // an id of null comes back too, as sent
        message.insert(QStringLiteral("id"), id);
    send(message);
}

void LiveSession::greet(const Sampler::Locomotive& locomotive)
{
    m_locomotive = locomotive;
    if (m_greeted)
        return;
    m_greeted = true;
    send({{QStringLiteral("type"), QStringLiteral("hello")},
          {QStringLiteral("protocol"), 1},
          {QStringLiteral("server"), QStringLiteral("Kestrel")},
          {QStringLiteral("version"), QStringLiteral(KESTREL_VERSION)},
          {QStringLiteral("loco"), locomotive.name},
          {QStringLiteral("controllers"), controllerList(locomotive)},
          {QStringLiteral("heartbeat"), m_timing.heartbeatMs / 1000.0},
          {QStringLiteral("timeout"), m_timing.timeoutMs / 1000.0},
          {QStringLiteral("period"),
           QJsonObject{{QStringLiteral("min"), MinPeriodMs}, {QStringLiteral("max"), MaxPeriodMs}}}});
}

// A new locomotive: subscriptions by name carry over to the controllers of
// that name; those by index meant a controller of the old one and end.
void LiveSession::locomotiveChanged(const Sampler::Locomotive& locomotive)
{
    if (!m_greeted)
        return greet(locomotive);
    m_locomotive = locomotive;
    send({{QStringLiteral("type"), QStringLiteral("loco")},
          {QStringLiteral("loco"), locomotive.name},
          {QStringLiteral("controllers"), controllerList(locomotive)}});
    m_subscriptions.erase(std::remove_if(m_subscriptions.begin(), m_subscriptions.end(),
                                         [](const Subscription& s) { return s.name.isEmpty(); }),
                          m_subscriptions.end());
    for (Subscription& subscription : m_subscriptions) {
        subscription.index = resolve(subscription.name);
        subscription.sent = false;
        subscription.nextDueMs = 0;
    }
}

int LiveSession::resolve(const QJsonValue& controller) const
{
    for (const Sampler::Controller& known : m_locomotive.controllers) {
        if (controller.isString() ? known.name == controller.toString()
                                  : controller.isDouble() && double(known.index) == controller.toDouble())
            return known.index;
    }
    return -1;
}

void LiveSession::valuesRead(const Sampler::Values& values, qint64 nowMs)
{
    QJsonObject moved;
    for (Subscription& subscription : m_subscriptions) {
        const auto value = values.values.constFind(subscription.index);
        if (value == values.values.cend()
            || (subscription.sent
                && (nowMs < subscription.nextDueMs || std::fabs(*value - subscription.lastSent) <= subscription.deadband)))
            continue;
        // Paced from the changes sent, not from the first value: a value that
        // stood still goes out as soon as it moves (a set through Kestrel is
        // read at once). A tick may come a little early; three quarters of
        // the period keep a client from missing every other one.
        if (subscription.sent)
            subscription.nextDueMs = nowMs + subscription.periodMs * 3 / 4;
        subscription.sent = true;
        subscription.lastSent = *value;
        moved.insert(QString::number(subscription.index), *value);
    }
    if (!moved.isEmpty())
        send({{QStringLiteral("type"), QStringLiteral("values")}, {QStringLiteral("values"), moved}});
}

void LiveSession::addDemand(QHash<int, int>* demand) const
{
    // A subscription by a name the locomotive lacks asks for index -1: no
    // value, but the sampler keeps looking for a locomotive that has it.
    for (const Subscription& subscription : m_subscriptions) {
        auto wanted = demand->find(subscription.index);
        if (wanted == demand->end())
            demand->insert(subscription.index, subscription.periodMs);
        else
            *wanted = std::min(*wanted, subscription.periodMs);
    }
}

bool LiveSession::takeToken()
{
    const qint64 now = m_rateClock.elapsed();
    m_tokens = std::min(2.0 * MessagesPerSecond, m_tokens + (now - m_lastRefillMs) * MessagesPerSecond / 1000.0);
    m_lastRefillMs = now;
    if (m_tokens >= 1.0) {
        m_tokens -= 1.0;
        return true;
    }
    // One error a second at most: the answer must not multiply the flood.
    if (now - m_lastTooMany >= 1000) {
        m_lastTooMany = now;
        sendError("too-many", QStringLiteral("more than %1 messages a second; messages dropped").arg(MessagesPerSecond));
    }
    return false;
}

void LiveSession::onMessage(const QString& text)
{
    m_lastHeard.restart();
    if (!takeToken())
        return;
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() > MaxMessageBytes)
        return sendError("too-large", QStringLiteral("messages are at most %1 bytes").arg(MaxMessageBytes));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        // Qt 5 reads only an object or an array as a document: a number, a
        // string, true or null alone is JSON too, just not a message.
        if (QJsonDocument::fromJson('[' + bytes + ']').array().size() != 1)
            return sendError("not-json", parseError.errorString());
    }
    if (!document.isObject())
        return sendError("bad-message", QStringLiteral("a message is a JSON object"));
    const QJsonObject message = document.object();
    const QString type = message.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("subscribe"))
        subscribe(message);
    else if (type == QLatin1String("unsubscribe"))
        unsubscribe(message);
    else if (type == QLatin1String("set"))
        set(message);
    else if (type == QLatin1String("pair"))
        pair(message);
    else if (type == QLatin1String("ping"))
        send({{QStringLiteral("type"), QStringLiteral("pong")}, {QStringLiteral("id"), message.value(QStringLiteral("id"))}});
    else
        sendError("unknown-type", QStringLiteral("no message of type \"%1\"").arg(type), message.value(QStringLiteral("id")));
}

void LiveSession::subscribe(const QJsonObject& message)
{
    const QJsonValue id = message.value(QStringLiteral("id"));
    const QJsonValue controllers = message.value(QStringLiteral("controllers"));
    const QJsonValue period = message.value(QStringLiteral("period"));
    const QJsonValue deadband = message.value(QStringLiteral("deadband"));
    if (!controllers.isArray() || (!period.isUndefined() && !period.isDouble())
        || (!deadband.isUndefined() && (!deadband.isDouble() || deadband.toDouble() < 0)))
        return sendError("bad-message", QStringLiteral("subscribe needs \"controllers\" (an array), and a number "
                                                       "for \"period\" and a number of 0 or more for \"deadband\""), id);
    Subscription wanted;
    // Rounded, then held within the bounds: 250.5 is 251 ms and 1e10 the slowest rate.
    wanted.periodMs = int(std::lround(std::clamp(period.toDouble(100), double(MinPeriodMs), double(MaxPeriodMs))));
    wanted.deadband = deadband.toDouble(0);
    QJsonArray subscribed;
    QStringList unknown;
    for (const QJsonValue controller : controllers.toArray()) {
        const int index = resolve(controller);
        if (index < 0) {
            unknown << describe(controller);
            continue;
        }
        Subscription subscription = wanted;
        subscription.index = index;
        subscription.name = controller.isString() ? controller.toString() : QString();
        // Subscribing again to a controller replaces what was asked before.
        m_subscriptions.erase(std::remove_if(m_subscriptions.begin(), m_subscriptions.end(),
                                             [index](const Subscription& s) { return s.index == index; }),
                              m_subscriptions.end());
        m_subscriptions.append(subscription);
        subscribed.append(index);
    }
    if (!unknown.isEmpty())
        sendError("unknown-controller", QStringLiteral("no controller %1").arg(unknown.join(QStringLiteral(", "))), id);
    send({{QStringLiteral("type"), QStringLiteral("subscribed")},
          {QStringLiteral("id"), id},
          {QStringLiteral("controllers"), subscribed},
          {QStringLiteral("period"), wanted.periodMs},
          {QStringLiteral("deadband"), wanted.deadband}});
    emit subscriptionsChanged();
}

void LiveSession::unsubscribe(const QJsonObject& message)
{
    const QJsonValue controllers = message.value(QStringLiteral("controllers"));
    if (!controllers.isUndefined() && !controllers.isArray())
        return sendError("bad-message", QStringLiteral("unsubscribe takes \"controllers\" as an array, or none for all"),
                         message.value(QStringLiteral("id")));
    QJsonArray ended;
    for (auto it = m_subscriptions.begin(); it != m_subscriptions.end();) {
        bool named = controllers.isUndefined();
        // By index or name, however the subscription was made; a name also
        // ends a subscription the current locomotive has no controller for.
        for (const QJsonValue controller : controllers.toArray())
            named = named || (it->index >= 0 && resolve(controller) == it->index)
                || (controller.isString() && controller.toString() == it->name);
        if (named) {
            ended.append(it->index);
            it = m_subscriptions.erase(it);
        } else {
            ++it;
        }
    }
    send({{QStringLiteral("type"), QStringLiteral("unsubscribed")},
          {QStringLiteral("id"), message.value(QStringLiteral("id"))},
          {QStringLiteral("controllers"), ended}});
    emit subscriptionsChanged();
}

// Whether a code or token that was checked lets the message through; if
// not, the error goes back (and a wrong one to the log).
bool LiveSession::allowed(CodeGuard::Check check, const QJsonValue& id, const QString& what, const QString& refusal)
{
    switch (check) {
    case CodeGuard::Check::Wrong:
        emit logLine(QStringLiteral("(Live) - %1 gave a wrong %2").arg(m_peer, what), 1);
        Q_FALLTHROUGH();
    case CodeGuard::Check::Missing:
        sendError("not-allowed", refusal, id);
        return false;
    case CodeGuard::Check::TooMany:
        sendError("too-many-codes", QStringLiteral("too many wrong codes from this address; wait a minute"), id);
        return false;
    case CodeGuard::Check::Ok:
        break;
    }
    return true;
}

void LiveSession::set(const QJsonObject& message)
{
    const QJsonValue id = message.value(QStringLiteral("id"));
    if (!allowed(m_codes->check(m_peer, message.value(QStringLiteral("code")).toString()), id,
                 QStringLiteral("control code"), QStringLiteral("setting values needs the control code that Kestrel shows")))
        return;
    const QJsonValue controller = message.value(QStringLiteral("controller"));
    const QJsonValue value = message.value(QStringLiteral("value"));
    if (!value.isDouble())
        return sendError("bad-message", QStringLiteral("set needs a number for \"value\""), id);
    const int index = resolve(controller);
    if (index < 0)
        return sendError("unknown-controller", QStringLiteral("no controller %1").arg(describe(controller)), id);
    Sampler::SetRequest request;
    request.session = m_id;
    request.id = id;
    request.index = index;
    request.value = value.toDouble();
    emit logLine(QStringLiteral("(Live) - %1 sets controller %2 to %3").arg(m_peer).arg(index).arg(request.value), 1);
    emit setRequested(request);
}

// A device that scanned a pairing link trades its token for the control
// code, once; a wrong token counts as a wrong code.
void LiveSession::pair(const QJsonObject& message)
{
    const QJsonValue id = message.value(QStringLiteral("id"));
    if (!allowed(m_codes->checkPairing(m_peer, message.value(QStringLiteral("token")).toString()), id,
                 QStringLiteral("pairing token"), QStringLiteral("this pairing link is no longer valid; scan the new one")))
        return;
    emit logLine(QStringLiteral("(Live) - %1 paired").arg(m_peer), 1);
    send({{QStringLiteral("type"), QStringLiteral("paired")}, {QStringLiteral("id"), id},
          {QStringLiteral("code"), m_codes->controlCode()}});
}

void LiveSession::setDone(const Sampler::SetRequest& request)
{
    send({{QStringLiteral("type"), QStringLiteral("set")},
          {QStringLiteral("id"), request.id},
          {QStringLiteral("ok"), request.ok},
          {QStringLiteral("controller"), request.index},
          {QStringLiteral("value"), request.value}});
}
