// Fuzzes the number forms against Qt's own conversions: NumberFormat writes
// the digits of common floats itself and hands the rest to Qt, so every
// float must come out exactly as Qt writes it.
//
// The input is read as floats, four bytes each (their raw bits, so NaN
// payloads, infinities, denormals and both zeros all occur), and each
// float is checked in the general form, in the fixed forms with 0 to 9
// decimals and as a truncated integer.

#include "fuzzsupport.h"
#include "numberformat.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace {

int referenceTruncated(float value)
{
    if (std::isnan(value))
        return 0;
    const double whole = std::trunc(double(value));
    if (whole >= double(INT_MAX))
        return INT_MAX;
    if (whole <= double(INT_MIN))
        return INT_MIN;
    return int(whole);
}

void check(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);

    const QString general = NumberFormat::general(value);
    const QString expected = QStringLiteral("%1").arg(double(value), 0, 'g', -1);
    FUZZ_CHECK(general == expected, "general(%08x) is \"%s\", Qt writes \"%s\"", bits, qPrintable(general),
               qPrintable(expected));

    for (int decimals = 0; decimals <= 9; ++decimals) {
        const QString fixed = NumberFormat::fixed(value, decimals);
        const QString expectedFixed = QString::number(double(value), 'f', decimals);
        FUZZ_CHECK(fixed == expectedFixed, "fixed(%08x, %d) is \"%s\", Qt writes \"%s\"", bits, decimals,
                   qPrintable(fixed), qPrintable(expectedFixed));
    }

    FUZZ_CHECK(NumberFormat::truncated(value) == referenceTruncated(value), "truncated(%08x)", bits);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::silenceQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (size_t offset = 0; offset + 4 <= size; offset += 4) {
        float value;
        std::memcpy(&value, data + offset, 4);
        check(value);
    }
    return 0;
}
