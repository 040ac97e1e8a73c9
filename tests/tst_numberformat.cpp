// The number forms that clients parse. Every value comes from the library as a
// float and is widened before it is written, so the expected digits are those
// of the exact float, not of the decimal literal that was meant.

#include "numberformat.h"

#include <QtTest>

#include <climits>
#include <limits>

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

QTEST_GUILESS_MAIN(TestNumberFormat)
#include "tst_numberformat.moc"
