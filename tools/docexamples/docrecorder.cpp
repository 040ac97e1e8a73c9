#include "docrecorder.h"

#include "framecodec.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

namespace {

constexpr int kQuietMs = 500; // the end of a plain-text answer, when recording
const QByteArray kControlCode = "417476";
const QByteArray kPairingSecret = "0123456789abcdef0123456789abcdef";

// HTTP header values that differ from run to run are shown as "...".
QString masked(QString head)
{
    static const QRegularExpression changing(QStringLiteral("^(Date|Sec-WebSocket-Accept): .*$"),
                                             QRegularExpression::MultilineOption);
    return head.replace(changing, QStringLiteral("\\1: ..."));
}

} // namespace

DocRecorder::DocRecorder(QString kestreld, QString simulatorFolder)
    : m_kestreld(std::move(kestreld))
    , m_simulatorFolder(std::move(simulatorFolder))
{
    QObject::connect(&m_server, &QProcess::readyReadStandardOutput,
                     [this] { m_output += m_server.readAllStandardOutput(); });
}

DocRecorder::~DocRecorder()
{
    stop();
}

bool DocRecorder::waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool DocRecorder::start(const DocExample& example, QString* error)
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString plugins = m_dir->filePath(QStringLiteral("simulator/plugins"));
    QFile ini(m_dir->filePath(QStringLiteral("kestrel.ini")));
    if (!QDir().mkpath(plugins) || !ini.open(QIODevice::WriteOnly) || ini.write("[live]\ncontrolcode=" + kControlCode + "\npairingsecret=" + kPairingSecret + '\n') < 0
        || (!example.noLibrary
            && !QFile::copy(m_simulatorFolder + QStringLiteral("/plugins/RailDriver64.dll"),
                            plugins + QStringLiteral("/RailDriver64.dll")))
        || (!example.locomotive.isEmpty() && !QFile::copy(example.locomotive, plugins + QStringLiteral("/railsim.loco")))) {
        *error = QStringLiteral("cannot lay out a simulator folder in %1").arg(m_dir->path());
        return false;
    }
    ini.close();
    m_output.clear();
    m_server.setWorkingDirectory(m_dir->path());
    QStringList arguments{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--no-discovery"),
                          QStringLiteral("--simulator-path"), m_dir->filePath(QStringLiteral("simulator"))};
    arguments += example.port == DocExample::Port::Main ? QStringList{QStringLiteral("--no-live")}
                                                         : QStringList{QStringLiteral("--live-port"), QStringLiteral("0")};
    m_server.start(m_kestreld, arguments);
    const QRegularExpression mainPort(QStringLiteral("chose port (\\d+)"));
    const QRegularExpression livePort(QStringLiteral("Cab display: http://[^/]*:(\\d+)/"));
    const bool started = waitUntil([&] {
        const QString output = QString::fromLocal8Bit(m_output);
        m_mainPort = quint16(mainPort.match(output).captured(1).toUInt());
        m_livePort = quint16(livePort.match(output).captured(1).toUInt());
        return m_server.state() == QProcess::NotRunning
            || (m_mainPort && (example.port == DocExample::Port::Main || m_livePort));
    });
    if (!started || m_server.state() == QProcess::NotRunning) {
        *error = QStringLiteral("%1 did not start: %2").arg(m_kestreld, QString::fromLocal8Bit(m_output));
        return false;
    }
    return true;
}

void DocRecorder::stop()
{
    m_webSocket.reset();
    m_socket.reset();
    if (m_server.state() != QProcess::NotRunning) {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
}

bool DocRecorder::connectMain(QTcpSocket* socket)
{
    socket->connectToHost(QStringLiteral("127.0.0.1"), m_mainPort);
    return waitUntil([socket] { return socket->state() == QAbstractSocket::ConnectedState; });
}

bool DocRecorder::waitForRequestLogged(int outputBefore)
{
    return waitUntil([this, outputBefore] { return m_output.indexOf("(Server) - ", outputBefore) >= 0; });
}

bool DocRecorder::changeLocomotive(const QString& description)
{
    const QString target = m_dir->filePath(QStringLiteral("simulator/plugins/railsim.loco"));
    QFile::remove(target);
    if (!QFile::copy(description, target))
        return false;
    // The stand-in reads its description again when a client connects to it,
    // as every main-port client does before it serves its first request.
    QTcpSocket trigger;
    const QByteArray ask = FrameCodec::encode(3, 1, QString()).bytes;
    return connectMain(&trigger) && trigger.write(ask) == ask.size()
        && waitUntil([&trigger] { return trigger.bytesAvailable() > 0; });
}

void DocRecorder::send(const DocExample& example, const QString& message)
{
    switch (example.port) {
    case DocExample::Port::Live:
        m_webSocket->sendTextMessage(message);
        break;
    case DocExample::Port::Http: {
        // A connection per request: the server closes it after its answer.
        m_socket = std::make_unique<QTcpSocket>();
        m_bytes.clear();
        QObject::connect(m_socket.get(), &QTcpSocket::readyRead, [this] { m_bytes += m_socket->readAll(); });
        m_socket->connectToHost(QStringLiteral("127.0.0.1"), m_livePort);
        QString request = message;
        quint32 nonce[4];
        QRandomGenerator::global()->fillRange(nonce);
        request.replace(QStringLiteral("Sec-WebSocket-Key: ..."),
                        QStringLiteral("Sec-WebSocket-Key: ")
                            + QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(nonce), sizeof nonce).toBase64()));
        m_socket->write(request.replace(QLatin1Char('\n'), QStringLiteral("\r\n")).toUtf8() + "\r\n\r\n");
        break;
    }
    case DocExample::Port::Main:
        m_socket->write(message.startsWith(QLatin1Char('@')) ? message.toUtf8() : message.toLocal8Bit());
        break;
    }
}

QString DocRecorder::receiveMain(const QString& shown)
{
    if (shown.startsWith(QLatin1Char('@'))) { // a frame: its header says how long it is
        int length = 0;
        if (!waitUntil([&] { return FrameCodec::parseHeader(m_bytes, &length) && m_bytes.size() >= 8 + length; }))
            return QString::fromUtf8(m_bytes.isEmpty() ? QByteArray() : m_bytes);
        const QByteArray frame = m_bytes.left(8 + length);
        m_bytes.remove(0, frame.size());
        return QString::fromUtf8(frame);
    }
    if (m_recording) {
        int size = -1;
        waitUntil([&] { return !m_bytes.isEmpty(); });
        while (size != m_bytes.size()) {
            size = m_bytes.size();
            waitUntil([&] { return m_bytes.size() != size; }, kQuietMs);
        }
    } else {
        const int expected = shown.toLocal8Bit().size();
        waitUntil([&] { return m_bytes.size() >= expected; });
    }
    const QString answer = m_bytes.isEmpty() ? QString() : QString::fromLocal8Bit(m_bytes);
    m_bytes.clear();
    return answer;
}

QString DocRecorder::receiveHead()
{
    if (!waitUntil([this] { return m_bytes.contains("\r\n\r\n"); }))
        return QString();
    const QString head = QString::fromUtf8(m_bytes.left(m_bytes.indexOf("\r\n\r\n")));
    m_socket.reset();
    return masked(head.split(QStringLiteral("\r\n")).join(QLatin1Char('\n')));
}

QString DocRecorder::receive(const DocExample& example, const QString& shown)
{
    switch (example.port) {
    case DocExample::Port::Live:
        if (!waitUntil([this] { return !m_messages.isEmpty(); }))
            return QString();
        return m_messages.takeFirst();
    case DocExample::Port::Http:
        return receiveHead();
    case DocExample::Port::Main:
        break;
    }
    return receiveMain(shown);
}

bool DocRecorder::play(const DocExample& example, QVector<QStringList>* received, QString* error)
{
    stop();
    m_bytes.clear();
    m_messages.clear();
    if (!start(example, error))
        return false;
    if (example.port == DocExample::Port::Main) {
        m_socket = std::make_unique<QTcpSocket>();
        QObject::connect(m_socket.get(), &QTcpSocket::readyRead, [this] { m_bytes += m_socket->readAll(); });
        if (!connectMain(m_socket.get())) {
            *error = QStringLiteral("cannot connect to port %1").arg(m_mainPort);
            return false;
        }
    } else if (example.port == DocExample::Port::Live) {
        m_webSocket = std::make_unique<QWebSocket>();
        QObject::connect(m_webSocket.get(), &QWebSocket::textMessageReceived,
                         [this](const QString& message) { m_messages.append(message); });
        m_webSocket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/live/v1").arg(m_livePort)));
        if (!waitUntil([this] { return m_webSocket->state() == QAbstractSocket::ConnectedState; })
            || !waitUntil([this] { return !m_messages.isEmpty(); })) {
            *error = QStringLiteral("no WebSocket greeting at port %1: %2").arg(m_livePort).arg(m_webSocket->errorString());
            return false;
        }
        if (!example.showsGreeting)
            m_messages.removeFirst();
    }
    if (example.quietMs > 0)
        waitUntil([] { return false; }, example.quietMs);

    if (!example.answerTo.isEmpty()) {
        m_socket->write(example.answerTo.toLocal8Bit());
        received->append({receiveMain(example.answer)});
        return true;
    }
    for (int i = 0; i < example.steps.size(); ++i) {
        const DocExample::Step& step = example.steps[i];
        if (step.kind == DocExample::Step::ChangeLocomotive && !changeLocomotive(step.path)) {
            *error = QStringLiteral("cannot change the locomotive to %1").arg(step.path);
            return false;
        }
        if (step.kind == DocExample::Step::Receive) {
            QStringList messages;
            for (const QString& shown : step.messages) {
                const QString message = receive(example, shown);
                if (message.isNull())
                    break;
                messages.append(message);
            }
            received->append(messages);
        }
        if (step.kind != DocExample::Step::Send)
            continue;
        const int outputBefore = m_output.size();
        for (const QString& message : step.messages)
            send(example, message);
        // A request without an answer, on the main port: the next must not
        // arrive with it, or the server would take both as one.
        auto next = std::find_if(example.steps.begin() + i + 1, example.steps.end(),
                                 [](const DocExample::Step& s) { return s.kind != DocExample::Step::Comment; });
        if (example.port == DocExample::Port::Main && (next == example.steps.end() || next->kind != DocExample::Step::Receive)
            && !waitForRequestLogged(outputBefore)) {
            *error = QStringLiteral("the server never logged the request of line %1").arg(step.firstLine + 1);
            return false;
        }
    }
    return true;
}
