#pragma once

// Starting and stopping the servers under test, and the folders they run in.

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace bench {

// A temporary folder with a simulator folder holding a copy of the stand-in
// library and the frozen description file beside it, and an empty working
// directory for kestreld (which reads kestrel.ini there). Removed with the
// object.
class BenchFolder
{
public:
    BenchFolder() = default;
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;
    ~BenchFolder();

    bool create(const std::string& library, std::string* error);
    const std::string& root() const { return m_root; }
    std::string simulatorPath() const { return m_root + "/simulator"; }
    std::string workPath() const { return m_root + "/work"; }

private:
    std::string m_root;
};

// A server program run as a child process. Its standard output is read until
// it names the port the system chose ("... chose port N"); after that a
// thread keeps reading it, so that a server that logs every request never
// blocks on a full pipe, and counts the lines.
class ServerProcess
{
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess();

    bool start(const std::vector<std::string>& command, const std::string& workDir, int timeoutMs,
               std::string* error);
    // SIGTERM, then SIGKILL after timeoutMs. True when the program ended by
    // itself with status 0.
    bool stop(int timeoutMs = 30000);

    pid_t pid() const { return m_pid; }
    uint16_t port() const { return m_port; }
    uint64_t outputLines() const { return m_lines.load(); }

private:
    void drain();

    pid_t m_pid = -1;
    int m_output = -1;
    uint16_t m_port = 0;
    std::thread m_drain;
    std::atomic<uint64_t> m_lines{0};
    std::string m_pending; // bytes read after the port line, before draining
};

// A field of /proc/<pid>/status as a number ("VmRSS" in kB, "Threads");
// -1 when it cannot be read.
long statusField(pid_t pid, const char* field);

// The port named in a line such as "... The system chose port 40123"; 0 when
// the line names none.
uint16_t portFromLine(const std::string& line);

// Raises the soft limit of open files to the hard limit (children inherit
// it); answers the limit now in force.
long raiseOpenFileLimit();

} // namespace bench
