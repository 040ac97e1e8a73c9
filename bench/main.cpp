// kestrel-bench: Kestrel's figures, each beside a baseline from the same run.
//
//   table  throughput and latency of kestreld against kestrel-floor (the
//          least a server can do), every reply checked to the byte
//   idle   resident memory per idle connection, kestreld and floor
//   live   the live port's push against polling over the framed protocol:
//          delay from a change to every client, kestreld's CPU share and
//          the library calls a second
//
// Everything runs on loopback and ends by itself. Linux only (epoll, /proc).

#include "benchcases.h"
#include "serverprocess.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double microsecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double percentile(std::vector<double> samples, double fraction)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, size_t(fraction * double(samples.size())))];
}

// A number from /proc/<pid>/status ("VmRSS" in KiB, "Threads").
long long statusField(qint64 pid, const char* field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(QByteArray(field) + ':'))
            return line.mid(int(qstrlen(field)) + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Seconds of CPU the process has used, user and system.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    stat.open(QIODevice::ReadOnly);
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).trimmed().split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

struct Load
{
    double perSecond = 0;
    double p50 = 0; // microseconds
    double p99 = 0;
    long failures = 0;
};

// N connections with one request in flight on each, from one thread with
// epoll; every reply compared byte for byte, its tag included.
Load runLoad(quint16 port, int connections, const bench::RequestCase& kind, double seconds)
{
    struct Connection
    {
        int fd = -1;
        uint32_t tag = 0;
        std::string expected;
        std::string received;
        Clock::time_point sent;
    };
    std::vector<Connection> all(static_cast<size_t>(connections));
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    Load load;
    auto send = [&](Connection& c) {
        c.tag = (c.tag + 1) % bench::kTagLimit;
        const std::string request = bench::requestFor(kind, c.tag);
        c.expected = bench::replyFor(kind, c.tag);
        c.received.clear();
        c.sent = Clock::now();
        return ::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
    };
    for (size_t i = 0; i < all.size(); ++i) {
        all[i].fd = connectTo(port);
        epoll_event event{EPOLLIN, {}};
        event.data.u64 = i;
        if (all[i].fd < 0 || ::epoll_ctl(poller, EPOLL_CTL_ADD, all[i].fd, &event) != 0 || !send(all[i]))
            ++load.failures;
    }
    std::vector<double> latencies;
    const Clock::time_point start = Clock::now();
    const Clock::time_point measured = start + std::chrono::milliseconds(500); // warm-up
    const Clock::time_point end = measured + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    long completed = 0;
    epoll_event events[256];
    char buffer[65536];
    while (Clock::now() < end) {
        const int ready = ::epoll_wait(poller, events, 256, 100);
        for (int e = 0; e < ready; ++e) {
            Connection& c = all[events[e].data.u64];
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ++load.failures; // the server closed the connection
                ::epoll_ctl(poller, EPOLL_CTL_DEL, c.fd, nullptr);
                continue;
            }
            c.received.append(buffer, size_t(n));
            if (c.received.size() < c.expected.size())
                continue;
            if (c.received != c.expected) {
                ++load.failures;
                std::fprintf(stderr, "kestrel-bench: wrong reply \"%s\"\n",
                             bench::printable(c.received.data(), c.received.size()).c_str());
            } else if (c.sent >= measured) {
                latencies.push_back(microsecondsSince(c.sent));
                ++completed;
            }
            if (!send(c))
                ++load.failures;
        }
    }
    for (Connection& c : all)
        ::close(c.fd);
    ::close(poller);
    load.perSecond = double(completed) / seconds;
    load.p50 = percentile(latencies, 0.5);
    load.p99 = percentile(latencies, 0.99);
    return load;
}

struct Options
{
    QString kestreld;
    QString floor;
    QString library;
    QList<int> connections;
    QList<int> subscribers;
    double seconds = 2;
    int idle = 1000;
};

// A simulator folder with a copy of the stand-in library (frozen, for the
// framed load) and kestreld in it, its log in a file as a journal keeps it.
// The stand-in's driver file moves its levers from outside (RAILSIM_DRIVER).
class Kestreld
{
public:
    bool start(const Options& options, bool frozen, const QStringList& extra = {})
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("plugins"));
        QFile::copy(options.library, m_dir.filePath(QStringLiteral("plugins/RailDriver64.dll")));
        QFile description(m_dir.filePath(QStringLiteral("plugins/railsim.loco")));
        if (frozen && description.open(QIODevice::WriteOnly))
            description.write(bench::kFrozenLocomotive);
        description.close();
        QFile ini(m_dir.filePath(QStringLiteral("kestrel.ini")));
        ini.open(QIODevice::WriteOnly);
        ini.write("[limits]\nconnectionsperaddress=0\n"); // a thousand clients from here
        ini.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("RAILSIM_CALL_COUNT"), m_dir.filePath(QStringLiteral("calls")));
        environment.insert(QStringLiteral("RAILSIM_DRIVER"), m_dir.filePath(QStringLiteral("driver")));
        server.process().setProcessEnvironment(environment);
        if (!server.start(QStringList{"--port", "0", "--simulator-path", m_dir.path()} + extra, m_dir.path(),
                          options.kestreld, m_dir.filePath(QStringLiteral("log"))))
            return false;
        // The log is the journal's: the ports and the code are read from it.
        const bool live = !extra.contains(QStringLiteral("--no-live"));
        static const QRegularExpression port(QStringLiteral("chose port (\\d+)"));
        static const QRegularExpression page(QStringLiteral("Cab display: http://[^/]+:(\\d+)/"));
        static const QRegularExpression code(QStringLiteral("driving from the cab display: (\\S+)"));
        return QTest::qWaitFor([&] {
            QFile log(m_dir.filePath(QStringLiteral("log")));
            const QString text = log.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(log.readAll()) : QString();
            server.setPort(quint16(port.match(text).captured(1).toUInt()));
            livePort = quint16(page.match(text).captured(1).toUInt());
            controlCode = code.match(text).captured(1);
            return server.port() != 0 && (!live || !controlCode.isEmpty());
        }, 10000);
    }
    long long libraryCalls() const
    {
        QFile calls(m_dir.filePath(QStringLiteral("calls")));
        return calls.open(QIODevice::ReadOnly) ? calls.readAll().trimmed().toLongLong() : 0;
    }
    // "INDEX VALUE", as the driver moving a lever; the stand-in takes it within 5 ms.
    void drive(int index, double value)
    {
        QSaveFile driver(m_dir.filePath(QStringLiteral("driver")));
        driver.open(QIODevice::WriteOnly);
        driver.write(QByteArray::number(index) + ' ' + QByteArray::number(value) + '\n');
        driver.commit();
    }

    ServerProcess server;
    quint16 livePort = 0;
    QString controlCode;

private:
    QTemporaryDir m_dir;
};

void table(const Options& options)
{
    std::printf("\n#### Throughput and latency (microseconds), %.0f s a run\n\n"
                "| request | N | Kestrel req/s | floor req/s | K/F | Kestrel p50 | floor p50 | Kestrel p99 | floor p99 "
                "| p99 K/F | failures |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n",
                options.seconds);
    for (bench::RequestKind kind : bench::allKinds()) {
        for (int connections : options.connections) {
            Kestreld kestreld;
            ServerProcess floor;
            if (!kestreld.start(options, true) || !floor.start({}, QString(), options.floor)) {
                std::fprintf(stderr, "kestrel-bench: the servers did not start\n");
                return;
            }
            const bench::RequestCase& request = bench::requestCase(kind);
            const Load k = runLoad(kestreld.server.port(), connections, request, options.seconds);
            const Load f = runLoad(floor.port(), connections, request, options.seconds);
            std::printf("| %s | %d | %.0f | %.0f | %.2f | %.0f | %.0f | %.0f | %.0f | %.2f | %ld |\n", request.title,
                        connections, k.perSecond, f.perSecond, k.perSecond / f.perSecond, k.p50, f.p50, k.p99, f.p99,
                        k.p99 / f.p99, k.failures + f.failures);
        }
    }
}

void idle(const Options& options)
{
    std::printf("\n#### Resident memory per idle connection, %d connections\n\n"
                "| server | RSS before (KiB) | RSS after (KiB) | threads after | KiB per connection |\n"
                "|---|---:|---:|---:|---:|\n",
                options.idle);
    Kestreld kestreld;
    ServerProcess floor;
    if (!kestreld.start(options, true) || !floor.start({}, QString(), options.floor))
        return;
    for (ServerProcess* server : {&kestreld.server, &floor}) {
        runLoad(server->port(), 1, bench::requestCase(bench::RequestKind::ControllerValues), 0.1);
        const long long before = statusField(server->pid(), "VmRSS");
        std::vector<int> held;
        const std::string request = bench::requestFor(bench::requestCase(bench::RequestKind::ControllerValues), 1);
        char reply[4096];
        for (int i = 0; i < options.idle; ++i) {
            const int fd = connectTo(server->port());
            if (fd >= 0 && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0 && ::recv(fd, reply, sizeof reply, 0) > 0)
                held.push_back(fd);
        }
        const long long after = statusField(server->pid(), "VmRSS");
        std::printf("| %s | %lld | %lld | %lld | %.1f |\n", server == &floor ? "floor" : "Kestrel", before, after,
                    statusField(server->pid(), "Threads"), double(after - before) / double(held.size()));
        for (int fd : held)
            ::close(fd);
    }
}

// The live port against polling: clients watch all twenty controllers ten
// times a second; every half second Headlights (8) changes, and the delay
// until each client sees the new value is taken. The change is made through
// Kestrel (a framed set, a live set, both of which the live port reads again
// at once) or in the simulator itself (the stand-in's driver file, which the
// live port sees at its next read).
void live(const Options& options)
{
    enum class Change { Framed, Live, Simulator };
    const auto name = [](Change change) {
        return change == Change::Framed ? "framed set" : change == Change::Live ? "live set" : "in the simulator";
    };
    std::printf("\n#### Push against polling: 20 controllers at 10 Hz, ten changes half a second apart\n\n"
                "| clients | how | change made | delay p50 (ms) | delay p99 (ms) | kestreld CPU | library calls/s |\n"
                "|---:|---|---|---:|---:|---:|---:|\n");
    for (bool push : {true, false}) {
        for (int count : options.subscribers) {
            Kestreld kestreld;
            if (!kestreld.start(options, false, {"--live-port", "0"})) {
                std::fprintf(stderr, "kestrel-bench: kestreld did not start\n");
                return;
            }
            QString ids;
            for (int i = 0; i < 20; ++i)
                ids += (i ? QStringLiteral(":") : QString()) + QString::number(i);

            double value = -1; // no change yet: the values a client gets on subscribing are not counted
            int ready = 0;
            Clock::time_point changed = Clock::now();
            std::vector<double> delays;
            std::vector<double> seen(size_t(count), -1);
            auto saw = [&](int client, double shown) {
                if (shown == value && seen[size_t(client)] != value) {
                    seen[size_t(client)] = value;
                    delays.push_back(microsecondsSince(changed) / 1000);
                }
            };
            const QUrl liveUrl(QStringLiteral("ws://127.0.0.1:%1/live/v1").arg(kestreld.livePort));
            std::vector<std::unique_ptr<QWebSocket>> sockets;
            std::vector<std::unique_ptr<QTcpSocket>> pollers;
            for (int i = 0; i < count; ++i) {
                if (push) {
                    sockets.push_back(std::make_unique<QWebSocket>());
                    QWebSocket* socket = sockets.back().get();
                    QObject::connect(socket, &QWebSocket::textMessageReceived, [&, i, socket](const QString& text) {
                        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
                        ready += message.value("type") == "subscribed" ? 1 : 0;
                        if (message.value("type") == "hello")
                            socket->sendTextMessage(QStringLiteral("{\"type\":\"subscribe\",\"controllers\":[%1],\"period\":100}")
                                                        .arg(QString(ids).replace(':', ',')));
                        const QJsonValue shown = message.value("values").toObject().value("8");
                        if (!shown.isUndefined())
                            saw(i, shown.toDouble());
                    });
                    // One at a time: the live port takes a bounded number of
                    // connections that have not finished their handshake.
                    socket->open(liveUrl);
                    static_cast<void>(QTest::qWaitFor([socket] { return socket->state() == QAbstractSocket::ConnectedState; }, 5000));
                } else {
                    pollers.push_back(std::make_unique<QTcpSocket>());
                    QTcpSocket* socket = pollers.back().get();
                    socket->connectToHost(QHostAddress::LocalHost, kestreld.server.port());
                    QObject::connect(socket, &QTcpSocket::readyRead, [&, i, socket] {
                        static const QRegularExpression record(QStringLiteral("::8:([^:]*)::"));
                        const QRegularExpressionMatch match = record.match(QString::fromLatin1(socket->readAll()));
                        if (match.hasMatch())
                            saw(i, match.captured(1).toDouble());
                    });
                    auto* timer = new QTimer(socket);
                    QObject::connect(timer, &QTimer::timeout, [socket, &ids] {
                        socket->write(bench::frame(6, 1, ids.toStdString()).c_str());
                    });
                    timer->start(100);
                    ready += socket->waitForConnected(5000) ? 1 : 0;
                }
            }
            if (!QTest::qWaitFor([&] { return ready == count; }, 10000))
                std::printf("  (only %d of %d clients ready)\n", ready, count);
            // The setters are no subscribers: the framed one is not on the live
            // port, the live one subscribes to nothing.
            QTcpSocket framedSetter;
            framedSetter.connectToHost(QHostAddress::LocalHost, kestreld.server.port());
            QWebSocket liveSetter;
            liveSetter.open(liveUrl);
            static_cast<void>(QTest::qWaitFor([&] { return liveSetter.state() == QAbstractSocket::ConnectedState; }, 5000));
            for (Change change : push ? QList<Change>{Change::Framed, Change::Live, Change::Simulator} : QList<Change>{Change::Framed}) {
                delays.clear();
                const double cpuBefore = cpuSeconds(kestreld.server.pid());
                const long long callsBefore = kestreld.libraryCalls();
                const Clock::time_point start = Clock::now();
                for (int step = 1; step <= 10; ++step) {
                    value = value == 2 ? 0 : value + 1; // 0, 1, 2, 0, ...: every step a change
                    changed = Clock::now();
                    if (change == Change::Framed)
                        framedSetter.write(bench::frame(8, 1, "8:" + std::to_string(int(value))).c_str());
                    else if (change == Change::Live)
                        liveSetter.sendTextMessage(QStringLiteral("{\"type\":\"set\",\"controller\":8,\"value\":%1,\"code\":\"%2\"}")
                                                       .arg(int(value)).arg(kestreld.controlCode));
                    else
                        kestreld.drive(8, value);
                    // An event loop, not QTest::qWait(), which sleeps 10 ms between its looks.
                    QEventLoop wait;
                    QTimer::singleShot(500, &wait, &QEventLoop::quit);
                    wait.exec();
                    framedSetter.readAll();
                }
                const double elapsed = microsecondsSince(start) / 1e6;
                std::printf("| %d | %s | %s | %.1f | %.1f | %.0f %% | %.0f |\n", count, push ? "push" : "poll", name(change),
                            percentile(delays, 0.5), percentile(delays, 0.99),
                            100 * (cpuSeconds(kestreld.server.pid()) - cpuBefore) / elapsed,
                            double(kestreld.libraryCalls() - callsBefore) / elapsed);
                if (delays.size() < size_t(count) * 9)
                    std::printf("  (%zu of %d changes seen)\n", delays.size(), count * 10);
            }
        }
    }
}

QList<int> numbers(const QString& text)
{
    QList<int> list;
    for (const QString& item : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        list << item.toInt();
    return list;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Kestrel's benchmark: table, idle and live, each beside a baseline."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("sections"), QStringLiteral("table, idle, live (default: all)"));
    const QCommandLineOption connections(QStringLiteral("connections"), QStringLiteral("Connection counts of the table."),
                                         QStringLiteral("N,..."), QStringLiteral("1,16,64"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Measured time of each run."),
                                     QStringLiteral("S"), QStringLiteral("2"));
    const QCommandLineOption idleCount(QStringLiteral("idle"), QStringLiteral("Idle connections for the memory figure."),
                                       QStringLiteral("N"), QStringLiteral("1000"));
    const QCommandLineOption subscribers(QStringLiteral("subscribers"), QStringLiteral("Client counts of the live figures."),
                                         QStringLiteral("N,..."), QStringLiteral("1,10,100"));
    const QCommandLineOption kestreld(QStringLiteral("kestreld"), QStringLiteral("The kestreld to measure."),
                                      QStringLiteral("PATH"), QStringLiteral(KESTREL_BENCH_KESTRELD));
    const QCommandLineOption floor(QStringLiteral("floor"), QStringLiteral("The floor server."), QStringLiteral("PATH"),
                                   QStringLiteral(KESTREL_BENCH_FLOOR));
    const QCommandLineOption library(QStringLiteral("library"), QStringLiteral("The stand-in library."),
                                     QStringLiteral("PATH"), QStringLiteral(KESTREL_BENCH_LIBRARY));
    parser.addOptions({connections, seconds, idleCount, subscribers, kestreld, floor, library});
    parser.process(app);

    Options options;
    options.kestreld = parser.value(kestreld);
    options.floor = parser.value(floor);
    options.library = parser.value(library);
    options.connections = numbers(parser.value(connections));
    options.subscribers = numbers(parser.value(subscribers));
    options.seconds = parser.value(seconds).toDouble();
    options.idle = parser.value(idleCount).toInt();
    QStringList sections = parser.positionalArguments();
    if (sections.isEmpty())
        sections = QStringList{QStringLiteral("table"), QStringLiteral("idle"), QStringLiteral("live")};
    std::printf("kestrel-bench on %d cores, load average %s", int(sysconf(_SC_NPROCESSORS_ONLN)),
                [] { QFile f(QStringLiteral("/proc/loadavg")); f.open(QIODevice::ReadOnly); return f.readAll(); }().constData());
    if (sections.contains(QStringLiteral("table")))
        table(options);
    if (sections.contains(QStringLiteral("idle")))
        idle(options);
    if (sections.contains(QStringLiteral("live")))
        live(options);
    return 0;
}
