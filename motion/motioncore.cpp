#include "motion/motioncore.h"

#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncommands.h"
#include "vision/topstonetracker.h"

#include <QElapsedTimer>

#include <chrono>
#include <cmath>
#include <exception>

using motioncommands::Axis;
using motioncommands::Number;

namespace {

// A silent host is reported at this interval while a status query waits (it keeps waiting).
constexpr qint64 SilentHostReportMs = 5000;
// Pause of the request loop between passes (requests and shutdown wake it early).
constexpr unsigned long LoopPauseMs = 50;

QString millis(qint64 microseconds)
{
    return QString::number((microseconds + 500) / 1000);
}

} // namespace

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

        // Send has a default image argument; the text-only form is its own slot signature.
        connect(this, SIGNAL(TXCMD(QString)), Server, SLOT(Send(QString)));
        connect(this, SIGNAL(SENDIMAGETXCMD(QString, QImage)), Server, SLOT(Send(QString, QImage)));
        connect(Server, &VeltraxServer::NewCoord, this, &MotionCore::RefreshCurrentPositions);
        connect(Server, &VeltraxServer::NewMotionStatus, this, &MotionCore::RefreshMotionStatus);
        connect(Server, &VeltraxServer::EngageAutoXAlign, this, &MotionCore::EngageAutoXAlign);
        connect(Server, &VeltraxServer::StartAutoAlignement, this, &MotionCore::StartAutoAlignement);
        connect(Server, &VeltraxServer::StartMFAutoAlignement, this, &MotionCore::StartAutoAlignementImageSaving);
        connect(Server, &VeltraxServer::StartAutoScan, this, &MotionCore::StartAutoScanProxy);
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
    AutoManAlignInscription = false;
    AutoFullAlignInscription = false;
    AutoFullAlignImageSaving = false;
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
    emit TXCMD(text);
}

void MotionCore::send(const QString& text, const char* what)
{
    if (text.isEmpty()) {
        logging->udebug(QStringLiteral("Motion Core: ") + QLatin1String(what)
                        + QStringLiteral(" not sent, a value is not a finite number"));
        return;
    }
    TessarixCommand(text);
}

void MotionCore::IncrementX(double d) { send(motioncommands::Increment(Axis::X, d), "INCX"); }
void MotionCore::IncrementY(double d) { send(motioncommands::Increment(Axis::Y, d), "INCY"); }
void MotionCore::IncrementZ(double d) { send(motioncommands::Increment(Axis::Z, d), "INCZ"); }
void MotionCore::IncrementA(double d) { send(motioncommands::Increment(Axis::A, d), "INCA"); }
void MotionCore::IncrementZII(double d) { send(motioncommands::Increment(Axis::ZII, d), "INCF"); }
void MotionCore::MoveXTo(double x) { send(motioncommands::MoveTo(Axis::X, x), "MOVEX"); }
void MotionCore::MoveYTo(double y) { send(motioncommands::MoveTo(Axis::Y, y), "MOVEY"); }
void MotionCore::MoveZTo(double z) { send(motioncommands::MoveTo(Axis::Z, z), "MOVEZ"); }
void MotionCore::MoveATo(double a) { send(motioncommands::MoveTo(Axis::A, a), "MOVEA"); }
void MotionCore::MoveZIITo(double f) { send(motioncommands::MoveTo(Axis::ZII, f), "MOVEF"); }
void MotionCore::MoveXYTo(double x, double y) { send(motioncommands::MoveXY(x, y), "MOVEX..:Y..:"); }
void MotionCore::MoveXYZTo(double x, double y, double z)
{
    send(motioncommands::MoveXYZ(x, y, z), "MOVEX..:Y..:Z..:");
}
void MotionCore::MoveTo(double x, double y, double z, double a, double f)
{
    send(motioncommands::MoveXYZAF(x, y, z, a, f), "MOVEX..:Y..:Z..:A..:F..:");
}

// ---------------------------------------------------------------------------------------------
// Motion status

bool MotionCore::stopRequested(const std::function<bool()>& stop) const
{
    return _exiting || !RunMoving || (stop && stop());
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
    // answer never comes (a host that connects later never saw the question).
    const quint64 session = Server ? Server->HostSession() : 0;
    if (session == 0) {
        logging->udebug(QStringLiteral("Motion Core: no host connected to answer GMS, motion wait abandoned"));
        return MotionStatus::NoAnswer;
    }
    {
        std::lock_guard<std::mutex> statusLock(SyncMotionStatus);
        _MasterMotionStatus = -1;
        _AMotionStatus = -1;
        _ZIIMotionStatus = -1;
    }
    TessarixCommand(QString::fromLatin1(motioncommands::StatusQuery));

    QElapsedTimer silence;
    silence.start();
    qint64 nextReport = SilentHostReportMs;
    std::unique_lock<std::mutex> statusLock(SyncMotionStatus);
    for (;;) {
        if (_MasterMotionStatus != -1 && _AMotionStatus != -1 && _ZIIMotionStatus != -1) {
            const bool moving = _MasterMotionStatus == 1 || _AMotionStatus == 1 || _ZIIMotionStatus == 1;
            return moving ? MotionStatus::Moving : MotionStatus::Still;
        }
        statusArrived.wait_for(statusLock, std::chrono::milliseconds(1));
        if (stopRequested(stop))
            return MotionStatus::NoAnswer;
        if (Server->HostSession() != session) {
            statusLock.unlock();
            logging->udebug(QStringLiteral("Motion Core: the host left without answering GMS, motion wait abandoned"));
            return MotionStatus::NoAnswer;
        }
        if (silence.elapsed() >= nextReport) {
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
    _MasterMotionStatus = master;
    _AMotionStatus = a;
    _ZIIMotionStatus = zii;
    statusArrived.notify_all();
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

void MotionCore::RefreshTLTracker(double centerX, double centerY, double focalX, double focalY, double mfX, double mfY)
{
    _CenterX = centerX;
    _CenterY = centerY;
    _FocalX = focalX;
    _FocalY = focalY;
    _MFX = mfX;
    _MFY = mfY;

    const alignment::Parameters parameters = CurrentParameters();
    const alignment::Targets t = alignment::ComputeTargets({centerX, centerY, focalX, focalY, mfX, mfY},
                                                           _XCurrentPos, parameters);
    if (!t.valid) {
        if (std::isfinite(centerX) && centerX > -1)
            logging->udebug(QStringLiteral("Motion Core: tracker result gives no finite target, ignored"));
        return;
    }
    StoneDiameter = t.stoneDiameter;
    CYMoveDist = t.inscriptionX;
    CZMoveDist = t.inscriptionZ;
    CXMoveDist = t.inscriptionY;
    CXPanorMoveDist = t.panoramaX;
    CYPanorMoveDist = t.panoramaY;
    CZIIPanorMoveDist = t.panoramaZII;

    bool residualDue = false;
    alignment::Kind residualKind = alignment::Kind::Inscription;
    {
        std::lock_guard<std::mutex> measurementLock(measurementMutex);
        lastTargets = t;
        ++measurementSerial;
        NewCordinate = true;
        if (residualPending > 0 && --residualPending == 0) {
            residualDue = true;
            residualKind = pendingResidualKind;
        }
        measurementArrived.notify_all();
    }
    emit StoneCentredCoordinatesInscription(t.inscriptionX, t.inscriptionZ, t.inscriptionY);
    emit StoneCentredCoordinatesPanorama(t.panoramaX, t.panoramaY, t.panoramaZII);

    if (residualDue) {
        const alignment::AxisPositions positions{_XCurrentPos, _YCurrentPos, _ZCurrentPos, _ACurrentPos,
                                                 _ZIICurrentPos};
        const alignment::Residual residual = alignment::ComputeResidual(residualKind, t, positions, parameters);
        const QString text = alignment::ResidualText(residual);
        {
            std::lock_guard<std::mutex> reportLock(reportMutex);
            lastResidual = residual;
        }
        logging->udebug(QStringLiteral("Residual after ") + alignment::KindName(residualKind)
                        + QStringLiteral(" alignment: ") + text);
        emit AlignmentResidual(text);
    }
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

void MotionCore::EngageAutoXAlign()
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    AutoManAlignInscription = true;
    loopWake.notify_all();
}

void MotionCore::StartAutoAlignement(bool)
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    AutoFullAlignInscription = true;
    loopWake.notify_all();
}

void MotionCore::StartAutoAlignementImageSaving(bool)
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    AutoFullAlignImageSaving = true;
    loopWake.notify_all();
}

void MotionCore::StartAutoScanProxy()
{
    emit StartAutoScan();
}

// ---------------------------------------------------------------------------------------------
// Alignments

bool MotionCore::WaitMotionEnd(const std::function<bool()>& stop, AlignmentTiming* timing)
{
    QElapsedTimer waited;
    waited.start();
    bool ended = false;
    while (!stopRequested(stop)) {
        if (timing)
            ++timing->statusQueries;
        const MotionStatus status = QueryMotionStatus(stop);
        if (status != MotionStatus::Moving) {
            ended = status == MotionStatus::Still;
            break;
        }
        QThread::msleep(1);
    }
    if (timing)
        timing->motionWaitUs += waited.nsecsElapsed() / 1000;
    return ended;
}

bool MotionCore::waitNewMeasurement(const std::function<bool()>& stop, AlignmentTiming* timing)
{
    QElapsedTimer waited;
    waited.start();
    bool arrived = false;
    {
        std::unique_lock<std::mutex> measurementLock(measurementMutex);
        NewCordinate = false;
        const quint64 seen = measurementSerial;
        while (!stopRequested(stop)) {
            if (measurementSerial >= seen + quint64(ResultsAfterMotion)) {
                arrived = true;
                break;
            }
            measurementArrived.wait_for(measurementLock, std::chrono::milliseconds(1));
        }
    }
    timing->trackerWaitUs += waited.nsecsElapsed() / 1000;
    return arrived;
}

bool MotionCore::align(alignment::Kind kind, int iterations, const std::function<bool()>& stop)
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
    auto interrupted = [&]() {
        logging->udebug(QStringLiteral("Alignment ") + alignment::KindName(kind)
                        + QStringLiteral(" interrupted before its end"));
        return false;
    };

    for (int r = 1; r <= iterations; ++r) {
        step(r, "Waiting for Motion Complete>");
        qint64 since = total.nsecsElapsed() / 1000;
        const bool motionEnded = WaitMotionEnd(stop, &timing);
        waited(since);
        if (panorama)
            logging->udebug(QStringLiteral("---------------"));
        if (!motionEnded)
            return interrupted();

        step(r, "Waiting for New Capture & Image Processing>");
        since = total.nsecsElapsed() / 1000;
        const bool measured = waitNewMeasurement(stop, &timing);
        waited(since);
        if (!measured)
            return interrupted();

        // One snapshot: every axis of this move comes from the same measurement.
        const alignment::Targets t = LastTargets();
        switch (kind) {
        case Kind::Inscription:
            MoveXYZTo(t.inscriptionX, t.inscriptionY, t.inscriptionZ);
            break;
        case Kind::InscriptionX:
            MoveXYZTo(t.inscriptionX, _YCurrentPos, t.inscriptionZ);
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
    const bool motionEnded = WaitMotionEnd(stop, &timing);
    waited(since);
    if (!motionEnded)
        return interrupted();

    timing.totalUs = total.nsecsElapsed() / 1000;
    {
        std::lock_guard<std::mutex> measurementLock(measurementMutex);
        residualPending = ResultsAfterMotion;
        pendingResidualKind = kind;
    }
    {
        std::lock_guard<std::mutex> reportLock(reportMutex);
        lastTiming = timing;
    }
    logging->udebug(QStringLiteral("Alignment ") + alignment::KindName(kind) + QStringLiteral(" done in ")
                    + millis(timing.totalUs) + QStringLiteral(" ms (motion waits ") + millis(timing.motionWaitUs)
                    + QStringLiteral(" ms, tracker waits ") + millis(timing.trackerWaitUs) + QStringLiteral(" ms, ")
                    + QString::number(timing.statusQueries) + QStringLiteral(" GMS)"));
    return true;
}

bool MotionCore::AlignForInscription(int iterations, const std::function<bool()>& stop)
{
    return align(alignment::Kind::Inscription, iterations, stop);
}

bool MotionCore::AlignXForInscription(int iterations, const std::function<bool()>& stop)
{
    return align(alignment::Kind::InscriptionX, iterations, stop);
}

bool MotionCore::AlignForPanorama(int iterations, const std::function<bool()>& stop)
{
    return align(alignment::Kind::Panorama, iterations, stop);
}

// ---------------------------------------------------------------------------------------------
// The request loop

void MotionCore::serveLoopPass()
{
    const double a = _ACurrentPos;
    if (!(static_cast<double>(AutoalignAPos) == a)) {
        // The stone has been rotated since the last pass (NaN never compares equal).
        if (EngageAutoAlignForInscription)
            AlignForInscription(2);
        else if (EngageAutoAlignForPanorama)
            AlignForPanorama(2);
        AutoalignAPos = static_cast<double>(_ACurrentPos);
        return;
    }
    auto serve = [this](bool done, const char* endMessage) {
        if (done)
            TessarixCommand(QString::fromLatin1(endMessage));
        else
            logging->udebug(QStringLiteral("Motion Core: alignment interrupted, ") + QLatin1String(endMessage)
                            + QStringLiteral(" not sent"));
    };
    if (AutoManAlignInscription.exchange(false))
        serve(AlignXForInscription(2), motioncommands::XAlignEnd);
    else if (AutoFullAlignInscription.exchange(false))
        serve(AlignForInscription(2), motioncommands::AlignEnd);
    else if (AutoFullAlignImageSaving.exchange(false))
        serve(AlignForPanorama(2), motioncommands::AlignEnd);
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
        const bool requestPending = AutoManAlignInscription || AutoFullAlignInscription || AutoFullAlignImageSaving;
        if (RunAuto && !requestPending)
            loopWake.wait_for(loopLock, std::chrono::milliseconds(LoopPauseMs));
    }
}
