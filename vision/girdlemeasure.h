#pragma once

// The girdle measured on one Marking Front frame: the band's upper and lower edges across the
// frame, its thickness, tilt and edge width (the focus measure), or a refusal with its reason.
// A pure function of the frame and a few parameters: the analyser, the scan, the alignment and
// the offline tool girdle-replay all call it, so a saved frame replays to the same values.
//
// Coordinates are those of the frame as delivered (origin top left, y downwards); pixel (x, y)
// covers x - 0.5 .. x + 0.5, so pixel centres lie at integer coordinates.
//
// How: the frame is reduced to vertical strips (column means, full vertical resolution); in
// each strip the vertical derivative of the smoothed profile marks edges. The strongest
// continuous, nearly horizontal paths through the strips are searched for (a dynamic
// programme that lets an edge climb a little per strip, which follows tilt and a scalloped
// edge but not the slanted facet junctions); each strip's edge is refined to sub-pixel by a
// parabola through the derivative's peak. The band is put together from the paths' runs
// (girdleband.h): the outermost pair of edge chains that are alike in sharpness and keep a
// slowly changing thickness. Where one edge hides (a facet as bright as the girdle) it is
// placed by the band's thickness from the other edge, or bridged from its own neighbours,
// between the strips where both were seen; beyond them the columns are not measured.

#include <QString>

#include <opencv2/core.hpp>

#include <vector>

namespace girdle {

// Why a frame was refused.
constexpr const char* ReasonNoGirdle = "NOGIRDLE"; // no girdle band in view
constexpr const char* ReasonClipped = "CLIPPED";   // the band touches the top or bottom border
constexpr const char* ReasonBlur = "BLUR";         // too far out of focus to measure to a pixel

struct MeasureParameters
{
    double pixelSizeUm = 1.27;   // micrometres per pixel on the girdle (settings key PMMFPXS)
    int stripWidthPx = 8;        // columns averaged into one strip (at least width / 160)
    double minThicknessPx = 8.0; // thinner bands are not told apart from a single edge
    double maxEdgeWidthPx = 24.0; // 10-90 % rise beyond which the frame is refused as BLUR
    double minEdgeContrast = 1.2; // grey levels per row of the derivative an edge needs
    double minCoverage = 0.3;    // share of strips in which each edge must be seen
    int borderMarginPx = 2;      // an edge this close to the top or bottom row is CLIPPED
    // The pixel size is the front camera's (settings::motion::MFPixelSize); the thresholds
    // above have no keys of their own.
};

struct Measurement
{
    bool ok = false;
    QString reason;                 // one of the Reason* texts when !ok, empty when ok

    // Per column (size = frame width when ok), sub-pixel y of the band's upper and lower edge;
    // between the strips where an edge was seen it is interpolated, beyond the outermost ones
    // (two strips on) it is NaN. A column with either edge NaN is not measured: an edge that
    // hides at a side of the frame is not placed there by a held thickness.
    std::vector<double> top, bottom;

    double topMid = -1.0;           // edges at x = (width - 1) / 2
    double bottomMid = -1.0;
    double thicknessPx = -1.0;      // bottomMid - topMid
    double thicknessUm = -1.0;      // thicknessPx * pixelSizeUm
    double minThicknessPx = -1.0;   // over the measured columns
    double maxThicknessPx = -1.0;
    // Of the least-squares line through the band's centre line over the middle half of the
    // columns (width / 4 .. width - width / 4 - 1), degrees, positive when the right end is
    // lower (y grows to the right). Taken with the lower edge's fitted curve and, where one
    // edge hides at a side, the thickness held there (the per-column edges leave it NaN).
    double tiltDeg = 0.0;
    double edgeWidthPx = -1.0;      // 10-90 % rise of the edges near the middle (focus measure)
    double centreOffsetPx = 0.0;    // band centre at the middle column minus (height - 1) / 2
    double coverage = 0.0;          // share of strips in which both edges were seen
};

// Measures the girdle on an 8-bit BGR (or grey) frame. Never throws; an empty or unusable
// frame gives a NOGIRDLE refusal.
Measurement measureGirdle(const cv::Mat& frame, const MeasureParameters& p = MeasureParameters());

} // namespace girdle
