#pragma once

#include <QByteArray>
#include <mutex>
#include <QString>
#include <QVariant>

#include <memory>

class QObject;
class QSettings;

// Everything Kestrel remembers between runs, in "kestrel.ini" in the working
// directory (Qt's INI format). One getter and one setter per key, with the
// key's type and default built in; nothing is cached, every call goes to the
// file's QSettings.
//
// The window calls it from the GUI thread and every client thread reads the
// simulator folder once when it starts; a QSettings object is not meant for
// concurrent use, so every call takes the store's lock.
class Settings
{
public:
    // The QSettings object becomes a child of `window`, which flushes it when
    // the window goes. Without a window (the headless server, tests) the
    // store owns it and flushes it on destruction.
    explicit Settings(QObject* window);
    ~Settings();

    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    QString GetIp() const;
    void SetIp(const QString& ip);
    quint16 GetPort() const;
    void SetPort(quint16 port);
    QString GetNetInterface() const;
    void SetNetInterface(const QString& name);
    QByteArray GetWindowGeometry() const;
    void SetWindowGeometry(const QByteArray& geometry);
    QByteArray GetWindowState() const;
    void SetWindowState(const QByteArray& state);
    int GetLogLevel() const;
    QString GetTrainSimPath() const;
    void SetTrainSimPath(QString path);

    // Limits of one client, in the "limits" group: seconds a connection may
    // stay silent between requests (0: no limit), connections one client
    // address may hold at once (0: no limit), and bytes of replies that may
    // wait for a client that does not read them.
    int GetIdleTimeout() const;
    int GetConnectionsPerAddress() const;
    qint64 GetUnreadBytes() const;

    // The live port of the cab display, in the "live" group: whether it is
    // on (default yes), its port (default the server's port plus one, or 0,
    // the system's choice, when the server's is 0), and the control code
    // that setting values through it needs: six random digits, made and
    // stored the first time they are asked for; a user may change them.
    bool GetLiveEnabled() const;
    quint16 GetLivePort(quint16 serverPort) const;
    QString GetLiveControlCode();
    // What pairing links are made from together with the control code: 32
    // random hexadecimal digits, made and stored the first time they are
    // asked for.
    QString GetLivePairingSecret();
    // Whether Kestrel announces itself on the local network by DNS-SD
    // ("discovery/enabled", default yes).
    bool GetDiscoveryEnabled() const;

    // Serves `path` as the simulator folder for this run without writing it
    // (the headless server's command line); GetTrainSimPath answers it.
    void OverrideTrainSimPath(const QString& path);
    // Whether "trainsim/path" is present at all; the headless server falls
    // back to the simulated locomotive when it is not.
    bool HasTrainSimPath() const;
    // The absolute path of the file this store reads and writes.
    QString FileName() const;

    static constexpr quint16 DefaultPort = 47812;
    static constexpr int DefaultIdleTimeout = 600;
    static constexpr int DefaultConnectionsPerAddress = 256;
    static constexpr qint64 DefaultUnreadBytes = 4 * 1024 * 1024;

private:
    QVariant value(const QString& key, const QVariant& defaultValue = QVariant()) const;
    void setValue(const QString& key, const QVariant& value);

    mutable std::mutex m_mutex;
    QSettings* m_settings = nullptr;
    std::unique_ptr<QSettings> m_ownedSettings;
    QString m_trainSimPathOverride;
    bool m_hasTrainSimPathOverride = false;
};
