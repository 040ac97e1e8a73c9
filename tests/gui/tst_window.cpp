// The main window as a user meets it, the settings store behind it and the version reader behind its
// status bar. Every test runs in a fresh working directory, where "kestrel.ini" lives.

#include "fakesteam.h"
#include "kestrel.h"
#include "settings.h"
#include "stubs/stublibrary.h"
#include "tsserver.h"
#include "versioninfo.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {

template <typename T = QLineEdit>
T* child(QWidget* window, const char* name)
{
    return window->findChild<T*>(QLatin1String(name));
}

// The log pane's lines without their time stamps that start with `prefix`.
QStringList logLines(QWidget* window, const QString& prefix = QString())
{
    QStringList lines = child<QPlainTextEdit>(window, "plainTextEdit_debug")->toPlainText().split('\n');
    lines.replaceInStrings(QRegularExpression(QStringLiteral("^\\S+ ")), QString()); // the time stamp
    return lines.filter(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(prefix)));
}

// The port that ends the latest log line starting with `prefix`; 0 without one.
quint16 loggedPort(QWidget* window, const QString& prefix)
{
    return quint16(QRegularExpression("(\\d+)/?$").match(logLines(window, prefix).join('\n')).captured(1).toUInt());
}

bool refused(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return !socket.waitForConnected(2000);
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

private slots:
    // Nothing a test runs announces itself on the network around it.
    void init()
    {
        QVERIFY(QDir::setCurrent((m_dir = std::make_unique<QTemporaryDir>())->path()));
        QSettings(QStringLiteral("kestrel.ini"), QSettings::IniFormat).setValue(QStringLiteral("discovery/enabled"), false);
    }
    void cleanup() { QVERIFY(QDir::setCurrent(QDir::tempPath())); }

    // The window fills itself from the settings; closing writes back what it
    // shows, and the next start shows it.
    void startAndClose()
    {
        // Gone since (a new address from DHCP): the first entry is selected.
        Settings(nullptr).SetNetInterface(QStringLiteral("gone - eth9"));
        Kestrel window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Kestrel x64"));
        QCOMPARE(child<QLabel>(&window, "label_version")->text(), QStringLiteral("v" KESTREL_VERSION));
        // One entry per IPv4 address of a running interface, loopback among
        // them; the address of the entry chosen is shown.
        auto* list = child<QComboBox>(&window, "comboBox_netinterfaces");
        const auto address = [&](int i) { return list->itemText(i).section(QStringLiteral(" - "), 0, 0); };
        QVERIFY(list->count() > 0 && list->currentIndex() == 0);
        // An index that denotes no entry (an emptied list) changes nothing.
        window.OnComboBoxChanged(-1);
        window.OnComboBoxChanged(list->count());
        QCOMPARE(child(&window, "lineEdit_ip")->text(), address(0));
        for (int i = 0; i < list->count(); ++i) {
            list->setCurrentIndex(i);
            QCOMPARE(QHostAddress(address(i)).protocol(), QAbstractSocket::IPv4Protocol);
            QCOMPARE(child(&window, "lineEdit_ip")->text(), address(i));
        }
        child(&window, "lineEdit_ip")->setText(QStringLiteral("192.0.2.7"));
        child(&window, "lineEdit_port")->setText(QStringLiteral("5000"));
        child(&window, "lineEdit_path_ts")->setText(QStringLiteral("typed by hand"));
        window.resize(640, 400);
        QVERIFY(window.close());
        QCOMPARE(Settings(nullptr).GetIp(), QStringLiteral("192.0.2.7"));
        QVERIFY(!Settings(nullptr).GetWindowState().isEmpty());
        Kestrel again; // shows the stored entry's address, not the stored address
        QCOMPARE(again.size(), window.size());
        QCOMPARE(child(&again, "lineEdit_ip")->text(), address(list->currentIndex()));
        QCOMPARE(child(&again, "lineEdit_port")->text(), QStringLiteral("5000"));
        QCOMPARE(child(&again, "lineEdit_path_ts")->text(), QStringLiteral("typed by hand"));
    }

    void startStop_data()
    {
        QTest::addColumn<bool>("inUse"); // else port 0
        QTest::addRow("port 0: the system chooses") << false;
        QTest::addRow("a port in use: the caption changes all the same") << true;
    }
    // Started twice: Stop closes the server's port and the cab display's at
    // once, and the second start makes a server of its own.
    void startStop()
    {
        QFETCH(bool, inUse);
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        Kestrel window;
        auto* button = child<QPushButton>(&window, "pushButton_serverStartStop");
        const auto state = [&] {
            return button->text() + QString::number(child<QGroupBox>(&window, "groupBox")->isEnabled())
                + QString::number(child<QGroupBox>(&window, "groupBox_pathToTS")->isEnabled());
        };
        const QString cab = "(Main) - Cab display: http://" + child(&window, "lineEdit_ip")->text() + ':';
        child(&window, "lineEdit_port")->setText(QString::number(inUse ? holder.serverPort() : 0));
        for (int round = 1; round <= 2; ++round) {
            QCOMPARE(state(), QStringLiteral("Start Server11"));
            button->click();
            QCOMPARE(state(), QStringLiteral("Stop Server00"));
            const char* line = inUse ? "(Server) - Could not start server" : "(Server) - Listening to port 0";
            QCOMPARE(logLines(&window, line).size(), round);
            const quint16 served = loggedPort(&window, QStringLiteral("(Main) - The system chose port "));
            const quint16 live = loggedPort(&window, cab);
            QVERIFY(inUse || (!refused(served) && !refused(live)));
            button->click();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // as between two clicks
            QVERIFY(inUse || (refused(served) && refused(live)));
        }
        QCOMPARE(state(), QStringLiteral("Start Server11"));
    }

    // The threshold "debug/loglevel" is read anew for every line, since it is
    // edited by hand; a flood leaves the latest 5000 lines, the newest last.
    void logPane()
    {
        Kestrel window;
        QSettings(QStringLiteral("kestrel.ini"), QSettings::IniFormat).setValue(QStringLiteral("debug/loglevel"), 1);
        for (int i = 0; i < 6000; ++i)
            window.OnDebugString(QString::number(i), 1);
        window.OnDebugString(QStringLiteral("level 0"));
        window.OnDebugString(QStringLiteral("level 3"), 3);
        QCOMPARE(logLines(&window).mid(4998), (QStringList{QStringLiteral("5999"), QStringLiteral("level 3")}));
        // Long lines stay whole; a flood of them is bounded in characters too.
        for (int i = 0; i < 64; ++i)
            window.OnDebugString(QString(65536, QLatin1Char('x')), 1);
        const QStringList longLines = logLines(&window, QStringLiteral("x"));
        QVERIFY(longLines.size() < 40 && longLines.last().size() == 65536);
    }

    // While the cab display runs, "Pair a phone..." shows the pairing link for the chosen interface's address
    // as a QR code, which a reader that is not ours (zbarimg) reads back as the link; it goes with the server.
    void pairingCode()
    {
        Settings(nullptr).SetPort(0);
        Kestrel window;
        auto* pair = child<QPushButton>(&window, "pushButton_pair");
        QVERIFY(pair && pair->isHidden());
        window.OnStartStopServer();
        QVERIFY(!pair->isHidden());
        pair->click();
        auto* dialog = window.findChild<QDialog*>(QStringLiteral("dialog_pairing"));
        QVERIFY(dialog && dialog->isVisible());
        const QString link = child<QLabel>(dialog, "label_pairingLink")->text();
        QVERIFY2(link.startsWith("http://" + child(&window, "lineEdit_ip")->text() + ':') && link.contains("/#pair="),
                 qPrintable(link));
        QCOMPARE(logLines(&window, QStringLiteral("(Main) - Pairing link")).value(0).section(": ", 1), link);
        const QImage code = child<QLabel>(dialog, "label_pairingCode")->pixmap(Qt::ReturnByValue).toImage();
        QCOMPARE(code.pixelColor(0, 0), QColor(Qt::white)); // black on white: a reader copes with less, a person less so
        window.OnStartStopServer();
        QVERIFY(pair->isHidden());
        const QString zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
        if (zbarimg.isEmpty())
            QSKIP("zbarimg is not installed (apt-get install zbar-tools)");
        QVERIFY(code.save(QStringLiteral("code.png")));
        QProcess reader;
        reader.start(zbarimg, {"--quiet", "--raw", "code.png"});
        QVERIFY(reader.waitForFinished(30000));
        QCOMPARE(QString::fromUtf8(reader.readAllStandardOutput()).trimmed(), link);
    }

    // With nothing stored, the simulator in Steam's libraries fills the field and is kept; the log says what
    // was found, or why nothing was. A stored folder wins, without a word.
    void simulatorFoundInSteam_data()
    {
        QTest::addColumn<int>("steam"); // 0 none, 1 the simulator, 2 the simulator without its library
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("line"); // SIM: the simulator's folder, STEAM: Steam's
        QTest::addRow("no Steam") << 0 << QString() << "No simulator folder stored, and no Steam found to look in";
        QTest::addRow("the simulator in Steam's library") << 1 << QString() << "Found the simulator in SIM (Steam library STEAM)";
        QTest::addRow("without its library, not taken") << 2 << QString() << "The simulator in SIM has no plugins/RailDriver64.dll";
        QTest::addRow("a stored folder wins") << 1 << "/stored" << QString();
    }
    void simulatorFoundInSteam()
    {
        QFETCH(int, steam);
        QFETCH(QString, stored);
        QFETCH(QString, line);
#ifndef Q_OS_WIN
        if (steam)
            QSKIP("Steam's folder is named in the Windows registry");
#endif
        std::unique_ptr<FakeSteam> fake(steam ? new FakeSteam(steam == 2) : nullptr);
        if (!stored.isEmpty())
            Settings(nullptr).SetTrainSimPath(stored);
        Kestrel window;
        const QString shown = child(&window, "lineEdit_path_ts")->text();
        QCOMPARE(shown, steam == 1 && stored.isEmpty() ? fake->simulatorFolder() : stored);
        QCOMPARE(Settings(nullptr).GetTrainSimPath(), shown);
        const QStringList lines = logLines(&window, QStringLiteral("(Main) - ")).mid(1); // after "Init GUI"
        QCOMPARE(lines.size(), line.isEmpty() ? 0 : 1);
        if (fake)
            line.replace(QLatin1String("SIM"), fake->simulatorFolder()).replace(QLatin1String("STEAM"), fake->folder());
        QVERIFY2(line.isEmpty() || lines.first().startsWith("(Main) - " + line), qPrintable(lines.join('\n')));
    }

    void simulatorFolder_data()
    {
        QTest::addColumn<QString>("library"); // made beside the chosen "sim/RailWorks.exe"; empty: cancel
        QTest::addRow("a folder with plugins/RailDriver.dll is stored") << "sim/plugins/RailDriver.dll";
        QTest::addRow("a folder without it shows the error, keeps the choice unstored") << "sim/plugins/RailDriver64.dll";
        QTest::addRow("a folder named RailDriver.dll is no library") << "sim/plugins/RailDriver.dll/";
        QTest::addRow("cancelling shows the working directory") << "";
    }
    void simulatorFolder()
    {
        QFETCH(QString, library);
        const bool stored = library.endsWith(QStringLiteral("/RailDriver.dll"));
        QDir().mkpath(QStringLiteral("sim/plugins"));
        for (const QString& file : {library, QStringLiteral("sim/RailWorks.exe")}) // a "/" at the end makes a folder
            QVERIFY(library.isEmpty() || (file.endsWith('/') ? QDir().mkpath(file) : QFile(file).open(QIODevice::WriteOnly)));
        Kestrel window;
        // Answers the slot's modal dialogs as they come: the file dialog, its
        // name typed in as a user may, then any message box.
        int errors = 0;
        QTimer driver;
        connect(&driver, &QTimer::timeout, [&] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(m_dir->filePath("sim/RailWorks.exe"));
                library.isEmpty() ? dialog->reject() : static_cast<QDialog*>(dialog)->accept();
            } else if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                box->button(QMessageBox::Ok)->click();
                ++errors;
            }
        });
        driver.start(20);
        QTest::mouseClick(child<QToolButton>(&window, "toolButton_path_ts"), Qt::LeftButton);
        QCOMPARE(errors, stored ? 0 : 1);
        const QString folder = QDir::cleanPath(m_dir->filePath(library.isEmpty() ? QString() : QStringLiteral("sim")));
        QCOMPARE(child(&window, "lineEdit_path_ts")->text(), folder);
        QCOMPARE(Settings(nullptr).GetTrainSimPath(), stored ? folder : QString());
    }

    // A client stuck in a library call holds Stop, and then the window's end,
    // only for a bounded time, and the log says it was left behind; the port
    // closes at once, the client goes once it returns.
    void serverEnds()
    {
        StubLibrary stub(QStringLiteral("full"));
        stub.hold(true);
        Settings(nullptr).SetTrainSimPath(stub.folder());
        Settings(nullptr).SetPort(0);
        // No cab display: its sampler would be held too, and its own bounded end adds to the time.
        QSettings(QStringLiteral("kestrel.ini"), QSettings::IniFormat).setValue(QStringLiteral("live/enabled"), false);
        auto window = std::make_unique<Kestrel>();
        QTcpSocket clients[2];
        for (int round = 1; round <= 2; ++round) {
            window->OnStartStopServer();
            const quint16 port = loggedPort(window.get(), QStringLiteral("(Main) - The system chose port "));
            clients[round - 1].connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(clients[round - 1].waitForConnected(5000) && clients[round - 1].write("GetLocoName()") > 0);
            QTRY_COMPARE(stub.waitingCalls(), round);
            const QDeadlineTimer bound((round == 1 ? 2 : 1) * TSServer::StopWaitMs + 20000); // held, it never returns
            round == 1 ? window->OnStartStopServer() : window.reset();
            QVERIFY(!bound.hasExpired());
            QVERIFY(refused(port));
            if (round == 1)
                QTRY_COMPARE(logLines(window.get(), QStringLiteral("(Server) - ")).filter("did not end within").size(), 2);
        }
        stub.hold(false);
        for (QTcpSocket& client : clients)
            QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    }

    void settingsFromHand_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QList<int>>("read"); // port, log level, idle timeout, connections per address
        QTest::addRow("defaults without a file") << QByteArray() << QList<int>{47812, 0, 600, 256};
        QTest::addRow("texts that are no numbers read 0, a negative limit is none")
            << QByteArray("[main]\nport=abc\n[debug]\nloglevel=high\n[limits]\nidletimeout=x\nconnectionsperaddress=-1\n")
            << QList<int>{0, 0, 0, 0};
        QTest::addRow("a port above 65535 keeps its low 16 bits; the limits' two cases swapped")
            << QByteArray("[main]\nport=70000\n[debug]\nloglevel=-1\n[limits]\nidletimeout=-5\nconnectionsperaddress=y\n")
            << QList<int>{70000 - 65536, -1, 0, 0};
    }
    void settingsFromHand()
    {
        QFETCH(QByteArray, ini);
        QFile file(QStringLiteral("kestrel.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size() && file.flush());
        const Settings s(nullptr);
        QTEST((QList<int>{s.GetPort(), s.GetLogLevel(), s.GetIdleTimeout(), s.GetConnectionsPerAddress()}), "read");
    }

    void versionInfo_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addRow("the built program reads as the project version") << QStringLiteral(KESTREL_PROGRAM);
#ifdef Q_OS_WIN
        QTest::addRow("a program without a record reads as nothing") << QCoreApplication::applicationFilePath();
#endif
    }
    void versionInfo()
    {
        QFETCH(QString, file);
        const bool loaded = file == QStringLiteral(KESTREL_PROGRAM);
        VersionInfo info;
        QVERIFY(info.Load(QStringLiteral(KESTREL_PROGRAM))); // a second load must not keep the first record
        QCOMPARE(info.Load(file), loaded);
        QCOMPARE(info.FileVersion(), loaded ? QStringLiteral(KESTREL_VERSION).replace('.', ',') : QString());
        QCOMPARE(info.Translation(), loaded ? 0x040704B0u : 0u); // German, Unicode
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
