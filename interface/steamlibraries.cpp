#include "steamlibraries.h"

#include "simulatorfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QVector>

namespace {

// One entry of Steam's key-value format: a key with a value, or a key with
// a block of entries.
struct Entry
{
    QString key;
    QString value;
    QVector<Entry> entries;
    bool isBlock = false;
};

constexpr int kMaxDepth = 32;

// Skips blanks and "//" comments; false at the end of the text.
bool skipBlanks(const QByteArray& text, int& at)
{
    while (at < text.size()) {
        const char c = text.at(at);
        if (c == '/' && at + 1 < text.size() && text.at(at + 1) == '/') {
            while (at < text.size() && text.at(at) != '\n')
                ++at;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++at;
        } else {
            return true;
        }
    }
    return false;
}

// A quoted text at `at`, its escapes undone ("\\" is one backslash); false
// when it does not end.
bool quoted(const QByteArray& text, int& at, QString* out)
{
    QByteArray bytes;
    for (++at; at < text.size();) {
        const char c = text.at(at++);
        if (c == '"') {
            *out = QString::fromUtf8(bytes);
            return true;
        }
        if (c == '\\' && at < text.size()) {
            const char escaped = text.at(at++);
            bytes += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
        } else {
            bytes += c;
        }
    }
    return false;
}

// The entries up to the end of their block or of the text. At anything odd
// (an unquoted word, a text cut short) it stops and keeps what it read.
QVector<Entry> entries(const QByteArray& text, int& at, int depth)
{
    QVector<Entry> result;
    while (skipBlanks(text, at)) {
        if (text.at(at) == '}') {
            ++at;
            break;
        }
        Entry entry;
        if (text.at(at) != '"' || !quoted(text, at, &entry.key) || !skipBlanks(text, at))
            break;
        if (text.at(at) == '{' && depth < kMaxDepth) {
            ++at;
            entry.isBlock = true;
            entry.entries = entries(text, at, depth + 1);
        } else if (text.at(at) != '"' || !quoted(text, at, &entry.value)) {
            break;
        }
        result.append(entry);
    }
    return result;
}

const Entry* find(const QVector<Entry>& list, const QString& key)
{
    for (const Entry& entry : list) {
        if (entry.key.compare(key, Qt::CaseInsensitive) == 0)
            return &entry;
    }
    return nullptr;
}

QVector<Entry> read(const QByteArray& text)
{
    int at = 0;
    return entries(text, at, 0);
}

QByteArray fileText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(1024 * 1024) : QByteArray();
}

} // namespace

QStringList SteamLibraries::libraryFolders(const QByteArray& vdf)
{
    const QVector<Entry> root = read(vdf);
    const Entry* list = find(root, QStringLiteral("libraryfolders"));
    QStringList folders;
    if (!list)
        return folders;
    for (const Entry& library : list->entries) {
        bool numbered = false;
        library.key.toInt(&numbered);
        if (!numbered) // "contentstatsid" and the like
            continue;
        const Entry* path = library.isBlock ? find(library.entries, QStringLiteral("path")) : &library;
        if (path && !path->value.isEmpty())
            folders.append(QString(path->value).replace(QLatin1Char('\\'), QLatin1Char('/')));
    }
    return folders;
}

QString SteamLibraries::installDir(const QByteArray& manifest)
{
    const QVector<Entry> root = read(manifest);
    const Entry* app = find(root, QStringLiteral("AppState"));
    const Entry* folder = app ? find(app->entries, QStringLiteral("installdir")) : nullptr;
    return folder ? folder->value : QString();
}

QStringList SteamLibraries::steamFolders()
{
    QStringList folders;
#ifdef Q_OS_WIN
    const QString user = QSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\Valve\\Steam"), QSettings::NativeFormat)
                             .value(QStringLiteral("SteamPath"))
                             .toString();
    const QString machine = QSettings(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Valve\\Steam"),
                                      QSettings::NativeFormat)
                                .value(QStringLiteral("InstallPath"))
                                .toString();
    for (const QString& folder : {user, machine}) {
        if (!folder.isEmpty())
            folders.append(QDir::cleanPath(QDir::fromNativeSeparators(folder)));
    }
    folders.removeDuplicates();
#endif
    return folders;
}

SteamLibraries::Found SteamLibraries::findSimulator(const QStringList& steamFolders)
{
    QStringList libraries;
    for (const QString& steam : steamFolders) {
        libraries.append(QDir::cleanPath(steam));
        for (const QString& library :
             libraryFolders(fileText(steam + QStringLiteral("/steamapps/libraryfolders.vdf"))))
            libraries.append(QDir::cleanPath(library));
    }
    libraries.removeDuplicates();
    for (const QString& library : qAsConst(libraries)) {
        if (!QFileInfo(library).isDir())
            continue;
        const QString apps = library + QStringLiteral("/steamapps/");
        QString folder = installDir(fileText(apps + QStringLiteral("appmanifest_%1.acf").arg(SimulatorAppId)));
        if (folder.isEmpty())
            folder = QStringLiteral("RailWorks");
        folder = apps + QStringLiteral("common/") + folder;
        if (QFileInfo(folder + QStringLiteral("/RailWorks.exe")).isFile())
            return {folder, library, QFileInfo(SimulatorFolder::libraryPath(folder)).isFile()};
    }
    return {};
}
