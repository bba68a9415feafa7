#include "girdleplot.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {
const QString Micro = QStringLiteral(" \u00b5m");
} // namespace

GirdlePlot::GirdlePlot(QWidget* parent)
    : QWidget(parent)
    , captionText(QStringLiteral("Girdle thickness: no complete scan yet"))
{
}

void GirdlePlot::setProfile(const girdleprofile::Profile& p)
{
    profile = p;
    if (!p.valid())
        captionText = QStringLiteral("Girdle thickness: no girdle measured in the last scan");
    else
        captionText = QStringLiteral("Thickness min ") + QString::number(p.minUm, 'f', 1) + Micro + QStringLiteral(" at ")
                      + QString::number(p.thinnestDeg) + QChar(0x00b0) + QStringLiteral(", max ")
                      + QString::number(p.maxUm, 'f', 1) + Micro + QStringLiteral(", mean ")
                      + QString::number(p.meanUm, 'f', 1) + Micro + QStringLiteral(" (")
                      + QString::number(p.measuredDegrees) + QStringLiteral(" of 360 degrees measured)");
    update();
}

void GirdlePlot::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(24, 24, 24));
    painter.setPen(Qt::white);
    const int line = fontMetrics().height();
    painter.drawText(QRect(4, 2, width() - 8, line), Qt::AlignLeft | Qt::AlignVCenter, captionText);
    if (!profile.valid())
        return;

    // Plot area: A across (0..360), thickness up, with room for the axis numbers.
    const int left = 60, right = width() - 10, top = line + 8, bottom = height() - line - 6;
    if (right - left < 40 || bottom - top < 20)
        return;
    const double span = std::max(1.0, profile.maxUm - profile.minUm);
    const double low = profile.minUm - 0.15 * span, high = profile.maxUm + 0.15 * span;
    auto px = [&](double deg) { return left + deg / 360.0 * (right - left); };
    auto py = [&](double um) { return bottom - (um - low) / (high - low) * (bottom - top); };

    painter.setPen(QColor(90, 90, 90));
    painter.drawRect(QRectF(left, top, right - left, bottom - top));
    painter.setPen(QColor(200, 200, 200));
    for (int a = 0; a <= 360; a += 45)
        painter.drawText(QRectF(px(a) - 20, bottom + 2, 40, line), Qt::AlignCenter, QString::number(a));
    painter.drawText(QRectF(right - 60, bottom + 2, 60, line), Qt::AlignRight, QStringLiteral("A (deg)"));

    // Minimum, mean and maximum.
    const struct
    {
        double um;
        QColor colour;
        const char* name;
    } levels[] = {{profile.minUm, QColor(230, 80, 80), "min"},
                  {profile.meanUm, QColor(200, 200, 200), "mean"},
                  {profile.maxUm, QColor(80, 160, 230), "max"}};
    for (const auto& level : levels) {
        painter.setPen(QPen(level.colour, 1, Qt::DashLine));
        painter.drawLine(QPointF(left, py(level.um)), QPointF(right, py(level.um)));
        painter.drawText(QRectF(0, py(level.um) - line / 2.0, left - 4, line), Qt::AlignRight | Qt::AlignVCenter,
                         QString::fromLatin1(level.name) + QLatin1Char(' ') + QString::number(level.um, 'f', 1));
    }

    // One point per degree: measured solid, interpolated pale.
    for (int d = 0; d < int(profile.degrees.size()); ++d) {
        const girdleprofile::Degree& g = profile.degrees[size_t(d)];
        if (!g.known)
            continue;
        painter.setPen(Qt::NoPen);
        painter.setBrush(g.measured ? QColor(120, 230, 120) : QColor(70, 110, 70));
        painter.drawEllipse(QPointF(px(d), py(g.thicknessUm)), 1.6, 1.6);
    }

    // The thinnest place.
    const double tx = px(profile.thinnestDeg), ty = py(profile.minUm);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 60, 60), 2));
    painter.drawEllipse(QPointF(tx, ty), 6, 6);
    const QString thinnest = QStringLiteral("thinnest ") + QString::number(profile.minUm, 'f', 1) + Micro
                             + QStringLiteral(" at ") + QString::number(profile.thinnestDeg) + QChar(0x00b0);
    const double textX = tx + 10 + 200 > right ? tx - 210 : tx + 10;
    painter.drawText(QRectF(textX, ty - line - 2, 200, line), Qt::AlignLeft | Qt::AlignVCenter, thinnest);
}
