#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>

// The live port's control code, and the count of wrong codes per client
// address over the last minute: past the limit every try from that address
// is refused until the minute has passed, so that the code cannot be found
// by trying them all. Every connection from one address counts together.
class CodeGuard
{
public:
    enum class Check { Ok, Missing, Wrong, TooMany };
    static constexpr int WrongCodesPerMinute = 5;

    explicit CodeGuard(QString controlCode);

    // Wrong counts against `peer`; Missing (no code, or an empty one) does not.
    Check check(const QString& peer, const QString& code);

private:
    QString m_controlCode;
    QElapsedTimer m_clock;
    QHash<QString, QList<qint64>> m_wrongCodes; // address to the times of its wrong codes
};
