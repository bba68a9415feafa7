#include "queuedsignalspy.h"
#include "rigstation.h"
#include "sim/rig/rigscene.h"
#include "vision/gridleanalyser.h"

#include <QtTest>

namespace {
bool sameImage(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}
constexpr auto processed = &GridleAnalyser::NewMFProcessedReady;
} // namespace

class TestGridleAnalyser : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;
    GridleAnalyser* analyser = nullptr;

    void startStation(const QByteArray& extraSettings = QByteArray())
    {
        rig::Rig::instance().reset();
        // Noise off: every frame is the same, and the Hough transform stays quick.
        rig::Rig::instance().setNoise(false);
        rigstation::writeSettings(*work, true, extraSettings);
        rigstation::bringUpCameras(true);
        analyser = GridleAnalyser::AccessMemory();
    }

private slots:
    void init() { work.reset(new testsupport::WorkDir); }
    void cleanup()
    {
        GridleAnalyser::Destroy();
        analyser = nullptr;
        rigstation::tearDownCameras();
        work.reset();
    }

    // The girdle is measured on every frame from the start; the diagnostic images only while
    // they are wanted.
    void measuresEveryFrameWithoutImages()
    {
        startStation();
        testsupport::QueuedSignalSpy frames(CamMF::AccessMemory(), &CamMF::newcapture);
        testsupport::QueuedSignalSpy results(analyser, processed);
        testsupport::QueuedSignalSpy readings(analyser, &GridleAnalyser::NewMFGirdle);
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 5 && readings.count() >= 3, 30000);
        QVERIFY(!analyser->ImagesWanted());
        QCOMPARE(results.count(), 0);
        QVERIFY(analyser->getMFResultImage().empty());
        QVERIFY(analyser->GetMFLinesProcessing().empty());
        const GirdleReading reading = readings.at(readings.count() - 1).at(0).value<GirdleReading>();
        QVERIFY(reading.captureTimeUs > 0);
        QCOMPARE(reading.frameWidth, CamMF::AccessMemory()->getImage().cols);
        const QStringList log = testsupport::logMessages();
        QVERIFY(log.contains("Loading Gridle Analyser..."));
        QVERIFY(log.contains("Gridle Analyser imported successfully"));
    }

    // Over the realistic side scene: the reading against the rig's truth, and its words.
    void readingOfARealisticFrame_data()
    {
        QTest::addColumn<unsigned>("seed");
        QTest::newRow("realistic seed 3") << 3u;
        QTest::newRow("realistic seed 8") << 8u;
    }
    void readingOfARealisticFrame()
    {
        QFETCH(unsigned, seed);
        startStation();
        rig::Scene scene = rig::Rig::instance().scene();
        scene.realisticSeed = seed;
        scene.axes.y = scene.panoramaY(); // the girdle in the middle of the front view
        scene.axes.zii = scene.frontFocusZii();
        rig::Rig::instance().setScene(scene);
        const qint64 after = CameraAcquisition::SteadyNowUs() + 200000;
        testsupport::QueuedSignalSpy readings(analyser, &GridleAnalyser::NewMFGirdle);
        GirdleReading reading;
        QVERIFY(QTest::qWaitFor([&] {
            for (int i = 0; i < readings.count(); ++i)
                if (readings.at(i).at(0).value<GirdleReading>().captureTimeUs > after)
                    reading = readings.at(i).at(0).value<GirdleReading>();
            return reading.captureTimeUs > after;
        }, 30000));
        const cv::Size size(reading.frameWidth, reading.frameHeight);
        const rig::SideTruth truth = rig::sideTruth(rig::frontSideView(scene, size), size);
        const double truthUm = truth.thicknessMid * scene.cal.mfPixelUm;
        qInfo("seed %u: %s; truth %.1f um, centre %+.2f px", seed, qPrintable(girdletext::StatusText(reading)), truthUm,
              (truth.topMid + truth.bottomMid) / 2.0 - (size.height - 1) / 2.0);
        QVERIFY2(reading.ok, qPrintable(reading.reason));
        QVERIFY2(std::fabs(reading.thicknessUm - truthUm) <= 4.0, qPrintable(QString::number(reading.thicknessUm)));
        QVERIFY(std::fabs(reading.centreOffsetPx - ((truth.topMid + truth.bottomMid) / 2.0 - (size.height - 1) / 2.0)) <= 2.0);
        QVERIFY(!reading.top.isEmpty() && !reading.bottom.isEmpty());
        const QRegularExpression words("^Girdle \\d+ \u00b5m, (level|tilted -?\\d+\\.\\d\u00b0), (sharp|soft|blurred)$");
        QVERIFY2(words.match(girdletext::StatusText(reading)).hasMatch(), qPrintable(girdletext::StatusText(reading)));
        QCOMPARE(analyser->LastReading().ok, true);
    }

    void imagesWhileWanted()
    {
        startStation();
        testsupport::QueuedSignalSpy results(analyser, processed);
        analyser->SetImagesWanted(true);
        analyser->SetImagesWanted(true); // a second call changes nothing
        QVERIFY(analyser->ImagesWanted());
        QVERIFY(results.wait(30000));
        QCOMPARE(results.at(0).at(0).toDouble(), -1.0);
        QCOMPARE(results.at(0).at(1).toDouble(), -1.0);

        // The result view is a camera frame itself, unsmoothed and unmarked.
        const cv::Mat result = analyser->getMFResultImage();
        QCOMPARE(result.size(), CamMF::AccessMemory()->getImage().size());
        for (const cv::Mat& m : {analyser->getMFGradImage(), analyser->getMFThreshImage(),
                                 analyser->getMFThreshTransformedImage(), analyser->getMFCannyImage(),
                                 analyser->getMFCannyTransformedImage(), analyser->getMFLinesDrawing(),
                                 analyser->GetMFLinesProcessing()}) {
            QCOMPARE(m.size(), result.size());
            QCOMPARE(m.type(), CV_8UC1);
        }
        // Threshold morphology at its defaults (0, 0): the transformed threshold is the threshold.
        QVERIFY(sameImage(analyser->getMFThreshTransformedImage(), analyser->getMFThreshImage()));

        analyser->SetImagesWanted(false);
        QVERIFY(!analyser->ImagesWanted());
        // A chain in progress may still end; after it, readings only.
        QTest::qWait(0);
        testsupport::QueuedSignalSpy readings(analyser, &GridleAnalyser::NewMFGirdle);
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 2, 30000);
        const int count = results.count();
        readings.clear();
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 5, 30000);
        QCOMPARE(results.count(), count);
        QVERIFY(analyser->isRunning());

        analyser->SetImagesWanted(true); // and they come again
        QVERIFY(results.wait(30000));
    }

    // The chain takes at most its share of one core: with a slow Hough, frames keep being
    // measured between two chains.
    void imagesAtACappedRate()
    {
        startStation();
        analyser->CV_MF_Param_LinesRho = 1.0; // a slow Hough: chains take long
        testsupport::QueuedSignalSpy results(analyser, processed);
        testsupport::QueuedSignalSpy readings(analyser, &GridleAnalyser::NewMFGirdle);
        analyser->SetImagesWanted(true);
        QTRY_VERIFY_WITH_TIMEOUT(results.count() >= 3, 120000);
        QVERIFY2(readings.count() >= 2 * results.count(),
                 qPrintable(QString("%1 readings, %2 chains").arg(readings.count()).arg(results.count())));
        analyser->SetImagesWanted(false);
    }

    void stopWithoutStart()
    {
        startStation();
        analyser->SetImagesWanted(false);
        QVERIFY(!analyser->ImagesWanted());
        QVERIFY(analyser->getMFGradImage().empty());
    }

    void failuresAreLoggedOnce_data()
    {
        QTest::addColumn<int>("cannyKernel");
        QTest::addColumn<double>("rho");
        QTest::addColumn<QString>("message");
        QTest::newRow("even Canny aperture") << 4 << 10.0 << "Aperture size should be odd";
        QTest::newRow("Hough rho 0") << 3 << 0.0 << "Hough resolution out of range: rho 0";
    }
    void failuresAreLoggedOnce()
    {
        QFETCH(int, cannyKernel);
        QFETCH(double, rho);
        QFETCH(QString, message);
        startStation();
        analyser->CV_MF_Param_CannyThreshKernel = cannyKernel;
        analyser->CV_MF_Param_LinesRho = rho;
        testsupport::QueuedSignalSpy results(analyser, processed);
        analyser->SetImagesWanted(true);
        const auto failures = [&] {
            return testsupport::logMessages().filter("Gridle Analyser Exception ").filter(message);
        };
        QTRY_COMPARE_WITH_TIMEOUT(failures().size(), 1, 30000);
        testsupport::QueuedSignalSpy frames(CamMF::AccessMemory(), &CamMF::newcapture);
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 8, 20000);
        QCOMPARE(failures().size(), 1);
        QCOMPARE(results.count(), 0);
        // The steps before the failure still show the new frames.
        QCOMPARE(analyser->getMFThreshImage().size(), CamMF::AccessMemory()->getImage().size());

        analyser->CV_MF_Param_CannyThreshKernel = 3;
        analyser->CV_MF_Param_LinesRho = 10.0;
        QVERIFY(results.wait(30000));
    }

    void settingsAreLoadedAndSaved()
    {
        startStation("PCVMFLINETHLD:90\nPCVMFIEDCA:0\n");
        QCOMPARE(int(analyser->CV_MF_Param_LinesThreshold), 90);
        QCOMPARE(double(analyser->CV_MF_Param_LinesTheta), 0.017453292519943295);
        QCOMPARE(bool(analyser->CV_MF_Param_InvertErodeDilate_Canny), false);
        QCOMPARE(bool(analyser->CV_MF_Param_InvertErodeDilate), true);
        QCOMPARE(int(analyser->CV_MF_Param_Dilate_Canny), 10);
        analyser->CV_MF_Param_ThreshMin = 300.0;
        analyser->SaveParams();
        QVERIFY(Registry::AccessMemory()->SaveReg());
        const QByteArray file = testsupport::readAll("Registry.dat");
        QVERIFY(file.contains("PCVMFTHRMI:300\n"));
        QVERIFY(file.contains("PCVMFLINERHO:10\n"));
        QVERIFY(file.contains("PCVMFGRG:0\n"));
        // Six significant digits: one degree is stored as 0.0174533 and reads back so.
        QVERIFY(file.contains("PCVMFLINETTA:0.0174533\n"));
        analyser->LoadParams();
        QCOMPARE(double(analyser->CV_MF_Param_LinesTheta), 0.0174533);
        QCOMPARE(double(analyser->CV_MF_Param_ThreshMin), 300.0);
    }

    void destroyStopsTheThread()
    {
        startStation();
        testsupport::QueuedSignalSpy results(analyser, processed);
        analyser->SetImagesWanted(true);
        QVERIFY(results.wait(30000));
        GridleAnalyser::Destroy();
        analyser = nullptr;
        QCOMPARE(testsupport::logMessages().last(), QString("Gridle Analyser Destruction"));
    }
};

QTEST_MAIN(TestGridleAnalyser)
#include "tst_gridleanalyser.moc"
