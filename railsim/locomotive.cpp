#include "locomotive.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kEarthRadius = 6371000.0;
constexpr double kMphPerMetrePerSecond = 2.2369362920544;
constexpr double kKphPerMetrePerSecond = 3.6;
constexpr double kSecondsPerDay = 86400.0;

// After a long idle the train moves on by at most this much wall time, so
// nobody sees it jump a mile between two questions.
constexpr double kMaxWallStepSeconds = 1.0;
// Shorter spans are left to add up: thousands of calls a second would
// otherwise each integrate a few microseconds.
constexpr double kMinWallStepSeconds = 0.001;

// A description file is a few kilobytes; anything past this is not one.
constexpr std::size_t kMaxDescriptionBytes = 1 << 20;

// Must follow the order of Locomotive::Role.
constexpr const char* kRoleNames[] = {
    "Reverser",
    "Regulator",
    "TrainBrakeControl",
    "EngineBrakeControl",
    "DynamicBrake",
    "EmergencyBrake",
    "Sander",
    "Horn",
    "SpeedometerMPH",
    "SpeedometerKPH",
    "Ammeter",
    "RPM",
    "BrakePipePressureBAR",
    "EqReservoirPressureBAR",
    "MainReservoirPressureBAR",
    "TrainBrakeCylinderPressureBAR",
    "LocoBrakeCylinderPressureBAR",
};

// The simulator-wide values, read as controllers 400 to 408.
constexpr int kFirstWorldIndex = 400;
static_assert(LocoDescription::kMaxControllers <= std::size_t(kFirstWorldIndex),
              "a description's controllers must not hide the simulator-wide values");
enum WorldValue { Latitude, Longitude, FuelLevel, InTunnel, Gradient, Heading, Hour, Minute, Second, WorldCount };
struct Limits
{
    float minimum;
    float maximum;
};
constexpr Limits kWorldLimits[WorldCount] = {
    {-90.0f, 90.0f}, {-180.0f, 180.0f}, {0.0f, 1.0f}, {0.0f, 1.0f}, {-10.0f, 10.0f},
    {0.0f, 360.0f},  {0.0f, 23.0f},     {0.0f, 59.0f}, {0.0f, 59.0f},
};

enum ValueKind { CurrentValue = 0, MinimumValue = 1, MaximumValue = 2 };

// Ids of GetRailSimValue.
constexpr int kThrottleAndBrakeId = 2;
constexpr int kEmergencyBrakeId = 7;
constexpr int kSpeedId = 30;

} // namespace

Locomotive::Locomotive(std::filesystem::path descriptionFile)
    : m_descriptionFile(std::move(descriptionFile))
{
}

void Locomotive::setConnected(bool connected)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (connected) {
        if (!m_loaded) {
            load(readDescription());
        } else {
            std::optional<std::string> text = readDescription();
            if (text != m_loadedText)
                load(std::move(text));
        }
    }
    m_connected = connected;
}

bool Locomotive::connected() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected;
}

std::string Locomotive::name()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ensureLoaded();
    return m_description.name;
}

std::string Locomotive::controllerList()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ensureLoaded();
    std::string list;
    for (std::size_t i = 0; i < m_controllers.size(); ++i) {
        if (i > 0)
            list += "::";
        list += m_controllers[i].name;
    }
    return list;
}

float Locomotive::controllerValue(int index, int kind)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ensureLoaded();
    advance();
    if (index >= 0 && std::size_t(index) < m_controllers.size()) {
        const Controller& controller = m_controllers[std::size_t(index)];
        switch (kind) {
        case CurrentValue:
            return controller.value;
        case MinimumValue:
            return controller.minimum;
        case MaximumValue:
            return controller.maximum;
        default:
            return 0.0f;
        }
    }
    if (index >= kFirstWorldIndex && index < kFirstWorldIndex + WorldCount)
        return worldValue(index - kFirstWorldIndex, kind);
    return 0.0f;
}

void Locomotive::setControllerValue(int index, float value)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ensureLoaded();
    // The time up to now ran with the old setting.
    advance();
    if (index < 0 || std::size_t(index) >= m_controllers.size() || std::isnan(value))
        return;
    Controller& controller = m_controllers[std::size_t(index)];
    if (controller.writable)
        controller.value = std::clamp(value, controller.minimum, controller.maximum);
}

float Locomotive::simulatorValue(int id)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ensureLoaded();
    advance();
    switch (id) {
    case kThrottleAndBrakeId:
        return float(std::clamp(control(Regulator) - control(TrainBrake), -1.0, 1.0));
    case kEmergencyBrakeId:
        return control(EmergencyBrake) >= 0.5 ? 1.0f : 0.0f;
    case kSpeedId:
        return float(speedMph());
    default:
        return 0.0f;
    }
}

bool Locomotive::takeLocoChanged()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ensureLoaded();
    const bool changed = m_locoChanged;
    m_locoChanged = false;
    return changed;
}

std::optional<std::string> Locomotive::readDescription() const
{
    if (m_descriptionFile.empty())
        return std::nullopt;
    std::ifstream file(m_descriptionFile, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::string text;
    char chunk[4096];
    while (text.size() < kMaxDescriptionBytes) {
        file.read(chunk, sizeof chunk);
        if (file.gcount() <= 0)
            break;
        text.append(chunk, std::size_t(file.gcount()));
    }
    return text;
}

void Locomotive::ensureLoaded()
{
    if (!m_loaded)
        load(readDescription());
}

void Locomotive::load(std::optional<std::string> text)
{
    LocoDescription description = text ? LocoDescription::parse(*text) : LocoDescription::builtIn();
    if (!m_loaded || description.name != m_description.name)
        m_locoChanged = true;
    m_loaded = true;
    m_loadedText = std::move(text);
    m_description = std::move(description);
    m_controllers = m_description.controllers;

    static_assert(std::size(kRoleNames) == RoleCount, "a name for every role");
    for (int role = 0; role < RoleCount; ++role) {
        const auto found = std::find_if(m_controllers.begin(), m_controllers.end(),
                                        [&](const Controller& c) { return c.name == kRoleNames[role]; });
        m_roles[std::size_t(role)] = found == m_controllers.end() ? -1 : int(found - m_controllers.begin());
    }

    m_route = RouteProfile(m_description.heading, m_description.gradient, m_description.inTunnel);
    m_distance = 0.0;
    m_latitude = m_description.latitude;
    m_longitude = m_description.longitude;

    // Whatever the description shows on the gauges is where the train
    // starts from, so that the first step does not snap them elsewhere.
    TrainState state;
    state.fuelLitres = m_description.fuelFraction * TrainPhysics::kTankLitres;
    const auto seed = [this](Role role, double& value) {
        if (const Controller* controller = bound(role))
            value = controller->value;
    };
    seed(Rpm, state.engineRpm);
    seed(BrakePipe, state.brakePipeBar);
    seed(EqReservoir, state.equalisingBar);
    seed(MainReservoir, state.mainReservoirBar);
    seed(TrainCylinder, state.trainCylinderBar);
    seed(LocoCylinder, state.locoCylinderBar);
    double mph = 0.0;
    if (m_description.speedMph) {
        mph = *m_description.speedMph;
    } else {
        // A speedometer only shows how fast; the reverser tells which way.
        if (const Controller* mphGauge = bound(SpeedometerMph))
            mph = mphGauge->value;
        else if (const Controller* kphGauge = bound(SpeedometerKph))
            mph = kphGauge->value * kMphPerMetrePerSecond / kKphPerMetrePerSecond;
        if (control(Reverser) < -0.5)
            mph = -mph;
    }
    state.speed = mph / kMphPerMetrePerSecond;
    m_physics.state() = state;

    m_loadTime = m_lastStep = Clock::now();
    if (!m_description.frozen)
        showGauges();
}

void Locomotive::advance()
{
    const Clock::time_point now = Clock::now();
    if (m_description.frozen) {
        m_lastStep = now;
        return;
    }
    const double elapsed = std::chrono::duration<double>(now - m_lastStep).count();
    if (elapsed < kMinWallStepSeconds)
        return;
    m_lastStep = now;

    double remaining = std::min(elapsed, kMaxWallStepSeconds) * m_description.timeScale;
    while (remaining > 0.0) {
        const double seconds = std::min(remaining, TrainPhysics::kMaxStepSeconds);
        step(seconds);
        remaining -= seconds;
    }
    showGauges();
}

void Locomotive::step(double seconds)
{
    TrainControls controls;
    controls.reverser = control(Reverser);
    controls.regulator = control(Regulator);
    controls.trainBrake = control(TrainBrake);
    controls.engineBrake = control(EngineBrake);
    controls.dynamicBrake = control(DynamicBrake);
    controls.emergency = control(EmergencyBrake) >= 0.5;
    controls.sander = control(Sander) >= 0.5;
    controls.horn = control(Horn) >= 0.5;

    m_physics.step(seconds, controls, m_route.gradientAt(m_distance), m_route.inTunnelAt(m_distance));

    // Backwards the train runs the line the other way: a negative distance
    // moves it against the heading.
    const double moved = m_physics.state().speed * seconds;
    if (moved == 0.0)
        return;
    const double heading = m_route.headingAt(m_distance) * kPi / 180.0;
    const double latitude = m_latitude * kPi / 180.0;
    m_latitude += moved * std::cos(heading) / kEarthRadius * 180.0 / kPi;
    m_longitude += moved * std::sin(heading) / (kEarthRadius * std::cos(latitude)) * 180.0 / kPi;
    m_latitude = std::clamp(m_latitude, -89.9, 89.9);
    if (m_longitude >= 180.0)
        m_longitude -= 360.0;
    else if (m_longitude < -180.0)
        m_longitude += 360.0;
    m_distance += moved;
}

void Locomotive::showGauges()
{
    const TrainState& state = m_physics.state();
    const double speed = std::fabs(state.speed);
    showGauge(SpeedometerMph, speed * kMphPerMetrePerSecond);
    showGauge(SpeedometerKph, speed * kKphPerMetrePerSecond);
    showGauge(Ammeter, state.tractionAmps);
    showGauge(Rpm, state.engineRpm);
    showGauge(BrakePipe, state.brakePipeBar);
    showGauge(EqReservoir, state.equalisingBar);
    showGauge(MainReservoir, state.mainReservoirBar);
    showGauge(TrainCylinder, state.trainCylinderBar);
    showGauge(LocoCylinder, state.locoCylinderBar);
}

const Controller* Locomotive::bound(Role role) const
{
    const int index = m_roles[std::size_t(role)];
    return index < 0 ? nullptr : &m_controllers[std::size_t(index)];
}

double Locomotive::control(Role role) const
{
    const Controller* controller = bound(role);
    return controller ? controller->value : 0.0;
}

// Like a needle against its stop, a gauge shows no more than its scale.
void Locomotive::showGauge(Role role, double value)
{
    const int index = m_roles[std::size_t(role)];
    if (index < 0)
        return;
    Controller& gauge = m_controllers[std::size_t(index)];
    gauge.value = std::clamp(float(value), gauge.minimum, gauge.maximum);
}

double Locomotive::speedMph() const
{
    return m_physics.state().speed * kMphPerMetrePerSecond;
}

double Locomotive::secondsOfDay() const
{
    double seconds = m_description.startSecondsOfDay;
    if (!m_description.frozen) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - m_loadTime).count();
        seconds += elapsed * m_description.timeScale;
    }
    return std::fmod(seconds, kSecondsPerDay);
}

float Locomotive::worldValue(int index, int kind) const
{
    if (kind == MinimumValue)
        return kWorldLimits[index].minimum;
    if (kind == MaximumValue)
        return kWorldLimits[index].maximum;
    if (kind != CurrentValue)
        return 0.0f;

    const double clock = std::floor(secondsOfDay());
    switch (index) {
    case Latitude:
        return float(m_latitude);
    case Longitude:
        return float(m_longitude);
    case FuelLevel:
        return float(m_physics.state().fuelLitres / TrainPhysics::kTankLitres);
    case InTunnel:
        return m_route.inTunnelAt(m_distance) ? 1.0f : 0.0f;
    case Gradient:
        return float(m_route.gradientAt(m_distance));
    case Heading:
        return float(m_route.headingAt(m_distance));
    case Hour:
        return float(std::floor(clock / 3600.0));
    case Minute:
        return float(std::fmod(std::floor(clock / 60.0), 60.0));
    case Second:
        return float(std::fmod(clock, 60.0));
    default:
        return 0.0f;
    }
}
