#pragma once

#include "core/settingscatalog.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

class Registry;

// The girdle analyser's work on one Marking Front frame, as a pure function of the frame and a
// snapshot of the parameters: an inverted gradient image, its adaptive threshold, edges and
// their contours for display, and the probabilistic Hough segments with a second drawing of
// the near-horizontal ones. It produces images, not measurements.
namespace vision {

struct GridleParams
{
    // Defaults are the declared ones (settings::gridle).
    double threshMin = settings::gridle::ThreshMin.number; // value the adaptive threshold writes (saturated to 8 bits)
    double threshMax = settings::gridle::ThreshMax.number; // stored and editable; not used by the analysis
    double cannyThreshVal = settings::gridle::CannyThreshVal.number;
    int cannyThreshRatio = settings::intDefault(settings::gridle::CannyThreshRatio);
    int cannyThreshKernel = settings::intDefault(settings::gridle::CannyThreshKernel);
    int erode = settings::intDefault(settings::gridle::Erode); // threshold morphology, ellipse element
    int dilate = settings::intDefault(settings::gridle::Dilate);
    bool invertErodeDilate = settings::boolDefault(settings::gridle::InvertErodeDilate);
    int erodeCanny = settings::intDefault(settings::gridle::ErodeCanny); // edge morphology, rectangle element
    int dilateCanny = settings::intDefault(settings::gridle::DilateCanny);
    bool invertErodeDilateCanny = settings::boolDefault(settings::gridle::InvertErodeDilateCanny);
    // Weights and offset of the gradient blend.
    double gradAlpha = settings::gridle::GradAlpha.number;
    double gradBeta = settings::gridle::GradBeta.number;
    double gradGamma = settings::gridle::GradGamma.number;
    // Hough: distance resolution (px), angle resolution (rad), accumulator votes, segment
    // length and gap (px).
    double linesRho = settings::gridle::LinesRho.number;
    double linesTheta = settings::gridle::LinesTheta.number;
    int linesThreshold = settings::intDefault(settings::gridle::LinesThreshold);
    double linesMinLength = settings::gridle::LinesMinLength.number;
    double linesMaxGap = settings::gridle::LinesMaxGap.number;

    // Reads the 19 settings keys, each missing key giving its default.
    static GridleParams fromRegistry(Registry& registry);
    // Writes the 19 keys (reals with six significant digits); does not save the file.
    void toRegistry(Registry& registry) const;
};

// The images of one frame; every one is a new matrix, nothing held before is written into.
struct GridleImages
{
    cv::Mat grad;             // blended gradient, inverted: strongest edge black, flat white
    cv::Mat thresh;           // adaptive threshold of grad; the Hough input
    cv::Mat threshTransformed;// thresh after the threshold morphology; the Canny input
    cv::Mat canny;            // Canny edges
    cv::Mat cannyTransformed; // contours of the edges redrawn, then the edge morphology
    cv::Mat linesDrawing;     // every Hough segment
    cv::Mat linesProcessing;  // the segments at more than 140 degrees (GetLineAngle)
    cv::Mat result;           // the frame as received
};

// Wall time of each step of one frame, nanoseconds (for the benchmark's split).
struct GridleStepTimes
{
    std::int64_t smoothGrey = 0;
    std::int64_t gradient = 0;
    std::int64_t invert = 0;
    std::int64_t threshold = 0;
    std::int64_t threshMorph = 0;
    std::int64_t canny = 0;
    std::int64_t contours = 0;
    std::int64_t edgeMorph = 0;
    std::int64_t hough = 0;
};

// Whether a segment goes to the near-horizontal drawing: 140 < GetLineAngle < 220. The angle
// never exceeds 180, so this keeps segments drawn left to right that are level or fall toward
// B by less than 40 degrees.
bool isNearHorizontalAngle(double degrees);
bool isNearHorizontalSegment(const cv::Vec4i& segment);

// Rising-edge derivative of an 8-bit image clipped to 8 bits: negative derivatives give 0 and
// values above 255 give 255. Reference formulation (a Sobel into 16-bit unsigned, then the
// absolute value saturated to 8 bits) and the one the analysis uses (one Sobel straight into
// 8 bits, whose saturation does the same clipping at a fraction of the cost).
void risingGradientReference(const cv::Mat& grey, cv::Mat& out, int dx, int dy);
void risingGradient(const cv::Mat& grey, cv::Mat& out, int dx, int dy);

// Scales the blended gradient so that its maximum becomes 0 and zero stays 255. An all-zero
// gradient (a flat frame) has no maximum to scale by and comes out all white.
void invertGradient(cv::Mat& grad);

// Draws every segment on linesDrawing and the near-horizontal ones on linesProcessing.
void drawSegments(const std::vector<cv::Vec4i>& segments, cv::Mat& linesDrawing,
                  cv::Mat& linesProcessing);

// Processes one BGR frame. Each image in `images` is replaced as soon as its step completes.
// OpenCV errors propagate as cv::Exception; Hough resolutions that are not positive, or so
// fine that the vote table would not fit in memory, are rejected with std::invalid_argument
// before the transform runs. Images of completed steps are already replaced then.
void processGridleFrame(const cv::Mat& frame, const GridleParams& params, GridleImages& images,
                        GridleStepTimes* times = nullptr);

} // namespace vision
