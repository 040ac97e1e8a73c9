#pragma once

#include <QString>
#include <QTime>

// How a log line is shown, the same in the window's log pane and on the
// headless server's standard output: the time of day, one space, the text,
// and only when its level reaches the stored threshold.
class LogLine
{
public:
    static QString stamped(const QString& text, const QTime& time = QTime::currentTime())
    {
        return time.toString(QStringLiteral("HH:mm:ss.zzz")) + QLatin1Char(' ') + text;
    }

    static bool shown(int level, int threshold) { return level >= threshold; }
};
