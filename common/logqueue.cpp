#include "logqueue.h"

#include <algorithm>
#include <chrono>

LogQueue::LogQueue(int capacity)
    : m_capacity(capacity)
    , m_characterBudget(qint64(capacity) * AverageLineLength)
{
}

QString LogQueue::cut(const QString& text)
{
    if (text.size() <= MaxTextLength)
        return text;
    return text.left(MaxTextLength)
        + QStringLiteral(" [... %1 more characters]").arg(text.size() - MaxTextLength);
}

bool LogQueue::push(const QString& text, int level, bool keep)
{
    Line line{text, level};
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed)
            return false;
        if (!keep && (int(m_lines.size()) >= m_capacity || m_characters + line.text.size() > m_characterBudget)) {
            ++m_dropped;
            return false;
        }
        wasEmpty = m_lines.empty();
        m_characters += line.text.size();
        m_lines.push_back(std::move(line));
    }
    if (wasEmpty)
        m_ready.notify_all();
    return wasEmpty;
}

QVector<LogQueue::Line> LogQueue::take(int maxLines, int* dropped)
{
    QVector<Line> lines;
    std::lock_guard<std::mutex> lock(m_mutex);
    const int count = std::min(maxLines, int(m_lines.size()));
    lines.reserve(count);
    for (int i = 0; i < count; ++i) {
        m_characters -= m_lines.front().text.size();
        lines.append(std::move(m_lines.front()));
        m_lines.pop_front();
    }
    *dropped = m_dropped;
    m_dropped = 0;
    return lines;
}

bool LogQueue::waitForLines(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ready.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [this] { return m_closed || !m_lines.empty() || m_dropped > 0; });
    return !(m_closed && m_lines.empty());
}

void LogQueue::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_ready.notify_all();
}

bool LogQueue::isEmpty() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines.empty();
}
