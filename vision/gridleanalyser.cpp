#include "vision/gridleanalyser.h"

#include "camera/cammf.h"
#include "core/logs.h"
#include "core/registry.h"
#include "vision/linegeometry.h"
#include "vision/morphology.h"

#include <exception>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

GridleAnalyser::GridleAnalyser(QObject* parent)
    : QThread(parent)
{
    try {
        logging = Logs::AccessMemory();
        logging->udebug(QStringLiteral("Loading Gridle Analyser..."));
        AppRegistry = Registry::AccessMemory();
        mfCamera = CamMF::AccessMemory();
        connect(mfCamera, SIGNAL(newcapture()), this, SLOT(NewMFCaptureReady()));
        LoadParams();
        logging->udebug(QStringLiteral("Gridle Analyser imported successfully"));
    } catch (const std::exception& e) {
        if (logging)
            logging->udebug(QStringLiteral("Error While Loading Gridle Analyser ") + QString::fromLocal8Bit(e.what()));
    }
}

GridleAnalyser::~GridleAnalyser()
{
    StopAnalysis();
    // The frame in progress is finished first: the worker reads the front camera, which is
    // destroyed after the analyser.
    wait();
    if (logging)
        logging->udebug(QStringLiteral("Gridle Analyser Destruction"));
}

void GridleAnalyser::StartAnalysis()
{
    std::lock_guard<std::mutex> lock(controlMutex);
    gate.open();
    // A worker that was asked to stop but is still finishing its frame sees the gate open
    // again when it comes back, and goes on.
    if (workerActive)
        return;
    // A previous worker has left its loop; at most its return from run() remains.
    wait();
    workerActive = true;
    // Qt's priorities other than idle change nothing under Linux's default scheduler; run()
    // lowers its own niceness as well.
    start(QThread::LowPriority);
}

void GridleAnalyser::StopAnalysis()
{
    // No wait: the Hough transform of a noisy frame can take a second, and the window leaving
    // the page must not hang on it. The worker ends after the frame in progress.
    std::lock_guard<std::mutex> lock(controlMutex);
    gate.close();
}

bool GridleAnalyser::IsAnalysing() const
{
    return gate.isOpen();
}

bool GridleAnalyser::keepWorking()
{
    std::lock_guard<std::mutex> lock(controlMutex);
    if (gate.isOpen())
        return true;
    workerActive = false;
    return false;
}

void GridleAnalyser::NewMFCaptureReady()
{
    gate.announce();
}

void GridleAnalyser::run()
{
#ifdef Q_OS_LINUX
    // Niceness is per thread on Linux: below the camera and tracker threads, without starving.
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 10);
#endif
    for (;;) {
        if (!gate.waitForNext()) {
            if (keepWorking())
                continue;
            break;
        }
        failures.run(logging, [this]() { processFrame(); }, [this]() { publish(); });
    }
}

void GridleAnalyser::processFrame()
{
    const vision::GridleParams params = ParamsSnapshot();
    const cv::Mat frame = mfCamera ? mfCamera->getImage() : cv::Mat();
    vision::processGridleFrame(frame, params, work);
    publish();
    emit NewMFProcessedReady(-1.0, -1.0);
}

void GridleAnalyser::publish() { published.put(work); }

vision::GridleParams GridleAnalyser::ParamsSnapshot() const
{
    vision::GridleParams p;
    p.threshMin = CV_MF_Param_ThreshMin;
    p.threshMax = CV_MF_Param_ThreshMax;
    p.cannyThreshVal = CV_MF_Param_CannyThreshVal;
    p.cannyThreshRatio = CV_MF_Param_CannyThreshRatio;
    p.cannyThreshKernel = CV_MF_Param_CannyThreshKernel;
    p.erode = CV_MF_Param_Erode;
    p.dilate = CV_MF_Param_Dilate;
    p.invertErodeDilate = CV_MF_Param_InvertErodeDilate;
    p.erodeCanny = CV_MF_Param_Erode_Canny;
    p.dilateCanny = CV_MF_Param_Dilate_Canny;
    p.invertErodeDilateCanny = CV_MF_Param_InvertErodeDilate_Canny;
    p.gradAlpha = CV_MF_Param_GradAlpha;
    p.gradBeta = CV_MF_Param_GradBeta;
    p.gradGamma = CV_MF_Param_GradGamma;
    p.linesRho = CV_MF_Param_LinesRho;
    p.linesTheta = CV_MF_Param_LinesTheta;
    p.linesThreshold = CV_MF_Param_LinesThreshold;
    p.linesMinLength = CV_MF_Param_LinesMinLength;
    p.linesMaxGap = CV_MF_Param_LinesMaxGap;
    return p;
}

void GridleAnalyser::LoadParams()
{
    if (!AppRegistry)
        return;
    const vision::GridleParams p = vision::GridleParams::fromRegistry(*AppRegistry);
    CV_MF_Param_ThreshMin = p.threshMin;
    CV_MF_Param_ThreshMax = p.threshMax;
    CV_MF_Param_CannyThreshVal = p.cannyThreshVal;
    CV_MF_Param_CannyThreshRatio = p.cannyThreshRatio;
    CV_MF_Param_CannyThreshKernel = p.cannyThreshKernel;
    CV_MF_Param_Erode = p.erode;
    CV_MF_Param_Dilate = p.dilate;
    CV_MF_Param_InvertErodeDilate = p.invertErodeDilate;
    CV_MF_Param_GradAlpha = p.gradAlpha;
    CV_MF_Param_GradBeta = p.gradBeta;
    CV_MF_Param_GradGamma = p.gradGamma;
    CV_MF_Param_Erode_Canny = p.erodeCanny;
    CV_MF_Param_Dilate_Canny = p.dilateCanny;
    CV_MF_Param_InvertErodeDilate_Canny = p.invertErodeDilateCanny;
    CV_MF_Param_LinesRho = p.linesRho;
    CV_MF_Param_LinesTheta = p.linesTheta;
    CV_MF_Param_LinesThreshold = p.linesThreshold;
    CV_MF_Param_LinesMinLength = p.linesMinLength;
    CV_MF_Param_LinesMaxGap = p.linesMaxGap;
}

void GridleAnalyser::SaveParams()
{
    if (AppRegistry)
        ParamsSnapshot().toRegistry(*AppRegistry);
}

cv::Mat GridleAnalyser::getMFThreshImage() { return published.get(&vision::GridleImages::thresh); }
cv::Mat GridleAnalyser::getMFThreshTransformedImage() { return published.get(&vision::GridleImages::threshTransformed); }
cv::Mat GridleAnalyser::getMFGradImage() { return published.get(&vision::GridleImages::grad); }
cv::Mat GridleAnalyser::getMFCannyImage() { return published.get(&vision::GridleImages::canny); }
cv::Mat GridleAnalyser::getMFCannyTransformedImage() { return published.get(&vision::GridleImages::cannyTransformed); }
cv::Mat GridleAnalyser::getMFResultImage() { return published.get(&vision::GridleImages::result); }
cv::Mat GridleAnalyser::getMFLinesDrawing() { return published.get(&vision::GridleImages::linesDrawing); }
cv::Mat GridleAnalyser::GetMFLinesProcessing() { return published.get(&vision::GridleImages::linesProcessing); }

void GridleAnalyser::MorphOpsEllips(cv::Mat& image, int erodeSize, int dilateSize, bool invert)
{
    vision::MorphOpsEllipse(image, erodeSize, dilateSize, invert);
}
void GridleAnalyser::MorphOpsSquare(cv::Mat& image, int erodeSize, int dilateSize, bool invert)
{
    vision::MorphOpsRect(image, erodeSize, dilateSize, invert);
}
int GridleAnalyser::Sqr(int v) { return vision::Sqr(v); }
double GridleAnalyser::GetLineAngle(const cv::Vec4i& line) { return vision::GetLineAngle(line); }
cv::Point GridleAnalyser::GetLineCenter(const cv::Vec4i& line) { return vision::GetLineCenter(line); }
double GridleAnalyser::GetLineLength(const cv::Vec4i& line) { return vision::GetLineLength(line); }
double GridleAnalyser::GetPointsDistance(const cv::Point& a, const cv::Point& b)
{
    return vision::GetPointsDistance(a, b);
}
