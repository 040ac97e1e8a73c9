// The number forms that clients parse. Every value comes from the library as a
// float and is widened before it is written, so the expected digits are those
// of the exact float, not of the decimal literal that was meant.

#include "numberformat.h"

#include <QtTest>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

// The fast paths write the digits of a float themselves; every text must be
// the one Qt's conversions give, which is what clients have always
// received. Each family below is where a hand-written conversion goes wrong
// first: ties, carries into a new digit, the edges of the exponent form,
// signs, and a sweep over the bit patterns.
namespace {

float fromBits(quint32 bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

QString qtGeneral(float value)
{
    return QStringLiteral("%1").arg(double(value), 0, 'g', -1);
}

QString qtFixed(float value, int decimals)
{
    return QString::number(double(value), 'f', decimals);
}

using Family = std::function<void(const std::function<void(float)>&)>;

} // namespace

Q_DECLARE_METATYPE(Family)

class TestNumberFormat : public QObject
{
    Q_OBJECT

private slots:
    void general_data();
    void general();
    void fixed_data();
    void fixed();
    void truncated_data();
    void truncated();
    void sameTextAsQt_data();
    void sameTextAsQt();
    void decimalAsQt_data();
    void decimalAsQt();
};

void TestNumberFormat::general_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("expected");

    QTest::addRow("a half stays short") << 0.5f << "0.5";
    QTest::addRow("one million switches to exponent form") << 1e6f << "1e+06";
    QTest::addRow("just below one million stays fixed") << 999999.0f << "999999";
    QTest::addRow("negative whole number has no point") << -2.0f << "-2";
    QTest::addRow("1e-05 is below the fixed range") << 1e-5f << "1e-05";
    QTest::addRow("0.0001 is still fixed") << 0.0001f << "0.0001";
    QTest::addRow("float 0.1 prints as 0.1 despite its binary digits") << 0.1f << "0.1";
    QTest::addRow("six significant digits, rounded") << 51.123456f << "51.1235";
    QTest::addRow("no trailing zeros on a whole hundred") << 100.0f << "100";
    QTest::addRow("zero") << 0.0f << "0";
    QTest::addRow("large negative in exponent form") << -2.5e7f << "-2.5e+07";
}

void TestNumberFormat::general()
{
    QFETCH(float, value);
    QFETCH(QString, expected);
    QCOMPARE(NumberFormat::general(value), expected);
}

void TestNumberFormat::fixed_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("expected");

    // 51.123456f is 51.12345504..., hence the 5 in the seventh place.
    QTest::addRow("seven places show the float's own digits") << 51.123456f << 7 << "51.1234550";
    QTest::addRow("seven places pad a short value") << 0.5f << 7 << "0.5000000";
    QTest::addRow("seven places keep the sign") << -3.25f << 7 << "-3.2500000";
    QTest::addRow("two places round") << 12.345678f << 2 << "12.35";
    QTest::addRow("two places on zero") << 0.0f << 2 << "0.00";
    QTest::addRow("no exponent for large values") << 1e7f << 2 << "10000000.00";
    QTest::addRow("no exponent for tiny values") << 1e-5f << 7 << "0.0000100";
}

void TestNumberFormat::fixed()
{
    QFETCH(float, value);
    QFETCH(int, decimals);
    QFETCH(QString, expected);
    QCOMPARE(NumberFormat::fixed(value, decimals), expected);
}

void TestNumberFormat::truncated_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("expected");

    const float inf = std::numeric_limits<float>::infinity();
    QTest::addRow("positive fraction truncates down") << 2.9f << 2;
    QTest::addRow("small negative truncates to zero, not -1") << -0.5f << 0;
    QTest::addRow("negative truncates toward zero") << -1.7f << -1;
    QTest::addRow("59.9 gives 59") << 59.9f << 59;
    QTest::addRow("NaN gives 0") << std::numeric_limits<float>::quiet_NaN() << 0;
    QTest::addRow("+inf saturates") << inf << INT_MAX;
    QTest::addRow("-inf saturates") << -inf << INT_MIN;
    QTest::addRow("+3e9 saturates") << 3e9f << INT_MAX;
    QTest::addRow("-3e9 saturates") << -3e9f << INT_MIN;
    // 2^31 is the first float above INT_MAX; -2^31 is exactly INT_MIN.
    QTest::addRow("2^31 saturates") << 2147483648.0f << INT_MAX;
    QTest::addRow("-2^31 is INT_MIN itself") << -2147483648.0f << INT_MIN;
    QTest::addRow("largest float below 2^31 is kept") << 2147483520.0f << 2147483520;
}

void TestNumberFormat::truncated()
{
    QFETCH(float, value);
    QFETCH(int, expected);
    QCOMPARE(NumberFormat::truncated(value), expected);
    // The integer form is the truncated value in plain decimal.
    QCOMPARE(NumberFormat::integer(value), QString::number(expected));
}

void TestNumberFormat::sameTextAsQt_data()
{
    QTest::addColumn<Family>("family");

    QTest::newRow("whole numbers up to 2^24, both signs") << Family([](const auto& check) {
        for (int i = 0; i <= (1 << 24); i += 97) {
            check(float(i));
            check(-float(i));
        }
    });
    // x.5, x.25, x.125 ...: exact halves in the last kept place round away
    // from zero in Qt, not to even as printf does.
    QTest::newRow("ties in the last kept place") << Family([](const auto& check) {
        for (int i = 0; i < 50000; ++i) {
            check(float(i) + 0.5f);
            check(float(i) / 8.0f);
            check(-float(i) / 1024.0f);
            check(1234560.0f + float(i % 10));
        }
    });
    // 999999.5 becomes 1e+06: the carry adds a digit and may switch forms.
    QTest::newRow("next to powers of ten") << Family([](const auto& check) {
        for (int exponent = -18; exponent <= 19; ++exponent) {
            float value = float(std::pow(10.0, exponent));
            float below = value;
            for (int step = 0; step < 500; ++step) {
                check(value);
                check(below);
                check(-value);
                value = std::nextafter(value, std::numeric_limits<float>::max());
                below = std::nextafter(below, 0.0f);
            }
        }
    });
    QTest::newRow("zeros, extremes, infinities, NaN") << Family([](const auto& check) {
        const float inf = std::numeric_limits<float>::infinity();
        for (float value : {0.0f, -0.0f, std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min(),
                            std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(), inf, -inf,
                            std::numeric_limits<float>::quiet_NaN(), 1e-7f, -1e-7f, 1e-20f, 1e20f, 1.8e19f, 2e19f})
            check(value);
    });
    QTest::newRow("every 65537th bit pattern") << Family([](const auto& check) {
        for (quint64 bits = 0; bits < (quint64(1) << 32); bits += 65537)
            check(fromBits(quint32(bits)));
    });
}

void TestNumberFormat::sameTextAsQt()
{
    QFETCH(Family, family);
    int checked = 0;
    QString firstMismatch;
    family([&](float value) {
        ++checked;
        if (!firstMismatch.isEmpty())
            return;
        const QString general = NumberFormat::general(value);
        if (general != qtGeneral(value)) {
            firstMismatch = QStringLiteral("general(%1): %2, Qt %3").arg(double(value), 0, 'g', 9).arg(general, qtGeneral(value));
            return;
        }
        for (int decimals : {0, 2, 7}) {
            const QString fixed = NumberFormat::fixed(value, decimals);
            if (fixed != qtFixed(value, decimals)) {
                firstMismatch = QStringLiteral("fixed(%1, %2): %3, Qt %4")
                                    .arg(double(value), 0, 'g', 9)
                                    .arg(decimals)
                                    .arg(fixed, qtFixed(value, decimals));
                return;
            }
        }
    });
    QVERIFY2(firstMismatch.isEmpty(), qPrintable(firstMismatch));
    QVERIFY(checked > 0);
}

// Integers are written without QString::number; the text must not differ,
// at the edges of the range least of all.
void TestNumberFormat::decimalAsQt_data()
{
    QTest::addColumn<int>("value");
    QTest::addRow("zero") << 0;
    QTest::addRow("one digit") << 7;
    QTest::addRow("minus one") << -1;
    QTest::addRow("carry into a new digit") << 1000000;
    QTest::addRow("largest int") << INT_MAX;
    QTest::addRow("smallest int, which has no positive twin") << INT_MIN;
}

void TestNumberFormat::decimalAsQt()
{
    QFETCH(int, value);
    QCOMPARE(NumberFormat::decimal(value), QString::number(value));
    QString appended = QStringLiteral("x:");
    NumberFormat::appendDecimal(&appended, value);
    QCOMPARE(appended, QStringLiteral("x:") + QString::number(value));
}

QTEST_GUILESS_MAIN(TestNumberFormat)
#include "tst_numberformat.moc"
