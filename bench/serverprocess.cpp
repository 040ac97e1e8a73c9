#include "serverprocess.h"

#include "benchcases.h"
#include "loadgen.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

// ---- BenchFolder ------------------------------------------------------------

namespace {

bool copyFile(const std::string& from, const std::string& to, std::string* error)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    if (!in || !out) {
        *error = "cannot copy " + from + " to " + to;
        return false;
    }
    out << in.rdbuf();
    return bool(out);
}

bool writeFile(const std::string& path, const std::string& text, std::string* error)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

int removeEntry(const char* path, const struct stat*, int, FTW*)
{
    return ::remove(path);
}

} // namespace

BenchFolder::~BenchFolder()
{
    if (!m_root.empty())
        ::nftw(m_root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool BenchFolder::create(const std::string& library, std::string* error)
{
    char pattern[] = "/tmp/kestrel-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        *error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    m_root = pattern;
    for (const std::string& folder : {simulatorPath(), simulatorPath() + "/plugins", workPath()}) {
        if (::mkdir(folder.c_str(), 0755) != 0) {
            *error = "mkdir " + folder + ": " + std::strerror(errno);
            return false;
        }
    }
    return copyFile(library, simulatorPath() + "/plugins/RailDriver64.dll", error)
        && writeFile(simulatorPath() + "/plugins/railsim.loco", kFrozenLocomotive, error);
}

// ---- ServerProcess ----------------------------------------------------------

uint16_t portFromLine(const std::string& line)
{
    static const char marker[] = "chose port ";
    const size_t at = line.find(marker);
    if (at == std::string::npos)
        return 0;
    const long port = std::strtol(line.c_str() + at + sizeof marker - 1, nullptr, 10);
    return port > 0 && port < 65536 ? uint16_t(port) : 0;
}

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::start(const std::vector<std::string>& command, const std::string& workDir, int timeoutMs,
                          std::string* error)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        if (!workDir.empty() && ::chdir(workDir.c_str()) != 0)
            ::_exit(126);
        std::vector<char*> argv;
        for (const std::string& part : command)
            argv.push_back(const_cast<char*>(part.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "kestrel-bench: cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    m_pid = pid;
    m_output = pipeFds[0];

    // Lines until the port line, within the time limit.
    std::string line;
    const uint64_t deadline = monotonicNs() + uint64_t(timeoutMs) * 1000000u;
    while (m_port == 0) {
        const uint64_t now = monotonicNs();
        pollfd entry{m_output, POLLIN, 0};
        if (now >= deadline || ::poll(&entry, 1, int((deadline - now) / 1000000u) + 1) <= 0) {
            *error = "no port line from " + command.front() + " within " + std::to_string(timeoutMs) + " ms";
            stop(2000);
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::read(m_output, buffer, sizeof buffer);
        if (n <= 0) {
            *error = command.front() + " ended before it named its port";
            stop(2000);
            return false;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (m_port != 0) {
                m_pending += buffer[i];
            } else if (buffer[i] == '\n') {
                m_port = portFromLine(line);
                line.clear();
            } else {
                line += buffer[i];
            }
        }
    }
    // A large pipe, read every few milliseconds: the server's lines wait in
    // it rather than wake the reader once per request, which would take CPU
    // from the server under test.
    ::fcntl(m_output, F_SETPIPE_SZ, 1 << 20);
    m_drain = std::thread([this] { drain(); });
    return true;
}

void ServerProcess::drain()
{
    uint64_t lines = 0;
    for (char c : m_pending)
        lines += c == '\n';
    m_lines = lines;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(m_output, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            lines += buffer[i] == '\n';
        m_lines = lines;
        if (size_t(n) < sizeof buffer)
            ::usleep(5000);
    }
}

bool ServerProcess::stop(int timeoutMs)
{
    if (m_pid <= 0)
        return false;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    bool ended = false;
    const uint64_t deadline = monotonicNs() + uint64_t(timeoutMs) * 1000000u;
    while (monotonicNs() < deadline) {
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            ended = true;
            break;
        }
        ::usleep(10000);
    }
    if (!ended) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
    if (m_drain.joinable())
        m_drain.join();
    if (m_output >= 0)
        ::close(m_output);
    m_output = -1;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- /proc and limits -------------------------------------------------------

long statusField(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

long raiseOpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return long(limit.rlim_cur);
}

} // namespace bench
