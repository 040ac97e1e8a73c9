// A minimal Kestrel client on QTcpSocket: asks for the locomotive's name and
// for the values of controllers 0, 1 and 2, and prints them.
//     example_client [HOST [PORT]]      (defaults 127.0.0.1 47812)

#include <QCoreApplication>
#include <QStringList>
#include <QTcpSocket>

#include <cstdio>

// "@" LLLLLL ";" CCC ";" TTTTTT ";" payload ";"  -- L counts the bytes after
// the first eight.
static QByteArray frame(int code, int tag, const QByteArray& payload)
{
    const QByteArray body = QByteArray::number(code).rightJustified(3, '0') + ';'
        + QByteArray::number(tag).rightJustified(6, '0') + ';' + payload + ';';
    return '@' + QByteArray::number(body.size()).rightJustified(6, '0') + ';' + body;
}

// Sends one request and waits for the reply that carries its tag. The server
// reads one frame per arrival of data: send the next request only after this
// one's reply.
static bool ask(QTcpSocket& socket, int code, int tag, const QByteArray& payload, QString* reply)
{
    socket.write(frame(code, tag, payload));
    for (;;) {
        while (socket.bytesAvailable() < 8) {
            if (!socket.waitForReadyRead(3000))
                return false;
        }
        const int length = socket.peek(8).mid(1, 6).toInt();
        while (socket.bytesAvailable() < 8 + length) {
            if (!socket.waitForReadyRead(3000))
                return false;
        }
        const QByteArray message = socket.read(8 + length);
        if (message.mid(12, 6).toInt() == tag) {
            *reply = QString::fromUtf8(message.mid(19, message.size() - 20)); // without the closing ";"
            return true;
        }
    }
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString host = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("127.0.0.1");
    const quint16 port = argc > 2 ? quint16(QByteArray(argv[2]).toUShort()) : 47812;

    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(3000)) {
        std::fprintf(stderr, "cannot connect to %s:%u: %s\n", qPrintable(host), port, qPrintable(socket.errorString()));
        return 1;
    }
    QString reply;
    if (!ask(socket, 5, 1, QByteArray(), &reply)) // 5: the locomotive's name
        return 1;
    std::printf("loco: %s\n", reply.toUtf8().constData());
    if (!ask(socket, 6, 2, "0:1:2", &reply)) // 6: values, answered with code 7
        return 1;
    // One "ID:VALUE::" record per controller asked for.
    for (const QString& record : reply.split(QStringLiteral("::"), Qt::SkipEmptyParts)) {
        const QStringList parts = record.split(QLatin1Char(':'));
        std::printf("controller %s = %s\n", qPrintable(parts.value(0)), qPrintable(parts.value(1)));
    }
    return 0;
}
