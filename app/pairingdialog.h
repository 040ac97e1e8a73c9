#pragma once

#include <QDialog>
#include <QImage>

// The pairing link as a QR code that a phone's camera reads from across a
// desk, with the link under it: one scan opens the cab page already allowed
// to drive.
class PairingDialog : public QDialog
{
    Q_OBJECT

public:
    PairingDialog(const QString& link, QWidget* parent = nullptr);

    // The code as an image: black modules on white, with the quiet zone,
    // `scale` pixels a module. Null when the link does not fit a QR code.
    static QImage code(const QString& link, int scale);
};
