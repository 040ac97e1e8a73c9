#pragma once

// A QIODevice that hands out its data in segments, as a socket does: the
// harness delivers the first segment, and each waitForReadyRead() delivers
// the next one at once or, when none is left, answers false like a wait that
// timed out. Nothing ever blocks, so the request reader's rules about counts
// and waits run exactly and without delay.

#include <QIODevice>
#include <QList>

#include <cstring>

class ChunkDevice : public QIODevice
{
public:
    explicit ChunkDevice(QList<QByteArray> segments)
        : m_segments(std::move(segments))
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_buffer.size() + QIODevice::bytesAvailable(); }

    // Delivers the next segment; false when none is left.
    bool deliverNext()
    {
        if (m_next >= m_segments.size())
            return false;
        m_buffer += m_segments.at(m_next++);
        return true;
    }
    // Bytes that arrive without a wait (while a text is being served).
    void append(const QByteArray& bytes) { m_buffer += bytes; }
    bool waitForReadyRead(int msecs) override
    {
        m_waitLimits << msecs;
        return deliverNext();
    }

    qint64 consumed() const { return m_consumed; }
    const QList<int>& waitLimits() const { return m_waitLimits; } // of every wait, in order
    const QByteArray& unread() const { return m_buffer; }         // delivered and not read

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 count = qMin<qint64>(maxSize, m_buffer.size());
        if (count > 0)
            std::memcpy(data, m_buffer.constData(), size_t(count));
        m_buffer.remove(0, int(count));
        m_consumed += count;
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QList<QByteArray> m_segments;
    int m_next = 0;
    QByteArray m_buffer;
    qint64 m_consumed = 0;
    QList<int> m_waitLimits;
};
