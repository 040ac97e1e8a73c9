#pragma once

#include <QString>
#include <QVector>

#include <condition_variable>
#include <deque>
#include <mutex>

// Log lines on their way from the threads that make them to the one thread
// that shows or prints them. The queue holds at most `capacity` lines: a
// producer never waits and never makes the queue grow past that, so a client
// that makes lines faster than they can be shown costs dropped lines, not
// memory or time. Dropped lines are counted, and the consumer is told the
// count with the next lines it takes, to report it once there is room again.
class LogQueue
{
public:
    struct Line
    {
        QString text;
        int level = 0;
    };

    // The longest text kept whole; longer texts (a client's megabyte of
    // request, echoed in its log line) are cut with a note of what was cut.
    static constexpr int MaxTextLength = 1000;

    explicit LogQueue(int capacity);

    // Adds a line, or counts it as dropped when the queue is full. True when the queue was empty before: the consumer may
    // be waiting for this line and should be woken.
    bool push(const QString& text, int level);

    // Takes up to `maxLines` lines, oldest first, and the number of lines
    // dropped since the last take.
    QVector<Line> take(int maxLines, int* dropped);

    // Hands up to `maxLines` lines to `emitLine`, then, if lines were
    // dropped, one line from `origin` ("(Server)") that says how many. True
    // when more lines wait.
    template <typename EmitLine>
    bool drain(int maxLines, const char* origin, EmitLine emitLine)
    {
        int dropped = 0;
        for (const Line& line : take(maxLines, &dropped))
            emitLine(line.text, line.level);
        if (dropped > 0)
            emitLine(QStringLiteral("%1 - %2 log lines dropped").arg(QLatin1String(origin)).arg(dropped), 1);
        return !isEmpty();
    }

    // Waits until a line is there, close() was called or `timeoutMs` passed.
    // False when the queue is closed and empty.
    bool waitForLines(int timeoutMs);
    // Wakes every waiter for good.
    void close();

    bool isEmpty() const;

    // `text` cut to MaxTextLength characters, with a marker that says how
    // many were left out.
    static QString cut(const QString& text);

private:
    const int m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Line> m_lines;
    int m_dropped = 0;
    bool m_closed = false;
};
