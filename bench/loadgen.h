#pragma once

// The load generator: N connections, one request in flight on each, every
// reply compared with the bytes it is owed. One thread and epoll, so that
// the generator takes as little of the machine as it can from the server
// under test.

#include "benchcases.h"
#include "latency.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// What has arrived on one connection against the reply it is owed. Bytes
// are checked as they come: a wrong byte is found at once, not only when
// the reply is complete; bytes beyond the reply count as wrong too.
class ReplyCheck
{
public:
    enum class State { Waiting, Complete, Wrong };

    void expect(const std::string& reply);
    State feed(const char* bytes, size_t size);
    State state() const { return m_state; }
    // "expected <bytes>, received <bytes>" for a failure report.
    std::string describe() const;

private:
    std::string m_expected;
    std::string m_received;
    State m_state = State::Waiting;
};

struct LoadOptions
{
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    int connections = 1;
    RequestKind kind = RequestKind::ControllerValues;
    double warmupSeconds = 1.0;
    double measureSeconds = 3.0;
    // When above 0: exactly this many requests over all connections, all
    // of them counted, no warm-up and no time limit (for profiling runs).
    uint64_t requests = 0;
    int replyTimeoutMs = 10000;
};

struct LoadResult
{
    bool ok = false;        // false: the run itself failed (see error)
    std::string error;
    uint64_t completed = 0; // right replies within the measured time
    uint64_t replies = 0;   // right replies over the whole run, warm-up included
    double seconds = 0;     // the measured time
    double perSecond = 0;
    LatencySummary latency;
    // Wrong, missing or late replies and connections the server closed,
    // over the whole run, warm-up included.
    uint64_t failures = 0;
    std::vector<std::string> failureNotes; // the first few
};

LoadResult runLoad(const LoadOptions& options);

// A blocking connect, then non-blocking with TCP_NODELAY; -1 on failure.
int connectTo(const std::string& host, uint16_t port, std::string* error);

// Sends all of `bytes` on a blocking or non-blocking socket, waiting while the
// socket is full; reads exactly `size` bytes into `out` within timeoutMs.
bool sendAll(int fd, const std::string& bytes, int timeoutMs);
bool receiveExactly(int fd, size_t size, std::string* out, int timeoutMs);

uint64_t monotonicNs();

} // namespace bench
