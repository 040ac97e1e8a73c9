#pragma once

#include "interfaceresult.h"

#include <QObject>
#include <QString>

// The boundary between the network server and the train simulator. Every
// operation takes its arguments and leaves its answer in one string and
// returns an InterfaceResult; the server sends the string to the client.
//
// The operations without a body here answer ResultNotImplemented and leave
// the string exactly as it came, so a partial implementation stays usable.
class TSInterfaceBase : public QObject
{
    Q_OBJECT

public:
    TSInterfaceBase();

    virtual int connectSimulator(QString& status) = 0;
    virtual int disconnectSimulator() = 0;
    virtual int getTrainData(QString& text) = 0;
    virtual int getControllerListRaw(QString& text) = 0;
    virtual int getControllerListJson(QString& text) = 0;
    virtual int getControllerListFlat(QString& text) = 0;
    virtual int getControllerListWithValues(QString& text);
    virtual int getControllerValues(QString& text);
    virtual int getControllerValue(QString& text);
    virtual int setControllerValue(QString& text);
    // Reserved slots in the interface; nothing overrides or calls them.
    virtual int reservedOperation1(QString& text);
    virtual int reservedOperation2(QString& text);
    virtual int getLocoChanged(QString& text);
    virtual int getLocoName(QString& text) = 0;
    virtual int loadSteamLibrary();

signals:
    void sigDebugString(QString text, int level);
    void sigDisconnected();
};
