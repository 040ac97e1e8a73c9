#pragma once

#include "ui_kestrel.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

class KestrelService;
class QCloseEvent;
class QLabel;
class QPushButton;
class Settings;

// Kestrel's only window: the network interface and port to serve on, the
// simulator's install folder, the button that starts and stops the server,
// and the log pane. It owns the settings store and the service that runs the
// server, fills its controls from the settings at start-up and writes them
// back on closing.
class Kestrel : public QMainWindow
{
    Q_OBJECT

public:
    explicit Kestrel(QWidget* parent = nullptr);
    ~Kestrel() override;

public slots:
    // Shows the address of the chosen interface entry.
    void OnComboBoxChanged(int index);
    // The button's caption is the state: "Start Server" starts, anything
    // else stops.
    void OnStartStopServer();
    // Stamps `text` with the time of day and appends it to the log pane if
    // `level` reaches the threshold "debug/loglevel".
    void OnDebugString(QString text, int level = 0);
    // Lets the user pick the simulator's "RailWorks.exe" and keeps its folder
    // if that holds "plugins/RailDriver.dll".
    void OnOpenPathToTS();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void InitGui();
    void ShowVersion();
    QString FindSimulator();

    Ui::KestrelClass ui;
    // One IPv4 address per entry of comboBox_netinterfaces, in its order.
    QStringList m_addresses;
    Settings* m_settings = nullptr;
    // The server, and the cab display beside it, from "Start Server" to
    // "Stop Server".
    KestrelService* m_service = nullptr;
    // The empty label at the status bar's left; the version follows it.
    QLabel* m_statusLabel = nullptr;
    // Shows the pairing link's QR code while the cab display runs.
    QPushButton* m_pairButton = nullptr;
};
