#pragma once

#include <optional>

// The line the locomotive runs on, looked up by the distance it has run from
// where it was put on the track (positive towards the cab front, negative
// behind). The built-in line curves and climbs gently and passes through
// tunnels; a description can pin the heading, the gradient or the tunnel
// flag to one value instead.
class RouteProfile
{
public:
    RouteProfile() = default;
    RouteProfile(std::optional<double> heading, std::optional<double> gradient, std::optional<bool> inTunnel);

    // Degrees clockwise from north, 0 up to 360, of the way the cab faces.
    double headingAt(double distance) const;
    // Percent, positive where the line rises towards the cab front.
    double gradientAt(double distance) const;
    bool inTunnelAt(double distance) const;

private:
    std::optional<double> m_heading;
    std::optional<double> m_gradient;
    std::optional<bool> m_inTunnel;
};
