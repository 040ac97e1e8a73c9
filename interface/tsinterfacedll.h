#pragma once

#include "tsinterfacebase.h"

class QLibrary;

// The simulator interface on the simulator's RailDriver library. The library
// is loaded from "<simulator folder>/plugins/RailDriver64.dll" when the object
// is made; every operation looks its function up by name anew, so a library
// swapped under us (or one lacking a function) is always seen as it is now.
class TSInterfaceDll : public TSInterfaceBase
{
    Q_OBJECT

public:
    explicit TSInterfaceDll(QString simulatorPath);
    ~TSInterfaceDll() override;

    int connectSimulator(QString& status) override;
    int disconnectSimulator() override;
    int getTrainData(QString& text) override;
    int getControllerListRaw(QString& text) override;
    int getControllerListJson(QString& text) override;
    int getControllerListFlat(QString& text) override;
    int getControllerListWithValues(QString& text) override;
    int getControllerValues(QString& text) override;
    int getControllerValue(QString& text) override;
    int setControllerValue(QString& text) override;
    int getLocoChanged(QString& text) override;
    int getLocoName(QString& text) override;
    int loadSteamLibrary() override;

private:
    enum class ListForm { Raw, Flat, WithValues };

    // Resolves an exported function of the loaded library; null when the
    // library lacks it. Callers have checked that a library is loaded.
    template <typename Function>
    Function resolve(const char* name) const;
    bool libraryMissing() const;
    int controllerListText(QString& text, ListForm form);
    // Fetches and splits the library's controller list; false when the
    // library has no "GetControllerList".
    bool controllerNames(QStringList* names) const;

    QLibrary* m_library = nullptr;
    QString m_simulatorPath;
    QString m_lastError;
};
