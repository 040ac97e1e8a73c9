#pragma once

#include "livesession.h"
#include "livestate.h"

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
// answered by HttpResponder and closed. It fans the sampler's values out to
// the sessions, tells the sampler what they want, checks control codes and
// passes set requests on.
class LiveServer : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString controlCode;
        LiveSession::Timing timing;
    };
    enum class CodeCheck { Ok, Wrong, TooMany };
    static constexpr int MaxSessions = 512;
    static constexpr int WrongCodesPerMinute = 5;

    // `logOwner` has an invokable "drainLog" that empties `log`.
    LiveServer(LiveState* state, LogQueue* log, QObject* logOwner, Options options);
    ~LiveServer() override;

    // Before the server is moved to its thread.
    bool listen(quint16 port, QString* error);
    quint16 port() const { return m_tcp.serverPort(); }

    // For the sessions.
    const LiveState::Locomotive& locomotive() const { return m_locomotive; }
    CodeCheck checkCode(const QString& peer, const QString& code);
    void subscriptionsChanged();
    void requestSet(const LiveState::SetRequest& request, const QString& peer);
    void log(const QString& text, int level);

    // From the sampler, queued.
    Q_INVOKABLE void locomotiveChanged();
    Q_INVOKABLE void valuesChanged();
    Q_INVOKABLE void setsDone();

private:
    void accept();
    void readHead(QTcpSocket* socket);
    void sessionStarted();
    void wake(const char* method);

    LiveState* m_state;
    LogQueue* m_log;
    QObject* m_logOwner;
    Options m_options;
    QTcpServer m_tcp;
    QWebSocketServer m_webSockets;
    QHash<quint64, LiveSession*> m_sessions;
    quint64 m_nextSession = 1;
    int m_pendingHttp = 0;
    LiveState::Locomotive m_locomotive;
    QElapsedTimer m_clock;
    QHash<QString, QList<qint64>> m_wrongCodes; // address to the times of its wrong codes
};
