#pragma once

// A top view that looks like a real stone under the Top Large camera, with its exact ground
// truth: a faceted stone (per-facet brightness, some dark lower girdle facets reaching the
// outline, a bright or dark girdle rim, glints, dust) of one of the common shapes, on a steel
// holder disc or between jaws, with screw heads, dust and glints around it, reflections of
// distant bright objects at the frame's border, uneven light and vignetting, focus blur and
// sensor noise. The holder may be a bright disc behind the stone, with a bright rim, and carry
// a polished ring around the stone; jaws may stand at any angle, grey and worn, with or without
// a stone between them. Everything is drawn from a seed, so equal descriptions render equal images.
//
// Coordinates are those of the upright frame in pixels; pixel (x, y) covers x - 0.5 .. x + 0.5.
// The truth of a stone is that of its silhouette before blur: the area centroid of its outline,
// its largest x and its smallest y.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace rig {

enum class StoneShape { Round, Oval, Pear, Marquise, Cushion, Princess, Emerald };

const char* shapeName(StoneShape shape);

struct RealStone
{
    StoneShape shape = StoneShape::Round;
    cv::Point2d centre;          // of the shape's frame (the round stone's centre), px
    double lengthPx = 200.0;     // along the shape's long axis; the diameter of a round stone
    double widthRatio = 1.0;     // width / length (ignored for round stones)
    double rotationDeg = 0.0;    // of the long axis, clockwise in the frame
    double brightness = 1.0;     // 1 = a well lit stone; dim stones 0.6 .. 0.85
    bool darkRim = false;        // the girdle rim darker than the facets (else brighter)
    unsigned seed = 1;           // facet shades, glints and dust on the stone
};

struct StoneTruth
{
    cv::Point2d centroid;
    double right = 0.0;
    double top = 0.0;
    double areaPx = 0.0;
};

struct Surroundings
{
    enum class Holder { None, Disc, Jaws };
    Holder holder = Holder::Disc;
    cv::Point2d holderCentre{512.0, 640.0};
    double holderRadiusPx = 160.0;     // of the disc; half the gap between the jaws
    double holderLevel = 0.0;          // grey of the holder's steel; 0 = dark steel (about 50)
    bool brightRim = false;            // the disc's edge polished bright instead of dark
    double jawAngleDeg = 0.0;          // of the jaws' axis, clockwise (0: from the left and right)
    double jawLengthPx = 0.0;          // of each jaw along its axis; 0 = to the frame's borders
    double jawWidthPx = 0.0;           // across the axis; 0 = 2.2 x the gap + 60
    // A polished ring of the holder around its centre (the stone's seat), drawn over the
    // holder: inner radius, width and grey level; no ring when the width is 0.
    double ringInnerPx = 0.0;
    double ringWidthPx = 0.0;
    double ringLevel = 200.0;
    int screws = 0;
    int dust = 0;
    int glints = 0;           // on the holder
    int distantObjects = 0;   // bright out-of-focus reflections at the border
    double gradient = 0.0;    // relative brightness change from the centre to the side
    double gradientAngleDeg = 0.0;
    double vignetting = 0.0;  // relative darkening at the corners
    unsigned seed = 1;
};

struct RealisticView
{
    std::vector<RealStone> stones;
    Surroundings around;
    double blurSigmaPx = 0.0;
    double noiseSigma = 0.0;  // grey levels; 0 = none
    unsigned noiseSeed = 1;
};

// The outline of a stone in frame coordinates, counter-clockwise in the image, dense enough
// to stand for the curve (points at most about half a pixel apart).
std::vector<cv::Point2d> stoneOutline(const RealStone& stone);
StoneTruth stoneTruth(const RealStone& stone);

// The view as an 8-bit BGR image of the given size.
cv::Mat renderRealistic(const RealisticView& view, cv::Size size);

// Surroundings drawn from a seed: holder kind and size, screws, dust, glints, reflections,
// light. `stoneCentre` and `stoneRadiusPx` say where the stone lies, so that nothing but the
// holder touches it.
Surroundings randomSurroundings(unsigned seed, cv::Size size, cv::Point2d stoneCentre, double stoneRadiusPx);

} // namespace rig
