#include "logwriter.h"

#include "logline.h"
#include "logqueue.h"

#include <QByteArray>

#include <condition_variable>
#include <chrono>
#include <mutex>

#ifdef Q_OS_WIN
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <cerrno>
#include <csignal>
#include <unistd.h>
#endif

namespace {

constexpr int kCapacity = 4096;

// Writes all of `bytes` or gives up; false when the output is gone. Below
// the C library on purpose: a thread blocked here must not hold a lock of
// stdio that the process's exit would wait for.
bool writeOut(const QByteArray& bytes)
{
#ifdef Q_OS_WIN
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const char* data = bytes.constData();
    DWORD left = DWORD(bytes.size());
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(out, data, left, &written, nullptr))
            return false;
        data += written;
        left -= written;
    }
    return true;
#else
    const char* data = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= size_t(written);
    }
    return true;
#endif
}

} // namespace

struct LogWriter::State
{
    LogQueue queue{kCapacity};
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

bool LogWriter::isTerminal()
{
#ifdef Q_OS_WIN
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
    return ::isatty(STDOUT_FILENO) == 1;
#endif
}

LogWriter::LogWriter()
    : m_state(std::make_shared<State>())
{
#ifndef Q_OS_WIN
    // A reader that goes away must not end the server: a write to the
    // closed pipe then fails (EPIPE) instead of raising SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    const bool utf8 = false; // the locale's encoding is the terminal's
#else
    // A console shows UTF-8 and colours once asked to; a pipe or a file gets
    // the system's code page, as every program's output does.
    DWORD mode = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const bool utf8 = GetConsoleMode(out, &mode) && SetConsoleOutputCP(CP_UTF8)
        && SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#endif
    // The thread holds the state too, so that a thread left blocked in a
    // write at exit never reaches freed memory.
    m_thread = std::thread([state = m_state, utf8] {
        bool outputGone = false;
        while (state->queue.waitForLines(1000)) {
            QByteArray bytes;
            state->queue.drain(256, "(Main)", [&bytes, utf8](const QString& text, int level) {
                // The count of dropped lines comes unstamped; the lines are.
                const QString line = level ? LogLine::stamped(text) : text;
                bytes += (utf8 ? line.toUtf8() : line.toLocal8Bit()) + '\n';
            });
            if (!outputGone && !bytes.isEmpty())
                outputGone = !writeOut(bytes);
        }
        std::lock_guard<std::mutex> lock(state->mutex);
        state->finished = true;
        state->done.notify_all();
    });
}

LogWriter::~LogWriter()
{
    if (m_thread.joinable())
        finish(0);
}

void LogWriter::write(const QString& line, bool keep)
{
    m_state->queue.push(line, 0, keep);
}

bool LogWriter::finish(int timeoutMs)
{
    m_state->queue.close();
    bool finished = false;
    {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        finished = m_state->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                          [this] { return m_state->finished; });
    }
    if (finished)
        m_thread.join();
    else
        m_thread.detach();
    return finished;
}
