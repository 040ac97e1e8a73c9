#pragma once

// The test side of one stub RailDriver library (README.md): what is set here
// is what the interface on folder() is answered; callLog() lists its calls,
// e.g. "GetControllerValue(12,0);SetControllerValue(12,0.5);".

#include <QByteArray>
#include <QLibrary>
#include <QString>

class StubLibrary
{
    // Before its users: they take its return type from it.
    template <typename Function, typename... Args>
    auto call(const char* name, Args... args) const
    {
        const auto function = reinterpret_cast<Function*>(m_library.resolve(name));
        if (!function) // steering a stub that did not load would silently test nothing
            qFatal("StubLibrary: %s", qPrintable(m_library.errorString()));
        return function(args...);
    }

public:
    // "full", or "no_" and the one RailDriver function the case lacks, in
    // KESTREL_STUB_DIR (which the build defines).
    explicit StubLibrary(const QString& caseName)
        : m_folder(QStringLiteral(KESTREL_STUB_DIR "/") + caseName)
        , m_library(m_folder + QStringLiteral("/plugins/RailDriver64.dll"))
    {
        m_library.load();
    }

    // The simulator folder, for TSInterfaceDll or the server's settings.
    QString folder() const { return m_folder; }
    // False when the library did not load or lacks the control functions.
    bool isValid() const { return m_library.resolve("StubCallLog") != nullptr; }

    // Empty texts, every value 0, connected, no locomotive change, empty log.
    void reset() { call<void()>("StubReset"); }
    // The ...Null() forms make the library hand out a null pointer.
    void setLocoName(const QString& name) { setText(LocoName, name.toUtf8().constData()); }
    void setLocoNameNull() { setText(LocoName, nullptr); }
    void setControllerList(const QString& list) { setText(ControllerList, list.toUtf8().constData()); }
    void setControllerListNull() { setText(ControllerList, nullptr); }
    // What GetControllerValue(index, type) answers (type 0 current, 1 min,
    // 2 max) and GetRailSimValue(id, 0); whatever was never set answers 0.
    // SetControllerValue sets the current value too, as a simulator does.
    void setValue(int index, int type, float value) { call<void(int, int, float)>("StubSetValue", index, type, value); }
    void setRailSimValue(int id, float value) { setValue(id, -1, value); }
    void setConnected(bool connected) { setFlag(Disconnected, !connected); }
    void setLocoChanged(bool changed) { setFlag(LocoChanged, changed); }
    // While held, GetLocoName does not return: a library call that hangs.
    void hold(bool held) { setFlag(Held, held); }
    int waitingCalls() const { return call<int()>("StubWaitingCalls"); }

    QString callLog() const
    {
        QByteArray log;
        for (int length = 0;;) { // until the buffer held all, as other threads may log meanwhile
            log.resize(length + 1);
            length = call<int(char*, int, bool)>("StubCallLog", log.data(), log.size(), false);
            if (length < log.size())
                return QString::fromLatin1(log.left(length));
        }
    }
    void clearCallLog() { call<int(char*, int, bool)>("StubCallLog", nullptr, 0, true); }

private:
    enum Text { LocoName, ControllerList };
    enum Flag { Disconnected, LocoChanged, Held }; // as in stubraildriver.c

    void setText(Text which, const char* text) { call<void(int, const char*)>("StubSetText", which, text); }
    void setFlag(Flag flag, bool on) { call<void(int, bool)>("StubSetFlag", flag, on); }

    QString m_folder;
    mutable QLibrary m_library;
};
