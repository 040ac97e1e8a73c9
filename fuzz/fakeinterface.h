#pragma once

// An in-memory simulator behind TSInterfaceBase for the fuzz harnesses: it
// answers from texts and values the harness sets, so a harness can hand the
// command layer names with placeholders, empty lists, NaN, infinities and
// denormals without a library. Its answer forms follow the real interface
// closely enough that the command layer sees the same shapes of text.

#include "numberformat.h"
#include "tsinterfacebase.h"

#include <QHash>
#include <QStringList>

#include <limits>

class FakeInterface : public TSInterfaceBase
{
public:
    // What a controller reads when the harness never set it.
    enum class Unset { Zero, NaN, PlusInfinity, MinusInfinity, Huge, Denormal, MinusZero, Tiny };

    QString locoName = QStringLiteral("Class 66");
    QStringList controllers = {QStringLiteral("Reverser"), QStringLiteral("Regulator"),
                               QStringLiteral("TrainBrakeControl")};
    Unset unset = Unset::Zero;

    void setValue(int index, float value)
    {
        // A client can set any index; keep the table small so that one long
        // input cannot make the fuzzer's memory grow without end.
        if (m_values.size() < 256 || m_values.contains(index))
            m_values.insert(index, value);
    }

    float value(int index) const
    {
        const auto found = m_values.constFind(index);
        if (found != m_values.constEnd())
            return *found;
        switch (unset) {
        case Unset::Zero: return 0.0f;
        case Unset::NaN: return std::numeric_limits<float>::quiet_NaN();
        case Unset::PlusInfinity: return std::numeric_limits<float>::infinity();
        case Unset::MinusInfinity: return -std::numeric_limits<float>::infinity();
        case Unset::Huge: return std::numeric_limits<float>::max();
        case Unset::Denormal: return std::numeric_limits<float>::denorm_min();
        case Unset::MinusZero: return -0.0f;
        case Unset::Tiny: return 1e-30f;
        }
        return 0.0f;
    }

    int connectSimulator(QString& status) override
    {
        status = QStringLiteral("CONNECTED");
        return ResultOk;
    }
    int disconnectSimulator() override { return ResultOk; }

    int getLocoName(QString& text) override
    {
        text = locoName;
        return ResultOk;
    }

    int getTrainData(QString& text) override
    {
        text = QStringLiteral("%1:%2:%3:%4:%5:%6:%7:%8:%9")
                   .arg(NumberFormat::fixed(value(400), 7), NumberFormat::fixed(value(401), 7),
                        NumberFormat::fixed(value(404), 7), NumberFormat::integer(value(406)),
                        NumberFormat::integer(value(407)), NumberFormat::integer(value(408)),
                        NumberFormat::fixed(value(30), 2), NumberFormat::general(value(2)),
                        NumberFormat::general(value(7)));
        return ResultOk;
    }

    int getControllerListRaw(QString& text) override { return list(text, QStringLiteral("::")); }
    int getControllerListFlat(QString& text) override { return list(text, QStringLiteral(";")); }

    int getControllerListJson(QString& text) override
    {
        // The shape matters, not the JSON library: one record per name.
        QString answer = QStringLiteral("{\"controller\":[");
        for (int i = 0; i < controllers.size(); ++i) {
            answer += QStringLiteral("{\"ID\":%1,\"Name\":\"%2\",\"Min\":%3,\"Max\":%4}")
                          .arg(QString::number(i), controllers.at(i),
                               QString::number(NumberFormat::truncated(value(-1 - i))),
                               QString::number(NumberFormat::truncated(value(1000 + i))));
        }
        text = answer + QStringLiteral("]}\n");
        return ResultOk;
    }

    int getControllerValues(QString& text) override
    {
        QString answer;
        for (const QString& piece : text.split(QLatin1Char(':'), Qt::KeepEmptyParts)) {
            const int id = piece.toInt(nullptr, 10);
            answer += QStringLiteral("%1:%2::").arg(QString::number(id), NumberFormat::general(value(id)));
        }
        text = answer;
        return ResultOk;
    }

    int getControllerValue(QString& text) override
    {
        const QStringList parts = text.split(QLatin1Char(';'), Qt::KeepEmptyParts);
        if (parts.size() != 2) {
            text = QStringLiteral("FUNCTION NOT IMPLEMENTED");
            return ResultNotImplemented;
        }
        text = NumberFormat::general(value(parts.at(0).toInt(nullptr, 10)));
        return ResultOk;
    }

    int setControllerValue(QString& text) override
    {
        const QStringList parts = text.split(QLatin1Char(':'), Qt::KeepEmptyParts);
        if (parts.size() != 2) {
            text = QStringLiteral("no result");
            return ResultBadArguments;
        }
        setValue(parts.at(0).toInt(nullptr, 10), parts.at(1).toFloat());
        text.prepend(QStringLiteral("Set CtrlValue: "));
        return ResultOk;
    }

private:
    int list(QString& text, const QString& separator)
    {
        QString answer;
        for (int i = 0; i < controllers.size(); ++i) {
            answer += QString::number(i) + separator + controllers.at(i) + separator
                + QString::number(NumberFormat::truncated(value(-1 - i))) + separator
                + QString::number(NumberFormat::truncated(value(1000 + i))) + separator;
        }
        text = answer;
        return ResultOk;
    }

    QHash<int, float> m_values;
};
