// Live views and measurement display of the main window: camera frames with their captions and
// guide marks, the tracker's and analyser's images, the diameter, positions, targets, scan
// progress, the mouse selection of an area of interest and the layout on resizing.
#include "mainwindow.h"

#include "imagedisplay.h"
#include "overlaygeometry.h"
#include "ui_mainwindow.h"

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "vision/gridleanalyser.h"
#include "vision/topstonetracker.h"

#include <QDebug>
#include <QMouseEvent>
#include <QResizeEvent>

namespace {
QString generalNumber(double value)
{
    return QString::number(value, 'g', 6);
}
} // namespace

QString MainWindow::cameraCaption(const char* code, const QString& id, double fps) const
{
    return QLatin1String(code) + id + QStringLiteral(" FPS ") + generalNumber(fps);
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
    caption->setText(cameraCaption("TL", tlCamera->GetID(), tlCamera->getFPS()));
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
        ui->labelTSInfo->setText(cameraCaption("TS", tsCamera->GetID(), tsCamera->getFPS()));
        overviewTopStandardFrame = tsCamera->getImage();
        overviewTopStandardPending = true;
    } else if (page == TopStandardPage) {
        ui->labelTSInfo_2->setText(cameraCaption("TS", tsCamera->GetID(), tsCamera->getFPS()));
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
    caption->setText(cameraCaption("MF", mfCamera->GetID(), mfCamera->getFPS()));
    const cv::Mat frame = mfCamera->getImage();
    const overlay::Marks cross = overlay::markingFrontCross(mfCamera->GetWidth(), mfCamera->GetHeight());
    imagedisplay::show(view, frame, [&cross](cv::Mat& picture, double sx, double sy) { overlay::draw(picture, cross, sx, sy); });
}

void MainWindow::RefreshTLTracker(double CenterX, double CenterY, double FocalX, double FocalY, double MFX, double MFY)
{
    _CenterX = CenterX;
    _CenterY = CenterY;
    _FocalX = FocalX;
    _FocalY = FocalY;
    _MFX = MFX;
    _MFY = MFY;
    // Vertical plus horizontal radius, TL pixels to millimetres (pixel size in micrometres).
    StoneDiameter = ((_CenterY - _MFY) + (_FocalX - _CenterX)) * double(Motion->TLPixelSize) / 1000;
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
    const QImage picture = imagedisplay::viewPicture(panorama, imagedisplay::pictureSize(ui->labelMFPanorama));
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
    ui->labelMFGriddleCapturesStatus->setText(QString::number(processed) + QStringLiteral(" / ") + QString::number(images));
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease)
        return QMainWindow::eventFilter(watched, event);
    if (watched == ui->labelCamTopLargeMainView)
        selectAoi(ui->labelCamTopLargeMainView, event, tlCamera->GetWidth(), tlCamera->GetHeight(), false,
                  ui->spinBoxXAOICamTopL, ui->spinBoxYAOICamTopL, ui->spinBoxWAOICamTopL, ui->spinBoxHAOICamTopL);
    else if (watched == ui->labelCamTopStandardMainView)
        selectAoi(ui->labelCamTopStandardMainView, event, tsCamera->GetWidth(), tsCamera->GetHeight(), false,
                  ui->spinBoxXAOICamTopS, ui->spinBoxYAOICamTopS, ui->spinBoxWAOICamTopS, ui->spinBoxHAOICamTopS);
    else if (watched == ui->labelCamMarkingFrontMainView)
        selectAoi(ui->labelCamMarkingFrontMainView, event, mfCamera->GetWidth(), mfCamera->GetHeight(), true,
                  ui->spinBoxXAOICamMF, ui->spinBoxYAOICamMF, ui->spinBoxWAOICamMF, ui->spinBoxHAOICamMF);
    // The view still gets the event.
    return false;
}

void MainWindow::selectAoi(QLabel* view, QEvent* event, int cameraWidth, int cameraHeight, bool clampToView,
                           QSpinBox* x, QSpinBox* y, QSpinBox* w, QSpinBox* h)
{
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const bool press = event->type() == QEvent::MouseButtonPress;
    QPoint point;
    // The camera's AOI size (before any rotation) against the view's size, as the operator
    // selects it; a view without size selects nothing.
    if (!overlay::aoiPoint(mouse->localPos(), view->size(), QSize(cameraWidth, cameraHeight), clampToView && !press, &point))
        return;
    if (press) {
        x->setValue(point.x());
        y->setValue(point.y());
    } else {
        h->setValue(point.y() - y->value());
        w->setValue(point.x() - x->value());
    }
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    const int ww = event->size().width();
    const int wh = event->size().height();
    QGroupBox* bar = ui->groupBox_8;
    const int barY = wh - bar->height() - 5;
    bar->setGeometry(bar->x(), barY, ww, bar->height());
    ui->stackedWidgetMain->setGeometry(0, 0, ww, barY - 5);
    const QRect tl = ui->labelCamTopLargeOverView->geometry();
    ui->labelCamTopLargeOverView->setGeometry(tl.x(), tl.y(), tl.width(), ui->stackedWidgetMain->height() - tl.y());
    const QRect mf = ui->labelCamMarkingFrontOverView->geometry();
    ui->labelCamMarkingFrontOverView->setGeometry(mf.x(), mf.y(), ui->stackedWidgetMain->width() - mf.x(),
                                                  ui->stackedWidgetMain->height() - mf.y());
}
