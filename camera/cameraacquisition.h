#pragma once

#include "camera/cameradevice.h"
#include "core/settingscatalog.h"

#include <QString>
#include <QThread>

#include <opencv2/core.hpp>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

class CamVSharedConfig;
class Logs;
class Registry;

// What tells the three camera roles apart; everything else is CameraAcquisition.
struct CameraRole
{
    const char* displayName;   // "Top Large", named in every message
    const settings::camera::RoleKeys& keys; // serial number, area of interest, exposure, backend
    int bitsPerPixel;          // image memory: 8 (raw Bayer) or 24 (BGR)
    bool rawSensor;            // colour mode, colour converter and pixel clock are set
    int colorConversion;       // OpenCV conversion of the memory view into B, G, R; -1: none
    bool rotateClockwise;      // the finished frame is the cut turned 90 degrees clockwise
    QThread::Priority priority;
    bool runsWithoutCamera;    // the thread starts (and idles) even when opening fails
};

// A published frame with what the camera told about it. Every frame of every role holds B, G, R.
struct CameraFrame
{
    cv::Mat image;               // empty before the first frame
    qint64 frameNumber = -1;     // the camera's own count (frames it dropped leave gaps)
    // When the exposure started, on std::chrono::steady_clock in microseconds since its epoch
    // (see CameraAcquisition::SteadyNowUs()); never later than the true time, by at most a
    // few frame times earlier. -1 before the first frame.
    qint64 captureTimeUs = -1;
};

// One camera role: binds it to a camera by serial number, opens the camera through the backend
// its settings name (cameradevice.h: the camera SDK or GenICam; area of interest, gain,
// exposure) and watches the camera in its own thread, eight times per frame time (at most every 2 ms). A frame is published and announced with
// newcapture() once, when the camera's frame number in the memory changed, together with its
// frame number and capture time (getFrame()). A camera whose frame number stays the same for
// several frame times is frozen: logged once when it starts and once when it ends, and
// frozenChanged() tells the window.
//
// Hand-over between threads:
// - Each pass converts into a buffer nobody else holds and publishes it; a frame handed out by
//   getImage() is never written again (buffers are recycled only once every holder let go).
// - frameMutex guards RelCapture, RelFrameNumber and RelCaptureTimeUs. stateMutex guards CamRegRef, img_width, img_height,
//   MaxWidth, MaxHeight and HandleSave. wakeMutex guards wakeRequested. All three are
//   std::mutex so that ThreadSanitizer sees the locking (QMutex locks inside uninstrumented Qt).
// - CaptureRun, IS_INIT, frozen and ips are atomics. Everything else (the device, DefaultAOI*,
//   DefaultExposureTime) belongs to the main thread, which opens, closes and replaces the device
//   only while the loop is stopped (Init, unInit, RegisterCam); the loop polls it.
class CameraAcquisition : public QThread
{
    Q_OBJECT

public:
    ~CameraAcquisition() override;

    // Area of interest applied at initialisation (the full sensor when none is stored); replaced
    // by every successful Aoi(), so it always is what the camera uses.
    int DefaultAOIX = 0;
    int DefaultAOIY = 0;
    int DefaultAOIW = 0;
    int DefaultAOIH = 0;
    // Exposure in percent of the camera's range; replaced by every successful SetExposureTime().
    int DefaultExposureTime = 0;

    // Binds the role to another camera (stored in the settings) and reopens it.
    void RegisterCam(QString serial);
    QString GetID();
    // The newest finished frame, shared without copying pixels; empty before the first one.
    cv::Mat getImage();
    // The same frame with its frame number and capture time, taken together under one lock.
    CameraFrame getFrame();
    // The camera's frame rate for its current settings (10 until the camera told it).
    double getFPS();
    // True while the camera delivers no new frame although it should.
    bool isFrozen() const { return frozen.load(); }
    // The clock of CameraFrame::captureTimeUs: std::chrono::steady_clock in microseconds.
    static qint64 SteadyNowUs();
    // Area of interest, before any rotation.
    int GetWidth();
    int GetHeight();
    bool AGC(bool on);
    bool SubSampling(int factor);
    bool Aoi(int x, int y, int w, int h);
    bool ResetAoi();
    bool SetExposureTime(int percent);
    // The next finished frame is written once to path (format from the extension).
    void SaveCapture(QString path);
    void LoadParams();
    void SaveParams();

signals:
    void newcapture();
    // The camera stopped or started again delivering new frames (emitted from the camera thread).
    void frozenChanged(bool frozen);

protected:
    CameraAcquisition(const CameraRole& role, QObject* parent);

    // Construction steps shared by the roles, after the role's own set-up: settings, opening.
    void startUp();
    // Stops the loop and closes the camera; every subclass destructor calls it first, so the
    // loop never runs into a half-destroyed object.
    void shutDown();
    // Called in the camera thread after newcapture() for each finished frame.
    virtual void frameFinished(const cv::Mat& frame);

    void run() override;

    QString alias() const;        // " alias 'Top Large'"
    QString cameraRef();          // CamRegRef, read under its lock
    int maxWidth();

    const CameraRole& role;
    Logs* logging = nullptr;
    Registry* AppRegistry = nullptr;
    CamVSharedConfig* SharedConf = nullptr;

private:
    // The camera benchmark stops the loop and times single sampling passes in its own thread.
    friend struct CameraPassProbe;

    void Init(QString serial);
    void unInit();
    void cvRot90(cv::Mat src, cv::Mat& dst, int angle);

    // One look at the camera; true when a new frame was published.
    bool samplePass();
    void watchFreshness(bool published);
    cv::Mat freeBuffer(int rows, int cols);
    void writeFrameFile(const cv::Mat& frame, const QString& path);
    void startThread();
    void wake();
    void sleepUntil(std::chrono::steady_clock::time_point deadline);

    std::atomic<bool> CaptureRun{false};
    std::atomic<bool> IS_INIT{false};
    std::atomic<bool> frozen{false};
    std::atomic<double> ips{10.0};

    std::mutex stateMutex;
    QString CamRegRef;
    int MaxWidth = 0;
    int MaxHeight = 0;
    int img_width = 0;
    int img_height = 0;
    QString HandleSave;

    CameraBackend backend = CameraBackend::Sdk;
    std::unique_ptr<CameraDevice> device;

    // Loop thread only.
    cv::Mat RCapture; // the turned cut (mosaic for raw sensors), before colour conversion
    std::vector<cv::Mat> buffers;
    size_t nextBuffer = 0;
    RepeatingFailure passFailure;
    qint64 lastFrameNumber = -1;
    std::chrono::steady_clock::time_point lastFreshFrame;

    std::mutex frameMutex;
    cv::Mat RelCapture;
    qint64 RelFrameNumber = -1;
    qint64 RelCaptureTimeUs = -1;

    std::mutex wakeMutex;
    std::condition_variable wakeCondition;
    bool wakeRequested = false;
};
