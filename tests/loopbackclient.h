#pragma once

// A raw TCP client for the loopback tests. It writes bytes exactly as given
// and waits for answers with the calling thread's event loop running, so
// that a server in the same thread can accept and log meanwhile.

#include <QHostAddress>
#include <QTcpSocket>
#include <QtTest>

class LoopbackClient
{
public:
    // How long a wait for something that should come may take before the
    // test fails: only a fault uses it up, so it leaves a sanitized build
    // on a busy machine plenty of room.
    static constexpr int PatienceMs = 30000;

    // A framed message, built independently of the server's codec.
    static QByteArray frame(int code, int tag, const QString& payload)
    {
        const QByteArray body = QByteArray::number(code).rightJustified(3, '0') + ';'
            + QByteArray::number(tag).rightJustified(6, '0') + ';' + payload.toUtf8() + ';';
        return '@' + QByteArray::number(body.size()).rightJustified(6, '0') + ';' + body;
    }

    bool connectTo(quint16 port, const QHostAddress& address = QHostAddress(QHostAddress::LocalHost))
    {
        m_socket.connectToHost(address, port);
        return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, PatienceMs);
    }
    bool send(const QByteArray& bytes, int timeoutMs = PatienceMs)
    {
        if (m_socket.write(bytes) != bytes.size())
            return false;
        m_socket.flush();
        return QTest::qWaitFor([this] { return m_socket.bytesToWrite() == 0; }, timeoutMs);
    }
    // The next `count` bytes; fewer when they did not arrive in time or the connection closed.
    QByteArray receive(int count, int timeoutMs = PatienceMs)
    {
        static_cast<void>(QTest::qWaitFor([&] {
            return m_buffer.size() + m_socket.bytesAvailable() >= count
                || m_socket.state() != QAbstractSocket::ConnectedState;
        }, timeoutMs));
        m_buffer += m_socket.readAll();
        const QByteArray bytes = m_buffer.left(count);
        m_buffer.remove(0, bytes.size());
        return bytes;
    }
    // The next framed reply, whole; what came instead when no header did.
    QByteArray receiveFrame(int timeoutMs = PatienceMs)
    {
        const QByteArray header = receive(8, timeoutMs);
        const int length = header.mid(1, 6).toInt(); // 0 when it is no number
        return header.size() == 8 && header.at(0) == '@' ? header + receive(length, timeoutMs) : header;
    }
    bool waitForClosed(int timeoutMs = PatienceMs)
    {
        return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }
    void close()
    {
        m_socket.disconnectFromHost();
        waitForClosed();
    }
    QTcpSocket& socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QByteArray m_buffer;
};
