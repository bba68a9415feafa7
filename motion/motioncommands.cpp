#include "motion/motioncommands.h"

#include <cmath>
#include <initializer_list>

namespace motioncommands {

const char* const StatusQuery = "GMS";
const char* const AlignEnd = "ALIGNEND";
const char* const XAlignEnd = "ENAAXEND";

namespace {

bool allFinite(std::initializer_list<double> values)
{
    for (double v : values) {
        if (!std::isfinite(v))
            return false;
    }
    return true;
}

QString letter(Axis axis)
{
    switch (axis) {
    case Axis::X: return QStringLiteral("X");
    case Axis::Y: return QStringLiteral("Y");
    case Axis::Z: return QStringLiteral("Z");
    case Axis::A: return QStringLiteral("A");
    case Axis::ZII: return QStringLiteral("F");
    }
    return QString();
}

} // namespace

QString Number(double value)
{
    return QString::number(value, 'g', 6);
}

QString Increment(Axis axis, double distance)
{
    if (!allFinite({distance}))
        return QString();
    return QStringLiteral("INC") + letter(axis) + Number(distance);
}

QString MoveTo(Axis axis, double position)
{
    if (!allFinite({position}))
        return QString();
    return QStringLiteral("MOVE") + letter(axis) + Number(position) + QLatin1Char(':');
}

QString MoveXY(double x, double y)
{
    if (!allFinite({x, y}))
        return QString();
    return QStringLiteral("MOVEX") + Number(x) + QStringLiteral(":Y") + Number(y) + QLatin1Char(':');
}

QString MoveXYZ(double x, double y, double z)
{
    if (!allFinite({x, y, z}))
        return QString();
    return QStringLiteral("MOVEX") + Number(x) + QStringLiteral(":Y") + Number(y) + QStringLiteral(":Z")
           + Number(z) + QLatin1Char(':');
}

QString MoveXYZAF(double x, double y, double z, double a, double f)
{
    if (!allFinite({x, y, z, a, f}))
        return QString();
    return QStringLiteral("MOVEX") + Number(x) + QStringLiteral(":Y") + Number(y) + QStringLiteral(":Z")
           + Number(z) + QStringLiteral(":A") + Number(a) + QStringLiteral(":F") + Number(f)
           + QLatin1Char(':');
}

} // namespace motioncommands
