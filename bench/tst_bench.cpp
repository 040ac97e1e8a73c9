// The benchmark's own parts: the bytes it expects (checked against a running
// kestreld on the frozen locomotive, and against the floor), its reply check
// inside the load loop, and the figures it derives.

#include "benchcases.h"
#include "latency.h"
#include "loadgen.h"
#include "serverprocess.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace bench;

Q_DECLARE_METATYPE(bench::RequestKind)

namespace {

// A server that answers every request with the right reply changed by
// `fault`, one thread per connection; for the load loop's failure count.
class FaultyServer
{
public:
    enum Fault { None, WrongTag, ShortReply, ExtraByte, CloseInstead };

    explicit FaultyServer(Fault fault)
        : m_fault(fault)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 16);
        socklen_t size = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        m_accepting = std::thread([this] { serve(); });
    }

    ~FaultyServer()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        ::close(m_listener);
        m_accepting.join();
        for (std::thread& client : m_clients)
            client.join();
    }

    uint16_t port() const { return m_port; }

private:
    void serve()
    {
        for (;;) {
            const int fd = ::accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                return;
            m_clients.emplace_back([this, fd] { answer(fd); });
        }
    }

    // Until the client closes (or the fault closes first).
    void answer(int fd)
    {
        const RequestCase& c = requestCase(RequestKind::ControllerValues);
        std::string request;
        while (receiveExactly(fd, c.request.size(), &request, 5000)) {
            std::string reply = c.reply;
            reply.replace(size_t(kFrameTagOffset), 6, request, size_t(kFrameTagOffset), 6);
            if (m_fault == WrongTag)
                reply[size_t(kFrameTagOffset)] = reply[size_t(kFrameTagOffset)] == '9' ? '8' : '9';
            else if (m_fault == ShortReply)
                reply.pop_back();
            else if (m_fault == ExtraByte)
                reply += ';';
            if (m_fault == CloseInstead)
                break;
            sendAll(fd, reply, 2000);
        }
        ::close(fd);
    }

    Fault m_fault;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::thread m_accepting;
    std::vector<std::thread> m_clients; // touched by the accepting thread only, until it is joined
};

} // namespace

class TestBench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void frameBytes_data();
    void frameBytes();
    void casesAreWellFormedFrames_data();
    void casesAreWellFormedFrames();
    void replyCheck_data();
    void replyCheck();
    void percentiles_data();
    void percentiles();
    void median_data();
    void median();
    void portFromLine_data();
    void portFromLine();
    void serversAnswerTheExpectedBytes_data();
    void serversAnswerTheExpectedBytes();
    void loadRunCountsBadReplies_data();
    void loadRunCountsBadReplies();

private:
    BenchFolder m_folder;
    ServerProcess m_kestrel;
    ServerProcess m_floor;
};

void TestBench::initTestCase()
{
    std::string error;
    QVERIFY2(m_folder.create(KESTREL_BENCH_LIBRARY, &error), error.c_str());
    QVERIFY2(m_kestrel.start({KESTREL_BENCH_KESTRELD, "--port", "0", "--simulator-path", m_folder.simulatorPath()},
                             m_folder.workPath(), 20000, &error),
             error.c_str());
    QVERIFY2(m_floor.start({KESTREL_BENCH_FLOOR, "--port", "0"}, std::string(), 10000, &error), error.c_str());
}

void TestBench::cleanupTestCase()
{
    QVERIFY(m_kestrel.stop());
    m_floor.stop();
}

void TestBench::frameBytes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<uint>("tag");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("protocol example") << 3 << 17u << QByteArray("1234") << QByteArray("@000016;003;000017;1234;");
    QTest::newRow("empty payload") << 4 << 0u << QByteArray() << QByteArray("@000012;004;000000;;");
    QTest::newRow("largest tag") << 6 << 999999u << QByteArray("0") << QByteArray("@000013;006;999999;0;");
    QTest::newRow("tag wraps") << 6 << 1000001u << QByteArray("0") << QByteArray("@000013;006;000001;0;");
}

void TestBench::frameBytes()
{
    QFETCH(int, code);
    QFETCH(uint, tag);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, bytes);
    QCOMPARE(QByteArray::fromStdString(frame(code, tag, payload.toStdString())), bytes);

    // Rewriting the tag in place gives the same bytes as building anew.
    std::string rewritten = frame(code, 424242, payload.toStdString());
    writeTag(&rewritten[size_t(kFrameTagOffset)], tag);
    QCOMPARE(QByteArray::fromStdString(rewritten), bytes);
}

void TestBench::casesAreWellFormedFrames_data()
{
    QTest::addColumn<RequestKind>("kind");
    for (RequestKind kind : allKinds())
        QTest::newRow(requestCase(kind).name) << kind;
}

void TestBench::casesAreWellFormedFrames()
{
    QFETCH(RequestKind, kind);
    const RequestCase& c = requestCase(kind);
    if (c.tagOffset < 0) {
        QVERIFY(c.request.find("<END>") != std::string::npos);
        QVERIFY(c.request[0] != '@');
        return;
    }
    for (const std::string& bytes : {c.request, c.reply}) {
        QCOMPARE(bytes[0], '@');
        QCOMPARE(std::stoul(bytes.substr(1, 6)), bytes.size() - size_t(kFrameHeaderSize));
        QCOMPARE(bytes.back(), ';');
    }
    // The tag is carried over: the same tag in request and reply.
    QCOMPARE(requestFor(c, 31337).substr(size_t(kFrameTagOffset), 6), std::string("031337"));
    QCOMPARE(replyFor(c, 31337).substr(size_t(kFrameTagOffset), 6), std::string("031337"));
}

void TestBench::replyCheck_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<int>("state");

    const auto waiting = int(ReplyCheck::State::Waiting);
    const auto complete = int(ReplyCheck::State::Complete);
    const auto wrong = int(ReplyCheck::State::Wrong);
    // The reply owed is always "@000013;007;000042;0.5;".
    QTest::newRow("whole") << QByteArrayList{"@000013;007;000042;0.5;"} << complete;
    QTest::newRow("in pieces") << QByteArrayList{"@0000", "13;007;000042;0", ".5;"} << complete;
    QTest::newRow("not yet all") << QByteArrayList{"@000013;007;000042;0.5"} << waiting;
    QTest::newRow("wrong tag, seen early") << QByteArrayList{"@000013;007;000043"} << wrong;
    QTest::newRow("wrong last byte") << QByteArrayList{"@000013;007;000042;0.5:"} << wrong;
    QTest::newRow("one byte too many") << QByteArrayList{"@000013;007;000042;0.5;;"} << wrong;
    QTest::newRow("more after the reply") << QByteArrayList{"@000013;007;000042;0.5;", "x"} << wrong;
    QTest::newRow("right bytes after a wrong one") << QByteArrayList{"@000013;007;000042;1", ".5;"} << wrong;
}

void TestBench::replyCheck()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(int, state);
    ReplyCheck check;
    check.expect("@000013;007;000042;0.5;");
    for (const QByteArray& chunk : chunks)
        check.feed(chunk.constData(), size_t(chunk.size()));
    QCOMPARE(int(check.state()), state);
}

void TestBench::percentiles_data()
{
    QTest::addColumn<QVector<quint64>>("samples");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<quint64>("expected");

    QVector<quint64> hundred;
    for (quint64 i = 100; i >= 1; --i)
        hundred.append(i); // reversed, so that the order of input counts
    QVector<quint64> thousand;
    for (quint64 i = 1; i <= 1000; ++i)
        thousand.append((i * 7919) % 1000 + 1); // 1..1000 shuffled

    QTest::newRow("one sample") << QVector<quint64>{5} << 0.999 << quint64(5);
    QTest::newRow("100: median") << hundred << 0.50 << quint64(50);
    QTest::newRow("100: p99") << hundred << 0.99 << quint64(99);
    QTest::newRow("100: p99.9 is the largest") << hundred << 0.999 << quint64(100);
    QTest::newRow("1000: p99.9") << thousand << 0.999 << quint64(999);
    QTest::newRow("1000: p99") << thousand << 0.99 << quint64(990);
    QTest::newRow("two: median is the lower") << QVector<quint64>{9, 1} << 0.5 << quint64(1);
    QTest::newRow("none") << QVector<quint64>{} << 0.5 << quint64(0);
}

void TestBench::percentiles()
{
    QFETCH(QVector<quint64>, samples);
    QFETCH(double, fraction);
    QFETCH(quint64, expected);
    std::vector<uint64_t> values(samples.begin(), samples.end());
    QCOMPARE(quint64(percentile(values, fraction)), expected);
}

void TestBench::median_data()
{
    QTest::addColumn<QVector<double>>("values");
    QTest::addColumn<double>("expected");
    QTest::newRow("odd count, unsorted") << QVector<double>{3, 1, 2} << 2.0;
    QTest::newRow("even count: mean of the middle two") << QVector<double>{4, 1, 3, 2} << 2.5;
    QTest::newRow("one") << QVector<double>{7} << 7.0;
    QTest::newRow("none") << QVector<double>{} << 0.0;
}

void TestBench::median()
{
    QFETCH(QVector<double>, values);
    QFETCH(double, expected);
    QCOMPARE(bench::median(std::vector<double>(values.begin(), values.end())), expected);
}

void TestBench::portFromLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("port");
    QTest::newRow("kestreld") << "14:03:07.412 (Main) - The system chose port 40123" << 40123;
    QTest::newRow("floor") << "(Floor) - The system chose port 5" << 5;
    QTest::newRow("listening line") << "14:03:07.412 (Server) - Listening to port 0" << 0;
    QTest::newRow("out of range") << "The system chose port 70000" << 0;
    QTest::newRow("no number") << "The system chose port x" << 0;
}

void TestBench::portFromLine()
{
    QFETCH(QString, line);
    QFETCH(int, port);
    QCOMPARE(int(bench::portFromLine(line.toStdString())), port);
}

void TestBench::serversAnswerTheExpectedBytes_data()
{
    QTest::addColumn<bool>("kestrel");
    QTest::addColumn<RequestKind>("kind");
    for (RequestKind kind : allKinds()) {
        QTest::addRow("kestreld, %s", requestCase(kind).name) << true << kind;
        QTest::addRow("floor, %s", requestCase(kind).name) << false << kind;
    }
}

// The canned replies are what kestreld really answers on the frozen
// locomotive, and the floor sends the same bytes; three exchanges on one
// connection with different tags, and nothing after the last reply.
void TestBench::serversAnswerTheExpectedBytes()
{
    QFETCH(bool, kestrel);
    QFETCH(RequestKind, kind);
    const RequestCase& c = requestCase(kind);
    std::string error;
    const int fd = connectTo("127.0.0.1", kestrel ? m_kestrel.port() : m_floor.port(), &error);
    QVERIFY2(fd >= 0, error.c_str());
    for (uint32_t tag : {1u, 77u, 999999u}) {
        QVERIFY(sendAll(fd, requestFor(c, tag), 5000));
        std::string reply;
        receiveExactly(fd, c.reply.size(), &reply, 5000);
        QCOMPARE(QByteArray::fromStdString(reply), QByteArray::fromStdString(replyFor(c, tag)));
    }
    std::string more;
    QVERIFY(!receiveExactly(fd, 1, &more, 200));
    QVERIFY(more.empty());
    ::close(fd);
}

void TestBench::loadRunCountsBadReplies_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("failures");
    QTest::newRow("right replies") << int(FaultyServer::None) << false;
    QTest::newRow("wrong tag") << int(FaultyServer::WrongTag) << true;
    QTest::newRow("one byte short") << int(FaultyServer::ShortReply) << true;
    QTest::newRow("one byte extra") << int(FaultyServer::ExtraByte) << true;
    QTest::newRow("connection closed") << int(FaultyServer::CloseInstead) << true;
}

void TestBench::loadRunCountsBadReplies()
{
    QFETCH(int, fault);
    QFETCH(bool, failures);
    FaultyServer server(static_cast<FaultyServer::Fault>(fault));
    LoadOptions options;
    options.port = server.port();
    options.connections = 2;
    options.kind = RequestKind::ControllerValues;
    options.requests = 6;
    options.replyTimeoutMs = 300;
    const LoadResult result = runLoad(options);
    QVERIFY2(result.ok, result.error.c_str());
    if (failures) {
        // Every request fails, each on its own connection, and none counts.
        QCOMPARE(result.failures, quint64(6));
        QCOMPARE(result.completed, quint64(0));
        QVERIFY(!result.failureNotes.empty());
    } else {
        QCOMPARE(result.failures, quint64(0));
        QCOMPARE(result.completed, quint64(6));
        QCOMPARE(result.latency.count, quint64(6));
    }
}

QTEST_GUILESS_MAIN(TestBench)
#include "tst_bench.moc"
