#pragma once

#include "core/singleton.h"
#include "hostlink/hostmessages.h"
#include "motion/aligner.h"
#include "motion/alignmenttargets.h"
#include "motion/frontcheck.h"
#include "motion/hostaxes.h"
#include "motion/measurementfeed.h"
#include "motion/motionoutcome.h"
#include "motion/motionsettings.h"
#include "motion/requestarbiter.h"
#include "motion/requestscope.h"

#include <QImage>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class Logs;
class Registry;
class TopStoneTracker;
class VeltraxServer;

// The station's motion: the front the window, the scan and the host connection talk to. It
// wires the host's signals and the top tracker's results to the units that do the work and
// keeps their public names:
//  - MotionSettings (inherited): calibration, guide marks and wait bounds, edited in place by
//    the window (Motion->TLPixelSize = 25.6);
//  - HostAxes: positions, the GMS/MOVESTAT exchange, move texts, the end-of-motion wait;
//  - MeasurementFeed: tracker results and the wait for a fresh one after still + settle;
//  - Aligner: the measure-and-move alignments and their residual;
//  - RequestArbiter: the request queue, the scan's exclusivity, release-then-send.
// run() is the 50 ms loop that serves alignment requests and, when the operator's switches are
// on, re-aligns whenever A has changed.
//
// Threads: the object lives in the main thread, so its slots run there (host signals arrive
// queued from the server thread, tracker results from the tracker thread). The blocking calls
// (Blocking_IsMoving, QueryMotionStatus, WaitMotionEnd, the alignments) run on any thread but
// the main one, which delivers the answers they wait for; the girdle scan calls them from its
// own thread. Texts for the host leave through TXCMD or TXCMDTO, delivered queued to the server.
// Locks: each unit's header says which of its mutexes guards what; this front holds no lock.
// The A position of the last re-alignment and the targets below are std::atomic.
class MotionCore : public QThread, public MotionSettings
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(MotionCore)

public:
    ~MotionCore() override;

    static constexpr int ResultsAfterMotion = MeasurementFeed::ResultsAfterMotion;

    // Operator switches: re-align whenever A has changed.
    std::atomic<bool> EngageAutoAlignForInscription{false};
    std::atomic<bool> EngageAutoAlignForPanorama{false};

    using FailReason = hostmessages::FailReason;
    using Outcome = alignment::Outcome;
    using AlignmentTiming = alignment::Timing;
    using RequestScope = ::RequestScope;
    using MotionStatus = HostAxes::MotionStatus;

    // The host session of the request running on the calling thread (0: none, or the operator).
    static quint64 CurrentOwner() { return RequestScope::Current(); }
    // True when the calling thread's request belongs to a host whose connection has ended.
    bool OwnerGone() const { return axes->ownerGone(); }

    // One motion request at a time: a scan starts only when no alignment runs or waits, and
    // alignments wait while a scan runs. False when the scan must be refused.
    bool BeginScan() { return arbiter->beginScan(); }
    void EndScan() { arbiter->endScan(); }
    // The operator's calibration holds the axes the same way; host requests meanwhile get BUSY.
    bool BeginCalibration() { return arbiter->beginCalibration(); }
    void EndCalibration() { arbiter->endCalibration(); }
    bool Calibrating() const { return arbiter->calibrating(); }
    // The data connection of the host connected now (0: none).
    quint64 HostSession() const;
    // Requests waiting for the loop (diagnostics and tests).
    int PendingRequests() const { return arbiter->pendingRequests(); }
    // The host session of the last BGSCAN (main thread; 0 once taken or for the operator).
    quint64 TakeScanRequestSession() { return arbiter->takeScanRequestSession(); }

    // Sends one text to the host unchanged (also the operator's command line). Inside a
    // request (RequestScope) the text goes to the requesting host only.
    void TessarixCommand(QString text);
    // The same for a text with an image (scan reports in image form).
    void SendImage(QString text, QImage image);

    void IncrementX(double d) { axes->increment(hostmessages::Axis::X, d); }
    void IncrementY(double d) { axes->increment(hostmessages::Axis::Y, d); }
    void IncrementZ(double d) { axes->increment(hostmessages::Axis::Z, d); }
    void IncrementA(double d) { axes->increment(hostmessages::Axis::A, d); }
    void IncrementZII(double d) { axes->increment(hostmessages::Axis::ZII, d); }
    void MoveXTo(double x) { axes->moveTo(hostmessages::Axis::X, x); }
    void MoveYTo(double y) { axes->moveTo(hostmessages::Axis::Y, y); }
    void MoveZTo(double z) { axes->moveTo(hostmessages::Axis::Z, z); }
    void MoveATo(double a) { axes->moveTo(hostmessages::Axis::A, a); }
    void MoveZIITo(double f) { axes->moveTo(hostmessages::Axis::ZII, f); }
    void MoveXYTo(double x, double y) { axes->moveXY(x, y); }
    void MoveXYZTo(double x, double y, double z) { axes->moveXYZ(x, y, z); }
    void MoveTo(double x, double y, double z, double a, double f) { axes->moveAll(x, y, z, a, f); }

    // Asks the host "GMS" and waits for its MOVESTAT answer: true when any axis reports 1
    // (moving). False, without an answer, as soon as the core shuts down or stop() returns true
    // (checked every millisecond), when no host is connected or the host that was asked goes
    // away (it will never answer; logged), and when no answer comes within StatusAnswerWaitMs
    // (`PMALGMSTO`; logged): a status that did not come from the host is never invented. A
    // long silence is logged every 5 s. Must not be called on the main thread, which delivers
    // the answer (logged; returns false).
    bool Blocking_IsMoving(const std::function<bool()>& stop = {})
    {
        return QueryMotionStatus(stop) == MotionStatus::Moving;
    }
    // The same question with the outcomes told apart: waits for the end of a motion need to
    // know whether the axes are still or the answer never came (TimedOut: none within
    // StatusAnswerWaitMs, logged).
    MotionStatus QueryMotionStatus(const std::function<bool()>& stop = {}) { return axes->queryMotionStatus(stop); }

    double GetXPos() const { return axes->x(); }
    double GetYPos() const { return axes->y(); }
    double GetZPos() const { return axes->z(); }
    double GetAPos() const { return axes->a(); }
    double GetZIIPos() const { return axes->zii(); }
    double GetStoneDiameter() const { return StoneDiameter; }

    void LoadTLMotionParameters();
    void SaveTLMotionParameter();
    void LoadMFMotionParameters();
    void SaveMFMotionParameter();

    // Measure-and-move alignments (Aligner), callable from any thread but the main one: true
    // when they ran to the end and the stone landed within ResidualLimitUm; false when they
    // failed (outcome->reason, one log line) or were interrupted. No move is sent after either.
    bool AlignForInscription(int iterations, const std::function<bool()>& stop = {}, Outcome* outcome = nullptr)
    {
        return aligner->align(alignment::Kind::Inscription, iterations, stop, outcome);
    }
    // X and Z to their inscription targets; Y is sent to its last reported position.
    bool AlignXForInscription(int iterations, const std::function<bool()>& stop = {}, Outcome* outcome = nullptr)
    {
        return aligner->align(alignment::Kind::InscriptionX, iterations, stop, outcome);
    }
    // X, Y and ZII to the targets for the front camera; logs the time of every wait.
    bool AlignForPanorama(int iterations, const std::function<bool()>& stop = {}, Outcome* outcome = nullptr)
    {
        return aligner->align(alignment::Kind::Panorama, iterations, stop, outcome);
    }

    // One fresh Top Large measurement after the calling thread's last motion, without moving:
    // its targets and the front residual against where the axes stand (Aligner::measure).
    Outcome MeasureFront(const std::function<bool()>& stop, alignment::Targets* targets, alignment::Residual* residual)
    {
        return aligner->measure(alignment::Kind::Panorama, stop, targets, residual);
    }

    // Why a front move to these targets must not be sent (empty: it may): the checks an
    // alignment makes before each of its moves (calibration, plausible positions, no move longer
    // than the Top Large view spans, the last measured stone), for targets that come from
    // elsewhere (the scan's run-out).
    QString CheckFrontTargets(double x, double y, double zii) const;

    // Targets of the last measurement with a stone (valid false before the first).
    alignment::Targets LastTargets() const { return feed->lastTargets(); }
    // What the last finished alignment left, from a tracker result of a frame taken after its
    // last motion (valid false until one has been measured).
    alignment::Residual LastResidual() const { return aligner->lastResidual(); }
    // Where the time of the last finished alignment went (microseconds).
    AlignmentTiming LastAlignmentTiming() const { return aligner->lastTiming(); }

    // Checks every front alignment on the side view (the girdle on the first fresh front frame
    // against the middle row). Fed by the girdle analyser's readings (GridleAnalyser::NewMFGirdle),
    // connected by whoever creates the analyser; lives on the main thread.
    FrontCheck* FrontChecker() const { return frontCheck; }

    // Asks for the motion status until no axis moves and this thread's moves since its last
    // wait are reported at their commanded positions (HostAxes::waitMotionEnd). Not on the
    // main thread.
    bool WaitMotionEnd(const std::function<bool()>& stop = {}, AlignmentTiming* timing = nullptr,
                       Outcome* outcome = nullptr)
    {
        return axes->waitMotionEnd(stop, timing, outcome);
    }
    // Steady-clock time (microseconds) at which the calling thread's last WaitMotionEnd heard
    // the axes reported still.
    static qint64 LastStillTimeUs() { return HostAxes::lastStillUs(); }
    // The rule for frames the calling thread may take as showing where its last motion left
    // the stone: captured SettleMs after its last WaitMotionEnd heard the axes still.
    SettledCapture FreshCaptureRule() const { return SettledCapture::since(LastStillTimeUs(), SettleMs); }
    // Steady-clock microseconds, the clock of frame capture times.
    static qint64 NowUs() { return HostAxes::nowUs(); }
    // Waits for a tracker result with a stone from a frame the calling thread's FreshCaptureRule
    // counts, within MeasurementWaitMs (MeasurementFeed::waitFresh). Not on the main thread.
    Outcome WaitFreshMeasurement(const std::function<bool()>& stop, alignment::TrackerMeasurement* measurement,
                                 alignment::Targets* targets = nullptr)
    {
        alignment::Targets ignored;
        return feed->waitFresh(stop, FreshCaptureRule(), MeasurementWaitMs, nullptr, targets ? targets : &ignored,
                               measurement);
    }

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
    void wire();
    void serveLoopPass();

    Logs* logging = nullptr;
    Registry* AppRegistry = nullptr;
    VeltraxServer* Server = nullptr;
    TopStoneTracker* TrackStoneFromTop = nullptr;

    std::atomic<bool> closing{false};
    std::unique_ptr<HostAxes> axes;
    std::unique_ptr<MeasurementFeed> feed;
    std::unique_ptr<Aligner> aligner;
    std::unique_ptr<RequestArbiter> arbiter;
    FrontCheck* frontCheck = nullptr; // a child: goes with the motion core

    // Main thread: reason and capture time for the next tracker result.
    QString pendingReason;
    qint64 pendingCaptureUs = -1;

    std::atomic<double> StoneDiameter{0};
    // The targets of the last measurement with a stone, under the names the machine's
    // documentation gives them; nothing in the station reads them (the alignments take
    // MeasurementFeed's snapshot, the window the StoneCentredCoordinates* signals). The
    // inscription targets are named crosswise: CYMoveDist is the target of axis X, CXMoveDist
    // that of axis Y.
    std::atomic<double> CYMoveDist{0}, CZMoveDist{0}, CXMoveDist{0};
    std::atomic<double> CYPanorMoveDist{0}, CZIIPanorMoveDist{0}, CXPanorMoveDist{0};
    // Set each time targets are computed from a measurement with a stone, as the machine's
    // documentation names it; the alignments wait on MeasurementFeed's capture times instead.
    std::atomic<bool> NewCordinate{false};
    // A at the last pass of the loop: a change re-aligns when the operator's switches are on.
    std::atomic<double> AutoalignAPos{0};
};
