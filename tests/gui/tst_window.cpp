// The main window as a user meets it, the settings store behind it and the
// version reader behind its status bar. Every test runs in a fresh working
// directory, where "kestrel.ini" lives.

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
    T* widget = window->findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("the window has no %s", name);
    return widget;
}

// The log pane's lines without their time stamps that start with `prefix`.
QStringList logLines(QWidget* window, const QString& prefix = QString())
{
    QStringList texts;
    for (const QString& line : child<QPlainTextEdit>(window, "plainTextEdit_debug")->toPlainText().split('\n'))
        texts << line.mid(13);
    return texts.filter(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(prefix)));
}

// The port of the latest start on port 0.
quint16 chosenPort(QWidget* window)
{
    const QStringList lines = logLines(window, QStringLiteral("(Main) - The system chose port "));
    return lines.isEmpty() ? 0 : quint16(lines.last().section(QLatin1Char(' '), -1).toUInt());
}

QVariant ini(const char* key, const QVariant& value = QVariant())
{
    QSettings settings(QStringLiteral("kestrel.ini"), QSettings::IniFormat);
    if (value.isValid())
        settings.setValue(QLatin1String(key), value);
    return settings.value(QLatin1String(key));
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

private slots:
    void init() { QVERIFY(QDir::setCurrent((m_dir = std::make_unique<QTemporaryDir>())->path())); }
    void cleanup() { QVERIFY(QDir::setCurrent(QDir::tempPath())); }

    void startUp_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("path");
        QTest::addRow("first start without a file: defaults") << QVariantMap() << "47812" << "";
        QTest::addRow("a stored entry that is gone leaves the first selected")
            << QVariantMap{{"main/port", 5000}, {"trainsim/path", "C:/Sim"}, {"main/netinterface", "gone - eth9"}} << "5000" << "C:/Sim";
    }
    void startUp()
    {
        QFETCH(QVariantMap, stored);
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            ini(qPrintable(it.key()), it.value());
        Kestrel window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Kestrel x64"));
        QTEST(child(&window, "lineEdit_port")->text(), "port");
        QTEST(child(&window, "lineEdit_path_ts")->text(), "path");
        QCOMPARE(logLines(&window), QStringList{QStringLiteral("(Main) - Init GUI")});
        QCOMPARE(child<QLabel>(&window, "label_version")->text(), QStringLiteral("v" KESTREL_VERSION));
        auto* status = child<QLabel>(&window, "label_status");
        QVERIFY(status->text().isEmpty() && status->minimumWidth() >= 300);

        // One entry per IPv4 address of a running interface, loopback among
        // them; the selected entry's address is shown, and so is that of any
        // entry chosen later.
        auto* list = child<QComboBox>(&window, "comboBox_netinterfaces");
        const auto address = [&](int i) { return list->itemText(i).section(QStringLiteral(" - "), 0, 0); };
        QVERIFY(list->count() > 0 && list->currentIndex() == 0);
        // An index that denotes no entry (an emptied list) changes nothing.
        window.OnComboBoxChanged(-1);
        window.OnComboBoxChanged(list->count());
        QCOMPARE(child(&window, "lineEdit_ip")->text(), address(0));
        for (int i = list->count(); i-- > 0;) {
            list->setCurrentIndex(i);
            QCOMPARE(QHostAddress(address(i)).protocol(), QAbstractSocket::IPv4Protocol);
            QCOMPARE(child(&window, "lineEdit_ip")->text(), address(i));
        }
    }

    void startStop_data()
    {
        QTest::addColumn<QString>("port"); // "IN USE": a port a server of this test holds
        QTest::addColumn<QString>("line");
        QTest::addRow("port 0: the system chooses") << "0" << "(Server) - Listening to port 0";
        QTest::addRow("a port in use: the caption changes all the same") << "IN USE" << "(Server) - Could not start server";
        QTest::addRow("no number asks for port 0") << "x1" << "(Server) - Listening to port 0";
    }
    // Started twice: Stop closes the port at once, and the second start
    // makes a server of its own.
    void startStop()
    {
        QFETCH(QString, port);
        QFETCH(QString, line);
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        Kestrel window;
        auto* button = child<QPushButton>(&window, "pushButton_serverStartStop");
        const auto editable = [&] {
            return child<QGroupBox>(&window, "groupBox")->isEnabled() && child<QGroupBox>(&window, "groupBox_pathToTS")->isEnabled();
        };
        child(&window, "lineEdit_port")->setText(port == QLatin1String("IN USE") ? QString::number(holder.serverPort()) : port);
        for (int round = 1; round <= 2; ++round) {
            QVERIFY(button->text() == QLatin1String("Start Server") && editable());
            button->click();
            QCOMPARE(logLines(&window, line).size(), round);
            QVERIFY(button->text() == QLatin1String("Stop Server") && !editable());
            const quint16 served = chosenPort(&window);
            if (served) {
                QCOMPARE(logLines(&window, QStringLiteral("(Main) - Cab display: http://")).size(), round);
                QTcpSocket client;
                client.connectToHost(QHostAddress::LocalHost, served);
                QVERIFY(client.waitForConnected(5000));
                QTRY_COMPARE(logLines(&window, QStringLiteral("(Server) - Connecting...")).size(), round);
            }
            button->click();
            QTcpSocket late;
            late.connectToHost(QHostAddress::LocalHost, served);
            QVERIFY(served == 0 || !late.waitForConnected(2000));
        }
        QVERIFY(button->text() == QLatin1String("Start Server") && editable());
    }

    void logPane_data()
    {
        QTest::addColumn<QVariant>("threshold"); // "debug/loglevel"; invalid: absent
        QTest::addColumn<QString>("shown");      // of lines of levels 0, 1 and 3
        QTest::addRow("no threshold shows everything") << QVariant() << "zero one three";
        QTest::addRow("1 hides level 0 only") << QVariant(1) << "one three";
        QTest::addRow("4 hides everything") << QVariant(4) << "";
    }
    void logPane()
    {
        QFETCH(QVariant, threshold);
        Kestrel window;
        child<QPlainTextEdit>(&window, "plainTextEdit_debug")->clear();
        ini("debug/loglevel", threshold); // read anew for every line: it is edited by hand
        window.OnDebugString(QStringLiteral("zero"));
        window.OnDebugString(QStringLiteral("one"), 1);
        window.OnDebugString(QStringLiteral("three"), 3);
        QTEST(logLines(&window).join(QLatin1Char(' ')), "shown");
    }

    // A flood of lines leaves the latest 5000 in the pane, the newest last.
    void logPaneIsBounded()
    {
        Kestrel window;
        ini("debug/loglevel", QVariant());
        auto* pane = child<QPlainTextEdit>(&window, "plainTextEdit_debug");
        for (int i = 0; i < 6000; ++i)
            window.OnDebugString(QString::number(i));
        QCOMPARE(pane->blockCount(), 5000);
        QVERIFY(pane->toPlainText().endsWith(QLatin1String(" 5999")));
    }

    // Closing writes back what the window shows; the next start shows it.
    void closeWritesSettings()
    {
        QSize size;
        QString entry;
        {
            Kestrel window;
            window.show();
            window.resize(640, 400);
            child(&window, "lineEdit_port")->setText(QStringLiteral("5000"));
            child(&window, "lineEdit_path_ts")->setText(QStringLiteral("typed by hand"));
            auto* list = child<QComboBox>(&window, "comboBox_netinterfaces");
            list->setCurrentIndex(list->count() - 1);
            entry = list->currentText();
            child(&window, "lineEdit_ip")->setText(QStringLiteral("192.0.2.7"));
            size = window.size();
            QVERIFY(window.close());
        }
        QCOMPARE(ini("main/port").toInt(), 5000);
        QCOMPARE(ini("trainsim/path").toString(), QStringLiteral("typed by hand"));
        QCOMPARE(ini("main/ip").toString(), QStringLiteral("192.0.2.7"));
        QVERIFY(!ini("main/windowstate").toByteArray().isEmpty());
        Kestrel again; // its geometry restored
        QCOMPARE(again.size(), size);
        QCOMPARE(child<QComboBox>(&again, "comboBox_netinterfaces")->currentText(), entry);
    }

    void simulatorFolder_data()
    {
        QTest::addColumn<QString>("library"); // made beside the chosen "sim/RailWorks.exe"; empty: cancel
        QTest::addColumn<bool>("stored");
        QTest::addRow("a folder with plugins/RailDriver.dll is stored") << "sim/plugins/RailDriver.dll" << true;
        QTest::addRow("a folder without it shows the error, keeps the choice unstored") << "sim/plugins/RailDriver64.dll" << false;
        QTest::addRow("cancelling shows the working directory") << "" << false;
    }
    void simulatorFolder()
    {
        QFETCH(QString, library);
        QFETCH(bool, stored);
        QDir().mkpath(QStringLiteral("sim/plugins"));
        for (const QString& file : {library, QStringLiteral("sim/RailWorks.exe")})
            QVERIFY(library.isEmpty() || QFile(file).open(QIODevice::WriteOnly));
        Kestrel window;
        window.show();
        // Answers the slot's modal dialogs as they come: the file dialog,
        // then any message box.
        QString seen;
        QPointer<QWidget> answered;
        QTimer driver;
        connect(&driver, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == answered)
                return;
            answered = modal;
            if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
                seen = dialog->nameFilters().join(QLatin1Char(';'));
                if (library.isEmpty())
                    return dialog->reject();
                // Typed into the name field, as a user may.
                dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(m_dir->filePath(QStringLiteral("sim/RailWorks.exe")));
                static_cast<QDialog*>(dialog)->accept();
            } else {
                seen += QStringLiteral("|error");
                qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Ok)->click();
            }
        });
        driver.start(20);
        QTest::mouseClick(child<QToolButton>(&window, "toolButton_path_ts"), Qt::LeftButton);
        QCOMPARE(seen, QStringLiteral("Railworks (RailWorks.exe)") + (stored ? QString() : QStringLiteral("|error")));
        const QString folder = QDir::cleanPath(m_dir->filePath(library.isEmpty() ? QString() : QStringLiteral("sim")));
        QCOMPARE(child(&window, "lineEdit_path_ts")->text(), folder);
        QCOMPARE(Settings(nullptr).GetTrainSimPath(), stored ? folder : QString());
    }

    void serverEnds_data()
    {
        QTest::addColumn<bool>("stuck");  // one client waits in a library call that does not return
        QTest::addColumn<bool>("byStop"); // else by closing the window
        QTest::addRow("closing with clients connected, one mid-frame: at once") << false << false;
        QTest::addRow("Stop with a client stuck in a library call: bounded") << true << true;
        QTest::addRow("closing with a client stuck in a library call: bounded") << true << false;
    }
    // The server ends with clients connected: the port closes at once, and
    // every client goes, the stuck one once its call returns.
    void serverEnds()
    {
        QFETCH(bool, stuck);
        QFETCH(bool, byStop);
        StubLibrary stub(QStringLiteral("full"));
        QVERIFY2(stub.isValid(), qPrintable(stub.errorString()));
        stub.reset();
        ini("trainsim/path", stub.folder());
        auto window = std::make_unique<Kestrel>();
        auto* button = child<QPushButton>(window.get(), "pushButton_serverStartStop");
        child(window.get(), "lineEdit_port")->setText(QStringLiteral("0"));
        button->click();
        const quint16 port = chosenPort(window.get());
        QTcpSocket midFrame;
        QTcpSocket other;
        for (QTcpSocket* socket : {&midFrame, &other}) {
            socket->connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(socket->waitForConnected(5000));
        }
        midFrame.write("@000050;005;000001;Get");
        QTRY_COMPARE(logLines(window.get(), QStringLiteral("(Server) - Connecting...")).size(), 2);
        stub.hold(stuck);
        if (stuck) {
            other.write("GetLocoName()");
            QTRY_COMPARE(stub.waitingCalls(), 1);
        }
        QElapsedTimer timer;
        timer.start();
        if (byStop)
            button->click();
        else
            window.reset();
        const qint64 bound = stuck ? (byStop ? 2 : 1) * TSServer::StopWaitMs + 1500 : 1500;
        QVERIFY2(timer.elapsed() < bound, qPrintable(QStringLiteral("took %1 ms").arg(timer.elapsed())));
        QTcpSocket late;
        late.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!late.waitForConnected(2000));
        stub.hold(false);
        for (QTcpSocket* socket : {&midFrame, &other})
            QTRY_VERIFY(socket->state() == QAbstractSocket::UnconnectedState);
    }

    // Values as users write them by hand.
    void settingsFromHand_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QList<int>>("read"); // port, log level, idle timeout, connections per address
        QTest::addRow("defaults without a file") << QByteArray() << QList<int>{47812, 0, 600, 256};
        QTest::addRow("texts that are no numbers read 0")
            << QByteArray("[main]\nport=abc\n[debug]\nloglevel=high\n[limits]\nidletimeout=x\nconnectionsperaddress=y\n")
            << QList<int>{0, 0, 0, 0};
        QTest::addRow("negative limits are no limit")
            << QByteArray("[limits]\nidletimeout=-5\nconnectionsperaddress=-1\n") << QList<int>{47812, 0, 0, 0};
        QTest::addRow("as written; a port above 65535 keeps its low 16 bits")
            << QByteArray("[main]\nport=70000\n[debug]\nloglevel=-1\n[limits]\nidletimeout=30\nconnectionsperaddress=4\n")
            << QList<int>{70000 - 65536, -1, 30, 4};
    }
    void settingsFromHand()
    {
        QFETCH(QByteArray, ini);
        QFile file(QStringLiteral("kestrel.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size());
        file.close();
        Settings settings(nullptr);
        QTEST((QList<int>{settings.GetPort(), settings.GetLogLevel(), settings.GetIdleTimeout(), settings.GetConnectionsPerAddress()}), "read");
        // A folder for one run is answered but never written.
        settings.OverrideTrainSimPath(QStringLiteral("/for/this/run"));
        QCOMPARE(settings.GetTrainSimPath(), QStringLiteral("/for/this/run"));
        QVERIFY(!settings.HasTrainSimPath());
    }

    void versionInfo_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("loaded");
        QTest::addRow("the built program reads as the project version") << QStringLiteral(KESTREL_PROGRAM) << true;
#ifdef Q_OS_WIN
        // Read through the system's version API: the test program has no record.
        QTest::addRow("a program without a record reads as nothing") << QCoreApplication::applicationFilePath() << false;
        QTest::addRow("a missing file reads as nothing") << QDir::temp().filePath(QStringLiteral("no such program.exe")) << false;
#endif
    }
    void versionInfo()
    {
        QFETCH(QString, file);
        QFETCH(bool, loaded);
        VersionInfo info;
        QVERIFY(info.FileVersion().isEmpty());
        QVERIFY(info.Load(QStringLiteral(KESTREL_PROGRAM))); // a second load must not keep the first record
        QCOMPARE(info.Load(file), loaded);
        QCOMPARE(info.FileVersion(), loaded ? QStringLiteral(KESTREL_VERSION).replace('.', ',') : QString());
        QCOMPARE(info.Translation(), loaded ? 0x040704B0u : 0u); // German, Unicode
        info.Release();
        QVERIFY(info.FileVersion().isEmpty() && info.Translation() == 0);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
