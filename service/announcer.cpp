#include "announcer.h"

#include "mdnspacket.h"

#include <QSysInfo>
#include <QtEndian>

#include <algorithm>
#include <cstring>

// The system headers the library's include first, outside the renaming below.
#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif
#include <sys/time.h>

// The library is C and names a field and parameters "class"; renamed
// here, the layout and the calls stay the same.
extern "C" {
#define class dns_class
#include <mdnsd.h>
#include <sdtxt.h>
#undef class
}
// Its logging macros are not for us.
#undef DBG
#undef INFO
#undef NOTE
#undef WARN
#undef ERR

namespace {

const QHostAddress kGroup(QStringLiteral("224.0.0.251"));
constexpr quint16 kPort = 5353;
// Host and service records live two minutes, pointers and texts 75 minutes,
// as RFC 6762 recommends; the library announces again before they expire.
constexpr unsigned long kHostTtl = 120;
constexpr unsigned long kOtherTtl = 4500;

// One DNS label for the library, which splits names at every dot.
QByteArray label(const QString& text)
{
    QByteArray bytes = text.toUtf8().replace('.', '-');
    if (bytes.size() > 63) {
        bytes.truncate(63);
        while (!bytes.isEmpty() && (uchar(bytes.back()) & 0xc0) == 0x80) // no cut UTF-8 sequence
            bytes.chop(1);
        if (!bytes.isEmpty() && uchar(bytes.back()) >= 0xc0)
            bytes.chop(1);
    }
    return bytes;
}

// A host name: letters, digits and hyphens.
QByteArray hostLabel()
{
    QByteArray host;
    for (const QChar c : QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0).toLower())
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-'))
            host += char(c.unicode());
    return "kestrel" + (host.isEmpty() ? QByteArray() : '-' + host.left(48));
}

QNetworkInterface interfaceOf(const QHostAddress& address)
{
    for (const QNetworkInterface& candidate : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : candidate.addressEntries())
            if (entry.ip() == address)
                return candidate;
    }
    return QNetworkInterface();
}

void onConflict(char* name, int, void* announcer)
{
    *static_cast<QString*>(announcer) = QString::fromUtf8(name);
}

} // namespace

Announcer::Announcer(QObject* parent)
    : QObject(parent)
    , m_socket(this)
    , m_timer(this)
{
    // The library's own diagnostics go to standard output; ours go to the log.
    static char none[] = "none";
    mdnsd_log_level(none);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Announcer::sendDue);
    connect(&m_socket, &QUdpSocket::readyRead, this, &Announcer::receive);
}

Announcer::~Announcer()
{
    stop();
}

bool Announcer::start(const QString& instance, const QHostAddress& address, const QList<Service>& services,
                      QString* error)
{
    stop();
    // Shared with any other responder on this machine (Avahi, Bonjour).
    if (!m_socket.bind(QHostAddress::AnyIPv4, kPort, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        *error = m_socket.errorString();
        return false;
    }
    m_interface = interfaceOf(address);
    const bool joined = m_interface.isValid() ? m_socket.joinMulticastGroup(kGroup, m_interface)
                                              : m_socket.joinMulticastGroup(kGroup);
    if (!joined) {
        *error = m_socket.errorString();
        m_socket.close();
        return false;
    }
    if (m_interface.isValid())
        m_socket.setMulticastInterface(m_interface);
    m_socket.setSocketOption(QAbstractSocket::MulticastTtlOption, 255);
    // Browsers on this machine hear us too.
    m_socket.setSocketOption(QAbstractSocket::MulticastLoopbackOption, 1);

    m_message = std::make_unique<message>();
    m_daemon = mdnsd_new(QCLASS_IN, 1000);
    in_addr ip;
    ip.s_addr = qToBigEndian(address.toIPv4Address());
    mdnsd_set_address(m_daemon, ip);

    const QByteArray instanceLabel = label(instance);
    m_instance = QString::fromUtf8(instanceLabel);
    QByteArray host = hostLabel() + ".local.";
    for (const Service& service : services) {
        const QByteArray type = service.type + ".local.";
        QByteArray name = instanceLabel + '.' + type;
        mdns_record_t* record = mdnsd_shared(m_daemon, DISCO_NAME, QTYPE_PTR, kOtherTtl);
        mdnsd_set_host(m_daemon, record, type.constData());
        record = mdnsd_shared(m_daemon, type.constData(), QTYPE_PTR, kOtherTtl);
        mdnsd_set_host(m_daemon, record, name.constData());
        record = mdnsd_unique(m_daemon, name.constData(), QTYPE_SRV, kHostTtl, onConflict, &m_conflict);
        mdnsd_set_srv(m_daemon, record, 0, 0, service.port, host.data());
        record = mdnsd_unique(m_daemon, name.constData(), QTYPE_TXT, kOtherTtl, onConflict, &m_conflict);
        xht_t* pairs = xht_new(11);
        QList<QByteArray> keys, values; // the table keeps pointers
        for (const QByteArray& entry : service.txt) {
            const int equals = entry.indexOf('=');
            keys.append(entry.left(equals));
            values.append(equals < 0 ? QByteArray() : entry.mid(equals + 1));
        }
        for (int i = 0; i < keys.size(); ++i)
            xht_set(pairs, keys[i].constData(), values[i].data());
        int length = 0;
        unsigned char* text = sd2txt(pairs, &length);
        mdnsd_set_raw(m_daemon, record, reinterpret_cast<const char*>(text), (unsigned short)length);
        std::free(text);
        xht_free(pairs);
    }
    mdns_record_t* record = mdnsd_unique(m_daemon, host.constData(), QTYPE_A, kHostTtl, onConflict, &m_conflict);
    mdnsd_set_ip(m_daemon, record, ip);
    sendDue();
    return true;
}

void Announcer::stop()
{
    m_timer.stop();
    if (m_daemon) {
        mdnsd_shutdown(m_daemon);
        sendDue(); // the goodbye
    }
    end();
}

void Announcer::end()
{
    m_timer.stop();
    if (m_daemon)
        mdnsd_free(m_daemon);
    m_daemon = nullptr;
    m_message.reset();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.close();
}

void Announcer::receive()
{
    constexpr int kPadding = MdnsPacket::ParserPadding;
    QByteArray datagram;
    // A bounded batch: a flood of datagrams leaves the event loop room, and
    // the socket signals again for the rest.
    for (int batch = 0; batch < 64 && m_socket.hasPendingDatagrams(); ++batch) {
        const qint64 size = m_socket.pendingDatagramSize();
        QHostAddress sender;
        quint16 senderPort = 0;
        datagram.resize(int(std::clamp<qint64>(size, 0, MdnsPacket::MaxBytes + 1)) + kPadding);
        const qint64 read = m_socket.readDatagram(datagram.data(), datagram.size() - kPadding, &sender, &senderPort);
        if (!m_daemon || read < 0 || read > MdnsPacket::MaxBytes || sender.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        datagram.truncate(int(read));
        if (!MdnsPacket::wellFormed(datagram))
            continue;
        datagram.append(QByteArray(kPadding, '\0'));
        std::memset(m_message.get(), 0, sizeof(message));
        if (message_parse(m_message.get(), reinterpret_cast<unsigned char*>(datagram.data())) != 0)
            continue;
        in_addr from;
        from.s_addr = qToBigEndian(sender.toIPv4Address());
        mdnsd_in(m_daemon, m_message.get(), from, senderPort);
        if (!m_conflict.isEmpty()) {
            const QString name = m_conflict;
            m_conflict.clear();
            end();
            emit conflict(name);
            return;
        }
    }
    sendDue();
}

// Whatever the library has due now goes out; the timer wakes it for the next.
void Announcer::sendDue()
{
    if (!m_daemon)
        return;
    in_addr to;
    unsigned short port = 0;
    while (mdnsd_out(m_daemon, m_message.get(), &to, &port) > 0) {
        const QHostAddress target(qFromBigEndian(quint32(to.s_addr)));
        m_socket.writeDatagram(reinterpret_cast<const char*>(message_packet(m_message.get())),
                               message_packet_len(m_message.get()), target, qFromBigEndian(quint16(port)));
    }
    const timeval* sleep = mdnsd_sleep(m_daemon);
    const qint64 ms = qint64(sleep->tv_sec) * 1000 + sleep->tv_usec / 1000;
    m_timer.start(int(std::clamp<qint64>(ms, 10, 60 * 1000)));
}
