#include "terminalqr.h"

#include "qrmatrix.h"

QString TerminalQr::render(const QrMatrix& matrix)
{
    const int from = -QrMatrix::QuietZone;
    const int to = matrix.size() + QrMatrix::QuietZone;
    QString text;
    for (int y = from; y < to; y += 2) {
        int shown = -1; // the colour pair set last on this line
        for (int x = from; x < to; ++x) {
            const int pair = (matrix.dark(x, y) ? 2 : 0) + (matrix.dark(x, y + 1) ? 1 : 0);
            if (pair != shown) {
                // Foreground black (30) or bright white (97), background 40 or 107.
                text += QStringLiteral("\x1b[%1;%2m").arg(pair & 2 ? 30 : 97).arg(pair & 1 ? 40 : 107);
                shown = pair;
            }
            text += QChar(0x2580); // upper half block
        }
        text += QStringLiteral("\x1b[0m\n");
    }
    return text;
}
