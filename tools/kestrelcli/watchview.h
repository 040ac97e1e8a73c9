#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

// What "watch" shows, one round of values at a time: on a terminal a table
// that is redrawn in place (ANSI cursor movement, cursor hidden meanwhile);
// elsewhere one line per round, "HH:MM:SS.mmm NAME=VALUE NAME=VALUE ...",
// which is what a log file or a pipe wants.
class WatchView
{
public:
    WatchView(std::FILE* out, bool inPlace, QStringList names, QString source);

    // Shows the values of one round, in the order of the names.
    void show(const QStringList& values);
    // Puts the cursor back (visible, below the table). Safe to call twice.
    void finish();

private:
    void drawTable(const QString& time, const QStringList& values);

    std::FILE* m_out;
    bool m_inPlace;
    QStringList m_names;
    QString m_source;
    int m_round = 0;
    int m_linesDrawn = 0;
    bool m_cursorHidden = false;
};
