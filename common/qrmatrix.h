#pragma once

#include <QString>

#include <vector>

// A text as the modules of a QR code, made by the qrcodegen library (medium
// error correction: a code shown on a screen is read across a desk), for the
// window to paint and kestreld to print. The quiet zone of four light
// modules that readers need around the code is left to whoever shows it.
class QrMatrix
{
public:
    static constexpr int QuietZone = 4;

    // False when the text is too long for any QR code.
    bool encode(const QString& text);
    int size() const { return m_size; }
    // Outside the code (the quiet zone) every module is light.
    bool dark(int x, int y) const;

private:
    int m_size = 0;
    std::vector<bool> m_modules;
};
