#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Reads the version record of an executable file: the Windows version
// resource through the system's version API, or, on Linux, the record that
// our build embeds in the executable (EmbeddedVersionRecord below), found in
// the file's bytes. The window shows FileVersion() in its status bar.
class VersionInfo
{
public:
    VersionInfo() = default;
    ~VersionInfo();

    VersionInfo(const VersionInfo&) = delete;
    VersionInfo& operator=(const VersionInfo&) = delete;

    // Reads the named file's version record into the buffer. A bare name is
    // looked for where Windows looks for it, which starts with the
    // application's own folder; on Linux that folder alone, see Locate().
    // False when the file has no record or the record no translation table;
    // the reader is then empty.
    bool Load(const QString& fileName);

    // The four numbers of the fixed file version, "1,10,0,7"; empty when
    // nothing is loaded.
    QString FileVersion() const;

    // First entry of the translation table: language in the high 16 bits,
    // code page in the low 16 bits; 0 when nothing is loaded.
    quint32 Translation() const { return m_translation; }

    // Frees the buffer; the reader is empty again.
    void Release();

#ifndef Q_OS_WIN
    // The file that Load() reads for `fileName`. A name with a folder part is
    // taken as it is. A bare name is looked up in `folder` (Load passes the
    // application's folder), ignoring case as Windows does, first as given
    // and then, for a name ending in ".exe", without that suffix: our Linux
    // executable "kestrel" is what the window's "kestrel.exe" means there.
    // Empty when there is no such file.
    static QString Locate(const QString& fileName, const QString& folder);
#endif

private:
    QByteArray m_buffer; // null when nothing is loaded
    quint32 m_translation = 0;
};

#ifndef Q_OS_WIN
// The version record that the Linux build puts into the kestrel executable,
// in a section of its own (app/versionrecord.cpp.in, filled in from the
// project's version by CMake). The same fields as the Windows record that
// Kestrel reads: the fixed file and product versions and the translation
// table. All fields are native-endian; the reader runs on the machine the
// program was built for.
struct EmbeddedVersionRecord
{
    static constexpr char Marker[16] = {'K', 'e', 's', 't', 'r', 'e', 'l', ' ',
                                        'v', 'e', 'r', 's', 'i', 'o', 'n', '\0'};
    static constexpr quint32 Format = 1;

    char marker[16];
    quint32 format;
    quint16 fileVersion[4];    // major, minor, patch, tweak
    quint16 productVersion[4];
    quint16 translationCount;  // entries in translation (0 or 1)
    quint16 translation[2];    // language, code page
    quint16 reserved;
    // Over every field above but the marker: the marker alone may well
    // appear elsewhere in a file (in the reader's own constants, for one).
    quint32 check;

    static constexpr quint32 checkOf(const EmbeddedVersionRecord& r)
    {
        // FNV-1a over the 16-bit fields, low byte first.
        quint32 hash = 2166136261u;
        const quint16 fields[] = {
            quint16(r.format & 0xFFFF), quint16(r.format >> 16),
            r.fileVersion[0], r.fileVersion[1], r.fileVersion[2], r.fileVersion[3],
            r.productVersion[0], r.productVersion[1], r.productVersion[2], r.productVersion[3],
            r.translationCount, r.translation[0], r.translation[1], r.reserved,
        };
        for (quint16 field : fields) {
            hash = (hash ^ (field & 0xFFu)) * 16777619u;
            hash = (hash ^ (field >> 8)) * 16777619u;
        }
        return hash;
    }

    // The record as it is stored: marker, format and check filled in.
    static constexpr EmbeddedVersionRecord sealed(EmbeddedVersionRecord r)
    {
        for (int i = 0; i < 16; ++i)
            r.marker[i] = Marker[i];
        r.format = Format;
        r.check = checkOf(r);
        return r;
    }
};
static_assert(sizeof(EmbeddedVersionRecord) == 48, "the record's layout is part of the file format");
#endif
