#include "locodescription.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

std::string_view trimmed(std::string_view text)
{
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> words(std::string_view text)
{
    std::vector<std::string_view> result;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
            ++pos;
        std::size_t end = pos;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t')
            ++end;
        if (end > pos)
            result.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return result;
}

std::string lowered(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return result;
}

// Locale-independent on purpose: the host program may have switched the C
// locale to one that writes "0,5", and the file must read the same anywhere.
std::optional<double> number(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<double> numberIn(std::string_view text, double minimum, double maximum)
{
    const auto value = number(text);
    if (!value || *value < minimum || *value > maximum)
        return std::nullopt;
    return value;
}

// "HH:MM" or "HH:MM:SS", a time of day.
std::optional<double> timeOfDay(std::string_view text)
{
    int parts[3] = {0, 0, 0};
    int count = 0;
    for (;;) {
        if (count == 3)
            return std::nullopt;
        const std::size_t colon = text.find(':');
        const std::string_view part = text.substr(0, colon);
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), parts[count]);
        if (part.empty() || error != std::errc() || end != part.data() + part.size())
            return std::nullopt;
        ++count;
        if (colon == std::string_view::npos)
            break;
        text.remove_prefix(colon + 1);
    }
    if (count < 2 || parts[0] < 0 || parts[0] > 23 || parts[1] < 0 || parts[1] > 59 || parts[2] < 0
        || parts[2] > 59)
        return std::nullopt;
    return parts[0] * 3600.0 + parts[1] * 60.0 + parts[2];
}

// "controller NAME MIN MAX VALUE [rw|ro]". The numbers are read from the end
// so that a name may hold spaces.
std::optional<Controller> controllerLine(const std::vector<std::string_view>& fields)
{
    std::size_t end = fields.size();
    Controller controller;
    const std::string flag = lowered(fields.back());
    if (flag == "ro" || flag == "rw") {
        controller.writable = flag == "rw";
        --end;
    }
    // The keyword, at least one word of name and the three numbers.
    if (end < 5)
        return std::nullopt;
    const auto minimum = number(fields[end - 3]);
    const auto maximum = number(fields[end - 2]);
    const auto value = number(fields[end - 1]);
    if (!minimum || !maximum || !value || *minimum > *maximum)
        return std::nullopt;
    for (std::size_t i = 1; i < end - 3; ++i) {
        if (i > 1)
            controller.name += ' ';
        controller.name += fields[i];
    }
    // The list is joined with "::", so such a name would split into two.
    if (controller.name.find("::") != std::string::npos)
        return std::nullopt;
    controller.minimum = float(*minimum);
    controller.maximum = float(*maximum);
    controller.value = std::clamp(float(*value), controller.minimum, controller.maximum);
    return controller;
}

} // namespace

LocoDescription LocoDescription::builtIn()
{
    LocoDescription loco;
    loco.name = "Kestrel.:.Railsim.:.Class 66 Demonstrator";
    // A freight diesel at the foot of a line through the Peak District.
    loco.latitude = 53.3431;
    loco.longitude = -1.7765;
    loco.fuelFraction = 0.85;
    // The gauges' starting values are those of a locomotive standing with
    // its engine idling and its air charged; the physics keeps them true.
    loco.controllers = {
        {"Reverser", -1.0f, 1.0f, 0.0f, true},
        {"Regulator", 0.0f, 1.0f, 0.0f, true},
        {"TrainBrakeControl", 0.0f, 1.0f, 0.0f, true},
        {"EngineBrakeControl", 0.0f, 1.0f, 0.0f, true},
        {"DynamicBrake", 0.0f, 1.0f, 0.0f, true},
        {"EmergencyBrake", 0.0f, 1.0f, 0.0f, true},
        {"Horn", 0.0f, 1.0f, 0.0f, true},
        {"Sander", 0.0f, 1.0f, 0.0f, true},
        {"Headlights", 0.0f, 2.0f, 0.0f, true},
        {"Wipers", 0.0f, 1.0f, 0.0f, true},
        {"CabLight", 0.0f, 1.0f, 0.0f, true},
        {"SpeedometerMPH", 0.0f, 100.0f, 0.0f, false},
        {"SpeedometerKPH", 0.0f, 160.0f, 0.0f, false},
        {"Ammeter", -1000.0f, 1500.0f, 0.0f, false},
        {"RPM", 0.0f, 1100.0f, 450.0f, false},
        {"BrakePipePressureBAR", 0.0f, 10.0f, 5.0f, false},
        {"EqReservoirPressureBAR", 0.0f, 10.0f, 5.0f, false},
        {"MainReservoirPressureBAR", 0.0f, 12.0f, 9.0f, false},
        {"TrainBrakeCylinderPressureBAR", 0.0f, 6.0f, 0.0f, false},
        {"LocoBrakeCylinderPressureBAR", 0.0f, 6.0f, 0.0f, false},
    };
    return loco;
}

LocoDescription LocoDescription::parse(std::string_view text)
{
    LocoDescription loco = builtIn();
    std::vector<Controller> listed;

    // A file saved by a Windows editor may start with a byte order mark.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);

    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, newline));
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (line.empty() || line.front() == '#')
            continue;

        const std::vector<std::string_view> fields = words(line);
        const std::string keyword = lowered(fields.front());
        const std::string_view argument = fields.size() == 2 ? fields[1] : std::string_view();
        // All keywords but "name" and "controller" take exactly one argument
        // ("freeze" none); anything else on the line makes it unreadable.
        const bool oneArgument = fields.size() == 2;

        if (keyword == "name") {
            const std::string_view name = trimmed(line.substr(fields.front().size()));
            if (!name.empty())
                loco.name = std::string(name);
        } else if (keyword == "controller") {
            if (auto controller = controllerLine(fields); controller && listed.size() < kMaxControllers)
                listed.push_back(std::move(*controller));
        } else if (keyword == "freeze") {
            if (fields.size() == 1)
                loco.frozen = true;
        } else if (!oneArgument) {
            continue;
        } else if (keyword == "timescale") {
            if (const auto value = numberIn(argument, 0.01, 100.0))
                loco.timeScale = *value;
        } else if (keyword == "time") {
            if (const auto value = timeOfDay(argument))
                loco.startSecondsOfDay = *value;
        } else if (keyword == "latitude") {
            if (const auto value = numberIn(argument, -90.0, 90.0))
                loco.latitude = *value;
        } else if (keyword == "longitude") {
            if (const auto value = numberIn(argument, -180.0, 180.0))
                loco.longitude = *value;
        } else if (keyword == "heading") {
            if (const auto value = numberIn(argument, 0.0, 360.0))
                loco.heading = std::fmod(*value, 360.0);
        } else if (keyword == "gradient") {
            if (const auto value = numberIn(argument, -10.0, 10.0))
                loco.gradient = *value;
        } else if (keyword == "fuel") {
            if (const auto value = numberIn(argument, 0.0, 1.0))
                loco.fuelFraction = *value;
        } else if (keyword == "tunnel") {
            if (argument == "0" || argument == "1")
                loco.inTunnel = argument == "1";
        } else if (keyword == "speed") {
            if (const auto value = numberIn(argument, -200.0, 200.0))
                loco.speedMph = *value;
        }
    }

    if (!listed.empty())
        loco.controllers = std::move(listed);
    return loco;
}
