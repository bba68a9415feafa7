// The three camera classes over the rig: opening and its failure messages, areas of interest,
// subsampling, exposure, pixel clock, pacing, frame geometry and colours, one-shot saving,
// re-binding, and frames that never change once handed out.

#include "camerafixture.h"
#include "queuedsignalspy.h"
#include "sim/rig/rigscene.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <functional>
#include <memory>
#include <atomic>
#include <mutex>
#include <vector>

using rig::Rig;

Q_DECLARE_METATYPE(std::vector<int>)

namespace {

enum Role { TL, TS, MF };

CameraAcquisition* startCamera(Role role)
{
    CamVSharedConfig::AccessMemory();
    switch (role) {
    case TL: return CamTL::AccessMemory();
    case TS: return CamTS::AccessMemory();
    case MF: return CamMF::AccessMemory();
    }
    return nullptr;
}

const char* serialOf(Role role)
{
    return role == TL ? Rig::TopLargeSerial : role == TS ? Rig::TopStandardSerial : Rig::FrontSerial;
}

rig::View viewOf(Role role)
{
    return role == TL ? rig::View::TopLarge : role == TS ? rig::View::TopStandard : rig::View::Front;
}

void updateSpec(Role role, const std::function<void(rig::CameraSpec&)>& change)
{
    rig::CameraSpec sheet = Rig::defaultCamera(viewOf(role));
    change(sheet);
    Rig::instance().updateCamera(sheet);
}

cv::Mat colourPatches()
{
    cv::Mat pattern(1024, 1280, CV_8UC3);
    pattern(cv::Rect(0, 0, 640, 512)).setTo(cv::Scalar(20, 30, 220));
    pattern(cv::Rect(640, 0, 640, 512)).setTo(cv::Scalar(40, 200, 60));
    pattern(cv::Rect(0, 512, 640, 512)).setTo(cv::Scalar(210, 50, 30));
    pattern(cv::Rect(640, 512, 640, 512)).setTo(cv::Scalar(90, 120, 160));
    return pattern;
}

// Waits until the camera has announced `count` more frames, each within 20 s. newcapture()
// comes from the camera thread, hence the queued spy.
bool waitFrames(CameraAcquisition* camera, int count)
{
    testsupport::QueuedSignalSpy frames(camera, &CameraAcquisition::newcapture);
    return frames.waitForCount(count, 20000);
}

// The frames a camera thread announced, as it saw them. Made before any camera thread starts,
// so that the thread's use of it follows its making for the thread sanitizer too (a lambda's
// captures, made while the thread runs, reach it through Qt's connection lock, which the tool
// cannot see).
struct SeenFrames
{
    std::mutex mutex;
    std::vector<CameraFrame> frames;              // guarded by mutex
    std::atomic<CameraAcquisition*> camera{nullptr};
};
SeenFrames seenFrames;

} // namespace

class TestCameras : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<camerafixture::Session> work;
    QString alias(Role role) const
    {
        return role == TL ? " alias 'Top Large'" : role == TS ? " alias 'Top Standard'" : " alias 'Marking Front'";
    }

private slots:
    void init() { work.reset(new camerafixture::Session); }
    void cleanup() { work.reset(); }

    void defaultSerialNumbersAreNotFound()
    {
        CamVSharedConfig::AccessMemory();
        CamTL* tl = CamTL::AccessMemory();
        CamMF* mf = CamMF::AccessMemory();
        CamTS* ts = CamTS::AccessMemory();
        QVERIFY(camerafixture::logHasInOrder({"Loading Top Large Camera...", "Camera 1111111111 alias 'Top Large' not found",
                                              "Top Large Camera imported successfully", "Loading Marking Front Camera...",
                                              "Camera 2222222222 alias 'Marking Front' not found",
                                              "Marking Front Camera imported successfully", "Loading Top Standard Camera...",
                                              "Camera 0000000000 alias 'Top Standard' not found",
                                              "Top Standard Camera imported successfully"}));
        QCOMPARE(Rig::instance().callCount("is_InitCamera"), 0);
        // Only the Top Large thread runs, idling at 10 passes per second.
        QVERIFY(tl->isRunning());
        QVERIFY(!mf->isRunning());
        QVERIFY(!ts->isRunning());
        QCOMPARE(tl->getFPS(), 10.0);
        QVERIFY(tl->getImage().empty());
        QCOMPARE(tl->GetID(), QString("1111111111"));
        CamMF::Destroy();
        CamTS::Destroy();
        CamTL::Destroy();
        QVERIFY(camerafixture::logHasInOrder({"Marking Front Camera Destruction", "Top Standard Camera Destruction",
                                              "Top Large Camera Destruction"}));
    }

    void openingFailures_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("initialised");
        const QString open = "Open camera 4103117701 alias 'Top Large': ";
        QTest::newRow("InitCamera") << "is_InitCamera" << 3 << open + "Failed to InitCamera CODE 3" << false;
        QTest::newRow("GetCameraInfo") << "is_GetCameraInfo" << 2 << open + "Failed to GetCameraInfo CODE 2" << false;
        QTest::newRow("GetSensorInfo") << "is_GetSensorInfo" << 125 << open + "Failed to GetSensorInfo CODE 125" << false;
        QTest::newRow("AllocImageMem") << "is_AllocImageMem" << 34 << open + "Failed to AllocImageMem CODE 34" << false;
        QTest::newRow("SetImageMem") << "is_SetImageMem" << 49 << open + "Failed to SetImageMem CODE 49" << false;
        QTest::newRow("SetImageSize") << "is_SetImageSize" << 125 << open + "Failed to SetImageSize CODE 125" << false;
        QTest::newRow("SetColorConverter") << "is_SetColorConverter" << 155 << open + "Failed to SetColorConverter CODE 155" << false;
        QTest::newRow("CaptureVideo") << "is_CaptureVideo" << 12 << open + "Failed to CaptureVideo CODE 12" << false;
        QTest::newRow("colour mode, logged only")
            << "is_SetColorMode" << 155 << "Setting Color Mode Failed on Camera 4103117701 alias 'Top Large' CODE:155" << true;
        QTest::newRow("gain, logged only")
            << "is_SetAutoParameter" << 155 << "Failed to enable AGC on Camera 4103117701 alias 'Top Large' CODE 155" << true;
        QTest::newRow("pixel clock range, logged only")
            << "is_PixelClock" << 125 << "Get Pixel Clock Failed on Camera 4103117701 alias 'Top Large' CODE:125" << true;
        QTest::newRow("exposure range, logged only")
            << "is_Exposure" << 125 << "Get exposure range Failed on Camera 4103117701 alias 'Top Large' CODE:125" << true;
    }
    void openingFailures()
    {
        QFETCH(QString, call);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(bool, initialised);
        camerafixture::bindRigCameras(work->file("share"));
        Rig::instance().failCall(call.toStdString(), status, 1);
        CameraAcquisition* tl = startCamera(TL);
        QVERIFY2(camerafixture::logHasInOrder({"Loading Top Large Camera...", message, "Top Large Camera imported successfully"}),
                 qPrintable(testsupport::logMessages().join('\n')));
        if (initialised) {
            QVERIFY(waitFrames(tl, 2));
            return;
        }
        // A camera that could not be opened gives frames again after the next RegisterCam.
        QVERIFY(tl->getImage().empty());
        tl->RegisterCam(Rig::TopLargeSerial);
        QVERIFY(waitFrames(tl, 2));
        QCOMPARE(tl->getImage().size(), cv::Size(1024, 1280));
    }

    void firstStartUsesTheFullSensor_data()
    {
        QTest::addColumn<int>("role");
        QTest::addColumn<int>("frameWidth");
        QTest::addColumn<int>("frameHeight");
        QTest::addColumn<bool>("zeroStored");
        QTest::newRow("top large, turned") << int(TL) << 1024 << 1280 << false;
        QTest::newRow("top standard") << int(TS) << 1280 << 1024 << false;
        QTest::newRow("marking front") << int(MF) << 1280 << 1024 << false;
        QTest::newRow("marking front, 0 x 0 stored") << int(MF) << 1280 << 1024 << true;
    }
    void firstStartUsesTheFullSensor()
    {
        QFETCH(int, role);
        QFETCH(int, frameWidth);
        QFETCH(int, frameHeight);
        QFETCH(bool, zeroStored);
        camerafixture::bindRigCameras(work->file("share"));
        Registry* settings = Registry::AccessMemory();
        if (zeroStored) {
            for (const char* key : {"CAMMFAOIX", "CAMMFAOIY", "CAMMFAOIW", "CAMMFAOIH"})
                settings->SetKey(key, "0");
        }
        CameraAcquisition* camera = startCamera(Role(role));
        QVERIFY2(testsupport::logMessages().filter("AOI X").isEmpty(), qPrintable(testsupport::logMessages().join('\n')));
        QVERIFY(waitFrames(camera, 1));
        QCOMPARE(camera->getImage().cols, frameWidth);
        QCOMPARE(camera->getImage().rows, frameHeight);
        QCOMPARE(Rig::instance().state(serialOf(Role(role))).aoi, cv::Rect(0, 0, 1280, 1024));
        // What the page shows and "Save Params" stores is what the camera uses.
        QCOMPARE(QList<int>({camera->DefaultAOIX, camera->DefaultAOIY, camera->DefaultAOIW, camera->DefaultAOIH}),
                 QList<int>({0, 0, 1280, 1024}));
        camera->SaveParams();
        const QString prefix = role == TL ? "CAMTL" : role == TS ? "CAMTS" : "CAMMF";
        QCOMPARE(settings->GetKeyINT(prefix + "AOIW", -1), 1280);
        QCOMPARE(settings->GetKeyINT(prefix + "AOIH", -1), 1024);
    }

    void areaOfInterestSetRefusedAndReset()
    {
        camerafixture::bindRigCameras(work->file("share"));
        CameraAcquisition* tl = startCamera(TL);
        QVERIFY(tl->Aoi(100, 50, 640, 480));
        QCOMPARE(Rig::instance().state(Rig::TopLargeSerial).aoi, cv::Rect(100, 50, 640, 480));
        QCOMPARE(tl->GetWidth(), 640);
        QCOMPARE(tl->GetHeight(), 480);
        // Top Large frames are turned: as wide as the area is high.
        QTRY_COMPARE_WITH_TIMEOUT(tl->getImage().size(), cv::Size(480, 640), 20000);

        QVERIFY(!tl->Aoi(101, 50, 640, 480));
        QCOMPARE(testsupport::logMessages().constLast(),
                 QString("AOI X101 Y50 W640 H480 EW741/1280 EH530/1024 Failed on Camera 4103117701 alias 'Top Large' CODE:125"));
        QCOMPARE(tl->GetWidth(), 640);
        QCOMPARE(tl->GetHeight(), 480);
        QCOMPARE(QList<int>({tl->DefaultAOIX, tl->DefaultAOIY, tl->DefaultAOIW, tl->DefaultAOIH}), QList<int>({100, 50, 640, 480}));

        tl->SaveParams();
        Registry* settings = Registry::AccessMemory();
        QCOMPARE(settings->GetKeyINT("CAMTLAOIX", -1), 100);
        QCOMPARE(settings->GetKeyINT("CAMTLAOIH", -1), 480);
        QCOMPARE(settings->GetKeyINT("CAMTLEXPT", -1), 50);

        QVERIFY(tl->ResetAoi());
        QCOMPARE(Rig::instance().state(Rig::TopLargeSerial).aoi, cv::Rect(0, 0, 1280, 1024));
        QCOMPARE(tl->GetWidth(), 1280);
        QTRY_COMPARE_WITH_TIMEOUT(tl->getImage().size(), cv::Size(1024, 1280), 20000);
    }

    void storedAreaIsAppliedAtOpening()
    {
        camerafixture::bindRigCameras(work->file("share"));
        Registry* settings = Registry::AccessMemory();
        settings->SetKey("CAMTSAOIX", "64");
        settings->SetKey("CAMTSAOIY", "32");
        settings->SetKey("CAMTSAOIW", "320");
        settings->SetKey("CAMTSAOIH", "240");
        CameraAcquisition* ts = startCamera(TS);
        QCOMPARE(Rig::instance().state(Rig::TopStandardSerial).aoi, cv::Rect(64, 32, 320, 240));
        QTRY_COMPARE_WITH_TIMEOUT(ts->getImage().size(), cv::Size(320, 240), 20000);
    }

    void subSamplingModes_data()
    {
        QTest::addColumn<int>("factor");
        QTest::addColumn<std::vector<int>>("modes");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("failure");
        QTest::newRow("0 switches off, one call") << 0 << std::vector<int>{0x0000} << true << QString();
        QTest::newRow("2") << 2 << std::vector<int>{0x0002, 0x0001} << true << QString();
        QTest::newRow("3") << 3 << std::vector<int>{0x0020, 0x0010} << true << QString();
        QTest::newRow("4") << 4 << std::vector<int>{0x0008, 0x0004} << true << QString();
        QTest::newRow("5") << 5 << std::vector<int>{0x0080, 0x0040} << true << QString();
        QTest::newRow("6") << 6 << std::vector<int>{0x0200, 0x0100} << true << QString();
        QTest::newRow("8") << 8 << std::vector<int>{0x0800, 0x0400} << true << QString();
        QTest::newRow("16") << 16 << std::vector<int>{0x2000, 0x1000} << true << QString();
        QTest::newRow("7, no call") << 7 << std::vector<int>{} << false
                                    << "Sub sampling 7X (0X Disabling) Failed on Camera 4103117701 alias 'Top Large' CODE H:-1  V:-1";
        QTest::newRow("2, horizontal refused") << -2 << std::vector<int>{0x0002, 0x0001} << false
                                               << "Sub sampling 2X (0X Disabling) Failed on Camera 4103117701 alias 'Top Large' CODE H:125  V:0";
    }
    void subSamplingModes()
    {
        QFETCH(int, factor);
        QFETCH(std::vector<int>, modes);
        QFETCH(bool, ok);
        QFETCH(QString, failure);
        camerafixture::bindRigCameras(work->file("share"));
        CameraAcquisition* tl = startCamera(TL);
        Rig::instance().clearCalls();
        if (factor < 0) {
            factor = -factor;
            Rig::instance().failCall("is_SetSubSampling", 125, 1);
        }
        QCOMPARE(tl->SubSampling(factor), ok);
        std::vector<int> asked;
        for (const rig::CallRecord& call : Rig::instance().calls("is_SetSubSampling"))
            asked.push_back(static_cast<int>(call.args.at(0)));
        QCOMPARE(asked, modes);
        if (!failure.isEmpty())
            QCOMPARE(testsupport::logMessages().constLast(), failure);
        // The cut of the frames does not change with subsampling.
        QCOMPARE(tl->GetWidth(), 1280);
    }

    void exposureAsPercentOfTheRange_data()
    {
        QTest::addColumn<int>("percent");
        QTest::addColumn<double>("milliseconds");
        QTest::addColumn<bool>("ok");
        QTest::newRow("50 %") << 50 << 50.1 << true;
        QTest::newRow("0 %") << 0 << 0.1 << true;
        QTest::newRow("100 %") << 100 << 100.1 << true;
        QTest::newRow("150 %, refused by the camera") << 150 << 50.1 << false;
    }
    void exposureAsPercentOfTheRange()
    {
        QFETCH(int, percent);
        QFETCH(double, milliseconds);
        QFETCH(bool, ok);
        camerafixture::bindRigCameras(work->file("share"));
        updateSpec(TS, [](rig::CameraSpec& sheet) {
            sheet.exposureMinMs = 0.1;
            sheet.exposureMaxMs = 100.1;
        });
        CameraAcquisition* ts = startCamera(TS);
        QCOMPARE(ts->DefaultExposureTime, 50); // the default, applied at opening
        QCOMPARE(ts->SetExposureTime(percent), ok);
        QCOMPARE(Rig::instance().state(Rig::TopStandardSerial).exposureMs, milliseconds);
        QCOMPARE(ts->DefaultExposureTime, ok ? percent : 50);
        if (!ok)
            QCOMPARE(testsupport::logMessages().constLast(),
                     QString("Setting exposure time 150 Failed on Camera 4103117703 alias 'Top Standard' CODE:125"));
    }

    void pixelClockIsShared_data()
    {
        QTest::addColumn<int>("cameraCount");
        QTest::addColumn<uint>("maxClock");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<uint>("applied");
        QTest::newRow("two cameras, 43") << 2 << 43u
                                         << QStringList({"2 Cameras connected.. Setting pixel clock to 21/43",
                                                         "Pixel Clock Setted as 21 on Camera 4103117701 alias 'Top Large' CODE:0"})
                                         << 21u;
        QTest::newRow("three cameras, 86") << 3 << 86u
                                           << QStringList({"3 Cameras connected.. Setting pixel clock to 28/86",
                                                           "Pixel Clock Setted as 28 on Camera 4103117701 alias 'Top Large' CODE:0"})
                                           << 28u;
        QTest::newRow("share below the camera's minimum")
            << 3 << 12u
            << QStringList({"3 Cameras connected.. Setting pixel clock to 4/12",
                            "Setting Pixel Clock4 Failed on Camera 4103117701 alias 'Top Large' CODE:125"})
            << 12u;
    }
    void pixelClockIsShared()
    {
        QFETCH(int, cameraCount);
        QFETCH(uint, maxClock);
        QFETCH(QStringList, log);
        QFETCH(uint, applied);
        camerafixture::bindRigCameras(work->file("share"));
        if (cameraCount < 3)
            Rig::instance().removeCamera(Rig::TopStandardSerial);
        updateSpec(TL, [&](rig::CameraSpec& sheet) { sheet.pixelClockMax = maxClock; });
        startCamera(TL);
        QVERIFY2(camerafixture::logHasInOrder(log), qPrintable(testsupport::logMessages().join('\n')));
        QCOMPARE(Rig::instance().state(Rig::TopLargeSerial).pixelClock, applied);
    }

    void frameRateFollowsTheCamera_data()
    {
        QTest::addColumn<int>("role");
        QTest::addColumn<double>("cameraRate");
        QTest::newRow("top large") << int(TL) << 60.0;
        QTest::newRow("marking front") << int(MF) << 40.0;
        QTest::newRow("top standard") << int(TS) << 30.0;
    }
    void frameRateFollowsTheCamera()
    {
        QFETCH(int, role);
        QFETCH(double, cameraRate);
        camerafixture::bindRigCameras(work->file("share"));
        updateSpec(Role(role), [&](rig::CameraSpec& sheet) { sheet.minFrameTimeS = 1.0 / cameraRate; });
        // Until the camera answers its frame-time range, the pace stays at 10 per second.
        Rig::instance().failCall("is_GetFrameTimeRange", 125, 3);
        CameraAcquisition* camera = startCamera(Role(role));
        QVERIFY(waitFrames(camera, 1));
        // The rate the camera runs at with the exposure, area and shared pixel clock it was given.
        const double frameTime = Rig::instance().state(serialOf(Role(role))).frameTimeS;
        QVERIFY(frameTime > 1.0 / cameraRate);
        QTRY_VERIFY_WITH_TIMEOUT(std::abs(camera->getFPS() - 1.0 / frameTime) < 1e-9, 20000);
        // A smaller area reads out faster.
        QVERIFY(camera->Aoi(0, 0, 1280, 256));
        QTRY_VERIFY_WITH_TIMEOUT(camera->getFPS() > 1.2 / frameTime, 20000);
        const QString on = QString(serialOf(Role(role))) + alias(Role(role));
        QCOMPARE(testsupport::logMessages().count("Get frame time range Failed on Camera " + on + " CODE:125"), 1);
        QCOMPARE(testsupport::logMessages().count("Get frame time range failure on Camera " + on + " over after 3 failed passes"), 1);
    }

    void framesArePublishedOnceWithTheirCaptureTime_data()
    {
        QTest::addColumn<int>("role");
        QTest::newRow("top large") << int(TL);
        QTest::newRow("marking front") << int(MF);
    }
    // Each frame number once, in order; its capture time never after the true start of its
    // exposure (the rig's own record), and not more than three frame times before it. Once the
    // clock has seen the camera's latency settle, less than a frame time before it (the first
    // frames arrive sooner, taken before the station set the exposure: a clock that kept their
    // delay would put every later frame more than a frame early, and every wait for a frame
    // after a motion would take a frame longer).
    void framesArePublishedOnceWithTheirCaptureTime()
    {
        QFETCH(int, role);
        camerafixture::bindRigCameras(work->file("share"));
        CameraAcquisition* camera = startCamera(Role(role));
        {
            std::lock_guard<std::mutex> seenLock(seenFrames.mutex);
            seenFrames.frames.clear();
        }
        seenFrames.camera = camera;
        connect(
            camera, &CameraAcquisition::newcapture, camera,
            [] {
                CameraAcquisition* source = seenFrames.camera.load();
                if (!source)
                    return;
                std::lock_guard<std::mutex> seenLock(seenFrames.mutex);
                seenFrames.frames.push_back(source->getFrame());
            },
            Qt::DirectConnection);
        const int settled = CaptureClock::DelaysKept + 1;
        const bool enough = waitFrames(camera, settled + 12);
        seenFrames.camera = nullptr;
        QVERIFY(enough);
        const double frameTimeUs = Rig::instance().state(serialOf(Role(role))).frameTimeS * 1e6;
        SeenFrames* seen = &seenFrames;
        std::lock_guard<std::mutex> seenLock(seen->mutex);
        QVERIFY(seen->frames.size() >= std::size_t(settled + 12));
        for (size_t i = 0; i < seen->frames.size(); ++i) {
            const CameraFrame& frame = seen->frames[i];
            QVERIFY(!frame.image.empty());
            if (i > 0)
                QVERIFY(frame.frameNumber > seen->frames[i - 1].frameNumber);
            const long long exposed = Rig::instance().exposureTimeUs(serialOf(Role(role)), static_cast<unsigned long long>(frame.frameNumber));
            QVERIFY(exposed > 0);
            QVERIFY2(frame.captureTimeUs <= exposed && frame.captureTimeUs >= exposed - 3 * frameTimeUs,
                     qPrintable(QString("frame %1: %2 us from its exposure").arg(frame.frameNumber).arg(frame.captureTimeUs - exposed)));
            if (i >= std::size_t(settled))
                QVERIFY2(frame.captureTimeUs > exposed - frameTimeUs,
                         qPrintable(QString("frame %1: %2 us from its exposure").arg(frame.frameNumber).arg(frame.captureTimeUs - exposed)));
        }
    }

    void framesKeepTheirColoursAndTurn_data()
    {
        QTest::addColumn<int>("role");
        QTest::newRow("top large: B, G, R, turned clockwise") << int(TL);
        QTest::newRow("top standard: B, G, R") << int(TS);
        QTest::newRow("marking front: B, G, R") << int(MF);
    }
    void framesKeepTheirColoursAndTurn()
    {
        QFETCH(int, role);
        camerafixture::bindRigCameras(work->file("share"));
        Rig::instance().setNoise(false);
        const cv::Mat pattern = colourPatches(); // four different quadrants: the turn shows
        Rig::instance().setTestPattern(serialOf(Role(role)), pattern);
        CameraAcquisition* camera = startCamera(Role(role));
        QVERIFY(waitFrames(camera, 1));
        cv::Mat expected;
        if (role == TL)
            cv::rotate(pattern, expected, cv::ROTATE_90_CLOCKWISE);
        else
            expected = pattern;
        const cv::Mat frame = camera->getImage();
        QCOMPARE(frame.size(), expected.size());
        QCOMPARE(frame.type(), CV_8UC3);
        for (int row = 0; row < 4; ++row) {
            const cv::Point at((row % 2) * frame.cols / 2 + frame.cols / 4, (row / 2) * frame.rows / 2 + frame.rows / 4);
            QCOMPARE(frame.at<cv::Vec3b>(at), expected.at<cv::Vec3b>(at));
        }
        if (role == TL) {
            // The sensor's top-left quadrant (red) ends up at the frame's top right.
            QCOMPARE(frame.at<cv::Vec3b>(100, 1000), cv::Vec3b(20, 30, 220));
        }
    }

    void topLargeFramesAreTheDecodedSensorTurned_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::newRow("full sensor") << QRect(0, 0, 1280, 1024);
        QTest::newRow("inner area") << QRect(100, 50, 640, 480);
        QTest::newRow("height of 2 mod 4") << QRect(0, 2, 320, 242);
    }
    void topLargeFramesAreTheDecodedSensorTurned()
    {
        QFETCH(QRect, area);
        camerafixture::bindRigCameras(work->file("share"));
        Rig::instance().setNoise(false);
        cv::Mat pattern(1024, 1280, CV_8UC3);
        cv::RNG(17).fill(pattern, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
        Rig::instance().setTestPattern(Rig::TopLargeSerial, pattern);
        CameraAcquisition* tl = startCamera(TL);
        QVERIFY(tl->Aoi(area.x(), area.y(), area.width(), area.height()));
        // What the sensor delivers for that area, decoded as the sensor lies, then turned.
        cv::Mat mosaic;
        rig::mosaic(pattern, rig::BayerLayout::RGGB, mosaic);
        cv::Mat expected;
        cv::cvtColor(mosaic(cv::Rect(area.x(), area.y(), area.width(), area.height())), expected, cv::COLOR_BayerBG2BGR);
        cv::rotate(expected, expected, cv::ROTATE_90_CLOCKWISE);
        QTRY_COMPARE_WITH_TIMEOUT(tl->getImage().size(), expected.size(), 20000);
        // The first frame of the new size may come from a pass that read the memory before the
        // area changed and its size after; that frame is announced after it is published, so
        // the second announcement from here on is a frame sampled wholly after the change.
        QVERIFY(waitFrames(tl, 2));
        QCOMPARE(cv::norm(tl->getImage(), expected, cv::NORM_INF), 0.0);
    }

    void saveCaptureWritesTheNextFrameOnce_data()
    {
        QTest::addColumn<int>("role");
        QTest::newRow("top large") << int(TL);
        QTest::newRow("top standard") << int(TS);
    }
    void saveCaptureWritesTheNextFrameOnce()
    {
        QFETCH(int, role);
        camerafixture::bindRigCameras(work->file("share"));
        CameraAcquisition* camera = startCamera(Role(role));
        QVERIFY(waitFrames(camera, 1));
        const QString path = work->file("Default.png");

        // Frames as announced, each with whether the file was there by then; filled in the
        // camera thread, so shared with the connection rather than kept on this stack.
        struct Seen
        {
            std::mutex mutex;
            std::vector<std::pair<cv::Mat, bool>> frames;
        };
        auto seen = std::make_shared<Seen>();
        QMetaObject::Connection watch = connect(
            camera, &CameraAcquisition::newcapture, camera,
            [seen, camera, path] {
                std::lock_guard<std::mutex> seenLock(seen->mutex);
                seen->frames.emplace_back(camera->getImage(), QFile::exists(path));
            },
            Qt::DirectConnection);
        camera->SaveCapture("Default.png");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path), 20000);
        QVERIFY(waitFrames(camera, 1));
        cv::Mat written;
        {
            std::lock_guard<std::mutex> seenLock(seen->mutex);
            for (const auto& entry : seen->frames) {
                if (entry.second) {
                    written = entry.first;
                    break;
                }
            }
        }
        disconnect(watch);
        QVERIFY(!written.empty());
        const cv::Mat trueColour = written;
        const cv::Mat file = cv::imread(path.toStdString(), cv::IMREAD_COLOR);
        QCOMPARE(file.size(), trueColour.size());
        QCOMPARE(cv::norm(file, trueColour, cv::NORM_INF), 0.0);

        QVERIFY(QFile::remove(path));
        QVERIFY(waitFrames(camera, 3));
        QVERIFY(!QFile::exists(path));
    }

    void registerCamReopens()
    {
        camerafixture::bindRigCameras(work->file("share"));
        CameraAcquisition* tl = startCamera(TL);
        QVERIFY(waitFrames(tl, 1));
        QCOMPARE(Rig::instance().callCount("is_InitCamera", Rig::TopLargeSerial), 1);

        tl->RegisterCam(Rig::TopLargeSerial);
        QCOMPARE(Rig::instance().callCount("is_ExitCamera", Rig::TopLargeSerial), 1);
        QCOMPARE(Rig::instance().callCount("is_InitCamera", Rig::TopLargeSerial), 2);
        QVERIFY(waitFrames(tl, 2));

        rig::CameraSpec spare = Rig::defaultCamera(rig::View::TopLarge);
        spare.serial = "5000000004";
        spare.deviceId = 9;
        Rig::instance().addCamera(spare);
        Rig::instance().setNoise(false);
        Rig::instance().setTestPattern(spare.serial, cv::Mat(1024, 1280, CV_8UC3, cv::Scalar(10, 200, 30)));
        CamVSharedConfig::AccessMemory()->RefreshCameraList();
        tl->RegisterCam("5000000004");
        QCOMPARE(tl->GetID(), QString("5000000004"));
        QCOMPARE(Registry::AccessMemory()->GetKeySTR("CAMTLID", ""), QString("5000000004"));
        QCOMPARE(Rig::instance().state(Rig::TopLargeSerial).open, false);
        QVERIFY(waitFrames(tl, 2));
        QCOMPARE(tl->getImage().at<cv::Vec3b>(500, 500), cv::Vec3b(10, 200, 30));
    }

    void aFrameHandedOutNeverChanges_data()
    {
        QTest::addColumn<int>("role");
        QTest::newRow("top large") << int(TL);
        QTest::newRow("top standard") << int(TS);
        QTest::newRow("marking front") << int(MF);
    }
    void aFrameHandedOutNeverChanges()
    {
        QFETCH(int, role);
        camerafixture::bindRigCameras(work->file("share"));
        CameraAcquisition* camera = startCamera(Role(role));
        QVERIFY(waitFrames(camera, 1));
        const cv::Mat held = camera->getImage();
        const cv::Mat copy = held.clone();
        QVERIFY(waitFrames(camera, 6));
        QCOMPARE(cv::norm(held, copy, cv::NORM_INF), 0.0);
        // Later frames are other images (the sensor noise differs) in other buffers.
        const cv::Mat latest = camera->getImage();
        QVERIFY(latest.data != held.data);
        QVERIFY(cv::norm(latest, held, cv::NORM_L1) > 0.0);
    }

    // The failure of every pass is logged when it starts, and when it ends with its count.
    void unpluggedCameraIsReportedOnceNotEveryPass()
    {
        camerafixture::bindRigCameras(work->file("share"));
        CameraAcquisition* ts = startCamera(TS);
        QVERIFY(waitFrames(ts, 1));
        Rig::instance().removeCamera(Rig::TopStandardSerial);
        const QString line = "Faild to get image memory Camera 4103117703 alias 'Top Standard' Code Error 1";
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::logMessages().contains(line), 20000);
        const int calls = Rig::instance().callCount("is_InquireImageMem", Rig::TopStandardSerial);
        QTRY_VERIFY_WITH_TIMEOUT(Rig::instance().callCount("is_InquireImageMem", Rig::TopStandardSerial) >= calls + 10, 20000);
        QCOMPARE(testsupport::logMessages().count(line), 1);
        QVERIFY(!ts->getImage().empty()); // the last frame made stays available
        CamTS::Destroy();
        const QStringList ended = testsupport::logMessages().filter(
            QRegularExpression("^Get image memory failure on Camera 4103117703 alias 'Top Standard' ended by closing the camera "
                               "after [0-9]+ failed passes$"));
        QCOMPARE(ended.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestCameras)
#include "tst_cameras.moc"
