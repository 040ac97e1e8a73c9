// VersionInfo, the reader behind the version text in the window's status bar:
// the program this build made must read as its project version, a copy under
// another name must not be found by the name the window asks for, and the
// reader must accept a version record only where one really is.

#include "versioninfo.h"

#include <QtTest>

#include <cstring>

namespace {

// Language 0x0407 (German) and code page 0x04B0 (Unicode).
constexpr quint32 kTranslation = 0x040704B0;

QString builtVersion()
{
    return QStringLiteral(KESTREL_VERSION).replace(QLatin1Char('.'), QLatin1Char(','));
}

#ifndef Q_OS_WIN
QByteArray recordBytes(quint16 a, quint16 b, quint16 c, quint16 d, quint16 translations = 1)
{
    const EmbeddedVersionRecord record = EmbeddedVersionRecord::sealed(
        {{}, 0, {a, b, c, d}, {a, b, c, d}, translations, {0x0407, 0x04B0}, 0, 0});
    return QByteArray(reinterpret_cast<const char*>(&record), int(sizeof record));
}

QByteArray filler(int size, char seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7);
    return bytes;
}
#endif

} // namespace

class TestVersionInfo : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void builtProgram();
    void emptyAndReleased();
#ifndef Q_OS_WIN
    void locate_data();
    void locate();
    void records_data();
    void records();
#endif

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestVersionInfo::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestVersionInfo::builtProgram()
{
    VersionInfo info;
    QVERIFY(info.Load(QStringLiteral(KESTREL_PROGRAM)));
    QCOMPARE(info.FileVersion(), builtVersion());
    QCOMPARE(info.Translation(), kTranslation);
    // What the status bar then shows.
    QCOMPARE(QLatin1Char('v') + info.FileVersion().replace(QLatin1Char(','), QLatin1Char('.')),
             QStringLiteral("v" KESTREL_VERSION));
}

void TestVersionInfo::emptyAndReleased()
{
    VersionInfo info;
    QCOMPARE(info.FileVersion(), QString());
    QCOMPARE(info.Translation(), 0u);

    QVERIFY(info.Load(QStringLiteral(KESTREL_PROGRAM)));
    info.Release();
    QCOMPARE(info.FileVersion(), QString());
    QCOMPARE(info.Translation(), 0u);

    // A failed second load must not leave the first file's version behind.
    QVERIFY(info.Load(QStringLiteral(KESTREL_PROGRAM)));
    QVERIFY(!info.Load(m_dir->filePath(QStringLiteral("no such file"))));
    QCOMPARE(info.FileVersion(), QString());
    QCOMPARE(info.Translation(), 0u);
}

#ifndef Q_OS_WIN
void TestVersionInfo::locate_data()
{
    QTest::addColumn<QStringList>("files");     // copies of the built program in the folder
    QTest::addColumn<QString>("name");          // the name asked for
    QTest::addColumn<QString>("expected");      // the file found, empty for none

    QTest::addRow("the Linux program answers to the window's kestrel.exe")
        << QStringList{QStringLiteral("kestrel")} << QStringLiteral("kestrel.exe") << QStringLiteral("kestrel");
    QTest::addRow("a file literally named kestrel.exe comes first")
        << QStringList{QStringLiteral("kestrel"), QStringLiteral("kestrel.exe")} << QStringLiteral("kestrel.exe")
        << QStringLiteral("kestrel.exe");
    QTest::addRow("case does not matter, as on Windows")
        << QStringList{QStringLiteral("Kestrel")} << QStringLiteral("kestrel.exe") << QStringLiteral("Kestrel");
    QTest::addRow("an exact match wins over one in another case")
        << QStringList{QStringLiteral("KESTREL"), QStringLiteral("kestrel")} << QStringLiteral("kestrel.exe")
        << QStringLiteral("kestrel");
    QTest::addRow("a copy under another name is not found")
        << QStringList{QStringLiteral("kestrel-0.0.2")} << QStringLiteral("kestrel.exe") << QString();
    QTest::addRow("only a trailing .exe is dropped")
        << QStringList{QStringLiteral("kestrel")} << QStringLiteral("kestrel.exe.bak") << QString();
    QTest::addRow("a name without .exe is taken as it is")
        << QStringList{QStringLiteral("kestrel")} << QStringLiteral("kestrel") << QStringLiteral("kestrel");
    QTest::addRow("an empty folder") << QStringList{} << QStringLiteral("kestrel.exe") << QString();
}

void TestVersionInfo::locate()
{
    QFETCH(QStringList, files);
    QFETCH(QString, name);
    QFETCH(QString, expected);

    for (const QString& file : files)
        QVERIFY(QFile::copy(QStringLiteral(KESTREL_PROGRAM), m_dir->filePath(file)));
    // A folder of that name must not count as the program.
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("kestrel.exe.d")));

    const QString found = VersionInfo::Locate(name, m_dir->path());
    QCOMPARE(found, expected.isEmpty() ? QString() : m_dir->filePath(expected));

    // What the window then shows: the version of the copy, or "v" alone.
    VersionInfo info;
    QCOMPARE(info.Load(found), !expected.isEmpty());
    const QString shown = QLatin1Char('v') + info.FileVersion().replace(QLatin1Char(','), QLatin1Char('.'));
    QCOMPARE(shown, expected.isEmpty() ? QStringLiteral("v") : QStringLiteral("v" KESTREL_VERSION));
}

void TestVersionInfo::records_data()
{
    QTest::addColumn<QString>("path"); // empty: write `bytes` to a file
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QString>("version");

    const QByteArray good = recordBytes(1, 10, 0, 7);
    QByteArray badCheck = good;
    badCheck[20] = char(badCheck[20] + 1); // the first version number
    const QByteArray marker(EmbeddedVersionRecord::Marker, int(sizeof EmbeddedVersionRecord::Marker));

    QTest::addRow("numbers in plain decimal, without leading zeros")
        << QString() << filler(5000, 3) + good + filler(300, 5) << true << QStringLiteral("1,10,0,7");
    QTest::addRow("largest numbers") << QString() << recordBytes(65535, 0, 65535, 1) << true
                                     << QStringLiteral("65535,0,65535,1");
    QTest::addRow("record at the very end of the file") << QString() << filler(77, 1) + good << true
                                                         << QStringLiteral("1,10,0,7");
    QTest::addRow("record cut short by the end of the file")
        << QString() << filler(77, 1) + good.left(good.size() - 1) << false << QString();
    QTest::addRow("record without a translation table") << QString() << recordBytes(1, 2, 3, 4, 0) << false
                                                         << QString();
    QTest::addRow("a changed number fails the check") << QString() << badCheck << false << QString();
    QTest::addRow("a damaged record is passed over for a good one")
        << QString() << badCheck + filler(64, 9) + good << true << QStringLiteral("1,10,0,7");
    QTest::addRow("the marker alone is no record")
        << QString() << marker + filler(200, 0) + marker << false << QString();
    QTest::addRow("empty file") << QString() << QByteArray() << false << QString();
    // This test links the reader, so its own file holds the marker among the
    // reader's constants, but no record.
    QTest::addRow("a program with the reader but without a record")
        << QCoreApplication::applicationFilePath() << QByteArray() << false << QString();
}

void TestVersionInfo::records()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, loaded);
    QFETCH(QString, version);

    if (path.isEmpty()) {
        path = m_dir->filePath(QStringLiteral("program"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), qint64(bytes.size()));
    }

    VersionInfo info;
    QCOMPARE(info.Load(path), loaded);
    QCOMPARE(info.FileVersion(), version);
    QCOMPARE(info.Translation(), loaded ? kTranslation : 0u);
}
#endif

QTEST_GUILESS_MAIN(TestVersionInfo)
#include "tst_versioninfo.moc"
