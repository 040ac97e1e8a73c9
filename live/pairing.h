#pragma once

#include <QString>

// Pairing a device with one scan: the cab page's address with a token in its
// fragment, which the page trades once, over the live port, for the control
// code, and then drives like a page that was given the code by hand. The
// token comes from the pairing secret and the control code together: a new
// code makes every older link (and a photo of its QR code) worth nothing,
// and the link does not show the code itself. A fragment never reaches the
// server's log or a proxy.
class Pairing
{
public:
    // 22 characters of base64url, from a hash of the secret and the code.
    static QString token(const QString& secret, const QString& controlCode);
    // "http://<host>:<port>/#pair=<token>".
    static QString link(const QString& host, quint16 port, const QString& token);
};
