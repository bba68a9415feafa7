// Live views and measurement display of the main window: camera frames with their captions and
// guide marks, the tracker's and analyser's images, the diameter, positions, targets, scan
// progress, the status strip and the mouse selection of an area of interest. Views show their
// images letterboxed (overlay::fit); marks and mouse positions go through that same fit.
#include "mainwindow.h"

#include "imagedisplay.h"
#include "overlaygeometry.h"
#include "ui_mainwindow.h"

#include "camera/cameraacquisition.h"
#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "hostlink/hostmessages.h"
#include "hostlink/veltraxserver.h"
#include "motion/alignmenttargets.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "vision/gridleanalyser.h"
#include "vision/topstonetracker.h"

#include <QDebug>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QTimer>

namespace {
QString generalNumber(double value)
{
    return QString::number(value, 'g', 6);
}
} // namespace

QString MainWindow::cameraCaption(const char* code, const QString& id, double fps, bool frozen) const
{
    return QLatin1String(code) + id + QStringLiteral(" FPS ") + generalNumber(fps)
           + (frozen ? QStringLiteral(" FROZEN: no new frame") : QString());
}

void MainWindow::RefreshTLCapture()
{
    const int page = ui->stackedWidgetMain->currentIndex();
    if (page == OverviewPage)
        showTopLarge(ui->labelTLInfo, ui->labelCamTopLargeOverView, Motion->OverlayMFFocalY);
    else if (page == TopLargePage)
        showTopLarge(ui->labelTLInfo_2, ui->labelCamTopLargeMainView, Motion->OverlayMFCenterV);
}

void MainWindow::showTopLarge(QLabel* caption, QLabel* view, int frontColumn)
{
    caption->setText(cameraCaption("TL", tlCamera->GetID(), tlCamera->getFPS(), tlCamera->isFrozen()));
    const cv::Mat frame = tlCamera->getImage();
    overlay::TopLargeInputs in;
    in.width = frame.cols;
    in.height = frame.rows;
    in.centerH = Motion->OverlayTLCenterH;
    in.circlesNumber = Motion->OverlayTLCenterCirclesNumber;
    in.circlesSpace = Motion->OverlayTLCenterCirclesSpace;
    in.chargingH = OverlayChargingH;
    in.chargingV = OverlayChargingV;
    in.focalX = Motion->OverlayTLFocalX;
    in.focalY = Motion->OverlayTLFocalY;
    in.focusZ = Motion->TLZFocusPosition;
    in.currentZ = _CurrentZPosition;
    in.pixelSize = Motion->TLPixelSize;
    in.focusZII = Motion->MFXFocusPosition;
    in.currentZII = _CurrentZIIPosition;
    in.frontColumn = frontColumn;
    in.frontFocalRow = Motion->OverlayMFFocalX;
    const overlay::Marks marks = overlay::topLargeMarks(in);
    // The marks go onto the view-sized copy of the frame, never onto the camera's frame.
    imagedisplay::show(view, frame, [&marks](cv::Mat& picture, double sx, double sy) { overlay::draw(picture, marks, sx, sy); });
}

void MainWindow::RefreshTSCapture()
{
    const int page = ui->stackedWidgetMain->currentIndex();
    if (page == OverviewPage) {
        // The overview has no Top Standard view; its frames feed the panorama page's view, which
        // thus shows the last frame received while the overview was current. That view is
        // hidden now, so the frame is only kept (published frames never change) and converted
        // when its page comes up.
        ui->labelTSInfo->setText(cameraCaption("TS", tsCamera->GetID(), tsCamera->getFPS(), tsCamera->isFrozen()));
        overviewTopStandardFrame = tsCamera->getImage();
        overviewTopStandardPending = true;
    } else if (page == TopStandardPage) {
        ui->labelTSInfo_2->setText(cameraCaption("TS", tsCamera->GetID(), tsCamera->getFPS(), tsCamera->isFrozen()));
        imagedisplay::show(ui->labelCamTopStandardMainView, tsCamera->getImage());
    }
}

void MainWindow::showPendingTopStandardOverview()
{
    if (!overviewTopStandardPending)
        return;
    overviewTopStandardPending = false;
    imagedisplay::show(ui->labelCamTopStandardOverView, overviewTopStandardFrame);
    overviewTopStandardFrame = cv::Mat();
}

void MainWindow::RefreshMFCapture()
{
    const int page = ui->stackedWidgetMain->currentIndex();
    if (page == OverviewPage)
        showMarkingFront(ui->labelMFInfo, ui->labelCamMarkingFrontOverView);
    else if (page == MarkingFrontPage)
        showMarkingFront(ui->labelMFInfo_2, ui->labelCamMarkingFrontMainView);
}

void MainWindow::showMarkingFront(QLabel* caption, QLabel* view)
{
    caption->setText(cameraCaption("MF", mfCamera->GetID(), mfCamera->getFPS(), mfCamera->isFrozen()));
    const cv::Mat frame = mfCamera->getImage();
    const overlay::Marks cross = overlay::markingFrontCross(mfCamera->GetWidth(), mfCamera->GetHeight());
    imagedisplay::show(view, frame, [&](cv::Mat& picture, double sx, double sy) {
        overlay::draw(picture, cross, sx, sy);
        drawGirdle(picture, sx, sy, frame.cols, frame.rows);
    });
}

void MainWindow::RefreshTLTracker(double CenterX, double CenterY, double FocalX, double FocalY, double MFX, double MFY)
{
    _CenterX = CenterX;
    _CenterY = CenterY;
    _FocalX = FocalX;
    _FocalY = FocalY;
    _MFX = MFX;
    _MFY = MFY;
    StoneDiameter = alignment::StoneDiameter({_CenterX, _CenterY, _FocalX, _FocalY, _MFX, _MFY}, Motion->TLPixelSize);
    // Without a stone the page says why, in the words of the alignment outcomes.
    const QString reason = tlResultReason;
    tlResultReason.clear();
    if (!(_CenterX > -1))
        ui->labelStoneDiameterCamTopL->setText(hostmessages::ReasonText(hostmessages::ReasonFromTracker(reason)));
    else
        ui->labelStoneDiameterCamTopL->setText(generalNumber(StoneDiameter) + QStringLiteral(" mm"));

    if (ui->stackedWidgetMain->currentIndex() != TopLargePage)
        return;
    if (!ui->checkBoxLowCpuMode->isChecked()) {
        imagedisplay::show(ui->labelCamTopLargeMainViewHSV, TrackStoneFromTop->getTLHSVImage());
        imagedisplay::show(ui->labelCamTopLargeMainViewThreshold, TrackStoneFromTop->getTLThreshImage());
        imagedisplay::show(ui->labelCamTopLargeMainViewTransfThreshold, TrackStoneFromTop->getTLThreshTransformedImage());
        imagedisplay::show(ui->labelCamTopLargeMainViewCanny, TrackStoneFromTop->getTLContourImage());
    }
    imagedisplay::show(ui->labelCamTopLargeMainViewResult, TrackStoneFromTop->getTLResultImage());
}

void MainWindow::RefreshTSTracker()
{
}

void MainWindow::RefreshMFGridlTracker(double CenterX, double CenterY)
{
    if (ui->stackedWidgetMain->currentIndex() != MarkingFrontPage)
        return;
    qDebug() << CenterX << CenterY;
    imagedisplay::show(ui->labelCamMarkingFrontMainViewGrad, GridleTraker->getMFGradImage());
    imagedisplay::show(ui->labelCamMarkingFrontMainViewThreshold, GridleTraker->getMFThreshImage());
    imagedisplay::show(ui->labelCamMarkingFrontMainViewTransfThresh, GridleTraker->getMFThreshTransformedImage());
    imagedisplay::show(ui->labelCamMarkingFrontMainViewCanny, GridleTraker->getMFCannyImage());
    imagedisplay::show(ui->labelCamMarkingFrontMainViewTransfCanny, GridleTraker->getMFCannyTransformedImage());
    imagedisplay::show(ui->labelCamMarkingFrontMainViewLines, GridleTraker->getMFLinesDrawing());
    imagedisplay::show(ui->labelCamMarkingFrontMainViewLinesProcessing, GridleTraker->GetMFLinesProcessing());
    imagedisplay::show(ui->labelCamMarkingFrontMainViewResult, GridleTraker->getMFResultImage());
}

void MainWindow::RefreshCurrentPositions(double XCurrentPos, double YCurrentPos, double ZCurrentPos, double ACurrentPos, double ZIICurrentPos)
{
    _CurrentZPosition = ZCurrentPos;
    _CurrentYPosition = YCurrentPos;
    _CurrentZIIPosition = ZIICurrentPos;
    ui->X_Pos_Label->setText(QString::number(XCurrentPos, 'f', 4));
    ui->Y_Pos_Label->setText(QString::number(YCurrentPos, 'f', 4));
    ui->Z_Pos_Label->setText(QString::number(ZCurrentPos, 'f', 4));
    ui->A_Pos_Label->setText(QString::number(ACurrentPos, 'f', 4));
    ui->X2_Pos_Label->setText(QString::number(ZIICurrentPos, 'f', 4));
}

void MainWindow::SetTLCentringStoneCoordinates(double XasVertical, double Z, double YasHorizontal)
{
    _XasVerticalTL = XasVertical;
    ZCenterTL = Z;
    _YasHorizontal = YasHorizontal;
    ui->labelTopCenteringXpositionCamTopL->setText(generalNumber(XasVertical));
    ui->labelTopCenteringYpositionCamTopL->setText(generalNumber(YasHorizontal));
    ui->labelTopCenteringZpositionCamTopL->setText(generalNumber(Z));
}

void MainWindow::SetMFCentringStoneCoordinates(double Xpos, double Ypos, double ZIIpos)
{
    _XasVerticalMF = Xpos;
    _YasHorizontalII = Ypos;
    ZIICenterMF = ZIIpos;
    ui->labelTopCenteringXpositionCamMF->setText(generalNumber(Xpos));
    ui->labelTopCenteringYpositionCamMF->setText(generalNumber(Ypos));
    ui->labelTopCenteringZpositionCamMF->setText(generalNumber(ZIIpos));
}

void MainWindow::ShowAlignmentResidual(QString text)
{
    ui->labelAlignmentResidual->setText(text);
}

void MainWindow::ShowOutcome(bool ok, QString text)
{
    ui->labelAlignmentResidual->setText(text);
    ui->labelAlignmentResidual->setStyleSheet(ok ? QString() : QStringLiteral("color: #c00000;"));
}

void MainWindow::PanoramaReady()
{
    const cv::Mat panorama = GridlePanoramaConstructor->getImage();
    const QImage picture = imagedisplay::viewPicture(panorama, imagedisplay::pictureSize(ui->labelMFPanorama), showGirdleProfile());
    if (picture.isNull())
        ui->labelMFPanorama->clear();
    else
        ui->labelMFPanorama->setPixmap(QPixmap::fromImage(picture));
    // Per-seam registration, coverage and gaps (gaps are also hatched red in the image).
    ui->labelMFPanorama->setToolTip(GridlePanoramaConstructor->PanoramaQuality().join(QLatin1Char('\n')));
}

void MainWindow::on_MFGriddleCapturesDataChanged(int images, double Deg)
{
    if (images <= 0)
        return;
    ui->labelMFGriddleCapturesStatus->setText(QStringLiteral("00 / ") + QString::number(images, 10));
    ui->labelMFGriddleRotationStep->setText(QString::number(Deg, 'f', 4));
}

void MainWindow::on_MFGriddleCapturesStatusChanged(int processed, int images)
{
    const QString progress = QString::number(processed) + QStringLiteral(" / ") + QString::number(images);
    ui->labelMFGriddleCapturesStatus->setText(progress);
    ui->labelStatusScan->setText(QStringLiteral("Scan: frame ") + progress);
    ui->labelStatusScan->setStyleSheet(QString());
}

// ---------------------------------------------------------------- status strip

namespace {
// Green for a success, red for a failure, the default colour while nothing is known.
QString outcomeStyle(bool ok)
{
    return ok ? QStringLiteral("color: rgb(0, 120, 0);") : QStringLiteral("color: rgb(190, 0, 0);");
}

QString cameraStatus(const char* code, int frames, qint64 elapsedMs, bool frozen)
{
    if (frozen)
        return QLatin1String(code) + QStringLiteral(": frozen");
    if (frames <= 0 || elapsedMs <= 0)
        return QLatin1String(code) + QStringLiteral(": no frames");
    return QLatin1String(code) + QStringLiteral(": ") + QString::number(frames * 1000.0 / elapsedMs, 'f', 1) + QStringLiteral(" fps");
}

// One axis of a residual in pixels and micrometres (axis units are millimetres).
QString residualAxis(const QString& axis, double pixels, double millimetres)
{
    return axis + QLatin1Char(' ') + QString::number(pixels, 'f', 2) + QStringLiteral(" px ")
           + QString::number(millimetres * 1000.0, 'f', 1) + QStringLiteral(" \u00b5m");
}
} // namespace

void MainWindow::setUpStatusStrip()
{
    connect(Motion, &MotionCore::AlignmentOutcome, this, &MainWindow::ShowAlignmentOutcome);
    connect(GridlePanoramaConstructor, &GridleStitcher::ScanOutcome, this, &MainWindow::ShowScanOutcome);
    // The residual is measured after the alignment's last motion, so it follows the outcome.
    connect(Motion, &MotionCore::AlignmentResidual, this, [this] {
        const alignment::Residual r = Motion->LastResidual();
        if (!r.valid)
            return;
        QString text = residualAxis(QStringLiteral("X"), r.xPixels, r.xUnits);
        if (r.yAligned)
            text += QStringLiteral(", ") + residualAxis(QStringLiteral("Y"), r.yPixels, r.yUnits);
        text += QStringLiteral(", ")
                + residualAxis(r.kind == alignment::Kind::Panorama ? QStringLiteral("ZII") : QStringLiteral("Z"), r.focusPixels, r.focusUnits);
        alignmentResidual = text;
        showAlignmentStatus();
    });
    // Counted in the camera threads as each frame is announced, so the strip shows what the
    // cameras deliver whatever the window does with the frames.
    connect(tlCamera, &CamTL::newcapture, this, [this] { ++framesTL; }, Qt::DirectConnection);
    connect(tsCamera, &CamTS::newcapture, this, [this] { ++framesTS; }, Qt::DirectConnection);
    connect(mfCamera, &CamMF::newcapture, this, [this] { ++framesMF; }, Qt::DirectConnection);
    statusTimer = new QTimer(this);
    statusTimer->setObjectName(QStringLiteral("statusTimer"));
    connect(statusTimer, &QTimer::timeout, this, &MainWindow::refreshStatusStrip);
    statusClock.start();
    statusTimer->start(1000);
    refreshStatusStrip();
    setUpGirdleDisplay();
}

void MainWindow::refreshStatusStrip()
{
    const QString peer = Server->HasDataConnection() ? Server->DataPeerAddress() : QString();
    ui->labelStatusHost->setText(peer.isEmpty() ? QStringLiteral("Host: not connected") : QStringLiteral("Host: connected ") + peer);
    ui->labelStatusHost->setStyleSheet(outcomeStyle(!peer.isEmpty()));

    const qint64 elapsed = statusClock.restart();
    const struct {
        QLabel* label;
        const char* code;
        int frames;
        bool frozen;
    } cameras[] = {{ui->labelStatusCameraTL, "TL", framesTL.exchange(0), tlCamera->isFrozen()},
                   {ui->labelStatusCameraTS, "TS", framesTS.exchange(0), tsCamera->isFrozen()},
                   {ui->labelStatusCameraMF, "MF", framesMF.exchange(0), mfCamera->isFrozen()}};
    for (const auto& camera : cameras) {
        camera.label->setText(cameraStatus(camera.code, camera.frames, elapsed, camera.frozen));
        camera.label->setStyleSheet(outcomeStyle(camera.frames > 0 && !camera.frozen));
    }
}

void MainWindow::ShowAlignmentOutcome(bool ok, QString text)
{
    alignmentKnown = true;
    alignmentOk = ok;
    alignmentText = text;
    alignmentResidual.clear();
    showAlignmentStatus();
}

void MainWindow::showAlignmentStatus()
{
    if (!alignmentKnown)
        return;
    QString text = (alignmentOk ? QStringLiteral("Alignment OK: ") : QStringLiteral("Alignment FAILED: ")) + alignmentText;
    if (alignmentOk && !alignmentResidual.isEmpty())
        text += QStringLiteral("; residual ") + alignmentResidual;
    ui->labelStatusAlignment->setText(text);
    ui->labelStatusAlignment->setToolTip(text);
    ui->labelStatusAlignment->setStyleSheet(outcomeStyle(alignmentOk));
}

void MainWindow::ShowScanOutcome(bool ok, QString text)
{
    ui->labelStatusScan->setText((ok ? QStringLiteral("Scan OK: ") : QStringLiteral("Scan FAILED: ")) + text);
    ui->labelStatusScan->setToolTip(text);
    ui->labelStatusScan->setStyleSheet(outcomeStyle(ok));
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease)
        return QMainWindow::eventFilter(watched, event);
    if (watched == ui->labelCamTopLargeMainView)
        selectAoi(ui->labelCamTopLargeMainView, event, viewedCamera(tlCamera, overlay::Turn::Clockwise), false,
                  ui->spinBoxXAOICamTopL, ui->spinBoxYAOICamTopL, ui->spinBoxWAOICamTopL, ui->spinBoxHAOICamTopL);
    else if (watched == ui->labelCamTopStandardMainView)
        selectAoi(ui->labelCamTopStandardMainView, event, viewedCamera(tsCamera, overlay::Turn::None), false,
                  ui->spinBoxXAOICamTopS, ui->spinBoxYAOICamTopS, ui->spinBoxWAOICamTopS, ui->spinBoxHAOICamTopS);
    else if (watched == ui->labelCamMarkingFrontMainView)
        selectAoi(ui->labelCamMarkingFrontMainView, event, viewedCamera(mfCamera, overlay::Turn::None), true,
                  ui->spinBoxXAOICamMF, ui->spinBoxYAOICamMF, ui->spinBoxWAOICamMF, ui->spinBoxHAOICamMF);
    // The view still gets the event.
    return false;
}

overlay::ViewedCamera MainWindow::viewedCamera(CameraAcquisition* camera, overlay::Turn turn) const
{
    overlay::ViewedCamera viewed;
    viewed.turn = turn;
    // The frame the view shows; before the first one, the area of interest (turned as the
    // frames will be).
    const cv::Mat frame = camera->getImage();
    if (!frame.empty())
        viewed.frame = QSize(frame.cols, frame.rows);
    else if (turn == overlay::Turn::Clockwise)
        viewed.frame = QSize(camera->GetHeight(), camera->GetWidth());
    else
        viewed.frame = QSize(camera->GetWidth(), camera->GetHeight());
    // Area-of-interest positions are on the whole sensor; the frame starts at the current one.
    viewed.aoiOrigin = QPoint(camera->DefaultAOIX, camera->DefaultAOIY);
    return viewed;
}

void MainWindow::selectAoi(QLabel* view, QEvent* event, const overlay::ViewedCamera& camera, bool clampToFrame,
                           QSpinBox* x, QSpinBox* y, QSpinBox* w, QSpinBox* h)
{
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const bool press = event->type() == QEvent::MouseButtonPress;
    // The picture fills the label's contents rectangle and shows the frame through the same fit
    // the refresh used; a view without size selects nothing.
    const QRect contents = view->contentsRect();
    QPoint point;
    if (!overlay::aoiPoint(mouse->localPos() - contents.topLeft(), contents.size(), camera, clampToFrame && !press, &point))
        return;
    if (press) {
        x->setValue(point.x());
        y->setValue(point.y());
    } else if (camera.turn != overlay::Turn::None) {
        // On a turned view the drag's corners are other corners on the sensor: the rectangle is
        // the one spanned by both, starting at its smaller coordinates.
        const QRect r = overlay::aoiRectangle(QPoint(x->value(), y->value()), point);
        x->setValue(r.x());
        y->setValue(r.y());
        h->setValue(r.height());
        w->setValue(r.width());
    } else {
        h->setValue(point.y() - y->value());
        w->setValue(point.x() - x->value());
    }
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    // The central widget's layouts place the pages, the status strip and the positions bar;
    // every view picks up its new size with its next frame.
    QMainWindow::resizeEvent(event);
}
