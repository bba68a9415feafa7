#include "overlaygeometry.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace overlay {

namespace {
const cv::Scalar CentringColour(0, 153, 153);
const cv::Scalar FocalColour(76, 0, 153);
const cv::Scalar FrontLineColour(153, 153, 0);
const cv::Scalar FrontWedgeColour(153, 0, 76);
const cv::Scalar CrossColour(255, 0, 0);
const int MarkThickness = 2;
const double FrontWedgeHalfWidth = 50;
} // namespace

bool truncated(double value, double* out)
{
    if (!std::isfinite(value))
        return false;
    *out = std::trunc(value);
    return true;
}

std::vector<Circle> centringCircles(int number, double space, double cx, double cy)
{
    std::vector<Circle> circles;
    for (int i = 0; i < number; ++i) {
        const int s = 255 / (i + 1);
        double radius = 0;
        if (!truncated((i + 1) * space, &radius))
            break;
        circles.push_back({cx, cy, radius, cv::Scalar(i * s, 255 - i * s, 0)});
    }
    return circles;
}

Marks topLargeMarks(const TopLargeInputs& in)
{
    Marks marks;
    const double W = in.width;
    const double R = in.height;
    marks.segments.push_back({0, double(in.centerH), W, double(in.centerH), CentringColour});
    marks.circles = centringCircles(in.circlesNumber, in.circlesSpace, in.chargingH, in.chargingV);

    const double millimetresPerPixel = in.pixelSize / 1000;
    const int q = in.height / 5;
    double xf = 0;
    if (truncated((in.focusZ - in.currentZ) / millimetresPerPixel + in.focalX, &xf)) {
        marks.segments.push_back({xf, double(in.focalY), W, double(2 * q), FocalColour});
        marks.segments.push_back({xf, double(in.focalY), W, double(3 * q), FocalColour});
    }
    double xm = 0;
    if (truncated((in.focusZII - in.currentZII) / millimetresPerPixel + in.frontColumn, &xm)) {
        marks.segments.push_back({xm, 0, xm, R, FrontLineColour});
        marks.segments.push_back({xm - FrontWedgeHalfWidth, 0, xm, double(in.frontFocalRow), FrontWedgeColour});
        marks.segments.push_back({xm + FrontWedgeHalfWidth, 0, xm, double(in.frontFocalRow), FrontWedgeColour});
    }
    return marks;
}

Marks markingFrontCross(int width, int height)
{
    Marks marks;
    const double w = width, h = height;
    const double halfW = width / 2, halfH = height / 2;
    marks.segments.push_back({halfW, h, halfW, 0, CrossColour});
    marks.segments.push_back({w, halfH, 0, halfH, CrossColour});
    return marks;
}

bool clipSegment(double& x1, double& y1, double& x2, double& y2, double left, double top, double right, double bottom)
{
    // Liang-Barsky in doubles: endpoints far outside the picture never reach an int.
    const double dx = x2 - x1, dy = y2 - y1;
    double t0 = 0, t1 = 1;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {x1 - left, right - x1, y1 - top, bottom - y1};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0)
                return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1)
            return false;
    }
    const double ox = x1, oy = y1;
    x1 = ox + t0 * dx;
    y1 = oy + t0 * dy;
    x2 = ox + t1 * dx;
    y2 = oy + t1 * dy;
    return true;
}

void draw(cv::Mat& viewImage, const Marks& marks, double sx, double sy)
{
    if (viewImage.empty() || !std::isfinite(sx) || !std::isfinite(sy) || sx <= 0 || sy <= 0)
        return;
    const int thickness = std::max(1, int(std::lround(MarkThickness * std::sqrt(sx * sy))));
    const double margin = thickness + 2;
    const double right = viewImage.cols + margin, bottom = viewImage.rows + margin;
    for (const Segment& s : marks.segments) {
        double x1 = s.x1 * sx, y1 = s.y1 * sy, x2 = s.x2 * sx, y2 = s.y2 * sy;
        if (!clipSegment(x1, y1, x2, y2, -margin, -margin, right, bottom))
            continue;
        cv::line(viewImage, cv::Point(int(std::lround(x1)), int(std::lround(y1))),
                 cv::Point(int(std::lround(x2)), int(std::lround(y2))), s.colour, thickness, cv::LINE_8);
    }
    const double imageCols = viewImage.cols / sx, imageRows = viewImage.rows / sy;
    const double slack = margin / std::min(sx, sy);
    for (const Circle& c : marks.circles) {
        // In image pixels: a ring wholly outside the picture, or wholly around it, draws nothing.
        const double nearest = std::hypot(c.cx - std::clamp(c.cx, 0.0, imageCols), c.cy - std::clamp(c.cy, 0.0, imageRows));
        const double farthest = std::hypot(std::max(std::abs(c.cx), std::abs(c.cx - imageCols)),
                                           std::max(std::abs(c.cy), std::abs(c.cy - imageRows)));
        if (nearest > c.radius + slack || farthest < c.radius - slack)
            continue;
        const double cx = c.cx * sx, cy = c.cy * sy, ax = c.radius * sx, ay = c.radius * sy;
        if (std::abs(cx) > 1e6 || std::abs(cy) > 1e6 || ax > 1e6 || ay > 1e6)
            continue;
        cv::ellipse(viewImage, cv::Point(int(std::lround(cx)), int(std::lround(cy))),
                    cv::Size(int(std::lround(ax)), int(std::lround(ay))), 0, 0, 360, c.colour, thickness, cv::LINE_8);
    }
}

int aoiCoordinate(double viewPosition, double scale)
{
    const double scaled = viewPosition * scale;
    if (!std::isfinite(scaled))
        return 0;
    const double bounded = std::clamp(std::round(scaled), -1.0e9, 1.0e9);
    int value = int(bounded);
    if (value % 2 != 0)
        value -= 1;
    return value;
}

QPointF ViewFit::toView(const QPointF& framePoint) const
{
    return QPointF(shown.x() + framePoint.x() * sx, shown.y() + framePoint.y() * sy);
}

QPointF ViewFit::toFrame(const QPointF& viewPoint) const
{
    if (!valid())
        return QPointF();
    return QPointF((viewPoint.x() - shown.x()) / sx, (viewPoint.y() - shown.y()) / sy);
}

ViewFit fit(const QSize& frame, const QSize& view)
{
    ViewFit f;
    f.frame = frame;
    if (frame.width() <= 0 || frame.height() <= 0 || view.width() <= 0 || view.height() <= 0)
        return f;
    const double scale = std::min(double(view.width()) / frame.width(), double(view.height()) / frame.height());
    const int w = std::clamp(int(std::lround(frame.width() * scale)), 1, view.width());
    const int h = std::clamp(int(std::lround(frame.height() * scale)), 1, view.height());
    f.shown = QRect((view.width() - w) / 2, (view.height() - h) / 2, w, h);
    f.sx = double(w) / frame.width();
    f.sy = double(h) / frame.height();
    return f;
}

QPointF frameToSensor(const QPointF& framePoint, const QSize& frame, Turn turn)
{
    if (turn == Turn::Clockwise)
        return QPointF(framePoint.y(), frame.width() - framePoint.x());
    return framePoint;
}

QPointF sensorToFrame(const QPointF& sensorPoint, const QSize& frame, Turn turn)
{
    if (turn == Turn::Clockwise)
        return QPointF(frame.width() - sensorPoint.y(), sensorPoint.x());
    return sensorPoint;
}

bool aoiPoint(const QPointF& viewPosition, const QSize& viewSize, const ViewedCamera& camera, bool clampToFrame, QPoint* out)
{
    const ViewFit f = fit(camera.frame, viewSize);
    if (!f.valid())
        return false;
    QPointF p = f.toFrame(viewPosition);
    if (clampToFrame)
        p = QPointF(std::min(p.x(), double(camera.frame.width())), std::min(p.y(), double(camera.frame.height())));
    const QPointF s = frameToSensor(p, camera.frame, camera.turn);
    *out = QPoint(aoiCoordinate(camera.aoiOrigin.x() + s.x(), 1), aoiCoordinate(camera.aoiOrigin.y() + s.y(), 1));
    return true;
}

QRect aoiRectangle(const QPoint& pressSensor, const QPoint& releaseSensor)
{
    const int x = std::min(pressSensor.x(), releaseSensor.x());
    const int y = std::min(pressSensor.y(), releaseSensor.y());
    return QRect(x, y, std::abs(releaseSensor.x() - pressSensor.x()), std::abs(releaseSensor.y() - pressSensor.y()));
}

} // namespace overlay
