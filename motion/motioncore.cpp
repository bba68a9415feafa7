#include "motion/motioncore.h"

#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "hostlink/hostmessages.h"
#include "vision/topstonetracker.h"

#include <QElapsedTimer>

#include <chrono>
#include <cmath>
#include <exception>

using hostmessages::Axis;
using hostmessages::Number;

namespace {

// A silent host is reported at this interval while a status query waits (it keeps waiting).
constexpr qint64 SilentHostReportMs = 5000;
// How long a status query waits for late answers to earlier unanswered GMS before asking.
constexpr int LateAnswerGraceMs = 1000;
// Pause of the request loop between passes (requests and shutdown wake it early).
constexpr unsigned long LoopPauseMs = 50;

QString millis(qint64 microseconds)
{
    return QString::number((microseconds + 500) / 1000);
}

// The request the current thread works for (RequestScope), and when its last motion wait heard
// the axes still.
thread_local quint64 threadOwner = 0;
thread_local qint64 threadStillUs = -1;
// The moves this thread sent since its last motion wait (alignments and scans only).
thread_local CommandedPosition threadCommanded;
// Pause between GMS while the host says "still" but its COORDS do not show the commanded
// position yet (it reports them when the motion ends, possibly after its status).
constexpr unsigned long MisplacedQueryPauseMs = 5;

const char* endMessage(alignment::Kind kind)
{
    return kind == alignment::Kind::InscriptionX ? hostmessages::XAlignEnd : hostmessages::AlignEnd;
}

QString failMessage(alignment::Kind kind, hostmessages::FailReason reason)
{
    return kind == alignment::Kind::InscriptionX ? hostmessages::XAlignFail(reason) : hostmessages::AlignFail(reason);
}

int requestRank(alignment::Kind kind)
{
    switch (kind) {
    case alignment::Kind::InscriptionX: return 0;
    case alignment::Kind::Inscription: return 1;
    case alignment::Kind::Panorama: return 2;
    }
    return 3;
}

} // namespace

MotionCore::RequestScope::RequestScope(quint64 session)
    : previous(threadOwner)
{
    threadOwner = session;
}

MotionCore::RequestScope::~RequestScope()
{
    threadOwner = previous;
}

quint64 MotionCore::CurrentOwner()
{
    return threadOwner;
}

qint64 MotionCore::LastStillTimeUs()
{
    return threadStillUs;
}

qint64 MotionCore::NowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool MotionCore::OwnerGone() const
{
    const quint64 owner = threadOwner;
    return owner != 0 && (!Server || Server->HostSession() != owner);
}

MotionCore::MotionCore(QObject* parent)
    : QThread(parent)
{
    try {
        OverlayTLCenterH = 0;
        OverlayTLCenterV = 0;
        OverlayMFCenterH = 0;
        OverlayMFCenterV = 0;
        logging = Logs::AccessMemory();
        logging->udebug(QStringLiteral("Loading Motion Core..."));
        AppRegistry = Registry::AccessMemory();
        Server = VeltraxServer::AccessMemory();
        TrackStoneFromTop = TopStoneTracker::AccessMemory();
        frontCheck = new FrontCheck(logging, this);

        // Send has a default image argument; the text-only form is its own slot signature.
        connect(this, SIGNAL(TXCMD(QString)), Server, SLOT(Send(QString)));
        connect(this, SIGNAL(SENDIMAGETXCMD(QString, QImage)), Server, SLOT(Send(QString, QImage)));
        connect(this, SIGNAL(TXCMDTO(quint64, QString)), Server, SLOT(SendToSession(quint64, QString)));
        connect(this, SIGNAL(SENDIMAGETXCMDTO(quint64, QString, QImage)), Server,
                SLOT(SendToSession(quint64, QString, QImage)));
        connect(Server, &VeltraxServer::CommandSession, this, &MotionCore::RefreshCommandSession);
        connect(Server, &VeltraxServer::NewCoord, this, &MotionCore::RefreshCurrentPositions);
        connect(Server, &VeltraxServer::NewMotionStatus, this, &MotionCore::RefreshMotionStatus);
        connect(Server, &VeltraxServer::EngageAutoXAlign, this, &MotionCore::EngageAutoXAlign);
        connect(Server, &VeltraxServer::StartAutoAlignement, this, &MotionCore::StartAutoAlignement);
        connect(Server, &VeltraxServer::StartMFAutoAlignement, this, &MotionCore::StartAutoAlignementImageSaving);
        connect(Server, &VeltraxServer::StartAutoScan, this, &MotionCore::StartAutoScanProxy);
        connect(TrackStoneFromTop, &TopStoneTracker::NewTLResultInfo, this, &MotionCore::RefreshTLResultInfo);
        connect(TrackStoneFromTop, &TopStoneTracker::NewTLProcessedReady, this, &MotionCore::RefreshTLTracker);

        LoadTLMotionParameters();
        LoadMFMotionParameters();
        logging->udebug(QStringLiteral("Motion Core imported successfully"));
    } catch (const std::exception& e) {
        if (logging)
            logging->udebug(QStringLiteral("Error While Loading Motion Core") + QString::fromLocal8Bit(e.what()));
    }
    EngageAutoAlignForInscription = false;
    EngageAutoAlignForPanorama = false;
    RunMoving = true;
    _exiting = false;
    start(QThread::InheritPriority);
}

MotionCore::~MotionCore()
{
    {
        std::lock_guard<std::mutex> loopLock(loopMutex);
        RunAuto = false;
        EngageAutoAlignForInscription = false;
        EngageAutoAlignForPanorama = false;
        RunMoving = false;
        _exiting = true;
        loopWake.notify_all();
    }
    {
        std::lock_guard<std::mutex> statusLock(SyncMotionStatus);
        statusArrived.notify_all();
    }
    {
        std::lock_guard<std::mutex> measurementLock(measurementMutex);
        measurementArrived.notify_all();
    }
    while (!wait(1)) {
    }
    if (logging)
        logging->udebug(QStringLiteral("Motion Core Destruction"));
}

// ---------------------------------------------------------------------------------------------
// Commands

void MotionCore::TessarixCommand(QString text)
{
    const quint64 owner = threadOwner;
    if (owner != 0)
        emit TXCMDTO(owner, text);
    else
        emit TXCMD(text);
}

void MotionCore::SendImage(QString text, QImage image)
{
    const quint64 owner = threadOwner;
    if (owner != 0)
        emit SENDIMAGETXCMDTO(owner, text, image);
    else
        emit SENDIMAGETXCMD(text, image);
}

bool MotionCore::send(const QString& text, const char* what)
{
    if (text.isEmpty()) {
        logging->udebug(QStringLiteral("Motion Core: ") + QLatin1String(what)
                        + QStringLiteral(" not sent, a value is not a finite number"));
        return false;
    }
    TessarixCommand(text);
    return true;
}

alignment::AxisPositions MotionCore::reportedPositions() const
{
    return {_XCurrentPos, _YCurrentPos, _ZCurrentPos, _ACurrentPos, _ZIICurrentPos};
}

// The operator's jogs and the window's buttons run on the main thread and wait for nothing.
void MotionCore::commandedTo(Axis axis, double position)
{
    if (QThread::currentThread() != thread())
        threadCommanded.moveTo(axis, position);
}

// A relative move is recorded from where the axes stood before it was sent: a fast host may
// report the end of the motion before the step is recorded, and the step must not be added to
// where it already took them. The operator's jogs (main thread) are not recorded.
void MotionCore::incrementBy(Axis axis, double distance, const char* what)
{
    const alignment::AxisPositions before = reportedPositions();
    if (send(hostmessages::Increment(axis, distance), what) && QThread::currentThread() != thread())
        threadCommanded.moveBy(axis, distance, before);
}

void MotionCore::IncrementX(double d) { incrementBy(Axis::X, d, "INCX"); }
void MotionCore::IncrementY(double d) { incrementBy(Axis::Y, d, "INCY"); }
void MotionCore::IncrementZ(double d) { incrementBy(Axis::Z, d, "INCZ"); }
void MotionCore::IncrementA(double d) { incrementBy(Axis::A, d, "INCA"); }
void MotionCore::IncrementZII(double d) { incrementBy(Axis::ZII, d, "INCF"); }
void MotionCore::MoveXTo(double x)
{
    if (send(hostmessages::MoveTo(Axis::X, x), "MOVEX"))
        commandedTo(Axis::X, x);
}
void MotionCore::MoveYTo(double y)
{
    if (send(hostmessages::MoveTo(Axis::Y, y), "MOVEY"))
        commandedTo(Axis::Y, y);
}
void MotionCore::MoveZTo(double z)
{
    if (send(hostmessages::MoveTo(Axis::Z, z), "MOVEZ"))
        commandedTo(Axis::Z, z);
}
void MotionCore::MoveATo(double a)
{
    if (send(hostmessages::MoveTo(Axis::A, a), "MOVEA"))
        commandedTo(Axis::A, a);
}
void MotionCore::MoveZIITo(double f)
{
    if (send(hostmessages::MoveTo(Axis::ZII, f), "MOVEF"))
        commandedTo(Axis::ZII, f);
}
void MotionCore::MoveXYTo(double x, double y)
{
    if (!send(hostmessages::MoveXY(x, y), "MOVEX..:Y..:"))
        return;
    commandedTo(Axis::X, x);
    commandedTo(Axis::Y, y);
}
void MotionCore::MoveXYZTo(double x, double y, double z)
{
    if (!send(hostmessages::MoveXYZ(x, y, z), "MOVEX..:Y..:Z..:"))
        return;
    commandedTo(Axis::X, x);
    commandedTo(Axis::Y, y);
    commandedTo(Axis::Z, z);
}
void MotionCore::MoveTo(double x, double y, double z, double a, double f)
{
    if (!send(hostmessages::MoveXYZAF(x, y, z, a, f), "MOVEX..:Y..:Z..:A..:F..:"))
        return;
    commandedTo(Axis::X, x);
    commandedTo(Axis::Y, y);
    commandedTo(Axis::Z, z);
    commandedTo(Axis::A, a);
    commandedTo(Axis::ZII, f);
}

// ---------------------------------------------------------------------------------------------
// Motion status

bool MotionCore::stopRequested(const std::function<bool()>& stop) const
{
    return _exiting || !RunMoving || (stop && stop()) || OwnerGone();
}

bool MotionCore::Blocking_IsMoving(const std::function<bool()>& stop)
{
    return QueryMotionStatus(stop) == MotionStatus::Moving;
}

MotionCore::MotionStatus MotionCore::QueryMotionStatus(const std::function<bool()>& stop)
{
    if (QThread::currentThread() == thread()) {
        // The MOVESTAT answer is stored by a slot of this thread: waiting here could never end.
        logging->udebug(QStringLiteral("Motion Core: Blocking_IsMoving called on the main thread, not waiting"));
        return MotionStatus::NoAnswer;
    }
    // Only the host that receives "GMS" can answer it: without one, or once it has gone, the
    // answer never comes (a host that connects later never saw the question). A request's
    // question goes to the host that made the request, or to nobody.
    const quint64 owner = threadOwner;
    const quint64 session = owner != 0 ? owner : (Server ? Server->HostSession() : 0);
    if (session == 0 || (Server && Server->HostSession() != session)) {
        logging->udebug(QStringLiteral("Motion Core: no host connected to answer GMS, motion wait abandoned"));
        return MotionStatus::NoAnswer;
    }
    quint64 ticket = 0;
    {
        std::unique_lock<std::mutex> statusLock(SyncMotionStatus);
        if (statusSession != session) {
            statusSession = session;
            statusAsked = 0;
            statusAnswered = 0;
        }
        // Answers to questions nobody waits for any more (an earlier wait that ended without
        // its answer) are still on their way: this question's answer is the next after them.
        if (statusAnswered > statusAsked)
            statusAnswered = statusAsked;   // answers nobody asked for
        if (statusAsked > statusAnswered) {
            // An earlier wait ended without its answer. If that answer is only late, it must not
            // be taken for the answer to this question: give it a moment to arrive and drop it.
            // An answer that never comes is forgotten after that moment.
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(LateAnswerGraceMs);
            while (statusAnswered < statusAsked && std::chrono::steady_clock::now() < until
                   && !(_exiting || !RunMoving || (stop && stop())))
                statusArrived.wait_for(statusLock, std::chrono::milliseconds(1));
            statusAnswered = statusAsked;
        }
        ticket = ++statusAsked;
        _MasterMotionStatus = -1;
        _AMotionStatus = -1;
        _ZIIMotionStatus = -1;
    }
    TessarixCommand(QString::fromLatin1(hostmessages::StatusQuery));

    QElapsedTimer silence;
    silence.start();
    qint64 nextReport = SilentHostReportMs;
    const qint64 limit = std::max(1, static_cast<int>(StatusAnswerWaitMs));
    std::unique_lock<std::mutex> statusLock(SyncMotionStatus);
    for (;;) {
        if (statusSession == session && statusAnswered >= ticket) {
            const bool moving = _MasterMotionStatus == 1 || _AMotionStatus == 1 || _ZIIMotionStatus == 1;
            return moving ? MotionStatus::Moving : MotionStatus::Still;
        }
        statusArrived.wait_for(statusLock, std::chrono::milliseconds(1));
        if (_exiting || !RunMoving || (stop && stop()))
            return MotionStatus::NoAnswer;
        if (Server->HostSession() != session) {
            statusLock.unlock();
            logging->udebug(QStringLiteral("Motion Core: the host left without answering GMS, motion wait abandoned"));
            return MotionStatus::NoAnswer;
        }
        const qint64 waited = silence.elapsed();
        if (waited >= limit) {
            statusLock.unlock();
            logging->udebug(QStringLiteral("Motion Core: no MOVESTAT answer to GMS within ") + QString::number(limit)
                            + QStringLiteral(" ms, motion wait failed"));
            return MotionStatus::TimedOut;
        }
        if (waited >= nextReport) {
            statusLock.unlock();
            logging->udebug(QStringLiteral("Motion Core: no MOVESTAT answer to GMS for ")
                            + QString::number(nextReport) + QStringLiteral(" ms, still waiting"));
            nextReport += SilentHostReportMs;
            statusLock.lock();
        }
    }
}

void MotionCore::RefreshMotionStatus(int master, int a, int zii)
{
    std::lock_guard<std::mutex> statusLock(SyncMotionStatus);
    // An answer left over from a host that has gone belongs to no question of the current one.
    if (lastCommandSession != 0 && lastCommandSession != statusSession && statusSession != 0)
        return;
    _MasterMotionStatus = master;
    _AMotionStatus = a;
    _ZIIMotionStatus = zii;
    ++statusAnswered;
    statusArrived.notify_all();
}

void MotionCore::RefreshCommandSession(quint64 session)
{
    lastCommandSession = session;
}

void MotionCore::RefreshCurrentPositions(double x, double y, double z, double a, double zii)
{
    _XCurrentPos = x;
    _YCurrentPos = y;
    _ZCurrentPos = z;
    _ACurrentPos = a;
    _ZIICurrentPos = zii;
}

// ---------------------------------------------------------------------------------------------
// Parameters

namespace {

double finiteSetting(Registry* registry, Logs* logging, const char* key, double fallback)
{
    const double value = registry->GetKeyDOUBLE(QString::fromLatin1(key), fallback);
    if (std::isfinite(value))
        return value;
    logging->udebug(QStringLiteral("Motion Core: setting ") + QLatin1String(key)
                    + QStringLiteral(" is not a finite number, using ") + Number(fallback));
    return fallback;
}

} // namespace

void MotionCore::LoadTLMotionParameters()
{
    Registry* r = AppRegistry;
    OverlayTLCenterH = r->GetKeyINT(QStringLiteral("POVTLLOH"), 200);
    OverlayTLCenterV = r->GetKeyINT(QStringLiteral("POVTLLOV"), 200);
    OverlayTLCenterCirclesNumber = r->GetKeyINT(QStringLiteral("POVTLCON"), 5);
    OverlayTLCenterCirclesSpace = finiteSetting(r, logging, "POVTLCOD", 17.0);
    OverlayTLFocalX = r->GetKeyINT(QStringLiteral("POVTLFOH"), 0);
    OverlayTLFocalY = r->GetKeyINT(QStringLiteral("POVTLFOV"), 0);
    TLPixelSize = finiteSetting(r, logging, "PMTLPXS", 25.6);
    TLZFocusPosition = finiteSetting(r, logging, "PZFTLPOS", 15.0);
    TLYOffsetPosition = finiteSetting(r, logging, "PYOFFSTLPOS", 10.32);
    RoundCrownPercent = finiteSetting(r, logging, "PROUNDSTLCR", 15.4);
    RoundGridlePercent = finiteSetting(r, logging, "PROUNDSTLGR", 2.5);
    OverlayMFCenterH = r->GetKeyINT(QStringLiteral("POVMFLOH"), 200);
    OverlayMFCenterV = r->GetKeyINT(QStringLiteral("POVMFLOV"), 200);
    OverlayMFFocalX = r->GetKeyINT(QStringLiteral("POVMFFOH"), 0);
    OverlayMFFocalY = r->GetKeyINT(QStringLiteral("POVMFFOV"), 0);
    MFXFocusPosition = finiteSetting(r, logging, "PXIIFMFPOS", 15.0);
    MFYOffsetPosition = finiteSetting(r, logging, "PZIIOFFSMFPOS", 12.0);
    loadWaitParameters();
    const QString problem = alignment::CheckParameters(CurrentParameters(), MFPixelSize, {});
    if (!problem.isEmpty())
        logging->udebug(QStringLiteral("Motion Core: implausible setting, alignments will be refused: ") + problem);
}

void MotionCore::loadWaitParameters()
{
    auto bounded = [this](const char* key, int fallback, int low, int high) {
        const int value = AppRegistry->GetKeyINT(QString::fromLatin1(key), fallback);
        if (value >= low && value <= high)
            return value;
        logging->udebug(QStringLiteral("Motion Core: setting ") + QLatin1String(key) + QLatin1Char(' ')
                        + QString::number(value) + QStringLiteral(" is outside ") + QString::number(low)
                        + QStringLiteral(" to ") + QString::number(high) + QStringLiteral(", using ")
                        + QString::number(fallback));
        return fallback;
    };
    MeasurementWaitMs = bounded("PMALMEASTO", 5000, 100, 600000);
    StatusAnswerWaitMs = bounded("PMALGMSTO", 60000, 100, 3600000);
    SettleMs = bounded("PMALSETTLE", 20, 0, 10000);
    auto boundedReal = [this](const char* key, double fallback, double low, double high) {
        const double value = AppRegistry->GetKeyDOUBLE(QString::fromLatin1(key), fallback);
        if (value >= low && value <= high)   // false for a value that is not a number
            return value;
        logging->udebug(QStringLiteral("Motion Core: setting ") + QLatin1String(key) + QLatin1Char(' ') + Number(value)
                        + QStringLiteral(" is outside ") + Number(low) + QStringLiteral(" to ") + Number(high)
                        + QStringLiteral(", using ") + Number(fallback));
        return fallback;
    };
    PositionTolerance = boundedReal("PMALPOSTOL", 0.001, 0, 10);
    // Two TL pixels: an alignment lands within one; more means it did not see where it moved.
    const double pixel = TLPixelSize;
    const double residualDefault = pixel > 0 && pixel <= alignment::PixelSizeLimit ? 2 * pixel : 51.2;
    ResidualLimitUm = boundedReal("PMALRESMAX", residualDefault, 0.1, 100000);
}

void MotionCore::SaveTLMotionParameter()
{
    Registry* r = AppRegistry;
    r->SetKey(QStringLiteral("POVTLLOH"), QString::number(OverlayTLCenterH));
    r->SetKey(QStringLiteral("POVTLLOV"), QString::number(OverlayTLCenterV));
    r->SetKey(QStringLiteral("POVTLCON"), QString::number(OverlayTLCenterCirclesNumber));
    r->SetKey(QStringLiteral("POVTLCOD"), Number(OverlayTLCenterCirclesSpace));
    r->SetKey(QStringLiteral("POVTLFOH"), QString::number(OverlayTLFocalX));
    r->SetKey(QStringLiteral("POVTLFOV"), QString::number(OverlayTLFocalY));
    r->SetKey(QStringLiteral("PMTLPXS"), Number(TLPixelSize));
    r->SetKey(QStringLiteral("PZFTLPOS"), Number(TLZFocusPosition));
    r->SetKey(QStringLiteral("PYOFFSTLPOS"), Number(TLYOffsetPosition));
    r->SetKey(QStringLiteral("PROUNDSTLCR"), Number(RoundCrownPercent));
    r->SetKey(QStringLiteral("PROUNDSTLGR"), Number(RoundGridlePercent));
    r->SetKey(QStringLiteral("POVMFLOH"), QString::number(OverlayMFCenterH));
    r->SetKey(QStringLiteral("POVMFLOV"), QString::number(OverlayMFCenterV));
    r->SetKey(QStringLiteral("POVMFFOH"), QString::number(OverlayMFFocalX));
    r->SetKey(QStringLiteral("POVMFFOV"), QString::number(OverlayMFFocalY));
    r->SetKey(QStringLiteral("PXIIFMFPOS"), Number(MFXFocusPosition));
    r->SetKey(QStringLiteral("PZIIOFFSMFPOS"), Number(MFYOffsetPosition));
    r->SetKey(QStringLiteral("PMALMEASTO"), QString::number(MeasurementWaitMs));
    r->SetKey(QStringLiteral("PMALGMSTO"), QString::number(StatusAnswerWaitMs));
    r->SetKey(QStringLiteral("PMALSETTLE"), QString::number(SettleMs));
    r->SetKey(QStringLiteral("PMALPOSTOL"), Number(PositionTolerance));
    r->SetKey(QStringLiteral("PMALRESMAX"), Number(ResidualLimitUm));
}

void MotionCore::LoadMFMotionParameters()
{
    MFPixelSize = finiteSetting(AppRegistry, logging, "PMMFPXS", 1.27);
    MFPixelDeg = finiteSetting(AppRegistry, logging, "PMMFPXD", 0.041707);
}

void MotionCore::SaveMFMotionParameter()
{
    AppRegistry->SetKey(QStringLiteral("PMMFPXS"), Number(MFPixelSize));
    AppRegistry->SetKey(QStringLiteral("PMMFPXD"), Number(MFPixelDeg));
}

alignment::Parameters MotionCore::CurrentParameters() const
{
    alignment::Parameters p;
    p.overlayTLCenterH = OverlayTLCenterH;
    p.overlayTLFocalX = OverlayTLFocalX;
    p.overlayMFCenterV = OverlayMFCenterV;
    p.overlayMFFocalX = OverlayMFFocalX;
    p.tlPixelSize = TLPixelSize;
    p.tlZFocusPosition = TLZFocusPosition;
    p.tlYOffsetPosition = TLYOffsetPosition;
    p.mfYOffsetPosition = MFYOffsetPosition;
    p.mfXFocusPosition = MFXFocusPosition;
    p.roundCrownPercent = RoundCrownPercent;
    p.roundGridlePercent = RoundGridlePercent;
    return p;
}

// ---------------------------------------------------------------------------------------------
// Tracker results and targets

void MotionCore::RefreshTLResultInfo(QString reason, qint64 captureTimeUs)
{
    pendingReason = reason;
    pendingCaptureUs = captureTimeUs;
}

void MotionCore::RefreshTLTracker(double centerX, double centerY, double focalX, double focalY, double mfX, double mfY)
{
    _CenterX = centerX;
    _CenterY = centerY;
    _FocalX = focalX;
    _FocalY = focalY;
    _MFX = mfX;
    _MFY = mfY;
    // The tracker tells why and when just before the result; a result without that note (a
    // caller of this slot other than the tracker) has no capture time.
    const QString reason = pendingReason;
    const qint64 captureUs = pendingCaptureUs;
    pendingReason.clear();
    pendingCaptureUs = -1;

    const alignment::TrackerMeasurement measurement{centerX, centerY, focalX, focalY, mfX, mfY};
    const alignment::Parameters parameters = CurrentParameters();
    const alignment::Targets t = alignment::ComputeTargets(measurement, _XCurrentPos, parameters);
    const bool stone = std::isfinite(centerX) && centerX > -1;
    if (!t.valid) {
        if (stone)
            logging->udebug(QStringLiteral("Motion Core: tracker result gives no finite target, ignored"));
        std::lock_guard<std::mutex> measurementLock(measurementMutex);
        ++resultSerial;
        lastResultStone = false;
        lastResultReason = stone ? QStringLiteral("RANGE") : (reason.isEmpty() ? QStringLiteral("NOSTONE") : reason);
        lastResultCaptureUs = captureUs;
        measurementArrived.notify_all();
        return;
    }
    StoneDiameter = t.stoneDiameter;
    CYMoveDist = t.inscriptionX;
    CZMoveDist = t.inscriptionZ;
    CXMoveDist = t.inscriptionY;
    CXPanorMoveDist = t.panoramaX;
    CYPanorMoveDist = t.panoramaY;
    CZIIPanorMoveDist = t.panoramaZII;

    {
        std::lock_guard<std::mutex> measurementLock(measurementMutex);
        lastTargets = t;
        lastMeasurement = measurement;
        ++measurementSerial;
        ++resultSerial;
        lastResultStone = true;
        lastResultReason.clear();
        lastResultCaptureUs = captureUs;
        NewCordinate = true;
        measurementArrived.notify_all();
    }
    emit StoneCentredCoordinatesInscription(t.inscriptionX, t.inscriptionZ, t.inscriptionY);
    emit StoneCentredCoordinatesPanorama(t.panoramaX, t.panoramaY, t.panoramaZII);
}

alignment::Targets MotionCore::LastTargets() const
{
    std::lock_guard<std::mutex> measurementLock(measurementMutex);
    return lastTargets;
}

alignment::Residual MotionCore::LastResidual() const
{
    std::lock_guard<std::mutex> reportLock(reportMutex);
    return lastResidual;
}

MotionCore::AlignmentTiming MotionCore::LastAlignmentTiming() const
{
    std::lock_guard<std::mutex> reportLock(reportMutex);
    return lastTiming;
}

// ---------------------------------------------------------------------------------------------
// Requests

void MotionCore::refuseBusy(alignment::Kind kind, quint64 session)
{
    const Outcome busy{Outcome::Failed, FailReason::Busy, QStringLiteral("a scan is running")};
    finishRequest(kind, session, busy);
}

namespace {
// The session of the host command being delivered, taken once: a request slot called by anyone
// else (the operator's window, a test) belongs to no host.
quint64 takeSession(quint64& session)
{
    const quint64 taken = session;
    session = 0;
    return taken;
}
} // namespace

void MotionCore::enqueue(alignment::Kind kind)
{
    const quint64 session = takeSession(lastCommandSession);
    {
        std::lock_guard<std::mutex> loopLock(loopMutex);
        if (!scanActive) {
            requests.push_back({kind, session});
            loopWake.notify_all();
            return;
        }
    }
    // An alignment in the middle of a scan would move the stone between its frames.
    refuseBusy(kind, session);
}

void MotionCore::EngageAutoXAlign()
{
    enqueue(alignment::Kind::InscriptionX);
}

void MotionCore::StartAutoAlignement(bool)
{
    enqueue(alignment::Kind::Inscription);
}

void MotionCore::StartAutoAlignementImageSaving(bool)
{
    enqueue(alignment::Kind::Panorama);
}

void MotionCore::StartAutoScanProxy()
{
    scanRequestSession = takeSession(lastCommandSession);
    emit StartAutoScan();
    scanRequestSession = 0;
}

quint64 MotionCore::TakeScanRequestSession()
{
    return takeSession(scanRequestSession);
}

bool MotionCore::BeginScan()
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    if (scanActive || alignmentActive || !requests.empty())
        return false;
    scanActive = true;
    return true;
}

void MotionCore::EndScan()
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    scanActive = false;
    loopWake.notify_all();
}

int MotionCore::PendingRequests() const
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    return static_cast<int>(requests.size());
}

void MotionCore::finishRequest(alignment::Kind kind, quint64 session, const Outcome& outcome)
{
    const RequestScope scope(session);
    const QString name = alignment::KindName(kind);
    switch (outcome.state) {
    case Outcome::Done:
        // The alignment has shown its outcome with its residual.
        TessarixCommand(QString::fromLatin1(endMessage(kind)));
        break;
    case Outcome::Failed: {
        const QString message = failMessage(kind, outcome.reason);
        logging->udebug(QStringLiteral("Motion Core: alignment ") + name + QStringLiteral(" failed, ") + message
                        + QStringLiteral(": ") + hostmessages::ReasonText(outcome.reason)
                        + (outcome.detail.isEmpty() ? QString() : QStringLiteral(" (") + outcome.detail + QLatin1Char(')')));
        TessarixCommand(message);
        emit AlignmentOutcome(false, QStringLiteral("Alignment ") + name + QStringLiteral(" failed: ")
                                         + hostmessages::ReasonWord(outcome.reason) + QStringLiteral(" (")
                                         + hostmessages::ReasonText(outcome.reason) + QLatin1Char(')'));
        break;
    }
    case Outcome::Interrupted:
        logging->udebug(QStringLiteral("Motion Core: alignment interrupted, ") + QLatin1String(endMessage(kind))
                        + QStringLiteral(" not sent"));
        emit AlignmentOutcome(false, QStringLiteral("Alignment ") + name + QStringLiteral(" interrupted"));
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// Alignments

bool MotionCore::WaitMotionEnd(const std::function<bool()>& stop, AlignmentTiming* timing, Outcome* outcome)
{
    QElapsedTimer waited;
    waited.start();
    // Taken whatever the end of this wait: a later wait never holds the axes to an older move.
    const CommandedPosition commanded = threadCommanded;
    threadCommanded.clear();
    // "Still" is not enough: the host may say it before its final COORDS, and a late MOVESTAT
    // may answer an earlier GMS. The motion has ended where the station looks only once the
    // reported positions are the commanded ones.
    QElapsedTimer misplaced;
    QString misplacement;
    Outcome result;
    while (!stopRequested(stop)) {
        if (timing)
            ++timing->statusQueries;
        const MotionStatus status = QueryMotionStatus(stop);
        if (status == MotionStatus::Still) {
            const double tolerance = PositionTolerance;
            misplacement = commanded.mismatch(reportedPositions(), tolerance);
            if (misplacement.isEmpty()) {
                threadStillUs = NowUs();
                result.state = Outcome::Done;
                break;
            }
            const qint64 limitMs = std::max(1, static_cast<int>(StatusAnswerWaitMs));
            if (!misplaced.isValid()) {
                misplaced.start();
            } else if (misplaced.elapsed() >= limitMs) {
                logging->udebug(QStringLiteral("Motion Core: the host reports the axes still but ") + misplacement
                                + QStringLiteral(" (tolerance ") + Number(tolerance) + QStringLiteral(") for ")
                                + QString::number(limitMs) + QStringLiteral(" ms, motion wait failed"));
                result = {Outcome::Failed, FailReason::Host, misplacement};
                break;
            }
            QThread::msleep(MisplacedQueryPauseMs);
            continue;
        }
        if (status == MotionStatus::TimedOut) {
            result = {Outcome::Failed, FailReason::Host, QStringLiteral("no MOVESTAT answer to GMS")};
            break;
        }
        if (status == MotionStatus::NoAnswer)
            break;
        QThread::msleep(1);
    }
    if (timing)
        timing->motionWaitUs += waited.nsecsElapsed() / 1000;
    if (outcome)
        *outcome = result;
    return result.ok();
}

MotionCore::Outcome MotionCore::waitNewMeasurement(const std::function<bool()>& stop, AlignmentTiming* timing,
                                                   qint64 stillAtUs, alignment::Targets* targets,
                                                   alignment::TrackerMeasurement* measurement)
{
    QElapsedTimer waited;   // since the wait began or its last result from before the settle time
    waited.start();
    QElapsedTimer total;
    total.start();
    const qint64 limitMs = std::max(1, static_cast<int>(MeasurementWaitMs));
    const qint64 freshFromUs = stillAtUs + qint64(std::max(0, static_cast<int>(SettleMs))) * 1000;
    Outcome result;
    bool freshSeen = false;       // a result of a frame taken after the motion arrived
    QString freshReason;          // the tracker's word for the last such result without a stone
    {
        std::unique_lock<std::mutex> measurementLock(measurementMutex);
        NewCordinate = false;
        const quint64 seen = resultSerial;
        const quint64 seenStones = measurementSerial;
        quint64 examined = resultSerial;
        for (;;) {
            if (stopRequested(stop))
                break;
            if (resultSerial != examined) {
                examined = resultSerial;
                // A result from before the settle time is progress on a slow machine: the bound
                // counts from the last one. A result without a stone after it is not.
                if (!freshSeen)
                    waited.restart();
                // A frame counts when the camera says it was captured after the settle time;
                // without capture times, from the ResultsAfterMotion-th result on (the first ones
                // may come from frames taken, or being processed, while the axes still moved).
                bool fresh = false;
                if (lastResultCaptureUs >= 0)
                    fresh = lastResultCaptureUs >= freshFromUs;
                else if (lastResultStone)
                    fresh = measurementSerial >= seenStones + quint64(ResultsAfterMotion);
                else
                    fresh = resultSerial >= seen + quint64(ResultsAfterMotion);
                if (fresh) {
                    freshSeen = true;
                    if (lastResultStone) {
                        *targets = lastTargets;
                        *measurement = lastMeasurement;
                        result.state = Outcome::Done;
                        break;
                    }
                    freshReason = lastResultReason;
                }
            }
            if (waited.elapsed() >= limitMs) {
                result.state = Outcome::Failed;
                if (!freshSeen) {
                    result.reason = FailReason::Camera;
                    result.detail = QStringLiteral("no tracker result of a frame taken after the motion within ")
                                    + QString::number(limitMs) + QStringLiteral(" ms");
                } else {
                    result.reason = freshReason == QLatin1String("RANGE") ? FailReason::Range
                                                                          : hostmessages::ReasonFromTracker(freshReason);
                    result.detail = QStringLiteral("no stone measured within ") + QString::number(limitMs)
                                    + QStringLiteral(" ms");
                }
                break;
            }
            measurementArrived.wait_for(measurementLock, std::chrono::milliseconds(1));
        }
    }
    if (timing)
        timing->trackerWaitUs += total.nsecsElapsed() / 1000;
    return result;
}

bool MotionCore::align(alignment::Kind kind, int iterations, const std::function<bool()>& stop, Outcome* outcome)
{
    using alignment::Kind;
    const bool panorama = kind == Kind::Panorama;
    AlignmentTiming timing;
    timing.kind = kind;
    QElapsedTimer total;
    total.start();
    auto step = [&](int r, const char* what) {
        if (panorama)
            logging->udebug(QStringLiteral("Iteration Camera 2: ") + QString::number(r) + QLatin1Char(' ')
                            + QString::fromUtf8(what));
    };
    auto waited = [&](qint64 sinceUs) {
        if (panorama)
            logging->udebug(millis(total.nsecsElapsed() / 1000 - sinceUs) + QStringLiteral("ms"));
    };
    auto end = [&](const Outcome& result) {
        if (result.state == Outcome::Interrupted)
            logging->udebug(QStringLiteral("Alignment ") + alignment::KindName(kind)
                            + QStringLiteral(" interrupted before its end"));
        else if (result.failed())
            logging->udebug(QStringLiteral("Alignment ") + alignment::KindName(kind) + QStringLiteral(" failed: ")
                            + hostmessages::ReasonWord(result.reason)
                            + (result.detail.isEmpty() ? QString() : QStringLiteral(", ") + result.detail));
        if (outcome)
            *outcome = result;
        return false;
    };
    auto failed = [](FailReason reason, const QString& detail) { return Outcome{Outcome::Failed, reason, detail}; };

    for (int r = 1; r <= iterations; ++r) {
        step(r, "Waiting for Motion Complete>");
        qint64 since = total.nsecsElapsed() / 1000;
        Outcome motion;
        WaitMotionEnd(stop, &timing, &motion);
        waited(since);
        if (panorama)
            logging->udebug(QStringLiteral("---------------"));
        if (!motion.ok())
            return end(motion);

        // The calibration is checked before every move: the window edits it while the station runs.
        const alignment::Parameters parameters = CurrentParameters();
        const alignment::ViewSize view{TrackStoneFromTop ? TrackStoneFromTop->LastFrameWidth() : 0,
                                       TrackStoneFromTop ? TrackStoneFromTop->LastFrameHeight() : 0};
        const QString settingsProblem = alignment::CheckParameters(parameters, MFPixelSize, view);
        if (!settingsProblem.isEmpty())
            return end(failed(FailReason::Settings, settingsProblem));

        step(r, "Waiting for New Capture & Image Processing>");
        since = total.nsecsElapsed() / 1000;
        alignment::Targets measured;
        alignment::TrackerMeasurement m;
        const Outcome measurement = waitNewMeasurement(stop, &timing, threadStillUs, &measured, &m);
        waited(since);
        if (!measurement.ok())
            return end(measurement);
        if (!alignment::MeasurementComplete(m))
            return end(failed(FailReason::Range, QStringLiteral("incomplete measurement")));

        // One snapshot: every axis of this move comes from the same measurement, and the targets
        // are computed from the positions the host reports now.
        const alignment::AxisPositions current{_XCurrentPos, _YCurrentPos, _ZCurrentPos, _ACurrentPos, _ZIICurrentPos};
        const alignment::Targets t = alignment::ComputeTargets(m, current.x, parameters);
        const QString moveProblem = alignment::CheckMove(kind, t, current, parameters, view);
        if (!moveProblem.isEmpty())
            return end(failed(FailReason::Range, moveProblem));
        switch (kind) {
        case Kind::Inscription:
            MoveXYZTo(t.inscriptionX, t.inscriptionY, t.inscriptionZ);
            break;
        case Kind::InscriptionX:
            MoveXYZTo(t.inscriptionX, current.y, t.inscriptionZ);
            break;
        case Kind::Panorama:
            step(r, "Waiting for XYX\u00b2>");
            MoveXYTo(t.panoramaX, t.panoramaY);
            MoveZIITo(t.panoramaZII);
            break;
        }
        QThread::msleep(1);
    }
    step(iterations + 1, "Waiting for Motion Complete>");
    const qint64 since = total.nsecsElapsed() / 1000;
    Outcome motion;
    WaitMotionEnd(stop, &timing, &motion);
    waited(since);
    if (!motion.ok())
        return end(motion);
    // Success means the stone is where the station says it is: measured after the last motion.
    const Outcome landed = measureResidual(kind, stop, &timing);
    if (!landed.ok())
        return end(landed);

    timing.totalUs = total.nsecsElapsed() / 1000;
    if (kind == alignment::Kind::Panorama && frontCheck)
        frontCheck->Arm(threadStillUs + qint64(std::max(0, static_cast<int>(SettleMs))) * 1000);
    {
        std::lock_guard<std::mutex> reportLock(reportMutex);
        lastTiming = timing;
    }
    logging->udebug(QStringLiteral("Alignment ") + alignment::KindName(kind) + QStringLiteral(" done in ")
                    + millis(timing.totalUs) + QStringLiteral(" ms (motion waits ") + millis(timing.motionWaitUs)
                    + QStringLiteral(" ms, tracker waits ") + millis(timing.trackerWaitUs) + QStringLiteral(" ms, ")
                    + QString::number(timing.statusQueries) + QStringLiteral(" GMS)"));
    if (outcome)
        *outcome = Outcome{Outcome::Done, FailReason::NoStone, QString()};
    return true;
}

MotionCore::Outcome MotionCore::measureResidual(alignment::Kind kind, const std::function<bool()>& stop,
                                               AlignmentTiming* timing)
{
    alignment::Targets after;
    alignment::TrackerMeasurement m;
    const Outcome measurement = waitNewMeasurement(stop, timing, threadStillUs, &after, &m);
    if (!measurement.ok())
        return measurement;
    const alignment::Residual residual = alignment::ComputeResidual(kind, after, reportedPositions(), CurrentParameters());
    const QString text = alignment::ResidualText(residual);
    {
        std::lock_guard<std::mutex> reportLock(reportMutex);
        lastResidual = residual;
    }
    logging->udebug(QStringLiteral("Residual after ") + alignment::KindName(kind) + QStringLiteral(" alignment: ")
                    + text);
    emit AlignmentResidual(text);
    if (!residual.valid)
        return Outcome{Outcome::Failed, FailReason::Range, QStringLiteral("residual not finite")};
    // The limit is in thousandths of an axis unit, like the pixel sizes.
    const double limitUm = ResidualLimitUm;
    const double largestUm = 1000.0 * alignment::LargestResidualUnits(residual);
    if (!(largestUm <= limitUm))
        return Outcome{Outcome::Failed, FailReason::Residual,
                       QStringLiteral("residual ") + text + QStringLiteral(" exceeds ") + Number(limitUm)
                           + QStringLiteral(" \u00b5m")};
    emit AlignmentOutcome(true, QStringLiteral("Alignment ") + alignment::KindName(kind)
                                    + QStringLiteral(" done, residual ") + text);
    return Outcome{Outcome::Done, FailReason::NoStone, QString()};
}

bool MotionCore::AlignForInscription(int iterations, const std::function<bool()>& stop, Outcome* outcome)
{
    return align(alignment::Kind::Inscription, iterations, stop, outcome);
}

bool MotionCore::AlignXForInscription(int iterations, const std::function<bool()>& stop, Outcome* outcome)
{
    return align(alignment::Kind::InscriptionX, iterations, stop, outcome);
}

bool MotionCore::AlignForPanorama(int iterations, const std::function<bool()>& stop, Outcome* outcome)
{
    return align(alignment::Kind::Panorama, iterations, stop, outcome);
}

// ---------------------------------------------------------------------------------------------
// The request loop

void MotionCore::serveLoopPass()
{
    const double a = _ACurrentPos;
    if (!(static_cast<double>(AutoalignAPos) == a)) {
        // The stone has been rotated since the last pass (NaN never compares equal). The
        // operator's switches re-align it, but never in the middle of a scan's frames.
        const bool engaged = EngageAutoAlignForInscription || EngageAutoAlignForPanorama;
        bool mayRun = false;
        if (engaged) {
            std::lock_guard<std::mutex> loopLock(loopMutex);
            mayRun = !scanActive;
            alignmentActive = mayRun;
        }
        if (mayRun) {
            const RequestScope scope(0);
            if (EngageAutoAlignForInscription)
                AlignForInscription(2);
            else if (EngageAutoAlignForPanorama)
                AlignForPanorama(2);
            std::lock_guard<std::mutex> loopLock(loopMutex);
            alignmentActive = false;
        }
        AutoalignAPos = static_cast<double>(_ACurrentPos);
        return;
    }

    PendingRequest request{alignment::Kind::Inscription, 0};
    {
        std::lock_guard<std::mutex> loopLock(loopMutex);
        if (requests.empty() || scanActive)
            return;
        auto next = requests.begin();
        for (auto it = requests.begin(); it != requests.end(); ++it) {
            if (requestRank(it->kind) < requestRank(next->kind))
                next = it;
        }
        request = *next;
        requests.erase(next);
        alignmentActive = true;
    }
    struct ActiveReset
    {
        MotionCore* core;
        bool held = true;
        void release()
        {
            if (!held)
                return;
            held = false;
            std::lock_guard<std::mutex> loopLock(core->loopMutex);
            core->alignmentActive = false;
        }
        ~ActiveReset() { release(); }
    } activeReset{this};

    const RequestScope scope(request.session);
    if (OwnerGone()) {
        logging->udebug(QStringLiteral("Motion Core: alignment ") + alignment::KindName(request.kind)
                        + QStringLiteral(" asked by a host that has left, not run"));
        return;
    }
    Outcome outcome;
    align(request.kind, 2, {}, &outcome);
    // The station is free before the host hears the outcome: a host may send its next request
    // (a scan, say) the moment the outcome arrives.
    activeReset.release();
    finishRequest(request.kind, request.session, outcome);
}

void MotionCore::run()
{
    RunAuto = !_exiting;
    while (RunAuto && !_exiting) {
        try {
            serveLoopPass();
        } catch (const std::exception& e) {
            logging->udebug(QStringLiteral("Motion Core Exception ") + QString::fromLocal8Bit(e.what()));
        }
        std::unique_lock<std::mutex> loopLock(loopMutex);
        const bool requestPending = !requests.empty() && !scanActive;
        if (RunAuto && !requestPending)
            loopWake.wait_for(loopLock, std::chrono::milliseconds(LoopPauseMs));
    }
}
