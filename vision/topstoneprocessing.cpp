#include "vision/topstoneprocessing.h"

#include "core/registry.h"
#include "vision/linegeometry.h"
#include "vision/morphology.h"

#include <opencv2/imgproc.hpp>

#include <QString>

namespace vision {

TopStoneParams TopStoneParams::fromRegistry(Registry& registry)
{
    const TopStoneParams d;
    TopStoneParams p;
    p.threshMin = registry.GetKeyDOUBLE(KeyThreshMin, d.threshMin);
    p.threshMax = registry.GetKeyDOUBLE(KeyThreshMax, d.threshMax);
    p.cannyThreshVal = registry.GetKeyDOUBLE(KeyCannyThreshVal, d.cannyThreshVal);
    p.cannyThreshRatio = registry.GetKeyINT(KeyCannyThreshRatio, d.cannyThreshRatio);
    p.cannyThreshKernel = registry.GetKeyINT(KeyCannyThreshKernel, d.cannyThreshKernel);
    p.erode = registry.GetKeyINT(KeyErode, d.erode);
    p.dilate = registry.GetKeyINT(KeyDilate, d.dilate);
    p.invertErodeDilate = registry.GetKeyBOOL(KeyInvertErodeDilate, d.invertErodeDilate);
    p.areaMargin = registry.GetKeyINT(KeyAreaMargin, d.areaMargin);
    p.contourSizeMin = registry.GetKeyINT(KeyContourSizeMin, d.contourSizeMin);
    p.contourSizeMax = registry.GetKeyINT(KeyContourSizeMax, d.contourSizeMax);
    return p;
}

void TopStoneParams::toRegistry(Registry& registry) const
{
    registry.SetKey(KeyThreshMin, QString::number(threshMin, 'g', 6));
    registry.SetKey(KeyThreshMax, QString::number(threshMax, 'g', 6));
    registry.SetKey(KeyCannyThreshVal, QString::number(cannyThreshVal, 'g', 6));
    registry.SetKey(KeyCannyThreshRatio, QString::number(cannyThreshRatio));
    registry.SetKey(KeyCannyThreshKernel, QString::number(cannyThreshKernel));
    registry.SetKey(KeyErode, QString::number(erode));
    registry.SetKey(KeyDilate, QString::number(dilate));
    registry.SetKey(KeyInvertErodeDilate, invertErodeDilate ? QStringLiteral("1") : QStringLiteral("0"));
    registry.SetKey(KeyAreaMargin, QString::number(areaMargin));
    registry.SetKey(KeyContourSizeMin, QString::number(contourSizeMin));
    registry.SetKey(KeyContourSizeMax, QString::number(contourSizeMax));
}

bool passesEdgeRegularity(const std::vector<cv::Point>& polygon)
{
    const std::size_t n = polygon.size();
    if (n < 2)
        return false;
    const auto edge = [&polygon](std::size_t a, std::size_t b) {
        return GetLineLength(cv::Vec4i(polygon[a].x, polygon[a].y, polygon[b].x, polygon[b].y));
    };
    double longest = edge(0, n - 1);
    double runner = longest;
    for (std::size_t k = 1; k + 1 < n; ++k) {
        const double len = edge(k, k + 1);
        if (len > longest)
            longest = len;
        else if (len > runner)
            runner = len;
    }
    return 2.0 * runner > longest;
}

OutlineSelection selectStoneOutline(const std::vector<std::vector<cv::Point>>& contours,
                                    const TopStoneParams& params)
{
    OutlineSelection selection;
    std::vector<cv::Point> polygon;
    for (std::size_t i = 0; i < contours.size(); ++i) {
        const double epsilon = 0.01 * cv::arcLength(contours[i], true);
        cv::approxPolyDP(contours[i], polygon, epsilon, true);
        const double area = cv::contourArea(polygon, false);
        if (!(params.contourSizeMin < area && area < params.contourSizeMax) || polygon.size() <= 8)
            continue;
        if (!passesEdgeRegularity(polygon))
            continue;
        // The simplified polygon decides whether the outline is the stone; the centre is the
        // centroid of the outline itself. A polygon of a dozen or so vertices picked along a
        // circle has its centroid up to 1.7 px off the circle's centre, the traced outline
        // within a few hundredths of a pixel, and alignment puts this centre on its mark.
        const cv::Moments m = cv::moments(contours[i], true);
        // A zero-area outline has no centroid; it can only pass with a negative lower bound.
        if (m.m00 == 0.0)
            continue;
        selection.accepted.push_back(int(i));
        selection.result.CenterX = m.m10 / m.m00;
        selection.result.CenterY = m.m01 / m.m00;
    }
    if (selection.accepted.empty())
        return selection;

    const std::vector<cv::Point>& first = contours[std::size_t(selection.accepted.front())];
    cv::Point rightmost = first.front();
    cv::Point topmost = first.front();
    for (const cv::Point& pt : first) {
        if (pt.x > rightmost.x)
            rightmost = pt;
        if (pt.y < topmost.y)
            topmost = pt;
    }
    TopStoneResult& r = selection.result;
    r.FocalX = rightmost.x;
    r.FocalY = r.CenterY;
    r.MFX = r.CenterX;
    r.MFY = topmost.y;
    return selection;
}

cv::Mat topStoneHsv(const cv::Mat& frame)
{
    cv::Mat hsv;
    if (!frame.empty())
        cv::cvtColor(frame, hsv, cv::COLOR_BGR2HSV);
    return hsv;
}

TopStoneResult processTopStoneFrame(const cv::Mat& frame, const TopStoneParams& params,
                                    TopStoneImages& images, bool deferHsv)
{
    // Frames handed out by the camera never change, so the frame is read in place and, until
    // something is drawn on it, shown as the result without a copy. Every output is a fresh
    // matrix so that images already published are never written again.
    images.result = frame;

    cv::Mat grey;
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    if (deferHsv) {
        images.hsv = cv::Mat();
    } else {
        cv::Mat hsv;
        cv::cvtColor(frame, hsv, cv::COLOR_BGR2HSV);
        images.hsv = hsv;
    }
    images.frame = frame;

    cv::Mat mainThresh;
    cv::threshold(grey, mainThresh, params.threshMin, params.threshMax, cv::THRESH_BINARY);
    // mainThresh is not written after this point, so the display image can share it.
    images.thresh = mainThresh;
    cv::Mat transformed = mainThresh.clone();
    MorphOpsRect(transformed, params.erode, params.dilate, params.invertErodeDilate);
    images.threshTransformed = transformed;

    cv::Mat edges;
    cv::Canny(mainThresh, edges, params.cannyThreshVal,
              params.cannyThreshVal * params.cannyThreshRatio, params.cannyThreshKernel, false);
    images.contour = edges;

    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(transformed, contours, hierarchy, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                     cv::Point(0, 0));

    const OutlineSelection selection = selectStoneOutline(contours, params);
    if (selection.accepted.empty())
        return selection.result;

    cv::Mat result = frame.clone();
    for (int i : selection.accepted)
        cv::drawContours(result, contours, i, cv::Scalar(255, 255, 0), 2, cv::LINE_8, hierarchy, 0,
                         cv::Point(0, 0));
    const TopStoneResult& r = selection.result;
    const cv::Scalar white(255, 255, 255);
    cv::line(result, cv::Point(int(r.FocalX - 15), int(r.FocalY)),
             cv::Point(int(r.FocalX + 15), int(r.FocalY)), white, 2, cv::LINE_8);
    cv::line(result, cv::Point(int(r.MFX), int(r.MFY - 15)), cv::Point(int(r.MFX), int(r.MFY + 15)),
             white, 2, cv::LINE_8);
    images.result = result;
    return r;
}

} // namespace vision
