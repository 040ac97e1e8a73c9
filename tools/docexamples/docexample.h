#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// One example exchange of a document, as the document shows it: a fenced
// block right after a line "<!-- recorded: OPTIONS -->". Inside the block
// "→ " starts what the client sends and "← " what it receives; lines indented
// under them continue them (a header of an HTTP request, a long JSON message
// spread over several lines); anything else is commentary, kept as written.
//
// OPTIONS, separated by blanks:
//   main | live | http   the main port, a WebSocket at /live/v1, or HTTP on
//                        the live port (one connection per request)
//   loco=FILE            the simulated locomotive described by FILE, a path
//                        relative to the document's folder
//   library=none         a simulator folder without a library
//   quiet=MS             wait MS milliseconds after connecting, before sending
//   hello                the block shows the live port's greeting; without
//                        this the greeting is taken and not shown
//   answer=TEXT          the whole block is the main port's answer to the
//                        plain-text command TEXT
//
// "A ... B", where A and B differ in one number only, stands for every
// message from A to B. The commentary "(the simulator now drives the
// locomotive of FILE)" changes the locomotive there.
class DocExample
{
public:
    enum class Port { Main, Live, Http };

    struct Step
    {
        enum Kind { Send, Receive, ChangeLocomotive, Comment };
        Kind kind = Comment;
        QStringList messages; // Send and Receive, the ranges written out
        QString path;         // ChangeLocomotive: the description file
        int firstLine = 0;    // where the step stands in the document
        int lineCount = 1;
    };

    QString document;
    int firstLine = 0; // of the block's body, after the opening fence
    int lineCount = 0;
    Port port = Port::Main;
    QString locomotive; // a description file, absolute; empty: the built-in one
    bool noLibrary = false;
    int quietMs = 0;
    bool showsGreeting = false;
    QString answerTo;
    QString answer; // an "answer=" block's body, as the answer's text
    QVector<Step> steps;

    // Every recorded block of `lines` (the document `document`, whose folder
    // resolves relative paths). False, with `error`, on a block it cannot read.
    static bool parse(const QString& document, const QStringList& lines, QVector<DocExample>* examples,
                      QString* error);

    // The block's body with `received` (one list per Receive step, in order)
    // in place of what it shows; the lines that already show a message are
    // kept as they are. `differences` gets a line for each that did not.
    QStringList rewritten(const QStringList& lines, const QVector<QStringList>& received,
                          QStringList* differences) const;

    // What a Receive step's document lines say, in the form the recorder
    // gets it: continuation lines joined (JSON: without the indent; HTTP: as
    // header lines).
    QString shownText(const QStringList& stepLines) const;

private:
    bool parseOptions(const QString& options, const QString& folder, QString* error);
    bool parseBody(const QStringList& lines, QString* error);
    QStringList formatted(const QString& message) const;
};
