#include "simulatorfolder.h"

#include <QFileInfo>
#include <QLibrary>

#include <mutex>

QString SimulatorFolder::libraryPath(const QString& folder)
{
    return folder + QStringLiteral("/plugins/RailDriver64.dll");
}

bool SimulatorFolder::load(QLibrary* library)
{
    static std::mutex loadMutex;
    std::lock_guard<std::mutex> lock(loadMutex);
    return library->load();
}

QString SimulatorFolder::problem(const QString& folder)
{
    if (!QFileInfo(folder).isDir())
        return QStringLiteral("there is no folder %1").arg(folder);
    const QString path = libraryPath(folder);
    if (!QFileInfo(path).isFile())
        return QStringLiteral("there is no file %1").arg(path);
    QLibrary library(path);
    return load(&library) ? QString() : library.errorString();
}
