#include "motion/commandedposition.h"

#include <algorithm>
#include <cmath>

namespace {

double reportedValue(const alignment::AxisPositions& p, int axis)
{
    switch (axis) {
    case 0: return p.x;
    case 1: return p.y;
    case 2: return p.z;
    case 3: return p.a;
    default: return p.zii;
    }
}

// The value an axis goes to when the command carries this number.
double asSent(double value)
{
    return hostmessages::Number(value).toDouble();
}

// The step of the sixth significant digit at this size: commands carry no finer position.
double lastDigit(double value)
{
    const double magnitude = std::fabs(value);
    if (!(magnitude > 0) || !std::isfinite(magnitude))
        return 0;
    return std::pow(10.0, std::floor(std::log10(magnitude)) - 5);
}

} // namespace

void CommandedPosition::clear()
{
    for (int a = 0; a < AxisCount; ++a)
        commanded[a] = false;
}

bool CommandedPosition::empty() const
{
    for (int a = 0; a < AxisCount; ++a) {
        if (commanded[a])
            return false;
    }
    return true;
}

void CommandedPosition::moveTo(Axis axis, double position)
{
    const int a = static_cast<int>(axis);
    commanded[a] = true;
    target[a] = asSent(position);
}

void CommandedPosition::moveBy(Axis axis, double distance, const alignment::AxisPositions& reported)
{
    const int a = static_cast<int>(axis);
    const double from = commanded[a] ? target[a] : reportedValue(reported, a);
    commanded[a] = true;
    target[a] = from + asSent(distance);
}

QString CommandedPosition::mismatch(const alignment::AxisPositions& reported, double tolerance) const
{
    QString text;
    for (int a = 0; a < AxisCount; ++a) {
        if (!commanded[a])
            continue;
        const double at = reportedValue(reported, a);
        const double allowed = tolerance + std::max(lastDigit(target[a]), lastDigit(at));
        // A position that is not a number never matches.
        if (std::fabs(at - target[a]) <= allowed)
            continue;
        if (!text.isEmpty())
            text += QStringLiteral(", ");
        text += axisName(static_cast<Axis>(a)) + QStringLiteral(" stood at ") + hostmessages::Number(at)
                + QStringLiteral(" where ") + hostmessages::Number(target[a]) + QStringLiteral(" was commanded");
    }
    return text;
}

QString CommandedPosition::axisName(Axis axis)
{
    switch (axis) {
    case Axis::X: return QStringLiteral("X");
    case Axis::Y: return QStringLiteral("Y");
    case Axis::Z: return QStringLiteral("Z");
    case Axis::A: return QStringLiteral("A");
    case Axis::ZII: return QStringLiteral("ZII");
    }
    return QString();
}
