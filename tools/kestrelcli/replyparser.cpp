#include "replyparser.h"

#include <QStringList>

namespace {

const int kSharedCount = 8;

bool isNumber(const QString& text)
{
    bool ok = false;
    text.toDouble(&ok);
    return ok;
}

bool readInt(const QString& text, int* value)
{
    bool ok = false;
    *value = text.toInt(&ok, 10);
    return ok;
}

// Records that each end in "::". The empty text has none.
bool splitRecords(const QString& payload, QStringList* records)
{
    if (payload.isEmpty())
        return true;
    if (!payload.endsWith(QLatin1String("::")))
        return false;
    *records = payload.chopped(2).split(QStringLiteral("::"), Qt::KeepEmptyParts);
    return true;
}

bool appendShared(const QStringList& parts, int first, LabelledValues* values)
{
    static const char* const labels[kSharedCount] = {"text1", "text2", "number", "int1",
                                                     "int2",  "int3",  "int4",   "int5"};
    if (parts.size() - first != kSharedCount || !isNumber(parts.at(first + 2)))
        return false;
    for (int i = 0; i < kSharedCount; ++i) {
        int unused = 0;
        if (i >= 3 && !readInt(parts.at(first + i), &unused))
            return false;
        values->append({QLatin1String(labels[i]), parts.at(first + i)});
    }
    return true;
}

} // namespace

bool ReplyParser::isNoResult(const QString& payload)
{
    return payload == QLatin1String("NO RESULT") || payload == QLatin1String("no result")
        || payload == QLatin1String("FUNCTION NOT IMPLEMENTED");
}

bool ReplyParser::controllerList(const QString& payload, QVector<ControllerInfo>* controllers)
{
    QStringList fields;
    if (!splitRecords(payload, &fields) || fields.size() % 4 != 0)
        return false;
    for (int i = 0; i < fields.size(); i += 4) {
        ControllerInfo controller;
        int unused = 0;
        if (!readInt(fields.at(i), &controller.index) || !readInt(fields.at(i + 2), &unused)
            || !readInt(fields.at(i + 3), &unused))
            return false;
        controller.name = fields.at(i + 1);
        controller.minimum = fields.at(i + 2);
        controller.maximum = fields.at(i + 3);
        controllers->append(controller);
    }
    return true;
}

bool ReplyParser::controllerValues(const QString& payload, QVector<ControllerValue>* values)
{
    QStringList records;
    if (payload.isEmpty() || !splitRecords(payload, &records))
        return false;
    for (const QString& record : records) {
        const QStringList parts = record.split(QLatin1Char(':'), Qt::KeepEmptyParts);
        ControllerValue value;
        if (parts.size() != 2 || !readInt(parts.at(0), &value.id) || !isNumber(parts.at(1)))
            return false;
        value.value = parts.at(1);
        values->append(value);
    }
    return true;
}

bool ReplyParser::sharedValues(const QString& payload, LabelledValues* values)
{
    return appendShared(payload.split(QLatin1Char(':'), Qt::KeepEmptyParts), 0, values);
}

bool ReplyParser::trainData(const QString& payload, LabelledValues* values, bool* noResult)
{
    const QStringList parts = payload.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    const int fieldCount = parts.size() - kSharedCount;
    *noResult = fieldCount == 1 && parts.at(0) == QLatin1String("no result");
    if (*noResult)
        return appendShared(parts, 1, values);
    if (fieldCount != 9 && fieldCount != 6)
        return false;

    for (int i = 0; i < fieldCount; ++i) {
        if (!isNumber(parts.at(i)))
            return false;
    }
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!readInt(parts.at(3), &hour) || !readInt(parts.at(4), &minute) || !readInt(parts.at(5), &second))
        return false;
    values->append({QStringLiteral("latitude"), parts.at(0)});
    values->append({QStringLiteral("longitude"), parts.at(1)});
    values->append({QStringLiteral("gradient"), parts.at(2)});
    values->append({QStringLiteral("time of day"), QStringLiteral("%1:%2:%3")
                                                        .arg(hour, 2, 10, QLatin1Char('0'))
                                                        .arg(minute, 2, 10, QLatin1Char('0'))
                                                        .arg(second, 2, 10, QLatin1Char('0'))});
    if (fieldCount == 9) {
        values->append({QStringLiteral("speed"), parts.at(6)});
        values->append({QStringLiteral("throttle"), parts.at(7)});
        values->append({QStringLiteral("emergency brake"), parts.at(8)});
    }
    return appendShared(parts, fieldCount, values);
}
