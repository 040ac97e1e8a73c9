#include "kestrelservice.h"

#include "announcer.h"
#include "liveendpoint.h"
#include "pairing.h"
#include "settings.h"
#include "tsserver.h"

#include <QSysInfo>

KestrelService::KestrelService(Settings* settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
{
}

KestrelService::~KestrelService()
{
    if (m_live)
        m_live->stop();
    if (m_server) {
        // The server goes later, once its clients have ended; it ends them
        // now, while the settings store they read still exists, waiting a
        // bounded time.
        m_server->disconnect(this);
        m_server->retire();
    }
}

void KestrelService::log(const QString& text, int level)
{
    emit logLine(text, Level(level));
}

bool KestrelService::start(const Options& options)
{
    if (!m_server) {
        m_server = new TSServer(m_settings, nullptr);
        connect(m_server, &TSServer::sigDebugString, this, &KestrelService::log);
    }
    // Whether listening worked is the server's to report, in the log.
    m_server->startListening(options.address, options.port);
    m_listenError = m_server->listenError();
    if (!m_server->isListening())
        return false;
    // The server's line names the port asked for; with 0 the system chose
    // one, which whoever connects needs to know.
    if (options.port == 0)
        log(QStringLiteral("(Main) - The system chose port %1").arg(m_server->serverPort()), 0);
    if (options.live && m_settings->GetLiveEnabled())
        startLive(options);
    if (options.announce && m_settings->GetDiscoveryEnabled())
        announce(options.address.isEmpty() ? LiveEndpoint::reachableHost() : options.address);
    return true;
}

// The main port as _kestrel._tcp and, while it runs, the cab display as
// _http._tcp, so that apps and browsers find them without an address.
void KestrelService::announce(const QString& host)
{
    if (!m_announcer) {
        m_announcer = new Announcer(this);
        connect(m_announcer, &Announcer::conflict, this, [this](const QString& name) {
            log(QStringLiteral("(Main) - Announcement ended: another device on the network answers to %1").arg(name), 3);
        });
    }
    QByteArrayList common{"version=" KESTREL_VERSION};
    QList<Announcer::Service> services{{"_kestrel._tcp", port(), common}};
    QString what = QStringLiteral("_kestrel._tcp port %1").arg(port());
    if (livePort() != 0) {
        // The page's path, the live values' path, and that driving needs
        // the control code (or a pairing link).
        common << "live=/live/v1" << "code=required";
        services.first().txt = common;
        services.append({"_http._tcp", livePort(), QByteArrayList{"path=/"} + common});
        what += QStringLiteral(", _http._tcp port %1").arg(livePort());
    }
    QString error;
    const QString instance = QStringLiteral("Kestrel on %1").arg(QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0));
    QHostAddress address(host);
    if (address.protocol() != QAbstractSocket::IPv4Protocol || address.isNull() || address == QHostAddress::AnyIPv4)
        address = QHostAddress(LiveEndpoint::reachableHost());
    if (!m_announcer->start(instance, address, services, &error)) {
        log(QStringLiteral("(Main) - Not announced on the network: port 5353: %1").arg(error), 1);
        return;
    }
    log(QStringLiteral("(Main) - Announced on the network as \"%1\": %2").arg(m_announcer->instance(), what), 1);
}

void KestrelService::withdraw()
{
    if (m_announcer && m_announcer->isRunning()) {
        m_announcer->stop();
        log(QStringLiteral("(Main) - Announcement withdrawn"), 1);
    }
}

// The cab display's live port beside the server: its address and the code
// for driving from it go to the log.
void KestrelService::startLive(const Options& options)
{
    if (!m_live) {
        m_live = new LiveEndpoint(this);
        connect(m_live, &LiveEndpoint::sigDebugString, this, &KestrelService::log);
    }
    // A set through the main port reaches the cab displays at once.
    connect(m_server, &TSServer::sigControllerSet, m_live, &LiveEndpoint::controllerSet, Qt::UniqueConnection);
    const quint16 port = options.livePort >= 0 ? quint16(options.livePort) : m_settings->GetLivePort(options.port);
    const QString code = m_settings->GetLiveControlCode();
    const QString token = Pairing::token(m_settings->GetLivePairingSecret(), code);
    QString error;
    if (!m_live->start(m_settings->GetTrainSimPath(), port, code, &error, LiveSession::Timing(), token)) {
        log(QStringLiteral("(Main) - Cab display not started: port %1: %2").arg(port).arg(error), 1);
        return;
    }
    const QString host = options.address.isEmpty() ? LiveEndpoint::reachableHost() : options.address;
    m_pairingLink = Pairing::link(host, m_live->port(), token);
    log(QStringLiteral("(Main) - Cab display: %1").arg(LiveEndpoint::pageAddress(host, m_live->port())), 1);
    log(QStringLiteral("(Main) - Control code for driving from the cab display: %1").arg(code), 1);
    log(QStringLiteral("(Main) - Pairing link, to drive without typing the code: %1").arg(m_pairingLink), 1);
}

void KestrelService::stop()
{
    withdraw();
    m_pairingLink.clear();
    if (m_live)
        m_live->stop();
    if (m_server) {
        m_server->stop();
        // Deleted later, once every client has ended. Ending a client cuts
        // its waits short; one stuck in a library call does not hold the
        // caller for more than a moment.
        m_server->retire();
        m_server = nullptr;
    }
}

bool KestrelService::finish(int clientWaitMs)
{
    withdraw();
    m_pairingLink.clear();
    if (m_live)
        m_live->stop();
    if (!m_server)
        return true;
    // Ends every client thread, including one halfway through a frame or
    // through a long text, within a bounded time.
    m_server->close();
    const bool clientsEnded = m_server->stopAllClients(clientWaitMs);
    if (clientsEnded)
        delete m_server;
    else
        m_server->disconnect(this); // its thread may still use it; it stays
    m_server = nullptr;
    return clientsEnded;
}

bool KestrelService::isListening() const
{
    return m_server && m_server->isListening();
}

quint16 KestrelService::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

quint16 KestrelService::livePort() const
{
    return m_live ? m_live->port() : 0;
}
