#pragma once

#include <QString>

class QrMatrix;

// A QR code for a terminal: two rows of modules a line, as upper half
// blocks whose foreground is the upper module and background the lower one,
// in explicit black and bright white, so that it reads the same on a dark
// and on a light terminal (a code drawn in the terminal's own colours is
// read inverted on one of them, and decoders refuse that). The quiet zone is
// included.
class TerminalQr
{
public:
    static QString render(const QrMatrix& matrix);
};
