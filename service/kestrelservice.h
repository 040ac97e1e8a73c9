#pragma once

#include <QObject>
#include <QString>

class Announcer;
class LiveEndpoint;
class Settings;
class TSServer;

// Kestrel as one service: the described server on the main port, the cab
// display's live port beside it and their announcement on the network,
// started and stopped together, and one stream of log lines from all of them. The window and kestreld are front
// ends over it; each shows the lines its own way.
class KestrelService : public QObject
{
    Q_OBJECT

public:
    // How much a line matters. A front end shows a line when its level
    // reaches the threshold "debug/loglevel"; 2 is not used.
    enum class Level : int { Routine = 0, Notable = 1, Failure = 3 };
    Q_ENUM(Level)

    struct Options
    {
        // Handed to the server's startListening (which binds every address
        // whatever it says) and named in the cab display's address; empty:
        // the first address others can reach.
        QString address;
        quint16 port = 0;
        // No cab display when false, whatever the settings say.
        bool live = true;
        // The cab display's port; -1: the stored one.
        int livePort = -1;
        // No announcement on the network when false, whatever the settings say.
        bool announce = true;
    };

    // `settings` outlives the service.
    explicit KestrelService(Settings* settings, QObject* parent = nullptr);
    // Ends what runs as stop() does, without the wait for the latest client.
    ~KestrelService() override;

    // Starts the server, then, if it listens and the settings allow it, the
    // cab display. True when the server listens. A server that exists
    // (a start without a stop) is used again.
    bool start(const Options& options);
    // The window's Stop: the cab display ends, the latest client is ended
    // and waited for, every other client within a bounded time; a client
    // stuck in a library call is left behind and the server goes once it
    // ends.
    void stop();
    // kestreld's end: the cab display ends, the port closes, every client
    // is ended and waited for up to `clientWaitMs`. False when one did not
    // end: the server is then left to the end of the process.
    bool finish(int clientWaitMs);

    bool isListening() const;
    QString listenError() const { return m_listenError; }
    quint16 port() const;
    quint16 livePort() const;
    // The cab page's address with the means to drive in it, while the cab
    // display runs; empty otherwise.
    QString pairingLink() const { return m_pairingLink; }

signals:
    void logLine(const QString& text, KestrelService::Level level);

private:
    void startLive(const Options& options);
    void announce(const QString& host);
    void withdraw();
    void log(const QString& text, int level);

    Settings* m_settings;
    TSServer* m_server = nullptr; // deleted later, or left behind
    LiveEndpoint* m_live = nullptr;
    Announcer* m_announcer = nullptr;
    QString m_listenError;
    QString m_pairingLink;
};
