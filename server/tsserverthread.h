#pragma once

#include "commandset.h"
#include "requestreader.h"

#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

class QTimer;
class Settings;
class SharedClientData;
class TSInterfaceDll;
struct MessageFrame;

// What one client may cost the server.
struct ClientLimits
{
    // A connection silent for this long between requests is closed; 0 for
    // no limit.
    int idleTimeoutMs = 0;
    // Reply bytes that may wait for a client that does not read them. A
    // reply is always taken while nothing waits; one that would take the
    // waiting bytes past this closes the connection instead.
    qint64 maxPendingBytes = 4 * 1024 * 1024;
};

// Serves one TCP client. The object lives in the GUI thread; run() opens the
// socket from the accepted descriptor and creates the client's own simulator
// interface in the worker thread, where every request of this client is then
// read, executed and answered, one at a time.
//
// Log lines leave by sigDebugString from the worker thread: the server takes
// them with a direct connection into its bounded log queue. The end of run()
// is reported to the parent (the server) by a queued call of its
// "reapClients" method, which waits for the thread and deletes the object.
class TSServerThread : public QThread, private CommandResponder, private RequestReader::Handler
{
    Q_OBJECT

public:
    TSServerThread(Settings* settings, SharedClientData* sharedData, qintptr socketDescriptor,
                   QObject* parent);
    ~TSServerThread() override;

    // Set before start().
    void setLimits(const ClientLimits& limits) { m_limits = limits; }

    // Ends the client from any thread: a wait for request data or for a
    // reply to be written ends within a few tens of milliseconds, a text of
    // many commands stops at the next one, the event loop exits, and run()
    // closes the socket.
    void requestEnd();
    // Waits up to `timeoutMs` (-1: for good) until the worker thread has
    // finished, and makes everything the worker did visible to the caller
    // (also to thread checkers that do not see QThread's own
    // synchronisation). False when the time ran out.
    bool waitForEnd(int timeoutMs = -1);
    // True once run() has done its last step; waitForEnd() then returns at once.
    bool hasEnded() const { return m_ended; }

    qintptr socketDescriptor() const { return m_socketDescriptor; }

    void executeFrame(const MessageFrame& request);
    bool interpretText(QByteArray text);
    void sendText(QString text);

signals:
    void error(QTcpSocket::SocketError socketerror);
    void sigDebugString(QString text, int level);
    void sigDisconnected();
    // In the worker thread: this client set a controller.
    void sigControllerSet(int index);

public slots:
    void readyRead();
    void disconnected();

protected:
    void run() override;

private:
    // CommandResponder
    void sendBytes(const QByteArray& bytes) override;
    void log(const QString& text, int level) override;
    bool shouldEnd() const override;
    void controllerSet(int index) override;
    // RequestReader::Handler
    void frameReceived(const QByteArray& message) override;
    bool textReceived(const QByteArray& text) override;
    void abandonConnection() override;
    bool endRequested() const override;

    // Closes the connection for a reason of the server's, with a log line.
    void dropClient(const QString& reason);
    // Last step of run(): everything the worker did is handed over.
    void markEnded();

    SharedClientData* m_sharedData;
    QTcpSocket* m_socket = nullptr;
    qintptr m_socketDescriptor;
    Settings* m_settings;
    QString m_clientName;
    std::shared_ptr<TSInterfaceDll> m_interface;

    ClientLimits m_limits;
    QTimer* m_idleTimer = nullptr;
    std::unique_ptr<CommandSet> m_commands;
    std::unique_ptr<RequestReader> m_reader;
    std::atomic<bool> m_endRequested{false};
    std::atomic<bool> m_ended{false};
    // Taken by run() as its last step and by waitForEnd() after the wait.
    std::mutex m_runEnded;
};
