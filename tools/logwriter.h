#pragma once

#include <QString>

#include <memory>
#include <thread>

// Writes kestreld's log lines to standard output from a thread of its own.
// A terminal that is paused, a pipe nobody reads or a reader that went away
// must never hold up serving: the lines wait in a bounded queue, what does
// not fit is dropped and counted (and the count written once the output
// takes lines again), and an output that is gone is ignored.
class LogWriter
{
public:
    LogWriter();
    ~LogWriter();

    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Whether standard output is a terminal (on Windows: a console).
    static bool isTerminal();

    // Queues one whole line (stamped, without its line feed). Never blocks.
    // A line to `keep` (the program's own) is never dropped.
    void write(const QString& line, bool keep = false);

    // Writes what waits and ends the thread, waiting up to `timeoutMs`. False
    // when the output does not take the lines in time: the thread is then
    // left blocked in its write, and the process should end without
    // touching standard output again.
    bool finish(int timeoutMs);

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};
