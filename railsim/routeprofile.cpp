#include "routeprofile.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Two waves of different length give a line that does not visibly repeat
// over a session, yet is level and straight-ahead where the locomotive
// starts, so it stands still there with its brakes off.
double wave(double distance, double length)
{
    return std::sin(2.0 * kPi * distance / length);
}

// The tunnels repeat every 12 km, in both directions.
constexpr double kTunnelPeriod = 12000.0;
struct Tunnel
{
    double from;
    double to;
};
constexpr Tunnel kTunnels[] = {{1800.0, 2250.0}, {6400.0, 7350.0}};

} // namespace

RouteProfile::RouteProfile(std::optional<double> heading, std::optional<double> gradient,
                           std::optional<bool> inTunnel)
    : m_heading(heading)
    , m_gradient(gradient)
    , m_inTunnel(inTunnel)
{
}

double RouteProfile::headingAt(double distance) const
{
    if (m_heading)
        return *m_heading;
    const double heading = 32.0 + 18.0 * wave(distance, 14000.0) + 6.0 * wave(distance, 3100.0);
    const double wrapped = std::fmod(heading, 360.0);
    return wrapped < 0.0 ? wrapped + 360.0 : wrapped;
}

double RouteProfile::gradientAt(double distance) const
{
    if (m_gradient)
        return *m_gradient;
    // At most about 1 in 130, a main line's ruling gradient.
    return 0.55 * wave(distance, 9000.0) + 0.2 * wave(distance, 2300.0);
}

bool RouteProfile::inTunnelAt(double distance) const
{
    if (m_inTunnel)
        return *m_inTunnel;
    double position = std::fmod(distance, kTunnelPeriod);
    if (position < 0.0)
        position += kTunnelPeriod;
    for (const Tunnel& tunnel : kTunnels) {
        if (position >= tunnel.from && position < tunnel.to)
            return true;
    }
    return false;
}
