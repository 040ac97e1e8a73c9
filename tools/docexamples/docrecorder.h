#pragma once

#include "docexample.h"

#include <QByteArray>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class QTcpSocket;
class QWebSocket;

// Plays one example against a kestreld of its own, started for it on the
// simulated locomotive in a fresh folder (control code 417476, pairing secret
// 0123456789abcdef0123456789abcdef), and records
// what the server sends back for each of the example's Receive steps.
class DocRecorder
{
public:
    DocRecorder(QString kestreld, QString simulatorFolder);
    ~DocRecorder();

    // When recording, a plain-text answer (which has no terminator) is taken
    // as ended once nothing more came for a moment; when checking, once it
    // is as long as the one the document shows.
    void setRecording(bool recording) { m_recording = recording; }

    // One list of messages per Receive step (for an "answer=" block, the
    // answer). False, with `error`, when the server could not be started or
    // reached; a message that did not come is simply missing.
    bool play(const DocExample& example, QVector<QStringList>* received, QString* error);

private:
    bool start(const DocExample& example, QString* error);
    void stop();
    bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000);
    bool connectMain(QTcpSocket* socket);
    // Waits until the server logged a line for what was just sent: it has
    // read the request, so the next one arrives on its own.
    bool waitForRequestLogged(int outputBefore);
    void send(const DocExample& example, const QString& message);
    QString receive(const DocExample& example, const QString& shown);
    QString receiveMain(const QString& shown);
    QString receiveHead();
    bool changeLocomotive(const QString& description);

    const QString m_kestreld;
    const QString m_simulatorFolder;
    bool m_recording = false;
    std::unique_ptr<QTemporaryDir> m_dir;
    QProcess m_server;
    QByteArray m_output;
    quint16 m_mainPort = 0;
    quint16 m_livePort = 0;
    std::unique_ptr<QTcpSocket> m_socket; // main port, or HTTP on the live port
    std::unique_ptr<QWebSocket> m_webSocket;
    QByteArray m_bytes;        // from m_socket, not yet taken
    QStringList m_messages;    // from m_webSocket, not yet taken
};
