#include "scan/gridlestitcher.h"

#include "camera/cammf.h"
#include "camera/sharedfolder.h"
#include "core/logs.h"
#include "core/registry.h"
#include "motion/motioncommands.h"
#include "motion/motioncore.h"
#include "scan/scangeometry.h"
#include "scan/scanreport.h"

#include <QElapsedTimer>

#include <opencv2/imgcodecs.hpp>

#include <exception>

namespace {

QString millis(qint64 microseconds)
{
    return QString::number((microseconds + 500) / 1000);
}

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
    CapturesNumber = AppRegistry->GetKeyINT(QStringLiteral("PSTTCHMFCAPN"), 20);
    CapturesCovering = AppRegistry->GetKeyDOUBLE(QStringLiteral("PSTTCHMFCAPCOV"), 0.0);
}

void GridleStitcher::SaveMFStitchParameter()
{
    AppRegistry->SetKey(QStringLiteral("PSTTCHMFCAPN"), QString::number(CapturesNumber));
    AppRegistry->SetKey(QStringLiteral("PSTTCHMFCAPCOV"), motioncommands::Number(CapturesCovering));
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

QVector<GridleStitcher::FrameTiming> GridleStitcher::LastScanTimings() const
{
    std::lock_guard<std::mutex> resultLocker(resultMutex);
    return frameTimings;
}

void GridleStitcher::StartPanorama(bool stepped)
{
    std::lock_guard<std::mutex> startLocker(startMutex);
    if (destroying)
        return;
    if (scanning) {
        logging->udebug(QStringLiteral("Gridle Stitcher: a scan is running, start request ignored"));
        return;
    }
    // The last scan has sent "SCANEND" and is only returning from its thread.
    wait();
    // The settings store belongs to the main thread: the folder is read here, not in the scan.
    scanFolder = SharedFolderPath();
    _steppedmode = stepped;
    StitchingRun = true;
    scanning = true;
    start(QThread::InheritPriority);
}

void GridleStitcher::StartAutoScan()
{
    StartPanorama(false);
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
    try {
        scan();
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Stitcher Exception ") + QString::fromLocal8Bit(e.what()));
        sendScanEnd();
    }
}

void GridleStitcher::sendScanEnd()
{
    // Cleared first: the host may answer "SCANEND" with a new "BGSCAN" before this thread ends.
    scanning = false;
    Motion->TessarixCommand(QStringLiteral("SCANEND"));
}

void GridleStitcher::scan()
{
    const std::function<bool()> stop = [this] { return stopped(); };
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

    if (count < 1) {
        logging->udebug(QStringLiteral("Gridle Stitcher: no usable frame count (diameter ") + motioncommands::Number(D)
                        + QStringLiteral(", frame width ") + motioncommands::Number(w) + QStringLiteral(", covering ")
                        + motioncommands::Number(c) + QStringLiteral("), no frame taken"));
    } else {
        const double step = scangeometry::RotationStep(stepped, count, frameAngle);
        const QString folder = scanFolder;
        // Logged when the folder cannot be made; each frame then logs that it was not written
        // (and is still reported). Without a folder the frame path would be a file at the root.
        const bool folderReady = EnsureFolder(folder);
        const double yOffsetDifference = Motion->TLYOffsetPosition - Motion->MFYOffsetPosition;

        for (int i = 0; i < count; ++i) {
            emit MFGriddleCapturesStatusChanged(i + 1, count);
            FrameTiming timing;
            timing.index = i;
            QElapsedTimer rotation;
            QElapsedTimer capture;
            rotation.start();
            capture.start();
            const QString tag = QStringLiteral("[Capture ") + QString::number(i) + QLatin1Char(']');

            if (!Motion->WaitMotionEnd(stop))
                break;
            timing.motionWaitUs += micros(rotation);
            if (!stepped && i > 0)
                logging->udebug(tag + QStringLiteral("Rotative Motion end after: ") + millis(micros(rotation))
                                + QStringLiteral(" ms"));

            QElapsedTimer phase;
            phase.start();
            if (!Motion->AlignForPanorama(2, stop))
                break;
            timing.alignmentUs = micros(phase);
            phase.restart();
            if (!Motion->WaitMotionEnd(stop))
                break;
            timing.motionWaitUs += micros(phase);
            if (!stepped)
                logging->udebug(tag + QStringLiteral("Alignement 1 Iterations end after ") + millis(micros(capture))
                                + QStringLiteral(" ms"));

            phase.restart();
            NewMFCapture = false;
            while (!NewMFCapture && !stopped())
                QThread::msleep(1);
            if (stopped())
                break;
            timing.frameWaitUs = micros(phase);

            phase.restart();
            const cv::Mat frame = mfCamera->getImage();
            const QString path = scangeometry::FramePath(folder, i);
            if (frame.empty())
                logging->udebug(QStringLiteral("Gridle Stitcher: the front camera gave no frame for ") + path);
            else if (!folderReady || !cv::imwrite(path.toStdString(), frame))
                logging->udebug(QStringLiteral("Gridle Stitcher: could not write ") + path);
            timing.writeUs = micros(phase);

            // The report carries the positions the host reported last. A stepped scan forgets an
            // earlier press of the next-step button before the operator can see this frame's
            // report, so the press that follows the report is the one that counts.
            if (stepped)
                _nextstep = false;
            phase.restart();
            const double x = Motion->GetXPos();
            const double y = Motion->GetYPos();
            const double a = Motion->GetAPos();
            if (RunMode == 1) {
                emit Motion->SENDIMAGETXCMD(scanreport::ImageReportText(i, x, y, a), scanreport::FrameImage(frame));
            } else {
                Motion->TessarixCommand(
                    scanreport::TextReport(i, x, y, a, Motion->MFPixelSize, yOffsetDifference, D, step));
            }
            timing.reportUs = micros(phase);
            {
                std::lock_guard<std::mutex> resultLocker(resultMutex);
                frameTimings.append(timing);
            }

            if (stepped) {
                while (!_nextstep && !stopped())
                    QThread::msleep(1);
                if (stopped())
                    break;
            }
            if (i + 1 < count)
                Motion->IncrementA(step);
        }
    }

    logging->udebug(QStringLiteral("Total Time ") + millis(micros(total)) + QStringLiteral(" ms"));
    Motion->WaitMotionEnd(stop);
    sendScanEnd();
}
