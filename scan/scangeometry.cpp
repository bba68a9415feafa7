#include "scan/scangeometry.h"

#include <algorithm>
#include <cmath>

namespace scangeometry {

namespace {
constexpr double Pi = 3.14159265358979323846;
}

double FrameWidth(int sensorWidthPixels, double mfPixelSizeThousandths)
{
    return sensorWidthPixels * mfPixelSizeThousandths / 1000.0;
}

int ImagesPerPerimeter(double D, double w, double c)
{
    if (!std::isfinite(D) || !std::isfinite(w) || !std::isfinite(c))
        return 0;
    if (!(D > 0) || !(w > 0) || !(c < 1))
        return 0;
    const double chord = (1.0 - c) * w / D;
    if (!(chord > 0) || !(chord <= 1))
        return 0;
    const double chords = Pi / std::asin(chord);
    if (!std::isfinite(chords) || !(chords >= 0) || chords >= MaxImagesPerPerimeter)
        return 0;
    return static_cast<int>(chords) + 1;
}

double FrameAngleDegrees(double D, double w)
{
    if (!std::isfinite(D) || !std::isfinite(w) || !(D > 0) || !(w > 0))
        return std::nan("");
    const double ratio = std::min(w / D, 1.0);
    return 2.0 * std::asin(ratio) * 180.0 / Pi;
}

double RotationStep(bool stepped, int imageCount, double frameAngleDegrees)
{
    if (stepped)
        return frameAngleDegrees;
    if (imageCount < 1)
        return std::nan("");
    return 360.0 / imageCount;
}

QString FrameFileName(int index)
{
    return QStringLiteral("img_%1.png").arg(index, 2, 10, QLatin1Char('0'));
}

QString FramePath(const QString& folder, int index)
{
    return folder + QLatin1Char('/') + FrameFileName(index);
}

} // namespace scangeometry
