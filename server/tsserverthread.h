#pragma once

#include "commandset.h"
#include "requestreader.h"

#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

class Settings;
class SharedClientData;
class TSInterfaceDll;
struct MessageFrame;

// Serves one TCP client. The object lives in the GUI thread; run() opens the
// socket from the accepted descriptor and creates the client's own simulator
// interface in the worker thread, where every request of this client is then
// read, executed and answered, one at a time.
class TSServerThread : public QThread, private CommandResponder, private RequestReader::Handler
{
    Q_OBJECT

public:
    TSServerThread(Settings* settings, SharedClientData* sharedData, qintptr socketDescriptor,
                   QObject* parent);
    ~TSServerThread() override;

    // Ends the client from any thread: a wait for request data or for a
    // reply to be written ends within a few tens of milliseconds, the event
    // loop exits, and run() closes the socket. Then wait() for the thread.
    void requestEnd();
    // Waits until the worker thread has finished, and makes everything the
    // worker did visible to the caller (also to thread checkers that do not
    // see QThread's own synchronisation).
    void waitForEnd();

    void executeFrame(const MessageFrame& request);
    bool interpretText(QByteArray text);
    void sendText(QString text);

signals:
    void error(QTcpSocket::SocketError socketerror);
    void sigDebugString(QString text, int level);
    void sigDisconnected();

public slots:
    void readyRead();
    void disconnected();

protected:
    void run() override;

private:
    // CommandResponder
    void sendBytes(const QByteArray& bytes) override;
    void log(const QString& text, int level) override;
    // RequestReader::Handler
    void frameReceived(const QByteArray& message) override;
    bool textReceived(const QByteArray& text) override;
    void abandonConnection() override;
    bool endRequested() const override;

    SharedClientData* m_sharedData;
    QTcpSocket* m_socket = nullptr;
    qintptr m_socketDescriptor;
    Settings* m_settings;
    QString m_clientName;
    std::shared_ptr<TSInterfaceDll> m_interface;

    std::unique_ptr<CommandSet> m_commands;
    std::unique_ptr<RequestReader> m_reader;
    std::atomic<bool> m_endRequested{false};
    // Taken by run() as its last step and by waitForEnd() after the wait.
    std::mutex m_runEnded;
};
