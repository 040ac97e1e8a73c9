#pragma once

#include <QString>

// The number forms of the answers clients receive. Library values arrive as
// single-precision floats and are widened to double before they are written,
// so the digits are those of the exact float.
class NumberFormat
{
public:
    // Six significant digits, no trailing zeros, exponent form below 1e-4 and
    // from 1e6 on ("0.5", "1e+06", "1e-05").
    static QString general(float value);
    // Exactly `decimals` digits after the point, rounded, no exponent.
    static QString fixed(float value, int decimals);
    // Truncated toward zero to a signed 32-bit integer. A library may hand us
    // anything, and a plain cast of NaN or of an out-of-range value is
    // undefined behaviour, so: NaN gives 0, values beyond the range saturate
    // at INT_MIN / INT_MAX (infinities included).
    static int truncated(float value);
    static QString integer(float value) { return decimal(truncated(value)); }
    // An int in plain decimal, as QString::number(int) writes it, without
    // the locale machinery behind that (it runs for every value served).
    static QString decimal(int value);
    static void appendDecimal(QString* text, int value);
    // The one routine behind every integer written here and in the frame
    // codec: `value` in plain decimal into `out` (room for 21 characters),
    // left-padded with "0" to `width` and never cut. Answers the count.
    static int writeDecimal(long long value, char* out, int width = 0);
};
