#pragma once

// What the driver's controls ask of the train at one moment.
struct TrainControls
{
    double reverser = 0.0;     // -1 backwards .. 1 forwards
    double regulator = 0.0;    // 0 .. 1
    double trainBrake = 0.0;   // 0 released .. 1 full service
    double engineBrake = 0.0;  // 0 .. 1, the locomotive's own brake
    double dynamicBrake = 0.0; // 0 .. 1
    bool emergency = false;
    bool sander = false;
    bool horn = false;
};

// The train's moving parts: speed, engine, and the air brake's pressures.
struct TrainState
{
    double speed = 0.0; // metres per second, positive towards the cab front
    double load = 0.0;  // 0 .. 1, the engine output the load regulator allows
    double engineRpm = 450.0;
    double tractionAmps = 0.0; // negative while the dynamic brake works
    double equalisingBar = 5.0;
    double brakePipeBar = 5.0;
    double mainReservoirBar = 9.0;
    double trainCylinderBar = 0.0; // the wagons' brake cylinders
    double locoCylinderBar = 0.0;
    double fuelLitres = 0.0;
    bool compressorRunning = false;
};

// A diesel-electric freight train of 600 t behind a 130 t locomotive:
// traction limited by adhesion and engine power, an automatic air brake
// worked through the brake pipe, a straight-air locomotive brake and a
// dynamic brake that fades at low speed.
class TrainPhysics
{
public:
    // The longest step the integration is stable for; longer spans are cut
    // into steps of at most this length by the caller.
    static constexpr double kMaxStepSeconds = 0.05;
    static constexpr double kTankLitres = 6500.0;

    TrainState& state() { return m_state; }
    const TrainState& state() const { return m_state; }

    // Advances by `seconds` (at most kMaxStepSeconds) on a line of the given
    // gradient (percent, rising towards the cab front).
    void step(double seconds, const TrainControls& controls, double gradientPercent, bool inTunnel);

private:
    void stepAir(double seconds, const TrainControls& controls);
    void stepEngine(double seconds, const TrainControls& controls, double tractiveForce,
                    double dynamicForce);

    TrainState m_state;
};
