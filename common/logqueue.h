#pragma once

#include <QString>
#include <QVector>

#include <condition_variable>
#include <deque>
#include <mutex>

// Log lines on their way from the threads that make them to the one thread
// that shows or prints them. The queue holds at most `capacity` lines and
// `capacity` times AverageLineLength characters: a producer never waits and
// never makes the queue grow past that, so a client that makes lines faster
// than they can be shown costs dropped lines, not memory or time. Dropped
// lines are counted, and the consumer is told the count with the next lines
// it takes, to report it once there is room again.
class LogQueue
{
public:
    struct Line
    {
        QString text;
        int level = 0;
    };

    // The longest text kept whole. Ordinary lines stay whole: the controller
    // list of a locomotive with hundreds of controllers, a request for all
    // their values. Longer texts (a client's megabyte of request, echoed in
    // its log line) are cut with a note of what was cut.
    static constexpr int MaxTextLength = 65536;
    // What the queue's character budget allows a line on average; an empty
    // queue always has room for the longest line.
    static constexpr int AverageLineLength = 1024;

    explicit LogQueue(int capacity);

    // Adds a line, or counts it as dropped when the queue is full. A line to
    // `keep` is taken all the same: for a program's own few lines that must
    // not be lost to a client's flood (its port, how it ended). True when the
    // queue was empty before: the consumer may be waiting for this line and
    // should be woken.
    bool push(const QString& text, int level, bool keep = false);

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
    // many were left out. For the lines that clients make; a line cut once
    // and then stamped with the time is not cut again.
    static QString cut(const QString& text);

private:
    const int m_capacity;
    const qint64 m_characterBudget;
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Line> m_lines;
    qint64 m_characters = 0;
    int m_dropped = 0;
    bool m_closed = false;
};
