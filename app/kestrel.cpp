#include "kestrel.h"

#include "kestrelservice.h"
#include "logline.h"
#include "pairingdialog.h"
#include "settings.h"
#include "steamlibraries.h"
#include "versioninfo.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHostAddress>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QPushButton>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>

namespace {

const QString kStartCaption = QStringLiteral("Start Server");
const QString kStopCaption = QStringLiteral("Stop Server");

// The log pane keeps the latest lines only: a flood of client requests must
// neither grow the window's memory without end nor slow every append. Lines
// may be long (a controller list), so the characters are bounded too.
constexpr int kLogPaneLines = 5000;
constexpr int kLogPaneCharacters = 2 * 1024 * 1024;

// The amber of the menu and status bars, top to bottom unless a rule turns it.
QString amberGradient(const char* vector = "x1:0, y1:0, x2:0, y2:1")
{
    return QStringLiteral("qlineargradient(spread:pad, %1, stop:0 rgba(255, 216, 158, 255), "
                          "stop:0.824859 rgba(255, 193, 81, 255), stop:0.954545 rgba(255, 184, 48, 255))")
        .arg(QLatin1String(vector));
}

QString windowStyleSheet()
{
    const QString amber = amberGradient();
#ifdef Q_OS_WIN
    const QString toolBarExtra;
#else
    // Fusion, the style on Linux, paints a tool bar whose background is a
    // gradient black unless the rule also sets a border.
    const QString toolBarExtra = QStringLiteral("    border: none;\n");
#endif
    return QStringLiteral(
               "QMenuBar {\n"
               "    background: %1;\n"
               "}\n"
               "QMenuBar::item {\n"
               "    spacing: 3px;\n"
               "    padding: 1px 4px;\n"
               "    background: transparent;\n"
               "    border-radius: 4px;\n"
               "}\n"
               "QMenuBar::item:selected {\n"
               "    background: rgb(255, 170, 0);\n"
               "}\n"
               "QMenuBar::item:pressed {\n"
               "    background: rgb(255, 170, 0);\n"
               "    border: 1px solid grey;\n"
               "    border-radius: 4px;\n"
               "}\n"
               "QMenu::item {\n"
               "    background: transparent;\n"
               "}\n"
               "QMenu::item:selected {\n"
               "    background: %1;\n"
               "}\n"
               "QStatusBar {\n"
               "    border-top: 1px solid grey;\n"
               "    background: %1;\n"
               "}\n"
               "QToolBar {\n"
               "    background: qlineargradient(spread:pad, x1:0, y1:0, x2:0, y2:1, stop:0 rgba(255, 255, 255, 255), "
               "stop:0.846591 rgba(184, 204, 255, 255), stop:1 rgba(151, 194, 255, 255));\n"
               "%3"
               "}\n"
               "QGroupBox {\n"
               "    background: rgba(255, 255, 255, 120);\n"
               "    border: 1px solid gray;\n"
               "    border-radius: 5px;\n"
               "    margin-top: 2ex;\n"
               "}\n"
               "QGroupBox::title {\n"
               "    subcontrol-origin: margin;\n"
               "    subcontrol-position: top center;\n"
               "    padding: 0 3px;\n"
               "}\n"
               "QSplitter::handle:horizontal {\n"
               "    background: %2;\n"
               "}\n"
               "QSplitter::handle:vertical {\n"
               "    background: %1;\n"
               "}\n")
        .arg(amber, amberGradient("x1:0, y1:0, x2:0.983, y2:0"), toolBarExtra);
}

// The port fields hold at most five digits; anything that is not a number
// is port 0, and numbers above 65535 keep their low 16 bits.
quint16 portFromText(const QString& text)
{
    return quint16(text.toUInt(nullptr, 10));
}

} // namespace

Kestrel::Kestrel(QWidget* parent)
    : QMainWindow(parent)
{
    ui.setupUi(this);
    setWindowTitle(windowTitle() + QStringLiteral(" x64"));
    ui.plainTextEdit_debug->setMaximumBlockCount(kLogPaneLines);

    m_settings = new Settings(this);
    InitGui();

    // Connected only now: filling the interface list must not count as the
    // user choosing an entry.
    connect(ui.comboBox_netinterfaces, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &Kestrel::OnComboBoxChanged);
    connect(ui.pushButton_serverStartStop, &QPushButton::clicked, this, &Kestrel::OnStartStopServer);
    connect(ui.toolButton_path_ts, &QToolButton::clicked, this, &Kestrel::OnOpenPathToTS);

    setStyleSheet(windowStyleSheet());
}

Kestrel::~Kestrel()
{
    // The server goes later, once its clients have ended; the service ends
    // them now, while the settings store they read still exists, waiting a
    // bounded time: a client stuck in a library call is left behind rather
    // than holding up the program's end.
    delete m_service;
    m_service = nullptr;
    delete m_settings;
    m_settings = nullptr;
}

void Kestrel::InitGui()
{
    ui.lineEdit_ip->setText(m_settings->GetIp());
    ui.lineEdit_port->setText(QString::number(m_settings->GetPort()));

    // Every running interface that is not point-to-point, loopback included,
    // one entry per IPv4 address.
    m_addresses.clear();
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& netInterface : interfaces) {
        const QNetworkInterface::InterfaceFlags flags = netInterface.flags();
        if (!flags.testFlag(QNetworkInterface::IsRunning) || !netInterface.isValid()
            || flags.testFlag(QNetworkInterface::IsPointToPoint))
            continue;
        const QList<QNetworkAddressEntry> entries = netInterface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            const QHostAddress address = entry.ip();
            if (address.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            const QString text = address.toString();
            ui.comboBox_netinterfaces->addItem(text + QStringLiteral(" - ") + netInterface.humanReadableName());
            m_addresses.append(text);
        }
    }

    // A stored entry that no longer exists (a new address from DHCP) leaves
    // the first entry selected.
    ui.comboBox_netinterfaces->setCurrentText(m_settings->GetNetInterface());
    const int index = ui.comboBox_netinterfaces->currentIndex();
    if (index >= 0 && index < m_addresses.size())
        ui.lineEdit_ip->setText(m_addresses.at(index));

    restoreGeometry(m_settings->GetWindowGeometry());
    restoreState(m_settings->GetWindowState(), 0);

    ui.lineEdit_path_ts->setText(m_settings->GetTrainSimPath());
    const QString found = ui.lineEdit_path_ts->text().isEmpty() ? FindSimulator() : QString();

    OnDebugString(QStringLiteral("(Main) - Init GUI"), 0);
    if (!found.isEmpty())
        OnDebugString(found, 1);

    ShowVersion();
}

// With no folder stored, the simulator's folder in Steam's libraries, shown
// in the field and kept as if chosen, when it has its library. The line
// says what was found, or why nothing was.
QString Kestrel::FindSimulator()
{
    const QStringList steam = SteamLibraries::steamFolders();
    const SteamLibraries::Found found = SteamLibraries::findSimulator(steam);
    if (steam.isEmpty())
        return QStringLiteral("(Main) - No simulator folder stored, and no Steam found to look in: choose it with \"...\"");
    if (found.folder.isEmpty())
        return QStringLiteral("(Main) - No simulator folder stored, and none in Steam's libraries: choose it with \"...\"");
    if (!found.hasLibrary)
        return QStringLiteral("(Main) - The simulator in %1 has no plugins/RailDriver64.dll: choose its folder with "
                              "\"...\" once it has")
            .arg(found.folder);
    ui.lineEdit_path_ts->setText(found.folder);
    m_settings->SetTrainSimPath(found.folder);
    return QStringLiteral("(Main) - Found the simulator in %1 (Steam library %2)").arg(found.folder, found.library);
}

void Kestrel::ShowVersion()
{
    VersionInfo versionInfo;
    // Without a readable record the text is "v" alone; nothing else is said.
    versionInfo.Load(QStringLiteral("kestrel.exe"));
    QString version = versionInfo.FileVersion();
    version.replace(QLatin1Char(','), QLatin1Char('.'));
    version.prepend(QLatin1Char('v'));

    m_statusLabel = new QLabel;
    m_statusLabel->setObjectName(QStringLiteral("label_status"));
    m_statusLabel->setMinimumWidth(300);
    ui.statusBar->addWidget(m_statusLabel, 0);

    auto* versionLabel = new QLabel(version);
    versionLabel->setObjectName(QStringLiteral("label_version"));
    ui.statusBar->addWidget(versionLabel, 0);

    // At the status bar's right end, away from the described widgets; shown
    // while the cab display runs.
    m_pairButton = new QPushButton(tr("Pair a phone..."));
    m_pairButton->setObjectName(QStringLiteral("pushButton_pair"));
    m_pairButton->setVisible(false);
    ui.statusBar->addPermanentWidget(m_pairButton);
    connect(m_pairButton, &QPushButton::clicked, this, [this] {
        auto* dialog = new PairingDialog(m_service->pairingLink(), this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
    });

    versionInfo.Release();
}

void Kestrel::OnComboBoxChanged(int index)
{
    if (index >= 0 && index < m_addresses.size())
        ui.lineEdit_ip->setText(m_addresses.at(index));
}

void Kestrel::OnStartStopServer()
{
    if (ui.pushButton_serverStartStop->text() == kStartCaption) {
        if (!m_service) {
            m_service = new KestrelService(m_settings, this);
            connect(m_service, &KestrelService::logLine, this,
                    [this](const QString& text, KestrelService::Level level) { OnDebugString(text, int(level)); });
        }
        // Whether listening worked is the server's to report, in the log.
        KestrelService::Options options;
        options.address = ui.lineEdit_ip->text();
        options.port = portFromText(ui.lineEdit_port->text());
        m_service->start(options);
        m_pairButton->setVisible(!m_service->pairingLink().isEmpty());

        ui.pushButton_serverStartStop->setText(kStopCaption);
        ui.groupBox->setEnabled(false);
        ui.groupBox_pathToTS->setEnabled(false);
        return;
    }

    ui.pushButton_serverStartStop->setText(kStartCaption);
    ui.groupBox->setEnabled(true);
    ui.groupBox_pathToTS->setEnabled(true);
    m_service->stop();
    m_pairButton->setVisible(false);
}

void Kestrel::OnDebugString(QString text, int level)
{
    const QString line = LogLine::stamped(text);
    // Read anew for every message: the threshold is edited by hand.
    if (!LogLine::shown(level, m_settings->GetLogLevel()))
        return;
    ui.plainTextEdit_debug->appendPlainText(line);
    QTextDocument* document = ui.plainTextEdit_debug->document();
    while (document->characterCount() > kLogPaneCharacters && document->blockCount() > 1) {
        QTextCursor oldest(document);
        oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        oldest.removeSelectedText();
    }
}

void Kestrel::OnOpenPathToTS()
{
    const QUrl start(ui.lineEdit_path_ts->text(), QUrl::TolerantMode);
    const QUrl chosen = QFileDialog::getOpenFileUrl(this, tr("Path to Train Simulator"), start,
                                                    tr("Railworks (RailWorks.exe)"));

    // A cancelled dialog gives an empty path, whose folder is the working
    // directory; the field shows that, as it would any other choice.
    const QFileInfo file(chosen.toLocalFile());
    ui.lineEdit_path_ts->setText(file.absoluteDir().absolutePath());

    const QFileInfo library(ui.lineEdit_path_ts->text() + QStringLiteral("/plugins/RailDriver.dll"));
    if (library.exists() && library.isFile()) {
        m_settings->SetTrainSimPath(ui.lineEdit_path_ts->text());
        return;
    }
    QMessageBox::critical(this, QStringLiteral("Kestrel"),
                          tr("RailDriver.dll not found.\nPlease check path to Railworks"), QMessageBox::Ok);
}

void Kestrel::closeEvent(QCloseEvent* event)
{
    // A running server is left alone: closing the window ends the program,
    // and the destructor deals with the server.
    m_settings->SetIp(ui.lineEdit_ip->text());
    m_settings->SetPort(portFromText(ui.lineEdit_port->text()));
    m_settings->SetNetInterface(ui.comboBox_netinterfaces->currentText());
    m_settings->SetWindowGeometry(saveGeometry());
    m_settings->SetWindowState(saveState(0));
    m_settings->SetTrainSimPath(ui.lineEdit_path_ts->text());
    event->accept();
}
