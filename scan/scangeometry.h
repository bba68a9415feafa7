#pragma once

#include <QString>

// Geometry of a girdle scan and the names of its frame files. Pure functions.
//
// The front (MF) camera looks at the girdle from the side; one frame spans a chord of width w
// (axis units) of the stone's circumference of diameter D. Turning the stone about A by the
// angle that chord subtends brings the next stretch of girdle in front of the camera.
namespace scangeometry {

// Frame counts beyond this are not a scan but a degenerate geometry (a frame a few microns
// wide); they are refused like a count below one.
constexpr int MaxImagesPerPerimeter = 3600;

// Width of girdle one frame spans, in axis units: sensor width in pixels times the pixel size
// (thousandths of an axis unit per pixel).
double FrameWidth(int sensorWidthPixels, double mfPixelSizeThousandths);

// Number of frames around the girdle with neighbouring frames overlapping by the fraction c of
// their width: the next whole number above pi / asin((1 - c) * w / D). Returns 0 when there is
// no usable count: D or w not positive, c of 1 or more, a chord longer than the diameter, a
// value that is not a finite number, or more than MaxImagesPerPerimeter frames. The
// floating-point value is range-checked before it is converted, never after.
int ImagesPerPerimeter(double D, double w, double c);

// Angle of girdle one frame spans, 2 * asin(w / D), in degrees. A frame at least as wide as the
// stone spans half of it (180). NaN when D or w is not a positive finite number.
double FrameAngleDegrees(double D, double w);

// Rotation between frames: the frame angle in stepped mode, 360 / N in automatic mode.
double RotationStep(bool stepped, int imageCount, double frameAngleDegrees);

// "img_00.png" ... "img_09.png", "img_10.png", "img_11.png", ... (two digits at least).
QString FrameFileName(int index);
// folder + "/" + FrameFileName(index)
QString FramePath(const QString& folder, int index);

} // namespace scangeometry
