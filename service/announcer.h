#pragma once

#include <QByteArrayList>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

struct mdns_daemon;
struct message;

// Announces services on the local network by DNS-SD over multicast DNS
// (RFC 6762/6763), so that programs find them without an address typed in:
// it answers the questions of browsers on port 5353 and withdraws the
// records with a goodbye (TTL 0) when stopped. The records and their timing
// are the mdnsd library's; the socket and the clock are Qt's, in the thread
// the announcer lives in.
class Announcer : public QObject
{
    Q_OBJECT

public:
    struct Service
    {
        QByteArray type; // "_kestrel._tcp"
        quint16 port = 0;
        QByteArrayList txt; // "key=value"
    };

    explicit Announcer(QObject* parent = nullptr);
    ~Announcer() override;

    // Announces `services` as `instance` (one DNS label: dots become
    // hyphens, cut to 63 bytes) on a host record "kestrel-<host>.local."
    // holding `address`. False, with the reason, when port 5353 cannot be
    // had. A running announcement is withdrawn first.
    bool start(const QString& instance, const QHostAddress& address, const QList<Service>& services, QString* error);
    // The goodbye, sent before it returns; nothing when not running.
    void stop();
    bool isRunning() const { return m_daemon != nullptr; }
    // The instance name as announced, e.g. "Kestrel on railpc".
    QString instance() const { return m_instance; }

signals:
    // Another responder holds one of our names: the announcement has ended,
    // without a goodbye (which would withdraw the other's records).
    void conflict(const QString& name);

private:
    void receive();
    void sendDue();
    void end();

    mdns_daemon* m_daemon = nullptr;
    std::unique_ptr<message> m_message;
    QUdpSocket m_socket;
    QNetworkInterface m_interface;
    QTimer m_timer;
    QString m_instance;
    QString m_conflict; // set by the library's callback, acted on after it
};
