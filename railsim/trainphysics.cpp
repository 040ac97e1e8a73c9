#include "trainphysics.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kGravity = 9.81;
constexpr double kTrainMass = 600e3; // kg, locomotive included
constexpr double kLocoMass = 130e3;

// Traction: a 400 kN starting effort, 2.4 MW at the rail, and the traction
// control cutting off at 80 mph.
constexpr double kMaxTractiveEffort = 400e3;
constexpr double kRailPower = 2.4e6;
constexpr double kMaxTractionSpeed = 35.8;
constexpr double kTractionFadeBand = 1.3;
constexpr double kAdhesionDry = 0.30;
constexpr double kAdhesionSanded = 0.36;
constexpr double kFullTractionAmps = 1350.0;
// The load regulator lets power in slowly and drops it fast.
constexpr double kLoadRisePerSecond = 0.8;
constexpr double kLoadFallPerSecond = 2.0;

// Dynamic brake: the motors as generators lose their field below 10 mph.
constexpr double kMaxDynamicForce = 220e3;
constexpr double kDynamicPower = 1.8e6;
constexpr double kDynamicFullSpeed = 4.5;
constexpr double kFullDynamicAmps = 800.0;

// Running resistance A + B v + C v^2 (newtons, v in m/s). A also holds a
// train standing on a gentle gradient; the air drag is worse in a tunnel.
constexpr double kResistanceA = 6000.0;
constexpr double kResistanceB = 150.0;
constexpr double kResistanceC = 9.0;
constexpr double kTunnelDragFactor = 1.8;

// Air brake. The brake pipe runs at 5 bar; a full service application takes
// 1.5 bar off it, an emergency one empties it.
constexpr double kRunningPressure = 5.0;
constexpr double kFullServiceReduction = 1.5;
constexpr double kCylinderPerBarReduction = 2.5;
constexpr double kFullServiceCylinder = 3.8;
constexpr double kEmergencyCylinder = 4.2;
constexpr double kTrainBrakeForceAtFullService = 330e3;
constexpr double kLocoBrakeForceAtFullService = 160e3;
// Below this the power control switch opens and traction is cut, as after
// an emergency application or a parted train.
constexpr double kPowerCutBrakePipe = 3.2;
// The compressor cuts in at 8.5 bar and out at 10 bar.
constexpr double kCompressorCutIn = 8.5;
constexpr double kCompressorCutOut = 10.0;
constexpr double kCompressorBarPerSecond = 0.12;
// Recharging the brake pipe draws on the main reservoir.
constexpr double kReservoirPerBrakePipeBar = 0.5;
constexpr double kHornBarPerSecond = 0.04;
constexpr double kSanderBarPerSecond = 0.02;

constexpr double kIdleRpm = 450.0;
constexpr double kFullRpm = 1000.0;
constexpr double kIdleLitresPerHour = 15.0;
constexpr double kLitresPerKilowattHour = 0.25;
constexpr double kTransmissionEfficiency = 0.85;

// Moves `current` towards `target` by no more than the given rates allow.
double approach(double current, double target, double risePerSecond, double fallPerSecond, double seconds)
{
    if (target > current)
        return std::min(target, current + risePerSecond * seconds);
    return std::max(target, current - fallPerSecond * seconds);
}

double sign(double value)
{
    return value > 0.0 ? 1.0 : (value < 0.0 ? -1.0 : 0.0);
}

double clamp01(double value)
{
    return std::clamp(value, 0.0, 1.0);
}

} // namespace

void TrainPhysics::step(double seconds, const TrainControls& controls, double gradientPercent, bool inTunnel)
{
    stepAir(seconds, controls);

    TrainState& s = m_state;
    const double speed = std::fabs(s.speed);
    const double direction = controls.reverser > 0.5 ? 1.0 : (controls.reverser < -0.5 ? -1.0 : 0.0);
    const bool engineRunning = s.fuelLitres > 0.0;
    const bool powerAvailable = engineRunning && !controls.emergency && s.brakePipeBar >= kPowerCutBrakePipe;

    const double demand = powerAvailable && direction != 0.0 ? clamp01(controls.regulator) : 0.0;
    s.load = approach(s.load, demand, kLoadRisePerSecond, kLoadFallPerSecond, seconds);

    const double adhesion = (controls.sander ? kAdhesionSanded : kAdhesionDry) * kLocoMass * kGravity;
    const double fade = clamp01((kMaxTractionSpeed - speed) / kTractionFadeBand);
    const double tractiveForce = s.load
        * std::min({kMaxTractiveEffort, adhesion, kRailPower / std::max(speed, 0.1)}) * fade;

    // The controller interlocks power and dynamic braking: the dynamic
    // brake only works with the power off.
    double dynamicForce = 0.0;
    if (engineRunning && s.load < 0.05 && controls.dynamicBrake > 0.0) {
        dynamicForce = clamp01(controls.dynamicBrake)
            * std::min(kMaxDynamicForce, kDynamicPower / std::max(speed, 0.1))
            * clamp01(speed / kDynamicFullSpeed);
    }

    stepEngine(seconds, controls, tractiveForce, dynamicForce);

    // Forces that push: traction the way the reverser points, and gravity
    // (small-angle, a percent gradient is the sine to within 0.01 %).
    const double driving = direction * tractiveForce - kTrainMass * kGravity * gradientPercent / 100.0;
    // Forces that only ever oppose motion, and at a stand hold the train
    // against anything weaker than themselves.
    const double drag = kResistanceC * (inTunnel ? kTunnelDragFactor : 1.0);
    const double resisting = kResistanceA + kResistanceB * speed + drag * speed * speed
        + kTrainBrakeForceAtFullService * s.trainCylinderBar / kFullServiceCylinder
        + kLocoBrakeForceAtFullService * s.locoCylinderBar / kFullServiceCylinder + dynamicForce;

    const double pushed = s.speed + driving / kTrainMass * seconds;
    const double slowed = resisting / kTrainMass * seconds;
    s.speed = std::fabs(pushed) <= slowed ? 0.0 : pushed - sign(pushed) * slowed;
}

void TrainPhysics::stepAir(double seconds, const TrainControls& controls)
{
    TrainState& s = m_state;
    const bool engineRunning = s.fuelLitres > 0.0;

    // The brake valve sets the equalising reservoir; the brake pipe follows
    // it, more slowly along a train's length, and vents at once in an
    // emergency. Neither can be charged above the main reservoir.
    const double equalisingTarget = controls.emergency
        ? 0.0
        : std::min(kRunningPressure - kFullServiceReduction * clamp01(controls.trainBrake), s.mainReservoirBar);
    s.equalisingBar = approach(s.equalisingBar, equalisingTarget, 0.6, controls.emergency ? 3.0 : 0.8, seconds);

    const double pipeBefore = s.brakePipeBar;
    const double pipeTarget = std::min(s.equalisingBar, s.mainReservoirBar);
    s.brakePipeBar = approach(s.brakePipeBar, pipeTarget, 0.8, controls.emergency ? 2.5 : 0.6, seconds);
    const double recharged = std::max(0.0, s.brakePipeBar - pipeBefore);
    s.mainReservoirBar -= recharged * kReservoirPerBrakePipeBar;
    if (controls.horn)
        s.mainReservoirBar -= kHornBarPerSecond * seconds;
    if (controls.sander)
        s.mainReservoirBar -= kSanderBarPerSecond * seconds;

    if (!engineRunning || s.mainReservoirBar >= kCompressorCutOut)
        s.compressorRunning = false;
    else if (s.mainReservoirBar < kCompressorCutIn)
        s.compressorRunning = true;
    if (s.compressorRunning)
        s.mainReservoirBar = std::min(kCompressorCutOut, s.mainReservoirBar + kCompressorBarPerSecond * seconds);
    s.mainReservoirBar = std::max(0.0, s.mainReservoirBar);

    // The wagons' distributors answer a brake pipe reduction; an emptied
    // pipe also opens the emergency reservoirs.
    const double reduction = kRunningPressure - s.brakePipeBar;
    const double trainTarget = s.brakePipeBar < 2.0
        ? kEmergencyCylinder
        : std::clamp(reduction * kCylinderPerBarReduction, 0.0, kFullServiceCylinder);
    s.trainCylinderBar = approach(s.trainCylinderBar, trainTarget, 0.9, 1.2, seconds);

    // The locomotive brakes with the train and on its own brake valve,
    // whichever asks more.
    const double locoTarget = std::max(clamp01(controls.engineBrake) * kFullServiceCylinder, trainTarget);
    s.locoCylinderBar = approach(s.locoCylinderBar, locoTarget, 1.5, 1.5, seconds);
}

void TrainPhysics::stepEngine(double seconds, const TrainControls& controls, double tractiveForce,
                              double dynamicForce)
{
    TrainState& s = m_state;
    if (s.fuelLitres <= 0.0) {
        s.fuelLitres = 0.0;
        s.engineRpm = approach(s.engineRpm, 0.0, 0.0, 150.0, seconds);
        s.tractionAmps = 0.0;
        return;
    }

    // The dynamic brake's blowers need the engine above idle.
    double rpmTarget = kIdleRpm + (kFullRpm - kIdleRpm) * s.load;
    if (dynamicForce > 0.0)
        rpmTarget = std::max(rpmTarget, kIdleRpm + 300.0 * clamp01(controls.dynamicBrake));
    s.engineRpm = approach(s.engineRpm, rpmTarget, 150.0, 120.0, seconds);

    s.tractionAmps = 0.0;
    if (tractiveForce > 0.0)
        s.tractionAmps = kFullTractionAmps * tractiveForce / kMaxTractiveEffort;
    else if (dynamicForce > 0.0)
        s.tractionAmps = -kFullDynamicAmps * dynamicForce / kMaxDynamicForce;

    const double engineKilowatts = tractiveForce * std::fabs(s.speed) / 1000.0 / kTransmissionEfficiency;
    const double litresPerHour = kIdleLitresPerHour + kLitresPerKilowattHour * engineKilowatts;
    s.fuelLitres = std::max(0.0, s.fuelLitres - litresPerHour * seconds / 3600.0);
}
