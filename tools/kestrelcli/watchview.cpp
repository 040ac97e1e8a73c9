#include "watchview.h"

#include <QTime>

#include <algorithm>

namespace {

void write(std::FILE* out, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
}

} // namespace

WatchView::WatchView(std::FILE* out, bool inPlace, QStringList names, QString source)
    : m_out(out)
    , m_inPlace(inPlace)
    , m_names(std::move(names))
    , m_source(std::move(source))
{
}

void WatchView::show(const QStringList& values)
{
    ++m_round;
    const QString time = QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    if (m_inPlace) {
        drawTable(time, values);
    } else {
        QString line = time;
        for (int i = 0; i < m_names.size() && i < values.size(); ++i)
            line += QLatin1Char(' ') + m_names.at(i) + QLatin1Char('=') + values.at(i);
        write(m_out, line + QLatin1Char('\n'));
    }
    std::fflush(m_out);
}

void WatchView::drawTable(const QString& time, const QStringList& values)
{
    int nameWidth = 4;
    for (const QString& name : m_names)
        nameWidth = std::max(nameWidth, int(name.size()));

    QStringList lines;
    lines << QStringLiteral("%1  %2  round %3  (Ctrl-C stops)").arg(m_source, time).arg(m_round);
    lines << QStringLiteral("%1  %2").arg(QStringLiteral("NAME"), -nameWidth).arg(QStringLiteral("VALUE"), 12);
    for (int i = 0; i < m_names.size(); ++i)
        lines << QStringLiteral("%1  %2").arg(m_names.at(i), -nameWidth).arg(i < values.size() ? values.at(i) : QString(), 12);

    QString text;
    if (!m_cursorHidden) {
        text += QStringLiteral("\x1b[?25l");
        m_cursorHidden = true;
    }
    // Back to the table's first line, then every line cleared and rewritten.
    if (m_linesDrawn > 0)
        text += QStringLiteral("\x1b[%1A").arg(m_linesDrawn);
    for (const QString& line : lines)
        text += QStringLiteral("\r\x1b[2K") + line + QLatin1Char('\n');
    m_linesDrawn = lines.size();
    write(m_out, text);
}

void WatchView::finish()
{
    if (m_cursorHidden) {
        write(m_out, QStringLiteral("\x1b[?25h"));
        m_cursorHidden = false;
    }
    std::fflush(m_out);
}
