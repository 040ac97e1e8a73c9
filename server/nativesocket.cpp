#include "nativesocket.h"

#include <QHostAddress>

#include <climits>
#include <cstring>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
using Descriptor = SOCKET;
const Descriptor kInvalid = INVALID_SOCKET;

QString lastError()
{
    return QStringLiteral("Winsock error %1").arg(WSAGetLastError());
}

void closeDescriptor(Descriptor descriptor)
{
    ::closesocket(descriptor);
}

// Qt starts Winsock when it makes its first socket; this socket may come first.
bool startSockets()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// No other program may bind the port while we listen on it.
bool setAddressOptions(Descriptor descriptor)
{
    const BOOL on = TRUE;
    return ::setsockopt(descriptor, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                        sizeof on) == 0;
}
#else
using Descriptor = int;
const Descriptor kInvalid = -1;

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

void closeDescriptor(Descriptor descriptor)
{
    ::close(descriptor);
}

bool startSockets()
{
    return true;
}

// A restarted server may bind its port again while connections of the last
// run still linger in TIME_WAIT, as Qt's own listen() allows.
bool setAddressOptions(Descriptor descriptor)
{
    const int on = 1;
    return ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}
#endif

Descriptor bindAndListen(int family, quint16 port, QString* error)
{
    Descriptor descriptor = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (descriptor == kInvalid) {
        *error = lastError();
        return kInvalid;
    }
    bool ok = setAddressOptions(descriptor);
    if (ok && family == AF_INET6) {
        // Dual stack: IPv4 clients arrive as IPv4-mapped IPv6 addresses.
        const int off = 0;
        ok = ::setsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                          sizeof off) == 0;
    }
    if (ok) {
        if (family == AF_INET6) {
            sockaddr_in6 address;
            std::memset(&address, 0, sizeof address);
            address.sin6_family = AF_INET6;
            address.sin6_addr = in6addr_any;
            address.sin6_port = htons(port);
            ok = ::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        } else {
            sockaddr_in address;
            std::memset(&address, 0, sizeof address);
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_ANY);
            address.sin_port = htons(port);
            ok = ::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        }
    }
    // The system cuts the backlog to its own maximum (somaxconn on Linux,
    // "as many as reasonable" on Windows).
    if (ok)
        ok = ::listen(descriptor, INT_MAX) == 0;
    if (!ok) {
        *error = lastError();
        closeDescriptor(descriptor);
        return kInvalid;
    }
    return descriptor;
}

} // namespace

qintptr NativeSocket::listen(quint16 port, QString* error)
{
    if (!startSockets()) {
        *error = lastError();
        return -1;
    }
    Descriptor descriptor = bindAndListen(AF_INET6, port, error);
    if (descriptor == kInvalid) {
        // No IPv6 on this machine: every IPv4 address.
        QString ipv4Error;
        descriptor = bindAndListen(AF_INET, port, &ipv4Error);
        if (descriptor == kInvalid)
            return -1; // the IPv6 attempt's reason, which names the real cause (port in use) as well
    }
    return qintptr(descriptor);
}

QString NativeSocket::peerAddress(qintptr descriptor)
{
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    socklen_t size = sizeof storage;
    if (::getpeername(Descriptor(descriptor), reinterpret_cast<sockaddr*>(&storage), &size) != 0)
        return QString();
    const QHostAddress address(reinterpret_cast<const sockaddr*>(&storage));
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4).toString() : address.toString();
}

void NativeSocket::close(qintptr descriptor)
{
    closeDescriptor(Descriptor(descriptor));
}
