#pragma once

#include "core/singleton.h"
#include "vision/framefailures.h"
#include "vision/gridleprocessing.h"
#include "vision/imageboard.h"
#include "vision/workergate.h"

#include <opencv2/core.hpp>

#include <QString>
#include <QThread>

#include <mutex>

#include <atomic>

class CamMF;
class Logs;
class Registry;

// Analyses the Marking Front frames for display: an inverted gradient image, its adaptive
// threshold, edges and their contours, and the probabilistic Hough segments with a second
// drawing of the near-horizontal ones. It produces images, not measurements: every processed
// frame ends with NewMFProcessedReady(-1, -1).
//
// The analysis is costly (the Hough transform takes most of a second on a noisy frame), so its
// thread runs only while someone looks: the window calls StartAnalysis() when the Marking Front
// page becomes current and StopAnalysis() when it is left and at shutdown. The thread runs
// below the camera and tracker threads.
//
// Threads: the object lives on the main thread (slots, getters, Start/StopAnalysis,
// LoadParams/SaveParams, parameter writes from the panel); run() is the worker. Parameters are
// atomics, snapshot once per frame. The worker builds new images every frame and puts them
// on `published` at its end, so an image handed out never changes. controlMutex serialises
// StartAnalysis/StopAnalysis with the worker's decision to end, and guards workerActive.
// `work` and `failures` belong to the worker.
class GridleAnalyser : public QThread
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(GridleAnalyser)

public:
    ~GridleAnalyser() override;

    std::atomic<double> CV_MF_Param_ThreshMin{164.7};
    std::atomic<double> CV_MF_Param_ThreshMax{255.0}; // stored and editable; not used
    std::atomic<double> CV_MF_Param_CannyThreshVal{160.0};
    std::atomic<int> CV_MF_Param_CannyThreshRatio{1};
    std::atomic<int> CV_MF_Param_CannyThreshKernel{3};
    std::atomic<int> CV_MF_Param_Erode{0};
    std::atomic<int> CV_MF_Param_Dilate{0};
    std::atomic<bool> CV_MF_Param_InvertErodeDilate{true};
    std::atomic<int> CV_MF_Param_Erode_Canny{7};
    std::atomic<int> CV_MF_Param_Dilate_Canny{10};
    std::atomic<bool> CV_MF_Param_InvertErodeDilate_Canny{true};
    std::atomic<double> CV_MF_Param_GradAlpha{0.5};
    std::atomic<double> CV_MF_Param_GradBeta{0.5};
    std::atomic<double> CV_MF_Param_GradGamma{0.0};
    std::atomic<int> CV_MF_Param_ContourSizeFMIN{0}; // set by the panel; neither stored nor used
    std::atomic<int> CV_MF_Param_ContourSizeFMAX{0};
    std::atomic<double> CV_MF_Param_LinesRho{10.0};
    std::atomic<double> CV_MF_Param_LinesTheta{0.017453292519943295};
    std::atomic<int> CV_MF_Param_LinesThreshold{255};
    std::atomic<double> CV_MF_Param_LinesMinLength{50.0};
    std::atomic<double> CV_MF_Param_LinesMaxGap{15.0};

    // Images of the last completed step of each kind; empty until the first frame.
    cv::Mat getMFThreshImage();
    cv::Mat getMFThreshTransformedImage();
    cv::Mat getMFGradImage();
    cv::Mat getMFCannyImage();
    cv::Mat getMFCannyTransformedImage();
    cv::Mat getMFResultImage();
    cv::Mat getMFLinesDrawing();
    cv::Mat GetMFLinesProcessing();

    void LoadParams();
    void SaveParams();
    vision::GridleParams ParamsSnapshot() const;

    // Start: the worker analyses every new front frame from now on. Stop: returns at once; the
    // worker ends after the frame in progress (its images and signal still come), and a start
    // before then simply keeps it working. Both may be called any number of times. IsAnalysing()
    // tells whether analysis is wanted; isFinished() whether the worker has ended.
    void StartAnalysis();
    void StopAnalysis();
    bool IsAnalysing() const;

signals:
    void NewMFProcessedReady(double CenterX, double CenterY);

protected:
    void run() override;

private slots:
    void NewMFCaptureReady();

private:
    explicit GridleAnalyser(QObject* parent = nullptr);

    // Called by the worker when the gate closed: false (and the worker counts as ended) unless
    // a start has opened it again meanwhile.
    bool keepWorking();
    void processFrame();
    void publish();

    // The shared helpers under this class's names.
    static void MorphOpsEllips(cv::Mat& image, int erodeSize, int dilateSize, bool invert);
    static void MorphOpsSquare(cv::Mat& image, int erodeSize, int dilateSize, bool invert);
    static int Sqr(int v);
    static double GetLineAngle(const cv::Vec4i& line);
    static cv::Point GetLineCenter(const cv::Vec4i& line);
    static double GetLineLength(const cv::Vec4i& line);
    static double GetPointsDistance(const cv::Point& a, const cv::Point& b);

    Logs* logging = nullptr;
    Registry* AppRegistry = nullptr;
    CamMF* mfCamera = nullptr;

    vision::WorkerGate gate; // AnalyserRun and NewMFCapture
    std::mutex controlMutex;
    bool workerActive = false; // guarded by controlMutex: run() is in its loop

    vision::ImageBoard<vision::GridleImages> published;

    vision::GridleImages work; // worker only
    vision::FrameFailures failures{QStringLiteral("Gridle Analyser Exception ")}; // worker only

    // Segment component indices.
    const int xA = 0;
    const int yA = 1;
    const int xB = 2;
    const int yB = 3;
};
