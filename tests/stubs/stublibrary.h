#pragma once

// Test-side handle on one stub RailDriver library (see README.md here).
//
// A stub is built once per missing-function case into
// KESTREL_STUB_DIR/<case>/plugins/RailDriver64.dll. StubLibrary loads that
// same file with QLibrary; since one path is one loaded instance per process,
// whatever a test sets here is what a TSInterfaceDll (or a whole server)
// built on folder() sees, and callLog() shows every call it made.
//
// The state of a stub lives as long as the process: reset() it before each
// test (QtTest's init()). The control functions are thread-safe, so a test may
// steer a stub while client threads call into it.
//
//     StubLibrary stub(QStringLiteral("full"));
//     QVERIFY2(stub.isValid(), qPrintable(stub.errorString()));
//     stub.reset();
//     stub.setLocoName(QStringLiteral("Class 66"));
//     TSInterfaceDll dll(stub.folder());
//     ...
//     QCOMPARE(stub.callLog(), QStringLiteral("GetLocoName();"));

#include <QByteArray>
#include <QLibrary>
#include <QString>

#ifndef KESTREL_STUB_DIR
#error "KESTREL_STUB_DIR must name the folder that holds the stub cases"
#endif

class StubLibrary
{
public:
    // A library file given by its path, for stubs copied elsewhere (a stub
    // copied under a new name is a separate instance with its own state).
    struct File {
        QString path;
    };

    // The stub of one case: "full", or "no_" followed by the name of the one
    // RailDriver function that the case lacks.
    explicit StubLibrary(const QString& caseName)
        : StubLibrary(File{folderOf(caseName) + QStringLiteral("/plugins/RailDriver64.dll")})
    {
        m_folder = folderOf(caseName);
    }

    explicit StubLibrary(const File& file)
        : m_library(file.path)
    {
        if (!m_library.load())
            return;
        m_reset = resolve<VoidFn>("StubReset");
        m_setLocoName = resolve<TextFn>("StubSetLocoName");
        m_setControllerList = resolve<TextFn>("StubSetControllerList");
        m_setValue = resolve<SetValueFn>("StubSetValue");
        m_setRailSimValue = resolve<SetRailSimValueFn>("StubSetRailSimValue");
        m_setConnected = resolve<FlagFn>("StubSetConnected");
        m_setLocoChanged = resolve<FlagFn>("StubSetLocoChanged");
        m_copyCallLog = resolve<CopyLogFn>("StubCopyCallLog");
        m_clearCallLog = resolve<VoidFn>("StubClearCallLog");
        m_hold = resolve<FlagFn>("StubHold");
        m_waitingCalls = resolve<CountFn>("StubWaitingCalls");
    }

    StubLibrary(const StubLibrary&) = delete;
    StubLibrary& operator=(const StubLibrary&) = delete;

    // The simulator folder of a case, to hand to TSInterfaceDll or to the
    // server's settings.
    static QString folderOf(const QString& caseName)
    {
        return QStringLiteral(KESTREL_STUB_DIR "/") + caseName;
    }

    // The simulator folder of this stub; empty for a stub given by File.
    QString folder() const { return m_folder; }
    QString libraryFile() const { return m_library.fileName(); }

    // True when the file loaded and every control function was found.
    bool isValid() const
    {
        return m_reset && m_setLocoName && m_setControllerList && m_setValue && m_setRailSimValue
            && m_setConnected && m_setLocoChanged && m_copyCallLog && m_clearCallLog && m_hold
            && m_waitingCalls;
    }
    QString errorString() const
    {
        if (!m_library.isLoaded())
            return m_library.errorString();
        return isValid() ? QString()
                         : QStringLiteral("%1 lacks the stub control functions").arg(m_library.fileName());
    }

    // Back to a fresh stub: empty loco name and controller list, every value
    // 0, connected, locomotive not changed, empty call log.
    void reset() { require(m_reset)(); }

    // What GetLocoName answers, as UTF-8.
    void setLocoName(const QString& name) { require(m_setLocoName)(name.toUtf8().constData()); }
    // Makes GetLocoName return a null pointer.
    void setLocoNameNull() { require(m_setLocoName)(nullptr); }

    // What GetControllerList answers (names joined by "::"), as UTF-8.
    void setControllerList(const QString& list) { require(m_setControllerList)(list.toUtf8().constData()); }
    // Makes GetControllerList return a null pointer.
    void setControllerListNull() { require(m_setControllerList)(nullptr); }

    // What GetControllerValue(index, type) answers; type 0 current, 1 min,
    // 2 max. Pairs never set answer 0.
    void setValue(int index, int type, float value) { require(m_setValue)(index, type, value); }
    // What GetRailSimValue(id, 0) answers; ids never set answer 0.
    void setRailSimValue(int id, float value) { require(m_setRailSimValue)(id, value); }

    // What GetRailDriverConnected answers (true after reset()).
    void setConnected(bool connected) { require(m_setConnected)(connected); }
    // What GetRailSimLocoChanged answers (false after reset()).
    void setLocoChanged(bool changed) { require(m_setLocoChanged)(changed); }

    // Every RailDriver call since the last reset or clear, in call order, one
    // entry each: "SetRailDriverConnected(1);GetControllerValue(12,0);
    // SetControllerValue(12,0.5);" (floats in C's "%g", a point for the
    // decimal separator, bools as 0 or 1).
    QString callLog() const
    {
        const auto copy = require(m_copyCallLog);
        // Another thread may log between the two calls; try again until the
        // buffer was big enough for the whole log.
        QByteArray buffer;
        int length = copy(nullptr, 0);
        for (;;) {
            buffer.resize(length + 1);
            const int now = copy(buffer.data(), buffer.size());
            if (now <= length) {
                buffer.resize(now);
                return QString::fromLatin1(buffer);
            }
            length = now;
        }
    }
    void clearCallLog() { require(m_clearCallLog)(); }

    // While held, GetLocoName does not return: a library call that hangs.
    void hold(bool held) { require(m_hold)(held); }
    // GetLocoName calls waiting for the stub to be released.
    int waitingCalls() const { return require(m_waitingCalls)(); }

private:
    using VoidFn = void (*)();
    using TextFn = void (*)(const char*);
    using SetValueFn = void (*)(int, int, float);
    using SetRailSimValueFn = void (*)(int, float);
    using FlagFn = void (*)(bool);
    using CopyLogFn = int (*)(char*, int);
    using CountFn = int (*)();

    template <typename Function>
    Function resolve(const char* name)
    {
        return reinterpret_cast<Function>(m_library.resolve(name));
    }

    // Steering a stub that did not load would silently test nothing.
    template <typename Function>
    Function require(Function function) const
    {
        if (!function)
            qFatal("StubLibrary: %s", qPrintable(errorString()));
        return function;
    }

    QLibrary m_library;
    QString m_folder;
    VoidFn m_reset = nullptr;
    TextFn m_setLocoName = nullptr;
    TextFn m_setControllerList = nullptr;
    SetValueFn m_setValue = nullptr;
    SetRailSimValueFn m_setRailSimValue = nullptr;
    FlagFn m_setConnected = nullptr;
    FlagFn m_setLocoChanged = nullptr;
    CopyLogFn m_copyCallLog = nullptr;
    VoidFn m_clearCallLog = nullptr;
    FlagFn m_hold = nullptr;
    CountFn m_waitingCalls = nullptr;
};
