#pragma once

#include "sharedclientdata.h"

#include <QPointer>
#include <QString>
#include <QTcpServer>

class Settings;
class TSServerThread;

// The TCP listener. Every accepted connection gets its own TSServerThread;
// the server itself never reads or writes client data. It owns the record
// that its clients share and relays their log lines.
class TSServer : public QTcpServer
{
    Q_OBJECT

public:
    TSServer(Settings* settings, QObject* parent = nullptr);
    // Ends every client thread still running before the threads go with
    // their parent.
    ~TSServer() override;

    // Listens on every local address; the address text is not used for
    // binding. The outcome is reported as a log line (and by isListening()).
    void startListening(QString address, quint16 port);
    // Ends the most recent client, if it is still active, and waits for it.
    void stop();
    // Ends every client thread of this server and waits for them.
    void stopAllClients();

signals:
    void sigDebugString(QString text, int level);

public slots:
    void OnDebugString(QString text, int level);
    void OnClientDisconnected();

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    SharedClientData m_sharedData;
    Settings* m_settings;
    // Guarded: a client thread deletes itself when it finishes.
    QPointer<TSServerThread> m_lastClientThread;
    bool m_clientActive = false;
    // Client threads started and not yet finished.
    int m_runningClients = 0;

public:
    // How many clients may be served at once. Each costs a socket and its
    // thread's event-loop wake-up descriptor; when the process runs out of
    // descriptors Qt cannot create the next thread's event loop and ends the
    // process, so connections beyond what the descriptor limit allows are
    // closed at once instead.
    static int maxClients();
};
