#include "motion/motioncore.h"

#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "vision/topstonetracker.h"

#include <cmath>
#include <exception>

namespace {
// Pause of the request loop between passes (requests and shutdown wake it early).
constexpr unsigned long LoopPauseMs = 50;
} // namespace

MotionCore::MotionCore(QObject* parent)
    : QThread(parent)
{
    try {
        logging = Logs::AccessMemory();
        logging->udebug(QStringLiteral("Loading Motion Core..."));
        AppRegistry = Registry::AccessMemory();
        Server = VeltraxServer::AccessMemory();
        TrackStoneFromTop = TopStoneTracker::AccessMemory();

        axes = std::make_unique<HostAxes>(*logging, Server, *this, *this, closing,
                                          [this](const QString& text) { TessarixCommand(text); });
        feed = std::make_unique<MeasurementFeed>(*logging);
        frontCheck = new FrontCheck(logging, this);
        Aligner::Hooks alignerHooks;
        alignerHooks.view = [this] {
            return alignment::ViewSize{TrackStoneFromTop ? TrackStoneFromTop->LastFrameWidth() : 0,
                                       TrackStoneFromTop ? TrackStoneFromTop->LastFrameHeight() : 0};
        };
        alignerHooks.residualShown = [this](const QString& text) { emit AlignmentResidual(text); };
        alignerHooks.outcomeShown = [this](bool ok, const QString& text) { emit AlignmentOutcome(ok, text); };
        alignerHooks.frontLanded = [this](qint64 freshFromUs) { frontCheck->Arm(freshFromUs); };
        aligner = std::make_unique<Aligner>(*logging, *axes, *feed, *this, alignerHooks);
        RequestArbiter::Hooks arbiterHooks;
        arbiterHooks.send = [this](const QString& text) { TessarixCommand(text); };
        arbiterHooks.outcomeShown = alignerHooks.outcomeShown;
        arbiterHooks.ownerGone = [this] { return OwnerGone(); };
        arbiter = std::make_unique<RequestArbiter>(*logging, arbiterHooks);

        wire();
        LoadTLMotionParameters();
        LoadMFMotionParameters();
        logging->udebug(QStringLiteral("Motion Core imported successfully"));
    } catch (const std::exception& e) {
        if (logging)
            logging->udebug(QStringLiteral("Error While Loading Motion Core") + QString::fromLocal8Bit(e.what()));
    }
    start(QThread::InheritPriority);
}

void MotionCore::wire()
{
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
}

MotionCore::~MotionCore()
{
    EngageAutoAlignForInscription = false;
    EngageAutoAlignForPanorama = false;
    closing = true;
    // The waits poll every millisecond; the wakes only shorten the last one.
    if (arbiter)
        arbiter->wake();
    if (axes)
        axes->wake();
    if (feed)
        feed->wake();
    while (!wait(1)) {
    }
    if (logging)
        logging->udebug(QStringLiteral("Motion Core Destruction"));
}

// ---------------------------------------------------------------------------------------------
// Texts, settings and what arrives from the host and the tracker

QString MotionCore::CheckFrontTargets(double x, double y, double zii) const
{
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(zii))
        return QStringLiteral("a target is not a finite number");
    alignment::Targets t = feed->lastTargets();
    t.panoramaX = x;
    t.panoramaY = y;
    t.panoramaZII = zii;
    return aligner->moveProblem(alignment::Kind::Panorama, t);
}

void MotionCore::TessarixCommand(QString text)
{
    if (axes)
        axes->textSent(text);
    const quint64 owner = RequestScope::Current();
    if (owner != 0)
        emit TXCMDTO(owner, text);
    else
        emit TXCMD(text);
}

void MotionCore::SendImage(QString text, QImage image)
{
    const quint64 owner = RequestScope::Current();
    if (owner != 0)
        emit SENDIMAGETXCMDTO(owner, text, image);
    else
        emit SENDIMAGETXCMD(text, image);
}

void MotionCore::LoadTLMotionParameters()
{
    loadTopLarge(*AppRegistry, *logging);
}

void MotionCore::SaveTLMotionParameter()
{
    saveTopLarge(*AppRegistry);
}

void MotionCore::LoadMFMotionParameters()
{
    loadMarkingFront(*AppRegistry, *logging);
}

void MotionCore::SaveMFMotionParameter()
{
    saveMarkingFront(*AppRegistry);
}

quint64 MotionCore::HostSession() const
{
    return Server ? Server->HostSession() : 0;
}

void MotionCore::RefreshCurrentPositions(double x, double y, double z, double a, double zii)
{
    axes->setPositions(x, y, z, a, zii);
}

void MotionCore::RefreshMotionStatus(int master, int a, int zii)
{
    axes->setMotionStatus(master, a, zii, arbiter->lastCommandSession());
}

void MotionCore::RefreshCommandSession(quint64 session)
{
    arbiter->setCommandSession(session);
}

void MotionCore::RefreshTLResultInfo(QString reason, qint64 captureTimeUs)
{
    pendingReason = reason;
    pendingCaptureUs = captureTimeUs;
}

void MotionCore::RefreshTLTracker(double centerX, double centerY, double focalX, double focalY, double mfX, double mfY)
{
    // The tracker tells why and when just before the result; a result without that note (a
    // caller of this slot other than the tracker) has no capture time.
    const QString reason = pendingReason;
    const qint64 captureUs = pendingCaptureUs;
    pendingReason.clear();
    pendingCaptureUs = -1;

    const alignment::TrackerMeasurement measurement{centerX, centerY, focalX, focalY, mfX, mfY};
    const alignment::Targets t = feed->publish(measurement, axes->x(), CurrentParameters(), reason, captureUs);
    if (!t.valid)
        return;
    StoneDiameter = t.stoneDiameter;
    CYMoveDist = t.inscriptionX;
    CZMoveDist = t.inscriptionZ;
    CXMoveDist = t.inscriptionY;
    CXPanorMoveDist = t.panoramaX;
    CYPanorMoveDist = t.panoramaY;
    CZIIPanorMoveDist = t.panoramaZII;
    NewCordinate = true;
    emit StoneCentredCoordinatesInscription(t.inscriptionX, t.inscriptionZ, t.inscriptionY);
    emit StoneCentredCoordinatesPanorama(t.panoramaX, t.panoramaY, t.panoramaZII);
}

// ---------------------------------------------------------------------------------------------
// Requests and the loop

void MotionCore::EngageAutoXAlign()
{
    arbiter->enqueue(alignment::Kind::InscriptionX);
}

void MotionCore::StartAutoAlignement(bool)
{
    arbiter->enqueue(alignment::Kind::Inscription);
}

void MotionCore::StartAutoAlignementImageSaving(bool)
{
    arbiter->enqueue(alignment::Kind::Panorama);
}

void MotionCore::StartAutoScanProxy()
{
    arbiter->setScanRequestSession(arbiter->takeCommandSession());
    emit StartAutoScan();
    arbiter->setScanRequestSession(0);
}

void MotionCore::serveLoopPass()
{
    const double a = axes->a();
    if (!(static_cast<double>(AutoalignAPos) == a)) {
        // The stone has been rotated since the last pass (NaN never compares equal). The
        // operator's switches re-align it, but never in the middle of a scan's frames.
        if (EngageAutoAlignForInscription || EngageAutoAlignForPanorama) {
            arbiter->runUnlessScanning([this] {
                const RequestScope scope(0);
                if (EngageAutoAlignForInscription)
                    AlignForInscription(2);
                else if (EngageAutoAlignForPanorama)
                    AlignForPanorama(2);
            });
        }
        AutoalignAPos = axes->a();
        return;
    }
    arbiter->serveNext([this](alignment::Kind kind, Outcome* outcome) { aligner->align(kind, 2, {}, outcome); });
}

void MotionCore::run()
{
    while (!closing) {
        try {
            serveLoopPass();
        } catch (const std::exception& e) {
            logging->udebug(QStringLiteral("Motion Core Exception ") + QString::fromLocal8Bit(e.what()));
        }
        arbiter->waitForWork(LoopPauseMs, closing);
    }
}
