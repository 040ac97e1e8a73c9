// The wire format of framed messages: which eight bytes count as a header,
// how a received frame is read field by field, and the exact bytes of a
// reply. Clients parse replies by offset, so every byte is compared.

#include "framecodec.h"

#include <QtTest>

namespace {

// Bytes from a literal, embedded NULs included.
template <int N>
QByteArray raw(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

} // namespace

class TestFrameCodec : public QObject
{
    Q_OBJECT

private slots:
    void parseHeader_data();
    void parseHeader();
    void decode_data();
    void decode();
    void encode_data();
    void encode();
    void encodeLengthBeyondSixDigits();
};

void TestFrameCodec::parseHeader_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("isHeader");
    QTest::addColumn<int>("length");

    QTest::addRow("length 16 of the reply example") << raw("@000016;") << true << 16;
    QTest::addRow("smallest length 1") << raw("@000001;") << true << 1;
    QTest::addRow("largest six-digit length") << raw("@999999;") << true << 999999;
    QTest::addRow("first byte is not @") << raw("#000016;") << false << 0;
    QTest::addRow("length field is not a number") << raw("@00a016;") << false << 0;
    QTest::addRow("length field is blank") << raw("@      ;") << false << 0;
    QTest::addRow("colon instead of ; at offset 7") << raw("@000016:") << false << 0;
    QTest::addRow("digit instead of ; at offset 7") << raw("@0000160") << false << 0;
    QTest::addRow("length 0") << raw("@000000;") << false << 0;
    QTest::addRow("negative length") << raw("@-00016;") << false << 0;
    QTest::addRow("seven bytes are too short") << raw("@00016;") << false << 0;
    QTest::addRow("nothing") << QByteArray() << false << 0;
}

void TestFrameCodec::parseHeader()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, isHeader);
    QFETCH(int, length);

    int parsed = -1;
    QCOMPARE(FrameCodec::parseHeader(header, &parsed), isHeader);
    if (isHeader)
        QCOMPARE(parsed, length);
}

void TestFrameCodec::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("isFrame");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("tag");
    QTest::addColumn<QString>("payload");

    QTest::addRow("reply example, payload keeps its closing ;")
        << raw("@000016;003;000017;1234;") << true << 16 << 3 << 17 << QStringLiteral("1234;");
    QTest::addRow("19 bytes: three fields, empty payload")
        << raw("@000011;005;000001;") << true << 11 << 5 << 1 << QString();
    QTest::addRow("18 bytes are no frame") << raw("@000010;005;000001") << false << 0 << 0 << 0 << QString();
    QTest::addRow("no @ at offset 0") << raw("#000016;003;000017;1234;") << false << 0 << 0 << 0 << QString();
    QTest::addRow("separators at 7, 11 and 18 are not looked at")
        << raw("@000016X003X000017X1234;") << true << 16 << 3 << 17 << QStringLiteral("1234;");
    QTest::addRow("fields that are not numbers read 0")
        << raw("@0x0016;a03;00b017;text;") << true << 0 << 0 << 0 << QStringLiteral("text;");
    // A frame served after the last wait is shorter than its header says.
    QTest::addRow("length is the header's, not the byte count")
        << raw("@000099;005;000003;abc") << true << 99 << 5 << 3 << QStringLiteral("abc");
    QTest::addRow("payload ends at a NUL")
        << raw("@000016;003;000017;12\0" "4;") << true << 16 << 3 << 17 << QStringLiteral("12");
    QTest::addRow("NUL right after the header leaves no payload")
        << raw("@000016;003;000017;\0" "234;") << true << 16 << 3 << 17 << QString();
    QTest::addRow("payload decoded as UTF-8")
        << QStringLiteral("@000019;001;000002;Z\u00fcrich;").toUtf8() << true << 19 << 1 << 2
        << QStringLiteral("Z\u00fcrich;");
    QTest::addRow("largest command and tag")
        << raw("@000016;999;999999;TRUE;") << true << 16 << 999 << 999999 << QStringLiteral("TRUE;");
    QTest::addRow("negative command refused") << raw("@000016;-03;000017;1234;") << false << 0 << 0 << 0 << QString();
    QTest::addRow("negative tag refused") << raw("@000016;003;-00017;1234;") << false << 0 << 0 << 0 << QString();
}

void TestFrameCodec::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, isFrame);
    QFETCH(int, length);
    QFETCH(int, command);
    QFETCH(int, tag);
    QFETCH(QString, payload);

    MessageFrame frame;
    QCOMPARE(FrameCodec::decode(bytes, &frame), isFrame);
    if (!isFrame)
        return;
    QCOMPARE(frame.length, length);
    QCOMPARE(frame.command, command);
    QCOMPARE(frame.tag, tag);
    QCOMPARE(frame.payload, payload);
}

void TestFrameCodec::encode_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("tag");
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QByteArray>("bytes");

    QTest::addRow("reply code 3, tag 17, payload 1234: the 24-byte example")
        << 3 << 17 << QStringLiteral("1234") << raw("@000016;003;000017;1234;");
    QTest::addRow("empty payload still ends with ;") << 2 << 0 << QString() << raw("@000012;002;000000;;");
    QTest::addRow("small code and tag padded with zeros")
        << 5 << 1 << QStringLiteral("x") << raw("@000013;005;000001;x;");
    QTest::addRow("six-digit tag and three-digit code as they are")
        << 999 << 999999 << QStringLiteral("TRUE") << raw("@000016;999;999999;TRUE;");
    QTest::addRow("seven-digit tag not cut")
        << 7 << 1234567 << QStringLiteral("a") << raw("@000014;007;1234567;a;");
    QTest::addRow("four-digit code not cut")
        << 1000 << 1 << QString() << raw("@000013;1000;000001;;");
    QTest::addRow("length counts UTF-8 bytes of two-byte characters")
        << 5 << 1 << QStringLiteral("Z\u00fcrich") << QStringLiteral("@000019;005;000001;Z\u00fcrich;").toUtf8();
    QTest::addRow("length counts UTF-8 bytes of three-byte characters")
        << 5 << 1 << QStringLiteral("\u20ac\u20ac") << QStringLiteral("@000018;005;000001;\u20ac\u20ac;").toUtf8();
    QTest::addRow("length counts UTF-8 bytes of a surrogate pair")
        << 5 << 1 << QStringLiteral("\U0001F682") << QStringLiteral("@000016;005;000001;\U0001F682;").toUtf8();
    QTest::addRow("separators inside the payload are not escaped")
        << 10 << 3 << QStringLiteral("a;b:@") << raw("@000017;010;000003;a;b:@;");
}

void TestFrameCodec::encode()
{
    QFETCH(int, command);
    QFETCH(int, tag);
    QFETCH(QString, payload);
    QFETCH(QByteArray, bytes);

    const MessageFrame frame = FrameCodec::encode(command, tag, payload);
    QCOMPARE(frame.bytes, bytes);
    QCOMPARE(frame.length, bytes.size() - FrameCodec::HeaderSize);
    QCOMPARE(frame.command, command);
    QCOMPARE(frame.tag, tag);
    QCOMPARE(frame.payload, payload);

    // What the server writes, the server reads back: same fields, the
    // payload with its closing ";".
    if (command < 1000 && tag < 1000000) {
        MessageFrame decoded;
        QVERIFY(FrameCodec::decode(frame.bytes, &decoded));
        QCOMPARE(decoded.length, frame.length);
        QCOMPARE(decoded.command, command);
        QCOMPARE(decoded.tag, tag);
        QCOMPARE(decoded.payload, payload + QLatin1Char(';'));
    }
}

void TestFrameCodec::encodeLengthBeyondSixDigits()
{
    // The controller list of a large locomotive can exceed the six digits
    // of the length field; the length is then written in full, not cut.
    const QString payload(1000000, QLatin1Char('x'));
    const MessageFrame frame = FrameCodec::encode(7, 1, payload);
    QCOMPARE(frame.bytes.size(), 1 + 7 + 1 + 12 + 1000000);
    QCOMPARE(frame.bytes.left(21), raw("@1000012;007;000001;x"));
    QVERIFY(frame.bytes.endsWith("x;"));
    QCOMPARE(frame.length, 1000012);
}

QTEST_GUILESS_MAIN(TestFrameCodec)
#include "tst_framecodec.moc"
