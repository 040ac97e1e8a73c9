#pragma once

#include "commandset.h"

#include <QByteArray>
#include <QString>
#include <QTcpSocket>

#include <functional>

// A small blocking client of one Kestrel connection. Framed requests go out
// one at a time, each with a fresh tag, and the client waits for the reply
// with that tag: the server reads only one frame per arrival of data, so a
// second frame sent before the first is answered would wait unread.
//
// Every wait is bounded by the timeout given at construction, counted from
// the moment the request is sent, and can be cut short by a cancel check
// (Ctrl-C in "watch").
class KestrelClient
{
public:
    enum class Outcome {
        Ok,
        CannotConnect,
        Timeout,
        Malformed,
        Closed,
        Cancelled,
    };

    struct Reply
    {
        Outcome outcome = Outcome::Ok;
        // A framed reply's payload without its closing ";".
        QString payload;
        // A plain-text answer, or whatever arrived before a failure.
        QByteArray bytes;
        // What went wrong, for the user.
        QString error;

        bool ok() const { return outcome == Outcome::Ok; }
    };

    // Decides whether the plain-text bytes received so far are the whole
    // answer.
    using CompleteCheck = std::function<bool(const QByteArray&)>;

    KestrelClient(QString host, quint16 port, int timeoutMs);

    Reply connectToServer();
    void setCancelCheck(std::function<bool()> cancelled) { m_cancelled = std::move(cancelled); }

    // Sends a framed request and waits for the reply with its tag, which
    // must carry `replyCode`.
    Reply request(FrameCommand command, const QString& argument, int replyCode);
    // Sends a framed request that gets no reply, and waits until it has left.
    Reply post(FrameCommand command, const QString& argument);
    // Sends plain text and collects the answer: until `complete` accepts the
    // bytes, or without a check until nothing more has come for
    // `quietMs`. The outcome is Timeout when the timeout passes first; the
    // bytes received until then are in the reply.
    Reply requestText(const QByteArray& text, const CompleteCheck& complete, int quietMs = 250);
    // Closes the connection once everything sent has left.
    void disconnect();

    QString address() const;
    int timeoutMs() const { return m_timeoutMs; }

private:
    enum class Parse { NeedMore, Frame, Bad };

    Reply send(const QByteArray& bytes);
    // Takes one frame off the front of m_buffer.
    Parse takeFrame(QByteArray* frame, QString* error);
    // Waits up to `ms` for data and appends it to m_buffer. False once the
    // connection is gone and nothing is left to read.
    bool receive(int ms);
    int nextTag();

    QString m_host;
    quint16 m_port;
    int m_timeoutMs;
    QTcpSocket m_socket;
    QByteArray m_buffer;
    int m_lastTag = 0;
    std::function<bool()> m_cancelled;
};
