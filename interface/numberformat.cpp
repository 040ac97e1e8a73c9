#include "numberformat.h"

#include <climits>
#include <cmath>

QString NumberFormat::general(float value)
{
    return QStringLiteral("%1").arg(double(value), 0, 'g', -1);
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
