#include "vision/girdlereading.h"

#include "vision/girdlemeasure.h"

#include <cmath>

namespace {
// Columns between two drawn edge points: smooth enough at any view size, few points to copy.
constexpr int SampleStepPx = 16;

void sample(const std::vector<double>& edge, QVector<QPointF>& out)
{
    const int n = static_cast<int>(edge.size());
    for (int x = 0; x < n; x += SampleStepPx)
        if (std::isfinite(edge[size_t(x)]))
            out.append(QPointF(x, edge[size_t(x)]));
    if (n > 0 && (n - 1) % SampleStepPx != 0 && std::isfinite(edge[size_t(n - 1)]))
        out.append(QPointF(n - 1, edge[size_t(n - 1)]));
}
} // namespace

GirdleReading GirdleReading::fromMeasurement(const girdle::Measurement& m, int width, int height,
                                             double pixelSizeUm, qint64 captureTimeUs)
{
    GirdleReading r;
    r.ok = m.ok;
    r.reason = m.ok ? QString() : (m.reason.isEmpty() ? QString::fromLatin1(girdle::ReasonNoGirdle) : m.reason);
    r.frameWidth = width;
    r.frameHeight = height;
    r.pixelSizeUm = pixelSizeUm;
    r.captureTimeUs = captureTimeUs;
    if (!m.ok)
        return r;
    r.topMid = m.topMid;
    r.bottomMid = m.bottomMid;
    r.thicknessPx = m.thicknessPx;
    r.thicknessUm = m.thicknessUm;
    r.tiltDeg = m.tiltDeg;
    r.edgeWidthPx = m.edgeWidthPx;
    r.centreOffsetPx = m.centreOffsetPx;
    sample(m.top, r.top);
    sample(m.bottom, r.bottom);
    return r;
}

GirdleReading GirdleReading::refusal(const QString& reason, qint64 captureTimeUs)
{
    GirdleReading r;
    r.reason = reason;
    r.captureTimeUs = captureTimeUs;
    return r;
}

namespace girdletext {

QString RefusalWords(const QString& reason)
{
    if (reason == QLatin1String(girdle::ReasonNoGirdle))
        return QStringLiteral("none in view");
    if (reason == QLatin1String(girdle::ReasonClipped))
        return QStringLiteral("clipped");
    if (reason == QLatin1String(girdle::ReasonBlur))
        return QStringLiteral("out of focus");
    if (reason == QLatin1String("CAMERA"))
        return QStringLiteral("no new frame");
    if (reason == QLatin1String("NOFRAME"))
        return QStringLiteral("no frame");
    return reason.toLower();
}

QString TiltWords(double tiltDeg)
{
    if (!(std::fabs(tiltDeg) > LevelDeg))
        return QStringLiteral("level");
    return QStringLiteral("tilted ") + QString::number(tiltDeg, 'f', 1) + QChar(0x00b0);
}

QString FocusWords(double edgeWidthPx)
{
    if (edgeWidthPx <= SharpPx)
        return QStringLiteral("sharp");
    if (edgeWidthPx <= SoftPx)
        return QStringLiteral("soft");
    return QStringLiteral("blurred");
}

QString StatusText(const GirdleReading& reading)
{
    if (!reading.ok)
        return QStringLiteral("Girdle: ") + RefusalWords(reading.reason);
    return QStringLiteral("Girdle ") + QString::number(qRound(reading.thicknessUm)) + QStringLiteral(" \u00b5m, ")
           + TiltWords(reading.tiltDeg) + QStringLiteral(", ") + FocusWords(reading.edgeWidthPx);
}

} // namespace girdletext
