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
    bool recordCalls = true; // off where a fuzzer runs millions of inputs
    QString locoName = QStringLiteral("Class 66");
    QString trainData = QStringLiteral("51.5000000:-0.2500000:1.5000000:12:30:15:80.26:0.5:0");
    QString rawList = QStringLiteral("0::Throttle::0::1::");
    QString flatList = QStringLiteral("0;Throttle;0;1;");
    QString jsonList = QStringLiteral("{\"controller\":[]}");

    int connectSimulator(QString& status) override { return answer("connectSimulator", status, QStringLiteral("CONNECTED")); }
    int disconnectSimulator() override
    {
        record(QStringLiteral("disconnectSimulator"));
        return ResultOk;
    }
    int getTrainData(QString& text) override { return answer("getTrainData", text, trainData); }
    int getControllerListRaw(QString& text) override { return answer("getControllerListRaw", text, rawList); }
    int getControllerListJson(QString& text) override { return answer("getControllerListJson", text, jsonList); }
    int getControllerListFlat(QString& text) override { return answer("getControllerListFlat", text, flatList); }
    int getLocoName(QString& text) override { return answer("getLocoName", text, locoName); }
    int getControllerValues(QString& text) override { return rewrite("getControllerValues", text, "values of "); }
    int getControllerValue(QString& text) override { return rewrite("getControllerValue", text, "value of "); }
    int setControllerValue(QString& text) override { return rewrite("setControllerValue", text, "Set CtrlValue: "); }

private:
    void record(const QString& call)
    {
        if (recordCalls)
            calls << call;
    }
    // Operations that fill an empty text: a command that passes anything
    // else shows up in the call log.
    int answer(const char* operation, QString& text, const QString& result)
    {
        record(text.isEmpty() ? QString::fromLatin1(operation)
                              : QStringLiteral("%1(%2)").arg(QLatin1String(operation), text));
        text = result;
        return ResultOk;
    }
    int rewrite(const char* operation, QString& text, const char* prefix)
    {
        record(QStringLiteral("%1(%2)").arg(QLatin1String(operation), text));
        text.prepend(QLatin1String(prefix));
        return ResultOk;
    }
};
