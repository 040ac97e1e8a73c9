#include "tsinterfacedll.h"

#include "numberformat.h"
#include "simulatorfolder.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QLoggingCategory>

#include <cmath>
#include <initializer_list>

namespace {

// The RailDriver library's functions as the simulator exports them: plain C,
// 32-bit ints and floats, one-byte booleans.
extern "C" {
using SetRailDriverConnectedFn = void (*)(bool);
using GetRailDriverConnectedFn = bool (*)();
using GetLocoNameFn = const char* (*)();
using GetControllerListFn = const char* (*)();
using GetControllerValueFn = float (*)(int, int);
using SetControllerValueFn = void (*)(int, float);
using GetRailSimValueFn = float (*)(int, int);
using GetRailSimLocoChangedFn = bool (*)();
}

enum ValueKind { CurrentValue = 0, MinimumValue = 1, MaximumValue = 2 };

const QString kNotImplemented = QStringLiteral("FUNCTION NOT IMPLEMENTED");
const QString kNoResultLower = QStringLiteral("no result");
const QString kNoResultUpper = QStringLiteral("NO RESULT");

// Library texts are read up to their NUL and copied at once. The simulator
// never hands out a null pointer, but a broken library might: that reads as
// an empty text rather than a crash.
QString libraryText(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

void noLibraryNote()
{
    qDebug("Cannot load library.");
}

} // namespace

TSInterfaceDll::TSInterfaceDll(QString simulatorPath)
    : m_simulatorPath(std::move(simulatorPath))
{
    const QString libraryPath = SimulatorFolder::libraryPath(m_simulatorPath);
    m_library = new QLibrary(libraryPath);
    if (SimulatorFolder::load(m_library)) {
        emit sigDebugString(QStringLiteral("(InterfaceDLL) - RailDriver library loaded. "), 1);
        return;
    }
    m_lastError = m_library->errorString();
    qDebug().noquote() << QStringLiteral("Cannot load library.") + m_lastError;
    emit sigDebugString(QStringLiteral("(InterfaceDLL) - RailDriver library not loaded. ") + m_lastError, 3);
    delete m_library;
    m_library = nullptr;
}

// Deleting the QLibrary object leaves the library mapped (no unload), so the
// next client's interface finds it loaded at once; the simulator connection
// is left as it is for the other clients.
TSInterfaceDll::~TSInterfaceDll()
{
    delete m_library;
}

template <typename Function>
Function TSInterfaceDll::resolve(const char* name) const
{
    return reinterpret_cast<Function>(m_library->resolve(name));
}

bool TSInterfaceDll::libraryMissing() const
{
    if (m_library)
        return false;
    noLibraryNote();
    return true;
}

int TSInterfaceDll::connectSimulator(QString& status)
{
    if (!m_library) {
        // The 64-bit library did not load; say whether the 32-bit one is at
        // least there, which tells a wrong folder from a wrong build.
        QFile file32(m_simulatorPath + QStringLiteral("/plugins/RailDriver.dll"));
        QString fileError;
        if (!file32.open(QIODevice::ReadOnly))
            fileError = file32.errorString();
        file32.close();
        noLibraryNote();
        emit sigDebugString(QStringLiteral("(InterfaceDLL) - RailDriver library not loaded. ")
                                + fileError + QLatin1Char('\n') + m_lastError,
                            3);
        return ResultLibraryNotLoaded;
    }
    emit sigDebugString(QStringLiteral("(InterfaceDLL) - RailDriver library loaded"), 1);

    const auto setConnected = resolve<SetRailDriverConnectedFn>("SetRailDriverConnected");
    if (!setConnected)
        return ResultNoFunction;
    setConnected(true);

    // A library that cannot tell counts as connected.
    const auto getConnected = resolve<GetRailDriverConnectedFn>("GetRailDriverConnected");
    if (getConnected && !getConnected())
        return ResultNotConnected;

    status = QStringLiteral("CONNECTED");
    return ResultOk;
}

int TSInterfaceDll::disconnectSimulator()
{
    if (libraryMissing())
        return ResultLibraryNotLoaded;
    if (const auto setConnected = resolve<SetRailDriverConnectedFn>("SetRailDriverConnected"))
        setConnected(false);
    return ResultOk;
}

int TSInterfaceDll::loadSteamLibrary()
{
    auto* steam = new QLibrary(m_simulatorPath + QStringLiteral("/steam_api.dll"));
    // The displaced library object is released; the library itself stays
    // mapped for the other clients.
    delete m_library;
    m_library = steam;
    if (SimulatorFolder::load(m_library)) {
        emit sigDebugString(QStringLiteral("(InterfaceDLL) - steamapp library loaded. "), 1);
        return ResultOk;
    }
    m_lastError = m_library->errorString();
    qDebug().noquote() << QStringLiteral("Cannot load library.") + m_lastError;
    emit sigDebugString(QStringLiteral("(InterfaceDLL) - steam_app library not loaded. ") + m_lastError, 3);
    delete m_library;
    m_library = nullptr;
    return ResultLibraryNotLoaded;
}

int TSInterfaceDll::getLocoName(QString& text)
{
    text = kNoResultUpper;
    if (libraryMissing())
        return ResultLibraryNotLoaded;
    const auto getName = resolve<GetLocoNameFn>("GetLocoName");
    if (!getName)
        return ResultNoFunction;
    text = libraryText(getName());
    return ResultOk;
}

int TSInterfaceDll::getLocoChanged(QString& text)
{
    text = kNoResultUpper;
    if (libraryMissing())
        return ResultLibraryNotLoaded;
    const auto changed = resolve<GetRailSimLocoChangedFn>("GetRailSimLocoChanged");
    if (!changed)
        return ResultOk;
    text = changed() ? QStringLiteral("IS_CHANGED") : QStringLiteral("NOT_CHANGED");
    return ResultOk;
}

int TSInterfaceDll::getControllerValue(QString& text)
{
    if (libraryMissing())
        return ResultLibraryNotLoaded;
    const auto getValue = resolve<GetControllerValueFn>("GetControllerValue");
    if (!getValue) {
        text = kNotImplemented;
        return ResultNotImplemented;
    }
    const QVector<QStringRef> parts = text.splitRef(QLatin1Char(';'), Qt::KeepEmptyParts);
    if (parts.size() != 2) {
        text = kNotImplemented;
        return ResultNotImplemented;
    }
    const int index = parts.at(0).toInt(nullptr, 10);
    const int kind = parts.at(1).toInt(nullptr, 10);
    text = NumberFormat::general(getValue(index, kind));
    return ResultOk;
}

int TSInterfaceDll::setControllerValue(QString& text)
{
    if (libraryMissing()) {
        text = kNoResultLower;
        return ResultLibraryNotLoaded;
    }
    // Arguments are checked before the function is looked up: a malformed
    // request is answered as such even by a library that cannot set values.
    const QStringList parts = text.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    if (parts.size() != 2) {
        text = kNoResultLower;
        return ResultBadArguments;
    }
    const auto setValue = resolve<SetControllerValueFn>("SetControllerValue");
    if (!setValue) {
        text = kNotImplemented;
        return ResultNotImplemented;
    }
    const float value = parts.at(1).toFloat();
    const int index = parts.at(0).toInt(nullptr, 10);
    setValue(index, value);
    text.prepend(QStringLiteral("Set CtrlValue: "));
    return ResultOk;
}

int TSInterfaceDll::getControllerValues(QString& text)
{
    if (libraryMissing())
        return ResultLibraryNotLoaded;
    const auto getValue = resolve<GetControllerValueFn>("GetControllerValue");
    if (!getValue) {
        text = kNotImplemented;
        return ResultNotImplemented;
    }
    // The request is cut at every ":" (empty pieces kept, as split() does)
    // where it stands, and each "%1:%2::" record is appended part by part:
    // neither an id nor a number's text can hold a placeholder, so the text
    // is the one arg() makes, without a string per piece and per record.
    QString answer;
    answer.reserve(text.size() * 4 + 16);
    for (int from = 0;;) {
        const int colon = text.indexOf(QLatin1Char(':'), from);
        const int id = text.midRef(from, colon < 0 ? -1 : colon - from).toInt(nullptr, 10);
        NumberFormat::appendDecimal(&answer, id);
        answer += QLatin1Char(':');
        answer += NumberFormat::general(getValue(id, CurrentValue));
        answer += QLatin1String("::");
        if (colon < 0)
            break;
        from = colon + 1;
    }
    text = answer;
    return ResultOk;
}

int TSInterfaceDll::getTrainData(QString& text)
{
    text = kNoResultLower;
    if (libraryMissing())
        return ResultLibraryNotLoaded;
    const auto getValue = resolve<GetControllerValueFn>("GetControllerValue");
    if (!getValue)
        return ResultNoFunction;

    const float latitude = getValue(400, CurrentValue);
    const float longitude = getValue(401, CurrentValue);
    const float gradient = getValue(404, CurrentValue);
    const QString hour = NumberFormat::integer(getValue(406, CurrentValue));
    const QString minute = NumberFormat::integer(getValue(407, CurrentValue));
    const QString second = NumberFormat::integer(getValue(408, CurrentValue));

    // "%1:%2:...:%6" (or "...:%9") filled with numbers, which hold no
    // placeholder: joining the fields with ":" gives the same text.
    const auto joined = [](std::initializer_list<QString> fields) {
        QString line;
        line.reserve(96);
        bool first = true;
        for (const QString& field : fields) {
            if (!first)
                line += QLatin1Char(':');
            line += field;
            first = false;
        }
        return line;
    };
    const auto getSimValue = resolve<GetRailSimValueFn>("GetRailSimValue");
    if (!getSimValue) {
        text = joined({NumberFormat::general(latitude), NumberFormat::general(longitude),
                       NumberFormat::general(gradient), hour, minute, second});
    } else {
        const float speed = std::fabs(getSimValue(30, 0));
        const float throttleBrake = getSimValue(2, 0);
        const float emergency = getSimValue(7, 0);
        text = joined({NumberFormat::fixed(latitude, 7), NumberFormat::fixed(longitude, 7),
                       NumberFormat::fixed(gradient, 7), hour, minute, second, NumberFormat::fixed(speed, 2),
                       NumberFormat::general(throttleBrake), NumberFormat::general(emergency)});
    }
    // Qt drops a disabled debug line only after it is built; kestreld
    // disables the debug channel unless it traces, so ask first.
    if (QLoggingCategory::defaultCategory()->isDebugEnabled())
        qDebug().noquote() << QStringLiteral("Get Traindata: ") + text;
    return ResultOk;
}

bool TSInterfaceDll::controllerNames(QStringList* names) const
{
    const auto getList = resolve<GetControllerListFn>("GetControllerList");
    if (!getList)
        return false;
    *names = libraryText(getList()).split(QStringLiteral("::"), Qt::KeepEmptyParts, Qt::CaseSensitive);
    return true;
}

int TSInterfaceDll::controllerListText(QString& text, ListForm form)
{
    if (libraryMissing())
        return ResultLibraryNotLoaded;
    QStringList names;
    if (!controllerNames(&names)) {
        text = kNotImplemented;
        return ResultNotImplemented;
    }
    // Records are filled by successive arg() calls, %1 first, as clients have
    // always received them; a name holding "%n" is therefore read as a
    // placeholder by the calls that follow it.
    static const QString rawTemplate = QStringLiteral("%1::%2::%3::%4::");
    static const QString flatTemplate = QStringLiteral("%1;%2;%3;%4;");
    static const QString valuesTemplate = QStringLiteral("%1::%2::%3::%4::%5::");
    QString answer;
    const auto getValue = resolve<GetControllerValueFn>("GetControllerValue");
    if (getValue) {
        answer.reserve(names.size() * 32);
        for (int i = 0; i < names.size(); ++i) {
            if (form == ListForm::WithValues) {
                const float current = getValue(i, CurrentValue);
                const float minimum = getValue(i, MinimumValue);
                const float maximum = getValue(i, MaximumValue);
                answer += valuesTemplate.arg(i)
                              .arg(names.at(i))
                              .arg(NumberFormat::truncated(minimum))
                              .arg(NumberFormat::truncated(maximum))
                              .arg(NumberFormat::general(current));
            } else {
                const float minimum = getValue(i, MinimumValue);
                const float maximum = getValue(i, MaximumValue);
                answer += (form == ListForm::Flat ? flatTemplate : rawTemplate)
                              .arg(i)
                              .arg(names.at(i))
                              .arg(NumberFormat::truncated(minimum))
                              .arg(NumberFormat::truncated(maximum));
            }
        }
    }
    text = answer;
    return ResultOk;
}

int TSInterfaceDll::getControllerListRaw(QString& text)
{
    return controllerListText(text, ListForm::Raw);
}

int TSInterfaceDll::getControllerListFlat(QString& text)
{
    return controllerListText(text, ListForm::Flat);
}

int TSInterfaceDll::getControllerListWithValues(QString& text)
{
    return controllerListText(text, ListForm::WithValues);
}

int TSInterfaceDll::getControllerListJson(QString& text)
{
    if (libraryMissing())
        return ResultLibraryNotLoaded;
    QStringList names;
    if (!controllerNames(&names)) {
        text = kNotImplemented;
        return ResultNotImplemented;
    }
    const auto getValue = resolve<GetControllerValueFn>("GetControllerValue");
    if (!getValue)
        return ResultOk; // the answer is left untouched
    QJsonArray controllers;
    for (int i = 0; i < names.size(); ++i) {
        QJsonObject controller;
        controller.insert(QStringLiteral("ID"), i);
        controller.insert(QStringLiteral("Name"), names.at(i));
        controller.insert(QStringLiteral("Min"), NumberFormat::truncated(getValue(i, MinimumValue)));
        controller.insert(QStringLiteral("Max"), NumberFormat::truncated(getValue(i, MaximumValue)));
        controllers.append(controller);
    }
    QJsonObject root;
    root.insert(QStringLiteral("controller"), controllers);
    text = QString::fromUtf8(QJsonDocument(root).toJson());
    return ResultOk;
}
