#pragma once

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <vector>

// The girdle panorama: the front frames of one scan, joined into one unrolled image of the
// girdle. Pure functions (no component, no file), used by the scan at its end and by the offline
// replay tool, so that both give the same image for the same frames.
//
// Between two frames the stone turned by the scan's step, so the girdle texture of the later
// frame continues the earlier one to the right by the step in pixels
// (step degrees / 360 * pi * D / front pixel size). Each seam is registered by phase
// correlation of the two frames' overlap, looking for the peak only in a small window around
// that predicted offset; a seam that cannot be registered confidently (blur, no texture, too
// little overlap) takes the step the other seams of the scan measured, or the predicted step
// when none did. Seams are blended with a linear feather across the overlap. A scan that goes
// round the whole girdle closes the ring: the last frame is registered to the first, and the
// panorama is one circumference wide. Where neighbouring frames do not overlap, the missing
// girdle is marked with red hatching and reported as a gap.
namespace panorama {

struct Options
{
    // Half width of the search window around the predicted offset, as a fraction of the
    // predicted step (a diameter measured a few percent off moves every seam alike), at
    // least minSearchPx, at most a third of the overlap.
    double searchFraction = 0.05;
    int minSearchPx = 8;
    // Half height of the vertical search window (the front alignment re-centres the girdle
    // before every frame, so neighbours differ by a few rows at most).
    int maxVerticalPx = 8;
    // Narrower overlaps are not registered.
    int minOverlapPx = 24;
    // Wider overlaps are registered on their central part only.
    int maxStripPx = 384;
    // Normalised correlation of the two frames' structure at the found offset below which a
    // seam is not trusted.
    double minConfidence = 0.3;
};

struct Seam
{
    int from = 0;              // earlier frame index
    int to = 0;                // later frame index (0 for the seam that closes the ring)
    double predictedPx = 0.0;  // offset the scan geometry predicts
    double foundPx = 0.0;      // offset registration found (NaN when none was tried or found)
    double foundDyPx = 0.0;    // vertical offset found (rows)
    double confidence = 0.0;   // normalised correlation at the found offset, -1..1
    bool registered = false;   // foundPx was used; otherwise the fallback offset
    bool gap = false;          // the frames do not overlap
    double offsetPx = 0.0;     // offset used for the panorama (whole pixels after placement)
    QString reason;            // why the seam was not registered (empty when it was)
};

// A frame the panorama does not show, and why.
struct LeftOut
{
    int index = 0;             // frame index in the scan
    QString reason;
    bool unfit = false;        // another size, depth or channel count than the scan's frames (true),
                               // or past a full turn, repeating girdle already shown (false)
};

struct Result
{
    cv::Mat image;             // 8-bit BGR like the frames; empty when there were no frames
    std::vector<Seam> seams;   // one per neighbouring pair, plus the closing seam
    std::vector<int> frameX;   // column of every frame's left edge in the panorama
    int framesUsed = 0;        // frames in the panorama (a scan turning past 360 repeats girdle)
    bool closed = false;       // the ring is closed: the image is one circumference wide
    double coverageDeg = 0.0;  // girdle covered by frames, degrees (0 when the circumference is unknown)
    int gapPx = 0;             // columns of girdle no frame shows
    double fallbackStepPx = 0.0; // the offset a seam that could not be registered got
    std::vector<LeftOut> leftOut; // frames given but not joined (empty ones are not listed)
};

// Registers `later` to `earlier` (both 8-bit BGR or grey of the same size) around the predicted
// offset. Fills foundPx, foundDyPx, confidence, registered, gap and reason; offsetPx is the
// found offset when registered, the predicted one otherwise.
Seam RegisterSeam(const cv::Mat& earlier, const cv::Mat& later, double predictedPx, const Options& options = Options());

// Joins the frames. stepPx: predicted offset between neighbours. circumferencePx: the girdle's
// circumference in pixels (pi * D / pixel size), 0 when unknown (then no ring is closed and no
// coverage is given). The scan's frames are those of the size, depth and channel count most of
// the frames have (8-bit, 1 or 3 channels; on a tie the earliest frame's); a frame that differs
// is left out and named in leftOut, as are frames past a full turn. Empty frames are skipped.
// known: seams registered earlier with these frames and options (RegisterSeam of frames `from`
// and `to` around predictedPx); a seam the join needs is taken from there when its frames and
// prediction match, and registered here otherwise.
Result Stitch(const std::vector<cv::Mat>& frames, double stepPx, double circumferencePx,
              const Options& options = Options(), const std::vector<Seam>& known = {});

// Predicted offset of neighbouring frames in pixels: step degrees / 360 * pi * D / pixel size
// (D in axis units, pixel size in thousandths of an axis unit). 0 when any input is not a
// positive finite number.
double StepPixels(double stepDeg, double diameter, double pixelSizeThousandths);
double CircumferencePixels(double diameter, double pixelSizeThousandths);

// One line per seam and a summary line, for the log and the operator.
QStringList Describe(const Result& result);
QString SeamLine(const Seam& seam);
QString Summary(const Result& result);
QString LeftOutLine(const LeftOut& frame);
// "1280x1024 px, 8-bit, 3 channels"
QString FormatOf(const cv::Mat& frame);

} // namespace panorama
