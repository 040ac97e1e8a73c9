// VersionInfo, the reader behind the version text in the window's status bar.
// On Windows it reads files' version resources through the system's version
// API: the program this build made must read as the project's version, and a
// file without a record (or no file) as nothing, leaving no earlier record
// behind. Elsewhere it answers the version the build was made from.

#include "versioninfo.h"

#include <QtTest>

class TestVersionInfo : public QObject
{
    Q_OBJECT

private slots:
    void load_data();
    void load();
};

void TestVersionInfo::load_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QString>("version");

    const QString built = QStringLiteral(KESTREL_VERSION).replace(QLatin1Char('.'), QLatin1Char(','));
    QTest::addRow("the built program reads as the project version")
        << QStringLiteral(KESTREL_PROGRAM) << true << built;
#ifdef Q_OS_WIN
    // The test program itself carries no version resource.
    QTest::addRow("a program without a record reads as nothing")
        << QCoreApplication::applicationFilePath() << false << QString();
    QTest::addRow("a missing file reads as nothing")
        << QCoreApplication::applicationDirPath() + QStringLiteral("/no such file.exe") << false << QString();
#endif
}

void TestVersionInfo::load()
{
    QFETCH(QString, file);
    QFETCH(bool, loaded);
    QFETCH(QString, version);

    VersionInfo info;
    QCOMPARE(info.FileVersion(), QString());
    // A reader used twice must not keep the first file's record.
    QVERIFY(info.Load(QStringLiteral(KESTREL_PROGRAM)));
    QCOMPARE(info.Load(file), loaded);
    QCOMPARE(info.FileVersion(), version);
    // Language 0x0407 (German) and code page 0x04B0 (Unicode), or nothing.
    QCOMPARE(info.Translation(), loaded ? 0x040704B0u : 0u);
    info.Release();
    QCOMPARE(info.FileVersion(), QString());
    QCOMPARE(info.Translation(), 0u);
}

QTEST_GUILESS_MAIN(TestVersionInfo)
#include "tst_versioninfo.moc"
