#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Reads the version record of an executable file through the Windows version
// API; the window shows FileVersion() in its status bar. Linux executables
// carry no version resource: there the reader answers the version the build
// was made from, whatever the file.
class VersionInfo
{
public:
    VersionInfo() = default;
    ~VersionInfo();

    VersionInfo(const VersionInfo&) = delete;
    VersionInfo& operator=(const VersionInfo&) = delete;

    // Reads the named file's version record into the buffer. A bare name is
    // looked for where Windows looks for it, which starts with the
    // application's own folder. False when the file has no record or the
    // record no translation table; the reader is then empty.
    bool Load(const QString& fileName);

    // The four numbers of the fixed file version, "1,10,0,7"; empty when
    // nothing is loaded.
    QString FileVersion() const;

    // First entry of the translation table: language in the high 16 bits,
    // code page in the low 16 bits; 0 when nothing is loaded.
    quint32 Translation() const { return m_translation; }

    // Frees the buffer; the reader is empty again.
    void Release();

private:
    QByteArray m_buffer; // null when nothing is loaded
    quint32 m_translation = 0;
};
