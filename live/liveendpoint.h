#pragma once

#include "livesession.h"

#include <QObject>
#include <QString>

class LiveServer;
class LogQueue;
class QThread;
class Sampler;

// The live port beside the server, as the service runs it: it starts the
// live server's thread and the sampler's thread, wires the two together by
// queued signals, relays their log lines (through a bounded queue, emitted
// here by sigDebugString) and ends both. A sampler stuck in a library call
// is left behind when it does not end within a bound, never waited on for
// good.
class LiveEndpoint : public QObject
{
    Q_OBJECT

public:
    explicit LiveEndpoint(QObject* parent = nullptr);
    ~LiveEndpoint() override;

    // Serves the simulator in `simulatorPath` on `port` (0: the system
    // chooses); sets needs `controlCode`, which a device that pairs with
    // `pairingToken` is given. False, with the reason, when the port cannot
    // be had.
    bool start(const QString& simulatorPath, quint16 port, const QString& controlCode, QString* error,
               LiveSession::Timing timing = LiveSession::Timing(), const QString& pairingToken = QString());
    void stop();
    quint16 port() const { return m_port; }
    // The thread the live server and its sessions run in, while started.
    QThread* networkThread() const { return m_network; }

    // "http://<host>:<port>/", the address users open.
    static QString pageAddress(const QString& host, quint16 port);
    // The first IPv4 address of this machine that others can reach, else
    // the loopback address.
    static QString reachableHost();

    static constexpr int StopWaitMs = 2000;

signals:
    void sigDebugString(QString text, int level);
    // A controller was set through the main port: the sampler reads it
    // again at once.
    void controllerSet(int index);

private:
    void drainLog();

    LogQueue* m_log = nullptr;
    QThread* m_network = nullptr;
    QThread* m_sampling = nullptr;
    LiveServer* m_server = nullptr;
    Sampler* m_sampler = nullptr;
    quint16 m_port = 0;
};
