#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>

#include <opencv2/core.hpp>

#include <atomic>
#include <memory>

#include "imagedisplay.h"
#include "overlaygeometry.h"
#include "vision/girdlereading.h"

namespace Ui {
class MainWindow;
}

class QEvent;
class QLabel;
class QPushButton;
class QTableWidget;
class QResizeEvent;
class QSlider;
class QSpinBox;
class QTimer;

class Calibration;
struct CalibrationResult;
class Logs;
class Registry;
class VeltraxServer;
class CamVSharedConfig;
class CameraAcquisition;
class CamMF;
class CamTS;
class CamTL;
class TopStoneTracker;
class MotionCore;
class GridleStitcher;
class GridleAnalyser;
class GirdlePlot;

// The station's one window. Its implementation is split by concern:
//   mainwindow.cpp          start-up, component wiring, shutdown, the window's own settings
//   mainwindow_views.cpp    live views, guide marks, measurement display, status strip, mouse AOI
//   mainwindow_panels.cpp   operator controls and parameter panels
//   mainwindow_service.cpp  service mode and page navigation
//
// Everything here runs on the main thread: component signals arrive queued, so the window's
// fields need no lock. The window owns none of the components; it creates them in a fixed
// order and destroys them in a fixed order. Component fields it writes are the components'
// atomics; images it reads are published frames that never change.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Pages of the central page stack.
    enum Page { OverviewPage = 0, TopStandardPage = 1, TopLargePage = 2, MarkingFrontPage = 3, PanoramaPage = 4, SettingsPage = 5 };

    void ServiceMode(bool enable);
    bool isServiceMode() const { return IsServiceMode; }
    Ui::MainWindow* form() const { return ui; }

    void LoadMainParams();
    void SaveMainParams();
    void LoadTLFiltersParams();
    void LoadMFFiltersParams();
    // Shows the Top Standard camera's exposure on its slider without setting it again.
    void LoadTSExposure();
    // Connects and starts the status strip below the pages.
    void setUpStatusStrip();

    // Read-only views of the window's state, for the station's own checks.
    double jogStep() const { return IncVal; }
    double stoneDiameter() const { return StoneDiameter; }
    int chargingH() const { return OverlayChargingH; }
    int chargingV() const { return OverlayChargingV; }

public slots:
    // Display slots driven by the components (connected in the constructor).
    void RefreshCurrentPositions(double XCurrentPos, double YCurrentPos, double ZCurrentPos, double ACurrentPos, double ZIICurrentPos);
    void RefreshMFCapture();
    void RefreshTSCapture();
    void RefreshTLCapture();
    void RefreshTLTracker(double CenterX, double CenterY, double FocalX, double FocalY, double MFX, double MFY);
    void RefreshTSTracker();
    void SetTLCentringStoneCoordinates(double XasVertical, double Z, double YasHorizontal);
    void SetMFCentringStoneCoordinates(double Xpos, double Ypos, double ZIIpos);
    void PanoramaReady();
    void on_MFGriddleCapturesDataChanged(int images, double Deg);
    void on_MFGriddleCapturesStatusChanged(int processed, int images);
    void RefreshMFGridlTracker(double CenterX, double CenterY);
    void ShowAlignmentResidual(QString text);
    // The last alignment's or scan's outcome, where the residual is shown.
    void ShowOutcome(bool ok, QString text);
    // Status strip: how the last alignment and the last scan ended.
    void ShowAlignmentOutcome(bool ok, QString text);
    void ShowScanOutcome(bool ok, QString text);
    // The girdle measured on the last front frame (status strip, front views).
    void ShowGirdle(GirdleReading reading);
    // The side view's check of the last front alignment.
    void ShowFrontCheck(bool found, QString text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private slots:
    // Page navigation and service mode.
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void on_stackedWidgetMain_currentChanged(int index);

    // Top Large page: tracker filters and detection.
    void on_doubleSpinBoxThreshMinTopL_valueChanged(double arg1);
    void on_doubleSpinBoxThreshMaxTopL_valueChanged(double arg1);
    void on_doubleSpinBoxCannyValTopL_valueChanged(double arg1);
    void on_spinBoxCannyRatioTopL_valueChanged(int arg1);
    void on_spinBoxCannyKernelTopL_valueChanged(int arg1);
    void on_spinBoxErodeTopL_valueChanged(int arg1);
    void on_spinBoxDilateTopL_valueChanged(int arg1);
    void on_checkBoxInvertedErodeDilateTopL_clicked(bool checked);
    void on_spinBoxMinAreaTopL_valueChanged(int arg1);
    void on_spinBoxMaxAreaTopL_valueChanged(int arg1);
    void on_spinBoxAreaMerginTopL_valueChanged(int arg1);
    void on_spinBoxMinRadTopL_valueChanged(int arg1);
    void on_spinBoxMaxRadTopL_valueChanged(int arg1);
    void on_spinBoxMinCenterDistanceTopL_valueChanged(int arg1);
    void on_spinBoxAccumulatorThreshTopL_valueChanged(int arg1);
    void on_spinBoxHigherThreshTopL_valueChanged(int arg1);
    void on_horizontalSliderExposureCamTopL_valueChanged(int value);

    // Top Large page: overlays and motion parameters.
    void on_spinBoxHCentringOverlayCamTopL_valueChanged(int arg1);
    void on_spinBoxVCentringOverlayCamTopL_valueChanged(int arg1);
    void on_spinBoxHFocalOverlayCamTopL_valueChanged(int arg1);
    void on_spinBoxVFocalOverlayCamTopL_valueChanged(int arg1);
    void on_doubleSpinBoxZFocalPositionCamTopL_valueChanged(double arg1);
    void on_spinBoxHChargingOverlayCamTopL_valueChanged(int arg1);
    void on_spinBoxVChargingOverlayCamTopL_valueChanged(int arg1);
    void on_spinBoxCirclesNumbCentringOverlayCamTopL_valueChanged(int arg1);
    void on_doubleSpinBoxCirclesSpaceCentringOverlayCamTopL_valueChanged(double arg1);
    void on_spinBoxHCentringOverlayCamMF_valueChanged(int arg1);
    void on_spinBoxVCentringOverlayCamMF_valueChanged(int arg1);
    void on_doubleSpinBoxXFocalPositionCamMF_valueChanged(double arg1);
    void on_spinBoxHFocalOverlayCamMF_valueChanged(int arg1);
    void on_spinBoxVFocalOverlayCamMF_valueChanged(int arg1);
    void on_doubleSpinBoxPixelSizeValTopL_valueChanged(double arg1);
    void on_doubleSpinBoxGridleSizepercentCamTopL_valueChanged(double arg1);
    void on_doubleSpinBoxCrownSizepercentCamTopL_valueChanged(double arg1);
    void on_doubleSpinBoxGridleOffsetPositionCamTopL_valueChanged(double arg1);
    void on_doubleSpinBoxGridleOffsetPositionCamMF_valueChanged(double arg1);
    void on_pushButtonGetCentringOverlayCamTopL_clicked();
    void on_pushButtonGetFocalOverlayCamTopL_clicked();
    void on_pushButtonGetCentringOverlayCamMF_clicked();
    void on_pushButtonGetFocalOverlayCamMF_clicked();
    void on_pushButtonGetGridleOffsetPositionCamTopL_clicked();
    void on_pushButtonGetGridleOffsetPositionCamMF_clicked();

    // Moves and automatic alignment switches.
    void on_pushButtonCenterStoneCamTopL_clicked();
    void on_pushButtonCenterStoneCamMF_clicked();
    void on_pushButtonCenterStoneCamTopLAuto_clicked(bool checked);
    void on_pushButtonCenterStoneCamMFAuto_clicked(bool checked);

    // Marking Front page: analyser filters and lines.
    void on_doubleSpinBoxThreshMinMF_valueChanged(double arg1);
    void on_doubleSpinBoxThreshMaxMF_valueChanged(double arg1);
    void on_doubleSpinBoxCannyValMF_valueChanged(double arg1);
    void on_spinBoxCannyRatioMF_valueChanged(int arg1);
    void on_spinBoxCannyKernelMF_valueChanged(int arg1);
    void on_spinBoxErodeMF_valueChanged(int arg1);
    void on_spinBoxDilateMF_valueChanged(int arg1);
    void on_checkBoxInvertedErodeDilateMF_clicked(bool checked);
    void on_doubleSpinBoxGradAlpha_valueChanged(double arg1);
    void on_doubleSpinBoxGradBeta_valueChanged(double arg1);
    void on_doubleSpinBoxGradGamma_valueChanged(double arg1);
    void on_spinBoxErodeMFCanny_valueChanged(int arg1);
    void on_spinBoxDilateMFCanny_valueChanged(int arg1);
    void on_checkBoxInvertedErodeDilateMFCanny_clicked(bool checked);
    void on_spinBoxMinAreaMF_valueChanged(int arg1);
    void on_spinBoxMaxAreaMF_valueChanged(int arg1);
    void on_doubleSpinBoxLineMFRoh_valueChanged(double arg1);
    void on_doubleSpinBoxLineMFTheta_valueChanged(double arg1);
    void on_spinBoxLinesMFThresh_valueChanged(int arg1);
    void on_doubleSpinBoxLineMFMinLength_valueChanged(double arg1);
    void on_doubleSpinBoxLineMFMaxGap_valueChanged(double arg1);
    void on_horizontalSliderExposureCamMF_valueChanged(int value);
    void on_doubleSpinBoxPixelSizeValMF_valueChanged(double arg1);
    void on_doubleSpinBoxPixelDegValMF_valueChanged(double arg1);
    void on_doubleSpinBoxCapCoveringpercentMF_valueChanged(double arg1);
    void on_pushButtonStartGridleStitching_clicked();
    void on_pushButtonMFGridleReconstructionNext_clicked();
    void on_pushButtonMFGridleReconstructionStop_clicked();

    // Marking Front page: centring tool.
    void on_doubleSpinBoxMFCenteringLeft_valueChanged(double arg1);
    void on_doubleSpinBoxMFCenteringRight_valueChanged(double arg1);
    void on_pushButtonMFCenteringGetLeft_clicked();
    void on_pushButtonMFCenteringGetRight_clicked();
    void on_pushButtonMFCenteringGo_clicked();

    // Top Standard page.
    void on_horizontalSliderExposureCamTopS_valueChanged(int value);

    // Camera pages: area of interest, sub-sampling, saving.
    void on_pushButtonSetAOICamTopL_clicked();
    void on_pushButtonResetAOICamTopL_clicked();
    void on_pushButtonSetAOICamTopS_clicked();
    void on_pushButtonResetAOICamTopS_clicked();
    void on_pushButtonSetAOICamMF_clicked();
    void on_pushButtonResetAOICamMF_clicked();
    void on_comboBoxSubSimplingCamTopL_currentIndexChanged(int index);
    void on_comboBoxSubSimplingCamTopS_currentIndexChanged(int index);
    void on_pushButtonSaveTL_clicked();
    void on_pushButtonSaveTS_clicked();
    void on_pushButtonSaveMF_clicked();
    void on_pushButtonCamTlSaveParams_clicked();
    void on_pushButtonCamTsSaveParams_clicked();
    void on_pushButtonCamMfSaveParams_clicked();

    // Positions bar: jogs and their step.
    void on_doubleSpinBoxIncrementationStep_valueChanged(double arg1);
    void on_pushButtonIncXNeg_clicked();
    void on_pushButtonIncXPos_clicked();
    void on_pushButtonIncYNeg_clicked();
    void on_pushButtonIncYPos_clicked();
    void on_pushButtonIncZNeg_clicked();
    void on_pushButtonIncZPos_clicked();
    void on_pushButtonIncANeg_clicked();
    void on_pushButtonIncAPos_clicked();
    void on_pushButtonIncZIINeg_clicked();
    void on_pushButtonIncZIIPos_clicked();

    // Settings page.
    void on_pushButtonRefreshCameraList_clicked();
    void on_pushButtonRegisterCameras_clicked();
    void on_pushButtonSendTXCommand_clicked();

private:
    void connectComponents();
    // "TL<serial> FPS <rate>", and " FROZEN: no new frame" while the camera delivers none.
    QString cameraCaption(const char* code, const QString& id, double fps, bool frozen) const;
    // Press/release on a main camera view into its area-of-interest boxes.
    void selectAoi(QLabel* view, QEvent* event, const overlay::ViewedCamera& camera, bool clampToFrame,
                   QSpinBox* x, QSpinBox* y, QSpinBox* w, QSpinBox* h);
    overlay::ViewedCamera viewedCamera(CameraAcquisition* camera, overlay::Turn turn) const;
    void showTopLarge(QLabel* caption, QLabel* view, int frontColumn);
    void showMarkingFront(QLabel* caption, QLabel* view);
    // Girdle display (mainwindow_girdle.cpp): the strip's labels, the plot and their connections.
    void setUpGirdleDisplay();
    // The last reading's edges and values over a front view's picture.
    void drawGirdle(cv::Mat& picture, double sx, double sy, int frameWidth, int frameHeight) const;
    // Gives the plot the last scan's profile; the decorator draws its edges over the panorama.
    imagedisplay::Decorator showGirdleProfile();
    void showPendingTopStandardOverview();
    void reportAoiFailure(bool ok, const char* text);
    void applyExposure(CameraAcquisition* camera, QSlider* slider, int percent);
    // Once a second: host connection and the frame rate each camera delivers to the window.
    void refreshStatusStrip();
    void showAlignmentStatus();
    void updateCentringToolCentre(double left, double right);
    // Settings page, "Calibration" tab (mainwindow_calibration.cpp).
    void setUpCalibration();
    void showCalibrationResult(const CalibrationResult& result);
    void acceptCalibration();

    QString ApplicationVersion;
    Ui::MainWindow* ui = nullptr;
    Logs* logging = nullptr;
    Registry* AppRegistry = nullptr;
    VeltraxServer* Server = nullptr;
    CamVSharedConfig* SharedConf = nullptr;
    CamMF* mfCamera = nullptr;
    CamTS* tsCamera = nullptr;
    CamTL* tlCamera = nullptr;
    TopStoneTracker* TrackStoneFromTop = nullptr;
    MotionCore* Motion = nullptr;
    GridleStitcher* GridlePanoramaConstructor = nullptr;
    GridleAnalyser* GridleTraker = nullptr;

    // Jog step of the arrow buttons; always what the "Step" box shows.
    double IncVal = 0.05;
    int OverlayChargingH = 0;
    int OverlayChargingV = 0;
    double _CenterX = 0, _CenterY = 0, _FocalX = 0, _FocalY = 0, _MFX = 0, _MFY = 0;
    double StoneDiameter = 0;
    // Why the tracker's next result has no stone (its word, empty when it found one).
    QString tlResultReason;
    double _CurrentZPosition = 0, _CurrentYPosition = 0, _CurrentZIIPosition = 0;
    double _XasVerticalTL = 0, ZCenterTL = 0, _YasHorizontal = 0;
    double _XasVerticalMF = 0, ZIICenterMF = 0, _YasHorizontalII = 0;
    bool IsServiceMode = false;
    // The last Top Standard frame received on the overview, for the panorama page's view.
    cv::Mat overviewTopStandardFrame;
    bool overviewTopStandardPending = false;
    // A view refresh queued for a camera's announced frame (see connectCameraRefresh).
    bool tlRefreshQueued = false;
    bool mfRefreshQueued = false;
    bool tsRefreshQueued = false;
    // Connects a camera's frame announcement to a view refresh, folding announcements that
    // arrive while a refresh is queued into that one.
    template <typename Camera>
    void connectCameraRefresh(Camera* camera, bool* queued, void (MainWindow::*refresh)());

    // Status strip: frames announced per camera since the last refresh (counted in the camera
    // threads), and the last alignment.
    QTimer* statusTimer = nullptr;
    QElapsedTimer statusClock;
    std::atomic<int> framesTL{0}, framesTS{0}, framesMF{0};
    bool alignmentKnown = false;
    bool alignmentOk = false;
    QString alignmentText;
    QString alignmentResidual;
    // The girdle: the last reading, its label and the front check's in the strip, the plot.
    GirdleReading lastGirdle;
    QLabel* labelStatusGirdle = nullptr;
    QLabel* labelStatusFrontCheck = nullptr;
    GirdlePlot* girdlePlot = nullptr;
    // The operator's calibration and its tab; it goes before the station's components.
    std::unique_ptr<Calibration> calibration;
    QPushButton* calibrationStart = nullptr;
    QPushButton* calibrationStop = nullptr;
    QPushButton* calibrationAccept = nullptr;
    QLabel* calibrationStatus = nullptr;
    QTableWidget* calibrationTable = nullptr;
};
