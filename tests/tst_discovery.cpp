// Kestrel announced by DNS-SD, as a browser that is not ours (python-zeroconf)
// sees it, and the check that keeps hostile datagrams away from the mDNS
// library's parser. Multicast only where nothing can leave the machine: the
// network tests run in a network namespace of their own (tests/netns.sh
// makes one, with only the loopback interface, and under Wine a Wine server
// of its own) and skip anywhere else.

#include "mdnspacket.h"
#include "serverprocess.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

// A DNS name as labels; ".." is no label, so the rows spell odd names by hand.
QByteArray name(const QByteArray& dotted)
{
    QByteArray bytes;
    for (const QByteArray& label : dotted.split('.'))
        if (!label.isEmpty())
            bytes += char(label.size()) + label;
    return bytes + '\0';
}

QByteArray number16(int value)
{
    return QByteArray(1, char(value >> 8)) + char(value & 0xff);
}

QByteArray header(int questions, int answers, int authorities = 0, int additional = 0, bool response = false)
{
    return number16(0) + number16(response ? 0x8400 : 0) + number16(questions) + number16(answers)
           + number16(authorities) + number16(additional);
}

QByteArray question(const QByteArray& encodedName, int type = 12)
{
    return encodedName + number16(type) + number16(1);
}

QByteArray record(const QByteArray& encodedName, int type, const QByteArray& data, int length = -1)
{
    return encodedName + number16(type) + number16(1) + QByteArray("\0\0\x11\x94", 4)
           + number16(length < 0 ? int(data.size()) : length) + data;
}

struct PacketRow
{
    const char* fault;
    QByteArray bytes;
    bool wellFormed;
};

// A datagram is 12 bytes of header and then its questions: a name pointer
// to offset 12 points at the first question's name.
QList<PacketRow> packetRows()
{
    const QByteArray service = name("_kestrel._tcp.local");
    const QByteArray pointerTo12("\xc0\x0c", 2);
    const QByteArray label63 = char(63) + QByteArray(63, 'k');
    const QByteArray maxName = label63.repeated(3) + char(61) + QByteArray(61, 'k'); // 255 bytes spelled out
    const QByteArray longName = label63.repeated(4); // 256 bytes spelled out, one too many
    const QByteArray manyQuestions = question(QByteArray(1, '\0')).repeated(MdnsPacket::MaxEntries);
    const QByteArray tooManyQuestions = manyQuestions + question(QByteArray(1, '\0'));
    const QByteArray srv = number16(0) + number16(0) + number16(47812) + name("kestrel-host.local");
    return {
        {"a browser's question", header(1, 0) + question(service), true},
        {"an answer whose name points back at the question", header(1, 1, 0, 0, true) + question(service)
             + record(pointerTo12, 12, name("Kestrel on host").chopped(1) + pointerTo12), true},
        {"a service record", header(0, 1, 0, 0, true) + record(service, 33, srv), true},
        {"an address record", header(0, 1, 0, 0, true) + record(service, 1, QByteArray("\x7f\0\0\x01", 4)), true},
        {"a text record of any bytes", header(0, 1, 0, 0, true) + record(service, 16, QByteArray("\x05k=v\xff\0", 6)), true},
        {"a name of 255 bytes", header(1, 0) + question(maxName + '\0'), true},
        {"as many entries as the parser holds", header(MdnsPacket::MaxEntries, 0) + manyQuestions, true},
        {"shorter than a header", header(0, 0).left(11), false},
        {"a question counted but not there", header(1, 0), false},
        {"a question without its type and class", header(1, 0) + service, false},
        {"a label running past the end", header(1, 0) + "\x3f" "abc", false},
        {"a name without its end", header(1, 0) + service.chopped(1), false},
        {"a name over 255 bytes", header(1, 0) + question(longName + '\0'), false},
        {"an extended label type", header(1, 0) + question("\x40" + QByteArray(64, 'a') + '\0'), false},
        {"a pointer to itself", header(1, 0) + question(pointerTo12), false},
        {"a pointer to an empty name, which the parser reads past",
         header(2, 0) + question(QByteArray(1, '\0'), 0xc100) + question(pointerTo12), false},
        {"a pointer forward", header(1, 0) + question(QByteArray("\xc0\x20", 2)) + QByteArray(32, '\0'), false},
        {"a pointer cut in half", header(1, 0) + "\xc0", false},
        {"more entries than the parser holds", header(MdnsPacket::MaxEntries + 1, 0) + tooManyQuestions, false},
        {"a record's data running past the end", header(0, 1, 0, 0, true) + record(service, 16, "ab", 40), false},
        {"an address record of 3 bytes", header(0, 1, 0, 0, true) + record(service, 1, QByteArray("\x7f\0\x01", 3)), false},
        {"an IPv6 address record of 4 bytes", header(0, 1, 0, 0, true) + record(service, 28, QByteArray("\x7f\0\0\x01", 4)), false},
        {"a pointer record's name longer than its data", header(0, 1, 0, 0, true) + record(service, 12, service, 4),
         false},
        {"a service record's name shorter than its data", header(0, 1, 0, 0, true) + record(service, 33, srv + "xx"),
         false},
        {"a service record without its numbers", header(0, 1, 0, 0, true) + record(service, 33, QByteArray("\0\0", 2)), false},
        {"an authority record counted but not there", header(1, 0, 1) + question(service), false},
        {"over 9000 bytes", header(0, 1, 0, 0, true) + record(service, 16, QByteArray(9000, 'x')), false},
    };
}

// Without a network of its own the test would send multicast onto the network around it.
bool onlyLoopback()
{
#ifdef Q_OS_WIN
    // Under Wine the sockets are the Wine server's: only tests/netns.sh
    // knows that it runs inside the namespace.
    return qEnvironmentVariable("KESTREL_OWN_NETWORK") == QLatin1String("1");
#endif
    for (const QNetworkInterface& candidate : QNetworkInterface::allInterfaces())
        if (!(candidate.flags() & QNetworkInterface::IsLoopBack))
            return false;
    return true;
}

// python-zeroconf browsing for Kestrel's two service types, recording one
// JSON object per service found or gone in a file of a folder of its own.
// Started detached and told by files: under Wine, a Unix program's output
// and end do not reach the test.
class Browser
{
public:
    bool start()
    {
        return m_dir.isValid()
               && QProcess::startDetached(QStringLiteral("/usr/bin/python3"),
                                          {QStringLiteral(KESTREL_BROWSE_SCRIPT), unixPath(m_dir.path())});
    }
    // Asks it to stop and waits until its sockets are closed, so that the
    // next test finds port 5353 as it left it.
    ~Browser()
    {
        QFile(m_dir.filePath("stop")).open(QIODevice::WriteOnly);
        for (int i = 0; i < 200 && QFile::exists(m_dir.filePath("alive")); ++i)
            QTest::qWait(50);
    }
    // The first event about `type` ("_kestrel._tcp") of kind `event`; empty until then.
    QJsonObject find(const QString& event, const QString& type) const
    {
        for (const QByteArray& line : output().split('\n')) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.value(QStringLiteral("event")).toString() == event
                && object.value(QStringLiteral("type")).toString() == type + QStringLiteral(".local."))
                return object;
        }
        return {};
    }
    QByteArray output() const
    {
        QFile events(m_dir.filePath("events"));
        return events.open(QIODevice::ReadOnly) ? events.readAll() : QByteArray();
    }

private:
#ifdef Q_OS_WIN // Wine shows the machine's own files as drive Z:
    QTemporaryDir m_dir{QStringLiteral("Z:/tmp/tst_discovery-XXXXXX")};
    static QString unixPath(const QString& path) { return path.mid(2); }
#else
    QTemporaryDir m_dir;
    static QString unixPath(const QString& path) { return path; }
#endif
};

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
#ifndef Q_OS_WIN // a Unix program's end is not seen under Wine; tests/netns.sh checks there
        if (onlyLoopback())
            QVERIFY2(QProcess::execute(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QStringLiteral("import zeroconf")}) == 0,
                     "python3-zeroconf is not installed (tools/setup-debian.sh installs it)");
#endif
    }

    void packetCheck_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("wellFormed");
        for (const PacketRow& row : packetRows())
            QTest::addRow("%s", row.fault) << row.bytes << row.wellFormed;
    }
    void packetCheck()
    {
        QFETCH(QByteArray, bytes);
        QTEST(MdnsPacket::wellFormed(bytes), "wellFormed");
    }

    void announcement_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("types");
        QTest::addRow("the main port and the cab display")
            << QStringList{"--live-port", "0"} << QByteArray() << QStringList{"_kestrel._tcp", "_http._tcp"};
        QTest::addRow("--no-live: the main port alone") << QStringList{"--no-live"} << QByteArray()
                                                        << QStringList{"_kestrel._tcp"};
        QTest::addRow("--no-discovery: nothing") << QStringList{"--no-discovery"} << QByteArray() << QStringList();
        QTest::addRow("switched off in kestrel.ini: nothing")
            << QStringList() << QByteArray("[discovery]\nenabled=false\n") << QStringList();
    }
    // Found by a browser with the ports, the address and the texts; after
    // every malformed datagram of the rows above, found again by a browser
    // that starts later (so questions are answered, not only announced);
    // gone from it when kestreld stops (the goodbye). Switched off,
    // kestreld does not even take port 5353: a socket that shares it with
    // nobody gets it.
    void announcement()
    {
        if (!onlyLoopback())
            QSKIP("multicast only in a network namespace of the test's own (run through tests/netns.sh)");
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, types);
        QTemporaryDir dir;
        QFile file(dir.filePath("kestrel.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size() && file.flush());
        ServerProcess server;
        server.setAnnounces(true);
        QVERIFY(server.start(QStringList{"--port", "0", "--simulator-path", KESTREL_SIMULATOR_DIR} + arguments, dir.path()));
        if (types.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(server.output().contains("Pairing link"), 10000);
            QVERIFY2(!server.output().contains("Announced"), server.output());
            QUdpSocket alone;
            QVERIFY2(alone.bind(QHostAddress::AnyIPv4, 5353, QUdpSocket::DontShareAddress), qPrintable(alone.errorString()));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(server.output().contains("Announced on the network as \"Kestrel on "), 10000);
        const QRegularExpressionMatch live = QRegularExpression(QStringLiteral("Cab display: http://[^:]+:(\\d+)/"))
                                                 .match(QString::fromLocal8Bit(server.output()));
        QMap<QString, int> ports{{"_kestrel._tcp", server.port()}, {"_http._tcp", live.captured(1).toInt()}};

        Browser first;
        QVERIFY(first.start());
        for (const QString& type : types) {
            QTRY_VERIFY2_WITH_TIMEOUT(!first.find("added", type).isEmpty(), first.output(), 60000);
            const QJsonObject found = first.find("added", type);
            QVERIFY2(found.value("name").toString().startsWith("Kestrel on "), qPrintable(found.value("name").toString()));
            QCOMPARE(found.value("port").toInt(), ports.value(type));
            QCOMPARE(found.value("addresses").toVariant().toStringList(), QStringList{"127.0.0.1"});
            const QJsonObject txt = found.value("txt").toObject();
            QCOMPARE(txt.value("version").toString(), QStringLiteral(KESTREL_VERSION));
            QCOMPARE(txt.value("live").toString(), QString(types.contains("_http._tcp") ? "/live/v1" : ""));
            QCOMPARE(txt.value("code").toString(), QString(types.contains("_http._tcp") ? "required" : ""));
            QCOMPARE(txt.value("path").toString(), QString(type == "_http._tcp" ? "/" : ""));
        }
        QUdpSocket sender;
        for (const PacketRow& row : packetRows())
            if (!row.wellFormed)
                sender.writeDatagram(row.bytes, QHostAddress(QStringLiteral("224.0.0.251")), 5353);
        Browser later;
        QVERIFY(later.start());
        for (const QString& type : types)
            QTRY_VERIFY2_WITH_TIMEOUT(!later.find("added", type).isEmpty(), later.output(), 60000);
        if (!types.contains("_http._tcp"))
            QVERIFY2(first.find("added", "_http._tcp").isEmpty(), first.output());

        QCOMPARE(server.stop(30000), 0);
        QVERIFY(server.output().contains("(Main) - Announcement withdrawn"));
        for (const QString& type : types)
            QTRY_VERIFY2_WITH_TIMEOUT(!later.find("removed", type).isEmpty(), later.output(), 60000);
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
