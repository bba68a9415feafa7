// The GenICam backend against Aravis's own simulated camera ("Fake_1", serial "1"), filled with
// the rig's view: the Top Large role bound to it through its settings, as the station binds it.

#include "camera/genicamsimulation.h"
#include "camerafixture.h"

#include <QtTest>

#include <opencv2/core.hpp>

using camerafixture::Session;

namespace {
const char* const FakeSerial = "1";

double meanBrightness(const cv::Mat& frame) { return cv::mean(frame)[0] + cv::mean(frame)[1] + cv::mean(frame)[2]; }
} // namespace

class TestGenICam : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Session> session;
    CamTL* camera = nullptr;

    // The next frame newer than `after`, or an empty one after a generous wait.
    CameraFrame nextFrame(qint64 after = -1)
    {
        CameraFrame frame;
        const bool arrived = QTest::qWaitFor(
            [&]() {
                frame = camera->getFrame();
                return !frame.image.empty() && frame.frameNumber > after;
            },
            10000);
        return arrived ? frame : CameraFrame();
    }
    // The first frame whose exposure started after now (a camera delivers with some delay).
    CameraFrame frameFromNow()
    {
        const qint64 now = CameraAcquisition::SteadyNowUs();
        CameraFrame frame;
        const bool arrived = QTest::qWaitFor(
            [&]() {
                frame = camera->getFrame();
                return !frame.image.empty() && frame.captureTimeUs > now;
            },
            10000);
        return arrived ? frame : CameraFrame();
    }

private slots:
    void init()
    {
        session.reset(new Session);
        Registry* settings = Registry::AccessMemory();
        settings->SetKey("CAMTLBACKEND", "GENICAM");
        settings->SetKey("CAMTLID", FakeSerial);
        CamVSharedConfig::AccessMemory();
        camera = CamTL::AccessMemory();
    }

    void cleanup()
    {
        genicamsimulation::Unplug(false);
        camera = nullptr;
        session.reset();
    }

    void opensBySerialWithTheFullSensor()
    {
        QTRY_VERIFY_WITH_TIMEOUT(camerafixture::logHasInOrder(
                                     {QStringLiteral("Top Large Camera 1 Initialized W[1280] H[1024] PF[BayerRG8] GenICam Fake_1")}),
                                 10000);
        QCOMPARE(camera->GetWidth(), 1280);
        QCOMPARE(camera->GetHeight(), 1024);
        QCOMPARE(camera->DefaultAOIW, 1280);
        // Turned clockwise like the SDK's Top Large frames, and in colour.
        const CameraFrame frame = nextFrame();
        QCOMPARE(frame.image.cols, 1024);
        QCOMPARE(frame.image.rows, 1280);
        QCOMPARE(frame.image.type(), CV_8UC3);
        QVERIFY(meanBrightness(frame.image) > 30.0);
        // The window's list holds the GenICam camera after a refresh.
        CamVSharedConfig::AccessMemory()->RefreshCameraList();
        QVERIFY(CamVSharedConfig::AccessMemory()->GetCameraList().contains(FakeSerial));
    }

    void framesCountAndCarryTheirCaptureTime()
    {
        CameraFrame first = nextFrame();
        QVERIFY(!first.image.empty());
        qint64 previous = first.frameNumber;
        for (int i = 0; i < 5; ++i) {
            const CameraFrame frame = nextFrame(previous);
            QVERIFY(!frame.image.empty());
            QVERIFY(frame.frameNumber > previous);
            // Captured before it was seen, and not long before.
            const qint64 nowUs = CameraAcquisition::SteadyNowUs();
            QVERIFY(frame.captureTimeUs <= nowUs);
            QVERIFY2(nowUs - frame.captureTimeUs < 2000000, qPrintable(QString::number(nowUs - frame.captureTimeUs)));
            QVERIFY(frame.captureTimeUs > first.captureTimeUs);
            previous = frame.frameNumber;
        }
    }

    void areaOfInterestAndExposureRoundTrip()
    {
        QVERIFY(!nextFrame().image.empty());
        QVERIFY(camera->Aoi(100, 50, 640, 480));
        QCOMPARE(camera->GetWidth(), 640);
        QCOMPARE(camera->GetHeight(), 480);
        QTRY_VERIFY_WITH_TIMEOUT(camera->getImage().cols == 480 && camera->getImage().rows == 640, 10000);
        // Beyond the sensor: refused, logged, the area in use kept.
        QVERIFY(!camera->Aoi(700, 0, 640, 480));
        QVERIFY(testsupport::logMessages().contains(
            QStringLiteral("AOI X700 Y0 W640 H480 EW1340/1280 EH480/1024 Failed on Camera 1 alias 'Top Large': outside the sensor")));
        QCOMPARE(camera->DefaultAOIX, 100);
        QVERIFY(camera->ResetAoi());

        // A longer exposure gives brighter frames (the simulated camera exposes like the rig's).
        QVERIFY(camera->SetExposureTime(20));
        const double dim = meanBrightness(frameFromNow().image);
        QVERIFY(camera->SetExposureTime(80));
        const double bright = meanBrightness(frameFromNow().image);
        QCOMPARE(camera->DefaultExposureTime, 80);
        QVERIFY2(bright > dim * 1.5, qPrintable(QStringLiteral("%1 vs %2").arg(bright).arg(dim)));
    }

    void cameraThatDisappearsAndComesBack()
    {
        QVERIFY(!nextFrame().image.empty());
        genicamsimulation::Unplug(true);
        QTRY_VERIFY_WITH_TIMEOUT(camera->isFrozen(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::logMessages().contains(QStringLiteral("GenICam control lost on Camera 1 alias 'Top Large'")),
                                 10000);
        // Once, not on every pass.
        QCOMPARE(testsupport::logMessages().count(QStringLiteral("GenICam control lost on Camera 1 alias 'Top Large'")), 1);

        // Not listed while away: "Apply" cannot open it.
        camera->RegisterCam(FakeSerial);
        QVERIFY(testsupport::logMessages().contains(QStringLiteral("Camera 1 alias 'Top Large' not found")));

        // Plugged back: "Apply" opens it again and frames flow.
        genicamsimulation::Unplug(false);
        const qint64 before = CameraAcquisition::SteadyNowUs();
        camera->RegisterCam(FakeSerial);
        CameraFrame frame;
        QVERIFY(QTest::qWaitFor(
            [&]() {
                frame = camera->getFrame();
                return !frame.image.empty() && frame.captureTimeUs > before;
            },
            10000));
        QVERIFY(!camera->isFrozen());
    }
};

QTEST_MAIN(TestGenICam)
#include "tst_genicam.moc"
