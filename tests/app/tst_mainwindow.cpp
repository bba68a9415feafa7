#include "windowfixture.h"
#include "queuedsignalspy.h"

#include "app/overlaygeometry.h"
#include "camera/cameraacquisition.h"
#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "motion/frontcheck.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "sim/rig/rig.h"
#include "vision/gridleanalyser.h"
#include "vision/topstonetracker.h"

#include <QCheckBox>
#include <QSlider>
#include <QTcpSocket>
#include <QSignalSpy>

#include <functional>
#include <map>

using windowtest::Station;

// The real window over the rig: widgets bound to component fields, panels filled from the
// settings, save buttons, camera assignment, mouse AOI, display formats, page-dependent refresh,
// alignment switches, jogs, the centring tool and service mode.
class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<Station> station;

    void start(const QByteArray& extra = QByteArray())
    {
        station.reset(new Station(extra));
        QVERIFY(station->exposed);
    }
    static MotionCore* motion() { return MotionCore::AccessMemory(); }
    static TopStoneTracker* tracker() { return TopStoneTracker::AccessMemory(); }
    static GridleAnalyser* analyser() { return GridleAnalyser::AccessMemory(); }

    // The component field a widget writes, read back as a number.
    double fieldOf(const QString& widget) const
    {
        static const std::map<QString, std::function<double()>> fields = {
            {"doubleSpinBoxThreshMinTopL", [] { return double(tracker()->CV_TL_Param_ThreshMin); }},
            {"doubleSpinBoxThreshMaxTopL", [] { return double(tracker()->CV_TL_Param_ThreshMax); }},
            {"spinBoxCannyKernelTopL", [] { return double(tracker()->CV_TL_Param_CannyThreshKernel); }},
            {"spinBoxMaxAreaTopL", [] { return double(tracker()->CV_TL_Param_ContourSizeFMAX); }},
            {"spinBoxMinAreaTopL", [] { return double(tracker()->CV_TL_Param_ContourSizeFMIN); }},
            {"spinBoxMaxRadTopL", [] { return double(tracker()->CV_TL_Param_HC_MaxRad); }},
            {"spinBoxHCentringOverlayCamTopL", [] { return double(motion()->OverlayTLCenterH); }},
            {"doubleSpinBoxZFocalPositionCamTopL", [] { return double(motion()->TLZFocusPosition); }},
            {"doubleSpinBoxCirclesSpaceCentringOverlayCamTopL", [] { return double(motion()->OverlayTLCenterCirclesSpace); }},
            {"spinBoxVCentringOverlayCamMF", [] { return double(motion()->OverlayMFCenterV); }},
            {"doubleSpinBoxXFocalPositionCamMF", [] { return double(motion()->MFXFocusPosition); }},
            {"doubleSpinBoxPixelSizeValTopL", [] { return double(motion()->TLPixelSize); }},
            {"doubleSpinBoxGridleSizepercentCamTopL", [] { return double(motion()->RoundGridlePercent); }},
            {"doubleSpinBoxGridleOffsetPositionCamTopL", [] { return double(motion()->TLYOffsetPosition); }},
            {"doubleSpinBoxPixelSizeValMF", [] { return double(motion()->MFPixelSize); }},
            {"doubleSpinBoxPixelDegValMF", [] { return double(motion()->MFPixelDeg); }},
            {"doubleSpinBoxThreshMinMF", [] { return double(analyser()->CV_MF_Param_ThreshMin); }},
            {"doubleSpinBoxGradAlpha", [] { return double(analyser()->CV_MF_Param_GradAlpha); }},
            {"doubleSpinBoxLineMFTheta", [] { return double(analyser()->CV_MF_Param_LinesTheta); }},
            {"spinBoxLinesMFThresh", [] { return double(analyser()->CV_MF_Param_LinesThreshold); }},
            {"spinBoxDilateMFCanny", [] { return double(analyser()->CV_MF_Param_Dilate_Canny); }},
            {"doubleSpinBoxCapCoveringpercentMF", [] { return double(GridleStitcher::AccessMemory()->CapturesCovering); }},
        };
        if (widget == QLatin1String("spinBoxHChargingOverlayCamTopL"))
            return station->window->chargingH();
        if (widget == QLatin1String("doubleSpinBoxIncrementationStep"))
            return station->window->jogStep();
        const auto it = fields.find(widget);
        return it == fields.end() ? qQNaN() : it->second();
    }

    void setBox(const QString& name, double value)
    {
        if (auto* d = station->window->findChild<QDoubleSpinBox*>(name))
            d->setValue(value);
        else if (auto* s = station->window->findChild<QSpinBox*>(name))
            s->setValue(int(value));
        else
            QFAIL(qPrintable("no box " + name));
    }
    double boxValue(const QString& name) const
    {
        if (auto* d = station->window->findChild<QDoubleSpinBox*>(name))
            return d->value();
        if (auto* s = station->window->findChild<QSpinBox*>(name))
            return s->value();
        return qQNaN();
    }
    static bool near(double a, double b) { return qAbs(a - b) < 1e-9; }

    // Everything the motion core sends to the host from now on.
    std::unique_ptr<QSignalSpy> hostTexts() { return std::make_unique<QSignalSpy>(motion(), &MotionCore::TXCMD); }
    static QStringList texts(const QSignalSpy& spy)
    {
        QStringList all;
        for (const QList<QVariant>& args : spy)
            all << args.value(0).toString();
        return all;
    }

private slots:
    void cleanup() { station.reset(); }

    void startsOnTheOverviewWithItsTitle()
    {
        start();
        QCOMPARE(station->window->windowTitle(), QStringLiteral("Veltrax Enhanced v_1.0.0.5"));
        QCOMPARE(station->pages()->currentIndex(), 0);
        QVERIFY(!station->window->isServiceMode());
        QCOMPARE(station->button("pushButton")->styleSheet(), QStringLiteral("color: rgb(255, 0, 0);"));
        QCOMPARE(station->widget<QTabWidget>("tabWidgetSettings")->currentIndex(), 1);
        QCOMPARE(station->label("labelMFGriddleCapturesStatus")->text(), QStringLiteral("xx / xx"));
        QCOMPARE(station->label("X2_Pos_Label")->text(), QStringLiteral("00.0000"));
        QVERIFY(station->widget<QCheckBox>("checkBoxLowCpuMode")->isChecked());
        QVERIFY(station->button("pushButtonIncXPos")->autoRepeat());
        QVERIFY(!station->widget<QWidget>("groupBoxSubSamplingCamTopL")->isEnabled());
        QVERIFY(!station->spin("spinBoxVCentringOverlayCamTopL")->isEnabled());
        // The Top Standard page is not filled from any component, but its exposure slider shows
        // the camera's exposure.
        QCOMPARE(station->spin("spinBoxXAOICamTopS")->value(), 0);
        QCOMPARE(station->widget<QSlider>("horizontalSliderExposureCamTopS")->value(), CamTS::AccessMemory()->DefaultExposureTime);
    }

    void widgetWritesItsField_data()
    {
        QTest::addColumn<QString>("widget");
        QTest::addColumn<double>("in");
        QTest::addColumn<double>("out");
        QTest::newRow("TL threshold, 1 decimal") << "doubleSpinBoxThreshMinTopL" << 123.46 << 123.5;
        QTest::newRow("TL threshold max clamped") << "doubleSpinBoxThreshMaxTopL" << 300.0 << 255.0;
        QTest::newRow("TL Canny kernel") << "spinBoxCannyKernelTopL" << 5.0 << 5.0;
        QTest::newRow("TL area max clamped") << "spinBoxMaxAreaTopL" << 600000.0 << 500000.0;
        QTest::newRow("TL area min") << "spinBoxMinAreaTopL" << 20000.0 << 20000.0;
        QTest::newRow("circle search, disabled group") << "spinBoxMaxRadTopL" << 123456.0 << 99999.0;
        QTest::newRow("centring row clamped") << "spinBoxHCentringOverlayCamTopL" << 6000.0 << 5000.0;
        QTest::newRow("Z focus, 4 decimals") << "doubleSpinBoxZFocalPositionCamTopL" << 12.345678 << 12.3457;
        QTest::newRow("circle spacing, 1 decimal") << "doubleSpinBoxCirclesSpaceCentringOverlayCamTopL" << 20.56 << 20.6;
        QTest::newRow("front column clamped") << "spinBoxVCentringOverlayCamMF" << 2500.0 << 2000.0;
        QTest::newRow("front focus") << "doubleSpinBoxXFocalPositionCamMF" << 16.25 << 16.25;
        QTest::newRow("TL pixel size, 1 decimal") << "doubleSpinBoxPixelSizeValTopL" << 25.66 << 25.7;
        QTest::newRow("girdle percent, 3 decimals") << "doubleSpinBoxGridleSizepercentCamTopL" << 2.5556 << 2.556;
        QTest::newRow("negative offset becomes 0") << "doubleSpinBoxGridleOffsetPositionCamTopL" << -3.0 << 0.0;
        QTest::newRow("front pixel size, 2 decimals") << "doubleSpinBoxPixelSizeValMF" << 1.274 << 1.27;
        QTest::newRow("front pixel angle, 5 decimals") << "doubleSpinBoxPixelDegValMF" << 0.0523456 << 0.05235;
        QTest::newRow("MF threshold") << "doubleSpinBoxThreshMinMF" << 99.94 << 99.9;
        QTest::newRow("gradient alpha, 2 decimals") << "doubleSpinBoxGradAlpha" << 0.756 << 0.76;
        QTest::newRow("lines theta, 3 decimals") << "doubleSpinBoxLineMFTheta" << 0.0349 << 0.035;
        QTest::newRow("lines threshold") << "spinBoxLinesMFThresh" << 100.0 << 100.0;
        QTest::newRow("edge dilate") << "spinBoxDilateMFCanny" << 3.0 << 3.0;
        QTest::newRow("scan covering") << "doubleSpinBoxCapCoveringpercentMF" << 0.126 << 0.13;
        QTest::newRow("charging, window field") << "spinBoxHChargingOverlayCamTopL" << 321.0 << 321.0;
        QTest::newRow("jog step, 4 decimals") << "doubleSpinBoxIncrementationStep" << 0.12346 << 0.1235;
    }
    void widgetWritesItsField()
    {
        QFETCH(QString, widget);
        QFETCH(double, in);
        QFETCH(double, out);
        start();
        setBox(widget, in);
        QVERIFY2(near(boxValue(widget), out), qPrintable(QString::number(boxValue(widget), 'g', 10)));
        QVERIFY2(near(fieldOf(widget), out), qPrintable(QString::number(fieldOf(widget), 'g', 10)));
    }

    void checkBoxesWriteTheirSwitch()
    {
        start();
        const bool before = tracker()->CV_TL_Param_InvertErodeDilate;
        station->tick("checkBoxInvertedErodeDilateTopL");
        QCOMPARE(bool(tracker()->CV_TL_Param_InvertErodeDilate), !before);
        const bool edges = analyser()->CV_MF_Param_InvertErodeDilate_Canny;
        station->tick("checkBoxInvertedErodeDilateMFCanny");
        QCOMPARE(bool(analyser()->CV_MF_Param_InvertErodeDilate_Canny), !edges);
    }

    void panelsFilledFromSettings_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("widget");
        QTest::addColumn<double>("shown");
        QTest::newRow("empty file: charging 400") << QByteArray() << "spinBoxHChargingOverlayCamTopL" << 400.0;
        QTest::newRow("empty file: TL threshold") << QByteArray() << "doubleSpinBoxThreshMinTopL" << 164.7;
        QTest::newRow("empty file: area max") << QByteArray() << "spinBoxMaxAreaTopL" << 99999.0;
        QTest::newRow("empty file: crown") << QByteArray() << "doubleSpinBoxCrownSizepercentCamTopL" << 15.4;
        QTest::newRow("empty file: lines theta rounded") << QByteArray() << "doubleSpinBoxLineMFTheta" << 0.017;
        QTest::newRow("charging truncated") << QByteArray("POVTLCHH:321.9\n") << "spinBoxHChargingOverlayCamTopL" << 321.0;
        QTest::newRow("front angle rounded") << QByteArray("PMMFPXD:0.041707\n") << "doubleSpinBoxPixelDegValMF" << 0.04171;
        QTest::newRow("threshold rounded") << QByteArray("PCVTLTHRMI:123.4567\n") << "doubleSpinBoxThreshMinTopL" << 123.5;
        QTest::newRow("negative offset") << QByteArray("PZIIOFFSMFPOS:-5\n") << "doubleSpinBoxGridleOffsetPositionCamMF" << 0.0;
        QTest::newRow("covering") << QByteArray("PSTTCHMFCAPCOV:0.1\n") << "doubleSpinBoxCapCoveringpercentMF" << 0.1;
        QTest::newRow("TL exposure slider") << QByteArray("CAMTLEXPT:37\n") << "horizontalSliderExposureCamTopL" << 37.0;
    }
    void panelsFilledFromSettings()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QString, widget);
        QFETCH(double, shown);
        start(settings);
        double value = boxValue(widget);
        if (auto* slider = station->window->findChild<QSlider*>(widget))
            value = slider->value();
        QVERIFY2(near(value, shown), qPrintable(QString::number(value, 'g', 10)));
        const double field = fieldOf(widget);
        if (!qIsNaN(field))
            QVERIFY2(near(field, shown), qPrintable(QString::number(field, 'g', 10)));
    }

    void saveParamsWritesItsKeys_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("written");
        QTest::addColumn<QStringList>("notWritten");
        QTest::newRow("Top Large") << "pushButtonCamTlSaveParams"
                                   << QStringList{"POVTLCHH:400", "POVTLCHV:400", "PMTLPXS:25.6", "PCVTLTHRMI:164.7",
                                                  "POVTLCON:5", "PROUNDSTLGR:2.5", "CAMTLEXPT:"}
                                   << QStringList{"PMMFPXD:", "PCVMFTHRMI:", "CAMMFEXPT:", "CAMTSEXPT:"};
        QTest::newRow("Marking Front") << "pushButtonCamMfSaveParams"
                                       << QStringList{"PMMFPXD:0.04171", "PMMFPXS:1.27", "PSTTCHMFCAPCOV:0", "PCVMFLINETTA:0.017",
                                                      "PCVMFTHRMI:164.7", "CAMMFEXPT:"}
                                       << QStringList{"POVTLCHH:", "PMTLPXS:", "CAMTLEXPT:", "CAMTSEXPT:"};
        QTest::newRow("Top Standard") << "pushButtonCamTsSaveParams" << QStringList{"CAMTSAOIX:", "CAMTSEXPT:"}
                                      << QStringList{"POVTLCHH:", "PMMFPXD:", "CAMTLEXPT:"};
    }
    void saveParamsWritesItsKeys()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, written);
        QFETCH(QStringList, notWritten);
        start();
        station->click(qPrintable(button));
        const QStringList lines = QString::fromUtf8(station->settingsFile()).split('\n');
        for (const QString& key : written) {
            const bool found = key.endsWith(':') ? !lines.filter(QRegularExpression("^" + QRegularExpression::escape(key))).isEmpty()
                                                 : lines.contains(key);
            QVERIFY2(found, qPrintable(key));
        }
        for (const QString& key : notWritten)
            QVERIFY2(lines.filter(QRegularExpression("^" + QRegularExpression::escape(key))).isEmpty(), qPrintable(key));
    }

    void cameraAssignment()
    {
        start();
        const QStringList serials{rig::Rig::TopLargeSerial, rig::Rig::FrontSerial, rig::Rig::TopStandardSerial};
        auto* tl = station->widget<QComboBox>("comboBoxCameraIDTL");
        auto* ts = station->widget<QComboBox>("comboBoxCameraIDTS");
        auto* mf = station->widget<QComboBox>("comboBoxCameraIDMF");
        for (QComboBox* box : {tl, ts, mf}) {
            QCOMPARE(box->count(), 4);
            QCOMPARE(box->itemText(0), QString());
            for (const QString& serial : serials)
                QVERIFY(box->findText(serial) > 0);
        }
        QCOMPARE(tl->currentText(), QString(rig::Rig::TopLargeSerial));
        QCOMPARE(ts->currentText(), QString(rig::Rig::TopStandardSerial));
        QCOMPARE(mf->currentText(), QString(rig::Rig::FrontSerial));

        // Unbinding the Top Standard role and applying reopens and stores the choice.
        ts->setCurrentIndex(0);
        station->click("pushButtonRegisterCameras");
        QCOMPARE(CamTS::AccessMemory()->GetID(), QString());
        const QStringList lines = QString::fromUtf8(station->settingsFile()).split('\n');
        QVERIFY(lines.contains(QStringLiteral("CAMTLID:") + rig::Rig::TopLargeSerial));
        QVERIFY(lines.contains(QStringLiteral("CAMMFID:") + rig::Rig::FrontSerial));
        QVERIFY(lines.contains(QStringLiteral("CAMTSID:")));
        // Refresh selects the empty entry for the unbound role.
        station->click("pushButtonRefreshCameraList");
        QCOMPARE(ts->currentIndex(), 0);
        QCOMPARE(tl->currentText(), QString(rig::Rig::TopLargeSerial));
    }

    void mouseDragSetsAoiBoxes_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QPoint>("press");    // sensor points under the mouse
        QTest::addColumn<QPoint>("release");  // (-1, -1): beyond the view's bottom-right corner
        QTest::addColumn<QRect>("expected");  // x, y, w, h as the boxes show them; -1: to the edge
        // The Top Large frame is the sensor turned: the view's top-left corner of sensor area
        // (200, 300, 400, 240) is sensor (200, 540), its bottom-right corner sensor (600, 300).
        QTest::newRow("Top Large, turned") << 2 << "labelCamTopLargeMainView" << "CamTopL" << QPoint(200, 540) << QPoint(600, 300)
                                           << QRect(200, 300, 400, 240);
        QTest::newRow("Marking Front release beyond the view") << 3 << "labelCamMarkingFrontMainView" << "CamMF" << QPoint(200, 100)
                                                               << QPoint(-1, -1) << QRect(200, 100, -1, -1);
        QTest::newRow("release left of the press: width 0") << 3 << "labelCamMarkingFrontMainView" << "CamMF" << QPoint(600, 100)
                                                            << QPoint(200, 500) << QRect(600, 100, 0, 400);
    }
    void mouseDragSetsAoiBoxes()
    {
        QFETCH(int, page);
        QFETCH(QString, view);
        QFETCH(QString, suffix);
        QFETCH(QPoint, press);
        QFETCH(QPoint, release);
        QFETCH(QRect, expected);
        start();
        station->goToPage(page);
        QLabel* label = station->window->findChild<QLabel*>(view);
        QTRY_VERIFY_WITH_TIMEOUT(!label->pixmap(Qt::ReturnByValue).isNull(), 20000);
        CameraAcquisition* camera = page == 2 ? static_cast<CameraAcquisition*>(CamTL::AccessMemory()) : CamMF::AccessMemory();
        const bool turned = page == 2;
        const cv::Mat frame = camera->getImage();
        const QSize frameSize(frame.cols, frame.rows);
        QCOMPARE(frameSize, turned ? QSize(camera->GetHeight(), camera->GetWidth()) : QSize(camera->GetWidth(), camera->GetHeight()));
        // Where the view shows a sensor point: the fit of the frame into the picture, which
        // fills the label's contents rectangle.
        const QRect contents = label->contentsRect();
        const overlay::ViewFit fit = overlay::fit(frameSize, contents.size());
        const auto at = [&](const QPoint& sensor) {
            const QPointF f = overlay::sensorToFrame(sensor, frameSize, turned ? overlay::Turn::Clockwise : overlay::Turn::None);
            return (fit.toView(f) + contents.topLeft()).toPoint();
        };
        QTest::mousePress(label, Qt::LeftButton, Qt::NoModifier, at(press));
        QTest::mouseRelease(label, Qt::LeftButton, Qt::NoModifier,
                            release.x() < 0 ? contents.bottomRight() + QPoint(40, 40) : at(release));
        const QByteArray s = suffix.toLatin1();
        const QRect got(station->spin(("spinBoxXAOI" + s).constData())->value(), station->spin(("spinBoxYAOI" + s).constData())->value(),
                        station->spin(("spinBoxWAOI" + s).constData())->value(), station->spin(("spinBoxHAOI" + s).constData())->value());
        // -1: the release was limited to the frame's edge, i.e. the camera's full size.
        const int w = expected.width() < 0 ? camera->GetWidth() - got.x() : expected.width();
        const int h = expected.height() < 0 ? camera->GetHeight() - got.y() : expected.height();
        // Half a view pixel of mouse position, plus the camera's even step, at each corner.
        const double step = 0.5 / fit.sx + 2;
        const QString seen = QStringLiteral("%1,%2 %3x%4").arg(got.x()).arg(got.y()).arg(got.width()).arg(got.height());
        QVERIFY2(qAbs(got.x() - expected.x()) <= step && qAbs(got.y() - expected.y()) <= step, qPrintable(seen));
        QVERIFY2(qAbs(got.width() - w) <= 2 * step && qAbs(got.height() - h) <= 2 * step, qPrintable(seen));
        if (expected.width() == 0)
            QCOMPARE(got.width(), 0);
    }

    void aoiRefusedShowsMessage_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("text");
        QTest::newRow("Top Large Set") << "pushButtonSetAOICamTopL" << rig::Rig::TopLargeSerial << "Error while setting AOI";
        QTest::newRow("Marking Front Reset") << "pushButtonResetAOICamMF" << rig::Rig::FrontSerial << "Error while restoring AOI";
        QTest::newRow("Top Standard Set") << "pushButtonSetAOICamTopS" << rig::Rig::TopStandardSerial << "Error while setting AOI";
    }
    void aoiRefusedShowsMessage()
    {
        QFETCH(QString, button);
        QFETCH(QString, serial);
        QFETCH(QString, text);
        start();
        rig::Rig::instance().failCall("is_AOI", 1, 1, serial.toStdString());
        windowtest::MessageBoxCatcher catcher;
        catcher.arm();
        station->click(qPrintable(button));
        QVERIFY(catcher.seen);
        QCOMPARE(catcher.title, QStringLiteral("Camera Area Of Interest"));
        QCOMPARE(catcher.text, text);
    }

    void subSampling_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QList<double>>("modes"); // horizontal then vertical mode asked of the camera
        QTest::newRow("4X accepted") << "4X" << false << QList<double>{8, 4};
        QTest::newRow("2X refused") << "2X" << true << QList<double>{2};
    }
    void subSampling()
    {
        QFETCH(QString, item);
        QFETCH(bool, refused);
        QFETCH(QList<double>, modes);
        start();
        rig::Rig& rig = rig::Rig::instance();
        rig.clearCalls();
        if (refused)
            rig.failCall("is_SetSubSampling", 1, 1, rig::Rig::TopLargeSerial);
        windowtest::MessageBoxCatcher catcher;
        catcher.arm();
        auto* selector = station->widget<QComboBox>("comboBoxSubSimplingCamTopL");
        selector->setCurrentIndex(selector->findText(item));
        QCOMPARE(catcher.seen, refused);
        if (refused) {
            QCOMPARE(catcher.title, QStringLiteral("Camera Sub sampling"));
            QCOMPARE(catcher.text, QStringLiteral("Error while sub sampling ") + item);
        }
        QList<double> asked;
        for (const rig::CallRecord& call : rig.calls("is_SetSubSampling"))
            if (call.serial == rig::Rig::TopLargeSerial && !call.args.empty())
                asked << call.args.front();
        QCOMPARE(asked.mid(0, modes.size()), modes);
    }

    void pixelSizeZeroDrawsNoWedge()
    {
        start();
        QLabel* overview = station->label("labelCamTopLargeOverView");
        QTRY_VERIFY_WITH_TIMEOUT(!overview->pixmap(Qt::ReturnByValue).isNull(), 20000);
        station->dspin("doubleSpinBoxPixelSizeValTopL")->setValue(0);
        QCOMPARE(double(motion()->TLPixelSize), 0.0);
        overview->clear();
        QTRY_VERIFY_WITH_TIMEOUT(!overview->pixmap(Qt::ReturnByValue).isNull(), 20000);
        const QImage picture = overview->pixmap(Qt::ReturnByValue).toImage();
        int centring = 0, focal = 0, front = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x) {
                const QRgb p = picture.pixel(x, y);
                centring += p == qRgb(0, 153, 153);
                focal += p == qRgb(76, 0, 153);
                front += p == qRgb(153, 153, 0);
            }
        QVERIFY(centring > 0);
        QCOMPARE(focal, 0);
        QCOMPARE(front, 0);
    }

    void displayFormats()
    {
        start();
        VeltraxServer* server = VeltraxServer::AccessMemory();
        // Emitted on the main thread: the window's slots run at once.
        emit server->NewCoord(1.23456, -2.5, 10, 359.99999, 15.00006);
        QCOMPARE(station->label("X_Pos_Label")->text(), QStringLiteral("1.2346"));
        QCOMPARE(station->label("Y_Pos_Label")->text(), QStringLiteral("-2.5000"));
        QCOMPARE(station->label("Z_Pos_Label")->text(), QStringLiteral("10.0000"));
        QCOMPARE(station->label("A_Pos_Label")->text(), QStringLiteral("360.0000"));
        QCOMPARE(station->label("X2_Pos_Label")->text(), QStringLiteral("15.0001"));

        emit motion()->StoneCentredCoordinatesInscription(10.5123456, 15.25, 7.76256);
        QCOMPARE(station->label("labelTopCenteringXpositionCamTopL")->text(), QStringLiteral("10.5123"));
        QCOMPARE(station->label("labelTopCenteringZpositionCamTopL")->text(), QStringLiteral("15.25"));
        QCOMPARE(station->label("labelTopCenteringYpositionCamTopL")->text(), QStringLiteral("7.76256"));
        emit motion()->StoneCentredCoordinatesPanorama(9.5, 8.25, 1234567.0);
        QCOMPARE(station->label("labelTopCenteringZpositionCamMF")->text(), QStringLiteral("1.23457e+06"));
        QCOMPARE(station->label("labelTopCenteringXpositionCamMF")->text(), QStringLiteral("9.5"));
        QCOMPARE(station->label("labelTopCenteringYpositionCamMF")->text(), QStringLiteral("8.25"));

        emit motion()->AlignmentResidual(QStringLiteral("X 0.42 px"));
        QCOMPARE(station->label("labelAlignmentResidual")->text(), QStringLiteral("X 0.42 px"));
    }

    void diameterShown_data()
    {
        QTest::addColumn<QList<double>>("result");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("text");
        QTest::newRow("no stone: stone cut by the border")
            << QList<double>{-1, -1, -1, -1, -1, -1} << "CLIPPED" << "the stone touches the border of the view";
        QTest::newRow("300 + 300 px at 25.6 um") << QList<double>{500, 400, 800, 400, 500, 100} << "" << "15.36 mm";
    }
    // The tracker's reason comes just before its values; without a stone the page shows it.
    void diameterShown()
    {
        QFETCH(QList<double>, result);
        QFETCH(QString, reason);
        QFETCH(QString, text);
        start();
        emit tracker()->NewTLResultInfo(reason, -1);
        station->window->RefreshTLTracker(result[0], result[1], result[2], result[3], result[4], result[5]);
        QCOMPARE(station->label("labelStoneDiameterCamTopL")->text(), text);
        // A result without its note (no reason) is a plain "no stone".
        station->window->RefreshTLTracker(-1, -1, -1, -1, -1, -1);
        QCOMPARE(station->label("labelStoneDiameterCamTopL")->text(), QStringLiteral("no stone found"));
    }

    void scanProgress_data()
    {
        QTest::addColumn<int>("images");
        QTest::addColumn<double>("degrees");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("step");
        QTest::newRow("no frames changes nothing") << 0 << 5.0 << "xx / xx" << "0.0000";
        QTest::newRow("36 frames of 10 degrees") << 36 << 10.0 << "00 / 36" << "10.0000";
        QTest::newRow("ten frames") << 10 << 37.94573 << "00 / 10" << "37.9457";
    }
    void scanProgress()
    {
        QFETCH(int, images);
        QFETCH(double, degrees);
        QFETCH(QString, status);
        QFETCH(QString, step);
        start();
        emit GridleStitcher::AccessMemory()->MFGriddleCapturesDataChanged(images, degrees);
        QTRY_COMPARE(station->label("labelMFGriddleRotationStep")->text(), step);
        QCOMPARE(station->label("labelMFGriddleCapturesStatus")->text(), status);
        if (images > 0) {
            emit GridleStitcher::AccessMemory()->MFGriddleCapturesStatusChanged(3, images);
            QTRY_COMPARE(station->label("labelMFGriddleCapturesStatus")->text(), QStringLiteral("3 / ") + QString::number(images));
        }
    }

    void viewsRefreshOnlyOnTheirPage()
    {
        start();
        QLabel* overview = station->label("labelCamTopLargeOverView");
        QLabel* caption = station->label("labelTLInfo");
        QTRY_VERIFY_WITH_TIMEOUT(!overview->pixmap(Qt::ReturnByValue).isNull(), 20000);
        QVERIFY(caption->text().startsWith(QStringLiteral("TL") + rig::Rig::TopLargeSerial + QStringLiteral(" FPS ")));
        QTRY_VERIFY_WITH_TIMEOUT(!station->label("labelCamMarkingFrontOverView")->pixmap(Qt::ReturnByValue).isNull(), 20000);
        QVERIFY(station->label("labelMFInfo")->text().startsWith(QStringLiteral("MF") + rig::Rig::FrontSerial));
        // The status strip counts the frames each camera delivers.
        QTRY_VERIFY_WITH_TIMEOUT(station->label("labelStatusCameraTL")->text().endsWith(QStringLiteral(" fps")), 20000);
        // A camera that delivers no new frame says so on its caption and in the strip, until it delivers again.
        rig::Rig::instance().freezeCamera(rig::Rig::TopLargeSerial, true);
        QTRY_VERIFY_WITH_TIMEOUT(caption->text().endsWith(QStringLiteral(" FROZEN: no new frame")), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(station->label("labelStatusCameraTL")->text(), QStringLiteral("TL: frozen"), 20000);
        rig::Rig::instance().freezeCamera(rig::Rig::TopLargeSerial, false);
        QTRY_VERIFY_WITH_TIMEOUT(!caption->text().contains(QStringLiteral("FROZEN")), 20000);

        station->goToPage(5);
        overview->clear();
        caption->setText(QStringLiteral("TextLabel"));
        testsupport::QueuedSignalSpy frames(CamTL::AccessMemory(), &CamTL::newcapture);
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 5, 20000);
        QCoreApplication::processEvents();
        QVERIFY(overview->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(caption->text(), QStringLiteral("TextLabel"));

        station->click("pushButton_3"); // empty code: back to the overview
        QCOMPARE(station->pages()->currentIndex(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!overview->pixmap(Qt::ReturnByValue).isNull(), 20000);
    }

    void topLargeViewShowsTheGuideMarks()
    {
        start();
        QLabel* overview = station->label("labelCamTopLargeOverView");
        QTRY_VERIFY_WITH_TIMEOUT(!overview->pixmap(Qt::ReturnByValue).isNull(), 20000);
        const QImage picture = overview->pixmap(Qt::ReturnByValue).toImage();
        const cv::Mat frame = CamTL::AccessMemory()->getImage();
        const overlay::ViewFit fit = overlay::fit(QSize(frame.cols, frame.rows), picture.size());
        const int row = qRound(fit.toView(QPointF(0, motion()->OverlayTLCenterH)).y());
        int centring = 0;
        for (int r = row - 1; r <= row + 1; ++r)
            for (int x = 0; x < picture.width(); x += 7)
                centring += picture.pixel(x, qBound(0, r, picture.height() - 1)) == qRgb(0, 153, 153);
        // Across the shown frame only: the bars beside it carry no marks.
        QVERIFY2(centring > fit.shown.width() / 14, qPrintable(QString::number(centring)));
        QVERIFY(picture.pixel(0, row) != qRgb(0, 153, 153) || fit.shown.x() == 0);
    }

    void trackerImagesFollowLowCpuMode()
    {
        start();
        station->goToPage(2);
        QLabel* result = station->label("labelCamTopLargeMainViewResult");
        QLabel* hsv = station->label("labelCamTopLargeMainViewHSV");
        QTRY_VERIFY_WITH_TIMEOUT(!result->pixmap(Qt::ReturnByValue).isNull(), 20000);
        QVERIFY(hsv->pixmap(Qt::ReturnByValue).isNull());
        station->tick("checkBoxLowCpuMode");
        QTRY_VERIFY_WITH_TIMEOUT(!hsv->pixmap(Qt::ReturnByValue).isNull(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!station->label("labelCamTopLargeMainViewCanny")->pixmap(Qt::ReturnByValue).isNull(), 20000);
        QVERIFY(station->label("labelStoneDiameterCamTopL")->text().endsWith(QStringLiteral(" mm")));
    }

    void analyserImagesOnlyOnItsPage()
    {
        start();
        // Both come from worker threads (analyser, camera).
        testsupport::QueuedSignalSpy processed(analyser(), &GridleAnalyser::NewMFProcessedReady);
        testsupport::QueuedSignalSpy readings(analyser(), &GridleAnalyser::NewMFGirdle);
        testsupport::QueuedSignalSpy frames(CamMF::AccessMemory(), &CamMF::newcapture);
        // The girdle is measured whatever the page; the images are made only for their page.
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 5 && readings.count() >= 2, 30000);
        QCOMPARE(processed.count(), 0);

        station->goToPage(3);
        QVERIFY(analyser()->ImagesWanted());
        QTRY_VERIFY_WITH_TIMEOUT(processed.count() >= 2, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!station->label("labelCamMarkingFrontMainViewGrad")->pixmap(Qt::ReturnByValue).isNull(), 20000);
        QVERIFY(station->label("labelCamMarkingFrontMainViewLinesProcessing_3")->pixmap(Qt::ReturnByValue).isNull());

        station->click("pushButton_2");
        QCOMPARE(station->pages()->currentIndex(), 4);
        // Leaving the page does not wait for a chain in progress; that one may still report,
        // then only readings come.
        QVERIFY(!analyser()->ImagesWanted());
        readings.clear();
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 2, 30000);
        QCoreApplication::processEvents();
        const int settled = processed.count();
        readings.clear();
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 5, 30000);
        QCOMPARE(processed.count(), settled);
        QVERIFY(analyser()->isRunning());
    }

    // The girdle of a realistic front view: its edges over the overview's front view and its
    // values in the status strip.
    void girdleOnTheFrontViewAndTheStrip()
    {
        start();
        rig::Scene scene = rig::Rig::instance().scene();
        scene.realisticSeed = 3;
        scene.axes.y = scene.panoramaY();
        scene.axes.zii = scene.frontFocusZii();
        rig::Rig::instance().setScene(scene);
        station->goToPage(0);
        QLabel* strip = station->label("labelStatusGirdle");
        const QRegularExpression words("^Girdle \\d+ \u00b5m, (level|tilted -?\\d+\\.\\d\u00b0), (sharp|soft|blurred)$");
        QTRY_VERIFY_WITH_TIMEOUT(words.match(strip->text()).hasMatch(), 30000);
        // The upper edge in its colour (R 0, G 230, B 0) on the front view.
        QLabel* view = station->label("labelCamMarkingFrontOverView");
        auto edgeDrawn = [view] {
            const QImage picture = view->pixmap(Qt::ReturnByValue).toImage();
            for (int y = 0; y < picture.height(); ++y)
                for (int x = 0; x < picture.width(); ++x)
                    if (picture.pixel(x, y) == qRgb(0, 230, 0))
                        return true;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(edgeDrawn(), 30000);

        // Out of view: the strip says so in words.
        scene.axes.y = scene.panoramaY() + 5.0;
        rig::Rig::instance().setScene(scene);
        QTRY_COMPARE_WITH_TIMEOUT(strip->text(), QStringLiteral("Girdle: none in view"), 30000);

        // The front check's words go to the strip as they are said.
        emit motion()->FrontChecker()->Checked(false, QStringLiteral("Front check: no girdle (none in view)"));
        QCOMPARE(station->label("labelStatusFrontCheck")->text(), QStringLiteral("Front check: no girdle (none in view)"));
    }

    void autoTogglesExcludeEachOther()
    {
        start();
        QAbstractButton* inscription = station->button("pushButtonCenterStoneCamTopLAuto");
        QAbstractButton* panorama = station->button("pushButtonCenterStoneCamMFAuto");
        station->goToPage(2);
        station->click("pushButtonCenterStoneCamTopLAuto");
        QVERIFY(inscription->isChecked());
        QVERIFY(motion()->EngageAutoAlignForInscription);
        QVERIFY(!motion()->EngageAutoAlignForPanorama);

        station->click("pushButtonCenterStoneCamMFAuto");
        QVERIFY(panorama->isChecked());
        QVERIFY(!inscription->isChecked());
        QVERIFY(motion()->EngageAutoAlignForPanorama);
        QVERIFY(!motion()->EngageAutoAlignForInscription);

        station->click("pushButtonCenterStoneCamMFAuto");
        QVERIFY(!panorama->isChecked());
        QVERIFY(!motion()->EngageAutoAlignForPanorama);
        QVERIFY(!motion()->EngageAutoAlignForInscription);
    }

    void jogsMoveByTheStepShown_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<double>("step");
        QTest::addColumn<QString>("sent");
        QTest::newRow("X right before touching Step") << "pushButtonIncXPos" << -1.0 << "INCX0.05";
        QTest::newRow("Y left before touching Step") << "pushButtonIncYNeg" << -1.0 << "INCY-0.05";
        QTest::newRow("Z right, step 0.2") << "pushButtonIncZPos" << 0.2 << "INCZ0.2";
        QTest::newRow("A left, step 7.5") << "pushButtonIncANeg" << 7.5 << "INCA-7.5";
        QTest::newRow("ZII right, step 0.0001") << "pushButtonIncZIIPos" << 0.0001 << "INCF0.0001";
    }
    void jogsMoveByTheStepShown()
    {
        QFETCH(QString, button);
        QFETCH(double, step);
        QFETCH(QString, sent);
        start();
        if (step >= 0)
            station->dspin("doubleSpinBoxIncrementationStep")->setValue(step);
        QCOMPARE(station->window->jogStep(), station->dspin("doubleSpinBoxIncrementationStep")->value());
        auto spy = hostTexts();
        station->click(qPrintable(button));
        QCOMPARE(texts(*spy), QStringList{sent});
    }

    void centringTool()
    {
        start();
        station->dspin("doubleSpinBoxMFCenteringLeft")->setValue(10.0);
        station->dspin("doubleSpinBoxMFCenteringRight")->setValue(12.5);
        QCOMPARE(station->dspin("doubleSpinBoxMFCenteringCenter")->text(), QStringLiteral("11.2500"));
        auto spy = hostTexts();
        station->click("pushButtonMFCenteringGo");
        QCOMPARE(texts(*spy), QStringList{"MOVEF11.25:"});

        emit VeltraxServer::AccessMemory()->NewCoord(1, 2, 3, 4, 14.5);
        QTRY_COMPARE(station->label("X2_Pos_Label")->text(), QStringLiteral("14.5000"));
        station->click("pushButtonMFCenteringGetLeft");
        QCOMPARE(station->dspin("doubleSpinBoxMFCenteringLeft")->value(), 14.5);
        QCOMPARE(station->dspin("doubleSpinBoxMFCenteringCenter")->value(), 13.5);
        station->click("pushButtonMFCenteringGetRight");
        QCOMPARE(station->dspin("doubleSpinBoxMFCenteringCenter")->value(), 14.5);
    }

    // The calibration moves through the host: without one it does not start, sends nothing,
    // and there is nothing to accept.
    void calibrationNeedsAHost()
    {
        start();
        auto spy = hostTexts();
        station->click("pushButtonCalibrationStart");
        QCOMPARE(station->label("labelCalibrationStatus")->text(),
                 QStringLiteral("Not started: no host connected to move the axes"));
        QCOMPARE(texts(*spy), QStringList());
        QVERIFY(!station->button("pushButtonCalibrationAccept")->isEnabled());
    }

    void movesToTheTargets()
    {
        start();
        // The motion core publishes new targets with every tracker result; these are emitted
        // and used without the event loop running in between (signal and click are direct).
        auto spy = hostTexts();
        emit motion()->StoneCentredCoordinatesInscription(10.512, 15.25, 7.76256);
        station->click("pushButtonCenterStoneCamTopL");
        emit motion()->StoneCentredCoordinatesPanorama(9.5, 8.25, 14.75);
        QCOMPARE(station->label("labelTopCenteringZpositionCamMF")->text(), QStringLiteral("14.75"));
        station->click("pushButtonCenterStoneCamMF");
        QCOMPARE(texts(*spy), (QStringList{"MOVEX10.512:Y7.76256:Z15.25:", "MOVEX9.5:Y8.25:", "MOVEF14.75:"}));
    }

    void commandLine_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("a command") << "APPXhello";
        QTest::newRow("empty line sends an empty command") << "";
    }
    void commandLine()
    {
        QFETCH(QString, typed);
        start();
        auto* line = station->widget<QLineEdit>("lineEditTessarixCommand");
        line->setText(typed);
        auto spy = hostTexts();
        station->click("pushButtonSendTXCommand");
        QCOMPARE(texts(*spy), QStringList{typed});
        QCOMPARE(line->text(), QString());
    }

    void getButtons_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QList<double>>("result");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QList<double>>("expected"); // empty: the boxes keep their values
        const QList<double> none{-1, -1, -1, -1, -1, -1};
        const QList<double> stone{500.7, 400.2, 800, 400.2, 500.7, 100};
        QTest::newRow("Centring 1, stone") << "pushButtonGetCentringOverlayCamTopL" << stone
                                           << QStringList{"spinBoxHCentringOverlayCamTopL", "spinBoxVCentringOverlayCamTopL"}
                                           << QList<double>{400, 500};
        QTest::newRow("Centring 1, no stone") << "pushButtonGetCentringOverlayCamTopL" << none
                                              << QStringList{"spinBoxHCentringOverlayCamTopL", "spinBoxVCentringOverlayCamTopL"}
                                              << QList<double>{};
        QTest::newRow("Focal 1, stone") << "pushButtonGetFocalOverlayCamTopL" << stone
                                        << QStringList{"spinBoxHFocalOverlayCamTopL", "spinBoxVFocalOverlayCamTopL", "doubleSpinBoxZFocalPositionCamTopL"}
                                        << QList<double>{800, 400, 3.25};
        QTest::newRow("Focal 1, no stone") << "pushButtonGetFocalOverlayCamTopL" << none
                                           << QStringList{"spinBoxHFocalOverlayCamTopL", "doubleSpinBoxZFocalPositionCamTopL"}
                                           << QList<double>{};
        QTest::newRow("Centring 2, stone") << "pushButtonGetCentringOverlayCamMF" << stone
                                           << QStringList{"spinBoxVCentringOverlayCamMF", "doubleSpinBoxXFocalPositionCamMF"}
                                           << QList<double>{500, 14.5};
        QTest::newRow("Centring 2, no stone: nothing, not column 0") << "pushButtonGetCentringOverlayCamMF" << none
                                                                     << QStringList{"spinBoxVCentringOverlayCamMF", "doubleSpinBoxXFocalPositionCamMF"}
                                                                     << QList<double>{};
        QTest::newRow("Focal 2, stone") << "pushButtonGetFocalOverlayCamMF" << stone
                                        << QStringList{"spinBoxHFocalOverlayCamMF", "spinBoxVFocalOverlayCamMF"} << QList<double>{100, 500};
        // Girdle middle: (2.5 / 2 + 15.4) * 15.36 / 100 + Y 2 = 4.55744, shown with 4 decimals.
        QTest::newRow("Y1 offset, stone") << "pushButtonGetGridleOffsetPositionCamTopL" << QList<double>{500, 400, 800, 400, 500, 100}
                                          << QStringList{"doubleSpinBoxGridleOffsetPositionCamTopL"} << QList<double>{4.5574};
        QTest::newRow("Y2 offset, no stone") << "pushButtonGetGridleOffsetPositionCamMF" << none
                                             << QStringList{"doubleSpinBoxGridleOffsetPositionCamMF"} << QList<double>{};
    }
    void getButtons()
    {
        QFETCH(QString, button);
        QFETCH(QList<double>, result);
        QFETCH(QStringList, boxes);
        QFETCH(QList<double>, expected);
        start();
        emit VeltraxServer::AccessMemory()->NewCoord(1, 2, 3.25, 4, 14.5);
        QTRY_COMPARE(station->label("X2_Pos_Label")->text(), QStringLiteral("14.5000"));
        QList<double> before;
        for (const QString& box : boxes)
            before << boxValue(box);
        // Straight before the click, so no result of the running tracker comes in between.
        station->window->RefreshTLTracker(result[0], result[1], result[2], result[3], result[4], result[5]);
        station->click(qPrintable(button));
        for (int i = 0; i < boxes.size(); ++i) {
            const double want = expected.isEmpty() ? before[i] : expected[i];
            QVERIFY2(near(boxValue(boxes[i]), want), qPrintable(boxes[i] + " " + QString::number(boxValue(boxes[i]))));
            const double field = fieldOf(boxes[i]);
            if (!qIsNaN(field))
                QVERIFY(near(field, want));
        }
    }

    void saveOriginalWritesTheNextFrame()
    {
        start();
        station->click("pushButtonSaveTL");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(station->work->file("Default.png")).size() > 0, 20000);
    }

    void scanStartShowsItsFrameCount()
    {
        start();
        QTRY_VERIFY_WITH_TIMEOUT(motion()->GetStoneDiameter() > 1.0, 20000);
        station->goToPage(3);
        // Emitted by the scan's own thread.
        testsupport::QueuedSignalSpy data(GridleStitcher::AccessMemory(), &GridleStitcher::MFGriddleCapturesDataChanged);
        station->click("pushButtonStartGridleStitching");
        QVERIFY(data.waitForCount(1, 20000));
        const int images = data.at(0).at(0).toInt();
        QVERIFY(images > 0);
        QTRY_VERIFY(station->label("labelMFGriddleCapturesStatus")->text().endsWith(QStringLiteral(" / ") + QString::number(images)));
    }

    // Exposure is a percentage on every page; each slider starts at its camera's exposure and
    // goes back to it when the camera refuses a value.
    void exposureSlidersArePercent_data()
    {
        QTest::addColumn<QString>("slider");
        QTest::addColumn<QString>("serial");
        QTest::newRow("Top Large") << "horizontalSliderExposureCamTopL" << rig::Rig::TopLargeSerial;
        QTest::newRow("Top Standard") << "horizontalSliderExposureCamTopS" << rig::Rig::TopStandardSerial;
        QTest::newRow("Marking Front") << "horizontalSliderExposureCamMF" << rig::Rig::FrontSerial;
    }
    void exposureSlidersArePercent()
    {
        QFETCH(QString, slider);
        QFETCH(QString, serial);
        start("CAMTLEXPT:37\nCAMTSEXPT:37\nCAMMFEXPT:37\n");
        auto* s = station->widget<QSlider>(qPrintable(slider));
        QCOMPARE(s->minimum(), 1);
        QCOMPARE(s->maximum(), 100);
        QCOMPARE(s->value(), 37);
        s->setValue(80);
        QCOMPARE(s->value(), 80);
        rig::Rig::instance().failCall("is_Exposure", 1, 1, serial.toStdString());
        s->setValue(90);
        QCOMPARE(s->value(), 80);
        QCOMPARE(s->toolTip(), QStringLiteral("80 %"));
    }

    // One strip below the pages: host, frames per camera, last alignment, scan.
    void statusStripShowsTheStationState()
    {
        // No camera bound: after a refresh of the strip every camera says so.
        station.reset(new Station(QByteArray(), false));
        QVERIFY(station->exposed);
        auto* tick = station->window->findChild<QTimer*>(QStringLiteral("statusTimer"));
        QVERIFY(tick);
        QSignalSpy ticks(tick, &QTimer::timeout);
        QVERIFY(ticks.wait(10000));
        for (const char* name : {"labelStatusCameraTL", "labelStatusCameraTS", "labelStatusCameraMF"})
            QVERIFY2(station->label(name)->text().endsWith(QStringLiteral(": no frames")), name);
        QCOMPARE(station->label("labelStatusHost")->text(), QStringLiteral("Host: not connected"));
        QCOMPARE(station->label("labelStatusGirdle")->text(), QStringLiteral("Girdle: no frame"));

        QTcpSocket host;
        host.connectToHost(QHostAddress::LocalHost, VeltraxServer::AccessMemory()->ListenPort());
        QTRY_VERIFY_WITH_TIMEOUT(station->label("labelStatusHost")->text().startsWith(QStringLiteral("Host: connected 127.0.0.1:")), 20000);

        emit motion()->AlignmentOutcome(false, QStringLiteral("Alignment inscription failed: no stone"));
        QCOMPARE(station->label("labelStatusAlignment")->text(), QStringLiteral("Alignment FAILED: Alignment inscription failed: no stone"));
        emit motion()->AlignmentOutcome(true, QStringLiteral("Alignment inscription done"));
        QCOMPARE(station->label("labelStatusAlignment")->text(), QStringLiteral("Alignment OK: Alignment inscription done"));

        emit GridleStitcher::AccessMemory()->MFGriddleCapturesStatusChanged(3, 36);
        QCOMPARE(station->label("labelStatusScan")->text(), QStringLiteral("Scan: frame 3 / 36"));
        emit GridleStitcher::AccessMemory()->ScanOutcome(false, QStringLiteral("stopped: no front frame"));
        QCOMPARE(station->label("labelStatusScan")->text(), QStringLiteral("Scan FAILED: stopped: no front frame"));
        QCOMPARE(station->label("labelUnitA")->text(), QStringLiteral("\u00b0"));
        QVERIFY(!station->label("labelAlignmentResidualCaption")->text().isEmpty());
    }

    // Views take the room a larger window gives; the panels keep their size.
    void pagesGrowWithTheWindow()
    {
        start();
        station->goToPage(2);
        station->window->showNormal();
        station->window->resize(1556, 1010);
        QTRY_COMPARE(station->window->size(), QSize(1556, 1010));
        QLabel* view = station->label("labelCamTopLargeMainView");
        QWidget* panel = station->widget<QWidget>("groupBoxAOICamTopL");
        const QSize small = view->size(), panelSize = panel->size();
        // As designed at the form's size: six views of about 451 by 321.
        QVERIFY2(qAbs(small.width() - 451) < 20 && qAbs(small.height() - 321) < 40, qPrintable(QStringLiteral("%1x%2").arg(small.width()).arg(small.height())));
        station->window->resize(1920, 1080);
        QTRY_COMPARE(station->window->size(), QSize(1920, 1080));
        QTRY_VERIFY(view->width() > small.width() + 100);
        QVERIFY(view->height() > small.height());
        QCOMPARE(panel->size(), panelSize);
        // The side panels end at the window's right edge: no empty strip.
        const QPoint right = panel->mapTo(station->window.get(), QPoint(panel->width(), 0));
        QVERIFY2(station->window->width() - right.x() < 1920 / 20, qPrintable(QString::number(right.x())));
    }

    void serviceModeCodes_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("service");
        QTest::newRow("right code") << "q7vbx#operate" << true;
        QTest::newRow("one letter upper case") << "q7vbx#Operate" << false;
        QTest::newRow("trailing space") << "q7vbx#operate " << false;
        QTest::newRow("empty") << "" << false;
    }
    void serviceModeCodes()
    {
        QFETCH(QString, code);
        QFETCH(bool, service);
        start();
        station->enterCode(code);
        QCOMPARE(station->window->isServiceMode(), service);
        QCOMPARE(station->widget<QLineEdit>("lineEdit")->text(), QString());
        QCOMPARE(station->button("pushButton_2")->styleSheet(),
                 service ? QStringLiteral("color: rgb(0, 255, 0);") : QStringLiteral("color: rgb(255, 0, 0);"));
        station->click("pushButton_2");
        QCOMPARE(station->pages()->currentIndex(), service ? 1 : 0);
    }

    void serviceModeNavigation()
    {
        start();
        station->click("pushButton_2");
        QCOMPARE(station->pages()->currentIndex(), 0);
        station->enterCode(QStringLiteral("q7vbx#operate"));
        station->click("pushButton");
        QCOMPARE(station->pages()->currentIndex(), 0);
        QList<int> seen;
        for (int i = 0; i < 6; ++i) {
            station->click("pushButton_2");
            seen << station->pages()->currentIndex();
        }
        QCOMPARE(seen, (QList<int>{1, 2, 3, 4, 5, 5}));
        station->click("pushButton");
        station->click("pushButton");
        QCOMPARE(station->pages()->currentIndex(), 3);
        // The right code again keeps the page; a wrong one returns to the overview.
        station->enterCode(QStringLiteral("q7vbx#operate"));
        QCOMPARE(station->pages()->currentIndex(), 3);
        station->enterCode(QStringLiteral("wrong"));
        QCOMPARE(station->pages()->currentIndex(), 0);
        QVERIFY(!station->window->isServiceMode());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
