#include "versioninfo.h"

#ifdef Q_OS_WIN

#include <qt_windows.h>

#include <string>

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

#else

bool VersionInfo::Load(const QString& fileName)
{
    Q_UNUSED(fileName)
    Release();
    // The fields of the record in kestrel.rc, from the same project version.
    m_buffer = QByteArrayLiteral(KESTREL_FILE_VERSION);
    m_translation = 0x040704B0;
    return true;
}

QString VersionInfo::FileVersion() const
{
    return QString::fromLatin1(m_buffer);
}

#endif

VersionInfo::~VersionInfo()
{
    Release();
}

void VersionInfo::Release()
{
    m_buffer = QByteArray();
    m_translation = 0;
}
