#pragma once

#include "codeguard.h"
#include "livesession.h"
#include "sampler.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTcpServer>
#include <QWebSocketServer>

class LogQueue;
class QTcpSocket;

// The live port in its own thread: HTTP and WebSocket on one listening
// socket. A connection whose request asks for the live protocol's upgrade is
// handed to QWebSocketServer and becomes a LiveSession; any other request is
// answered by HttpResponder and closed. It hands the sessions exactly what
// the sampler's signals carried, in their order, and passes on to the
// sampler what the sessions want and set.
class LiveServer : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString controlCode;
        LiveSession::Timing timing;
        QString pairingToken; // empty: no device can pair
    };
    static constexpr int MaxSessions = 512;

    LiveServer(LogQueue* log, Options options);
    ~LiveServer() override;

    // Before the server is moved to its thread.
    bool listen(quint16 port, QString* error);
    quint16 port() const { return m_tcp.serverPort(); }

public slots:
    // From the sampler, queued.
    void locomotiveRead(const Sampler::Locomotive& locomotive);
    void valuesRead(const Sampler::Values& values);
    void setDone(const Sampler::SetRequest& request);

signals:
    void demandChanged(const QHash<int, int>& demand);
    void refreshWanted();
    void setRequested(const Sampler::SetRequest& request);
    // Lines wait in the log queue; emitted when it was empty before.
    void logWaiting();

private:
    void accept();
    void readHead(QTcpSocket* socket);
    void sessionStarted();
    void subscriptionsChanged();
    void requestSet(const Sampler::SetRequest& request);
    void log(const QString& text, int level);

    LogQueue* m_log;
    Options m_options;
    CodeGuard m_codes;
    QTcpServer m_tcp;
    QWebSocketServer m_webSockets;
    QHash<quint64, LiveSession*> m_sessions;
    quint64 m_nextSession = 1;
    int m_pendingHttp = 0;
    Sampler::Locomotive m_locomotive;
    QElapsedTimer m_clock;
};
