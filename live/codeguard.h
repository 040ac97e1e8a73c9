#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>

// The live port's control code and pairing token, and the count of wrong
// ones per client address over the last minute: past the limit every try
// from that address is refused until the minute has passed, so that neither
// can be found by trying them all. Every connection from one address counts
// together, and a wrong code and a wrong token count alike.
class CodeGuard
{
public:
    enum class Check { Ok, Missing, Wrong, TooMany };
    static constexpr int WrongCodesPerMinute = 5;

    CodeGuard(QString controlCode, QString pairingToken);

    // Wrong counts against `peer`; Missing (nothing given, or an empty text) does not.
    Check check(const QString& peer, const QString& code) { return checkAgainst(peer, code, m_controlCode); }
    Check checkPairing(const QString& peer, const QString& token) { return checkAgainst(peer, token, m_pairingToken); }
    // What a device that paired is given.
    QString controlCode() const { return m_controlCode; }

private:
    Check checkAgainst(const QString& peer, const QString& given, const QString& expected);

    QString m_controlCode;
    QString m_pairingToken;
    QElapsedTimer m_clock;
    QHash<QString, QList<qint64>> m_wrongCodes; // address to the times of its wrong codes
};
