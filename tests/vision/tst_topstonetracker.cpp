#include "queuedsignalspy.h"
#include "rigstation.h"
#include "vision/topstonetracker.h"

#include <opencv2/imgcodecs.hpp>

#include <QtTest>

#include <charconv>
#include <cmath>

// A reading of NewTLProcessedReady.
struct Reading
{
    double CenterX, CenterY, FocalX, FocalY, MFX, MFY;
};

namespace {
Reading reading(const QVariantList& args)
{
    return {args[0].toDouble(), args[1].toDouble(), args[2].toDouble(),
            args[3].toDouble(), args[4].toDouble(), args[5].toDouble()};
}

QString shortest(double v)
{
    char buffer[64];
    return QString::fromLatin1(buffer, int(std::to_chars(buffer, buffer + 64, v).ptr - buffer));
}

bool sameImage(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}
} // namespace

class TestTopStoneTracker : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;
    TopStoneTracker* tracker = nullptr;

    void startStation(bool noise, const QByteArray& extraSettings = QByteArray())
    {
        rig::Rig::instance().reset();
        rig::Rig::instance().setNoise(noise);
        rigstation::writeSettings(*work, false, extraSettings);
        rigstation::bringUpCameras(false);
        tracker = TopStoneTracker::AccessMemory();
    }

    // Waits for the next reading emitted after this call.
    bool nextReading(Reading* r, int timeoutMs = 20000)
    {
        testsupport::QueuedSignalSpy spy(tracker, &TopStoneTracker::NewTLProcessedReady);
        if (!spy.wait(timeoutMs))
            return false;
        *r = reading(spy.at(spy.count() - 1));
        return true;
    }

private slots:
    void init() { work.reset(new testsupport::WorkDir); }
    void cleanup()
    {
        TopStoneTracker::Destroy();
        tracker = nullptr;
        rigstation::tearDownCameras();
        work.reset();
    }

    void findsTheRigStoneEveryFrame_data()
    {
        QTest::addColumn<bool>("noise");
        QTest::newRow("noise off") << false;
        QTest::newRow("sensor noise") << true;
    }
    void findsTheRigStoneEveryFrame()
    {
        QFETCH(bool, noise);
        startStation(noise);
        const rig::Scene scene = rig::Rig::instance().scene();
        const cv::Point2d truth = scene.topLargeCentre();
        const double diameterPx = scene.stoneDiameterMm * 1000.0 / scene.cal.tlPixelUm;

        testsupport::QueuedSignalSpy spy(tracker, &TopStoneTracker::NewTLProcessedReady);
        QTRY_VERIFY_WITH_TIMEOUT(spy.count() >= 5, 20000);
        for (int i = 0; i < spy.count(); ++i) {
            const Reading r = reading(spy.at(i));
            QVERIFY2(std::hypot(r.CenterX - truth.x, r.CenterY - truth.y) < 2.0,
                     qPrintable(QString("centre %1, %2; rig %3, %4").arg(r.CenterX).arg(r.CenterY).arg(truth.x).arg(truth.y)));
            const double diameter = (r.FocalX - r.CenterX) + (r.CenterY - r.MFY);
            QVERIFY2(std::abs(diameter - diameterPx) / diameterPx < 0.02, qPrintable(QString::number(diameter)));
            QCOMPARE(r.FocalY, r.CenterY);
            QCOMPARE(r.MFX, r.CenterX);
        }
        // The window's views: frame-sized images of the last frame.
        const cv::Mat frame = CamTL::AccessMemory()->getImage();
        QCOMPARE(tracker->getTLResultImage().size(), frame.size());
        QCOMPARE(tracker->getTLThreshImage().type(), CV_8UC1);
        QCOMPARE(tracker->getTLThreshTransformedImage().size(), frame.size());
        QCOMPARE(tracker->getTLContourImage().size(), frame.size());
        QCOMPARE(tracker->getTLHSVImage().type(), CV_8UC3);
        QVERIFY(tracker->getTSResultImage().empty());
        QVERIFY(tracker->getTSThreshImage().empty());
        QVERIFY(tracker->getTSHSVImage().empty());
        QVERIFY(tracker->getTSContourImage().empty());

        const QStringList log = testsupport::logMessages();
        QVERIFY(log.contains("Loading Top Stone Tracker..."));
        QVERIFY(log.contains("Top Stone Tracker imported successfully"));
        QVERIFY(log.indexOf("Loading Top Stone Tracker...") < log.indexOf("Top Stone Tracker imported successfully"));
    }

    void replayPrintsWhatTheTrackerEmitted()
    {
        startStation(false);
        tracker->CV_TL_Param_ThreshMin = 120.5;
        tracker->SaveParams();
        QVERIFY(Registry::AccessMemory()->SaveReg());
        Reading live{};
        QVERIFY(nextReading(&live));
        QVERIFY(live.CenterX > -1.0);

        // Without noise every frame is the same, so the saved frame is the one just processed.
        testsupport::QueuedSignalSpy frames(CamTL::AccessMemory(), &CamTL::newcapture);
        CamTL::AccessMemory()->SaveCapture("Default.png");
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 2 && QFile::exists("Default.png"), 20000);
        QVERIFY(nextReading(&live));

        QProcess replay;
        replay.start(qEnvironmentVariable("VELTRAX_BIN_DIR") + "/tracker-replay", {"Default.png"});
        QVERIFY(replay.waitForFinished(60000));
        QCOMPARE(replay.exitCode(), 0);
        const QString out = QString::fromLocal8Bit(replay.readAllStandardOutput());
        QVERIFY2(out.contains("# ThreshMin 120.5 "), qPrintable(out));
        const QString expected = QString("Default.png\t%1 %2 %3 %4 %5 %6\n")
                                     .arg(shortest(live.CenterX), shortest(live.CenterY), shortest(live.FocalX),
                                          shortest(live.FocalY), shortest(live.MFX), shortest(live.MFY));
        QVERIFY2(out.contains(expected), qPrintable(out + " / " + expected));
        const cv::Mat replayed = cv::imread("Default.result.png", cv::IMREAD_COLOR);
        QVERIFY(sameImage(replayed, tracker->getTLResultImage()));
    }

    void panelWritesTakeEffect_data()
    {
        QTest::addColumn<int>("areaMax");
        QTest::addColumn<bool>("found");
        QTest::newRow("upper bound below the stone") << 10000 << false;
        QTest::newRow("upper bound above the stone") << 99999 << true;
    }
    void panelWritesTakeEffect()
    {
        QFETCH(int, areaMax);
        QFETCH(bool, found);
        startStation(false);
        tracker->CV_TL_Param_ContourSizeFMAX = areaMax;
        QCOMPARE(int(tracker->CV_TL_Param_ContourSizeFMAX), areaMax);
        // The frame in progress may still use the old value; the next one uses the new.
        Reading r{};
        QVERIFY(nextReading(&r));
        QVERIFY(nextReading(&r));
        QCOMPARE(r.CenterX > -1.0, found);
        if (!found) {
            QCOMPARE(r.CenterY, -1.0);
            QCOMPARE(r.FocalX, -1.0);
            QCOMPARE(r.FocalY, -1.0);
            QCOMPARE(r.MFX, -1.0);
            QCOMPARE(r.MFY, -1.0);
        }
    }

    void reasonComesWithEveryResult_data()
    {
        QTest::addColumn<double>("offsetXMm");
        QTest::addColumn<int>("areaMax");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("frozen");
        QTest::newRow("stone in view") << 0.15 << 99999 << "" << false;
        QTest::newRow("upper bound below the stone") << 0.15 << 10000 << "NOSTONE" << false;
        QTest::newRow("stone across the right border") << 11.5 << 99999 << "CLIPPED" << false;
        QTest::newRow("stone in view, camera frozen") << 0.15 << 99999 << "CAMERA" << true;
    }
    void reasonComesWithEveryResult()
    {
        QFETCH(double, offsetXMm);
        QFETCH(int, areaMax);
        QFETCH(QString, reason);
        QFETCH(bool, frozen);
        startStation(true);
        rig::Scene scene = rig::Rig::instance().scene();
        scene.offsetXMm = offsetXMm;
        tracker->CV_TL_Param_ContourSizeFMAX = areaMax;
        rig::Rig::instance().setScene(scene);
        // With the camera's latency, frames exposed before the change still arrive after it:
        // only results of frames captured after the change (plus one frame time for the
        // parameter to reach the tracker's pass) show the new scene.
        const qint64 changedAtUs = CameraAcquisition::SteadyNowUs() + 100000;
        // Each result is announced with its reason first; collect a few settled frames.
        testsupport::QueuedSignalSpy infos(tracker, &TopStoneTracker::NewTLResultInfo);
        testsupport::QueuedSignalSpy readings(tracker, &TopStoneTracker::NewTLProcessedReady);
        if (frozen) {
            // The stone stays in view, but the frame the camera still holds is stale: once the
            // freeze is seen, no result measures it; a thawed camera is measured again.
            QVERIFY(rig::Rig::instance().freezeCamera(rig::Rig::TopLargeSerial, true));
            const auto firstRefusal = [&] {
                for (int i = 0; i < infos.count(); ++i)
                    if (infos.at(i).at(0).toString() == reason)
                        return i;
                return -1;
            };
            QTRY_VERIFY_WITH_TIMEOUT(firstRefusal() >= 0 && readings.count() > firstRefusal(), 20000);
            QVERIFY(infos.count() >= readings.count());
            for (int i = firstRefusal(); i < readings.count(); ++i) {
                QCOMPARE(infos.at(i).at(0).toString(), reason);
                QCOMPARE(reading(readings.at(i)).CenterX, -1.0);
            }
            QVERIFY(rig::Rig::instance().freezeCamera(rig::Rig::TopLargeSerial, false));
            QTRY_VERIFY_WITH_TIMEOUT(readings.count() > 0 && reading(readings.at(readings.count() - 1)).CenterX > -1.0, 20000);
            return;
        }
        const auto firstAfterChange = [&] {
            for (int i = 0; i < infos.count(); ++i)
                if (infos.at(i).at(1).toLongLong() >= changedAtUs)
                    return i;
            return -1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(firstAfterChange() >= 0 && readings.count() >= firstAfterChange() + 3, 20000);
        QVERIFY(infos.count() >= readings.count());
        for (int i = firstAfterChange(); i < readings.count(); ++i) {
            QCOMPARE(infos.at(i).at(0).toString(), reason);
            QCOMPARE(reading(readings.at(i)).CenterX > -1.0, reason.isEmpty());
        }
    }

    void rejectedCannyApertureStopsTheSignal()
    {
        startStation(false);
        Reading r{};
        QVERIFY(nextReading(&r));
        tracker->CV_TL_Param_CannyThreshKernel = 4;
        // Let a frame in progress finish with the old value, then watch several frames go by.
        testsupport::QueuedSignalSpy settle(CamTL::AccessMemory(), &CamTL::newcapture);
        QTRY_VERIFY_WITH_TIMEOUT(settle.count() >= 3, 20000);
        testsupport::QueuedSignalSpy readings(tracker, &TopStoneTracker::NewTLProcessedReady);
        testsupport::QueuedSignalSpy frames(CamTL::AccessMemory(), &CamTL::newcapture);
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 8, 20000);
        QCOMPARE(readings.count(), 0);
        const QStringList failures =
            testsupport::logMessages().filter(QRegularExpression("^Top Stone Traker Exception.*Aperture size should be odd"));
        QCOMPARE(failures.size(), 1); // once, not once per frame
        // The result view shows the new frames, unmarked.
        QVERIFY(sameImage(tracker->getTLResultImage(), CamTL::AccessMemory()->getImage()));

        tracker->CV_TL_Param_CannyThreshKernel = 3;
        QVERIFY(nextReading(&r));
        QVERIFY(r.CenterX > -1.0);
    }

    void settingsAreLoadedAndSaved()
    {
        startStation(false, "PCVTLTHRMI:123.4567\nPCVTLIED:1\nPCVTLCSFMI:20000\n");
        QCOMPARE(double(tracker->CV_TL_Param_ThreshMin), 123.4567);
        QCOMPARE(bool(tracker->CV_TL_Param_InvertErodeDilate), true);
        QCOMPARE(int(tracker->CV_TL_Param_ContourSizeFMIN), 20000);
        QCOMPARE(int(tracker->CV_TL_Param_ContourSizeFMAX), 99999);
        QCOMPARE(int(tracker->CV_TL_Param_HC_MaxRad), 5000);
        QCOMPARE(int(tracker->CV_TS_Param_HC_MinRad), 92);
        tracker->SaveParams();
        QVERIFY(Registry::AccessMemory()->SaveReg());
        const QByteArray file = testsupport::readAll("Registry.dat");
        QVERIFY(file.contains("PCVTLTHRMI:123.457\n"));
        QVERIFY(file.contains("PCVTLTHMA:255\n"));
        QVERIFY(file.contains("PCVTLAM:10\n"));
        QVERIFY(!file.contains("PCVTLHC"));
        tracker->LoadParams();
        QCOMPARE(double(tracker->CV_TL_Param_ThreshMin), 123.457);
    }

    void destroyEndsAWaitingLoop()
    {
        // No camera bound: no frame ever comes, the worker only waits.
        rig::Rig::instance().reset();
        rig::Rig::instance().clearCameras();
        Logs::AccessMemory();
        Registry::AccessMemory();
        tracker = TopStoneTracker::AccessMemory();
        QTRY_VERIFY_WITH_TIMEOUT(tracker->isRunning(), 5000);
        QElapsedTimer clock;
        clock.start();
        TopStoneTracker::Destroy();
        tracker = nullptr;
        // Liveness, with a generous margin: the wait is woken at once (about a millisecond
        // on an idle machine).
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(testsupport::logMessages().last(), QString("Top Stone Tracker Destruction"));
    }
};

QTEST_MAIN(TestTopStoneTracker)
#include "tst_topstonetracker.moc"
