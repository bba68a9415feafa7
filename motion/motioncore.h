#pragma once

#include "core/singleton.h"
#include "hostlink/hostmessages.h"
#include "motion/alignmenttargets.h"
#include "motion/commandedposition.h"
#include "motion/frontcheck.h"

#include <QImage>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
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
//  - measurementMutex guards measurementSerial, resultSerial, the lastResult* fields,
//    lastMeasurement and lastTargets; measurementArrived is its condition (woken on every
//    measurement with a stone).
//  - reportMutex guards lastResidual and lastTiming.
//  - loopMutex guards requests, alignmentActive and scanActive, and is the condition mutex of
//    loopWake (wakes the 50 ms loop early).
//  - SyncMotionStatus also guards statusSession, statusAsked and statusAnswered.
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

    // Tracker results with a stone an alignment waits for after a motion, using the last (when
    // the camera gives no capture times). The first results after the host reports the end of a
    // motion may come from frames taken, or still being processed, while the axes stood
    // elsewhere: moving by such a result repeats the whole previous move. The tracker may be
    // working on one frame and have the next one announced at that moment, so the third result
    // is the first sure to show the stone where the motion left it. The residual is taken the
    // same way.
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

    // Bounds of the waits inside an alignment (milliseconds), settings "PMALMEASTO" (a stone
    // measurement from a frame taken after the motion), "PMALGMSTO" (the host's MOVESTAT answer
    // to one GMS) and "PMALSETTLE" (time after the host reported the axes still before a frame
    // counts as showing where the motion left the stone).
    std::atomic<int> MeasurementWaitMs{5000};
    std::atomic<int> StatusAnswerWaitMs{60000};
    std::atomic<int> SettleMs{20};
    // "PMALPOSTOL" (axis units): inside an alignment or a scan the end of a motion counts only
    // once the positions the host reports (COORDS) stand this close to the ones commanded.
    std::atomic<double> PositionTolerance{0.001};
    // "PMALRESMAX" (micrometres, i.e. thousandths of an axis unit like the pixel sizes): an
    // alignment whose residual after its last move is larger on any axis it aligns fails with
    // RESIDUAL. Two TL pixels by default.
    std::atomic<double> ResidualLimitUm{51.2};

    using FailReason = hostmessages::FailReason;

    // How an alignment, a wait or a scan step ended: done, failed with a reason (the host is
    // told), or interrupted (stop, shutdown, or the host that asked has left: nobody to tell).
    struct Outcome
    {
        enum State { Done, Failed, Interrupted };
        State state = Interrupted;
        FailReason reason = FailReason::NoStone;
        QString detail;   // for the log and the window
        bool ok() const { return state == Done; }
        bool failed() const { return state == Failed; }
    };

    // Everything a request does on a thread belongs to the host data connection that asked
    // (VeltraxServer::HostSession() number; 0 for the operator, who belongs to no host): its
    // texts reach that host only, and its waits end when that connection ends. A scope marks
    // the current thread's request for its lifetime.
    class RequestScope
    {
    public:
        explicit RequestScope(quint64 session);
        ~RequestScope();
        RequestScope(const RequestScope&) = delete;
        RequestScope& operator=(const RequestScope&) = delete;

    private:
        quint64 previous;
    };
    // The host session of the request running on the calling thread (0: none, or the operator).
    static quint64 CurrentOwner();
    // True when the calling thread's request belongs to a host whose connection has ended.
    bool OwnerGone() const;

    // One motion request at a time: a scan starts only when no alignment runs or waits, and
    // alignments wait while a scan runs. False (logged) when the scan must be refused.
    bool BeginScan();
    void EndScan();
    // Requests waiting for the loop (diagnostics and tests).
    int PendingRequests() const;
    // The host session of the last BGSCAN (main thread; 0 once taken or for the operator).
    quint64 TakeScanRequestSession();

    // Sends one text to the host unchanged (also the operator's command line). Inside a
    // request (RequestScope) the text goes to the requesting host only.
    void TessarixCommand(QString text);
    // The same for a text with an image (scan reports in image form).
    void SendImage(QString text, QImage image);

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
    // TimedOut: no answer within StatusAnswerWaitMs (logged).
    enum class MotionStatus { Moving, Still, NoAnswer, TimedOut };
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
    // waits for the end of motion, waits (at most MeasurementWaitMs) for a tracker result of a
    // frame taken after it, checks that result and the move it gives, and sends one move; the
    // last motion is waited for too, and the stone measured once more: the residual must be
    // within ResidualLimitUm. They return true when they ran to the end and the stone landed;
    // false when they failed (no stone, an implausible move or setting, the host silent or never
    // reporting the commanded position, the residual too large: outcome->reason, one log line)
    // or were interrupted (stop, shutdown, the asking host gone). No move is sent after either.
    bool AlignForInscription(int iterations, const std::function<bool()>& stop = {}, Outcome* outcome = nullptr);
    // X and Z to their inscription targets; Y is sent to its last reported position.
    bool AlignXForInscription(int iterations, const std::function<bool()>& stop = {}, Outcome* outcome = nullptr);
    // X, Y and ZII to the targets for the front camera; logs the time of every wait.
    bool AlignForPanorama(int iterations, const std::function<bool()>& stop = {}, Outcome* outcome = nullptr);

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

    // Checks every front alignment on the side view (the girdle on the first fresh front frame
    // against the middle row). Fed by the girdle analyser's readings (GridleAnalyser::NewMFGirdle),
    // connected by whoever creates the analyser; lives on the main thread.
    FrontCheck* FrontChecker() const { return frontCheck; }

    // Asks for the motion status until no axis moves: true when the host reports the axes
    // still and, for the moves this thread sent since its last wait (recorded by the move
    // operations on every thread but the main one, so the operator's jogs are not), reports
    // them at their commanded positions within PositionTolerance; false when interrupted (stop,
    // shutdown, or no host to answer) or failed (HOST: no answer to a GMS within
    // StatusAnswerWaitMs, or the commanded positions not reported within StatusAnswerWaitMs of
    // the first "still"). Adds its status queries and waiting time to timing when given. Not on
    // the main thread.
    bool WaitMotionEnd(const std::function<bool()>& stop = {}, AlignmentTiming* timing = nullptr,
                       Outcome* outcome = nullptr);
    // Steady-clock time (microseconds) at which the calling thread's last WaitMotionEnd heard
    // the axes reported still.
    static qint64 LastStillTimeUs();
    // Steady-clock microseconds, the clock of frame capture times.
    static qint64 NowUs();

signals:
    void TXCMD(QString text);
    void SENDIMAGETXCMD(QString text, QImage image);
    // Texts of a host's request: delivered to that host's data connection only.
    void TXCMDTO(quint64 session, QString text);
    void SENDIMAGETXCMDTO(quint64 session, QString text, QImage image);
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
    // The host data connection of the command whose signals follow (from the server).
    void RefreshCommandSession(quint64 session);
    // Why the next tracker result has no stone, and its frame's capture time (from the tracker,
    // just before the result itself).
    void RefreshTLResultInfo(QString reason, qint64 captureTimeUs);
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
    bool send(const QString& text, const char* what);
    // Records a move sent by an alignment or a scan for the next WaitMotionEnd of this thread.
    void commandedTo(hostmessages::Axis axis, double position);
    void incrementBy(hostmessages::Axis axis, double distance, const char* what);
    alignment::AxisPositions reportedPositions() const;
    // The residual from a measurement of a frame taken after the last motion, checked against
    // ResidualLimitUm; logged and shown.
    Outcome measureResidual(alignment::Kind kind, const std::function<bool()>& stop, AlignmentTiming* timing);
    // Waits for a tracker result with a stone from a frame captured at least SettleMs after
    // stillAtUs (or, when the camera gives no capture time, the ResultsAfterMotion-th result
    // after the call), within MeasurementWaitMs of the start or of the last earlier result.
    Outcome waitNewMeasurement(const std::function<bool()>& stop, AlignmentTiming* timing, qint64 stillAtUs,
                               alignment::Targets* targets, alignment::TrackerMeasurement* measurement);
    bool align(alignment::Kind kind, int iterations, const std::function<bool()>& stop, Outcome* outcome);
    // Sends the end or failure message of a host request and shows the outcome.
    void finishRequest(alignment::Kind kind, quint64 session, const Outcome& outcome);
    void refuseBusy(alignment::Kind kind, quint64 session);
    void enqueue(alignment::Kind kind);
    void serveLoopPass();
    void loadWaitParameters();

    Logs* logging = nullptr;
    Registry* AppRegistry = nullptr;
    VeltraxServer* Server = nullptr;
    TopStoneTracker* TrackStoneFromTop = nullptr;
    FrontCheck* frontCheck = nullptr; // a child: goes with the motion core

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
    // GMS questions asked of and answers received from the host of statusSession: a query waits
    // for the answer to its own question, so a late answer to an earlier one cannot end it.
    quint64 statusSession = 0;
    quint64 statusAsked = 0;
    quint64 statusAnswered = 0;

    std::atomic<double> StoneDiameter{0};
    std::atomic<double> CYMoveDist{0}, CZMoveDist{0}, CXMoveDist{0};
    std::atomic<double> CYPanorMoveDist{0}, CZIIPanorMoveDist{0}, CXPanorMoveDist{0};
    std::atomic<double> AutoalignAPos{0};

    // Pending host requests, each with the session that asked (guarded by loopMutex); served
    // one at a time in the order ENAAX, BGALIGN, BGRALIGN, each kind first come first served.
    struct PendingRequest
    {
        alignment::Kind kind;
        quint64 session;
    };
    std::deque<PendingRequest> requests;
    bool alignmentActive = false;   // guarded by loopMutex: a request's alignment runs
    bool scanActive = false;        // guarded by loopMutex: a scan runs
    std::atomic<bool> NewCordinate{false};

    // Main thread: the session of the host command being delivered, and of the last BGSCAN.
    quint64 lastCommandSession = 0;
    quint64 scanRequestSession = 0;
    // Main thread: reason and capture time for the next tracker result.
    QString pendingReason;
    qint64 pendingCaptureUs = -1;

    mutable std::mutex measurementMutex;
    std::condition_variable measurementArrived;
    quint64 measurementSerial = 0;               // counts measurements with a stone
    quint64 resultSerial = 0;                    // counts every tracker result
    bool lastResultStone = false;
    QString lastResultReason;                    // the tracker's word when there was no stone
    qint64 lastResultCaptureUs = -1;
    alignment::TrackerMeasurement lastMeasurement;
    alignment::Targets lastTargets;

    mutable std::mutex reportMutex;
    alignment::Residual lastResidual;
    AlignmentTiming lastTiming;

    mutable std::mutex loopMutex;
    std::condition_variable loopWake;
};
