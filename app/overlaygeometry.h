#pragma once

#include <QPoint>
#include <QPointF>
#include <QSize>

#include <opencv2/core.hpp>

#include <vector>

// Geometry of the guide marks drawn over the camera views and of the mouse selection of an
// area of interest. Pure arithmetic in image pixels; the views draw the result.
namespace overlay {

// A straight mark from (x1, y1) to (x2, y2) in image pixels. Coordinates are whole numbers
// held as doubles, so that a mark far outside the image stays exact until it is clipped.
struct Segment {
    double x1, y1, x2, y2;
    cv::Scalar colour;
};

struct Circle {
    double cx, cy, radius;
    cv::Scalar colour;
};

struct Marks {
    std::vector<Segment> segments;
    std::vector<Circle> circles;
};

// Everything the Top Large marks depend on. Positions and distances in axis units, pixel
// size in thousandths of an axis unit per Top Large pixel.
struct TopLargeInputs {
    int width = 0;                 // frame columns
    int height = 0;                // frame rows
    int centerH = 0;               // row of the centring line
    int circlesNumber = 0;
    double circlesSpace = 0;
    int chargingH = 0;             // centre of the circles
    int chargingV = 0;
    int focalX = 0;                // inscription focal mark
    int focalY = 0;
    double focusZ = 0;             // Z at which the stone is in inscription focus
    double currentZ = 0;
    double pixelSize = 0;
    double focusZII = 0;           // ZII at which the front camera is in focus
    double currentZII = 0;
    int frontColumn = 0;           // column of the front-camera line when ZII is in focus
    int frontFocalRow = 0;         // row of the front-camera wedge tip
};

// A value truncated towards zero, or false when it is not finite. The marks use it for every
// position computed from a division, so a pixel size of 0 yields no mark rather than an
// undefined integer.
bool truncated(double value, double* out);

// The centring circles: radius (i + 1) * space truncated, colour (i*s, 255 - i*s, 0) with
// s = 255 / (i + 1) in integer division.
std::vector<Circle> centringCircles(int number, double space, double cx, double cy);

// Centring line, circles, inscription focal wedge (tip moves with Z) and front-camera line
// and wedge (tip moves with ZII). Marks whose position is not finite are left out.
Marks topLargeMarks(const TopLargeInputs& in);

// The cross through the middle of a Marking Front frame of the camera's width and height.
Marks markingFrontCross(int width, int height);

// Clips a segment to the rectangle [left, right] x [top, bottom]; false when nothing is left.
bool clipSegment(double& x1, double& y1, double& x2, double& y2, double left, double top, double right, double bottom);

// Draws marks given in image pixels onto a picture that shows the image stretched by sx, sy.
// Lines keep their 2-pixel look at the view's scale (never thinner than 1 pixel).
void draw(cv::Mat& viewImage, const Marks& marks, double sx, double sy);

// One coordinate of an area of interest from a mouse position in a view: position * scale,
// rounded to the nearest integer (halves away from zero), then lowered by one when odd, so the
// camera gets the even start and size it needs.
int aoiCoordinate(double viewPosition, double scale);

// The camera pixel under a view position. clampToView limits the position to at most the
// view's width and height (no lower limit); false when the view has no size.
bool aoiPoint(const QPointF& viewPosition, const QSize& viewSize, const QSize& cameraSize, bool clampToView, QPoint* out);

} // namespace overlay
