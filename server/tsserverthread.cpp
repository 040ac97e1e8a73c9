#include "tsserverthread.h"

#include "framecodec.h"
#include "messageframe.h"
#include "nativesocket.h"
#include "settings.h"
#include "tsinterfacedll.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>
#include <climits>

#ifndef Q_OS_WIN
#include <sys/socket.h>
#endif

namespace {

constexpr int kWriteWaitMs = 10000;
// A client may send more than it reads; Qt's socket buffer would otherwise
// grow with whatever arrives while a request is being served. The largest
// frame is 8 + 999999 bytes, so a frame always fits.
constexpr qint64 kReadBufferSize = 2 * 1024 * 1024;

} // namespace

TSServerThread::TSServerThread(Settings* settings, SharedClientData* sharedData,
                               qintptr socketDescriptor, QObject* parent)
    : QThread(parent)
    , m_sharedData(sharedData)
    , m_socketDescriptor(socketDescriptor)
    , m_settings(settings)
{
}

TSServerThread::~TSServerThread()
{
    // The owner ends the thread first; this is the last line of defence
    // against destroying a running QThread.
    if (isRunning())
        requestEnd();
    waitForEnd();
}

bool TSServerThread::waitForEnd(int timeoutMs)
{
    if (!wait(timeoutMs < 0 ? ULONG_MAX : ulong(timeoutMs)))
        return false;
    std::lock_guard<std::mutex> ended(m_runEnded);
    return true;
}

void TSServerThread::run()
{
    qDebug(" Thread started");
    m_socket = new QTcpSocket();
    if (!m_socket->setSocketDescriptor(m_socketDescriptor, QAbstractSocket::ConnectedState,
                                       QIODevice::ReadWrite)) {
        emit error(m_socket->error());
        delete m_socket;
        m_socket = nullptr;
        // The descriptor was handed to us; nobody else will close it.
        NativeSocket::close(m_socketDescriptor);
        markEnded();
        return;
    }
    m_socket->setReadBufferSize(kReadBufferSize);
    connect(m_socket, &QTcpSocket::readyRead, this, &TSServerThread::readyRead, Qt::DirectConnection);
    // The socket lives in this thread and this object in the GUI thread, so
    // the slot runs there, queued. Connected by name, the call stays inside
    // Qt's own bookkeeping, whose locks thread checkers can see past; a
    // functor connection would leave a slot object of our code shared
    // between the two threads under Qt's locks only.
    connect(m_socket, SIGNAL(disconnected()), this, SLOT(disconnected()));
    qDebug().noquote() << QString::number(m_socketDescriptor) + QStringLiteral(" Client connected");

    if (!m_interface) {
        m_interface = std::make_shared<TSInterfaceDll>(m_settings->GetTrainSimPath());
        QString status;
        m_interface->connectSimulator(status);
    }
    m_commands = std::make_unique<CommandSet>(m_interface.get(), m_sharedData, m_socketDescriptor,
                                              &m_clientName, static_cast<CommandResponder*>(this));
    m_reader = std::make_unique<RequestReader>(m_socket, static_cast<RequestReader::Handler*>(this));

    QTimer idleTimer;
    if (m_limits.idleTimeoutMs > 0) {
        idleTimer.setSingleShot(true);
        idleTimer.setInterval(m_limits.idleTimeoutMs);
        connect(&idleTimer, &QTimer::timeout, m_socket, [this] {
            dropClient(QStringLiteral("(Server) - Client ID:%1 sent nothing for %2 s; connection closed")
                           .arg(m_socketDescriptor)
                           .arg(m_limits.idleTimeoutMs / 1000));
        });
        idleTimer.start();
        m_idleTimer = &idleTimer;
    }

    // An end requested before the event loop ran still ends the client.
    if (m_endRequested)
        exit(0);
    exec();

    m_idleTimer = nullptr;
    delete m_socket;
    m_socket = nullptr;
    m_reader.reset();
    m_commands.reset();
    // The interface is a QObject of this thread; it goes with the thread.
    m_interface.reset();
    markEnded();
}

void TSServerThread::markEnded()
{
    std::lock_guard<std::mutex> ended(m_runEnded);
    m_ended = true;
    // Asked under the lock: once it is released the server may wait for the
    // thread and delete this object.
    if (QObject* server = parent())
        QMetaObject::invokeMethod(server, "reapClients", Qt::QueuedConnection);
}

void TSServerThread::requestEnd()
{
    m_endRequested = true;
    exit(0);
}

void TSServerThread::dropClient(const QString& reason)
{
    log(reason, 1);
    m_endRequested = true;
    // Emits disconnected(), which ends the client as if it had gone itself.
    m_socket->abort();
}

void TSServerThread::readyRead()
{
    if (!m_reader)
        return;
    m_reader->readRequest();
    // The silence that counts is the one between requests.
    if (m_idleTimer && m_socket->state() == QAbstractSocket::ConnectedState)
        m_idleTimer->start();
#ifdef Q_OS_WIN
    // Windows tells a socket's close once, by a notification that a client
    // closing right after its request may send before this thread listened:
    // once everything is read, look for the close, after this handler (a
    // readyRead emitted within it would be swallowed).
    if (m_socket->bytesAvailable() == 0) {
        QTimer::singleShot(0, m_socket, [socket = m_socket] {
            if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesAvailable() == 0)
                socket->waitForReadyRead(0);
        });
    }
#endif
}

void TSServerThread::disconnected()
{
    qDebug().noquote() << QString::number(m_socketDescriptor) + QStringLiteral(" Disconnected");
    emit sigDebugString(QStringLiteral("(Server) - Client disconnected ID:%1").arg(m_socketDescriptor), 0);
    emit sigDisconnected();
    exit(0);
}

void TSServerThread::executeFrame(const MessageFrame& request)
{
    m_commands->executeFrame(request);
}

bool TSServerThread::interpretText(QByteArray text)
{
    return m_commands->interpretText(text);
}

void TSServerThread::sendText(QString text)
{
    sendBytes(text.toUtf8());
}

void TSServerThread::sendBytes(const QByteArray& bytes)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    // A client that sends requests but reads no replies would otherwise
    // make its replies pile up in memory without end.
    const qint64 waiting = m_socket->bytesToWrite();
    if (waiting > 0 && waiting + bytes.size() > m_limits.maxPendingBytes) {
        dropClient(QStringLiteral("(Server) - Client ID:%1 does not read its replies (%2 bytes waiting); "
                                  "connection closed")
                       .arg(m_socketDescriptor)
                       .arg(waiting));
        return;
    }
#ifndef Q_OS_WIN
    // With nothing queued in the socket's buffer the reply goes to the
    // descriptor at once: QAbstractSocket::write() would switch its write
    // notifier on and flush() switch it off again, and each switch wakes
    // this thread's event loop for nothing (two eventfd writes and a read
    // per reply). What the system does not take (a full send buffer) or
    // refuses (an error, which the socket then meets and reports itself)
    // goes the usual way below. The socket closes its descriptor only in
    // this thread, so while it is connected the number is this client's.
    qint64 sent = 0;
    if (m_socket->state() == QAbstractSocket::ConnectedState && m_socket->bytesToWrite() == 0) {
        const ssize_t n = ::send(int(m_socket->socketDescriptor()), bytes.constData(), size_t(bytes.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent = n;
    }
    if (sent == bytes.size())
        return;
    m_socket->write(bytes.constData() + sent, bytes.size() - sent);
#else
    m_socket->write(bytes);
#endif
    // Most replies leave at once; only wait when the client is slow to read,
    // and then in slices, so that ending the client does not wait for the
    // full limit on a client that stopped reading.
    m_socket->flush();
    if (m_socket->bytesToWrite() == 0)
        return;
    constexpr int sliceMs = 50;
    QElapsedTimer elapsed;
    elapsed.start();
    while (!m_endRequested && elapsed.elapsed() < kWriteWaitMs) {
        const int left = int(kWriteWaitMs - elapsed.elapsed());
        if (m_socket->waitForBytesWritten(std::min(left, sliceMs)))
            return;
        if (m_socket->error() != QAbstractSocket::SocketTimeoutError)
            return;
    }
}

void TSServerThread::log(const QString& text, int level)
{
    emit sigDebugString(text, level);
}

bool TSServerThread::shouldEnd() const
{
    return m_endRequested;
}

void TSServerThread::controllerSet(int index)
{
    emit sigControllerSet(index);
}

void TSServerThread::frameReceived(const QByteArray& message)
{
    // Qt drops a disabled debug line only after it is built; kestreld
    // disables the debug channel unless it traces, so ask first.
    if (QLoggingCategory::defaultCategory()->isDebugEnabled())
        qDebug().noquote() << QStringLiteral("%1:%2: Data in: ").arg(m_socketDescriptor).arg(m_clientName)
                                  + QString::fromUtf8(message);
    MessageFrame request;
    if (FrameCodec::decode(message, &request))
        executeFrame(request);
}

bool TSServerThread::textReceived(const QByteArray& text)
{
    return interpretText(text);
}

void TSServerThread::abandonConnection()
{
    m_socket->disconnectFromHost();
}

bool TSServerThread::endRequested() const
{
    return m_endRequested;
}
