// kestrel-bench: load, latency and scale figures for Kestrel's headless
// server, each beside the same figure for a minimal server of our own
// (kestrel-floor) measured in the same run.
//
//   kestrel-bench table      throughput and latency, Kestrel and floor pair by pair
//   kestrel-bench scale      resident memory per idle connection, connections per second
//   kestrel-bench callgrind  instructions per request, kestreld under callgrind
//   kestrel-bench load       one load run against a server that already runs
//   kestrel-bench all        table, then scale
//
// Both servers serve the stand-in library with a frozen locomotive, so every
// reply is checked byte for byte; a wrong or missing reply is counted as a
// failure and printed.

#include "benchcases.h"
#include "loadgen.h"
#include "serverprocess.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <signal.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

struct Options
{
    std::string command;
    std::string kestreld = KESTREL_BENCH_KESTRELD;
    std::string floor = KESTREL_BENCH_FLOOR;
    std::string library = KESTREL_BENCH_LIBRARY;
    std::string valgrind = "valgrind";
    std::string host = "127.0.0.1";
    std::string out = ".";
    uint16_t port = 0;
    std::vector<int> connections = {1, 16, 64, 256};
    std::vector<RequestKind> kinds = allKinds();
    std::vector<uint64_t> requests = {500, 2500};
    double warmup = 0.5;
    double seconds = 2.0;
    int rounds = 3;
    uint64_t count = 0; // load: a fixed number of requests instead of a time
    int idleConnections = 1000;
    int acceptParallel = 4;
};

const char* const kUsage =
    "usage: kestrel-bench table|scale|all|callgrind|load [options]\n"
    "  --connections 1,16,64,256   connection counts (load: the first one)\n"
    "  --kinds frame6,frame4,text  request kinds (load: the first one)\n"
    "  --warmup S --seconds S      warm-up and measured time per run\n"
    "  --rounds R                  table: Kestrel/floor pairs per figure, reported as medians (3)\n"
    "  --idle N                    connections held for the memory figure (1000)\n"
    "  --parallel N                connections opened at once for the accept rate (4)\n"
    "  --requests A,B              callgrind: the two fixed request counts (500,2500)\n"
    "  --valgrind PATH --out DIR   callgrind: valgrind to run, where its files go\n"
    "  --kestreld PATH --floor PATH --library PATH   the programs and the stand-in library\n"
    "  --host H --port P           load: the server to load\n"
    "  --count N                   load: exactly N requests, all counted, no warm-up\n";

template <typename T>
bool parseList(const std::string& text, std::vector<T>* out, const std::function<bool(const std::string&, T*)>& one)
{
    out->clear();
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        T value{};
        if (!one(item, &value))
            return false;
        out->push_back(value);
    }
    return !out->empty();
}

bool parseOptions(int argc, char** argv, Options* options)
{
    if (argc < 2)
        return false;
    options->command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        auto toInt = [](const std::string& s, int* v) { char* end = nullptr; *v = int(std::strtol(s.c_str(), &end, 10)); return *end == 0 && *v > 0; };
        auto toCount = [](const std::string& s, uint64_t* v) { char* end = nullptr; *v = std::strtoull(s.c_str(), &end, 10); return *end == 0 && *v > 0; };
        if (name == "--connections") {
            if (!parseList<int>(value, &options->connections, toInt))
                return false;
        } else if (name == "--kinds") {
            if (!parseList<RequestKind>(value, &options->kinds, kindFromName))
                return false;
        } else if (name == "--requests") {
            if (!parseList<uint64_t>(value, &options->requests, toCount) || options->requests.size() != 2
                || options->requests[0] >= options->requests[1])
                return false;
        } else if (name == "--count") {
            if (!toCount(value, &options->count))
                return false;
        } else if (name == "--warmup") {
            options->warmup = std::atof(value.c_str());
        } else if (name == "--seconds") {
            options->seconds = std::atof(value.c_str());
        } else if (name == "--rounds") {
            if (!toInt(value, &options->rounds))
                return false;
        } else if (name == "--idle") {
            if (!toInt(value, &options->idleConnections))
                return false;
        } else if (name == "--parallel") {
            if (!toInt(value, &options->acceptParallel))
                return false;
        } else if (name == "--kestreld") {
            options->kestreld = value;
        } else if (name == "--floor") {
            options->floor = value;
        } else if (name == "--library") {
            options->library = value;
        } else if (name == "--valgrind") {
            options->valgrind = value;
        } else if (name == "--out") {
            options->out = value;
        } else if (name == "--host") {
            options->host = value;
        } else if (name == "--port") {
            options->port = uint16_t(std::atoi(value.c_str()));
        } else {
            return false;
        }
    }
    return true;
}

// ---- servers ------------------------------------------------------------------

struct Servers
{
    BenchFolder folder;
    ServerProcess kestrel;
    ServerProcess floor;
};

bool startKestrel(const Options& options, const BenchFolder& folder, ServerProcess* server,
                  const std::vector<std::string>& prefix = {}, int timeoutMs = 20000)
{
    std::vector<std::string> command = prefix;
    command.insert(command.end(), {options.kestreld, "--port", "0", "--simulator-path", folder.simulatorPath()});
    std::string error;
    if (!server->start(command, folder.workPath(), timeoutMs, &error)) {
        std::fprintf(stderr, "kestrel-bench: kestreld: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool startFloor(const Options& options, ServerProcess* server)
{
    std::string error;
    if (!server->start({options.floor, "--port", "0"}, std::string(), 10000, &error)) {
        std::fprintf(stderr, "kestrel-bench: kestrel-floor: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool makeFolder(const Options& options, BenchFolder* folder)
{
    std::string error;
    if (!folder->create(options.library, &error)) {
        std::fprintf(stderr, "kestrel-bench: %s\n", error.c_str());
        return false;
    }
    return true;
}

void reportFailures(const char* server, const LoadResult& result)
{
    if (!result.ok)
        std::fprintf(stderr, "kestrel-bench: %s: %s\n", server, result.error.c_str());
    for (const std::string& note : result.failureNotes)
        std::fprintf(stderr, "kestrel-bench: %s: %s\n", server, note.c_str());
}

std::string ratio(double kestrel, double floor)
{
    if (floor <= 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", kestrel / floor);
    return text;
}

std::string number(double value, int decimals = 0)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// ---- table ----------------------------------------------------------------------

// One row of the table: `rounds` pairs of runs, Kestrel and the floor back to
// back (the order alternating, so that neither always runs first), reported
// as medians; a ratio is the median of the rounds' own ratios, so noise that
// strikes both runs of a pair cancels out.
struct PairFigures
{
    std::vector<double> kestrel;
    std::vector<double> floor;
    std::vector<double> ratios;

    void add(double k, double f)
    {
        kestrel.push_back(k);
        floor.push_back(f);
        if (f > 0)
            ratios.push_back(k / f);
    }
    std::string cells(int decimals = 0) const
    {
        return number(median(kestrel), decimals) + " | " + number(median(floor), decimals) + " | "
            + (ratios.empty() ? std::string("-") : number(median(ratios), 2));
    }
};

int runTable(const Options& options)
{
    Servers servers;
    if (!makeFolder(options, &servers.folder) || !startKestrel(options, servers.folder, &servers.kestrel)
        || !startFloor(options, &servers.floor))
        return 1;

    uint64_t failures = 0;
    std::printf("Each figure is the median of %d rounds; a round runs Kestrel and the floor back to back (the order\n"
                "alternating), each %.1f s warm-up then %.1f s measured. K/F is the median of the rounds' ratios\n"
                "Kestrel/floor. Latencies in microseconds.\n",
                options.rounds, options.warmup, options.seconds);
    for (RequestKind kind : options.kinds) {
        const RequestCase& c = requestCase(kind);
        std::printf("\n#### %s\n\n", c.title);
        std::printf("| N | Kestrel req/s | floor req/s | K/F | Kestrel p50 | floor p50 | K/F | Kestrel p99 | "
                    "floor p99 | K/F | Kestrel p99.9 | floor p99.9 | K/F | failures | log lines/req |\n");
        std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        std::fflush(stdout);
        for (int connections : options.connections) {
            LoadOptions load;
            load.host = options.host;
            load.connections = connections;
            load.kind = kind;
            load.warmupSeconds = options.warmup;
            load.measureSeconds = options.seconds;

            PairFigures throughput, p50, p99, p999;
            uint64_t kestrelFailures = 0;
            uint64_t floorFailures = 0;
            uint64_t lines = 0;
            uint64_t replies = 0;
            for (int round = 0; round < options.rounds; ++round) {
                LoadResult k, f;
                auto runKestrel = [&] {
                    const uint64_t linesBefore = servers.kestrel.outputLines();
                    load.port = servers.kestrel.port();
                    k = runLoad(load);
                    // Let the log reader catch up before counting lines.
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    lines += servers.kestrel.outputLines() - linesBefore;
                    replies += k.replies;
                };
                auto runFloor = [&] {
                    load.port = servers.floor.port();
                    f = runLoad(load);
                };
                if (round % 2 == 0) {
                    runKestrel();
                    runFloor();
                } else {
                    runFloor();
                    runKestrel();
                }
                reportFailures("Kestrel", k);
                reportFailures("floor", f);
                if (!k.ok || !f.ok)
                    return 1;
                kestrelFailures += k.failures;
                floorFailures += f.failures;
                throughput.add(k.perSecond, f.perSecond);
                p50.add(k.latency.p50Us, f.latency.p50Us);
                p99.add(k.latency.p99Us, f.latency.p99Us);
                p999.add(k.latency.p999Us, f.latency.p999Us);
            }
            failures += kestrelFailures + floorFailures;
            std::printf("| %d | %s | %s | %s | %s | %" PRIu64 "/%" PRIu64 " | %s |\n", connections,
                        throughput.cells().c_str(), p50.cells().c_str(), p99.cells().c_str(), p999.cells().c_str(),
                        kestrelFailures, floorFailures,
                        replies > 0 ? number(double(lines) / double(replies), 2).c_str() : "-");
            std::fflush(stdout);
        }
    }
    std::printf("\nFailed or wrong replies, all runs: %" PRIu64 " (failures column: Kestrel/floor)\n", failures);
    const bool cleanExit = servers.kestrel.stop();
    if (!cleanExit)
        std::fprintf(stderr, "kestrel-bench: kestreld did not end cleanly on SIGTERM\n");
    servers.floor.stop();
    return failures == 0 && cleanExit ? 0 : 1;
}

// ---- scale ----------------------------------------------------------------------

struct IdleFigure
{
    bool ok = false;
    long rssBeforeKb = 0;
    long rssAfterKb = 0;
    long threadsBefore = 0;
    long threadsAfter = 0;
    int failures = 0;
};

// One connection with one exchange, closed; then `count` connections that
// each make one exchange and stay open, idle.
IdleFigure idleMemory(const Options& options, const ServerProcess& server)
{
    IdleFigure figure;
    const RequestCase& c = requestCase(RequestKind::ControllerValues);
    auto exchange = [&](int fd, uint32_t tag) {
        std::string reply;
        return sendAll(fd, requestFor(c, tag), 10000) && receiveExactly(fd, c.reply.size(), &reply, 10000)
            && reply == replyFor(c, tag);
    };
    std::string error;
    const int first = connectTo(options.host, server.port(), &error);
    if (first < 0 || !exchange(first, 1)) {
        std::fprintf(stderr, "kestrel-bench: first exchange failed %s\n", error.c_str());
        return figure;
    }
    ::close(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    figure.rssBeforeKb = statusField(server.pid(), "VmRSS");
    figure.threadsBefore = statusField(server.pid(), "Threads");

    std::vector<int> fds;
    for (int i = 0; i < options.idleConnections; ++i) {
        const int fd = connectTo(options.host, server.port(), &error);
        if (fd < 0) {
            std::fprintf(stderr, "kestrel-bench: connection %d: %s\n", i, error.c_str());
            break;
        }
        fds.push_back(fd);
        if (!exchange(fd, uint32_t(i + 2)))
            ++figure.failures;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    figure.rssAfterKb = statusField(server.pid(), "VmRSS");
    figure.threadsAfter = statusField(server.pid(), "Threads");
    for (int fd : fds)
        ::close(fd);
    figure.ok = int(fds.size()) == options.idleConnections;
    return figure;
}

// Connections opened, served one request and closed by the client, as many
// as `parallel` at once; answers connections per second.
double acceptRate(const Options& options, const ServerProcess& server, uint64_t* failures)
{
    const RequestCase& c = requestCase(RequestKind::ControllerValues);
    std::atomic<uint64_t> counted{0};
    std::atomic<uint64_t> failed{0};
    const uint64_t start = monotonicNs();
    const uint64_t measureFrom = start + uint64_t(options.warmup * 1e9);
    const uint64_t measureTo = measureFrom + uint64_t(options.seconds * 1e9);
    std::vector<std::thread> workers;
    for (int w = 0; w < options.acceptParallel; ++w) {
        workers.emplace_back([&, w] {
            uint32_t tag = uint32_t(w) * 100000u;
            std::string error;
            std::string reply;
            for (;;) {
                const uint64_t begin = monotonicNs();
                if (begin >= measureTo)
                    break;
                const int fd = connectTo(options.host, server.port(), &error);
                ++tag;
                const bool right = fd >= 0 && sendAll(fd, requestFor(c, tag), 10000)
                    && receiveExactly(fd, c.reply.size(), &reply, 10000) && reply == replyFor(c, tag);
                if (fd >= 0)
                    ::close(fd);
                if (!right) {
                    ++failed;
                    continue;
                }
                if (begin >= measureFrom && monotonicNs() < measureTo)
                    ++counted;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    *failures = failed;
    return double(counted) / options.seconds;
}

int runScale(const Options& options)
{
    const long openFiles = raiseOpenFileLimit();
    if (openFiles < 2 * options.idleConnections + 100) {
        std::fprintf(stderr, "kestrel-bench: open-file limit %ld is too low for %d connections; raise ulimit -n\n",
                     openFiles, options.idleConnections);
        return 1;
    }
    int status = 0;
    std::printf("\n#### Resident memory per idle connection (%d connections)\n\n", options.idleConnections);
    std::printf("Each connection makes one framed code 6 exchange, then stays open and idle. VmRSS of the server\n"
                "process before (after one exchange on a closed connection) and after, from /proc/<pid>/status.\n\n");
    std::printf("| server | RSS before (KB) | RSS after (KB) | threads before | threads after | KB per connection | failures |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (int which = 0; which < 2; ++which) {
        BenchFolder folder;
        ServerProcess server;
        if (!makeFolder(options, &folder)
            || !(which == 0 ? startKestrel(options, folder, &server) : startFloor(options, &server)))
            return 1;
        const IdleFigure figure = idleMemory(options, server);
        if (!figure.ok || figure.failures > 0)
            status = 1;
        std::printf("| %s | %ld | %ld | %ld | %ld | %s | %d |\n", which == 0 ? "Kestrel" : "floor", figure.rssBeforeKb,
                    figure.rssAfterKb, figure.threadsBefore, figure.threadsAfter,
                    number(double(figure.rssAfterKb - figure.rssBeforeKb) / options.idleConnections, 1).c_str(),
                    figure.failures);
        std::fflush(stdout);
        if (which == 0 && !server.stop())
            std::fprintf(stderr, "kestrel-bench: kestreld did not end cleanly on SIGTERM\n");
    }

    std::printf("\n#### Connections per second\n\n");
    std::printf("Connect, one framed code 6 exchange, close (by the client); %d connections at a time,\n"
                "%.1f s warm-up, %.1f s measured. Kestrel, then the floor, each on a fresh process.\n\n",
                options.acceptParallel, options.warmup, options.seconds);
    std::printf("| server | connections/s | failures |\n|---|---:|---:|\n");
    double rates[2] = {0, 0};
    for (int which = 0; which < 2; ++which) {
        BenchFolder folder;
        ServerProcess server;
        if (!makeFolder(options, &folder)
            || !(which == 0 ? startKestrel(options, folder, &server) : startFloor(options, &server)))
            return 1;
        uint64_t failures = 0;
        rates[which] = acceptRate(options, server, &failures);
        if (failures > 0)
            status = 1;
        std::printf("| %s | %s | %" PRIu64 " |\n", which == 0 ? "Kestrel" : "floor", number(rates[which]).c_str(),
                    failures);
        std::fflush(stdout);
    }
    std::printf("\nKestrel/floor: %s\n", ratio(rates[0], rates[1]).c_str());
    return status;
}

// ---- callgrind ------------------------------------------------------------------

// The "summary:" (or "totals:") line of a callgrind output file: instructions
// of the whole run, every thread.
uint64_t callgrindTotal(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    uint64_t total = 0;
    while (std::getline(in, line)) {
        if (line.compare(0, 8, "summary:") == 0)
            return std::strtoull(line.c_str() + 8, nullptr, 10);
        if (line.compare(0, 7, "totals:") == 0)
            total = std::strtoull(line.c_str() + 7, nullptr, 10);
    }
    return total;
}

int runCallgrind(const Options& options)
{
    std::printf("| request | Ir, %" PRIu64 " requests | Ir, %" PRIu64 " requests | Ir per request |\n",
                options.requests[0], options.requests[1]);
    std::printf("|---|---:|---:|---:|\n");
    int status = 0;
    for (RequestKind kind : options.kinds) {
        uint64_t totals[2] = {0, 0};
        for (int run = 0; run < 2; ++run) {
            BenchFolder folder;
            if (!makeFolder(options, &folder))
                return 1;
            const std::string file = options.out + "/callgrind." + requestCase(kind).name + "."
                + std::to_string(options.requests[size_t(run)]) + ".out";
            ServerProcess server;
            if (!startKestrel(options, folder, &server,
                              {options.valgrind, "-q", "--tool=callgrind", "--callgrind-out-file=" + file}, 180000))
                return 1;
            LoadOptions load;
            load.host = options.host;
            load.port = server.port();
            load.connections = 1;
            load.kind = kind;
            load.requests = options.requests[size_t(run)];
            load.replyTimeoutMs = 60000;
            const LoadResult result = runLoad(load);
            reportFailures("Kestrel under callgrind", result);
            if (!result.ok || result.failures > 0)
                status = 1;
            if (!server.stop(180000))
                std::fprintf(stderr, "kestrel-bench: kestreld under callgrind did not end cleanly\n");
            totals[run] = callgrindTotal(file);
        }
        const double perRequest =
            double(int64_t(totals[1] - totals[0])) / double(options.requests[1] - options.requests[0]);
        std::printf("| %s | %" PRIu64 " | %" PRIu64 " | %s |\n", requestCase(kind).title, totals[0], totals[1],
                    number(perRequest).c_str());
        std::fflush(stdout);
    }
    return status;
}

// ---- load -------------------------------------------------------------------------

int runSingleLoad(const Options& options)
{
    if (options.port == 0) {
        std::fprintf(stderr, "kestrel-bench: load needs --port\n");
        return 2;
    }
    LoadOptions load;
    load.host = options.host;
    load.port = options.port;
    load.connections = options.connections.front();
    load.kind = options.kinds.front();
    load.warmupSeconds = options.warmup;
    load.measureSeconds = options.seconds;
    load.requests = options.count;
    const LoadResult result = runLoad(load);
    reportFailures("server", result);
    std::printf("kind=%s connections=%d requests=%" PRIu64 " seconds=%.3f per_second=%.0f p50_us=%.1f p99_us=%.1f "
                "p999_us=%.1f max_us=%.1f failures=%" PRIu64 "\n",
                requestCase(load.kind).name, load.connections, result.completed, result.seconds, result.perSecond,
                result.latency.p50Us, result.latency.p99Us, result.latency.p999Us, result.latency.maxUs,
                result.failures);
    return result.ok && result.failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    ::signal(SIGPIPE, SIG_IGN);
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    raiseOpenFileLimit();
    if (options.command == "table")
        return runTable(options);
    if (options.command == "scale")
        return runScale(options);
    if (options.command == "all") {
        const int table = runTable(options);
        const int scale = runScale(options);
        return table != 0 ? table : scale;
    }
    if (options.command == "callgrind")
        return runCallgrind(options);
    if (options.command == "load")
        return runSingleLoad(options);
    std::fputs(kUsage, stderr);
    return 2;
}
