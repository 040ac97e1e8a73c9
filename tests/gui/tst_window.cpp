// The application shell: the main window as a user meets it (start-up from a
// missing or a filled "kestrel.ini", the interface list, starting and
// stopping a real server, the log pane, what closing writes back, the
// simulator-folder dialog, ending with clients connected), the settings
// store behind it, and the version reader behind its status bar. Every test
// runs in a fresh working directory, where "kestrel.ini" lives.

#include "kestrel.h"
#include "settings.h"
#include "versioninfo.h"

#include <QtTest>

#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QToolButton>

#include <functional>
#include <memory>
#include <thread>

namespace {

template <typename T>
T* child(QWidget* window, const char* name)
{
    T* widget = window->findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("the window has no %s", name);
    return widget;
}

// The log pane's lines without their time stamps.
QStringList logTexts(QWidget* window)
{
    QStringList texts;
    for (const QString& line : child<QPlainTextEdit>(window, "plainTextEdit_debug")->toPlainText().split('\n'))
        texts << line.mid(13);
    return texts;
}

quint16 chosenPort(QWidget* window)
{
    for (const QString& text : logTexts(window)) {
        if (text.startsWith(QLatin1String("(Main) - The system chose port ")))
            return quint16(text.section(QLatin1Char(' '), -1).toUInt());
    }
    return 0;
}

void writeIni(const QVariantMap& values)
{
    QSettings ini(QStringLiteral("kestrel.ini"), QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        ini.setValue(it.key(), it.value());
}

QVariant readIni(const QString& key)
{
    return QSettings(QStringLiteral("kestrel.ini"), QSettings::IniFormat).value(key);
}

// Answers the modal dialogs a slot opens, one handler per dialog in turn.
class ModalDriver : public QObject
{
public:
    using Handler = std::function<void(QWidget*)>;
    explicit ModalDriver(QList<Handler> handlers)
        : m_handlers(std::move(handlers))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal && modal != m_last && !m_handlers.isEmpty()) {
                m_last = modal;
                m_handlers.takeFirst()(modal);
            }
        });
        m_timer.start(20);
    }
    bool done() const { return m_handlers.isEmpty(); }

private:
    QTimer m_timer;
    QList<Handler> m_handlers;
    QPointer<QWidget> m_last;
};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startUp_data();
    void startUp();
    void interfaceList();
    void startStop_data();
    void startStop();
    void logPane_data();
    void logPane();
    void closeWritesSettings_data();
    void closeWritesSettings();
    void simulatorFolder_data();
    void simulatorFolder();
    void destroyWithRunningServer();
    void settingsFromHand_data();
    void settingsFromHand();
    void settingsAcrossThreads();
    void versionInfo_data();
    void versionInfo();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
};

void TestWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void TestWindow::cleanup()
{
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

void TestWindow::startUp_data()
{
    QTest::addColumn<QVariantMap>("ini");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::addRow("first start without a file") << QVariantMap() << "47812" << "";
    QTest::addRow("a filled file") << QVariantMap{{"main/port", 5000}, {"trainsim/path", "C:/Sim"},
                                                  {"main/netinterface", "gone - eth9"}, {"main/ip", "10.1.2.3"}}
                                   << "5000" << "C:/Sim";
}

void TestWindow::startUp()
{
    QFETCH(QVariantMap, ini);
    writeIni(ini);
    Kestrel window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Kestrel x64"));
    QTEST(child<QLineEdit>(&window, "lineEdit_port")->text(), "port");
    QTEST(child<QLineEdit>(&window, "lineEdit_path_ts")->text(), "path");
    QCOMPARE(logTexts(&window), QStringList{QStringLiteral("(Main) - Init GUI")});
    // A stored entry that no longer exists leaves the first one selected,
    // with its address; without entries the stored address stays.
    auto* list = child<QComboBox>(&window, "comboBox_netinterfaces");
    const QString ip = child<QLineEdit>(&window, "lineEdit_ip")->text();
    QCOMPARE(ip, list->count() ? list->itemText(0).section(QStringLiteral(" - "), 0, 0)
                               : ini.value(QStringLiteral("main/ip")).toString());
    // The status bar: an empty label of 300 pixels or more, then the version.
    auto* status = child<QLabel>(&window, "label_status");
    auto* version = child<QLabel>(&window, "label_version");
    QCOMPARE(status->text(), QString());
    QVERIFY(status->minimumWidth() >= 300);
    QCOMPARE(version->text(), QStringLiteral("v" KESTREL_VERSION));
}

// Running, valid, not point-to-point interfaces, one entry per IPv4 address;
// choosing one shows its address.
void TestWindow::interfaceList()
{
    QStringList expected;
    for (const QNetworkInterface& netInterface : QNetworkInterface::allInterfaces()) {
        const auto flags = netInterface.flags();
        if (!(flags & QNetworkInterface::IsRunning) || !netInterface.isValid() || (flags & QNetworkInterface::IsPointToPoint))
            continue;
        for (const QNetworkAddressEntry& entry : netInterface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                expected << entry.ip().toString() + QStringLiteral(" - ") + netInterface.humanReadableName();
        }
    }
    writeIni({{"main/ip", "192.0.2.99"}});
    Kestrel window;
    auto* list = child<QComboBox>(&window, "comboBox_netinterfaces");
    QStringList shown;
    for (int i = 0; i < list->count(); ++i)
        shown << list->itemText(i);
    QCOMPARE(shown, expected);
    for (int i = list->count() - 1; i >= 0; --i) {
        list->setCurrentIndex(i);
        QCOMPARE(child<QLineEdit>(&window, "lineEdit_ip")->text(), expected.at(i).section(QStringLiteral(" - "), 0, 0));
    }
    // An index that denotes no entry (an emptied list) changes nothing.
    const QString shownAddress = child<QLineEdit>(&window, "lineEdit_ip")->text();
    window.OnComboBoxChanged(-1);
    window.OnComboBoxChanged(list->count());
    QCOMPARE(child<QLineEdit>(&window, "lineEdit_ip")->text(), shownAddress);
}

void TestWindow::startStop_data()
{
    QTest::addColumn<QString>("port"); // "IN USE": a port a server of this test holds
    QTest::addColumn<QString>("line");
    QTest::addRow("port 0: the system chooses") << "0" << "(Server) - Listening to port 0";
    QTest::addRow("a port in use: the caption changes all the same") << "IN USE" << "(Server) - Could not start server";
    QTest::addRow("no number asks for port 0") << "x1" << "(Server) - Listening to port 0";
}

void TestWindow::startStop()
{
    QFETCH(QString, port);
    QFETCH(QString, line);
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    Kestrel window;
    auto* button = child<QPushButton>(&window, "pushButton_serverStartStop");
    child<QLineEdit>(&window, "lineEdit_port")->setText(port == QLatin1String("IN USE") ? QString::number(holder.serverPort()) : port);
    QCOMPARE(button->text(), QStringLiteral("Start Server"));
    button->click();
    QVERIFY(logTexts(&window).contains(line));
    QCOMPARE(button->text(), QStringLiteral("Stop Server"));
    QVERIFY(!child<QGroupBox>(&window, "groupBox")->isEnabled());
    QVERIFY(!child<QGroupBox>(&window, "groupBox_pathToTS")->isEnabled());
    if (line.contains(QLatin1String("Listening"))) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, chosenPort(&window));
        QVERIFY(client.waitForConnected(5000));
        QTRY_VERIFY(logTexts(&window).filter(QStringLiteral("(Server) - Connecting...")).size() == 1);
    }
    button->click();
    QCOMPARE(button->text(), QStringLiteral("Start Server"));
    QVERIFY(child<QGroupBox>(&window, "groupBox")->isEnabled());
    QVERIFY(child<QGroupBox>(&window, "groupBox_pathToTS")->isEnabled());
}

void TestWindow::logPane_data()
{
    QTest::addColumn<QVariant>("threshold"); // "debug/loglevel"; invalid: absent
    QTest::addColumn<QStringList>("shown");  // of the lines below, levels 0, 1 and 3
    QTest::addRow("no threshold shows everything") << QVariant() << QStringList{"zero", "one", "three\nsecond line"};
    QTest::addRow("1 hides level 0") << QVariant(1) << QStringList{"one", "three\nsecond line"};
    QTest::addRow("4 hides everything") << QVariant(4) << QStringList{};
    QTest::addRow("a threshold that is no number reads 0") << QVariant("high") << QStringList{"zero", "one", "three\nsecond line"};
}

void TestWindow::logPane()
{
    QFETCH(QVariant, threshold);
    QFETCH(QStringList, shown);
    Kestrel window;
    child<QPlainTextEdit>(&window, "plainTextEdit_debug")->clear();
    // Read anew for every line: the threshold is edited by hand.
    if (threshold.isValid())
        writeIni({{"debug/loglevel", threshold}});
    window.OnDebugString(QStringLiteral("zero"));
    window.OnDebugString(QStringLiteral("one"), 1);
    window.OnDebugString(QStringLiteral("three\nsecond line"), 3);
    const QString pane = child<QPlainTextEdit>(&window, "plainTextEdit_debug")->toPlainText();
    QStringList texts;
    for (const QString& line : pane.split(QRegularExpression(QStringLiteral("\\n(?=\\d\\d:)")), Qt::SkipEmptyParts)) {
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ")).match(line).hasMatch(), qPrintable(line));
        texts << line.mid(13);
    }
    QCOMPARE(texts, shown);
}

void TestWindow::closeWritesSettings_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("stored");
    QTest::addRow("a port as typed") << "5000" << 5000;
    QTest::addRow("five digits above 65535 keep their low 16 bits") << "70000" << 70000 - 65536;
    QTest::addRow("no number stores 0") << "abc" << 0;
}

void TestWindow::closeWritesSettings()
{
    QFETCH(QString, port);
    QFETCH(int, stored);
    QByteArray geometry;
    QSize size;
    {
        Kestrel window;
        window.show();
        window.resize(640, 400);
        child<QLineEdit>(&window, "lineEdit_port")->setText(port);
        child<QLineEdit>(&window, "lineEdit_path_ts")->setText(QStringLiteral("typed by hand"));
        geometry = window.saveGeometry();
        size = window.size();
        QVERIFY(window.close());
    }
    QCOMPARE(readIni(QStringLiteral("main/port")).toInt(), stored);
    QCOMPARE(readIni(QStringLiteral("trainsim/path")).toString(), QStringLiteral("typed by hand"));
    QCOMPARE(readIni(QStringLiteral("main/windowgeometry")).toByteArray(), geometry);
    QVERIFY(readIni(QStringLiteral("main/windowstate")).toByteArray().size() > 0);
    Kestrel again;
    QCOMPARE(again.size(), size);
}

void TestWindow::simulatorFolder_data()
{
    QTest::addColumn<QString>("chosen");    // relative to the working directory; empty: cancel
    QTest::addColumn<QStringList>("files"); // made beforehand
    QTest::addColumn<QString>("field");     // the folder field afterwards
    QTest::addColumn<bool>("stored");
    QTest::addRow("a folder with plugins/RailDriver.dll is stored")
        << "sim/RailWorks.exe" << QStringList{"sim/RailWorks.exe", "sim/plugins/RailDriver.dll"} << "sim" << true;
    QTest::addRow("a folder without it shows the error, keeps the choice unstored")
        << "sim/RailWorks.exe" << QStringList{"sim/RailWorks.exe", "sim/plugins/RailDriver64.dll"} << "sim" << false;
    QTest::addRow("cancelling shows the working directory") << "" << QStringList{} << "" << false;
}

void TestWindow::simulatorFolder()
{
    QFETCH(QString, chosen);
    QFETCH(QStringList, files);
    QFETCH(QString, field);
    QFETCH(bool, stored);
    for (const QString& file : files) {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile(file).open(QIODevice::WriteOnly);
    }
    Kestrel window;
    window.show();
    QString seen;
    QList<ModalDriver::Handler> handlers{[&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        seen = dialog->windowTitle() + QLatin1Char('|') + dialog->nameFilters().join(QLatin1Char(';'));
        if (chosen.isEmpty())
            return dialog->reject();
        // Typed into the name field, as a user may.
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(m_dir->filePath(chosen));
        static_cast<QDialog*>(dialog)->accept();
    }};
    if (!stored) {
        handlers << [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            seen += QLatin1Char('|') + box->windowTitle() + QLatin1Char('|') + box->text();
            box->button(QMessageBox::Ok)->click();
        };
    }
    ModalDriver driver(handlers);
    QTest::mouseClick(child<QToolButton>(&window, "toolButton_path_ts"), Qt::LeftButton);
    QVERIFY(driver.done());
    QCOMPARE(seen, QStringLiteral("Path to Train Simulator|Railworks (RailWorks.exe)")
                       + (stored ? QString() : QStringLiteral("|Kestrel|RailDriver.dll not found.\nPlease check path to Railworks")));
    const QString folder = QDir::cleanPath(m_dir->filePath(field));
    QCOMPARE(child<QLineEdit>(&window, "lineEdit_path_ts")->text(), folder);
    QCOMPARE(Settings(nullptr).GetTrainSimPath(), stored ? folder : QString());
}

// The program ends with clients connected, one halfway through a frame: the
// window goes at once and no client is left.
void TestWindow::destroyWithRunningServer()
{
    auto window = std::make_unique<Kestrel>();
    child<QLineEdit>(window.get(), "lineEdit_port")->setText(QStringLiteral("0"));
    child<QPushButton>(window.get(), "pushButton_serverStartStop")->click();
    const quint16 port = chosenPort(window.get());
    QTcpSocket midFrame;
    QTcpSocket idle;
    for (QTcpSocket* socket : {&midFrame, &idle}) {
        socket->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(socket->waitForConnected(5000));
    }
    midFrame.write("@000050;005;000001;Get");
    QVERIFY(midFrame.waitForBytesWritten(5000));
    QTRY_COMPARE(logTexts(window.get()).filter(QStringLiteral("(Server) - Connecting...")).size(), 2);

    QElapsedTimer timer;
    timer.start();
    QVERIFY(window->close());
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QStringLiteral("took %1 ms").arg(timer.elapsed())));
    for (QTcpSocket* socket : {&midFrame, &idle})
        QVERIFY(socket->state() == QAbstractSocket::UnconnectedState || socket->waitForDisconnected(3000));
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!late.waitForConnected(2000));
}

// Values as users write them by hand.
void TestWindow::settingsFromHand_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("logLevel");
    QTest::addColumn<int>("idleTimeout");
    QTest::addColumn<int>("perAddress");
    QTest::addRow("defaults without a file") << QByteArray() << 47812 << 0 << 600 << 256;
    QTest::addRow("a port above 65535 keeps its low 16 bits") << QByteArray("[main]\nport=70000\n") << 70000 - 65536 << 0 << 600 << 256;
    QTest::addRow("texts that are no numbers read 0")
        << QByteArray("[main]\nport=abc\n[debug]\nloglevel=high\n[limits]\nidletimeout=x\nconnectionsperaddress=y\n")
        << 0 << 0 << 0 << 0;
    QTest::addRow("negative limits are no limit") << QByteArray("[limits]\nidletimeout=-5\nconnectionsperaddress=-1\n")
                                                  << 47812 << 0 << 0 << 0;
    QTest::addRow("limits and log level as written") << QByteArray("[debug]\nloglevel=-1\n[limits]\nidletimeout=30\nconnectionsperaddress=4\n")
                                                     << 47812 << -1 << 30 << 4;
}

void TestWindow::settingsFromHand()
{
    QFETCH(QByteArray, ini);
    QFile file(QStringLiteral("kestrel.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(ini);
    file.close();
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("Expecting settings at \"%1\"").arg(m_dir->filePath("kestrel.ini"))));
    Settings settings(nullptr);
    QTEST(int(settings.GetPort()), "port");
    QTEST(settings.GetLogLevel(), "logLevel");
    QTEST(settings.GetIdleTimeout(), "idleTimeout");
    QTEST(settings.GetConnectionsPerAddress(), "perAddress");
    // A folder for one run is answered but never written.
    settings.OverrideTrainSimPath(QStringLiteral("/for/this/run"));
    QCOMPARE(settings.GetTrainSimPath(), QStringLiteral("/for/this/run"));
    QVERIFY(!settings.HasTrainSimPath());
}

// Client threads read the folder while the window writes.
void TestWindow::settingsAcrossThreads()
{
    Settings settings(nullptr);
    std::atomic<int> wrong{0};
    std::thread reader([&] {
        for (int i = 0; i < 2000; ++i) {
            const QString path = settings.GetTrainSimPath();
            if (!path.isEmpty() && !path.startsWith(QLatin1String("/sim/")))
                ++wrong;
        }
    });
    for (int i = 0; i < 2000; ++i)
        settings.SetTrainSimPath(QStringLiteral("/sim/%1").arg(i));
    reader.join();
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(settings.GetTrainSimPath(), QStringLiteral("/sim/1999"));
}

void TestWindow::versionInfo_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("loaded");
    const QString built = QStringLiteral(KESTREL_PROGRAM);
    QTest::addRow("the built program reads as the project version") << built << true;
#ifdef Q_OS_WIN
    // Read through the system's version API: the test program has no record.
    QTest::addRow("a program without a record reads as nothing") << QCoreApplication::applicationFilePath() << false;
    QTest::addRow("a missing file reads as nothing") << QDir::temp().filePath(QStringLiteral("no such program.exe")) << false;
#endif
}

void TestWindow::versionInfo()
{
    QFETCH(QString, file);
    QFETCH(bool, loaded);
    VersionInfo info;
    QCOMPARE(info.FileVersion(), QString());
    QVERIFY(info.Load(QStringLiteral(KESTREL_PROGRAM))); // a second load must not keep the first record
    QCOMPARE(info.Load(file), loaded);
    QCOMPARE(info.FileVersion(), loaded ? QStringLiteral(KESTREL_VERSION).replace('.', ',') : QString());
    QCOMPARE(info.Translation(), loaded ? 0x040704B0u : 0u); // German, Unicode
    info.Release();
    QCOMPARE(info.FileVersion(), QString());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
