#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// The time limits of reading a frame body.
struct RequestTiming
{
    int waitMs = 10000;  // longest wait for more frame data
    int pauseMs = 10;    // pause between reads of a frame body
    int maxWaits = 1000; // waits before a frame is served as it is
};

// Reads one request from a client's device each time data arrives: tells a
// framed request from plain text by its first byte, collects a frame's body
// within the time limits, and hands the result on. It works on any
// QIODevice, so the rules can be exercised on memory as well as on sockets.
class RequestReader
{
public:
    class Handler
    {
    public:
        virtual ~Handler() = default;
        // A complete frame (or what arrived of it after the last wait).
        virtual void frameReceived(const QByteArray& message) = 0;
        // Plain text; false asks the reader to read again.
        virtual bool textReceived(const QByteArray& text) = 0;
        virtual void log(const QString& text, int level) = 0;
        // A frame body stopped arriving: the connection is given up.
        virtual void abandonConnection() = 0;
        // True once the owner wants the client ended; a wait for more data
        // then ends early, as if the time limit had passed.
        virtual bool endRequested() const { return false; }
    };

    using Timing = RequestTiming;

    RequestReader(QIODevice* device, Handler* handler, Timing timing = Timing());

    // Handles one "data arrived" notification.
    void readRequest();

private:
    void readFrameBody(QByteArray message, int length);
    bool waitForMoreData();

    QIODevice* m_device;
    Handler* m_handler;
    Timing m_timing;
};
