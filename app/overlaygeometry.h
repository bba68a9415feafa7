#pragma once

#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QSize>

#include <opencv2/core.hpp>

#include <vector>

// Geometry of the guide marks drawn over the camera views and of the mouse selection of an
// area of interest. Pure arithmetic in image pixels; the views draw the result.
//
// Coordinates are continuous with pixel edges on whole numbers: frame pixel (c, r) covers
// [c, c + 1) x [r, r + 1). A view shows its frame through one ViewFit, and the marks and the
// mouse go through that same fit, so a mark and a click land on the same frame pixel.
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

// How a frame is shown in a view: scaled by one factor so that it fits, centred, the rest of
// the view left as bars (letterboxed), so a round stone stays round at any view size.
struct ViewFit {
    QSize frame;   // frame columns, rows
    QRect shown;   // where the scaled frame lies in the view, in view pixels
    double sx = 0; // view pixels per frame pixel across (shown width / frame width)
    double sy = 0; // and down; equal to sx up to the rounding of the shown size
    bool valid() const { return sx > 0 && sy > 0; }
    QPointF toView(const QPointF& framePoint) const;
    QPointF toFrame(const QPointF& viewPoint) const;
};

// The fit of a frame into a view; invalid (scales 0) when either has no size.
ViewFit fit(const QSize& frame, const QSize& view);

// Whether a camera's frames are its sensor's area of interest as read, or turned 90 degrees
// clockwise (the Top Large camera is mounted turned).
enum class Turn { None, Clockwise };

// A point of the frame as a point of the area of interest on the sensor (before the turn).
// Turned clockwise, the frame's columns run against the sensor's rows: sensor (x, y) =
// (frame y, frame width - frame x).
QPointF frameToSensor(const QPointF& framePoint, const QSize& frame, Turn turn);
QPointF sensorToFrame(const QPointF& sensorPoint, const QSize& frame, Turn turn);

// What a view needs to turn a mouse position into a sensor position.
struct ViewedCamera {
    QSize frame;              // size of the frame shown (after any turn)
    Turn turn = Turn::None;
    QPoint aoiOrigin;         // where the current area of interest starts on the sensor
};

// One coordinate of an area of interest from a mouse position in a view: position * scale,
// rounded to the nearest integer (halves away from zero), then lowered by one when odd, so the
// camera gets the even start and size it needs.
int aoiCoordinate(double viewPosition, double scale);

// The sensor pixel under a view position: through the view's fit to the frame, the turn and the
// area's origin, then rounded to even as aoiCoordinate does. clampToFrame limits the position
// to at most the frame's right and bottom edge (no lower limit); false when the view or the
// frame has no size.
bool aoiPoint(const QPointF& viewPosition, const QSize& viewSize, const ViewedCamera& camera, bool clampToFrame, QPoint* out);

// The sensor rectangle spanned by the two corners of a drag, whichever way it went. On a
// turned view the corner under the press is not the rectangle's start on the sensor.
QRect aoiRectangle(const QPoint& pressSensor, const QPoint& releaseSensor);

} // namespace overlay
