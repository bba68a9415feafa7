#include "scan/gridlestitcher.h"

#include "camera/cammf.h"
#include "camera/sharedfolder.h"
#include "core/logs.h"
#include "core/registry.h"
#include "core/settingscatalog.h"
#include "hostlink/hostmessages.h"
#include "motion/motioncore.h"
#include "scan/framestore.h"
#include "scan/runoutmodel.h"
#include "scan/scanfiles.h"
#include "scan/scangeometry.h"
#include "scan/scanjoiner.h"
#include "scan/scanpanorama.h"
#include "scan/scanreport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <exception>

namespace {

qint64 micros(const QElapsedTimer& timer)
{
    return timer.nsecsElapsed() / 1000;
}

} // namespace

GridleStitcher::GridleStitcher(QObject* parent)
    : QThread(parent)
{
    try {
        logging = Logs::AccessMemory();
        logging->udebug(QStringLiteral("Loading Gridle Stitcher..."));
        RunMode = 0;
        AppRegistry = Registry::AccessMemory();
        mfCamera = CamMF::AccessMemory();
        Motion = MotionCore::AccessMemory();
        NewMFCapture = false;
        connect(mfCamera, &CamMF::newcapture, this, &GridleStitcher::NewMFCaptureReady);
        connect(Motion, &MotionCore::StartAutoScan, this, &GridleStitcher::StartAutoScan);
        LoadMFStitchParameters();
        logging->udebug(QStringLiteral("Gridle Stitcher imported successfully"));
    } catch (const std::exception& e) {
        if (logging)
            logging->udebug(QStringLiteral("Error While Loading Gridle Stitcher") + QString::fromLocal8Bit(e.what()));
    }
}

GridleStitcher::~GridleStitcher()
{
    {
        std::lock_guard<std::mutex> startLocker(startMutex);
        destroying = true;
        StitchingRun = false;
    }
    while (!wait(1)) {
    }
    if (logging)
        logging->udebug(QStringLiteral("Gridle Stitcher Destruction"));
    std::lock_guard<std::mutex> resultLocker(resultMutex);
    PanoramaResult.release();
}

void GridleStitcher::LoadMFStitchParameters()
{
    CapturesNumber = settings::readInt(*AppRegistry, *logging, settings::scan::CapturesNumber);
    CapturesCovering = settings::readReal(*AppRegistry, *logging, settings::scan::CapturesCovering);
    PanoramaFileEnabled = settings::readBool(*AppRegistry, settings::scan::PanoramaFile);
    GirdleFileEnabled = settings::readBool(*AppRegistry, settings::scan::GirdleFile);
}

void GridleStitcher::SaveMFStitchParameter()
{
    settings::write(*AppRegistry, settings::scan::CapturesNumber, CapturesNumber.load());
    settings::write(*AppRegistry, settings::scan::CapturesCovering, CapturesCovering.load());
    settings::write(*AppRegistry, settings::scan::PanoramaFile, PanoramaFileEnabled.load());
    settings::write(*AppRegistry, settings::scan::GirdleFile, GirdleFileEnabled.load());
}

int GridleStitcher::ImagesPerPerimeter(double D, double w, double c)
{
    return scangeometry::ImagesPerPerimeter(D, w, c);
}

cv::Mat GridleStitcher::getImage()
{
    std::lock_guard<std::mutex> resultLocker(resultMutex);
    return PanoramaResult.clone();
}

panorama::Result GridleStitcher::LastPanorama() const
{
    std::lock_guard<std::mutex> resultLocker(resultMutex);
    return lastPanorama;
}

QStringList GridleStitcher::PanoramaQuality() const
{
    std::lock_guard<std::mutex> resultLocker(resultMutex);
    return panoramaQuality;
}

void GridleStitcher::finishPanorama(const scanpanorama::Outcome& outcome, const QString& folder, bool complete)
{
    const QString path = folder.isEmpty() ? QString() : QDir(folder).filePath(scanpanorama::FileName());
    const bool store = complete && PanoramaFileEnabled && !path.isEmpty();
    if (!store && !path.isEmpty() && QFile::exists(path)) {
        if (QFile::remove(path))
            logging->udebug(QStringLiteral("Panorama: removed the earlier ") + path + QStringLiteral(", not this scan's"));
        else
            logging->udebug(QStringLiteral("Panorama: could not remove the earlier ") + path);
    }
    if (!complete)
        return;
    for (const QString& line : outcome.lines)
        logging->udebug(line);
    logging->udebug(QStringLiteral("Panorama built in ") + alignment::Millis(outcome.stitchUs) + QStringLiteral(" ms"));
    if (store && !outcome.result.image.empty()) {
        QString why;
        if (WritePngAtomically(path, outcome.result.image, &why))
            logging->udebug(QStringLiteral("Panorama written to ") + path);
        else
            logging->udebug(QStringLiteral("Panorama: could not write ") + path + QStringLiteral(": ") + why);
    }
    {
        std::lock_guard<std::mutex> resultLocker(resultMutex);
        PanoramaResult = outcome.result.image;
        lastPanorama = outcome.result;
        panoramaQuality = outcome.lines;
    }
    emit PanoramaReady();
}

girdleprofile::Profile GridleStitcher::LastGirdleProfile() const
{
    std::lock_guard<std::mutex> resultLocker(resultMutex);
    return lastGirdle;
}

QVector<GridleStitcher::FrameTiming> GridleStitcher::LastScanTimings() const
{
    std::lock_guard<std::mutex> resultLocker(resultMutex);
    return frameTimings;
}

void GridleStitcher::StartPanorama(bool stepped)
{
    startScan(stepped, 0);
}

void GridleStitcher::startScan(bool stepped, quint64 session)
{
    std::lock_guard<std::mutex> startLocker(startMutex);
    if (destroying)
        return;
    if (scanning || !Motion->BeginScan())
        return refuse(session, scanning                 ? QStringLiteral("a scan is running")
                               : Motion->Calibrating() ? QStringLiteral("a calibration is running")
                                                       : QStringLiteral("an alignment is running"));
    // The last scan has sent "SCANEND" and is only returning from its thread.
    wait();
    // The settings store belongs to the main thread: the folder is read here, not in the scan.
    scanFolder = SharedFolderPath();
    scanSession = session;
    _steppedmode = stepped;
    operatorStop = false;
    StitchingRun = true;
    scanning = true;
    start(QThread::InheritPriority);
}

void GridleStitcher::refuse(quint64 session, const QString& why)
{
    logging->udebug(QStringLiteral("Gridle Stitcher: ") + why + QStringLiteral(", start request refused")
                    + (session != 0 ? QStringLiteral(" (") + hostmessages::ScanFail(hostmessages::FailReason::Busy)
                                          + QLatin1Char(')')
                                    : QString()));
    if (session != 0) {
        // The host already got "SCANBG"; a "SCANEND" would read as the end of the running scan.
        const MotionCore::RequestScope scope(session);
        Motion->TessarixCommand(hostmessages::ScanFail(hostmessages::FailReason::Busy));
    }
}

void GridleStitcher::StartAutoScan()
{
    startScan(false, Motion->TakeScanRequestSession());
}

void GridleStitcher::StopScan()
{
    if (!scanning)
        return;
    operatorStop = true;
    StitchingRun = false;
}

void GridleStitcher::NextStep()
{
    _nextstep = true;
}

void GridleStitcher::NewMFCaptureReady()
{
    NewMFCapture = true;
}

void GridleStitcher::run()
{
    quint64 session = 0;
    {
        std::lock_guard<std::mutex> startLocker(startMutex);
        session = scanSession;
    }
    // Everything this scan sends goes to the host that asked for it, and its waits end when
    // that host leaves.
    const MotionCore::RequestScope scope(session);
    try {
        scan();
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Stitcher Exception ") + QString::fromLocal8Bit(e.what()));
        sendScanEnd();
    }
}

bool GridleStitcher::interrupted() const
{
    return stopped() || Motion->OwnerGone();
}

void GridleStitcher::sendScanEnd(const QString& failure)
{
    // Cleared first: the host may answer "SCANEND" with a new "BGSCAN" before this thread ends.
    scanning = false;
    Motion->EndScan();
    if (!failure.isEmpty())
        Motion->TessarixCommand(failure);
    Motion->TessarixCommand(QLatin1String(hostmessages::ScanEnd));
}

bool GridleStitcher::clearPreviousScan(const QString& folder)
{
    if (folder.isEmpty())
        return true;
    const scanfiles::Clearing clearing = scanfiles::RemovePreviousScan(folder);
    for (const QString& failure : clearing.failures)
        logging->udebug(QStringLiteral("Gridle Stitcher: could not remove the previous scan's ") + failure);
    logging->udebug(QStringLiteral("Gridle Stitcher: removed ") + QString::number(clearing.removed)
                    + QStringLiteral(" file(s) of the previous scan from ") + folder);
    return clearing.failures.isEmpty();
}

void GridleStitcher::scan()
{
    const std::function<bool()> stop = [this] { return interrupted(); };
    const bool stepped = _steppedmode;
    logging->udebug(QStringLiteral("Starting stech"));
    {
        std::lock_guard<std::mutex> resultLocker(resultMutex);
        frameTimings.clear();
    }

    const double w = scangeometry::FrameWidth(mfCamera->GetOriginalWidth(), Motion->MFPixelSize);
    const double D = Motion->GetStoneDiameter();
    const double c = CapturesCovering;
    const int count = scangeometry::ImagesPerPerimeter(D, w, c);
    const double frameAngle = scangeometry::FrameAngleDegrees(D, w);
    emit MFGriddleCapturesDataChanged(count, frameAngle);
    QElapsedTimer total;
    total.start();
    using hostmessages::FailReason;
    // Why the scan could not be completed (the host is told before SCANEND); none when it ran
    // to the end or was interrupted.
    bool failed = false;
    FailReason failure = FailReason::NoStone;
    int framesStored = 0;
    FrameStore store(MotionCore::CurrentOwner());
    auto fail = [&](FailReason reason, const QString& detail) {
        failed = true;
        failure = reason;
        logging->udebug(QStringLiteral("Gridle Stitcher: scan failed, ") + hostmessages::ScanFail(reason)
                        + QStringLiteral(": ") + detail);
    };

    if (!clearPreviousScan(scanFolder)) {
        fail(FailReason::Storage, QStringLiteral("the previous scan's files could not all be removed from ") + scanFolder);
    } else if (count < 1) {
        logging->udebug(QStringLiteral("Gridle Stitcher: no usable frame count (diameter ") + hostmessages::Number(D)
                        + QStringLiteral(", frame width ") + hostmessages::Number(w) + QStringLiteral(", covering ")
                        + hostmessages::Number(c) + QStringLiteral("), no frame taken"));
        // A scan of no frame is not a scan: without a measured stone there is nothing to turn.
        if (!(D > 0))
            fail(FailReason::NoStone, QStringLiteral("no stone diameter measured"));
        else
            fail(FailReason::Settings, QStringLiteral("the frame width and covering give no frame count"));
    } else {
        const double step = scangeometry::RotationStep(stepped, count, frameAngle);
        const QString folder = scanFolder;
        // Logged when the folder cannot be made; the scan then fails before its first move.
        // Without a folder the frame path would be a file at the root.
        const bool folderReady = EnsureFolder(folder);
        const double yOffsetDifference = Motion->TLYOffsetPosition - Motion->MFYOffsetPosition;
        std::vector<cv::Mat> kept; // every frame of the scan, for the panorama at its end
        std::vector<double> keptA; // A reported with each frame, for the girdle profile
        // Each kept frame's girdle and seam, worked out beside the next frame's motion.
        ScanJoiner joiner(panorama::StepPixels(step, D, Motion->MFPixelSize),
                          panorama::CircumferencePixels(D, Motion->MFPixelSize), count, Motion->MFPixelSize);

        runout::Model runout;
        const double aStart = Motion->GetAPos();
        for (int i = 0; i < count; ++i) {
            emit MFGriddleCapturesStatusChanged(i + 1, count);
            FrameTiming timing;
            timing.index = i;
            // The frame's front frame is captured after this, also when nothing moves for it.
            const qint64 frameStartUs = CaptureClock::NowUs();
            QElapsedTimer capture;
            capture.start();
            const QString tag = QStringLiteral("[Capture ") + QString::number(i) + QLatin1Char(']');
            QString storeFailure;
            if (store.failed(&storeFailure)) {
                fail(FailReason::Storage, storeFailure);
                break;
            }
            if (!folderReady) {
                fail(FailReason::Storage, tag + QStringLiteral("no usable shared folder for ")
                                              + scangeometry::FramePath(folder, i));
                break;
            }

            // The turn to this frame's A; once the run-out is known, with the front alignment it
            // predicts there, as one move.
            // As the host adds up the steps it is sent: each one as the six digits carry it.
            const double a = aStart + i * hostmessages::Number(step).toDouble();
            // Before the scan's own run-out is known, the rotation axis an earlier scan learnt
            // predicts from this stone's first measured frame.
            const bool fromAxis = !runout.ready() && learntAxis.known && runout.sampleCount() > 0;
            bool predicted = i > 0 && (runout.ready() || fromAxis);
            if (predicted) {
                const runout::Targets t =
                    fromAxis ? runout::PredictFromOne(learntAxis, D, runout.latest(), a) : runout.predict(a);
                const QString refused = Motion->CheckFrontTargets(t.x, t.y, t.zii);
                if (refused.isEmpty()) {
                    if (fromAxis)
                        logging->udebug(tag + QStringLiteral("front alignment predicted by the rotation axis learnt earlier"));
                    Motion->MoveTo(t.x, t.y, Motion->GetZPos(), a, t.zii);
                } else {
                    // A prediction the alignment would not move on is not sent either.
                    logging->udebug(tag + QStringLiteral("predicted front alignment not sent (") + refused
                                    + QStringLiteral("): full alignment"));
                    runout.clear();
                    predicted = false;
                }
            }
            if (!predicted && i > 0)
                Motion->IncrementA(step);
            QElapsedTimer phase;
            phase.start();
            MotionCore::Outcome outcome;
            if (!Motion->WaitMotionEnd(stop, nullptr, &outcome)) {
                if (outcome.failed())
                    fail(outcome.reason, outcome.detail);
                break;
            }
            timing.motionWaitUs = micros(phase);
            if (!stepped && i > 0)
                logging->udebug(tag + QStringLiteral("Rotative Motion end after: ") + alignment::Millis(micros(phase))
                                + QStringLiteral(" ms"));

            phase.restart();
            bool held = false;
            if (!alignFront(tag, predicted, runout, &outcome, &held)) {
                if (outcome.failed())
                    fail(outcome.reason, tag + QStringLiteral("front alignment: ") + outcome.detail);
                break;
            }
            if (fromAxis && predicted && !held) {
                // Not this stone's axis (another holder, changed settings, a stone that is not
                // round): the scan learns it again.
                logging->udebug(tag + QStringLiteral("the rotation axis learnt earlier did not hold, forgotten"));
                learntAxis = runout::Axis();
            }
            timing.alignmentUs = micros(phase);
            if (!stepped)
                logging->udebug(tag + QStringLiteral("Alignement 1 Iterations end after ") + alignment::Millis(micros(capture))
                                + QStringLiteral(" ms"));

            phase.restart();
            CameraFrame captured;
            if (!takeSettledFrame(&captured, frameStartUs)) {
                if (!interrupted())
                    fail(FailReason::Camera, tag + QStringLiteral("no front frame taken after the motion within ")
                                                 + QString::number(std::max(1, static_cast<int>(Motion->MeasurementWaitMs)))
                                                 + QStringLiteral(" ms"));
                break;
            }
            timing.frameWaitUs = micros(phase);

            // Stored and reported beside the next frame's motion. The report carries the
            // positions the host reported for this frame.
            phase.restart();
            const cv::Mat frame = captured.image;
            kept.push_back(frame);
            joiner.add(frame);
            const double x = Motion->GetXPos();
            const double y = Motion->GetYPos();
            const double aReported = Motion->GetAPos();
            keptA.push_back(aReported);
            FrameStore::Job job;
            job.index = i;
            job.path = scangeometry::FramePath(folder, i);
            job.frame = frame;
            if (RunMode == 1) {
                const QString text = hostmessages::ScanImageReportText(i, x, y, aReported);
                job.report = [this, text, frame] { Motion->SendImage(text, scanreport::FrameImage(frame)); };
            } else {
                const QString text = hostmessages::ScanTextReport(i, x, y, aReported, Motion->MFPixelSize,
                                                                  yOffsetDifference, D, step);
                job.report = [this, text] { Motion->TessarixCommand(text); };
            }
            // A stepped scan forgets an earlier press of the next-step button before the
            // operator can see this frame's report, so the press that follows is the one that counts.
            if (stepped)
                _nextstep = false;
            if (!store.push(std::move(job))) {
                store.failed(&storeFailure);
                fail(FailReason::Storage, storeFailure);
                break;
            }
            // An image report puts the whole frame on the data link, which the host must read
            // before it can answer the next motion's questions: it goes out before the scan
            // moves on, as a text report did before frames were stored beside the motion.
            if (RunMode == 1 && !store.drain(&storeFailure)) {
                fail(FailReason::Storage, storeFailure);
                break;
            }
            timing.reportUs = micros(phase);
            {
                std::lock_guard<std::mutex> resultLocker(resultMutex);
                frameTimings.append(timing);
            }

            if (stepped) {
                while (!_nextstep && !interrupted())
                    QThread::msleep(1);
                if (interrupted())
                    break;
            }
        }
        // The panorama is joined from the frames in memory while the last of them are written.
        std::vector<panorama::Seam> seams;
        std::vector<girdle::Measurement> girdles;
        scanpanorama::Outcome joined;
        const bool allTaken = !failed && !interrupted();
        if (allTaken) {
            joiner.finish(&seams, &girdles);
            joined = scanpanorama::Build(kept, step, D, Motion->MFPixelSize, seams);
        }
        // Every frame on the disk and reported before the girdle, the panorama and SCANEND.
        QString storeFailure;
        if (!store.finish(&storeFailure) && !failed)
            fail(FailReason::Storage, storeFailure);
        framesStored = store.stored();
        {
            const std::vector<qint64> writes = store.writeMicros();
            std::lock_guard<std::mutex> resultLocker(resultMutex);
            for (int k = 0; k < frameTimings.size() && k < int(writes.size()); ++k)
                frameTimings[k].writeUs = writes[std::size_t(k)];
        }
        // The girdle first: the window reads the profile when the panorama is announced.
        const bool complete = allTaken && !failed && !interrupted();
        girdleprofile::Profile girdle = girdleprofile::FinishScan(
            kept, keptA, D, Motion->MFPixelSize, folderReady ? folder : QString(), complete, GirdleFileEnabled,
            [this](const QString& line) { logging->udebug(line); }, girdles);
        if (complete) {
            std::lock_guard<std::mutex> resultLocker(resultMutex);
            lastGirdle = std::move(girdle);
        }
        if (complete)
            learnAxis(runout, D);
        finishPanorama(joined, folderReady ? folder : QString(), complete);
    }

    logging->udebug(QStringLiteral("Total Time ") + alignment::Millis(micros(total)) + QStringLiteral(" ms"));
    const bool hostGone = Motion->OwnerGone();
    if (hostGone)
        logging->udebug(QStringLiteral("Gridle Stitcher: the host that asked for the scan has left, scan ended"));
    else if (operatorStop)
        logging->udebug(QStringLiteral("Gridle Stitcher: scan stopped by the operator after ") + QString::number(framesStored)
                        + QStringLiteral(" frame(s)"));
    // The last rotation (or the failed alignment's move) is waited for, but never with a stop
    // already asked for.
    if (!failed || failure != FailReason::Host)
        Motion->WaitMotionEnd(stop);
    QString summary;
    if (failed)
        summary = QStringLiteral("Scan failed: ") + hostmessages::ReasonWord(failure) + QStringLiteral(" (")
                  + hostmessages::ReasonText(failure) + QStringLiteral("), ") + QString::number(framesStored)
                  + QStringLiteral(" of ") + QString::number(std::max(count, 0)) + QStringLiteral(" frames stored");
    else if (hostGone || stopped())
        summary = QStringLiteral("Scan stopped after ") + QString::number(framesStored) + QStringLiteral(" of ")
                  + QString::number(std::max(count, 0)) + QStringLiteral(" frames");
    else
        summary = QStringLiteral("Scan done: ") + QString::number(framesStored) + QStringLiteral(" frames stored");
    emit ScanOutcome(!failed && !hostGone && !stopped(), summary);
    sendScanEnd(failed ? hostmessages::ScanFail(failure) : QString());
}
