#include "codeguard.h"

CodeGuard::CodeGuard(QString controlCode, QString pairingToken)
    : m_controlCode(std::move(controlCode))
    , m_pairingToken(std::move(pairingToken))
{
    m_clock.start();
}

CodeGuard::Check CodeGuard::checkAgainst(const QString& peer, const QString& code, const QString& expected)
{
    const qint64 now = m_clock.elapsed();
    QList<qint64>& wrong = m_wrongCodes[peer];
    while (!wrong.isEmpty() && now - wrong.first() > 60000)
        wrong.removeFirst();
    Check check = Check::Missing;
    if (wrong.size() >= WrongCodesPerMinute) {
        check = Check::TooMany;
    } else if (!code.isEmpty() && code == expected) {
        check = Check::Ok;
    } else if (!code.isEmpty()) {
        wrong.append(now);
        check = Check::Wrong;
    }
    if (wrong.isEmpty())
        m_wrongCodes.remove(peer);
    return check;
}
