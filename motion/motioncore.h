#pragma once

#include "core/singleton.h"
#include "motion/alignmenttargets.h"

#include <QImage>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

class Logs;
class Registry;
class TopStoneTracker;
class VeltraxServer;

// The station's model of the host's axes. The host owns X, Y, Z, A (rotation, degrees) and ZII
// (the front camera's focus axis, F in commands); the station only asks it to move. MotionCore
// keeps the positions and motion status the host reports, holds the calibration that turns
// top-view (TL) measurements into axis targets, formats every move command, and runs the
// measure-and-move alignments the host and the operator ask for.
//
// Threads: the object lives in the main thread, so its slots run there (host signals arrive
// queued from the server thread, tracker results from the tracker thread). run() is the 50 ms
// loop that serves alignment requests. Blocking_IsMoving(), the move operations and the
// alignments may be called from any thread except the main one for the blocking calls (the
// answer they wait for is delivered on the main thread); the girdle scan calls them from its
// own thread. Texts for the host leave through TXCMD, delivered queued to the server.
//
// Locks:
//  - SyncMotionStatus guards _MasterMotionStatus, _AMotionStatus, _ZIIMotionStatus;
//    statusArrived is its condition (woken when MOVESTAT is stored).
//  - measurementMutex guards measurementSerial, lastTargets, residualPending and
//    pendingResidualKind; measurementArrived is its condition (woken on every measurement with
//    a stone).
//  - reportMutex guards lastResidual and lastTiming.
//  - loopMutex is the condition mutex of loopWake (wakes the 50 ms loop early).
//  All four are std::mutex rather than QMutex so that ThreadSanitizer sees the locking (QMutex
//  locks inside the uninstrumented Qt library).
// Parameters, flags, positions, tracker values and targets are std::atomic: each value is read
// and written whole. A move is always built from one lastTargets snapshot, never from targets of
// two different measurements.
class MotionCore : public QThread
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(MotionCore)

public:
    ~MotionCore() override;

    // Tracker results with a stone an alignment waits for after a motion, using the last. The
    // first results after the host reports the end of a motion may come from frames taken, or
    // still being processed, while the axes stood elsewhere: moving by such a result repeats
    // the whole previous move. The tracker may be working on one frame and have the next one
    // announced at that moment, so the third result is the first sure to show the stone where
    // the motion left it. The residual is taken the same way.
    static constexpr int ResultsAfterMotion = 3;

    // Calibration and overlay parameters; the window edits them in place (Motion->TLPixelSize =
    // 25.6) and draws its marks from them. Image values are TL pixels, pixel sizes thousandths
    // of an axis unit per pixel, positions axis units.
    std::atomic<int> OverlayTLCenterH{0};
    std::atomic<int> OverlayTLCenterV{0};
    std::atomic<int> OverlayTLCenterCirclesNumber{0};
    std::atomic<double> OverlayTLCenterCirclesSpace{0};
    std::atomic<int> OverlayTLFocalX{0};
    std::atomic<int> OverlayTLFocalY{0};
    std::atomic<int> OverlayMFCenterH{0};
    std::atomic<int> OverlayMFCenterV{0};
    std::atomic<int> OverlayMFFocalX{0};
    std::atomic<int> OverlayMFFocalY{0};
    std::atomic<double> TLPixelSize{25.6};
    std::atomic<double> MFPixelSize{1.27};
    std::atomic<double> MFPixelDeg{0.041707};      // stored and edited; no computation uses it
    std::atomic<double> TLZFocusPosition{15.0};
    std::atomic<double> TLYOffsetPosition{10.32};
    std::atomic<double> MFYOffsetPosition{12.0};
    std::atomic<double> MFXFocusPosition{15.0};
    std::atomic<double> RoundCrownPercent{15.4};
    std::atomic<double> RoundGridlePercent{2.5};
    // Operator switches: re-align whenever A has changed.
    std::atomic<bool> EngageAutoAlignForInscription{false};
    std::atomic<bool> EngageAutoAlignForPanorama{false};

    // Sends one text to the host unchanged (also the operator's command line).
    void TessarixCommand(QString text);

    void IncrementX(double d);
    void IncrementY(double d);
    void IncrementZ(double d);
    void IncrementA(double d);
    void IncrementZII(double d);
    void MoveXTo(double x);
    void MoveYTo(double y);
    void MoveZTo(double z);
    void MoveATo(double a);
    void MoveZIITo(double f);
    void MoveXYTo(double x, double y);
    void MoveXYZTo(double x, double y, double z);
    void MoveTo(double x, double y, double z, double a, double f);

    // Asks the host "GMS" and waits for its MOVESTAT answer: true when any axis reports 1
    // (moving). Returns false, without an answer, as soon as the core shuts down or stop()
    // returns true (checked every millisecond), and when no host is connected or the host that
    // was asked goes away (it will never answer; logged). There is no time-out: a status that
    // did not come from the host is never invented; a long silence is logged every 5 s. Must
    // not be called on the main thread, which delivers the answer (logged; returns false).
    bool Blocking_IsMoving(const std::function<bool()>& stop = {});

    // The same question with the three outcomes told apart: waits for the end of a motion
    // need to know whether the axes are still or the answer never came.
    enum class MotionStatus { Moving, Still, NoAnswer };
    MotionStatus QueryMotionStatus(const std::function<bool()>& stop = {});

    double GetXPos() const { return _XCurrentPos; }
    double GetYPos() const { return _YCurrentPos; }
    double GetZPos() const { return _ZCurrentPos; }
    double GetAPos() const { return _ACurrentPos; }
    double GetZIIPos() const { return _ZIICurrentPos; }
    double GetStoneDiameter() const { return StoneDiameter; }

    void LoadTLMotionParameters();
    void SaveTLMotionParameter();
    void LoadMFMotionParameters();
    void SaveMFMotionParameter();

    // Measure-and-move alignments, callable from any thread but the main one. Each iteration
    // waits for the end of motion, waits for a tracker result taken after it and sends one move
    // to the targets of that result; the last motion is waited for too. They return true when
    // they ran to the end, false when shutdown or stop() interrupted them (no further move is
    // sent then).
    bool AlignForInscription(int iterations, const std::function<bool()>& stop = {});
    // X and Z to their inscription targets; Y is sent to its last reported position.
    bool AlignXForInscription(int iterations, const std::function<bool()>& stop = {});
    // X, Y and ZII to the targets for the front camera; logs the time of every wait.
    bool AlignForPanorama(int iterations, const std::function<bool()>& stop = {});

    // A snapshot of the parameters the targets are computed from.
    alignment::Parameters CurrentParameters() const;
    // Targets of the last measurement with a stone (valid false before the first).
    alignment::Targets LastTargets() const;
    // What the last finished alignment left, from a tracker result of a frame taken after its
    // last motion (valid false until one has been measured).
    alignment::Residual LastResidual() const;

    // Where the time of the last finished alignment went (microseconds).
    struct AlignmentTiming
    {
        alignment::Kind kind = alignment::Kind::Inscription;
        qint64 totalUs = 0;
        qint64 motionWaitUs = 0;    // waiting for MOVESTAT to report the end of motion
        qint64 trackerWaitUs = 0;   // waiting for a tracker result after the motion
        int statusQueries = 0;      // GMS exchanges
        qint64 ownWorkUs() const { return totalUs - motionWaitUs - trackerWaitUs; }
    };
    AlignmentTiming LastAlignmentTiming() const;

    // Asks for the motion status until no axis moves: true when the host reports the axes
    // still; false when interrupted (stop, shutdown, or no host to answer). Adds its status
    // queries and waiting time to timing when given. Not on the main thread.
    bool WaitMotionEnd(const std::function<bool()>& stop = {}, AlignmentTiming* timing = nullptr);

signals:
    void TXCMD(QString text);
    void SENDIMAGETXCMD(QString text, QImage image);
    // Inscription targets: X, Z, Y (in that order).
    void StoneCentredCoordinatesInscription(double x, double z, double y);
    // Front-camera targets: X, Y, ZII.
    void StoneCentredCoordinatesPanorama(double x, double y, double zii);
    void StartAutoScan();
    // The residual of the last alignment, short and readable ("X 0.42 px (0.0107), ...").
    void AlignmentResidual(QString text);
    // How the last alignment ended, in words for the operator: success with its residual, or
    // the failure and its reason.
    void AlignmentOutcome(bool ok, QString text);

public slots:
    void RefreshCurrentPositions(double x, double y, double z, double a, double zii);
    void RefreshMotionStatus(int master, int a, int zii);
    void RefreshTLTracker(double centerX, double centerY, double focalX, double focalY, double mfX, double mfY);
    void EngageAutoXAlign();
    void StartAutoAlignement(bool);
    void StartAutoAlignementImageSaving(bool);
    void StartAutoScanProxy();

protected:
    void run() override;

private:
    explicit MotionCore(QObject* parent = nullptr);

    bool stopRequested(const std::function<bool()>& stop) const;
    void send(const QString& text, const char* what);
    // Waits for a tracker result with a stone from a frame taken after the call began (see
    // ResultsAfterMotion). False when interrupted.
    bool waitNewMeasurement(const std::function<bool()>& stop, AlignmentTiming* timing);
    bool align(alignment::Kind kind, int iterations, const std::function<bool()>& stop);
    void serveLoopPass();

    Logs* logging = nullptr;
    Registry* AppRegistry = nullptr;
    VeltraxServer* Server = nullptr;
    TopStoneTracker* TrackStoneFromTop = nullptr;

    std::atomic<bool> RunAuto{false};
    std::atomic<bool> RunMoving{false};
    std::atomic<bool> _exiting{false};

    std::atomic<double> _CenterX{0}, _CenterY{0}, _FocalX{0}, _FocalY{0}, _MFX{0}, _MFY{0};
    std::atomic<double> _XCurrentPos{0}, _YCurrentPos{0}, _ZCurrentPos{0}, _ACurrentPos{0}, _ZIICurrentPos{0};

    std::mutex SyncMotionStatus;
    std::condition_variable statusArrived;
    int _MasterMotionStatus = 0;   // 1 moving, other values not moving, -1 query pending
    int _AMotionStatus = 0;
    int _ZIIMotionStatus = 0;

    std::atomic<double> StoneDiameter{0};
    std::atomic<double> CYMoveDist{0}, CZMoveDist{0}, CXMoveDist{0};
    std::atomic<double> CYPanorMoveDist{0}, CZIIPanorMoveDist{0}, CXPanorMoveDist{0};
    std::atomic<double> AutoalignAPos{0};

    std::atomic<bool> AutoManAlignInscription{false};
    std::atomic<bool> AutoFullAlignInscription{false};
    std::atomic<bool> AutoFullAlignImageSaving{false};
    std::atomic<bool> NewCordinate{false};

    mutable std::mutex measurementMutex;
    std::condition_variable measurementArrived;
    quint64 measurementSerial = 0;               // counts measurements with a stone
    alignment::Targets lastTargets;
    int residualPending = 0;                     // results with a stone until the residual
    alignment::Kind pendingResidualKind = alignment::Kind::Inscription;

    mutable std::mutex reportMutex;
    alignment::Residual lastResidual;
    AlignmentTiming lastTiming;

    std::mutex loopMutex;
    std::condition_variable loopWake;
};
