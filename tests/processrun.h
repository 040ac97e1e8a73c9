#pragma once

// Runs a program of ours to its end while the test's event loop keeps
// running, so that an in-process server can answer it meanwhile.

#include <QProcess>
#include <QSignalSpy>
#include <QString>
#include <QStringList>

struct ProcessRun
{
    int status = -1; // exit code; -1 when the program crashed
    QString out;
    QString err;
};

// False when the program did not start or did not end within the time.
inline bool runProcess(const QString& program, const QStringList& arguments, ProcessRun* run,
                       int timeoutMs = 30000)
{
    QProcess process;
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(program, arguments);
    if (!process.waitForStarted())
        return false;
    if (finished.isEmpty() && !finished.wait(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    run->status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run->out = QString::fromUtf8(process.readAllStandardOutput());
    run->err = QString::fromUtf8(process.readAllStandardError());
    return true;
}
