#include "hostlink/hostmessages.h"

#include <QStringList>

#include <cmath>
#include <initializer_list>

namespace hostmessages {

const char* const Connected = "NCQ";
const char* const AlignBegin = "ALIGNBG";
const char* const ScanBegin = "SCANBG";
const char* const SnapshotDone = "SIDONE";
const char* const StatusQuery = "GMS";
const char* const AlignEnd = "ALIGNEND";
const char* const XAlignEnd = "ENAAXEND";
const char* const ScanEnd = "SCANEND";

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

QString ReasonWord(FailReason reason)
{
    switch (reason) {
    case FailReason::NoStone: return QStringLiteral("NOSTONE");
    case FailReason::Clipped: return QStringLiteral("CLIPPED");
    case FailReason::Ambiguous: return QStringLiteral("AMBIGUOUS");
    case FailReason::Range: return QStringLiteral("RANGE");
    case FailReason::Camera: return QStringLiteral("CAMERA");
    case FailReason::Busy: return QStringLiteral("BUSY");
    case FailReason::Settings: return QStringLiteral("SETTINGS");
    case FailReason::Storage: return QStringLiteral("STORAGE");
    case FailReason::Host: return QStringLiteral("HOST");
    case FailReason::Residual: return QStringLiteral("RESIDUAL");
    }
    return QStringLiteral("NOSTONE");
}

FailReason ReasonFromTracker(const QString& word)
{
    if (word == QLatin1String("CLIPPED"))
        return FailReason::Clipped;
    if (word == QLatin1String("AMBIGUOUS"))
        return FailReason::Ambiguous;
    if (word == QLatin1String("CAMERA"))
        return FailReason::Camera;
    return FailReason::NoStone;
}

QString ReasonText(FailReason reason)
{
    switch (reason) {
    case FailReason::NoStone: return QStringLiteral("no stone found");
    case FailReason::Clipped: return QStringLiteral("the stone touches the border of the view");
    case FailReason::Ambiguous: return QStringLiteral("more than one stone in view");
    case FailReason::Range: return QStringLiteral("target not finite or beyond what the view justifies");
    case FailReason::Camera: return QStringLiteral("no fresh camera frame");
    case FailReason::Busy: return QStringLiteral("another request is running");
    case FailReason::Settings: return QStringLiteral("implausible settings");
    case FailReason::Storage: return QStringLiteral("frame not stored");
    case FailReason::Host: return QStringLiteral("the host did not answer GMS or report the commanded position");
    case FailReason::Residual: return QStringLiteral("the stone did not reach its target closely enough");
    }
    return QString();
}

QString AlignFail(FailReason reason)
{
    return QStringLiteral("ALIGNFAIL:") + ReasonWord(reason);
}

QString XAlignFail(FailReason reason)
{
    return QStringLiteral("ENAAXFAIL:") + ReasonWord(reason);
}

QString ScanFail(FailReason reason)
{
    return QStringLiteral("SCANFAIL:") + ReasonWord(reason);
}

QString SnapshotFail(FailReason reason)
{
    return QStringLiteral("SIFAIL:") + ReasonWord(reason);
}

QString ScanTextReport(int index, double x, double y, double a, double mfPixelSize, double yOffsetDifference,
                       double diameter, double step)
{
    return QStringLiteral("IMGSCAP") + QString::number(index) + QStringLiteral("COORDS") + Number(x)
           + QLatin1Char('&') + Number(y) + QLatin1Char('&') + Number(a) + QLatin1Char('#') + Number(mfPixelSize)
           + QLatin1Char('#') + Number(yOffsetDifference) + QLatin1Char('#') + Number(diameter) + QLatin1Char('#')
           + Number(step);
}

QString ScanImageReportText(int index, double x, double y, double a)
{
    return QStringLiteral("IMGCAP") + QString::number(index) + QStringLiteral("COORDS") + Number(x)
           + QLatin1Char('&') + Number(y) + QLatin1Char('&') + Number(a);
}

} // namespace hostmessages
