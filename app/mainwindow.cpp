#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QTimer>

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "core/settingscatalog.h"
#include "motion/calibration.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "station/stationassembly.h"
#include "vision/gridleanalyser.h"
#include "vision/topstonetracker.h"

#include <QIcon>
#include <QImage>
#include <QMetaType>
#include <QTimer>

#include <opencv2/core.hpp>

Q_DECLARE_METATYPE(cv::Mat)

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    StoneDiameter = 0;
    ApplicationVersion = QStringLiteral("1.0.0.5");

    // Images travel between threads through queued connections.
    qRegisterMetaType<cv::Mat>("cv::Mat");
    qRegisterMetaType<cv::Mat>("cv::Mat&");
    qRegisterMetaType<QImage>("QImage");

    Q_INIT_RESOURCE(resources);
    ui->setupUi(this);
    setWindowTitle(windowTitle() + ApplicationVersion);
    ServiceMode(false);
    setWindowState(windowState() | Qt::WindowMaximized);

    ui->labelCamMarkingFrontMainView->installEventFilter(this);
    ui->labelCamTopLargeMainView->installEventFilter(this);
    ui->labelCamTopStandardMainView->installEventFilter(this);

    // The whole station, in its one creation order; the window then only keeps the pointers.
    StationAssembly::bringUpTo(StationAssembly::Stage::GirdleAnalyser);
    logging = Logs::AccessMemory();
    AppRegistry = Registry::AccessMemory();
    Server = VeltraxServer::AccessMemory();
    SharedConf = CamVSharedConfig::AccessMemory();
    tlCamera = CamTL::AccessMemory();
    mfCamera = CamMF::AccessMemory();
    tsCamera = CamTS::AccessMemory();
    TrackStoneFromTop = TopStoneTracker::AccessMemory();
    Motion = MotionCore::AccessMemory();
    GridlePanoramaConstructor = GridleStitcher::AccessMemory();
    GridleTraker = GridleAnalyser::AccessMemory();

    on_pushButtonRefreshCameraList_clicked();
    connectComponents();

    // The panels are connected already, so every box that changes passes its value on: each
    // component ends up holding the value as its box holds it (clamped and rounded).
    LoadMainParams();
    LoadTLFiltersParams();
    LoadMFFiltersParams();
    LoadTSExposure();
    setUpStatusStrip();
    setUpCalibration();

    // The jog step is what the "Step" box shows, from the first press on.
    IncVal = ui->doubleSpinBoxIncrementationStep->value();
    _XasVerticalTL = 0;
    _XasVerticalMF = 0;
}

MainWindow::~MainWindow()
{
    // The status strip reads the server and the cameras: it stops before they go.
    if (statusTimer)
        statusTimer->stop();
    // A running calibration moves through the motion core: it stops before the core goes.
    calibration.reset();
    // The analyser reads the front camera: it stops, and goes, before any camera does. It was
    // created last, so the teardown destroys it first; the log goes last, since every other
    // destructor writes through it.
    StationAssembly::tearDown();
    GridleTraker = nullptr;
    delete ui;
}

void MainWindow::connectComponents()
{
    connect(Server, &VeltraxServer::NewCoord, this, &MainWindow::RefreshCurrentPositions);
    connectCameraRefresh(mfCamera, &mfRefreshQueued, &MainWindow::RefreshMFCapture);
    connectCameraRefresh(tsCamera, &tsRefreshQueued, &MainWindow::RefreshTSCapture);
    connectCameraRefresh(tlCamera, &tlRefreshQueued, &MainWindow::RefreshTLCapture);
    connect(TrackStoneFromTop, &TopStoneTracker::NewTLResultInfo, this, [this](QString reason) { tlResultReason = reason; });
    connect(TrackStoneFromTop, &TopStoneTracker::NewTLProcessedReady, this, &MainWindow::RefreshTLTracker);
    connect(TrackStoneFromTop, &TopStoneTracker::NewTSProcessedReady, this, &MainWindow::RefreshTSTracker);
    connect(Motion, &MotionCore::StoneCentredCoordinatesInscription, this, &MainWindow::SetTLCentringStoneCoordinates);
    connect(Motion, &MotionCore::StoneCentredCoordinatesPanorama, this, &MainWindow::SetMFCentringStoneCoordinates);
    connect(GridlePanoramaConstructor, &GridleStitcher::PanoramaReady, this, &MainWindow::PanoramaReady);
    connect(GridlePanoramaConstructor, &GridleStitcher::MFGriddleCapturesDataChanged, this, &MainWindow::on_MFGriddleCapturesDataChanged);
    connect(GridlePanoramaConstructor, &GridleStitcher::MFGriddleCapturesStatusChanged, this, &MainWindow::on_MFGriddleCapturesStatusChanged);
    connect(GridleTraker, &GridleAnalyser::NewMFProcessedReady, this, &MainWindow::RefreshMFGridlTracker);
    connect(Motion, &MotionCore::AlignmentResidual, this, &MainWindow::ShowAlignmentResidual);
    connect(Motion, &MotionCore::AlignmentOutcome, this, &MainWindow::ShowOutcome);
    connect(GridlePanoramaConstructor, &GridleStitcher::ScanOutcome, this, &MainWindow::ShowOutcome);
}

template <typename Camera>
void MainWindow::connectCameraRefresh(Camera* camera, bool* queued, void (MainWindow::*refresh)())
{
    // Every frame is announced, and drawing one can take longer than a frame interval on a busy
    // machine. One refresh per announcement would queue faster than the main thread draws, and
    // everything else it serves (every text for the host, the host's answers) would wait behind
    // an ever longer queue. Announcements that arrive while a refresh is queued join it: the
    // refresh draws the newest frame anyway.
    connect(camera, &Camera::newcapture, this, [this, queued, refresh]() {
        if (*queued)
            return;
        *queued = true;
        QTimer::singleShot(0, this, [this, queued, refresh]() {
            *queued = false;
            (this->*refresh)();
        });
    });
    // A frozen camera announces no frame: its caption says so as soon as the camera tells.
    // Queued also when the change comes from the main thread (a camera closed while frozen).
    connect(camera, &Camera::frozenChanged, this, [this, refresh](bool) { (this->*refresh)(); }, Qt::QueuedConnection);
}

void MainWindow::LoadMainParams()
{
    // Stored as decimal numbers; the window works in whole pixels (the declared range keeps the
    // conversion inside an int).
    OverlayChargingH = int(settings::readReal(*AppRegistry, *logging, settings::window::ChargingH));
    OverlayChargingV = int(settings::readReal(*AppRegistry, *logging, settings::window::ChargingV));
    ui->spinBoxHChargingOverlayCamTopL->setValue(OverlayChargingH);
    ui->spinBoxVChargingOverlayCamTopL->setValue(OverlayChargingV);
}

void MainWindow::SaveMainParams()
{
    settings::write(*AppRegistry, settings::window::ChargingH, OverlayChargingH);
    settings::write(*AppRegistry, settings::window::ChargingV, OverlayChargingV);
}

void MainWindow::LoadTLFiltersParams()
{
    TopStoneTracker* t = TrackStoneFromTop;
    ui->doubleSpinBoxThreshMinTopL->setValue(t->CV_TL_Param_ThreshMin);
    ui->doubleSpinBoxThreshMaxTopL->setValue(t->CV_TL_Param_ThreshMax);
    ui->doubleSpinBoxCannyValTopL->setValue(t->CV_TL_Param_CannyThreshVal);
    ui->spinBoxCannyRatioTopL->setValue(t->CV_TL_Param_CannyThreshRatio);
    ui->spinBoxCannyKernelTopL->setValue(t->CV_TL_Param_CannyThreshKernel);
    ui->spinBoxErodeTopL->setValue(t->CV_TL_Param_Erode);
    ui->spinBoxDilateTopL->setValue(t->CV_TL_Param_Dilate);
    ui->checkBoxInvertedErodeDilateTopL->setChecked(t->CV_TL_Param_InvertErodeDilate);
    ui->spinBoxMinAreaTopL->setValue(t->CV_TL_Param_ContourSizeFMIN);
    ui->spinBoxMaxAreaTopL->setValue(t->CV_TL_Param_ContourSizeFMAX);
    ui->spinBoxAreaMerginTopL->setValue(t->CV_TL_Param_AreaMergin);
    ui->spinBoxMinRadTopL->setValue(t->CV_TL_Param_HC_MinRad);
    ui->spinBoxMaxRadTopL->setValue(t->CV_TL_Param_HC_MaxRad);
    ui->spinBoxMinCenterDistanceTopL->setValue(t->CV_TL_Param_HC_MinCenterDistance);
    ui->spinBoxAccumulatorThreshTopL->setValue(t->CV_TL_Param_HC_AccumulatorThresh);
    ui->spinBoxHigherThreshTopL->setValue(t->CV_TL_Param_HC_HigherThresh);

    ui->spinBoxXAOICamTopL->setValue(tlCamera->DefaultAOIX);
    ui->spinBoxYAOICamTopL->setValue(tlCamera->DefaultAOIY);
    ui->spinBoxWAOICamTopL->setValue(tlCamera->DefaultAOIW);
    ui->spinBoxHAOICamTopL->setValue(tlCamera->DefaultAOIH);
    ui->horizontalSliderExposureCamTopL->setValue(tlCamera->DefaultExposureTime);

    MotionCore* m = Motion;
    ui->spinBoxHCentringOverlayCamTopL->setValue(m->OverlayTLCenterH);
    ui->spinBoxVCentringOverlayCamTopL->setValue(m->OverlayTLCenterV);
    ui->spinBoxHFocalOverlayCamTopL->setValue(m->OverlayTLFocalX);
    ui->spinBoxVFocalOverlayCamTopL->setValue(m->OverlayTLFocalY);
    ui->doubleSpinBoxZFocalPositionCamTopL->setValue(m->TLZFocusPosition);
    ui->spinBoxCirclesNumbCentringOverlayCamTopL->setValue(m->OverlayTLCenterCirclesNumber);
    ui->doubleSpinBoxCirclesSpaceCentringOverlayCamTopL->setValue(m->OverlayTLCenterCirclesSpace);
    ui->spinBoxHCentringOverlayCamMF->setValue(m->OverlayMFCenterH);
    ui->spinBoxVCentringOverlayCamMF->setValue(m->OverlayMFCenterV);
    ui->doubleSpinBoxXFocalPositionCamMF->setValue(m->MFXFocusPosition);
    ui->spinBoxHFocalOverlayCamMF->setValue(m->OverlayMFFocalX);
    ui->spinBoxVFocalOverlayCamMF->setValue(m->OverlayMFFocalY);
    ui->doubleSpinBoxPixelSizeValTopL->setValue(m->TLPixelSize);
    ui->doubleSpinBoxGridleSizepercentCamTopL->setValue(m->RoundGridlePercent);
    ui->doubleSpinBoxCrownSizepercentCamTopL->setValue(m->RoundCrownPercent);
    ui->doubleSpinBoxGridleOffsetPositionCamTopL->setValue(m->TLYOffsetPosition);
    ui->doubleSpinBoxGridleOffsetPositionCamMF->setValue(m->MFYOffsetPosition);
}

void MainWindow::LoadMFFiltersParams()
{
    ui->spinBoxXAOICamMF->setValue(mfCamera->DefaultAOIX);
    ui->spinBoxYAOICamMF->setValue(mfCamera->DefaultAOIY);
    ui->spinBoxWAOICamMF->setValue(mfCamera->DefaultAOIW);
    ui->spinBoxHAOICamMF->setValue(mfCamera->DefaultAOIH);
    ui->horizontalSliderExposureCamMF->setValue(mfCamera->DefaultExposureTime);

    ui->doubleSpinBoxCapCoveringpercentMF->setValue(GridlePanoramaConstructor->CapturesCovering);

    GridleAnalyser* a = GridleTraker;
    ui->doubleSpinBoxThreshMinMF->setValue(a->CV_MF_Param_ThreshMin);
    ui->doubleSpinBoxThreshMaxMF->setValue(a->CV_MF_Param_ThreshMax);
    ui->doubleSpinBoxCannyValMF->setValue(a->CV_MF_Param_CannyThreshVal);
    ui->spinBoxCannyRatioMF->setValue(a->CV_MF_Param_CannyThreshRatio);
    ui->spinBoxCannyKernelMF->setValue(a->CV_MF_Param_CannyThreshKernel);
    ui->spinBoxErodeMF->setValue(a->CV_MF_Param_Erode);
    ui->spinBoxDilateMF->setValue(a->CV_MF_Param_Dilate);
    ui->checkBoxInvertedErodeDilateMF->setChecked(a->CV_MF_Param_InvertErodeDilate);
    ui->doubleSpinBoxGradAlpha->setValue(a->CV_MF_Param_GradAlpha);
    ui->doubleSpinBoxGradBeta->setValue(a->CV_MF_Param_GradBeta);
    ui->doubleSpinBoxGradGamma->setValue(a->CV_MF_Param_GradGamma);
    ui->spinBoxErodeMFCanny->setValue(a->CV_MF_Param_Erode_Canny);
    ui->spinBoxDilateMFCanny->setValue(a->CV_MF_Param_Dilate_Canny);
    ui->checkBoxInvertedErodeDilateMFCanny->setChecked(a->CV_MF_Param_InvertErodeDilate_Canny);
    ui->doubleSpinBoxLineMFRoh->setValue(a->CV_MF_Param_LinesRho);
    ui->doubleSpinBoxLineMFTheta->setValue(a->CV_MF_Param_LinesTheta);
    ui->spinBoxLinesMFThresh->setValue(a->CV_MF_Param_LinesThreshold);
    ui->doubleSpinBoxLineMFMinLength->setValue(a->CV_MF_Param_LinesMinLength);
    ui->doubleSpinBoxLineMFMaxGap->setValue(a->CV_MF_Param_LinesMaxGap);

    ui->doubleSpinBoxPixelSizeValMF->setValue(Motion->MFPixelSize);
    ui->doubleSpinBoxPixelDegValMF->setValue(Motion->MFPixelDeg);
}
