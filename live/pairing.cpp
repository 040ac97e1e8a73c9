#include "pairing.h"

#include <QCryptographicHash>

QString Pairing::token(const QString& secret, const QString& controlCode)
{
    const QByteArray hash = QCryptographicHash::hash((secret + QLatin1Char('\n') + controlCode).toUtf8(),
                                                     QCryptographicHash::Sha256);
    return QString::fromLatin1(hash.left(16).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString Pairing::link(const QString& host, quint16 port, const QString& token)
{
    return QStringLiteral("http://%1:%2/#pair=%3").arg(host).arg(port).arg(token);
}
