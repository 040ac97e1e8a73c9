#include "settings.h"

#include <QDebug>
#include <QRandomGenerator>
#include <QSettings>

#include <algorithm>

namespace {
const QString kNetInterface = QStringLiteral("main/netinterface");
const QString kIp = QStringLiteral("main/ip");
const QString kPort = QStringLiteral("main/port");
const QString kWindowGeometry = QStringLiteral("main/windowgeometry");
const QString kWindowState = QStringLiteral("main/windowstate");
const QString kLogLevel = QStringLiteral("debug/loglevel");
const QString kTrainSimPath = QStringLiteral("trainsim/path");
const QString kIdleTimeout = QStringLiteral("limits/idletimeout");
const QString kConnectionsPerAddress = QStringLiteral("limits/connectionsperaddress");
const QString kUnreadBytes = QStringLiteral("limits/unreadbytes");
const QString kLiveEnabled = QStringLiteral("live/enabled");
const QString kLivePort = QStringLiteral("live/port");
const QString kLiveControlCode = QStringLiteral("live/controlcode");
const QString kLivePairingSecret = QStringLiteral("live/pairingsecret");
const QString kDiscoveryEnabled = QStringLiteral("discovery/enabled");
} // namespace

Settings::Settings(QObject* window)
{
    auto* settings = new QSettings(QStringLiteral("kestrel.ini"), QSettings::IniFormat, window);
    if (!window)
        m_ownedSettings.reset(settings);
    m_settings = settings;
    qDebug() << "Expecting settings at" << m_settings->fileName();
}

Settings::~Settings() = default;

QVariant Settings::value(const QString& key, const QVariant& defaultValue) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings->value(key, defaultValue);
}

void Settings::setValue(const QString& key, const QVariant& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings->setValue(key, value);
}

QString Settings::GetIp() const { return value(kIp).toString(); }
void Settings::SetIp(const QString& ip) { setValue(kIp, ip); }

quint16 Settings::GetPort() const
{
    // Anything that is not an unsigned number reads as 0; larger numbers
    // keep their low 16 bits.
    return quint16(value(kPort, int(DefaultPort)).toUInt());
}

void Settings::SetPort(quint16 port) { setValue(kPort, int(port)); }

QString Settings::GetNetInterface() const { return value(kNetInterface).toString(); }
void Settings::SetNetInterface(const QString& name) { setValue(kNetInterface, name); }

QByteArray Settings::GetWindowGeometry() const { return value(kWindowGeometry).toByteArray(); }
void Settings::SetWindowGeometry(const QByteArray& geometry) { setValue(kWindowGeometry, geometry); }

QByteArray Settings::GetWindowState() const { return value(kWindowState).toByteArray(); }
void Settings::SetWindowState(const QByteArray& state) { setValue(kWindowState, state); }

int Settings::GetLogLevel() const { return value(kLogLevel, 0).toInt(); }

// Hand-edited: a value that is no number, or a negative one, means no limit.
int Settings::GetIdleTimeout() const { return std::max(0, value(kIdleTimeout, DefaultIdleTimeout).toInt()); }

int Settings::GetConnectionsPerAddress() const
{
    return std::max(0, value(kConnectionsPerAddress, DefaultConnectionsPerAddress).toInt());
}

// One reply is always taken, so even a small value lets a client that reads
// be served; a value that is no number falls back to the default.
qint64 Settings::GetUnreadBytes() const
{
    bool ok = false;
    const qint64 bytes = value(kUnreadBytes, DefaultUnreadBytes).toLongLong(&ok);
    return ok && bytes > 0 ? bytes : DefaultUnreadBytes;
}

QString Settings::GetTrainSimPath() const
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_hasTrainSimPathOverride)
            return m_trainSimPathOverride;
    }
    return value(kTrainSimPath).toString();
}

void Settings::OverrideTrainSimPath(const QString& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_trainSimPathOverride = path;
    m_hasTrainSimPathOverride = true;
}
void Settings::SetTrainSimPath(QString path) { setValue(kTrainSimPath, path); }

bool Settings::HasTrainSimPath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings->contains(kTrainSimPath);
}

QString Settings::FileName() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings->fileName();
}

bool Settings::GetLiveEnabled() const
{
    return value(kLiveEnabled, true).toBool();
}

bool Settings::GetDiscoveryEnabled() const
{
    return value(kDiscoveryEnabled, true).toBool();
}

quint16 Settings::GetLivePort(quint16 serverPort) const
{
    const QVariant port = value(kLivePort);
    if (port.isValid())
        return quint16(port.toUInt());
    return serverPort == 0 ? 0 : quint16(serverPort + 1);
}

QString Settings::GetLivePairingSecret()
{
    QString secret = value(kLivePairingSecret).toString().trimmed();
    if (secret.isEmpty()) {
        quint32 random[4];
        QRandomGenerator::system()->fillRange(random);
        secret = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex());
        setValue(kLivePairingSecret, secret);
    }
    return secret;
}

QString Settings::GetLiveControlCode()
{
    QString code = value(kLiveControlCode).toString().trimmed();
    if (code.isEmpty()) {
        code = QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(1000000), 6, 10, QLatin1Char('0'));
        setValue(kLiveControlCode, code);
    }
    return code;
}
