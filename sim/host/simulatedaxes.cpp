#include "sim/host/simulatedaxes.h"

#include <QRegularExpression>
#include <QStringList>

#include <cmath>

namespace {

int axisIndex(QChar letter)
{
    switch (letter.unicode()) {
    case 'X': return 0;
    case 'Y': return 1;
    case 'Z': return 2;
    case 'A': return 3;
    case 'F': return 4;
    default: return -1;
    }
}

} // namespace

SimulatedAxes::SimulatedAxes(const QElapsedTimer& simulatorClock)
    : clock(simulatorClock)
{
}

void SimulatedAxes::setSpeed(double unitsPerSecond)
{
    axisSpeed = (std::isfinite(unitsPerSecond) && unitsPerSecond > 0) ? unitsPerSecond : 0;
}

void SimulatedAxes::setPosition(int axis, double value)
{
    AxisState& state = axes[axis];
    state.start = state.target = value;
    state.startMs = clock.elapsed();
    state.durationMs = 0;
}

bool SimulatedAxes::parseNumber(const QString& text, double* value)
{
    static const QRegularExpression number(QStringLiteral("^[-+]?(\\d+\\.?\\d*|\\.\\d+)([eE][-+]?\\d+)?$"));
    if (!number.match(text).hasMatch())
        return false;
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && std::isfinite(*value);
}

double SimulatedAxes::position(int axis) const
{
    const AxisState& state = axes[axis];
    if (state.durationMs <= 0)
        return state.target;
    const double t = (clock.elapsed() - state.startMs) / state.durationMs;
    if (t >= 1)
        return state.target;
    return state.start + (state.target - state.start) * qMax(0.0, t);
}

bool SimulatedAxes::isMoving(int axis) const
{
    const AxisState& state = axes[axis];
    return state.durationMs > 0 && clock.elapsed() < state.startMs + state.durationMs;
}

bool SimulatedAxes::anyMoving() const
{
    for (int a = 0; a < Count; ++a)
        if (isMoving(a))
            return true;
    return false;
}

qint64 SimulatedAxes::remainingMs() const
{
    qint64 remaining = 0;
    const qint64 now = clock.elapsed();
    for (int a = 0; a < Count; ++a)
        if (isMoving(a))
            remaining = qMax<qint64>(remaining, qint64(std::ceil(axes[a].startMs + axes[a].durationMs - now)));
    return remaining;
}

SimulatedAxes::Move SimulatedAxes::fromTargets() const
{
    Move move;
    for (int a = 0; a < Count; ++a)
        move.targets[a] = axes[a].target;
    return move;
}

bool SimulatedAxes::parseIncrement(const QString& text, Move* move) const
{
    // INC<axis><amount>
    if (text.size() < 5)
        return false;
    const int axis = axisIndex(text.at(3));
    double amount = 0;
    if (axis < 0 || !parseNumber(text.mid(4), &amount))
        return false;
    *move = fromTargets();
    move->targets[axis] += amount;
    move->commanded[axis] = true;
    return true;
}

bool SimulatedAxes::parseMove(const QString& text, Move* move) const
{
    // MOVE<axis><value>:[<axis><value>:]... every field closed by ":".
    const QString fields = text.mid(4);
    if (fields.isEmpty() || !fields.endsWith(QLatin1Char(':')))
        return false;
    const QStringList parts = fields.left(fields.size() - 1).split(QLatin1Char(':'));
    Move asked = fromTargets();
    for (const QString& part : parts) {
        if (part.size() < 2)
            return false;
        const int axis = axisIndex(part.at(0));
        double value = 0;
        if (axis < 0 || asked.commanded[axis] || !parseNumber(part.mid(1), &value))
            return false;
        asked.targets[axis] = value;
        asked.commanded[axis] = true;
    }
    *move = asked;
    return true;
}

double SimulatedAxes::start(const Move& move, qint64 now)
{
    for (int a = 0; a < Count; ++a) {
        if (!move.commanded[a])
            continue;
        AxisState& state = axes[a];
        state.start = position(a);
        state.target = move.targets[a];
        state.startMs = now;
        state.durationMs = axisSpeed > 0 ? std::fabs(state.target - state.start) / axisSpeed * 1000.0 : 0;
    }
    double longest = 0;
    for (int a = 0; a < Count; ++a) {
        if (isMoving(a))
            longest = qMax(longest, axes[a].startMs + axes[a].durationMs - now);
    }
    return longest;
}
