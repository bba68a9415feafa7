#include "vision/gridleanalyser.h"

#include "camera/cammf.h"
#include "core/logs.h"
#include "core/registry.h"
#include "core/settingscatalog.h"
#include "vision/girdlemeasure.h"
#include "vision/linegeometry.h"
#include "vision/morphology.h"

#include <chrono>
#include <cmath>
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
        connect(mfCamera, &CameraAcquisition::frozenChanged, this, [this](bool frozen) {
            // The worker tells the freeze through its next reading.
            if (frozen)
                gate.announce();
        });
        qRegisterMetaType<GirdleReading>("GirdleReading");
        LoadParams();
        // Opened before the start so that a Destroy() right after construction ends the loop.
        gate.open();
        start(QThread::LowPriority);
        logging->udebug(QStringLiteral("Gridle Analyser imported successfully"));
    } catch (const std::exception& e) {
        if (logging)
            logging->udebug(QStringLiteral("Error While Loading Gridle Analyser ") + QString::fromLocal8Bit(e.what()));
    }
}

GridleAnalyser::~GridleAnalyser()
{
    // The frame in progress is finished first: the worker reads the front camera, which is
    // destroyed after the analyser. A measurement takes milliseconds; a diagnostic chain up to a
    // second on a noisy full frame, and it is not started any more once the gate is closed.
    gate.close();
    wait();
    if (logging)
        logging->udebug(QStringLiteral("Gridle Analyser Destruction"));
}

void GridleAnalyser::SetImagesWanted(bool wanted)
{
    imagesWanted = wanted;
}

bool GridleAnalyser::ImagesWanted() const
{
    return imagesWanted;
}

GirdleReading GridleAnalyser::LastReading() const
{
    std::lock_guard<std::mutex> readingLock(readingMutex);
    return lastReading;
}

void GridleAnalyser::NewMFCaptureReady()
{
    gate.announce();
}

void GridleAnalyser::run()
{
#ifdef Q_OS_LINUX
    // Niceness is per thread on Linux: below the camera and tracker threads, without starving.
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 5);
#endif
    while (gate.waitForNext()) {
        cv::Mat frame;
        measureFailures.run(logging, [&]() { frame = measureFrame(); }, []() {});
        // Only the chain's own attempts count for its failures: a setting OpenCV rejects is said
        // once, however many frames are measured between two attempts.
        if (!frame.empty() && imagesDue())
            failures.run(logging, [&]() { makeImages(frame); }, [this]() { publish(); });
    }
}

cv::Mat GridleAnalyser::measureFrame()
{
    const CameraFrame captured = mfCamera ? mfCamera->getFrame() : CameraFrame();
    GirdleReading reading;
    if (mfCamera && mfCamera->isFrozen()) {
        // The newest frame is one the camera delivered before it froze: nothing new to measure.
        reading = GirdleReading::refusal(QStringLiteral("CAMERA"), captured.captureTimeUs);
    } else if (captured.image.empty()) {
        reading = GirdleReading::refusal(QStringLiteral("NOFRAME"), captured.captureTimeUs);
    } else {
        girdle::MeasureParameters p;
        const double pixelUm = MFPixelSizeUm;
        // A pixel size the panel cannot give (0, NaN) would make every thickness meaningless.
        if (std::isfinite(pixelUm) && pixelUm > 0.0)
            p.pixelSizeUm = pixelUm;
        reading = GirdleReading::fromMeasurement(girdle::measureGirdle(captured.image, p), captured.image.cols,
                                                 captured.image.rows, p.pixelSizeUm, captured.captureTimeUs);
    }
    {
        std::lock_guard<std::mutex> readingLock(readingMutex);
        lastReading = reading;
    }
    emit NewMFGirdle(reading);
    return reading.reason == QLatin1String("CAMERA") ? cv::Mat() : captured.image;
}

bool GridleAnalyser::imagesDue()
{
    if (!imagesWanted || !gate.isOpen())
        return false;
    const qint64 now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch()).count();
    // Frames pass without a chain until the last chain's time is MaxImageShare of the time since
    // it began.
    if (chainStartNs != 0 && double(now - chainStartNs) * MaxImageShare < double(chainDurationNs))
        return false;
    chainStartNs = now;
    return true;
}

void GridleAnalyser::makeImages(const cv::Mat& frame)
{
    // A failing chain counts its time too: the next attempt waits as after a whole one.
    struct Timed
    {
        qint64 start;
        qint64& duration;
        ~Timed()
        {
            duration = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch()).count() - start;
        }
    } timed{chainStartNs, chainDurationNs};
    vision::processGridleFrame(frame, ParamsSnapshot(), work);
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
    MFPixelSizeUm = settings::readReal(*AppRegistry, *logging, settings::motion::MFPixelSize);
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
