#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Where Steam keeps its games, and the simulator among them, so that a user
// need not find "...\steamapps\common\RailWorks" by hand. Steam's own folder
// is in the registry; every library it knows is listed in that folder's
// "steamapps\libraryfolders.vdf"; the simulator (app 24010) is in the
// library whose "steamapps\appmanifest_24010.acf" names its folder.
//
// Steam's files are read with a small reader of their format (quoted keys
// and values, nested in braces, "//" comments) that takes what it can: a
// file cut short or odd still gives the entries read before the fault.
class SteamLibraries
{
public:
    // The library folders a "libraryfolders.vdf" lists, in its order: the
    // "path" of each entry (Steam's format since 2021), or the entry's value
    // itself (the format before).
    static QStringList libraryFolders(const QByteArray& vdf);
    // The "installdir" of an app manifest; empty when it names none.
    static QString installDir(const QByteArray& manifest);

    // Steam's folders as the registry names them: the user's Steam, then
    // the machine's. None where there is no registry.
    static QStringList steamFolders();

    struct Found
    {
        QString folder;  // the simulator's folder, with "/" as separator; empty: none
        QString library; // the Steam library it is in
        bool hasLibrary = false; // its plugins folder holds RailDriver64.dll
    };
    // The simulator in the first library, of those the Steam folders list,
    // that has its program "RailWorks.exe". Libraries that no longer exist
    // are passed over.
    static Found findSimulator(const QStringList& steamFolders);

    // Steam's app id of the simulator.
    static constexpr int SimulatorAppId = 24010;
};
