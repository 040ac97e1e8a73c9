#include "numberformat.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

QString NumberFormat::general(float value)
{
    return QString::number(double(value), 'g', 6);
}

QString NumberFormat::fixed(float value, int decimals)
{
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
