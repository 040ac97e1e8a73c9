#pragma once

#include "messageframe.h"

#include <QByteArray>
#include <QString>

class SharedClientData;
class TSInterfaceBase;

// Framed command codes.
enum class FrameCommand {
    SetClientName = 1,
    GetServerName = 2,
    GetClientId = 3,
    GetTrainData = 4,
    GetLocoName = 5,
    GetControllerValues = 6,
    GetControllerList = 7,
    SetControllerValue = 8,
    SetSharedData = 9,
    GetSharedData = 10,
};

// Where the command layer's output goes: the client's socket and the log.
// The client thread implements it over its socket; tests and fuzzers over
// memory.
class CommandResponder
{
public:
    virtual ~CommandResponder() = default;
    // Writes bytes to the client and waits for them to be written.
    virtual void sendBytes(const QByteArray& bytes) = 0;
    virtual void log(const QString& text, int level) = 0;
    // True once the client is being ended: a text of many commands stops at
    // the next one.
    virtual bool shouldEnd() const { return false; }
    // A controller was set, so that others who show it can read it again
    // at once rather than at their next look.
    virtual void controllerSet(int index) { Q_UNUSED(index) }
};

// The command layer of one client: maps each framed request or plain-text
// command to an operation of the client's simulator interface, or to the
// client's name and the server's shared record, and answers it. It holds no
// socket, so every rule about replies, codes and log lines is testable
// without one.
class CommandSet
{
public:
    // `simulator` may be null (a client whose interface does not exist yet);
    // `clientName` is the client's name, kept by the caller for the life of
    // the connection.
    CommandSet(TSInterfaceBase* simulator, SharedClientData* sharedData, qintptr clientId,
               QString* clientName, CommandResponder* responder);

    void executeFrame(const MessageFrame& request);
    // Runs the commands of a plain text in order. False when there is no
    // simulator interface or a malformed "SetControllerValue" abandoned the
    // rest of the text; true when the whole text was dealt with.
    bool interpretText(const QByteArray& text);

    static QString serverName() { return QStringLiteral("Kestrel"); }
    // The payload of the reply to a request whose answer does not fit a
    // frame (a length of more than six digits).
    static QString replyTooLong() { return QStringLiteral("REPLY TOO LONG"); }
    // Longest shared text (UTF-8 bytes) that framed command 9 stores.
    static constexpr int MaxSharedTextBytes = 4096;

private:
    void reply(int command, int tag, const QString& payload);
    // setControllerValue on "ID:VALUE", in place; the responder hears of a
    // set that the library took.
    void setController(QString& text);
    void answerText(const QString& text);
    QString sharedValuesText(const QString& pattern) const;
    QString storeSharedValues(const QString& payload);

    TSInterfaceBase* m_interface;
    SharedClientData* m_sharedData;
    qintptr m_clientId;
    QString* m_clientName;
    CommandResponder* m_responder;
};
