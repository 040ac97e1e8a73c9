#pragma once

// kestreld (or a server program that prints its port as kestreld does) run
// as a user runs it, for the tests of the programs and for the benchmark:
// started with port 0 in a working directory of its own, the port read from
// its "The system chose port N" line, stopped as Ctrl-C would stop it.

#include <QCoreApplication>
#include <QDir>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

class ServerProcess
{
public:
    // The kestreld that this build made, beside the test programs' folder.
    static QString kestreld()
    {
        return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../kestreld"));
    }

    ~ServerProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Starts the program with `arguments` (kestreld wants "--port 0") in
    // `workingDir` (a fresh temporary folder when empty), and waits for its
    // port. When `stdoutFile` names a file (a pipe) for its output, reading
    // it and telling the port are the caller's.
    bool start(const QStringList& arguments, const QString& workingDir = QString(),
               const QString& program = kestreld(), const QString& stdoutFile = QString())
    {
        m_process.setWorkingDirectory(workingDir.isEmpty() ? m_dir.path() : workingDir);
        if (!stdoutFile.isEmpty())
            m_process.setStandardOutputFile(stdoutFile);
        // Nothing a test runs announces itself on the network around it,
        // unless the test has a network of its own.
        const auto isKestreld = [](const QString& path) { return QFileInfo(path).baseName() == QLatin1String("kestreld"); };
        const bool silence = !m_announces && (isKestreld(program) || std::any_of(arguments.begin(), arguments.end(), isKestreld));
        m_process.start(program, silence ? arguments + QStringList{QStringLiteral("--no-discovery")} : arguments);
        if (!m_process.waitForStarted(10000) || !stdoutFile.isEmpty())
            return running();
        const QRegularExpression chosen(QStringLiteral("chose port (\\d+)"));
        const QDeadlineTimer deadline(10000);
        while (m_port == 0 && !deadline.hasExpired() && running()) {
            const QRegularExpressionMatch match = chosen.match(QString::fromLocal8Bit(output()));
            if (match.hasMatch())
                m_port = quint16(match.captured(1).toUInt());
            else
                m_process.waitForReadyRead(100);
        }
        return m_port != 0;
    }

    // kestreld announces itself by DNS-SD: for tests in a network namespace.
    void setAnnounces(bool announces) { m_announces = announces; }
    quint16 port() const { return m_port; }
    void setPort(quint16 port) { m_port = port; }
    qint64 pid() const { return m_process.processId(); }
    QProcess& process() { return m_process; }
    bool running() const { return m_process.state() == QProcess::Running; }

    // What the program printed on standard output so far.
    QByteArray output()
    {
        m_output += m_process.readAllStandardOutput();
        return m_output;
    }

    // Asks the program to end as Ctrl-C would and waits up to `timeoutMs`.
    // The exit code, or -1 when it did not end normally in time. On Windows
    // this is Ctrl-C itself, which reaches every program on the test's
    // console (the test's own handler takes it, rather than the flag that
    // ignores it, which programs started later would inherit): one such
    // server at a time.
    int stop(int timeoutMs)
    {
#ifdef Q_OS_WIN
        SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
#else
        m_process.terminate();
#endif
        if (!m_process.waitForFinished(timeoutMs))
            return -1;
        output();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_output;
    quint16 m_port = 0;
    bool m_announces = false;
};
