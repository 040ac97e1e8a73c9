#include "loadgen.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

uint64_t monotonicNs()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

// ---- ReplyCheck -------------------------------------------------------------

void ReplyCheck::expect(const std::string& reply)
{
    m_expected = reply;
    m_received.clear();
    m_state = State::Waiting;
}

ReplyCheck::State ReplyCheck::feed(const char* bytes, size_t size)
{
    if (m_state != State::Waiting)
        return m_state = State::Wrong; // anything after the reply is too much
    const size_t offset = m_received.size();
    m_received.append(bytes, size);
    if (m_received.size() > m_expected.size()
        || std::memcmp(m_received.data() + offset, m_expected.data() + offset, size) != 0) {
        m_state = State::Wrong;
    } else if (m_received.size() == m_expected.size()) {
        m_state = State::Complete;
    }
    return m_state;
}

std::string ReplyCheck::describe() const
{
    return "expected \"" + printable(m_expected.data(), m_expected.size()) + "\", received \""
        + printable(m_received.data(), m_received.size()) + "\"";
}

// ---- sockets ----------------------------------------------------------------

int connectTo(const std::string& host, uint16_t port, std::string* error)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        *error = "not an IPv4 address: " + host;
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = std::string("connect: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

namespace {

bool waitFor(int fd, short events, int timeoutMs)
{
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, timeoutMs) > 0;
}

} // namespace

bool sendAll(int fd, const std::string& bytes, int timeoutMs)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, timeoutMs))
                return false;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool receiveExactly(int fd, size_t size, std::string* out, int timeoutMs)
{
    out->clear();
    const uint64_t deadline = monotonicNs() + uint64_t(timeoutMs) * 1000000u;
    char buffer[4096];
    while (out->size() < size) {
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, size - out->size()), 0);
        if (n > 0) {
            out->append(buffer, size_t(n));
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        const uint64_t now = monotonicNs();
        if (now >= deadline || !waitFor(fd, POLLIN, int((deadline - now) / 1000000u) + 1))
            return false;
    }
    return true;
}

// ---- the load loop ----------------------------------------------------------

namespace {

constexpr size_t kMaxFailureNotes = 5;

struct Connection
{
    int fd = -1;
    bool busy = false; // a request is in flight
    uint64_t startedNs = 0;
    std::string request;
    std::string reply; // scratch: the reply owed, before the check takes it
    size_t sent = 0;
    ReplyCheck check;
};

class LoadRun
{
public:
    explicit LoadRun(const LoadOptions& options)
        : m_options(options)
        , m_case(requestCase(options.kind))
    {
    }

    ~LoadRun()
    {
        for (Connection& c : m_connections) {
            if (c.fd >= 0)
                ::close(c.fd);
        }
        if (m_epoll >= 0)
            ::close(m_epoll);
    }

    LoadResult run();

private:
    bool open(size_t index);
    void issue(size_t index);
    void writeRequest(size_t index);
    void readReply(size_t index);
    void fail(size_t index, const std::string& note);
    void checkTimeouts(uint64_t now);
    bool finished(uint64_t now) const;

    const LoadOptions& m_options;
    const RequestCase& m_case;
    LoadResult m_result;
    std::vector<Connection> m_connections;
    std::vector<uint64_t> m_latencies;
    int m_epoll = -1;
    uint32_t m_nextTag = 1;
    uint64_t m_issued = 0;
    uint64_t m_settled = 0; // fixed-count runs: replies in, right or wrong
    uint64_t m_measureFromNs = 0;
    uint64_t m_measureToNs = 0;
    bool m_fatal = false;
};

bool LoadRun::open(size_t index)
{
    Connection& c = m_connections[index];
    std::string error;
    c.fd = connectTo(m_options.host, m_options.port, &error);
    if (c.fd < 0) {
        m_result.error = error;
        m_fatal = true;
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = index;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, c.fd, &event);
    return true;
}

void LoadRun::issue(size_t index)
{
    Connection& c = m_connections[index];
    if (m_options.requests > 0 && m_issued >= m_options.requests) {
        c.busy = false;
        return;
    }
    ++m_issued;
    const uint32_t tag = m_nextTag;
    m_nextTag = (m_nextTag + 1) % kTagLimit;
    c.request.assign(m_case.request);
    c.reply.assign(m_case.reply);
    if (m_case.tagOffset >= 0) {
        writeTag(&c.request[size_t(m_case.tagOffset)], tag);
        writeTag(&c.reply[size_t(m_case.tagOffset)], tag);
    }
    c.check.expect(c.reply);
    c.sent = 0;
    c.busy = true;
    c.startedNs = monotonicNs();
    writeRequest(index);
}

void LoadRun::writeRequest(size_t index)
{
    Connection& c = m_connections[index];
    while (c.sent < c.request.size()) {
        const ssize_t n = ::send(c.fd, c.request.data() + c.sent, c.request.size() - c.sent, MSG_NOSIGNAL);
        if (n > 0) {
            c.sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            epoll_event event{};
            event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
            event.data.u64 = index;
            ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, c.fd, &event);
            return;
        }
        fail(index, std::string("send: ") + std::strerror(errno));
        return;
    }
}

void LoadRun::readReply(size_t index)
{
    Connection& c = m_connections[index];
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            if (!c.busy) {
                fail(index, "bytes nobody asked for: \"" + printable(buffer, size_t(n)) + "\"");
                return;
            }
            const ReplyCheck::State state = c.check.feed(buffer, size_t(n));
            if (state == ReplyCheck::State::Wrong) {
                fail(index, "wrong reply: " + c.check.describe());
                return;
            }
            if (state == ReplyCheck::State::Complete) {
                // Read the clock again: the loop may already be on the reply
                // to a request sent after `now` was taken.
                const uint64_t done = monotonicNs();
                c.busy = false;
                ++m_settled;
                ++m_result.replies;
                if (m_options.requests > 0 || (done >= m_measureFromNs && done < m_measureToNs)) {
                    ++m_result.completed;
                    m_latencies.push_back(done - c.startedNs);
                }
                issue(index);
            }
            continue;
        }
        if (n == 0) {
            fail(index, c.busy ? "connection closed before the reply was complete: " + c.check.describe()
                               : std::string("connection closed by the server"));
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            fail(index, std::string("recv: ") + std::strerror(errno));
        return;
    }
}

void LoadRun::fail(size_t index, const std::string& note)
{
    ++m_result.failures;
    if (m_result.failureNotes.size() < kMaxFailureNotes)
        m_result.failureNotes.push_back(note);
    Connection& c = m_connections[index];
    if (c.busy)
        ++m_settled;
    c.busy = false;
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    c.fd = -1;
    // A new connection carries on, so that one bad reply does not leave
    // the rest of the run with fewer connections.
    if (open(index))
        issue(index);
}

void LoadRun::checkTimeouts(uint64_t now)
{
    const uint64_t limit = uint64_t(m_options.replyTimeoutMs) * 1000000u;
    for (size_t i = 0; i < m_connections.size() && !m_fatal; ++i) {
        const Connection& c = m_connections[i];
        if (c.busy && now > c.startedNs && now - c.startedNs > limit)
            fail(i, "no reply within " + std::to_string(m_options.replyTimeoutMs) + " ms: " + c.check.describe());
    }
}

bool LoadRun::finished(uint64_t now) const
{
    if (m_fatal)
        return true;
    if (m_options.requests > 0)
        return m_settled >= m_options.requests;
    return now >= m_measureToNs;
}

LoadResult LoadRun::run()
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_connections.resize(size_t(std::max(m_options.connections, 1)));
    for (size_t i = 0; i < m_connections.size(); ++i) {
        if (!open(i))
            return m_result;
    }
    if (m_options.requests == 0)
        m_latencies.reserve(1 << 20);
    else
        m_latencies.reserve(size_t(m_options.requests));

    const uint64_t startNs = monotonicNs();
    m_measureFromNs = startNs + uint64_t(m_options.warmupSeconds * 1e9);
    m_measureToNs = m_measureFromNs + uint64_t(m_options.measureSeconds * 1e9);
    for (size_t i = 0; i < m_connections.size(); ++i)
        issue(i);

    std::vector<epoll_event> events(m_connections.size());
    uint64_t lastTimeoutScan = startNs;
    uint64_t now = startNs;
    while (!finished(now)) {
        const int count = ::epoll_wait(m_epoll, events.data(), int(events.size()), 50);
        now = monotonicNs();
        for (int e = 0; e < count && !m_fatal; ++e) {
            const size_t index = size_t(events[size_t(e)].data.u64);
            Connection& c = m_connections[index];
            if (c.fd < 0)
                continue;
            const uint32_t what = events[size_t(e)].events;
            if (what & EPOLLOUT) {
                epoll_event event{};
                event.events = EPOLLIN | EPOLLRDHUP;
                event.data.u64 = index;
                ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, c.fd, &event);
                writeRequest(index);
            }
            if (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                readReply(index);
        }
        if (now - lastTimeoutScan > 100000000u) {
            checkTimeouts(now);
            lastTimeoutScan = now;
        }
    }

    if (m_options.requests > 0)
        m_result.seconds = double(now - startNs) / 1e9;
    else
        m_result.seconds = double(std::min(now, m_measureToNs) - m_measureFromNs) / 1e9;
    m_result.perSecond = m_result.seconds > 0 ? double(m_result.completed) / m_result.seconds : 0;
    m_result.latency = summarise(m_latencies);
    m_result.ok = !m_fatal;
    return m_result;
}

} // namespace

LoadResult runLoad(const LoadOptions& options)
{
    LoadRun run(options);
    return run.run();
}

} // namespace bench
