#pragma once

#include <QPointF>
#include <QString>

#include <vector>

// The least-squares fits of the station's calibration, as pure functions: points in, a fitted
// value with its uncertainty and residual out, or a refusal with its reason. A refused fit has
// ok false and `refusal` saying why in words the operator reads ("too few points: 2, at least 3").
//
// Units are the caller's: image points in pixels, moves in axis units, angles in degrees.
namespace calibfit {

// y = intercept + slope * x.
struct LineFit
{
    bool ok = false;
    QString refusal;
    double slope = 0, intercept = 0;
    double slopeSigma = 0, interceptSigma = 0;   // one standard deviation
    double rms = 0;                              // root mean square of y - fit
    int points = 0;
};
LineFit fitLine(const std::vector<double>& x, const std::vector<double>& y);

// Image displacement of a feature for known moves of one axis: image = origin + v * move, with
// v the image vector (pixels per axis unit) of a unit move. Gives the pixel size (thousandths of
// an axis unit per pixel) and the angle of v in the image, measured from `reference` (the image
// direction the axis should move the feature in: (0, -1) when the axis moves it up the rows).
struct ScaleFit
{
    bool ok = false;
    QString refusal;
    double pixelSizeUm = 0, pixelSizeSigmaUm = 0;
    double rotationDeg = 0, rotationSigmaDeg = 0;  // + clockwise in the image (rows down)
    QPointF origin;                                 // image point at move 0
    double rmsPx = 0;                               // distance of the points from the fitted line
    int points = 0;
};
ScaleFit fitScale(const std::vector<double>& moves, const std::vector<QPointF>& image, QPointF reference);

// A point turned around an axis: points measured at known angles lie on a circle. The centre is
// the axis in the image; the radius the run-out of the point around it; the phase the angle of
// the point, seen from the centre, at the first angle (degrees, clockwise from the image's +x).
// Algebraic fit first, then refined on the geometric distance with the known angles; the sense
// of rotation (image clockwise or not) is taken from the points.
struct CircleFit
{
    bool ok = false;
    QString refusal;
    QPointF centre;
    double centreSigmaPx = 0;
    double radiusPx = 0, radiusSigmaPx = 0;
    double phaseDeg = 0;
    bool clockwise = true;
    double rmsPx = 0;      // distance of the points from their fitted places
    int points = 0;
};
// Below this run-out the points do not describe a circle; the axis is then their mean.
constexpr double MinRunOutPx = 0.05;
CircleFit fitCircle(const std::vector<double>& anglesDeg, const std::vector<QPointF>& image);

// Focus sweep: a width that grows on both sides of the sharpest position (the girdle's edge
// width against ZII). The blur of a defocused edge adds in quadrature to its sharp width, so
// width² is a parabola in the position; its vertex is the best focus.
struct FocusFit
{
    bool ok = false;
    QString refusal;
    double best = 0, bestSigma = 0;   // axis units
    double widthAtBest = 0;           // pixels
    double rmsPx = 0;                 // width - fitted width
    int points = 0;
};
// At least minPoints points (5 for a result to be stored; a coarse sweep may ask with fewer to
// find where to sweep finely).
FocusFit fitFocus(const std::vector<double>& positions, const std::vector<double>& widths, int minPoints = 5);

} // namespace calibfit
