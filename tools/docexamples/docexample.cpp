#include "docexample.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

const QString kSend = QStringLiteral("→ ");
const QString kReceive = QStringLiteral("← ");
const QRegularExpression kMarker(QStringLiteral("^<!-- recorded: (.*) -->$"));
const QRegularExpression kChange(QStringLiteral("^\\(the simulator now drives the locomotive of (\\S+)\\)$"));
const QRegularExpression kNumber(QStringLiteral("-?\\d+"));
constexpr int kLineWidth = 100;

bool isFence(const QString& line)
{
    return line.startsWith(QStringLiteral("```"));
}

// A line that continues the message above it: indented, and neither a new
// message nor commentary.
bool continues(const QString& line)
{
    const QString text = line.trimmed();
    return !text.isEmpty() && line.front().isSpace() && !text.startsWith(QLatin1Char('('))
        && !text.startsWith(kSend.trimmed()) && !text.startsWith(kReceive.trimmed());
}

// "A ... B" written out, where A and B differ in one number; else the text.
QStringList expanded(const QString& text)
{
    const int dots = text.indexOf(QStringLiteral(" ... "));
    if (dots < 0)
        return {text};
    const QString first = text.left(dots);
    const QString last = text.mid(dots + 5);
    const auto numbers = [](const QString& part) {
        QVector<QRegularExpressionMatch> found;
        for (auto it = kNumber.globalMatch(part); it.hasNext();)
            found.append(it.next());
        return found;
    };
    const auto from = numbers(first);
    const auto to = numbers(last);
    if (from.size() != to.size())
        return {text};
    for (int i = 0; i < from.size(); ++i) {
        const QString around = first.left(from[i].capturedStart()) + QLatin1Char('#') + first.mid(from[i].capturedEnd());
        if (from[i].captured() == to[i].captured()
            || around != last.left(to[i].capturedStart()) + QLatin1Char('#') + last.mid(to[i].capturedEnd()))
            continue;
        QStringList messages;
        for (int n = from[i].captured().toInt(); n <= to[i].captured().toInt(); ++n)
            messages.append(QString(around).replace(QLatin1Char('#'), QString::number(n)));
        return messages;
    }
    return {text};
}

} // namespace

bool DocExample::parse(const QString& document, const QStringList& lines, QVector<DocExample>* examples,
                       QString* error)
{
    const QString folder = QFileInfo(document).absolutePath();
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch marker = kMarker.match(lines[i]);
        if (!marker.hasMatch())
            continue;
        DocExample example;
        example.document = document;
        const QString where = QStringLiteral("%1:%2: ").arg(document).arg(i + 1);
        if (i + 1 >= lines.size() || !isFence(lines[i + 1])) {
            *error = where + QStringLiteral("no fenced block after the marker");
            return false;
        }
        example.firstLine = i + 2;
        int end = example.firstLine;
        while (end < lines.size() && !isFence(lines[end]))
            ++end;
        example.lineCount = end - example.firstLine;
        if (end == lines.size() || !example.parseOptions(marker.captured(1), folder, error)
            || !example.parseBody(lines.mid(example.firstLine, example.lineCount), error)) {
            *error = where + (error->isEmpty() ? QStringLiteral("the block never ends") : *error);
            return false;
        }
        examples->append(example);
        i = end;
    }
    return true;
}

bool DocExample::parseOptions(const QString& options, const QString& folder, QString* error)
{
    const int answer = options.indexOf(QStringLiteral("answer="));
    if (answer >= 0)
        answerTo = options.mid(answer + 7);
    for (const QString& option : options.left(answer < 0 ? -1 : answer).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString value = option.section(QLatin1Char('='), 1);
        if (option == QLatin1String("main"))
            port = Port::Main;
        else if (option == QLatin1String("live"))
            port = Port::Live;
        else if (option == QLatin1String("http"))
            port = Port::Http;
        else if (option.startsWith(QLatin1String("loco=")))
            locomotive = QDir(folder).absoluteFilePath(value);
        else if (option == QLatin1String("library=none"))
            noLibrary = true;
        else if (option.startsWith(QLatin1String("quiet=")))
            quietMs = value.toInt();
        else if (option == QLatin1String("hello"))
            showsGreeting = true;
        else {
            *error = QStringLiteral("unknown option \"%1\"").arg(option);
            return false;
        }
    }
    return true;
}

bool DocExample::parseBody(const QStringList& lines, QString* error)
{
    if (!answerTo.isEmpty()) {
        answer = lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
        return true;
    }
    for (int i = 0; i < lines.size(); ++i) {
        Step step;
        step.firstLine = firstLine + i;
        const QString line = lines[i];
        const bool sends = line.startsWith(kSend);
        if (sends || line.startsWith(kReceive)) {
            while (i + 1 < lines.size() && continues(lines[i + 1]))
                ++i;
            step.lineCount = firstLine + i + 1 - step.firstLine;
            step.kind = sends ? Step::Send : Step::Receive;
            step.messages = expanded(shownText(lines.mid(step.firstLine - firstLine, step.lineCount)));
        } else if (const QRegularExpressionMatch change = kChange.match(line.trimmed()); change.hasMatch()) {
            step.kind = Step::ChangeLocomotive;
            step.path = QDir(QFileInfo(document).absolutePath()).absoluteFilePath(change.captured(1));
            if (!QFileInfo::exists(step.path)) {
                *error = QStringLiteral("no file %1").arg(step.path);
                return false;
            }
        }
        steps.append(step);
    }
    return true;
}

QString DocExample::shownText(const QStringList& stepLines) const
{
    QString text = stepLines.value(0).mid(kSend.size()); // both arrows are one character and a blank
    for (const QString& line : stepLines.mid(1))
        text += port == Port::Http ? QLatin1Char('\n') + line.trimmed() : line.trimmed();
    return text;
}

QStringList DocExample::formatted(const QString& message) const
{
    if (port == Port::Http) {
        QStringList lines = message.split(QLatin1Char('\n'));
        for (int i = 1; i < lines.size(); ++i)
            lines[i].prepend(QStringLiteral("  "));
        lines[0].prepend(kReceive);
        return lines;
    }
    // A long JSON message is broken after a "," that ends a value, so that
    // joining the lines without their indent gives it back: the pieces
    // between such commas, packed into lines of kLineWidth.
    QStringList pieces{QString()};
    bool inString = false;
    for (int i = 0; i < message.size(); ++i) {
        const QChar c = message[i];
        pieces.last() += c;
        if (c == QLatin1Char('"') && (i == 0 || message[i - 1] != QLatin1Char('\\')))
            inString = !inString;
        const QChar next = i + 1 < message.size() ? message[i + 1] : QChar();
        if (port == Port::Live && !inString && c == QLatin1Char(',') && (next == QLatin1Char('{') || next == QLatin1Char('"')))
            pieces.append(QString());
    }
    QStringList lines{kReceive};
    for (const QString& piece : pieces) {
        if (lines.last().size() > 3 && lines.last().size() + piece.size() > kLineWidth)
            lines.append(QStringLiteral("   "));
        lines.last() += piece;
    }
    return lines;
}

QStringList DocExample::rewritten(const QStringList& lines, const QVector<QStringList>& received,
                                  QStringList* differences) const
{
    const auto differs = [&](int line, const QString& shown, const QString& got) {
        differences->append(QStringLiteral("%1:%2:\n  shown:    %3\n  received: %4")
                                .arg(document)
                                .arg(line + 1)
                                .arg(shown, got.isNull() ? QStringLiteral("(nothing)") : got));
    };
    const QStringList body = lines.mid(firstLine, lineCount);
    if (!answerTo.isEmpty()) {
        const QString got = received.value(0).value(0);
        if (got == answer)
            return body;
        differs(firstLine, answer, got);
        QStringList answerLines = got.split(QLatin1Char('\n'));
        if (got.endsWith(QLatin1Char('\n')))
            answerLines.removeLast();
        return answerLines;
    }
    QStringList result;
    int receiveStep = 0;
    for (const Step& step : steps) {
        const QStringList stepLines = lines.mid(step.firstLine, step.lineCount);
        if (step.kind != Step::Receive) {
            result += stepLines;
            continue;
        }
        const QStringList got = received.value(receiveStep++);
        bool same = got.size() == step.messages.size();
        for (int i = 0; same && i < got.size(); ++i)
            same = step.messages[i] == got[i];
        if (same) {
            result += stepLines;
            continue;
        }
        differs(step.firstLine, step.messages.join(QLatin1Char('\n')), got.isEmpty() ? QString() : got.join(QLatin1Char('\n')));
        for (const QString& message : got)
            result += formatted(message);
    }
    return result;
}
