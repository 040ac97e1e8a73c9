#pragma once

// A Steam of the test's own: a folder whose one library holds the simulator
// (its program, and its RailDriver library unless `half`), named in the
// registry as the user's Steam while the object lives. Windows only.

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

class FakeSteam
{
public:
    explicit FakeSteam(bool half = false)
    {
        QDir().mkpath(simulatorFolder() + QStringLiteral("/plugins"));
        for (const QString& file : {QStringLiteral("/RailWorks.exe"), QStringLiteral("/plugins/RailDriver64.dll")}) {
            QFile made(simulatorFolder() + file);
            if (!half || file.endsWith(QLatin1String(".exe")))
                made.open(QIODevice::WriteOnly);
        }
        m_registry.setValue(QStringLiteral("SteamPath"), m_dir.path());
        m_registry.sync();
    }
    ~FakeSteam() { m_registry.remove(QStringLiteral("SteamPath")); }

    QString folder() const { return m_dir.path(); }
    QString simulatorFolder() const { return m_dir.filePath(QStringLiteral("steamapps/common/RailWorks")); }

private:
    QTemporaryDir m_dir;
    QSettings m_registry{QStringLiteral("HKEY_CURRENT_USER\\Software\\Valve\\Steam"), QSettings::NativeFormat};
};
