// The girdle on the window: the two edges the analyser measured drawn over the front views with
// the thickness, tilt and focus; the girdle in the status strip; the front check after each
// front alignment; and, after a complete scan, the edges over the panorama and the thickness
// plotted against A. Marks are given in the overlay's coordinates (pixel edges on whole
// numbers), so a measured edge at row y (pixel centres on whole numbers) lies at y + 0.5.
#include "mainwindow.h"

#include "girdleplot.h"
#include "imagedisplay.h"
#include "ui_mainwindow.h"

#include "motion/frontcheck.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "vision/gridleanalyser.h"

#include <QHBoxLayout>
#include <QLabel>

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

// Edges in the marks' colour order (R, G, B).
const cv::Scalar UpperEdgeColour(0, 230, 0);
const cv::Scalar LowerEdgeColour(0, 200, 255);
const cv::Scalar TextColour(255, 230, 0);

void addPolyline(overlay::Marks& marks, const QVector<QPointF>& points, double dx, const cv::Scalar& colour)
{
    for (int i = 1; i < points.size(); ++i)
        marks.segments.push_back({points[i - 1].x() + 0.5 + dx, points[i - 1].y() + 0.5, points[i].x() + 0.5 + dx,
                                  points[i].y() + 0.5, colour});
}

// Every step-th column of a measured edge between columns from and to (exclusive) as points.
QVector<QPointF> edgePoints(const std::vector<double>& edge, int from, int to, int step)
{
    QVector<QPointF> points;
    to = std::min(to, int(edge.size()));
    for (int x = std::max(0, from); x < to; x += step)
        if (std::isfinite(edge[size_t(x)]))
            points.append(QPointF(x, edge[size_t(x)]));
    if (to - 1 >= from && to - 1 >= 0 && std::isfinite(edge[size_t(to - 1)]))
        points.append(QPointF(to - 1, edge[size_t(to - 1)]));
    return points;
}

} // namespace

void MainWindow::setUpGirdleDisplay()
{
    // Two labels in the status strip, beside the cameras and beside the alignment.
    auto* strip = qobject_cast<QHBoxLayout*>(ui->frameStatusStrip->layout());
    labelStatusGirdle = new QLabel(girdletext::StatusText(GridleTraker->LastReading()), ui->frameStatusStrip);
    labelStatusGirdle->setObjectName(QStringLiteral("labelStatusGirdle"));
    labelStatusFrontCheck = new QLabel(QStringLiteral("Front check: none yet"), ui->frameStatusStrip);
    labelStatusFrontCheck->setObjectName(QStringLiteral("labelStatusFrontCheck"));
    if (strip) {
        const int alignmentAt = strip->indexOf(ui->labelStatusAlignment);
        strip->insertWidget(alignmentAt, labelStatusGirdle);
        strip->insertWidget(alignmentAt + 2, labelStatusFrontCheck);
    }

    // The plot below the panorama.
    girdlePlot = new GirdlePlot(ui->StackedWMainCamMarkingFrontStitch);
    girdlePlot->setObjectName(QStringLiteral("girdlePlot"));
    const QRect panorama = ui->labelMFPanorama->geometry();
    girdlePlot->setGeometry(panorama.x(), panorama.bottom() + 6, panorama.width(), 220);

    connect(GridleTraker, &GridleAnalyser::NewMFGirdle, this, &MainWindow::ShowGirdle);
    connect(GridleTraker, &GridleAnalyser::NewMFGirdle, Motion->FrontChecker(), &FrontCheck::onGirdle);
    connect(Motion->FrontChecker(), &FrontCheck::Checked, this, &MainWindow::ShowFrontCheck);
}

void MainWindow::ShowGirdle(GirdleReading reading)
{
    lastGirdle = reading;
    const QString text = girdletext::StatusText(reading);
    if (labelStatusGirdle && labelStatusGirdle->text() != text)
        labelStatusGirdle->setText(text);
}

void MainWindow::ShowFrontCheck(bool found, QString text)
{
    if (!labelStatusFrontCheck)
        return;
    labelStatusFrontCheck->setText(text);
    labelStatusFrontCheck->setToolTip(text);
    labelStatusFrontCheck->setStyleSheet(found ? QString() : QStringLiteral("color: #c00000;"));
}

void MainWindow::drawGirdle(cv::Mat& picture, double sx, double sy, int frameWidth, int frameHeight) const
{
    // A reading of another frame size (the area of interest just changed) would land elsewhere.
    const GirdleReading& r = lastGirdle;
    if (!r.ok || r.frameWidth != frameWidth || r.frameHeight != frameHeight)
        return;
    overlay::Marks marks;
    addPolyline(marks, r.top, 0.0, UpperEdgeColour);
    addPolyline(marks, r.bottom, 0.0, LowerEdgeColour);
    overlay::draw(picture, marks, sx, sy);
    const QString text = QString::number(r.thicknessUm, 'f', 1) + QStringLiteral(" um, tilt ")
                         + QString::number(r.tiltDeg, 'f', 2) + QStringLiteral(" deg, edge ")
                         + QString::number(r.edgeWidthPx, 'f', 1) + QStringLiteral(" px");
    const double scale = std::clamp(picture.cols / 900.0, 0.4, 1.0);
    cv::putText(picture, text.toStdString(), cv::Point(8, int(8 + 22 * scale)), cv::FONT_HERSHEY_SIMPLEX, 0.7 * scale,
                TextColour, 1, cv::LINE_AA);
}

imagedisplay::Decorator MainWindow::showGirdleProfile()
{
    const girdleprofile::Profile profile = GridlePanoramaConstructor->LastGirdleProfile();
    const panorama::Result joined = GridlePanoramaConstructor->LastPanorama();
    if (girdlePlot)
        girdlePlot->setProfile(profile);
    if (!profile.valid() || joined.frameX.empty())
        return imagedisplay::Decorator();
    // Each frame's edges over the columns it is the first to show, up to the next frame's start.
    overlay::Marks marks;
    const size_t frames = std::min(joined.frameX.size(), profile.frameMeasurements.size());
    for (size_t i = 0; i < frames; ++i) {
        const girdle::Measurement& m = profile.frameMeasurements[i];
        if (!m.ok)
            continue;
        const int x0 = joined.frameX[i];
        const int end = i + 1 < joined.frameX.size() ? joined.frameX[i + 1] : joined.image.cols;
        const int columns = std::max(0, end - x0);
        addPolyline(marks, edgePoints(m.top, 0, columns, 8), x0, UpperEdgeColour);
        addPolyline(marks, edgePoints(m.bottom, 0, columns, 8), x0, LowerEdgeColour);
    }
    return [marks](cv::Mat& picture, double sx, double sy) { overlay::draw(picture, marks, sx, sy); };
}
