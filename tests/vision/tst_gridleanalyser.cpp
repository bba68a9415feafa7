#include "queuedsignalspy.h"
#include "rigstation.h"
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

    void idleUntilStarted()
    {
        startStation();
        testsupport::QueuedSignalSpy frames(CamMF::AccessMemory(), &CamMF::newcapture);
        testsupport::QueuedSignalSpy results(analyser, processed);
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 5, 20000);
        QVERIFY(!analyser->IsAnalysing());
        QCOMPARE(results.count(), 0);
        QVERIFY(analyser->getMFResultImage().empty());
        QVERIFY(analyser->GetMFLinesProcessing().empty());
        const QStringList log = testsupport::logMessages();
        QVERIFY(log.contains("Loading Gridle Analyser..."));
        QVERIFY(log.contains("Gridle Analyser imported successfully"));
    }

    void analysesWhileStarted()
    {
        startStation();
        testsupport::QueuedSignalSpy results(analyser, processed);
        analyser->StartAnalysis();
        analyser->StartAnalysis(); // a second start changes nothing
        QVERIFY(analyser->IsAnalysing());
        QVERIFY(results.wait(30000));
        QCOMPARE(results.at(0).at(0).toDouble(), -1.0);
        QCOMPARE(results.at(0).at(1).toDouble(), -1.0);

        // The result view is the camera frame itself, unsmoothed and unmarked.
        const cv::Mat frame = CamMF::AccessMemory()->getImage();
        QVERIFY(sameImage(analyser->getMFResultImage(), frame));
        for (const cv::Mat& m : {analyser->getMFGradImage(), analyser->getMFThreshImage(),
                                 analyser->getMFThreshTransformedImage(), analyser->getMFCannyImage(),
                                 analyser->getMFCannyTransformedImage(), analyser->getMFLinesDrawing(),
                                 analyser->GetMFLinesProcessing()}) {
            QCOMPARE(m.size(), frame.size());
            QCOMPARE(m.type(), CV_8UC1);
        }
        // Threshold morphology at its defaults (0, 0): the transformed threshold is the threshold.
        QVERIFY(sameImage(analyser->getMFThreshTransformedImage(), analyser->getMFThreshImage()));

        analyser->StopAnalysis();
        QVERIFY(!analyser->IsAnalysing());
        analyser->StopAnalysis(); // a second stop changes nothing
        // The worker ends by itself after the frame it may have been analysing.
        QTRY_VERIFY_WITH_TIMEOUT(analyser->isFinished(), 30000);
        QCoreApplication::processEvents(); // its last queued result, if any
        const int count = results.count();
        testsupport::QueuedSignalSpy frames(CamMF::AccessMemory(), &CamMF::newcapture);
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 5, 20000);
        QCOMPARE(results.count(), count);

        analyser->StartAnalysis(); // and it starts again
        QVERIFY(results.wait(30000));
    }

    // Leaving the page and coming back while a frame is still being analysed: the stop did not
    // wait for that frame, and the start must not be lost to the worker that is about to end.
    void restartWhileTheLastFrameIsAnalysed()
    {
        startStation();
        analyser->CV_MF_Param_LinesRho = 1.0; // a slow Hough: frames take long
        testsupport::QueuedSignalSpy results(analyser, processed);
        for (int round = 0; round < 5; ++round) {
            analyser->StartAnalysis();
            QVERIFY(results.wait(60000));
            analyser->StopAnalysis();
            analyser->StartAnalysis();
            analyser->StopAnalysis();
        }
        analyser->StartAnalysis();
        const int count = results.count();
        QTRY_VERIFY_WITH_TIMEOUT(results.count() >= count + 2, 60000);
        QVERIFY(analyser->isRunning());
        analyser->StopAnalysis();
        QTRY_VERIFY_WITH_TIMEOUT(analyser->isFinished(), 60000);
    }

    void stopWithoutStart()
    {
        startStation();
        analyser->StopAnalysis();
        QVERIFY(!analyser->IsAnalysing());
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
        analyser->StartAnalysis();
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
        analyser->StartAnalysis();
        QVERIFY(results.wait(30000));
        GridleAnalyser::Destroy();
        analyser = nullptr;
        QCOMPARE(testsupport::logMessages().last(), QString("Gridle Analyser Destruction"));
    }
};

QTEST_MAIN(TestGridleAnalyser)
#include "tst_gridleanalyser.moc"
