#pragma once

#include "core/singleton.h"
#include "vision/framefailures.h"
#include "vision/imageboard.h"
#include "vision/topstoneprocessing.h"
#include "vision/workergate.h"

#include <opencv2/core.hpp>

#include <QString>
#include <QThread>

#include <atomic>

class CamTL;
class CamTS;
class Logs;
class Registry;

// Finds the stone in the Top Large frames: for every frame the camera announces, the worker
// thresholds it, picks the one roughly circular outline of plausible size and reports its
// centroid, its right-edge point at centroid height and its top-edge point at centroid column
// with NewTLProcessedReady (all -1 when no stone was found). The window shows the intermediate
// images; the motion core turns the six values into the diameter and the alignment moves.
//
// The Top Standard parameters, images, slot and signal exist so that the window's connections
// resolve; nothing processes TS frames.
//
// Threads: the object lives on the main thread (slots, getters, LoadParams/SaveParams,
// parameter writes from the panel); run() is the worker. Parameters are atomics: the panel
// writes a whole value, and the worker takes one snapshot of all of them at the start of each
// frame. The worker builds new images for every frame and puts them on `published` (the
// images of the last completed step of each kind) at its end, so an image handed out is never
// written again. `work` and `failures` belong to the worker.
class TopStoneTracker : public QThread
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(TopStoneTracker)

public:
    ~TopStoneTracker() override;

    // Top Large tuning; the settings keys are in TopStoneParams.
    std::atomic<double> CV_TL_Param_ThreshMin{164.7};
    std::atomic<double> CV_TL_Param_ThreshMax{255.0};
    std::atomic<double> CV_TL_Param_CannyThreshVal{160.0};
    std::atomic<int> CV_TL_Param_CannyThreshRatio{1};
    std::atomic<int> CV_TL_Param_CannyThreshKernel{3};
    // Circle-search settings: editable in the panel, neither stored nor used by the detection.
    std::atomic<int> CV_TL_Param_HC_MinCenterDistance{487};
    std::atomic<int> CV_TL_Param_HC_HigherThresh{170};
    std::atomic<int> CV_TL_Param_HC_AccumulatorThresh{40};
    std::atomic<int> CV_TL_Param_HC_MinRad{92};
    std::atomic<int> CV_TL_Param_HC_MaxRad{5000};
    std::atomic<int> CV_TL_Param_Erode{0};
    std::atomic<int> CV_TL_Param_Dilate{0};
    std::atomic<bool> CV_TL_Param_InvertErodeDilate{false};
    std::atomic<int> CV_TL_Param_AreaMergin{10}; // stored and editable; no effect
    std::atomic<int> CV_TL_Param_ContourSizeFMIN{15000};
    std::atomic<int> CV_TL_Param_ContourSizeFMAX{99999};

    // Top Standard block: never loaded, stored or used.
    std::atomic<double> CV_TS_Param_ThreshMin{0.0};
    std::atomic<double> CV_TS_Param_ThreshMax{0.0};
    std::atomic<double> CV_TS_Param_CannyThreshVal{0.0};
    std::atomic<int> CV_TS_Param_CannyThreshRatio{0};
    std::atomic<int> CV_TS_Param_CannyThreshKernel{0};
    std::atomic<int> CV_TS_Param_HC_MinCenterDistance{487};
    std::atomic<int> CV_TS_Param_HC_HigherThresh{170};
    std::atomic<int> CV_TS_Param_HC_AccumulatorThresh{40};
    std::atomic<int> CV_TS_Param_HC_MinRad{92};
    std::atomic<int> CV_TS_Param_HC_MaxRad{5000};
    std::atomic<int> CV_TS_Param_Erode{0};
    std::atomic<int> CV_TS_Param_Dilate{0};
    std::atomic<bool> CV_TS_Param_InvertErodeDilate{false};

    // Images of the last completed frame (the HSV view and the Canny edges are made when first
    // asked for). Each is a consistent image that never changes once returned; empty before
    // the first frame.
    cv::Mat getTLThreshImage();
    cv::Mat getTLThreshTransformedImage();
    cv::Mat getTLHSVImage();
    cv::Mat getTLContourImage();
    cv::Mat getTLResultImage();
    // Always empty.
    cv::Mat getTSThreshImage();
    cv::Mat getTSHSVImage();
    cv::Mat getTSContourImage();
    cv::Mat getTSResultImage();

    // Reads the eleven Top Large keys (defaults for missing ones) into the fields.
    void LoadParams();
    // Writes them to the settings store; the caller saves the file.
    void SaveParams();

    // Width and height of the last Top Large frame processed (after the turn); 0 before one.
    int LastFrameWidth() const { return lastFrameWidth; }
    int LastFrameHeight() const { return lastFrameHeight; }

    // The Top Large parameters as one consistent value, as the worker takes them per frame.
    vision::TopStoneParams ParamsSnapshot() const;

signals:
    // While the Top Large camera is frozen its newest frame is stale: the worker measures
    // nothing from it and emits one result with the reason "CAMERA" (all -1) when the freeze
    // starts, and again for any frame it is asked to process during the freeze.
    // Emitted just before every NewTLProcessedReady, for the same frame: why there is no stone
    // (empty when one was found; otherwise one upper-case word such as "NOSTONE") and the
    // capture time of the frame (steady clock, microseconds; -1 when the camera does not tell).
    void NewTLResultInfo(QString reason, qint64 captureTimeUs);
    void NewTLProcessedReady(double CenterX, double CenterY, double FocalX, double FocalY, double MFX, double MFY);
    void NewTSProcessedReady();

protected:
    void run() override;

private slots:
    void NewTLCaptureReady();
    void NewTSCaptureReady();
    void TLCameraFrozen(bool frozen);

private:
    explicit TopStoneTracker(QObject* parent = nullptr);

    void LogDebug(QString text);
    void processFrame();
    void publish();

    // The shared helpers under this class's names (rectangular element).
    static void MorphOps(cv::Mat& image, int erodeSize, int dilateSize, bool invert);
    static int Sqr(int v);
    static double GetLineAngle(const cv::Vec4i& line);
    static cv::Point GetLineCenter(const cv::Vec4i& line);
    static double GetLineLength(const cv::Vec4i& line);
    static double GetPointsDistance(const cv::Point& a, const cv::Point& b);

    Logs* logging = nullptr;
    Registry* AppRegistry = nullptr;
    CamTS* tsCamera = nullptr;
    CamTL* tlCamera = nullptr;

    vision::WorkerGate gate; // RunTraking and NewTLCapture

    vision::ImageBoard<vision::TopStoneImages> published;

    vision::TopStoneImages work; // worker only
    vision::FrameFailures failures{QStringLiteral("Top Stone Traker Exception")}; // worker only
    std::atomic<int> lastFrameWidth{0};
    std::atomic<int> lastFrameHeight{0};
};
