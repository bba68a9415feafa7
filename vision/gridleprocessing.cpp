#include "vision/gridleprocessing.h"

#include "core/logs.h"
#include "core/registry.h"
#include "vision/linegeometry.h"
#include "vision/morphology.h"

#include <opencv2/imgproc.hpp>

#include <QString>

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>

namespace vision {

namespace {
// The probabilistic Hough transform keeps one int vote per (angle, distance) cell. Finer
// resolutions than this (a Lines Roh of 0.001 typed in the panel) would ask for gigabytes.
const double MaxHoughCells = double(1 << 25);


class StepClock
{
public:
    explicit StepClock(GridleStepTimes* times)
        : times(times)
    {
        if (times)
            last = std::chrono::steady_clock::now();
    }
    void lap(std::int64_t GridleStepTimes::*field)
    {
        if (!times)
            return;
        const auto now = std::chrono::steady_clock::now();
        times->*field = std::chrono::duration_cast<std::chrono::nanoseconds>(now - last).count();
        last = now;
    }

private:
    GridleStepTimes* times;
    std::chrono::steady_clock::time_point last;
};

void checkHoughResolution(const cv::Size& size, double rho, double theta)
{
    const bool finite = std::isfinite(rho) && std::isfinite(theta);
    const double angles = finite && theta > 0.0 ? std::round(CV_PI / theta) : 0.0;
    const double distances = finite && rho > 0.0 ? std::round(((size.width + size.height) * 2 + 1) / rho) : 0.0;
    if (angles < 1.0 || distances < 1.0 || angles * distances > MaxHoughCells)
        throw std::invalid_argument("Hough resolution out of range: rho " + std::to_string(rho)
                                    + " theta " + std::to_string(theta));
}
} // namespace

GridleParams GridleParams::fromRegistry(Registry& r)
{
    namespace key = settings::gridle;
    using settings::readBool;
    using settings::readInt;
    using settings::readReal;
    Logs& log = *Logs::AccessMemory();
    GridleParams p;
    p.threshMin = readReal(r, log, key::ThreshMin);
    p.threshMax = readReal(r, log, key::ThreshMax);
    p.cannyThreshVal = readReal(r, log, key::CannyThreshVal);
    p.cannyThreshRatio = readInt(r, log, key::CannyThreshRatio);
    p.cannyThreshKernel = readInt(r, log, key::CannyThreshKernel);
    p.erode = readInt(r, log, key::Erode);
    p.dilate = readInt(r, log, key::Dilate);
    p.invertErodeDilate = readBool(r, key::InvertErodeDilate);
    p.gradAlpha = readReal(r, log, key::GradAlpha);
    p.gradBeta = readReal(r, log, key::GradBeta);
    p.gradGamma = readReal(r, log, key::GradGamma);
    p.erodeCanny = readInt(r, log, key::ErodeCanny);
    p.dilateCanny = readInt(r, log, key::DilateCanny);
    p.invertErodeDilateCanny = readBool(r, key::InvertErodeDilateCanny);
    p.linesRho = readReal(r, log, key::LinesRho);
    p.linesTheta = readReal(r, log, key::LinesTheta);
    p.linesThreshold = readInt(r, log, key::LinesThreshold);
    p.linesMinLength = readReal(r, log, key::LinesMinLength);
    p.linesMaxGap = readReal(r, log, key::LinesMaxGap);
    return p;
}

void GridleParams::toRegistry(Registry& r) const
{
    namespace key = settings::gridle;
    using settings::write;
    write(r, key::ThreshMin, threshMin);
    write(r, key::ThreshMax, threshMax);
    write(r, key::CannyThreshVal, cannyThreshVal);
    write(r, key::CannyThreshRatio, cannyThreshRatio);
    write(r, key::CannyThreshKernel, cannyThreshKernel);
    write(r, key::Erode, erode);
    write(r, key::Dilate, dilate);
    write(r, key::InvertErodeDilate, invertErodeDilate);
    write(r, key::GradAlpha, gradAlpha);
    write(r, key::GradBeta, gradBeta);
    write(r, key::GradGamma, gradGamma);
    write(r, key::ErodeCanny, erodeCanny);
    write(r, key::DilateCanny, dilateCanny);
    write(r, key::InvertErodeDilateCanny, invertErodeDilateCanny);
    write(r, key::LinesRho, linesRho);
    write(r, key::LinesTheta, linesTheta);
    write(r, key::LinesThreshold, linesThreshold);
    write(r, key::LinesMinLength, linesMinLength);
    write(r, key::LinesMaxGap, linesMaxGap);
}

bool isNearHorizontalAngle(double degrees)
{
    return 140.0 < degrees && degrees < 220.0;
}

bool isNearHorizontalSegment(const cv::Vec4i& segment)
{
    return isNearHorizontalAngle(GetLineAngle(segment));
}

void risingGradientReference(const cv::Mat& grey, cv::Mat& out, int dx, int dy)
{
    cv::Mat derivative;
    cv::Sobel(grey, derivative, CV_16U, dx, dy, 3, 1, 0, cv::BORDER_DEFAULT);
    cv::convertScaleAbs(derivative, out, 1, 0);
}

void risingGradient(const cv::Mat& grey, cv::Mat& out, int dx, int dy)
{
    // An 8-bit Sobel saturates each sum to 0..255: exactly the 16-bit unsigned result (which
    // clamps negatives to 0) after its absolute value is saturated to 8 bits.
    cv::Sobel(grey, out, CV_8U, dx, dy, 3, 1, 0, cv::BORDER_DEFAULT);
}

void invertGradient(cv::Mat& grad)
{
    double maxVal = 0.0;
    cv::minMaxLoc(grad, nullptr, &maxVal);
    if (maxVal <= 0.0) {
        grad.setTo(cv::Scalar::all(255));
        return;
    }
    grad.convertTo(grad, CV_8U, -255.0 / maxVal, 255.0);
}

void drawSegments(const std::vector<cv::Vec4i>& segments, cv::Mat& linesDrawing,
                  cv::Mat& linesProcessing)
{
    for (const cv::Vec4i& s : segments) {
        const cv::Point a(s[0], s[1]);
        const cv::Point b(s[2], s[3]);
        cv::line(linesDrawing, a, b, cv::Scalar(255), 1, cv::LINE_8);
        if (isNearHorizontalSegment(s))
            cv::line(linesProcessing, a, b, cv::Scalar(255), 1, cv::LINE_8);
    }
}

void processGridleFrame(const cv::Mat& frame, const GridleParams& p, GridleImages& images,
                        GridleStepTimes* times)
{
    StepClock clock(times);
    images.result = frame.clone();

    cv::Mat smoothed;
    cv::GaussianBlur(frame, smoothed, cv::Size(3, 3), 0, 0, cv::BORDER_DEFAULT);
    cv::Mat grey;
    cv::cvtColor(smoothed, grey, cv::COLOR_BGR2GRAY);
    clock.lap(&GridleStepTimes::smoothGrey);

    cv::Mat absgradx;
    cv::Mat absgrady;
    risingGradient(grey, absgradx, 1, 0);
    risingGradient(grey, absgrady, 0, 1);
    cv::Mat grad;
    cv::addWeighted(absgradx, p.gradAlpha, absgrady, p.gradBeta, p.gradGamma, grad, -1);
    clock.lap(&GridleStepTimes::gradient);
    invertGradient(grad);
    images.grad = grad;
    clock.lap(&GridleStepTimes::invert);

    cv::Mat mainThresh;
    cv::adaptiveThreshold(grad, mainThresh, p.threshMin, cv::ADAPTIVE_THRESH_GAUSSIAN_C,
                          cv::THRESH_BINARY, 11, 0);
    // mainThresh is only read from here on, so the display image shares it.
    images.thresh = mainThresh;
    clock.lap(&GridleStepTimes::threshold);

    cv::Mat transformed = mainThresh.clone();
    MorphOpsEllipse(transformed, p.erode, p.dilate, p.invertErodeDilate);
    images.threshTransformed = transformed;
    clock.lap(&GridleStepTimes::threshMorph);

    cv::Mat edges;
    cv::Canny(transformed, edges, p.cannyThreshVal, p.cannyThreshVal * p.cannyThreshRatio,
              p.cannyThreshKernel, false);
    images.canny = edges;
    clock.lap(&GridleStepTimes::canny);

    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(edges, contours, hierarchy, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE, cv::Point(0, 0));
    cv::Mat redrawn = cv::Mat::zeros(edges.size(), CV_8UC1);
    // One call for all contours draws exactly what one call per contour draws (one value, one
    // pixel wide), but each call converts the whole contour list first: per contour, a noisy
    // frame with its ten thousands of contours took tens of seconds.
    cv::drawContours(redrawn, contours, -1, cv::Scalar(255), 1, cv::LINE_8);
    clock.lap(&GridleStepTimes::contours);
    MorphOpsRect(redrawn, p.erodeCanny, p.dilateCanny, p.invertErodeDilateCanny);
    images.cannyTransformed = redrawn;
    clock.lap(&GridleStepTimes::edgeMorph);

    cv::Mat linesDrawing = cv::Mat::zeros(edges.size(), CV_8UC1);
    cv::Mat linesProcessing = cv::Mat::zeros(edges.size(), CV_8UC1);
    images.linesDrawing = linesDrawing;
    images.linesProcessing = linesProcessing;
    checkHoughResolution(mainThresh.size(), p.linesRho, p.linesTheta);
    std::vector<cv::Vec4i> segments;
    cv::HoughLinesP(mainThresh, segments, p.linesRho, p.linesTheta, p.linesThreshold,
                    p.linesMinLength, p.linesMaxGap);
    drawSegments(segments, linesDrawing, linesProcessing);
    clock.lap(&GridleStepTimes::hough);
}

} // namespace vision
