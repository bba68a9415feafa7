#pragma once

#include <QString>

// Turning one top-view (TL) measurement into axis targets, and the residual left after an
// alignment. Pure functions, shared by MotionCore and its tests.
//
// Units: tracker values and overlay marks are TL image pixels (origin top left, y downwards; the
// TL frame is turned 90 degrees, so the machine's X axis moves the stone along the image rows).
// Pixel sizes are thousandths of an axis unit per pixel; targets and positions are axis units.
namespace alignment {

// The six numbers the top tracker publishes. centerX of -1 or less means "no stone".
struct TrackerMeasurement
{
    double centerX = -1;
    double centerY = -1;
    double focalX = -1;   // right edge of the outline at centre height
    double focalY = -1;
    double mfX = -1;      // top edge of the outline at the centre column
    double mfY = -1;
};

// The calibration the targets are computed from (a snapshot of MotionCore's parameters); the
// defaults are the settings' declared defaults.
struct Parameters
{
    Parameters();
    int overlayTLCenterH;           // row the stone's centre must reach for inscription
    int overlayTLFocalX;            // column of the inscription focal mark
    int overlayMFCenterV;           // column of the front camera's vertical centring line
    int overlayMFFocalX;            // row the stone's top edge must reach for the front camera
    double tlPixelSize;             // thousandths of an axis unit per TL pixel
    double tlZFocusPosition;
    double tlYOffsetPosition;
    double mfYOffsetPosition;
    double mfXFocusPosition;
    double roundCrownPercent;
    double roundGridlePercent;
};

struct Targets
{
    bool valid = false;            // false: no stone, or a value that is not a finite number
    double stoneDiameter = 0;
    // Inscription position.
    double inscriptionX = 0;       // CYMoveDist
    double inscriptionY = 0;       // CXMoveDist
    double inscriptionZ = 0;       // CZMoveDist
    // In front of the front camera (panorama).
    double panoramaX = 0;          // CXPanorMoveDist
    double panoramaY = 0;          // CYPanorMoveDist
    double panoramaZII = 0;        // CZIIPanorMoveDist
};

// Axis units per TL pixel.
double AxisUnitsPerPixel(const Parameters& parameters);
// The stone's diameter in axis units: its vertical plus its horizontal radius in the TL image
// (centre to top edge, centre to right edge), times the pixel size (thousandths of an axis unit).
double StoneDiameter(const TrackerMeasurement& measurement, double tlPixelSize);
// Crown height plus half the girdle height, as a fraction of the diameter (0.1665 by default).
double GirdleCentreFraction(const Parameters& parameters);

// Targets from one measurement taken while X stood at currentX. The X targets are corrections
// relative to that position; Y, Z and ZII are absolute positions from the calibration.
Targets ComputeTargets(const TrackerMeasurement& measurement, double currentX, const Parameters& parameters);

enum class Kind { Inscription, InscriptionX, Panorama };
QString KindName(Kind kind);

struct AxisPositions
{
    double x = 0;
    double y = 0;
    double z = 0;
    double a = 0;
    double zii = 0;
};

// What is left after an alignment: for each axis it moved, target minus reported position, in
// axis units and in TL pixels. For X this is the stone's distance from its mark in the image;
// for Y, Z and ZII it is the distance from the calibrated position, expressed in pixels.
struct Residual
{
    bool valid = false;
    Kind kind = Kind::Inscription;
    double xPixels = 0, xUnits = 0;
    bool yAligned = false;         // the X-only alignment leaves Y where it is
    double yPixels = 0, yUnits = 0;
    double focusPixels = 0, focusUnits = 0;   // Z for inscription, ZII for the panorama
};

// Residual from the targets of a measurement taken after the alignment's last motion.
Residual ComputeResidual(Kind kind, const Targets& targets, const AxisPositions& positions, const Parameters& parameters);

// The largest distance, in axis units, of the axes the alignment aligns (Y only when yAligned).
double LargestResidualUnits(const Residual& residual);

// A measurement after the last motion that shows every aligned axis within this many Top Large
// pixels of its target needs no further move: the stone has landed and that measurement is the
// alignment's residual. Beyond it the alignment moves again (while it has iterations left). The
// tracker's own reading of the top edge varies by about a quarter pixel as the stone turns; a
// move by less than that would chase noise.
constexpr double LandingTolerancePx = 0.4;
bool Landed(const Residual& residual);

// "X 0.42 px (0.0107), Y -0.1 px (-0.00256), Z 0.05 px (0.00128)"; for the panorama the focus
// axis is named ZII.
QString ResidualText(const Residual& residual);

// Size of the TL view in pixels, as the tracker measures it (after the turn); 0 when unknown.
struct ViewSize
{
    int width = 0;
    int height = 0;
};

// Positions beyond this (axis units or degrees) are not a machine's: a host that reports them,
// or a target that reaches them, is not moved to.
constexpr double PositionLimit = 1e6;
// The largest pixel size the station accepts (thousandths of an axis unit, i.e. 1 mm).
constexpr double PixelSizeLimit = 1000.0;

// Empty when the calibration can give sensible targets; otherwise what is wrong with which
// setting ("PMTLPXS 1e+09 is outside (0, 1000]"). Marks are checked against the view when its
// size is known.
QString CheckParameters(const Parameters& parameters, double mfPixelSize, ViewSize view);

// All six values finite, a stone (centerX > -1), the right-edge point right of the centre and
// the top-edge point above it: the values come from one outline of a real stone.
bool MeasurementComplete(const TrackerMeasurement& measurement);

// Empty when the move the alignment of this kind would send from these targets is plausible:
// every value finite, every position within PositionLimit, and each axis moved no further than
// the TL view spans in axis units (the distance a measurement inside the view can justify).
// Otherwise a description of the first value that fails.
QString CheckMove(Kind kind, const Targets& targets, const AxisPositions& current, const Parameters& parameters,
                  ViewSize view);

} // namespace alignment
