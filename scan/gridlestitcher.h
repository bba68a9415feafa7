#pragma once

#include "core/settingscatalog.h"
#include "core/singleton.h"
#include "motion/motionoutcome.h"
#include "scan/girdleprofile.h"
#include "scan/panorama.h"
#include "scan/runoutmodel.h"
#include "scan/scanpanorama.h"

#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <opencv2/core.hpp>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

struct CameraFrame;
class CamMF;
class Logs;
class MotionCore;
class Registry;

// The girdle scan: the stone is turned about A in steps; before every frame it is re-centred
// for the front (MF) camera, then one fresh front frame is written as img_NN.png into the folder
// shared with the host and reported to the host; the scan ends with "SCANEND". One scan is one
// run of this thread. Started by the host ("BGSCAN", through MotionCore::StartAutoScan) or by
// the operator, automatic or stepped (waiting for NextStep() after every frame).
//
// Threads: the object lives in the main thread (its slots run there); run() is the scan. The
// settings store is read on the main thread only (the shared folder is taken when a scan
// starts). Host messages leave through the motion core's queued TXCMD / SENDIMAGETXCMD.
//
// Locks: startMutex serialises starting against teardown (guards scanFolder and destroying);
// resultMutex guards PanoramaResult, the last panorama's quality and frameTimings. Flags and parameters are std::atomic.
class GridleStitcher : public QThread
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(GridleStitcher)

public:
    ~GridleStitcher() override;

    // Stored frame count (the scan computes its own and does not use it), settings::scan::CapturesNumber.
    std::atomic<int> CapturesNumber{settings::intDefault(settings::scan::CapturesNumber)};
    // Overlap of neighbouring frames as a fraction of the frame width, settings::scan::CapturesCovering.
    std::atomic<double> CapturesCovering{settings::scan::CapturesCovering.number};
    // A predicted front alignment (the turn and the correction the stone's run-out predicts,
    // sent as one move) stands when the fresh Top Large result after it is within this many
    // Top Large pixels of the targets on every axis, the tolerance an alignment lands within;
    // otherwise the frame is aligned in full.
    static constexpr double PredictionTolerancePx = alignment::LandingTolerancePx;
    // Report form: 0 text report IMGSCAP..., 1 the frame sent to the host as an image IMGCAP...
    std::atomic<quint8> RunMode{0};

    // Starts a scan, stepped or automatic, for the operator. Refused (logged; a host asking gets
    // SCANFAIL:BUSY) while a scan or an alignment runs; a scan counts as ended once it has sent
    // "SCANEND", so the host may ask for the next one at once.
    void StartPanorama(bool stepped);
    // Lets a stepped scan go on to the next frame.
    void NextStep();
    // The operator's stop: the running scan ends at its next wait with "SCANEND" (logged).
    void StopScan();
    // The girdle panorama the last complete scan joined from its frames (empty before one).
    cv::Mat getImage();
    // Frame count for diameter D, frame width w and covering c; 0 when there is none.
    int ImagesPerPerimeter(double D, double w, double c);

    // At the end of a scan the kept frames are joined into the girdle panorama (getImage(),
    // PanoramaReady()); with this on it is also written as panorama.png into the shared folder
    // before "SCANEND". Setting settings::scan::PanoramaFile.
    std::atomic<bool> PanoramaFileEnabled{settings::boolDefault(settings::scan::PanoramaFile)};
    // A complete scan also measures the girdle on every frame (LastGirdleProfile()); with this on
    // it writes girdle.csv, one row per degree of A, into the shared folder before "SCANEND"
    // (setting settings::scan::GirdleFile).
    std::atomic<bool> GirdleFileEnabled{settings::boolDefault(settings::scan::GirdleFile)};
    // The girdle of the last complete scan, per degree and per frame; empty before one.
    girdleprofile::Profile LastGirdleProfile() const;
    // The last panorama's seams, coverage and gaps (image, offsets, confidences); empty before
    // the first one.
    panorama::Result LastPanorama() const;
    // The same as lines of text, as the log has them.
    QStringList PanoramaQuality() const;

    void LoadMFStitchParameters();
    void SaveMFStitchParameter();

    bool IsScanning() const { return scanning; }

    // Where the time of each frame of the last scan went (microseconds).
    struct FrameTiming
    {
        int index = 0;
        qint64 motionWaitUs = 0;    // end of the rotation and of the alignment's motion
        qint64 alignmentUs = 0;     // the front-camera alignment
        qint64 frameWaitUs = 0;     // a front frame taken after the alignment
        qint64 writeUs = 0;         // PNG file (written beside the next frame's motion)
        qint64 reportUs = 0;        // report (encoding the image in image mode)
    };
    QVector<FrameTiming> LastScanTimings() const;

signals:
    void PanoramaReady();
    // Once per scan: the frame count and the angle of girdle one frame spans (degrees).
    void MFGriddleCapturesDataChanged(int count, double stepDeg);
    // Before every frame, current counting from 1.
    void MFGriddleCapturesStatusChanged(int current, int count);
    // How the last scan ended, in words for the operator (frames taken, or the failure reason).
    void ScanOutcome(bool ok, QString text);

public slots:
    void StartAutoScan();
    void NewMFCaptureReady();

protected:
    void run() override;

private:
    explicit GridleStitcher(QObject* parent = nullptr);

    bool stopped() const { return !StitchingRun; }
    void startScan(bool stepped, quint64 session);
    // The scan's stop condition: stopped, or the host that asked for it has gone.
    bool interrupted() const;
    void scan();
    // Ends the scan: SCANFAIL first when it failed, then "SCANEND", both to the host that asked.
    void sendScanEnd(const QString& failure = QString());
    // Takes the previous scan's frames, panorama and girdle table out of the folder before
    // this scan takes a frame (logged); false when one of them could not be removed.
    bool clearPreviousScan(const QString& folder);
    // Refuses a start while another motion request runs (SCANFAIL:BUSY, no SCANEND).
    void refuse(quint64 session, const QString& why);
    // This frame's front alignment, the axes still after the turn: with a predicted move, one
    // fresh Top Large measurement checks it and a full alignment follows only when it is off by
    // more than PredictionTolerancePx (logged; the run-out is then learnt again from this frame
    // on); otherwise the full alignment. Every measurement at a new A goes into the run-out.
    // *held: a predicted move was verified.
    bool alignFront(const QString& tag, bool predicted, runout::Model& runout, alignment::Outcome* outcome, bool* held);
    // After a complete scan: the machine's rotation axis from its run-out, when it shows it
    // (runout::LearnAxis); the next scans predict from their first frame with it (logged).
    void learnAxis(const runout::Model& runout, double diameter);
    // The first front frame of the last settle (see FreshCaptureRule), within MeasurementWaitMs.
    // Captured at or after notBeforeUs too (the frame's start: the first frame of a scan may
    // need no move, and the stone may have been changed while the axes stood still).
    bool takeSettledFrame(CameraFrame* captured, qint64 notBeforeUs);
    // A complete scan: publishes the panorama joined from the frames it kept and stores its file
    // in the folder (when the setting asks for it). Otherwise (failed, stopped, file off) only
    // takes an older panorama.png out of the folder, which would not show this scan's frames.
    void finishPanorama(const scanpanorama::Outcome& joined, const QString& folder, bool complete);

    Logs* logging = nullptr;
    Registry* AppRegistry = nullptr;
    CamMF* mfCamera = nullptr;
    MotionCore* Motion = nullptr;

    std::atomic<bool> StitchingRun{false};
    std::atomic<bool> scanning{false};   // from a start until just before "SCANEND"
    std::atomic<bool> NewMFCapture{false};
    std::atomic<bool> _steppedmode{false};
    std::atomic<bool> _nextstep{false};

    std::atomic<bool> operatorStop{false};

    std::mutex startMutex;
    QString scanFolder;       // guarded by startMutex; read by the scan after its start
    quint64 scanSession = 0;  // guarded by startMutex: the host session that asked (0: operator)
    bool destroying = false;  // guarded by startMutex
    // The scans' own: one scan runs at a time, and a scan thread starts after the last one ended.
    runout::Axis learntAxis;

    mutable std::mutex resultMutex;
    cv::Mat PanoramaResult;            // guarded by resultMutex
    panorama::Result lastPanorama;     // guarded by resultMutex
    QStringList panoramaQuality;       // guarded by resultMutex
    QVector<FrameTiming> frameTimings; // guarded by resultMutex
    girdleprofile::Profile lastGirdle; // guarded by resultMutex
};
