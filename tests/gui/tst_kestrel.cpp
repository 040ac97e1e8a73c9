// The main window as a user meets it: what it shows at start-up for a missing
// or a filled "kestrel.ini", the interface list, starting and stopping a real
// server, the log pane's threshold and stamp, what closing writes back, the
// simulator-folder dialog, and ending with clients still connected.
//
// Every test function runs in a fresh temporary working directory, since the
// window reads and writes "kestrel.ini" there.

#include "kestrel.h"

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

namespace {

template <typename T>
T* child(QWidget* window, const char* name)
{
    T* widget = window->findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("the window has no %s", name);
    return widget;
}

QStringList logLines(QWidget* window)
{
    return child<QPlainTextEdit>(window, "plainTextEdit_debug")->toPlainText().split(QLatin1Char('\n'));
}

// The log lines without their time stamps.
QStringList logTexts(QWidget* window)
{
    QStringList texts;
    for (const QString& line : logLines(window)) {
        if (!line.isEmpty())
            texts << line.mid(13);
    }
    return texts;
}

bool logContains(QWidget* window, const QString& text)
{
    return logTexts(window).contains(text);
}

int logCount(QWidget* window, const QString& prefix)
{
    int count = 0;
    for (const QString& text : logTexts(window))
        count += text.startsWith(prefix) ? 1 : 0;
    return count;
}

// The entries the interface list must hold, read from the system with the
// window's rules: running, valid, not point-to-point, IPv4 addresses only.
struct Entry
{
    QString text;
    QString address;
};

QList<Entry> expectedInterfaceEntries()
{
    QList<Entry> entries;
    for (const QNetworkInterface& netInterface : QNetworkInterface::allInterfaces()) {
        const auto flags = netInterface.flags();
        if (!(flags & QNetworkInterface::IsRunning) || !netInterface.isValid()
            || (flags & QNetworkInterface::IsPointToPoint))
            continue;
        for (const QNetworkAddressEntry& entry : netInterface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                entries.append({entry.ip().toString() + QStringLiteral(" - ") + netInterface.humanReadableName(),
                                entry.ip().toString()});
        }
    }
    return entries;
}

// A port that nothing listens on right now.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        qFatal("cannot find a free port");
    return probe.serverPort();
}

void writeIni(const QMap<QString, QVariant>& values)
{
    QSettings ini(QStringLiteral("kestrel.ini"), QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        ini.setValue(it.key(), it.value());
}

QVariant readIni(const QString& key)
{
    QSettings ini(QStringLiteral("kestrel.ini"), QSettings::IniFormat);
    return ini.value(key);
}

// Answers the modal dialogs that a slot opens, one handler per dialog in the
// order they appear. Each handler gets the dialog while it is on screen and
// must close it.
class ModalDriver : public QObject
{
public:
    using Handler = std::function<void(QWidget*)>;

    explicit ModalDriver(QList<Handler> handlers)
        : m_handlers(std::move(handlers))
    {
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
        m_timer.start();
    }

    int handled() const { return m_handled; }
    // A dialog that its handler did not close within two seconds was
    // rejected by force, so that the test fails instead of hanging.
    bool stuck() const { return m_stuck; }

private:
    void poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (modal == m_last) {
            if (++m_polls > 100) {
                m_stuck = true;
                if (auto* dialog = qobject_cast<QDialog*>(modal))
                    dialog->reject();
                else
                    modal->close();
            }
            return;
        }
        if (m_handlers.isEmpty())
            return;
        m_last = modal;
        m_polls = 0;
        ++m_handled;
        m_handlers.takeFirst()(modal);
    }

    QTimer m_timer;
    QList<Handler> m_handlers;
    QPointer<QWidget> m_last;
    int m_handled = 0;
    int m_polls = 0;
    bool m_stuck = false;
};

// Closes the folder dialog with `file` chosen, or cancels it for an empty one.
ModalDriver::Handler chooseFile(const QString& file, QString* caption)
{
    return [file, caption](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (!dialog) {
            modal->close();
            return;
        }
        *caption = dialog->windowTitle() + QLatin1Char('|') + dialog->nameFilters().join(QLatin1Char(';'));
        if (file.isEmpty()) {
            dialog->reject();
        } else {
            // Typed into the file name field, as a user may: selectFile()
            // depends on the dialog's file system model, which fills in the
            // background.
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (!name) {
                dialog->reject();
                return;
            }
            name->setText(file);
            static_cast<QDialog*>(dialog)->accept(); // QFileDialog::accept is protected
        }
    };
}

ModalDriver::Handler closeMessageBox(QString* seen)
{
    return [seen](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box) {
            *seen = QStringLiteral("not a message box: ") + modal->metaObject()->className();
            modal->close();
            return;
        }
        *seen = QStringLiteral("%1|%2|%3|%4")
                    .arg(box->windowTitle(), box->text())
                    .arg(box->icon() == QMessageBox::Critical ? QStringLiteral("critical") : QStringLiteral("other"))
                    .arg(int(box->standardButtons()));
        box->button(QMessageBox::Ok)->click();
    };
}

void makeFile(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot create %s", qPrintable(path));
}

} // namespace

class TestKestrel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstStartWithoutIni();
    void startFromFilledIni_data();
    void startFromFilledIni();
    void interfaceList();
    void startStop_data();
    void startStop();
    void logThreshold_data();
    void logThreshold();
    void logLineFormat_data();
    void logLineFormat();
    void closeWritesSettings_data();
    void closeWritesSettings();
    void geometryRoundTrip();
    void simulatorFolder_data();
    void simulatorFolder();
    void stopWithClients_data();
    void stopWithClients();
    void destroyWithRunningServer();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
};

void TestKestrel::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void TestKestrel::cleanup()
{
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

void TestKestrel::firstStartWithoutIni()
{
    Kestrel window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Kestrel x64"));
    QCOMPARE(window.size(), QSize(602, 310));
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(window.windowIcon().availableSizes().value(0), QSize(200, 158));

    QCOMPARE(child<QLineEdit>(&window, "lineEdit_port")->text(), QStringLiteral("47812"));
    QCOMPARE(child<QLineEdit>(&window, "lineEdit_path_ts")->text(), QString());
    QCOMPARE(child<QPushButton>(&window, "pushButton_serverStartStop")->text(), QStringLiteral("Start Server"));
    QVERIFY(child<QGroupBox>(&window, "groupBox")->isEnabled());
    QVERIFY(child<QGroupBox>(&window, "groupBox_pathToTS")->isEnabled());

    // Without a stored address the field shows the first interface's, if any.
    const QList<Entry> entries = expectedInterfaceEntries();
    QCOMPARE(child<QLineEdit>(&window, "lineEdit_ip")->text(),
             entries.isEmpty() ? QString() : entries.first().address);

    // Without a threshold in the file even level 0 is shown.
    QCOMPARE(logTexts(&window), QStringList{QStringLiteral("(Main) - Init GUI")});

    // The status bar: an empty label of at least 300 pixels, then the version.
    // This test program is not named kestrel, so there is no record to read.
    auto* status = child<QLabel>(&window, "label_status");
    auto* version = child<QLabel>(&window, "label_version");
    QCOMPARE(status->text(), QString());
    QCOMPARE(status->minimumWidth(), 300);
    QCOMPARE(version->text(), QStringLiteral("v" KESTREL_VERSION));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(version->x() >= status->x() + 300);

    // Starting reads but writes nothing.
    QVERIFY(!QFile::exists(QStringLiteral("kestrel.ini")));
}

void TestKestrel::startFromFilledIni_data()
{
    QTest::addColumn<QString>("storedInterface"); // "first", "last" or a text matching nothing
    QTest::addColumn<QString>("selected");        // "first", "last"

    QTest::addRow("the stored entry is selected again") << QStringLiteral("last") << QStringLiteral("last");
    QTest::addRow("a stored entry whose address changed selects the first")
        << QStringLiteral("10.254.254.254 - gone") << QStringLiteral("first");
}

void TestKestrel::startFromFilledIni()
{
    QFETCH(QString, storedInterface);
    QFETCH(QString, selected);

    const QList<Entry> entries = expectedInterfaceEntries();
    if (entries.isEmpty())
        QSKIP("this machine has no running interface with an IPv4 address");
    const Entry& last = entries.last();
    const Entry& expected = selected == QLatin1String("first") ? entries.first() : last;

    writeIni({{QStringLiteral("main/ip"), QStringLiteral("10.1.2.3")},
              {QStringLiteral("main/port"), 31337},
              {QStringLiteral("main/netinterface"), storedInterface == QLatin1String("last") ? last.text : storedInterface},
              {QStringLiteral("trainsim/path"), QStringLiteral("C:/Program Files (x86)/Steam/steamapps/common/RailWorks")}});

    Kestrel window;
    QCOMPARE(child<QLineEdit>(&window, "lineEdit_port")->text(), QStringLiteral("31337"));
    QCOMPARE(child<QLineEdit>(&window, "lineEdit_path_ts")->text(),
             QStringLiteral("C:/Program Files (x86)/Steam/steamapps/common/RailWorks"));
    QCOMPARE(child<QComboBox>(&window, "comboBox_netinterfaces")->currentText(), expected.text);
    // The selected entry's address replaces the stored one.
    QCOMPARE(child<QLineEdit>(&window, "lineEdit_ip")->text(), expected.address);
}

void TestKestrel::interfaceList()
{
    writeIni({{QStringLiteral("main/ip"), QStringLiteral("10.1.2.3")}});
    Kestrel window;
    auto* list = child<QComboBox>(&window, "comboBox_netinterfaces");
    auto* ip = child<QLineEdit>(&window, "lineEdit_ip");

    const QList<Entry> entries = expectedInterfaceEntries();
    QStringList expectedTexts;
    for (const Entry& entry : entries)
        expectedTexts << entry.text;
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->itemText(i);
    QCOMPARE(texts, expectedTexts);

    if (entries.isEmpty()) {
        // No usable interface: the stored address stays.
        QCOMPARE(ip->text(), QStringLiteral("10.1.2.3"));
        return;
    }
    // Each entry, chosen, shows its own address; clearing the selection in
    // between makes every choice a change, also with a single entry.
    for (int i = entries.size() - 1; i >= 0; --i) {
        ip->setText(QStringLiteral("before"));
        list->setCurrentIndex(-1);
        QCOMPARE(ip->text(), QStringLiteral("before"));
        list->setCurrentIndex(i);
        QCOMPARE(ip->text(), entries.at(i).address);
    }
}

void TestKestrel::startStop_data()
{
    QTest::addColumn<QString>("portText"); // "free", "busy" or a literal port text
    QTest::addColumn<QString>("logged");   // %1: the port asked for
    QTest::addColumn<bool>("listening");

    QTest::addRow("a free port: listens") << QStringLiteral("free") << QStringLiteral("(Server) - Listening to port %1")
                                          << true;
    QTest::addRow("a port in use: the caption changes all the same")
        << QStringLiteral("busy") << QStringLiteral("(Server) - Could not start server") << false;
    QTest::addRow("a port text that is no number asks for port 0")
        << QStringLiteral("x1") << QStringLiteral("(Server) - Listening to port 0") << true;
}

void TestKestrel::startStop()
{
    QFETCH(QString, portText);
    QFETCH(QString, logged);
    QFETCH(bool, listening);

    QTcpServer occupant;
    quint16 port = 0;
    if (portText == QLatin1String("busy")) {
        QVERIFY(occupant.listen(QHostAddress::Any, 0));
        port = occupant.serverPort();
        portText = QString::number(port);
    } else if (portText == QLatin1String("free")) {
        port = freePort();
        portText = QString::number(port);
    }

    Kestrel window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* button = child<QPushButton>(&window, "pushButton_serverStartStop");
    auto* server = child<QGroupBox>(&window, "groupBox");
    auto* folder = child<QGroupBox>(&window, "groupBox_pathToTS");
    child<QLineEdit>(&window, "lineEdit_port")->setText(portText);

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(button->text(), QStringLiteral("Stop Server"));
    QVERIFY(button->isEnabled());
    QVERIFY(!server->isEnabled());
    QVERIFY(!folder->isEnabled());
    QVERIFY(!child<QLineEdit>(&window, "lineEdit_port")->isEnabled());
    QVERIFY(!child<QToolButton>(&window, "toolButton_path_ts")->isEnabled());
    QVERIFY(logContains(&window, logged.arg(port)));

    if (listening && port != 0) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        QTRY_VERIFY(logCount(&window, QStringLiteral("(Server) - Connecting... ")) == 1);
        client.abort();
    }

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(button->text(), QStringLiteral("Start Server"));
    QVERIFY(server->isEnabled());
    QVERIFY(folder->isEnabled());
    QVERIFY(child<QLineEdit>(&window, "lineEdit_port")->isEnabled());

    if (listening && port != 0) {
        // The server is gone: nobody answers on its port any more.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTcpSocket late;
        late.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!late.waitForConnected(2000));

        // Pressing again starts a new server.
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(logCount(&window, QStringLiteral("(Server) - Listening to port ")), 2);
        QTest::mouseClick(button, Qt::LeftButton);
    }
}

void TestKestrel::logThreshold_data()
{
    QTest::addColumn<QVariant>("threshold"); // invalid: no key in the file
    QTest::addColumn<QStringList>("shown");

    const QString init = QStringLiteral("(Main) - Init GUI");
    const QStringList all{init, QStringLiteral("level 0"), QStringLiteral("level 1"), QStringLiteral("level 2"),
                          QStringLiteral("level 3")};
    QTest::addRow("no threshold in the file shows everything") << QVariant() << all;
    QTest::addRow("threshold 0 shows everything") << QVariant(0) << all;
    QTest::addRow("threshold 1 drops level 0, Init GUI included")
        << QVariant(1) << QStringList{QStringLiteral("level 1"), QStringLiteral("level 2"), QStringLiteral("level 3")};
    QTest::addRow("threshold 2 keeps levels 2 and up")
        << QVariant(2) << QStringList{QStringLiteral("level 2"), QStringLiteral("level 3")};
    QTest::addRow("threshold 4 drops everything") << QVariant(4) << QStringList{};
    QTest::addRow("a negative threshold shows everything, negative levels too")
        << QVariant(-5) << QStringList{init, QStringLiteral("level -5"), QStringLiteral("level 0"),
                                       QStringLiteral("level 1"), QStringLiteral("level 2"), QStringLiteral("level 3")};
    QTest::addRow("a threshold that is no number counts as 0") << QVariant(QStringLiteral("high")) << all;
}

void TestKestrel::logThreshold()
{
    QFETCH(QVariant, threshold);
    QFETCH(QStringList, shown);

    if (threshold.isValid())
        writeIni({{QStringLiteral("debug/loglevel"), threshold}});

    Kestrel window;
    window.OnDebugString(QStringLiteral("level -5"), -5);
    window.OnDebugString(QStringLiteral("level 0"));
    window.OnDebugString(QStringLiteral("level 1"), 1);
    window.OnDebugString(QStringLiteral("level 2"), 2);
    window.OnDebugString(QStringLiteral("level 3"), 3);
    QCOMPARE(logTexts(&window), shown);

    // The threshold is read for every message: a changed file counts at once.
    writeIni({{QStringLiteral("debug/loglevel"), 100}});
    window.OnDebugString(QStringLiteral("after raising the threshold"), 3);
    QCOMPARE(logTexts(&window), shown);
}

void TestKestrel::logLineFormat_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines"); // the pane's lines after the stamp

    QTest::addRow("plain text") << QStringLiteral("(Server) - Client Name: Cab 1")
                                << QStringList{QStringLiteral("(Server) - Client Name: Cab 1")};
    QTest::addRow("line breaks: one stamp before the first line")
        << QStringLiteral("first\nsecond") << QStringList{QStringLiteral("first"), QStringLiteral("second")};
    QTest::addRow("markup is shown as written") << QStringLiteral("<b>bold</b> &amp;")
                                                << QStringList{QStringLiteral("<b>bold</b> &amp;")};
}

void TestKestrel::logLineFormat()
{
    QFETCH(QString, text);
    QFETCH(QStringList, lines);

    Kestrel window;
    auto* pane = child<QPlainTextEdit>(&window, "plainTextEdit_debug");
    pane->clear();
    const QTime before = QTime::currentTime();
    window.OnDebugString(text, 1);
    const QTime after = QTime::currentTime();

    const QStringList shown = pane->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(shown.size(), lines.size());
    const QRegularExpression stamp(QStringLiteral("^(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d) "));
    const QRegularExpressionMatch match = stamp.match(shown.first());
    QVERIFY2(match.hasMatch(), qPrintable(shown.first()));
    QCOMPARE(shown.first().mid(13), lines.first());
    for (int i = 1; i < lines.size(); ++i) {
        QVERIFY(!stamp.match(shown.at(i)).hasMatch());
        QCOMPARE(shown.at(i), lines.at(i));
    }

    // The stamp is the local time of the call (24-hour clock, milliseconds).
    const QTime logged = QTime::fromString(match.captured(1), QStringLiteral("HH:mm:ss.zzz"));
    QVERIFY(logged.isValid());
    if (before <= after) // not across midnight
        QVERIFY2(before <= logged && logged <= after, qPrintable(match.captured(1)));
}

void TestKestrel::closeWritesSettings_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<int>("storedPort");

    QTest::addRow("a port as typed") << QStringLiteral("12345") << 12345;
    QTest::addRow("five digits above 65535 keep their low 16 bits") << QStringLiteral("70000") << 70000 - 65536;
    QTest::addRow("no number stores 0") << QStringLiteral("port") << 0;
    QTest::addRow("an empty field stores 0") << QString() << 0;
}

void TestKestrel::closeWritesSettings()
{
    QFETCH(QString, portText);
    QFETCH(int, storedPort);

    {
        Kestrel window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        child<QLineEdit>(&window, "lineEdit_port")->setText(portText);
        // Typed by hand: not checked, stored all the same.
        child<QLineEdit>(&window, "lineEdit_path_ts")->setText(QStringLiteral("/no/such/simulator"));
        // A running server is not stopped by closing, and does not stop the
        // settings from being written.
        child<QPushButton>(&window, "pushButton_serverStartStop")->click();
        QVERIFY(window.close());
        QVERIFY(!window.isVisible());
        QCOMPARE(child<QPushButton>(&window, "pushButton_serverStartStop")->text(), QStringLiteral("Stop Server"));
    }

    const QList<Entry> entries = expectedInterfaceEntries();
    QSettings ini(QStringLiteral("kestrel.ini"), QSettings::IniFormat);
    QCOMPARE(ini.childGroups(), (QStringList{QStringLiteral("main"), QStringLiteral("trainsim")}));
    QCOMPARE(ini.allKeys(),
             (QStringList{QStringLiteral("main/ip"), QStringLiteral("main/netinterface"), QStringLiteral("main/port"),
                          QStringLiteral("main/windowgeometry"), QStringLiteral("main/windowstate"),
                          QStringLiteral("trainsim/path")}));
    QCOMPARE(ini.value(QStringLiteral("main/port")).toInt(), storedPort);
    QCOMPARE(ini.value(QStringLiteral("main/ip")).toString(),
             entries.isEmpty() ? QString() : entries.first().address);
    QCOMPARE(ini.value(QStringLiteral("main/netinterface")).toString(),
             entries.isEmpty() ? QString() : entries.first().text);
    QCOMPARE(ini.value(QStringLiteral("trainsim/path")).toString(), QStringLiteral("/no/such/simulator"));
    QVERIFY(!ini.value(QStringLiteral("main/windowgeometry")).toByteArray().isEmpty());
    QVERIFY(!ini.value(QStringLiteral("main/windowstate")).toByteArray().isEmpty());
}

void TestKestrel::geometryRoundTrip()
{
    {
        Kestrel window;
        window.resize(700, 420);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.close();
    }
    Kestrel window;
    QCOMPARE(window.size(), QSize(700, 420));

    // Data that is no geometry leaves the window as the form made it.
    writeIni({{QStringLiteral("main/windowgeometry"), QByteArray("not a geometry")},
              {QStringLiteral("main/windowstate"), QByteArray("not a state")}});
    Kestrel fresh;
    QCOMPARE(fresh.size(), QSize(602, 310));
}

void TestKestrel::simulatorFolder_data()
{
    QTest::addColumn<QString>("chosen");       // the file picked, relative to the working directory; empty: cancel
    QTest::addColumn<QStringList>("files");    // made beforehand, relative to the working directory
    QTest::addColumn<QString>("field");        // the folder field afterwards, relative
    QTest::addColumn<bool>("stored");

    QTest::addRow("a folder with plugins/RailDriver.dll is stored")
        << QStringLiteral("sim/RailWorks.exe")
        << QStringList{QStringLiteral("sim/RailWorks.exe"), QStringLiteral("sim/plugins/RailDriver.dll")}
        << QStringLiteral("sim") << true;
    QTest::addRow("a folder without it shows the error and keeps the choice unstored")
        << QStringLiteral("sim/RailWorks.exe")
        << QStringList{QStringLiteral("sim/RailWorks.exe"), QStringLiteral("sim/plugins/RailDriver64.dll")}
        << QStringLiteral("sim") << false;
    QTest::addRow("a folder named like the library is no library")
        << QStringLiteral("sim/RailWorks.exe")
        << QStringList{QStringLiteral("sim/RailWorks.exe"), QStringLiteral("sim/plugins/RailDriver.dll/readme")}
        << QStringLiteral("sim") << false;
    QTest::addRow("cancelling shows the working directory") << QString() << QStringList{} << QString() << false;
    QTest::addRow("cancelling in a simulator folder stores it")
        << QString() << QStringList{QStringLiteral("plugins/RailDriver.dll")} << QString() << true;
}

void TestKestrel::simulatorFolder()
{
    QFETCH(QString, chosen);
    QFETCH(QStringList, files);
    QFETCH(QString, field);
    QFETCH(bool, stored);

    for (const QString& file : files)
        makeFile(m_dir->filePath(file));
    const QString expectedField = QDir::cleanPath(m_dir->filePath(field));

    auto window = std::make_unique<Kestrel>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    QString dialogSeen;
    QString boxSeen;
    QList<ModalDriver::Handler> handlers{chooseFile(chosen.isEmpty() ? QString() : m_dir->filePath(chosen), &dialogSeen)};
    if (!stored)
        handlers << closeMessageBox(&boxSeen);
    ModalDriver driver(handlers);
    QTest::mouseClick(child<QToolButton>(window.get(), "toolButton_path_ts"), Qt::LeftButton);

    QVERIFY(!driver.stuck());
    QCOMPARE(driver.handled(), handlers.size());
    QCOMPARE(dialogSeen, QStringLiteral("Path to Train Simulator|Railworks (RailWorks.exe)"));
    QCOMPARE(child<QLineEdit>(window.get(), "lineEdit_path_ts")->text(), expectedField);
    if (!stored) {
        QCOMPARE(boxSeen, QStringLiteral("Kestrel|RailDriver.dll not found.\nPlease check path to Railworks|critical|%1")
                              .arg(int(QMessageBox::Ok)));
    }

    // Destroyed without closing: what is in the file now was stored by the
    // dialog alone.
    window.reset();
    QCOMPARE(readIni(QStringLiteral("trainsim/path")).toString(), stored ? expectedField : QString());
}

void TestKestrel::stopWithClients_data()
{
    QTest::addColumn<QStringList>("clients"); // in connection order: "idle" or "mid-frame"

    QTest::addRow("an idle client") << QStringList{QStringLiteral("idle")};
    QTest::addRow("a client halfway through a frame") << QStringList{QStringLiteral("mid-frame")};
    QTest::addRow("mid-frame, then idle") << QStringList{QStringLiteral("mid-frame"), QStringLiteral("idle")};
    QTest::addRow("idle, then mid-frame") << QStringList{QStringLiteral("idle"), QStringLiteral("mid-frame")};
}

void TestKestrel::stopWithClients()
{
    QFETCH(QStringList, clients);

    const quint16 port = freePort();
    Kestrel window;
    child<QLineEdit>(&window, "lineEdit_port")->setText(QString::number(port));
    auto* button = child<QPushButton>(&window, "pushButton_serverStartStop");
    button->click();
    QVERIFY(logContains(&window, QStringLiteral("(Server) - Listening to port %1").arg(port)));

    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (const QString& kind : clients) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(socket->waitForConnected(5000));
        const int connected = int(sockets.size()) + 1;
        QTRY_COMPARE(logCount(&window, QStringLiteral("(Server) - Connecting... ")), connected);
        if (kind == QLatin1String("mid-frame")) {
            // A header that announces 50 bytes, and only a few of them: the
            // client thread waits up to 10 s for the rest.
            socket->write("@000050;005;000001;Get");
            QVERIFY(socket->waitForBytesWritten(5000));
        }
        sockets.push_back(std::move(socket));
    }
    QTest::qWait(200); // let the mid-frame client's thread start waiting

    QElapsedTimer timer;
    timer.start();
    button->click();
    QCOMPARE(button->text(), QStringLiteral("Start Server"));
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QStringLiteral("stopping took %1 ms").arg(timer.elapsed())));

    // Every client is let go, not only the most recent one, and promptly.
    for (auto& socket : sockets) {
        if (socket->state() == QAbstractSocket::ConnectedState)
            QVERIFY(socket->waitForDisconnected(3000));
    }
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QStringLiteral("clients ended after %1 ms").arg(timer.elapsed())));
}

void TestKestrel::destroyWithRunningServer()
{
    const quint16 port = freePort();
    auto window = std::make_unique<Kestrel>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    child<QLineEdit>(window.get(), "lineEdit_port")->setText(QString::number(port));
    child<QPushButton>(window.get(), "pushButton_serverStartStop")->click();

    QTcpSocket midFrame;
    midFrame.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(midFrame.waitForConnected(5000));
    QTRY_COMPARE(logCount(window.get(), QStringLiteral("(Server) - Connecting... ")), 1);
    midFrame.write("@000050;005;000001;Get");
    QVERIFY(midFrame.waitForBytesWritten(5000));
    QTcpSocket idle;
    idle.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(idle.waitForConnected(5000));
    QTRY_COMPARE(logCount(window.get(), QStringLiteral("(Server) - Connecting... ")), 2);
    QTest::qWait(200);

    // As the program ends: the window closes, is destroyed, and the deferred
    // deletions that no event loop will run are carried out by hand.
    QElapsedTimer timer;
    timer.start();
    QVERIFY(window->close());
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QStringLiteral("took %1 ms").arg(timer.elapsed())));

    // No client thread is left running, and the port is free again.
    for (QTcpSocket* socket : {&midFrame, &idle}) {
        if (socket->state() == QAbstractSocket::ConnectedState)
            QVERIFY(socket->waitForDisconnected(3000));
    }
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!late.waitForConnected(2000));

    // Closing stored the settings although the server was running.
    QCOMPARE(readIni(QStringLiteral("main/port")).toInt(), int(port));
}

QTEST_MAIN(TestKestrel)
#include "tst_kestrel.moc"
