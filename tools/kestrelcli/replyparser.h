#pragma once

#include <QPair>
#include <QString>
#include <QVector>

// One controller of the "::" list form.
struct ControllerInfo
{
    int index = 0;
    QString name;
    QString minimum;
    QString maximum;
};

// One "ID:VALUE::" record.
struct ControllerValue
{
    int id = 0;
    QString value;
};

// Label and value, in the order they are shown.
using LabelledValues = QVector<QPair<QString, QString>>;

// Reads the payloads of framed replies into their parts. Each function
// answers false when the payload is not in its form, which the caller
// reports as a malformed reply.
class ReplyParser
{
public:
    // The server's texts for "no library" or "the library lacks that".
    static bool isNoResult(const QString& payload);

    // "INDEX::NAME::MIN::MAX::" per controller; an empty list is empty.
    static bool controllerList(const QString& payload, QVector<ControllerInfo>* controllers);
    // "ID:VALUE::" per id.
    static bool controllerValues(const QString& payload, QVector<ControllerValue>* values);
    // The eight shared values joined by ":", labelled text1 ... int5.
    static bool sharedValues(const QString& payload, LabelledValues* values);
    // Train data, nine fields or the short form of six (a library without
    // the simulator values), then the eight shared values. The time of day
    // becomes one field, HH:MM:SS. *noResult is set when the server had no
    // train data at all ("no result") and only the shared values follow.
    static bool trainData(const QString& payload, LabelledValues* values, bool* noResult);
};
