#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One controller as a client sees it: its position in the list is its index.
struct Controller
{
    std::string name;
    float minimum = 0.0f;
    float maximum = 0.0f;
    float value = 0.0f;
    // Gauges are read-only: a client's write to one is ignored, only the
    // locomotive itself moves it.
    bool writable = true;
};

// Everything that makes up a locomotive when it is put on the track: its
// name, its controllers and where and when it starts. Either the built-in
// locomotive or one read from a description file ("railsim.loco"); see
// README.md for the file's format.
struct LocoDescription
{
    // Indices from 400 on read the simulator-wide values, so a longer list
    // could never be read in full.
    static constexpr std::size_t kMaxControllers = 400;

    static LocoDescription builtIn();
    // Reads a description file's text on top of the built-in locomotive:
    // whatever the text does not give keeps its built-in value, and the
    // built-in controllers stay unless the text lists controllers of its own.
    // Lines that cannot be read are skipped.
    static LocoDescription parse(std::string_view text);

    std::string name;
    std::vector<Controller> controllers;

    // Clock and physics stand still: every value stays what the description
    // or a client's write made it.
    bool frozen = false;
    // Simulated seconds per wall-clock second, for the clock and the physics.
    double timeScale = 1.0;
    double startSecondsOfDay = 8 * 3600.0;
    double latitude = 0.0;
    double longitude = 0.0;
    double fuelFraction = 1.0;
    // Signed speed in miles per hour, positive towards the cab front. When
    // not given it is taken from the speedometer controller.
    std::optional<double> speedMph;
    // Without these the route's own profile decides.
    std::optional<double> heading;
    std::optional<double> gradient;
    std::optional<bool> inTunnel;
};
