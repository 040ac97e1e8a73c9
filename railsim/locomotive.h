#pragma once

#include "locodescription.h"
#include "routeprofile.h"
#include "trainphysics.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The simulated locomotive behind the RailDriver functions, one per loaded
// library. Every operation may come from any thread; one mutex guards the
// whole state. The train moves on by the wall time that passed since the
// last operation, so a locomotive nobody asks about costs nothing.
//
// The description file is read at the first operation. It is read again
// when a client connects, and if its text changed since, the locomotive is
// put on the track anew from it (or, with the file gone, the built-in one);
// when that gives a different name, the locomotive counts as changed.
class Locomotive
{
public:
    explicit Locomotive(std::filesystem::path descriptionFile);

    void setConnected(bool connected);
    bool connected() const;
    std::string name();
    // Controller names joined by "::"; a name's position is its index.
    std::string controllerList();
    // kind 0 the current value, 1 the minimum, 2 the maximum. Indices from
    // 400 to 408 are the simulator-wide values; anything unknown reads 0.
    float controllerValue(int index, int kind);
    void setControllerValue(int index, float value);
    float simulatorValue(int id);
    // True once after the driven locomotive changed, the first one loaded
    // included; reading it clears it for every caller.
    bool takeLocoChanged();

private:
    using Clock = std::chrono::steady_clock;

    // The controllers the physics reads and the gauges it drives, found by
    // their simulator names in whatever list the locomotive has.
    enum Role {
        Reverser,
        Regulator,
        TrainBrake,
        EngineBrake,
        DynamicBrake,
        EmergencyBrake,
        Sander,
        Horn,
        SpeedometerMph,
        SpeedometerKph,
        Ammeter,
        Rpm,
        BrakePipe,
        EqReservoir,
        MainReservoir,
        TrainCylinder,
        LocoCylinder,
        RoleCount
    };

    std::optional<std::string> readDescription() const;
    void ensureLoaded();
    void load(std::optional<std::string> text);
    void advance();
    void step(double seconds);
    void showGauges();
    const Controller* bound(Role role) const;
    double control(Role role) const;
    void showGauge(Role role, double value);
    double speedMph() const;
    double secondsOfDay() const;
    float worldValue(int index, int kind) const;

    mutable std::mutex m_mutex;
    const std::filesystem::path m_descriptionFile;
    bool m_connected = false;
    bool m_loaded = false;
    bool m_locoChanged = false;
    // The text the locomotive was made from; nullopt for the built-in one.
    std::optional<std::string> m_loadedText;

    LocoDescription m_description;
    std::vector<Controller> m_controllers;
    std::array<int, RoleCount> m_roles{};
    RouteProfile m_route;
    TrainPhysics m_physics;
    double m_distance = 0.0; // metres run towards the cab front
    double m_latitude = 0.0;
    double m_longitude = 0.0;
    Clock::time_point m_loadTime;
    Clock::time_point m_lastStep;
};
