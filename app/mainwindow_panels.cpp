// Operator controls and parameter panels. Every parameter lives in the component that uses it;
// a widget only mirrors it and writes each change straight into the component's field. The
// settings file changes only through the three "Save Params" buttons and the camera "Apply".
#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "camera/cameraacquisition.h"
#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/registry.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "vision/gridleanalyser.h"
#include "vision/topstonetracker.h"

#include <QComboBox>
#include <QSignalBlocker>
#include <QSlider>
#include <QMessageBox>

namespace {
// The tracker reports -1 for every value when it found no stone.
const double NotFound = -1;

const char* const AoiTitle = "Camera Area Of Interest";
const char* const SubSamplingTitle = "Camera Sub sampling";
const char* const SavedFrameFile = "Default.png";

// "Disable" -> 0, "2X" -> 2, "16X" -> 16.
int subSamplingFactor(const QString& itemText)
{
    QString digits = itemText;
    digits.remove(QLatin1Char('X'));
    return digits.toInt();
}

void fillCameraSelector(QComboBox* selector, const QStringList& cameras, const QString& bound)
{
    selector->clear();
    selector->addItem(QString());
    selector->addItems(cameras);
    const int at = selector->findText(bound, Qt::MatchExactly | Qt::MatchCaseSensitive);
    selector->setCurrentIndex(at >= 0 ? at : 0);
}
} // namespace

// ---------------------------------------------------------------- Top Large: tracker
void MainWindow::on_doubleSpinBoxThreshMinTopL_valueChanged(double arg1) { TrackStoneFromTop->CV_TL_Param_ThreshMin = arg1; }
void MainWindow::on_doubleSpinBoxThreshMaxTopL_valueChanged(double arg1) { TrackStoneFromTop->CV_TL_Param_ThreshMax = arg1; }
void MainWindow::on_doubleSpinBoxCannyValTopL_valueChanged(double arg1) { TrackStoneFromTop->CV_TL_Param_CannyThreshVal = arg1; }
void MainWindow::on_spinBoxCannyRatioTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_CannyThreshRatio = arg1; }
void MainWindow::on_spinBoxCannyKernelTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_CannyThreshKernel = arg1; }
void MainWindow::on_spinBoxErodeTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_Erode = arg1; }
void MainWindow::on_spinBoxDilateTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_Dilate = arg1; }
void MainWindow::on_checkBoxInvertedErodeDilateTopL_clicked(bool checked) { TrackStoneFromTop->CV_TL_Param_InvertErodeDilate = checked; }
void MainWindow::on_spinBoxMinAreaTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_ContourSizeFMIN = arg1; }
void MainWindow::on_spinBoxMaxAreaTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_ContourSizeFMAX = arg1; }
void MainWindow::on_spinBoxAreaMerginTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_AreaMergin = arg1; }
void MainWindow::on_spinBoxMinRadTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_HC_MinRad = arg1; }
void MainWindow::on_spinBoxMaxRadTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_HC_MaxRad = arg1; }
void MainWindow::on_spinBoxMinCenterDistanceTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_HC_MinCenterDistance = arg1; }
void MainWindow::on_spinBoxAccumulatorThreshTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_HC_AccumulatorThresh = arg1; }
void MainWindow::on_spinBoxHigherThreshTopL_valueChanged(int arg1) { TrackStoneFromTop->CV_TL_Param_HC_HigherThresh = arg1; }
void MainWindow::on_horizontalSliderExposureCamTopL_valueChanged(int value) { applyExposure(tlCamera, ui->horizontalSliderExposureCamTopL, value); }

// ---------------------------------------------------------------- Top Large: overlays, motion
void MainWindow::on_spinBoxHCentringOverlayCamTopL_valueChanged(int arg1) { Motion->OverlayTLCenterH = arg1; }
void MainWindow::on_spinBoxVCentringOverlayCamTopL_valueChanged(int arg1) { Motion->OverlayTLCenterV = arg1; }
void MainWindow::on_spinBoxHFocalOverlayCamTopL_valueChanged(int arg1) { Motion->OverlayTLFocalX = arg1; }
void MainWindow::on_spinBoxVFocalOverlayCamTopL_valueChanged(int arg1) { Motion->OverlayTLFocalY = arg1; }
void MainWindow::on_doubleSpinBoxZFocalPositionCamTopL_valueChanged(double arg1) { Motion->TLZFocusPosition = arg1; }
void MainWindow::on_spinBoxHChargingOverlayCamTopL_valueChanged(int arg1) { OverlayChargingH = arg1; }
void MainWindow::on_spinBoxVChargingOverlayCamTopL_valueChanged(int arg1) { OverlayChargingV = arg1; }
void MainWindow::on_spinBoxCirclesNumbCentringOverlayCamTopL_valueChanged(int arg1) { Motion->OverlayTLCenterCirclesNumber = arg1; }
void MainWindow::on_doubleSpinBoxCirclesSpaceCentringOverlayCamTopL_valueChanged(double arg1) { Motion->OverlayTLCenterCirclesSpace = arg1; }
void MainWindow::on_spinBoxHCentringOverlayCamMF_valueChanged(int arg1) { Motion->OverlayMFCenterH = arg1; }
void MainWindow::on_spinBoxVCentringOverlayCamMF_valueChanged(int arg1) { Motion->OverlayMFCenterV = arg1; }
void MainWindow::on_doubleSpinBoxXFocalPositionCamMF_valueChanged(double arg1) { Motion->MFXFocusPosition = arg1; }
void MainWindow::on_spinBoxHFocalOverlayCamMF_valueChanged(int arg1) { Motion->OverlayMFFocalX = arg1; }
void MainWindow::on_spinBoxVFocalOverlayCamMF_valueChanged(int arg1) { Motion->OverlayMFFocalY = arg1; }
void MainWindow::on_doubleSpinBoxPixelSizeValTopL_valueChanged(double arg1) { Motion->TLPixelSize = arg1; }
void MainWindow::on_doubleSpinBoxGridleSizepercentCamTopL_valueChanged(double arg1) { Motion->RoundGridlePercent = arg1; }
void MainWindow::on_doubleSpinBoxCrownSizepercentCamTopL_valueChanged(double arg1) { Motion->RoundCrownPercent = arg1; }
void MainWindow::on_doubleSpinBoxGridleOffsetPositionCamTopL_valueChanged(double arg1) { Motion->TLYOffsetPosition = arg1; }
void MainWindow::on_doubleSpinBoxGridleOffsetPositionCamMF_valueChanged(double arg1) { Motion->MFYOffsetPosition = arg1; }

// The "Get" buttons take the last tracker result and axis positions. Integer boxes truncate
// towards zero (QSpinBox::setValue(int)); setting a box passes the value on to the motion core.
void MainWindow::on_pushButtonGetCentringOverlayCamTopL_clicked()
{
    if (_CenterX == NotFound || _CenterY == NotFound)
        return;
    ui->spinBoxHCentringOverlayCamTopL->setValue(int(_CenterY));
    ui->spinBoxVCentringOverlayCamTopL->setValue(int(_CenterX));
}

void MainWindow::on_pushButtonGetFocalOverlayCamTopL_clicked()
{
    if (_FocalX == NotFound || _FocalY == NotFound)
        return;
    ui->spinBoxHFocalOverlayCamTopL->setValue(int(_FocalX));
    ui->spinBoxVFocalOverlayCamTopL->setValue(int(_FocalY));
    ui->doubleSpinBoxZFocalPositionCamTopL->setValue(_CurrentZPosition);
}

void MainWindow::on_pushButtonGetCentringOverlayCamMF_clicked()
{
    // Column and ZII position are one calibration pair: with no stone there is no column, and
    // a lone ZII (or the -1 clamped to column 0) would calibrate the front camera to nothing.
    if (_CenterX == NotFound)
        return;
    ui->spinBoxVCentringOverlayCamMF->setValue(int(_CenterX));
    ui->doubleSpinBoxXFocalPositionCamMF->setValue(_CurrentZIIPosition);
}

void MainWindow::on_pushButtonGetFocalOverlayCamMF_clicked()
{
    if (_MFX == NotFound || _MFY == NotFound)
        return;
    ui->spinBoxHFocalOverlayCamMF->setValue(int(_MFY));
    ui->spinBoxVFocalOverlayCamMF->setValue(int(_MFX));
}

namespace {
// Y of the middle of the girdle, from the current Y: crown plus half the girdle, in percent of
// the diameter.
double girdleMiddle(double girdlePercent, double crownPercent, double diameter, double currentY)
{
    return (girdlePercent / 2 + crownPercent) * diameter / 100 + currentY;
}
} // namespace

void MainWindow::on_pushButtonGetGridleOffsetPositionCamTopL_clicked()
{
    // Without a stone the diameter is 0 and the offset would just be the current Y.
    if (_CenterX == NotFound)
        return;
    ui->doubleSpinBoxGridleOffsetPositionCamTopL->setValue(
        girdleMiddle(Motion->RoundGridlePercent, Motion->RoundCrownPercent, StoneDiameter, _CurrentYPosition));
}

void MainWindow::on_pushButtonGetGridleOffsetPositionCamMF_clicked()
{
    if (_CenterX == NotFound)
        return;
    ui->doubleSpinBoxGridleOffsetPositionCamMF->setValue(
        girdleMiddle(Motion->RoundGridlePercent, Motion->RoundCrownPercent, StoneDiameter, _CurrentYPosition));
}

// ---------------------------------------------------------------- moves and alignment switches
void MainWindow::on_pushButtonCenterStoneCamTopL_clicked()
{
    Motion->MoveXYZTo(_XasVerticalTL, _YasHorizontal, ZCenterTL);
}

void MainWindow::on_pushButtonCenterStoneCamMF_clicked()
{
    Motion->MoveXYTo(_XasVerticalMF, _YasHorizontalII);
    Motion->MoveZIITo(ZIICenterMF);
}

void MainWindow::on_pushButtonCenterStoneCamTopLAuto_clicked(bool checked)
{
    if (ui->pushButtonCenterStoneCamMFAuto->isChecked()) {
        ui->pushButtonCenterStoneCamMFAuto->setChecked(false);
        Motion->EngageAutoAlignForPanorama = false;
    }
    Motion->EngageAutoAlignForInscription = checked;
}

void MainWindow::on_pushButtonCenterStoneCamMFAuto_clicked(bool checked)
{
    if (ui->pushButtonCenterStoneCamTopLAuto->isChecked()) {
        ui->pushButtonCenterStoneCamTopLAuto->setChecked(false);
        Motion->EngageAutoAlignForInscription = false;
    }
    Motion->EngageAutoAlignForPanorama = checked;
}

// ---------------------------------------------------------------- Marking Front: analyser
void MainWindow::on_doubleSpinBoxThreshMinMF_valueChanged(double arg1) { GridleTraker->CV_MF_Param_ThreshMin = arg1; }
void MainWindow::on_doubleSpinBoxThreshMaxMF_valueChanged(double arg1) { GridleTraker->CV_MF_Param_ThreshMax = arg1; }
void MainWindow::on_doubleSpinBoxCannyValMF_valueChanged(double arg1) { GridleTraker->CV_MF_Param_CannyThreshVal = arg1; }
void MainWindow::on_spinBoxCannyRatioMF_valueChanged(int arg1) { GridleTraker->CV_MF_Param_CannyThreshRatio = arg1; }
void MainWindow::on_spinBoxCannyKernelMF_valueChanged(int arg1) { GridleTraker->CV_MF_Param_CannyThreshKernel = arg1; }
void MainWindow::on_spinBoxErodeMF_valueChanged(int arg1) { GridleTraker->CV_MF_Param_Erode = arg1; }
void MainWindow::on_spinBoxDilateMF_valueChanged(int arg1) { GridleTraker->CV_MF_Param_Dilate = arg1; }
void MainWindow::on_checkBoxInvertedErodeDilateMF_clicked(bool checked) { GridleTraker->CV_MF_Param_InvertErodeDilate = checked; }
void MainWindow::on_doubleSpinBoxGradAlpha_valueChanged(double arg1) { GridleTraker->CV_MF_Param_GradAlpha = arg1; }
void MainWindow::on_doubleSpinBoxGradBeta_valueChanged(double arg1) { GridleTraker->CV_MF_Param_GradBeta = arg1; }
void MainWindow::on_doubleSpinBoxGradGamma_valueChanged(double arg1) { GridleTraker->CV_MF_Param_GradGamma = arg1; }
void MainWindow::on_spinBoxErodeMFCanny_valueChanged(int arg1) { GridleTraker->CV_MF_Param_Erode_Canny = arg1; }
void MainWindow::on_spinBoxDilateMFCanny_valueChanged(int arg1) { GridleTraker->CV_MF_Param_Dilate_Canny = arg1; }
void MainWindow::on_checkBoxInvertedErodeDilateMFCanny_clicked(bool checked) { GridleTraker->CV_MF_Param_InvertErodeDilate_Canny = checked; }
void MainWindow::on_spinBoxMinAreaMF_valueChanged(int arg1) { GridleTraker->CV_MF_Param_ContourSizeFMIN = arg1; }
void MainWindow::on_spinBoxMaxAreaMF_valueChanged(int arg1) { GridleTraker->CV_MF_Param_ContourSizeFMAX = arg1; }
void MainWindow::on_doubleSpinBoxLineMFRoh_valueChanged(double arg1) { GridleTraker->CV_MF_Param_LinesRho = arg1; }
void MainWindow::on_doubleSpinBoxLineMFTheta_valueChanged(double arg1) { GridleTraker->CV_MF_Param_LinesTheta = arg1; }
void MainWindow::on_spinBoxLinesMFThresh_valueChanged(int arg1) { GridleTraker->CV_MF_Param_LinesThreshold = arg1; }
void MainWindow::on_doubleSpinBoxLineMFMinLength_valueChanged(double arg1) { GridleTraker->CV_MF_Param_LinesMinLength = arg1; }
void MainWindow::on_doubleSpinBoxLineMFMaxGap_valueChanged(double arg1) { GridleTraker->CV_MF_Param_LinesMaxGap = arg1; }
void MainWindow::on_horizontalSliderExposureCamMF_valueChanged(int value) { applyExposure(mfCamera, ui->horizontalSliderExposureCamMF, value); }
void MainWindow::on_doubleSpinBoxPixelSizeValMF_valueChanged(double arg1)
{
    Motion->MFPixelSize = arg1;
    // The girdle's micrometres follow the same value.
    if (GridleTraker)
        GridleTraker->MFPixelSizeUm = arg1;
}
void MainWindow::on_doubleSpinBoxPixelDegValMF_valueChanged(double arg1) { Motion->MFPixelDeg = arg1; }
void MainWindow::on_doubleSpinBoxCapCoveringpercentMF_valueChanged(double arg1) { GridlePanoramaConstructor->CapturesCovering = arg1; }

void MainWindow::on_pushButtonStartGridleStitching_clicked()
{
    GridlePanoramaConstructor->StartPanorama(ui->checkBoxMFGridleReconstructionStepped->isChecked());
}

void MainWindow::on_pushButtonMFGridleReconstructionNext_clicked()
{
    GridlePanoramaConstructor->NextStep();
}

void MainWindow::on_pushButtonMFGridleReconstructionStop_clicked()
{
    GridlePanoramaConstructor->StopScan();
}

// ---------------------------------------------------------------- centring tool
void MainWindow::updateCentringToolCentre(double left, double right)
{
    ui->doubleSpinBoxMFCenteringCenter->setValue((left + right) / 2);
}

void MainWindow::on_doubleSpinBoxMFCenteringLeft_valueChanged(double arg1)
{
    updateCentringToolCentre(arg1, ui->doubleSpinBoxMFCenteringRight->value());
}

void MainWindow::on_doubleSpinBoxMFCenteringRight_valueChanged(double arg1)
{
    updateCentringToolCentre(ui->doubleSpinBoxMFCenteringLeft->value(), arg1);
}

void MainWindow::on_pushButtonMFCenteringGetLeft_clicked()
{
    ui->doubleSpinBoxMFCenteringLeft->setValue(_CurrentZIIPosition);
}

void MainWindow::on_pushButtonMFCenteringGetRight_clicked()
{
    ui->doubleSpinBoxMFCenteringRight->setValue(_CurrentZIIPosition);
}

void MainWindow::on_pushButtonMFCenteringGo_clicked()
{
    Motion->MoveZIITo(ui->doubleSpinBoxMFCenteringCenter->value());
}

// ---------------------------------------------------------------- Top Standard
void MainWindow::on_horizontalSliderExposureCamTopS_valueChanged(int value) { applyExposure(tsCamera, ui->horizontalSliderExposureCamTopS, value); }

// Exposure is a percentage of the camera's range (1 to 100 on every slider). A value the camera
// refuses (logged by the camera) puts the slider back where the camera is.
void MainWindow::applyExposure(CameraAcquisition* camera, QSlider* slider, int percent)
{
    if (!camera->SetExposureTime(percent)) {
        const QSignalBlocker blocker(slider);
        slider->setValue(camera->DefaultExposureTime);
    }
    slider->setToolTip(QString::number(slider->value()) + QStringLiteral(" %"));
}

void MainWindow::LoadTSExposure()
{
    // The Top Standard camera already runs at its stored exposure: the slider only shows it.
    const QSignalBlocker blocker(ui->horizontalSliderExposureCamTopS);
    ui->horizontalSliderExposureCamTopS->setValue(tsCamera->DefaultExposureTime);
    ui->horizontalSliderExposureCamTopS->setToolTip(QString::number(ui->horizontalSliderExposureCamTopS->value()) + QStringLiteral(" %"));
}

// ---------------------------------------------------------------- areas of interest
void MainWindow::reportAoiFailure(bool ok, const char* text)
{
    if (!ok)
        QMessageBox::critical(this, QString::fromLatin1(AoiTitle), QString::fromLatin1(text), QMessageBox::Ok);
}

void MainWindow::on_pushButtonSetAOICamTopL_clicked()
{
    reportAoiFailure(tlCamera->Aoi(ui->spinBoxXAOICamTopL->value(), ui->spinBoxYAOICamTopL->value(),
                                   ui->spinBoxWAOICamTopL->value(), ui->spinBoxHAOICamTopL->value()),
                     "Error while setting AOI");
}

void MainWindow::on_pushButtonResetAOICamTopL_clicked() { reportAoiFailure(tlCamera->ResetAoi(), "Error while restoring AOI"); }

void MainWindow::on_pushButtonSetAOICamTopS_clicked()
{
    reportAoiFailure(tsCamera->Aoi(ui->spinBoxXAOICamTopS->value(), ui->spinBoxYAOICamTopS->value(),
                                   ui->spinBoxWAOICamTopS->value(), ui->spinBoxHAOICamTopS->value()),
                     "Error while setting AOI");
}

void MainWindow::on_pushButtonResetAOICamTopS_clicked() { reportAoiFailure(tsCamera->ResetAoi(), "Error while restoring AOI"); }

void MainWindow::on_pushButtonSetAOICamMF_clicked()
{
    reportAoiFailure(mfCamera->Aoi(ui->spinBoxXAOICamMF->value(), ui->spinBoxYAOICamMF->value(),
                                   ui->spinBoxWAOICamMF->value(), ui->spinBoxHAOICamMF->value()),
                     "Error while setting AOI");
}

void MainWindow::on_pushButtonResetAOICamMF_clicked() { reportAoiFailure(mfCamera->ResetAoi(), "Error while restoring AOI"); }

// ---------------------------------------------------------------- sub-sampling
void MainWindow::on_comboBoxSubSimplingCamTopL_currentIndexChanged(int index)
{
    const QString item = ui->comboBoxSubSimplingCamTopL->itemText(index);
    if (!tlCamera->SubSampling(subSamplingFactor(item)))
        QMessageBox::critical(this, QString::fromLatin1(SubSamplingTitle), QStringLiteral("Error while sub sampling ") + item, QMessageBox::Ok);
}

void MainWindow::on_comboBoxSubSimplingCamTopS_currentIndexChanged(int index)
{
    const QString item = ui->comboBoxSubSimplingCamTopS->itemText(index);
    if (!tsCamera->SubSampling(subSamplingFactor(item)))
        QMessageBox::critical(this, QString::fromLatin1(SubSamplingTitle), QStringLiteral("Error while sub sampling ") + item, QMessageBox::Ok);
}

// ---------------------------------------------------------------- saving
void MainWindow::on_pushButtonSaveTL_clicked() { tlCamera->SaveCapture(QString::fromLatin1(SavedFrameFile)); }
void MainWindow::on_pushButtonSaveTS_clicked() { tsCamera->SaveCapture(QString::fromLatin1(SavedFrameFile)); }
void MainWindow::on_pushButtonSaveMF_clicked() { mfCamera->SaveCapture(QString::fromLatin1(SavedFrameFile)); }

void MainWindow::on_pushButtonCamTsSaveParams_clicked()
{
    tsCamera->SaveParams();
    AppRegistry->SaveReg();
}

void MainWindow::on_pushButtonCamTlSaveParams_clicked()
{
    SaveMainParams();
    tlCamera->SaveParams();
    TrackStoneFromTop->SaveParams();
    Motion->SaveTLMotionParameter();
    AppRegistry->SaveReg();
}

void MainWindow::on_pushButtonCamMfSaveParams_clicked()
{
    mfCamera->SaveParams();
    GridlePanoramaConstructor->SaveMFStitchParameter();
    Motion->SaveMFMotionParameter();
    GridleTraker->SaveParams();
    AppRegistry->SaveReg();
}

// ---------------------------------------------------------------- jogs
void MainWindow::on_doubleSpinBoxIncrementationStep_valueChanged(double arg1) { IncVal = arg1; }
void MainWindow::on_pushButtonIncXNeg_clicked() { Motion->IncrementX(-IncVal); }
void MainWindow::on_pushButtonIncXPos_clicked() { Motion->IncrementX(IncVal); }
void MainWindow::on_pushButtonIncYNeg_clicked() { Motion->IncrementY(-IncVal); }
void MainWindow::on_pushButtonIncYPos_clicked() { Motion->IncrementY(IncVal); }
void MainWindow::on_pushButtonIncZNeg_clicked() { Motion->IncrementZ(-IncVal); }
void MainWindow::on_pushButtonIncZPos_clicked() { Motion->IncrementZ(IncVal); }
void MainWindow::on_pushButtonIncANeg_clicked() { Motion->IncrementA(-IncVal); }
void MainWindow::on_pushButtonIncAPos_clicked() { Motion->IncrementA(IncVal); }
void MainWindow::on_pushButtonIncZIINeg_clicked() { Motion->IncrementZII(-IncVal); }
void MainWindow::on_pushButtonIncZIIPos_clicked() { Motion->IncrementZII(IncVal); }

// ---------------------------------------------------------------- settings page
void MainWindow::on_pushButtonRefreshCameraList_clicked()
{
    // Enumerated afresh: a camera plugged in since shows up (with its device ID of now).
    SharedConf->RefreshCameraList();
    const QStringList cameras = SharedConf->GetCameraList();
    fillCameraSelector(ui->comboBoxCameraIDTL, cameras, tlCamera->GetID());
    fillCameraSelector(ui->comboBoxCameraIDTS, cameras, tsCamera->GetID());
    fillCameraSelector(ui->comboBoxCameraIDMF, cameras, mfCamera->GetID());
}

void MainWindow::on_pushButtonRegisterCameras_clicked()
{
    const QString tl = ui->comboBoxCameraIDTL->currentText();
    const QString ts = ui->comboBoxCameraIDTS->currentText();
    const QString mf = ui->comboBoxCameraIDMF->currentText();
    mfCamera->RegisterCam(mf);
    tlCamera->RegisterCam(tl);
    tsCamera->RegisterCam(ts);
    AppRegistry->SaveReg();
}

void MainWindow::on_pushButtonSendTXCommand_clicked()
{
    Motion->TessarixCommand(ui->lineEditTessarixCommand->text());
    ui->lineEditTessarixCommand->clear();
}
