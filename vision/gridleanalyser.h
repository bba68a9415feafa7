#pragma once

#include "core/singleton.h"
#include "vision/framefailures.h"
#include "vision/girdlereading.h"
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

// Measures the girdle on every Marking Front frame and, while the window shows them, makes the
// diagnostic images of the front view: an inverted gradient image, its adaptive threshold, edges
// and their contours, and the probabilistic Hough segments with a second drawing of the
// near-horizontal ones.
//
// The measurement (girdle::measureGirdle) runs on every frame the camera announces while the
// station runs, from construction on, and travels in NewMFGirdle with the frame's capture time.
// The diagnostic chain is costly (the Hough transform takes most of a second on a noisy full
// frame), so it runs only while the window wants the images (SetImagesWanted, the Marking Front
// page) and at a capped rate: after a chain that took t, the next one waits until t / MaxImageShare
// has passed since its start, so the chain takes at most MaxImageShare of one core whatever the
// frame rate. Each chain ends with NewMFProcessedReady(-1, -1). The thread runs below the camera
// and tracker threads.
//
// Threads: the object lives on the main thread (slots, getters, SetImagesWanted,
// LoadParams/SaveParams, parameter writes from the panel); run() is the worker. Parameters are
// atomics, snapshot once per frame. The worker builds new images every chain and puts them on
// `published` at its end, so an image handed out never changes. `work`, `failures` and the chain
// timing belong to the worker.
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

    // Micrometres per front pixel on the girdle (settings key PMMFPXS, as the motion core's
    // MFPixelSize); the window keeps it equal to the panel's value.
    std::atomic<double> MFPixelSizeUm{1.27};

    void LoadParams();
    void SaveParams();
    vision::GridleParams ParamsSnapshot() const;

    // Share of one core the diagnostic chain may take while its images are wanted.
    static constexpr double MaxImageShare = 0.3;

    // Whether the diagnostic images are wanted (the window shows them). Off: the chain stops
    // after the one in progress; the measurement goes on either way. Any number of calls.
    void SetImagesWanted(bool wanted);
    bool ImagesWanted() const;

    // The reading of the last measured frame (NOFRAME before the first).
    GirdleReading LastReading() const;

signals:
    // The end of a diagnostic chain: its images are published. Always (-1, -1).
    void NewMFProcessedReady(double CenterX, double CenterY);
    // The girdle measured on a front frame, one per frame measured.
    void NewMFGirdle(GirdleReading reading);

protected:
    void run() override;

private slots:
    void NewMFCaptureReady();

private:
    explicit GridleAnalyser(QObject* parent = nullptr);

    // Measures the camera's newest frame and emits the reading; returns the frame (empty when
    // there is none, or the camera is frozen).
    cv::Mat measureFrame();
    // Whether the diagnostic chain is wanted and its share of time allows one now (then it
    // counts as started).
    bool imagesDue();
    void makeImages(const cv::Mat& frame);
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
    std::atomic<bool> imagesWanted{false};

    mutable std::mutex readingMutex;
    GirdleReading lastReading = GirdleReading::refusal(QStringLiteral("NOFRAME")); // guarded by readingMutex

    vision::ImageBoard<vision::GridleImages> published;

    vision::GridleImages work; // worker only
    vision::FrameFailures failures{QStringLiteral("Gridle Analyser Exception ")}; // worker only: the chain
    vision::FrameFailures measureFailures{QStringLiteral("Gridle Analyser Exception ")}; // worker only
    // Worker only: when the last chain started (steady clock, ns; 0: none yet) and how long it took.
    qint64 chainStartNs = 0;
    qint64 chainDurationNs = 0;

    // Segment component indices.
    const int xA = 0;
    const int yA = 1;
    const int xB = 2;
    const int yB = 3;
};
