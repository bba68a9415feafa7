#include "vision/topstonetracker.h"

#include "camera/camtl.h"
#include "camera/camts.h"
#include "core/logs.h"
#include "core/registry.h"
#include "vision/linegeometry.h"
#include "vision/morphology.h"

#include <exception>

TopStoneTracker::TopStoneTracker(QObject* parent)
    : QThread(parent)
{
    try {
        logging = Logs::AccessMemory();
        logging->udebug(QStringLiteral("Loading Top Stone Tracker..."));
        AppRegistry = Registry::AccessMemory();
        tsCamera = CamTS::AccessMemory();
        tlCamera = CamTL::AccessMemory();
        connect(tsCamera, SIGNAL(newcapture()), this, SLOT(NewTSCaptureReady()));
        connect(tlCamera, SIGNAL(newcapture()), this, SLOT(NewTLCaptureReady()));
        connect(tlCamera, &CameraAcquisition::frozenChanged, this, &TopStoneTracker::TLCameraFrozen);
        LoadParams();
        // Opened before the start so that a Destroy() right after construction ends the loop.
        gate.open();
        start(QThread::TimeCriticalPriority);
        logging->udebug(QStringLiteral("Top Stone Tracker imported successfully"));
    } catch (const std::exception& e) {
        if (logging)
            logging->udebug(QStringLiteral("Error While Loading TopStoneTracker ") + QString::fromLocal8Bit(e.what()));
    }
}

TopStoneTracker::~TopStoneTracker()
{
    // A frame in progress is finished (and its signal emitted) before the loop sees the flag.
    gate.close();
    wait();
    if (logging)
        logging->udebug(QStringLiteral("Top Stone Tracker Destruction"));
}

void TopStoneTracker::NewTLCaptureReady()
{
    gate.announce();
}

void TopStoneTracker::NewTSCaptureReady() {}

void TopStoneTracker::TLCameraFrozen(bool frozen)
{
    // The worker tells the freeze through its next result.
    if (frozen)
        gate.announce();
}

void TopStoneTracker::run()
{
    while (gate.waitForNext())
        failures.run(logging, [this]() { processFrame(); }, [this]() { publish(); });
}

void TopStoneTracker::processFrame()
{
    const vision::TopStoneParams params = ParamsSnapshot();
    const CameraFrame captured = tlCamera ? tlCamera->getFrame() : CameraFrame();
    if (tlCamera && tlCamera->isFrozen()) {
        // The newest frame is one the camera delivered before it froze: no measurement.
        emit NewTLResultInfo(QString::fromLatin1(vision::ReasonCamera), captured.captureTimeUs);
        emit NewTLProcessedReady(-1.0, -1.0, -1.0, -1.0, -1.0, -1.0);
        return;
    }
    const cv::Mat frame = captured.image;
    const vision::TopStoneResult r = vision::processTopStoneFrame(frame, params, work, true);
    if (!frame.empty()) {
        lastFrameWidth = frame.cols;
        lastFrameHeight = frame.rows;
    }
    publish();
    emit NewTLResultInfo(QString::fromLatin1(r.reason.c_str()), captured.captureTimeUs);
    emit NewTLProcessedReady(r.CenterX, r.CenterY, r.FocalX, r.FocalY, r.MFX, r.MFY);
}

void TopStoneTracker::publish()
{
    published.update([this](vision::TopStoneImages& board) {
        // Keep the HSV view and the edges already made from the same frame and threshold (a
        // frame that failed before its first steps leaves them unchanged).
        const cv::Mat cachedHsv = board.frame.data == work.frame.data ? board.hsv : cv::Mat();
        const cv::Mat cachedEdges = board.thresh.data == work.thresh.data ? board.contour : cv::Mat();
        board = work;
        if (board.hsv.empty())
            board.hsv = cachedHsv;
        if (board.contour.empty())
            board.contour = cachedEdges;
    });
}

vision::TopStoneParams TopStoneTracker::ParamsSnapshot() const
{
    vision::TopStoneParams p;
    p.threshMin = CV_TL_Param_ThreshMin;
    p.threshMax = CV_TL_Param_ThreshMax;
    p.cannyThreshVal = CV_TL_Param_CannyThreshVal;
    p.cannyThreshRatio = CV_TL_Param_CannyThreshRatio;
    p.cannyThreshKernel = CV_TL_Param_CannyThreshKernel;
    p.erode = CV_TL_Param_Erode;
    p.dilate = CV_TL_Param_Dilate;
    p.invertErodeDilate = CV_TL_Param_InvertErodeDilate;
    p.areaMargin = CV_TL_Param_AreaMergin;
    p.contourSizeMin = CV_TL_Param_ContourSizeFMIN;
    p.contourSizeMax = CV_TL_Param_ContourSizeFMAX;
    return p;
}

void TopStoneTracker::LoadParams()
{
    if (!AppRegistry)
        return;
    const vision::TopStoneParams p = vision::TopStoneParams::fromRegistry(*AppRegistry);
    CV_TL_Param_ThreshMin = p.threshMin;
    CV_TL_Param_ThreshMax = p.threshMax;
    CV_TL_Param_CannyThreshVal = p.cannyThreshVal;
    CV_TL_Param_CannyThreshRatio = p.cannyThreshRatio;
    CV_TL_Param_CannyThreshKernel = p.cannyThreshKernel;
    CV_TL_Param_Erode = p.erode;
    CV_TL_Param_Dilate = p.dilate;
    CV_TL_Param_InvertErodeDilate = p.invertErodeDilate;
    CV_TL_Param_AreaMergin = p.areaMargin;
    CV_TL_Param_ContourSizeFMIN = p.contourSizeMin;
    CV_TL_Param_ContourSizeFMAX = p.contourSizeMax;
}

void TopStoneTracker::SaveParams()
{
    if (AppRegistry)
        ParamsSnapshot().toRegistry(*AppRegistry);
}

cv::Mat TopStoneTracker::getTLThreshImage() { return published.get(&vision::TopStoneImages::thresh); }

cv::Mat TopStoneTracker::getTLThreshTransformedImage() { return published.get(&vision::TopStoneImages::threshTransformed); }

cv::Mat TopStoneTracker::getTLHSVImage()
{
    return published.getOrMake(&vision::TopStoneImages::frame, &vision::TopStoneImages::hsv,
                               [](const vision::TopStoneImages& seen) { return vision::topStoneHsv(seen.frame); });
}

cv::Mat TopStoneTracker::getTLContourImage()
{
    return published.getOrMake(&vision::TopStoneImages::thresh, &vision::TopStoneImages::contour, [](const vision::TopStoneImages& seen) {
        // Settings the frame accepted cannot fail here.
        try {
            return vision::topStoneEdges(seen.thresh, seen.cannyLow, seen.cannyHigh, seen.cannyKernel);
        } catch (const cv::Exception&) {
            return cv::Mat();
        }
    });
}

cv::Mat TopStoneTracker::getTLResultImage() { return published.get(&vision::TopStoneImages::result); }

cv::Mat TopStoneTracker::getTSThreshImage() { return cv::Mat(); }
cv::Mat TopStoneTracker::getTSHSVImage() { return cv::Mat(); }
cv::Mat TopStoneTracker::getTSContourImage() { return cv::Mat(); }
cv::Mat TopStoneTracker::getTSResultImage() { return cv::Mat(); }

void TopStoneTracker::LogDebug(QString text)
{
    if (logging)
        logging->udebug(QStringLiteral("Top Stone Tracker: ") + text);
}

void TopStoneTracker::MorphOps(cv::Mat& image, int erodeSize, int dilateSize, bool invert)
{
    vision::MorphOpsRect(image, erodeSize, dilateSize, invert);
}
int TopStoneTracker::Sqr(int v) { return vision::Sqr(v); }
double TopStoneTracker::GetLineAngle(const cv::Vec4i& line) { return vision::GetLineAngle(line); }
cv::Point TopStoneTracker::GetLineCenter(const cv::Vec4i& line) { return vision::GetLineCenter(line); }
double TopStoneTracker::GetLineLength(const cv::Vec4i& line) { return vision::GetLineLength(line); }
double TopStoneTracker::GetPointsDistance(const cv::Point& a, const cv::Point& b)
{
    return vision::GetPointsDistance(a, b);
}
