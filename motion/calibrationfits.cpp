#include "motion/calibrationfits.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>

namespace calibfit {

namespace {

constexpr double Pi = 3.14159265358979323846;

QString tooFew(int have, int need)
{
    return QStringLiteral("too few points: %1, at least %2").arg(have).arg(need);
}

bool allFinite(const std::vector<double>& values)
{
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

double span(const std::vector<double>& values)
{
    const auto range = std::minmax_element(values.begin(), values.end());
    return *range.second - *range.first;
}

// Least squares of A p = b: the solution, and the covariance of p scaled by the residual
// variance (dof = rows - unknowns). False when A is rank deficient.
bool leastSquares(const cv::Mat& a, const cv::Mat& b, cv::Mat* p, cv::Mat* covariance, double* ssr)
{
    const cv::Mat normal = a.t() * a;
    cv::Mat inverse;
    if (cv::invert(normal, inverse, cv::DECOMP_SVD) <= 0)
        return false;
    // The smallest singular value against the largest: a near-singular system gives no answer.
    cv::Mat w;
    cv::SVD::compute(normal, w, cv::SVD::NO_UV);
    if (w.at<double>(w.rows - 1) <= 1e-12 * w.at<double>(0))
        return false;
    *p = inverse * (a.t() * b);
    const cv::Mat r = a * *p - b;
    *ssr = r.dot(r);
    const int dof = a.rows - a.cols;
    *covariance = inverse * (dof > 0 ? *ssr / dof : 0.0);
    return true;
}

} // namespace

LineFit fitLine(const std::vector<double>& x, const std::vector<double>& y)
{
    LineFit fit;
    fit.points = int(std::min(x.size(), y.size()));
    if (x.size() != y.size() || fit.points < 3)
        return fit.refusal = tooFew(fit.points, 3), fit;
    if (!allFinite(x) || !allFinite(y))
        return fit.refusal = QStringLiteral("a value that is not a finite number"), fit;
    if (span(x) <= 0)
        return fit.refusal = QStringLiteral("all points at the same position"), fit;
    cv::Mat a(fit.points, 2, CV_64F), b(fit.points, 1, CV_64F);
    for (int i = 0; i < fit.points; ++i) {
        a.at<double>(i, 0) = 1.0;
        a.at<double>(i, 1) = x[i];
        b.at<double>(i) = y[i];
    }
    cv::Mat p, cov;
    double ssr = 0;
    if (!leastSquares(a, b, &p, &cov, &ssr))
        return fit.refusal = QStringLiteral("the points do not determine a line"), fit;
    fit.intercept = p.at<double>(0);
    fit.slope = p.at<double>(1);
    fit.interceptSigma = std::sqrt(cov.at<double>(0, 0));
    fit.slopeSigma = std::sqrt(cov.at<double>(1, 1));
    fit.rms = std::sqrt(ssr / fit.points);
    fit.ok = true;
    return fit;
}

ScaleFit fitScale(const std::vector<double>& moves, const std::vector<QPointF>& image, QPointF reference)
{
    ScaleFit fit;
    fit.points = int(std::min(moves.size(), image.size()));
    std::vector<double> cols, rows;
    for (int i = 0; i < fit.points; ++i) {
        cols.push_back(image[i].x());
        rows.push_back(image[i].y());
    }
    const LineFit c = fitLine(moves, cols);
    const LineFit r = fitLine(moves, rows);
    if (moves.size() != image.size() || !c.ok || !r.ok)
        return fit.refusal = moves.size() != image.size() ? tooFew(fit.points, 3) : c.refusal, fit;
    const double length = std::hypot(c.slope, r.slope);   // pixels per axis unit
    const double sigma = std::hypot(c.slope * c.slopeSigma, r.slope * r.slopeSigma) / std::max(length, 1e-300);
    fit.origin = QPointF(c.intercept, r.intercept);
    fit.rmsPx = std::hypot(c.rms, r.rms);
    // The feature must move by more than its scatter over the range of the moves.
    if (!(length * span(moves) > 3.0 * std::max(fit.rmsPx, 1e-6)))
        return fit.refusal = QStringLiteral("the image did not move with the axis (%1 px over %2 units)")
                                 .arg(length * span(moves), 0, 'g', 3)
                                 .arg(span(moves), 0, 'g', 3),
               fit;
    fit.pixelSizeUm = 1000.0 / length;
    fit.pixelSizeSigmaUm = 1000.0 * sigma / (length * length);
    const double refLength = std::hypot(reference.x(), reference.y());
    if (refLength > 0) {
        const double cross = reference.x() * r.slope - reference.y() * c.slope;
        const double dot = reference.x() * c.slope + reference.y() * r.slope;
        fit.rotationDeg = std::atan2(cross, dot) * 180.0 / Pi;
    }
    // The scatter across the direction of motion, as an angle.
    const double across = std::hypot(r.slope * c.slopeSigma, c.slope * r.slopeSigma) / std::max(length, 1e-300);
    fit.rotationSigmaDeg = across / std::max(length, 1e-300) * 180.0 / Pi;
    fit.ok = true;
    return fit;
}

CircleFit fitCircle(const std::vector<double>& anglesDeg, const std::vector<QPointF>& image)
{
    CircleFit fit;
    fit.points = int(std::min(anglesDeg.size(), image.size()));
    if (anglesDeg.size() != image.size() || fit.points < 3)
        return fit.refusal = tooFew(fit.points, 3), fit;
    if (!allFinite(anglesDeg))
        return fit.refusal = QStringLiteral("an angle that is not a finite number"), fit;
    QPointF mean;
    for (const QPointF& p : image) {
        if (!std::isfinite(p.x()) || !std::isfinite(p.y()))
            return fit.refusal = QStringLiteral("a point that is not a finite number"), fit;
        mean += p / fit.points;
    }
    if (span(anglesDeg) <= 0)
        return fit.refusal = QStringLiteral("all points at the same angle"), fit;
    double spread = 0;
    for (const QPointF& p : image)
        spread = std::max(spread, std::hypot(p.x() - mean.x(), p.y() - mean.y()));
    if (spread < MinRunOutPx)
        return fit.refusal = QStringLiteral("all points coincide (within %1 px): no circle").arg(spread, 0, 'g', 2), fit;

    // Algebraic step (x² + y² + D x + E y + F = 0), for the sense of rotation: the points turn
    // around that centre the way the angles say.
    cv::Mat a(fit.points, 3, CV_64F), b(fit.points, 1, CV_64F);
    for (int i = 0; i < fit.points; ++i) {
        const double x = image[i].x() - mean.x(), y = image[i].y() - mean.y();
        a.at<double>(i, 0) = x;
        a.at<double>(i, 1) = y;
        a.at<double>(i, 2) = 1.0;
        b.at<double>(i) = -(x * x + y * y);
    }
    cv::Mat p, cov;
    double ssr = 0;
    if (!leastSquares(a, b, &p, &cov, &ssr))
        return fit.refusal = QStringLiteral("the points lie on a line: no circle"), fit;
    const QPointF algebraic(-p.at<double>(0) / 2.0, -p.at<double>(1) / 2.0);
    double turn = 0;   // sum over successive points of (angle step) x (image cross product)
    for (int i = 1; i < fit.points; ++i) {
        const QPointF u = image[i - 1] - mean - algebraic, v = image[i] - mean - algebraic;
        turn += (anglesDeg[i] - anglesDeg[i - 1]) * (u.x() * v.y() - u.y() * v.x());
    }
    fit.clockwise = turn >= 0;   // image rows grow downwards: a positive cross product turns clockwise
    const double sense = fit.clockwise ? 1.0 : -1.0;

    // Refinement with the known angles: point_i = centre + R(sense * angle_i) (u, v), linear in
    // (cx, cy, u, v); its residual is the geometric distance of each point from its place.
    cv::Mat m(2 * fit.points, 4, CV_64F, cv::Scalar(0)), q(2 * fit.points, 1, CV_64F);
    const double a0 = anglesDeg[0];
    for (int i = 0; i < fit.points; ++i) {
        const double t = sense * (anglesDeg[i] - a0) * Pi / 180.0;
        m.at<double>(2 * i, 0) = 1;
        m.at<double>(2 * i, 2) = std::cos(t);
        m.at<double>(2 * i, 3) = -std::sin(t);
        m.at<double>(2 * i + 1, 1) = 1;
        m.at<double>(2 * i + 1, 2) = std::sin(t);
        m.at<double>(2 * i + 1, 3) = std::cos(t);
        q.at<double>(2 * i) = image[i].x() - mean.x();
        q.at<double>(2 * i + 1) = image[i].y() - mean.y();
    }
    if (!leastSquares(m, q, &p, &cov, &ssr))
        return fit.refusal = QStringLiteral("the angles do not determine a circle"), fit;
    fit.centre = mean + QPointF(p.at<double>(0), p.at<double>(1));
    fit.centreSigmaPx = std::sqrt(cov.at<double>(0, 0) + cov.at<double>(1, 1));
    const double u = p.at<double>(2), v = p.at<double>(3);
    fit.radiusPx = std::hypot(u, v);
    fit.radiusSigmaPx = std::sqrt((u * u * cov.at<double>(2, 2) + v * v * cov.at<double>(3, 3))
                                  / std::max(fit.radiusPx * fit.radiusPx, 1e-300));
    fit.phaseDeg = std::atan2(v, u) * 180.0 / Pi;
    fit.rmsPx = std::sqrt(ssr / fit.points);
    fit.ok = true;
    return fit;
}

FocusFit fitFocus(const std::vector<double>& positions, const std::vector<double>& widths, int minPoints)
{
    FocusFit fit;
    fit.points = int(std::min(positions.size(), widths.size()));
    minPoints = std::max(minPoints, 4);
    if (positions.size() != widths.size() || fit.points < minPoints)
        return fit.refusal = tooFew(fit.points, minPoints), fit;
    if (!allFinite(positions) || !allFinite(widths))
        return fit.refusal = QStringLiteral("a value that is not a finite number"), fit;
    if (span(positions) <= 0)
        return fit.refusal = QStringLiteral("all points at the same position"), fit;
    double centre = 0;
    for (double z : positions)
        centre += z / fit.points;
    cv::Mat a(fit.points, 3, CV_64F), b(fit.points, 1, CV_64F);
    for (int i = 0; i < fit.points; ++i) {
        const double z = positions[i] - centre;
        a.at<double>(i, 0) = 1;
        a.at<double>(i, 1) = z;
        a.at<double>(i, 2) = z * z;
        b.at<double>(i) = widths[i] * widths[i];
    }
    cv::Mat p, cov;
    double ssr = 0;
    if (!leastSquares(a, b, &p, &cov, &ssr))
        return fit.refusal = QStringLiteral("the points do not determine a parabola"), fit;
    const double c0 = p.at<double>(0), c1 = p.at<double>(1), c2 = p.at<double>(2);
    const auto range = std::minmax_element(positions.begin(), positions.end());
    if (!(c2 > 0))
        return fit.refusal = QStringLiteral("no minimum: the width does not grow on both sides"), fit;
    const double vertex = -c1 / (2 * c2);
    fit.best = centre + vertex;
    if (fit.best <= *range.first || fit.best >= *range.second)
        return fit.refusal = QStringLiteral("the minimum (%1) lies outside the sweep %2 .. %3")
                                 .arg(fit.best, 0, 'f', 4)
                                 .arg(*range.first, 0, 'f', 4)
                                 .arg(*range.second, 0, 'f', 4),
               fit;
    const int below = int(std::count_if(positions.begin(), positions.end(), [&](double z) { return z < fit.best; }));
    if (below < 2 || fit.points - below < 2)
        return fit.refusal = QStringLiteral("fewer than two points on one side of the minimum"), fit;
    const double g1 = -1.0 / (2 * c2), g2 = c1 / (2 * c2 * c2);
    fit.bestSigma = std::sqrt(std::max(0.0, g1 * g1 * cov.at<double>(1, 1) + 2 * g1 * g2 * cov.at<double>(1, 2)
                                                + g2 * g2 * cov.at<double>(2, 2)));
    fit.widthAtBest = std::sqrt(std::max(0.0, c0 - c1 * c1 / (4 * c2)));
    double sum = 0;
    for (int i = 0; i < fit.points; ++i) {
        const double z = positions[i] - centre;
        sum += std::pow(widths[i] - std::sqrt(std::max(0.0, c0 + c1 * z + c2 * z * z)), 2);
    }
    fit.rmsPx = std::sqrt(sum / fit.points);
    fit.ok = true;
    return fit;
}

} // namespace calibfit
