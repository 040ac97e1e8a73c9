#pragma once

#include <QString>

class QLibrary;

// Where the simulator's RailDriver library lies in a simulator folder, how it
// is loaded, and, for a server that wants to say so at start, why it cannot
// be: the interface's own lines never reach the log.
class SimulatorFolder
{
public:
    // The folder and "/plugins/RailDriver64.dll", joined as they are: no
    // separator is added, removed or normalised.
    static QString libraryPath(const QString& folder);

    // Loads `library`, one load in the process at a time: Qt 5's QLibrary
    // miscounts its references when several threads load the same file for
    // the first time at once (the library object is then never freed). A
    // load of a file already mapped is quick.
    static bool load(QLibrary* library);

    // Empty when the folder's library loads; else what is wrong: no such
    // folder, no library file in it, or the loader's reason. A library that
    // loads stays loaded, as every interface leaves it.
    static QString problem(const QString& folder);
};
