#pragma once

#include "codeguard.h"
#include "sampler.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <atomic>

class QWebSocket;

// One WebSocket client of the live port: reads its messages (subscribe,
// unsubscribe, set, ping), keeps its subscriptions, sends it the values that
// moved beyond their deadband at its own pace, pings it and drops it when it
// falls silent. Every bad message is answered with an error naming the
// fault; the connection goes on. Lives in the live server's thread, which
// hands it what the sampler read; what it wants leaves by its signals.
class LiveSession : public QObject
{
    Q_OBJECT

public:
    struct Timing
    {
        int heartbeatMs = 10000;
        int timeoutMs = 30000;
    };
    static constexpr int MinPeriodMs = 50;
    static constexpr int MaxPeriodMs = 10000;
    static constexpr int MaxMessageBytes = 16 * 1024;
    static constexpr int MessagesPerSecond = 20;

    LiveSession(QWebSocket* socket, quint64 id, CodeGuard* codes, Timing timing);
    ~LiveSession() override;

    quint64 id() const { return m_id; }
    QString peer() const { return m_peer; }
    // How many sessions exist in the process: each closed client's goes.
    static int instances() { return s_instances; }

    void greet(const Sampler::Locomotive& locomotive);
    void locomotiveChanged(const Sampler::Locomotive& locomotive);
    void valuesRead(const Sampler::Values& values, qint64 nowMs);
    void setDone(const Sampler::SetRequest& request);
    // Controller index to the shortest period this client wants it at.
    void addDemand(QHash<int, int>* demand) const;

signals:
    void logLine(const QString& text, int level);
    void subscriptionsChanged();
    void setRequested(const Sampler::SetRequest& request);
    void closed();

private:
    struct Subscription
    {
        QString name; // empty for one by index
        int index = -1; // -1 while the locomotive has no such controller
        int periodMs = 100;
        double deadband = 0;
        double lastSent = 0;
        bool sent = false;
        qint64 nextDueMs = 0; // no change is sent before this
    };

    void onMessage(const QString& text);
    void subscribe(const QJsonObject& message);
    void unsubscribe(const QJsonObject& message);
    void set(const QJsonObject& message);
    void pair(const QJsonObject& message);
    bool allowed(CodeGuard::Check check, const QJsonValue& id, const QString& what, const QString& refusal);
    void send(const QJsonObject& message);
    void sendError(const char* error, const QString& text, const QJsonValue& id = QJsonValue::Undefined);
    int resolve(const QJsonValue& controller) const;
    bool takeToken();
    void heartbeat();

    static std::atomic<int> s_instances;

    QWebSocket* m_socket;
    quint64 m_id;
    QString m_peer;
    CodeGuard* m_codes;
    Timing m_timing;
    Sampler::Locomotive m_locomotive;
    bool m_greeted = false;
    QVector<Subscription> m_subscriptions;
    QTimer m_heartbeat;
    QElapsedTimer m_lastHeard;
    QElapsedTimer m_rateClock;
    double m_tokens = MessagesPerSecond;
    qint64 m_lastRefillMs = 0;
    qint64 m_lastTooMany = -1000;
};
