#include "numberformat.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Every value a client asks for goes through general() or fixed(), and Qt's
// conversions (double-conversion, with a big-number fallback that short
// floats such as 0.25 take nearly every time) were the largest cost of a
// request. A float is m x 2^e with m below 2^24, so for the exponents that
// controller values have its exact decimal digits come out of 64-bit
// integer arithmetic. The digits written are the same: correctly rounded,
// halfway cases away from zero as double-conversion does, the same forms.
// Whatever falls outside (infinities, NaN, the very large and the very
// small) still goes to Qt.
namespace {

// A finite float as mantissa x 2^exponent, the mantissa odd or 0.
struct BinaryFloat
{
    bool negative;
    uint64_t mantissa;
    int exponent;
};

bool decompose(float value, BinaryFloat* out)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = int((bits >> 23) & 0xffu);
    if (biased == 0xff)
        return false;
    out->negative = (bits >> 31) != 0;
    out->mantissa = bits & 0x7fffffu;
    out->exponent = -149;
    if (biased != 0) {
        out->mantissa |= 0x800000u;
        out->exponent = biased - 150;
    }
    if (out->mantissa != 0) {
        while ((out->mantissa & 1u) == 0) {
            out->mantissa >>= 1;
            ++out->exponent;
        }
    }
    return true;
}

// Writes the decimal digits of n; answers how many.
int appendDigits(uint64_t n, char* out)
{
    return int(std::to_chars(out, out + 24, n).ptr - out);
}

// QString::arg(double, 0, 'g', -1) for the float, or false to leave it to Qt.
bool generalText(float value, QString* text)
{
    BinaryFloat v;
    if (!decompose(value, &v))
        return false;
    if (v.mantissa == 0) {
        *text = QStringLiteral("0"); // negative zero too
        return true;
    }
    if (v.exponent > 40 || v.exponent < -59)
        return false;

    // Up to seven significant digits: six to keep, one to round by.
    char digits[24];
    int length = 0;
    int pointAt = 0; // the value is 0.DIGITS x 10^pointAt
    if (v.exponent >= 0) {
        char all[24];
        pointAt = appendDigits(v.mantissa << v.exponent, all);
        length = std::min(pointAt, 7);
        std::memcpy(digits, all, size_t(length));
    } else {
        const int shift = -v.exponent;
        const uint64_t mask = (uint64_t(1) << shift) - 1;
        uint64_t fraction = v.mantissa & mask;
        if (const uint64_t whole = v.mantissa >> shift) {
            length = pointAt = appendDigits(whole, digits);
        }
        while (fraction != 0 && length < 7) {
            fraction *= 10;
            const char digit = char('0' + (fraction >> shift));
            fraction &= mask;
            if (length == 0 && digit == '0')
                --pointAt;
            else
                digits[length++] = digit;
        }
    }
    if (length == 7) {
        length = 6;
        if (digits[6] >= '5') {
            int i = 5;
            while (i >= 0 && digits[i] == '9')
                --i;
            if (i < 0) {
                digits[0] = '1';
                length = 1;
                ++pointAt;
            } else {
                ++digits[i];
                length = i + 1;
            }
        }
    }
    while (length > 1 && digits[length - 1] == '0')
        --length;

    char out[32];
    int size = 0;
    if (v.negative)
        out[size++] = '-';
    const int exponent10 = pointAt - 1;
    if (exponent10 < -4 || exponent10 >= 6) {
        out[size++] = digits[0];
        if (length > 1) {
            out[size++] = '.';
            for (int i = 1; i < length; ++i)
                out[size++] = digits[i];
        }
        const int magnitude = std::abs(exponent10); // below 100 in this range
        out[size++] = 'e';
        out[size++] = exponent10 < 0 ? '-' : '+';
        out[size++] = char('0' + magnitude / 10);
        out[size++] = char('0' + magnitude % 10);
    } else if (pointAt <= 0) {
        out[size++] = '0';
        out[size++] = '.';
        for (int i = 0; i < -pointAt; ++i)
            out[size++] = '0';
        for (int i = 0; i < length; ++i)
            out[size++] = digits[i];
    } else {
        for (int i = 0; i < length || i < pointAt; ++i) {
            if (i == pointAt)
                out[size++] = '.';
            out[size++] = i < length ? digits[i] : '0';
        }
    }
    *text = QString::fromLatin1(out, size);
    return true;
}

// QString::number(double, 'f', decimals) for the float, or false to leave
// it to Qt.
bool fixedText(float value, int decimals, QString* text)
{
    BinaryFloat v;
    if (decimals < 0 || decimals > 9 || !decompose(value, &v))
        return false;
    uint64_t whole = 0;
    char fraction[16];
    std::memset(fraction, '0', sizeof fraction);
    if (v.mantissa != 0 && v.exponent >= 0) {
        if (v.exponent > 39)
            return false;
        whole = v.mantissa << v.exponent;
    } else if (v.mantissa != 0) {
        const int shift = -v.exponent;
        if (shift > 60)
            return false;
        const uint64_t mask = (uint64_t(1) << shift) - 1;
        whole = v.mantissa >> shift;
        uint64_t rest = v.mantissa & mask;
        for (int i = 0; i < decimals; ++i) {
            rest *= 10;
            fraction[i] = char('0' + (rest >> shift));
            rest &= mask;
        }
        if ((rest >> (shift - 1)) & 1u) { // half or more of the last place
            int i = decimals - 1;
            while (i >= 0 && fraction[i] == '9')
                fraction[i--] = '0';
            if (i >= 0)
                ++fraction[i];
            else
                ++whole;
        }
    }
    char out[48];
    int size = 0;
    if (v.negative && v.mantissa != 0) // negative zero is written without its sign
        out[size++] = '-';
    size += appendDigits(whole, out + size);
    if (decimals > 0) {
        out[size++] = '.';
        std::memcpy(out + size, fraction, size_t(decimals));
        size += decimals;
    }
    *text = QString::fromLatin1(out, size);
    return true;
}

} // namespace

QString NumberFormat::general(float value)
{
    QString text;
    if (generalText(value, &text))
        return text;
    return QStringLiteral("%1").arg(double(value), 0, 'g', -1);
}

QString NumberFormat::fixed(float value, int decimals)
{
    QString text;
    if (fixedText(value, decimals, &text))
        return text;
    return QString::number(double(value), 'f', decimals);
}

int NumberFormat::truncated(float value)
{
    if (std::isnan(value))
        return 0;
    const double truncatedValue = std::trunc(double(value));
    if (truncatedValue >= double(INT_MAX))
        return INT_MAX;
    if (truncatedValue <= double(INT_MIN))
        return INT_MIN;
    return int(truncatedValue);
}

int NumberFormat::writeDecimal(long long value, char* out, int width)
{
    char digits[24];
    const int length = int(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
    int size = 0;
    while (size < width - length)
        out[size++] = '0';
    std::memcpy(out + size, digits, size_t(length));
    return size + length;
}

QString NumberFormat::decimal(int value)
{
    char digits[24];
    return QString::fromLatin1(digits, writeDecimal(value, digits));
}

void NumberFormat::appendDecimal(QString* text, int value)
{
    char digits[24];
    text->append(QLatin1String(digits, writeDecimal(value, digits)));
}
