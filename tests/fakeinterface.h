#pragma once

// A simulator interface in memory, for the command layer's tests and fuzz
// harnesses: it answers fixed texts (or texts made from the request) and
// records every call with the text it was given, so a test sees which
// operation a command reached and with what argument.

#include "tsinterfacebase.h"

#include <QStringList>

class FakeInterface : public TSInterfaceBase
{
public:
    QStringList calls;
    QString locoName = QStringLiteral("Class 66");
    QString trainData = QStringLiteral("51.5000000:-0.2500000:1.5000000:12:30:15:80.26:0.5:0");
    QString rawList = QStringLiteral("0::Throttle::0::1::");
    QString flatList = QStringLiteral("0;Throttle;0;1;");
    QString jsonList = QStringLiteral("{\"controller\":[]}");

    // The command layer never connects: that is the client thread's part.
    int connectSimulator(QString&) override { return ResultOk; }
    int disconnectSimulator() override { return ResultOk; }
    int getTrainData(QString& text) override { return answer("getTrainData", text, trainData); }
    int getControllerListRaw(QString& text) override { return answer("getControllerListRaw", text, rawList); }
    int getControllerListJson(QString& text) override { return answer("getControllerListJson", text, jsonList); }
    int getControllerListFlat(QString& text) override { return answer("getControllerListFlat", text, flatList); }
    int getLocoName(QString& text) override { return answer("getLocoName", text, locoName); }
    int getControllerValues(QString& text) override { return rewrite("getControllerValues", text, "values of "); }
    int getControllerValue(QString& text) override { return rewrite("getControllerValue", text, "value of "); }
    int setControllerValue(QString& text) override { return rewrite("setControllerValue", text, "Set CtrlValue: "); }

private:
    // Operations that fill an empty text: a command that passes anything
    // else shows up in the call log.
    int answer(const char* operation, QString& text, const QString& result)
    {
        calls << (text.isEmpty() ? QString::fromLatin1(operation)
                                 : QStringLiteral("%1(%2)").arg(QLatin1String(operation), text));
        text = result;
        return ResultOk;
    }
    int rewrite(const char* operation, QString& text, const char* prefix)
    {
        calls << QStringLiteral("%1(%2)").arg(QLatin1String(operation), text);
        text.prepend(QLatin1String(prefix));
        return ResultOk;
    }
};
