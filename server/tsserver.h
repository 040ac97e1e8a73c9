#pragma once

#include "logqueue.h"
#include "sharedclientdata.h"
#include "tsserverthread.h"

#include <QHash>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTcpServer>

#include <mutex>

class Settings;

// The TCP listener. Every accepted connection gets its own TSServerThread;
// the server itself never reads or writes client data. It owns the record
// that its clients share and relays their log lines.
//
// Client threads hand their log lines to OnDebugString in their own thread;
// the lines wait in a bounded queue and are emitted by sigDebugString from
// the server's thread, a batch at a time, so that no client can flood the
// thread that accepts connections and shows the log.
class TSServer : public QTcpServer
{
    Q_OBJECT

public:
    TSServer(Settings* settings, QObject* parent = nullptr);
    // Ends every client thread still running, waiting as long as it takes:
    // use retire() where a client stuck in the simulator's library must not
    // hold the caller.
    ~TSServer() override;

    // Listens on every local address; the address text is not used for
    // binding. The outcome is reported as a log line (and by isListening()).
    void startListening(QString address, quint16 port);
    // The system's reason when listening failed.
    QString listenError() const { return m_listenError; }
    // Ends the most recent client, if it is still active, and waits for it
    // up to StopWaitMs; a client that does not end by then is left behind
    // with a log line (it is deleted once it ends).
    void stop();
    // Ends every client thread of this server and waits up to `timeoutMs`
    // (-1: for good) for them. True when none is left running.
    bool stopAllClients(int timeoutMs = -1);
    // Stops listening, ends every client within StopWaitMs and deletes the
    // server later: at once when all clients ended, else when the last one
    // left behind (stuck in a library call) ends, if ever. Never blocks
    // longer than StopWaitMs.
    void retire();

    // How long stop() and retire() wait for client threads.
    static constexpr int StopWaitMs = 2000;

signals:
    void sigDebugString(QString text, int level);
    // Clients set this controller: emitted in the server's thread, once
    // for however many sets of it came since the last time.
    void sigControllerSet(int index);

public slots:
    void OnDebugString(QString text, int level);
    void OnClientDisconnected();
    // Called in client threads: the set is noted, and announced from the
    // server's thread, so that a client that sets a thousand times a second
    // costs the listeners one announcement a turn of the event loop.
    void OnControllerSet(int index);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    // Emits the waiting log lines, a batch per call, and the count of lines
    // dropped while the queue was full.
    Q_INVOKABLE void drainLog();
    Q_INVOKABLE void announceControllerSets();
    // Deletes the client threads whose run() has ended (each asks for this
    // as its last step).
    Q_INVOKABLE void reapClients();
    void forget(TSServerThread* thread);
    void reportLeftBehind(const QList<TSServerThread*>& threads, int waitedMs);

    SharedClientData m_sharedData;
    Settings* m_settings;
    // Guarded: a client thread is deleted when it has ended.
    QPointer<TSServerThread> m_lastClientThread;
    bool m_clientActive = false;

    LogQueue m_log;
    std::mutex m_setsMutex;
    QSet<int> m_setIndexes; // set since the last announcement
    ClientLimits m_limits;
    int m_connectionsPerAddress = 0;
    // Every client thread not yet deleted, with its peer's address.
    QHash<TSServerThread*, QString> m_clients;
    QHash<QString, int> m_addressCounts;
    QString m_listenError;
    bool m_retiring = false;

public:
    // How many clients may be served at once. Each costs a socket and its
    // thread's event-loop wake-up descriptor; when the process runs out of
    // descriptors Qt cannot create the next thread's event loop and ends the
    // process, so connections beyond what the descriptor limit allows are
    // closed at once instead.
    static int maxClients();
};
