#include "versioninfo.h"

#ifdef Q_OS_WIN

#include <qt_windows.h>

#include <string>

VersionInfo::~VersionInfo()
{
    Release();
}

bool VersionInfo::Load(const QString& fileName)
{
    // A reader used twice must not keep the first file's record.
    Release();

    const std::wstring name = fileName.toStdWString();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(name.c_str(), &handle);
    if (size == 0)
        return false;

    m_buffer = QByteArray(int(size), '\0');
    if (GetFileVersionInfoW(name.c_str(), handle, size, m_buffer.data())) {
        void* table = nullptr;
        UINT length = 0;
        if (VerQueryValueW(m_buffer.constData(), L"\\VarFileInfo\\Translation", &table, &length)
            && table && length >= 2 * sizeof(WORD)) {
            const WORD* words = static_cast<const WORD*>(table);
            m_translation = (quint32(words[0]) << 16) | quint32(words[1]);
            return true;
        }
    }
    Release();
    return false;
}

QString VersionInfo::FileVersion() const
{
    if (m_buffer.isNull())
        return QString();
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(m_buffer.constData(), L"\\", &value, &length) || !value
        || length < sizeof(VS_FIXEDFILEINFO))
        return QString();
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    return QString::asprintf("%u,%u,%u,%u",
                             unsigned(HIWORD(info->dwFileVersionMS)), unsigned(LOWORD(info->dwFileVersionMS)),
                             unsigned(HIWORD(info->dwFileVersionLS)), unsigned(LOWORD(info->dwFileVersionLS)));
}

#else // Linux and other ELF systems: our own record, see EmbeddedVersionRecord.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace {

// The first well-formed record in `bytes`. The marker is only a hint where to
// look (the reader's own constants contain it too); a record counts when its
// format and check agree.
QByteArray findRecord(const uchar* bytes, qint64 size)
{
    constexpr qint64 recordSize = qint64(sizeof(EmbeddedVersionRecord));
    const QByteArray marker = QByteArray::fromRawData(EmbeddedVersionRecord::Marker,
                                                      int(sizeof(EmbeddedVersionRecord::Marker)));
    for (qint64 at = 0; at + recordSize <= size;) {
        const auto* hit = static_cast<const uchar*>(
            std::memchr(bytes + at, marker.at(0), size_t(size - recordSize - at + 1)));
        if (!hit)
            break;
        at = hit - bytes;
        if (std::memcmp(hit, marker.constData(), size_t(marker.size())) == 0) {
            EmbeddedVersionRecord record;
            std::memcpy(&record, hit, sizeof record);
            if (record.format == EmbeddedVersionRecord::Format
                && record.check == EmbeddedVersionRecord::checkOf(record))
                return QByteArray(reinterpret_cast<const char*>(hit), int(recordSize));
        }
        ++at;
    }
    return QByteArray();
}

} // namespace

VersionInfo::~VersionInfo()
{
    Release();
}

QString VersionInfo::Locate(const QString& fileName, const QString& folder)
{
    if (fileName.isEmpty())
        return QString();
    if (fileName.contains(QLatin1Char('/'))) {
        const QFileInfo info(fileName);
        return info.isFile() ? info.absoluteFilePath() : QString();
    }

    QStringList candidates{fileName};
    const QString windowsSuffix = QStringLiteral(".exe");
    if (fileName.endsWith(windowsSuffix, Qt::CaseInsensitive) && fileName.size() > windowsSuffix.size())
        candidates << fileName.left(fileName.size() - windowsSuffix.size());

    const QDir dir(folder);
    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& candidate : candidates) {
        // An exact match wins over one that differs in case only.
        if (entries.contains(candidate))
            return dir.absoluteFilePath(candidate);
        for (const QString& entry : entries) {
            if (entry.compare(candidate, Qt::CaseInsensitive) == 0)
                return dir.absoluteFilePath(entry);
        }
    }
    return QString();
}

bool VersionInfo::Load(const QString& fileName)
{
    // A reader used twice must not keep the first file's record.
    Release();

    const QString path = Locate(fileName, QCoreApplication::applicationDirPath());
    if (path.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;

    QByteArray record;
    if (uchar* mapped = file.map(0, file.size())) {
        record = findRecord(mapped, file.size());
        file.unmap(mapped);
    } else {
        const QByteArray bytes = file.readAll();
        record = findRecord(reinterpret_cast<const uchar*>(bytes.constData()), bytes.size());
    }
    if (record.isNull())
        return false;

    EmbeddedVersionRecord fields;
    std::memcpy(&fields, record.constData(), sizeof fields);
    if (fields.translationCount == 0)
        return false;
    m_buffer = record;
    m_translation = (quint32(fields.translation[0]) << 16) | quint32(fields.translation[1]);
    return true;
}

QString VersionInfo::FileVersion() const
{
    if (m_buffer.isNull())
        return QString();
    EmbeddedVersionRecord fields;
    std::memcpy(&fields, m_buffer.constData(), sizeof fields);
    return QString::asprintf("%u,%u,%u,%u", unsigned(fields.fileVersion[0]), unsigned(fields.fileVersion[1]),
                             unsigned(fields.fileVersion[2]), unsigned(fields.fileVersion[3]));
}

#endif

void VersionInfo::Release()
{
    m_buffer = QByteArray();
    m_translation = 0;
}
