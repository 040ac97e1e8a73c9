#pragma once

#include <QString>
#include <QtGlobal>

// The few things the server does with socket descriptors itself, where Qt
// offers no way or not the right one.
class NativeSocket
{
public:
    // A TCP socket listening on every local IPv4 and IPv6 address (one
    // dual-stack socket, as QHostAddress::Any gives, or IPv4 alone where the
    // system has no IPv6), for QTcpServer::setSocketDescriptor. Qt 5's own
    // listen() fixes the queue of connections not yet accepted at 50, and a
    // burst of connects beyond that waits a second for each retry; this one
    // queues as many as the system allows. The descriptor, or -1 with the
    // system's reason in `error`.
    static qintptr listen(quint16 port, QString* error);

    // The address of the peer of a connected socket, IPv4 clients of a
    // dual-stack socket written as IPv4; empty when the system cannot tell.
    static QString peerAddress(qintptr descriptor);

    static void close(qintptr descriptor);
};
