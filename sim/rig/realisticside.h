#pragma once

// A front view that looks like a real girdle under the Marking Front camera, with its exact
// ground truth. The camera looks at the round stone's girdle from the side: the girdle is a
// band across the frame (frosted, polished with a reflection streak, or cut into narrow
// vertical facets), its upper edge scalloped where the facets above meet it, its thickness
// varying around the stone, tilted and moving up and down with A when the stone is not level.
// The stone is held table-down, so the pavilion's facets lie above the girdle and the crown's
// below; their facets take every brightness, some as bright as the girdle. The round girdle is
// a cylinder seen side-on: the texture crowds towards the frame's sides and the blur grows
// there (the surface leaves the focal plane), on top of the defocus of ZII. Around it: uneven
// light, vignetting, exposure, dust, a flare across the band, the glyphs of an earlier
// inscription, the holder's jaw and sensor noise. Equal descriptions render equal images.
//
// Coordinates: pixel (x, y) covers x - 0.5 .. x + 0.5, so pixel centres are at integers. The
// truth is that of the geometry before blur.

#include <opencv2/core.hpp>

#include <vector>

namespace rig {

enum class GirdleFinish { Frosted, Polished, Faceted };

const char* finishName(GirdleFinish finish);

struct SideStone
{
    double diameterMm = 5.0;
    double thicknessMm = 0.125;      // mean girdle thickness around the stone
    double thicknessVariation = 0.0; // relative: the thickness runs t * (1 + v cos(theta - phase))
    double thicknessPhaseDeg = 0.0;
    double scallopDepthMm = 0.0;     // how far the facets above cut into the upper edge
    int scallops = 16;               // around the stone
    double levelErrorDeg = 0.0;      // girdle plane against the turning axis
    double levelPhaseDeg = 0.0;      // angle around the stone where the girdle is highest
    GirdleFinish finish = GirdleFinish::Frosted;
    double girdleGrey = 170.0;       // brightness of the girdle surface
    double streakPosition = 0.4;     // polished: the streak's place in the band, 0 = top, 1 = bottom
    unsigned seed = 1;               // facet shades, grain, glyph places
};

struct SideView
{
    SideStone stone;
    double pixelUm = 1.27;
    double aDeg = 0.0;               // the A axis
    double centreRow = 511.5;        // row of the girdle centre line for a level stone
    double defocusMm = 0.0;          // ZII away from the focus of the middle column
    double blurPerMm = 0.1;          // Gaussian sigma (mm on the object) per mm of defocus
    // Facets: the brightness of the facet above and below the girdle at the middle column;
    // negative = drawn from the seed like the others.
    double facetAboveGrey = -1.0;
    double facetBelowGrey = -1.0;
    // Surroundings.
    double exposure = 1.0;           // brightness factor; bright areas saturate
    double vignetting = 0.0;         // relative darkening at the corners
    double lightGradient = 0.0;      // relative brightness change from left to right
    int dust = 0;
    bool flare = false;              // a bright soft streak across the band
    bool inscription = false;        // glyphs of an earlier inscription on the girdle
    bool jaw = false;                // the holder's jaw in a lower corner
    double noiseSigma = 0.0;         // grey levels
    unsigned surroundSeed = 1;
};

struct SideTruth
{
    std::vector<double> top, bottom; // per column, rows of the band's upper and lower edges
    double topMid = 0.0;             // at x = (width - 1) / 2
    double bottomMid = 0.0;
    double thicknessMid = 0.0;
    double minThickness = 0.0;
    double maxThickness = 0.0;
    double tiltDeg = 0.0;            // least-squares line through the centre line; + right end lower
    double sigmaMidPx = 0.0;         // blur at the middle column
};

SideTruth sideTruth(const SideView& view, cv::Size size);

// The view as an 8-bit BGR image of the given size.
cv::Mat renderSide(const SideView& view, cv::Size size);

// A stone and surroundings drawn from a seed (finish, scallops, thickness variation, level
// error, facet shades, dust, flare, glyphs, jaw, light); geometry that belongs to the rig
// (diameter, thickness, position, A, defocus) is left for the caller.
SideView randomSideView(unsigned seed);

} // namespace rig
