#pragma once

// The five axes of the simulated host (X, Y, Z, A and F, the front camera's focus axis) with a
// finite speed: a move sets a target and each commanded axis travels to it at the speed in
// units per second (0 = instantly). Positions follow the simulator's clock, so they can be
// read at any moment of a motion. Also reads the axis commands' text (INC<axis><d>,
// MOVE<axis><v>:[<axis><v>:...]).
//
// Threads: used from the simulator's thread only.

#include <QElapsedTimer>
#include <QString>

class SimulatedAxes
{
public:
    static constexpr int Count = 5; // X, Y, Z, A, F: the indices of HostSimulator::Axis

    // Targets and which axes a command moves.
    struct Move
    {
        double targets[Count] = {0, 0, 0, 0, 0};
        bool commanded[Count] = {false, false, false, false, false};
    };

    explicit SimulatedAxes(const QElapsedTimer& clock);

    void setSpeed(double unitsPerSecond); // not finite or not positive: instantly
    double speed() const { return axisSpeed; }
    // Places an axis at once (no motion).
    void setPosition(int axis, double value);

    double position(int axis) const;
    double target(int axis) const { return axes[axis].target; }
    bool isMoving(int axis) const;
    bool anyMoving() const;
    // Milliseconds until the last moving axis stops (0 when none moves).
    qint64 remainingMs() const;

    // The move an "INC..." or "MOVE..." command asks for, from the current targets; false when
    // the text is malformed (unknown axis, an axis twice, a field that is not a number).
    bool parseIncrement(const QString& text, Move* move) const;
    bool parseMove(const QString& text, Move* move) const;
    // Starts the commanded axes, at nowMs on the clock, from where they are towards their
    // targets. Returns the milliseconds until the last moving axis stops.
    double start(const Move& move, qint64 nowMs);

    // A plain decimal number ("1", "-2.5", ".5", "1e-3"), finite.
    static bool parseNumber(const QString& text, double* value);

private:
    struct AxisState
    {
        double start = 0;
        double target = 0;
        qint64 startMs = 0;
        double durationMs = 0;
    };

    Move fromTargets() const;

    const QElapsedTimer& clock;
    double axisSpeed = 0;
    AxisState axes[Count];
};
