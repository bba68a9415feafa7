// The simulated rig seen through the camera SDK calls, as the station's camera classes use
// them: enumeration, opening, areas of interest, pacing, noise, colour filters, failure
// injection, and a scene that follows the axes the way the alignment formulas assume.

#include "sim/rig/realisticscene.h"
#include "sim/rig/rig.h"
#include "sim/rig/rigscene.h"
#include "sim/rig/rigsdk.h"

#include <QtTest>

#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

using rig::Rig;

namespace {

constexpr double Pi = 3.14159265358979323846;

// One camera opened through the SDK, with one image memory of sensor size, capturing.
class Opened
{
public:
    Opened(unsigned deviceId, int bits, bool raw)
    {
        handle = deviceId | IS_USE_DEVICE_ID;
        status = is_InitCamera(&handle, nullptr);
        if (status != IS_SUCCESS)
            return;
        if (raw)
            is_SetColorMode(handle, IS_CM_SENSOR_RAW8);
        SENSORINFO sensor;
        is_GetSensorInfo(handle, &sensor);
        width = static_cast<int>(sensor.nMaxWidth);
        height = static_cast<int>(sensor.nMaxHeight);
        is_AllocImageMem(handle, width, height, bits, &memory, &memoryId);
        is_SetImageMem(handle, memory, memoryId);
        status = is_CaptureVideo(handle, IS_WAIT);
    }
    ~Opened()
    {
        if (status == IS_SUCCESS || memory)
            is_ExitCamera(handle);
    }
    // The memory as it stands after one query (which may bring a new frame).
    cv::Mat read(INT* queryStatus = nullptr)
    {
        INT w = 0, h = 0, bits = 0, pitch = 0;
        const INT s = is_InquireImageMem(handle, memory, memoryId, &w, &h, &bits, &pitch);
        if (queryStatus)
            *queryStatus = s;
        if (s != IS_SUCCESS)
            return cv::Mat();
        lastPitch = pitch;
        return cv::Mat(h, w, bits == 8 ? CV_8UC1 : CV_8UC3, memory, static_cast<size_t>(pitch)).clone();
    }

    HIDS handle = 0;
    INT status = IS_NO_SUCCESS;
    char* memory = nullptr;
    INT memoryId = 0;
    int width = 0;
    int height = 0;
    int lastPitch = 0;
};

// A camera whose frames take a microsecond: every read brings a new one.
void makeInstant(rig::CameraSpec& sheet)
{
    sheet.minFrameTimeS = 1e-6;
    sheet.exposureMinMs = 0.0;
    sheet.exposureMaxMs = 1e-4;
}

void fastFrames(const char* serial)
{
    for (rig::CameraSpec sheet : Rig::instance().cameras()) {
        if (sheet.serial == serial) {
            makeInstant(sheet);
            Rig::instance().updateCamera(sheet);
        }
    }
}

UEYEIMAGEINFO imageInfo(Opened& camera)
{
    UEYEIMAGEINFO info;
    std::memset(&info, 0, sizeof info);
    if (is_GetImageInfo(camera.handle, camera.memoryId, &info, sizeof info) != IS_SUCCESS)
        info.u64FrameNumber = 0;
    return info;
}

// The Top Large view as the station sees it: demosaiced and turned clockwise.
cv::Mat uprightTopLarge(Opened& camera)
{
    cv::Mat bgr;
    cv::cvtColor(camera.read(), bgr, cv::COLOR_BayerBG2BGR);
    cv::rotate(bgr, bgr, cv::ROTATE_90_CLOCKWISE);
    return bgr;
}

struct Blob
{
    cv::Point2d centre{-1, -1};
    double top = -1;
    double area = 0;
};

// The stone as a thresholded outline, measured like the station's tracker does.
Blob measureStone(const cv::Mat& bgr)
{
    cv::Mat grey, mask;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::threshold(grey, mask, 164.7, 255, cv::THRESH_BINARY);
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    Blob blob;
    for (const auto& contour : contours) {
        const cv::Moments m = cv::moments(contour);
        if (m.m00 <= blob.area)
            continue;
        blob.area = m.m00;
        blob.centre = cv::Point2d(m.m10 / m.m00, m.m01 / m.m00);
        blob.top = cv::boundingRect(contour).y;
    }
    return blob;
}

rig::Scene axes(double x, double y, double a, double zii)
{
    rig::Scene scene = Rig::instance().scene();
    scene.axes.x = x;
    scene.axes.y = y;
    scene.axes.a = a;
    scene.axes.zii = zii;
    return scene;
}

// First row from the top whose mean grey level reaches the girdle's brightness.
int girdleTopRow(const cv::Mat& raw)
{
    cv::Mat bgr, grey;
    cv::cvtColor(raw, bgr, cv::COLOR_BayerRG2BGR);
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    for (int r = 0; r < grey.rows; ++r)
        if (cv::mean(grey.row(r))[0] > 150.0)
            return r;
    return -1;
}

// Steepest step of the brightness down a narrow vertical strip: the girdle's edges are steep
// in focus and spread out of it.
double sharpness(const cv::Mat& raw)
{
    cv::Mat bgr, grey, profile;
    cv::cvtColor(raw, bgr, cv::COLOR_BayerRG2BGR);
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::reduce(grey(cv::Rect(630, 0, 20, grey.rows)), profile, 1, cv::REDUCE_AVG, CV_64F);
    double steepest = 0.0;
    for (int r = 1; r < profile.rows; ++r)
        steepest = std::max(steepest, std::abs(profile.at<double>(r) - profile.at<double>(r - 1)));
    return steepest;
}

cv::Mat colourPatches(cv::Size size)
{
    // Four patches: red, green, blue, and a warm grey.
    cv::Mat pattern(size, CV_8UC3);
    const int w = size.width / 2;
    const int h = size.height / 2;
    pattern(cv::Rect(0, 0, w, h)).setTo(cv::Scalar(20, 30, 220));
    pattern(cv::Rect(w, 0, size.width - w, h)).setTo(cv::Scalar(40, 200, 60));
    pattern(cv::Rect(0, h, w, size.height - h)).setTo(cv::Scalar(210, 50, 30));
    pattern(cv::Rect(w, h, size.width - w, size.height - h)).setTo(cv::Scalar(90, 120, 160));
    return pattern;
}

cv::Mat randomPattern(cv::Size size, unsigned seed)
{
    cv::Mat pattern(size, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(pattern, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    return pattern;
}

} // namespace

class TestRig : public QObject
{
    Q_OBJECT

private slots:
    void init() { Rig::instance().reset(); }
    void cleanup() { Rig::instance().reset(); }

    void defaultRigListsThreeCameras()
    {
        INT count = 0;
        QCOMPARE(is_GetNumberOfCameras(&count), IS_SUCCESS);
        QCOMPARE(count, 3);
        std::vector<unsigned char> storage(sizeof(UEYE_CAMERA_LIST) + 2 * sizeof(UEYE_CAMERA_INFO));
        auto* list = reinterpret_cast<UEYE_CAMERA_LIST*>(storage.data());
        list->dwCount = 3;
        QCOMPARE(is_GetCameraList(list), IS_SUCCESS);
        QCOMPARE(list->dwCount, ULONG(3));
        QStringList listed;
        for (ULONG i = 0; i < list->dwCount; ++i)
            listed << QString("%1/%2").arg(list->uci[i].SerNo).arg(list->uci[i].dwDeviceID);
        QCOMPARE(listed, QStringList({"4103117701/1", "4103117702/2", "4103117703/3"}));

        // A record with room for fewer entries gets only those.
        list->dwCount = 2;
        QCOMPARE(is_GetCameraList(list), IS_SUCCESS);
        QCOMPARE(list->dwCount, ULONG(2));
    }

    void sensorsOfTheDefaultCameras_data()
    {
        QTest::addColumn<unsigned>("device");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<double>("framesPerSecond");
        // Opened at mid-range exposure: 8.325 ms + 16.617 ms readout, 16.675 + 33.283 ms.
        QTest::newRow("top large") << 1u << "4103117701" << 40.1;
        QTest::newRow("marking front") << 2u << "4103117702" << 40.1;
        QTest::newRow("top standard") << 3u << "4103117703" << 20.0;
    }
    void sensorsOfTheDefaultCameras()
    {
        QFETCH(unsigned, device);
        QFETCH(QString, serial);
        QFETCH(double, framesPerSecond);
        Opened camera(device, 8, true);
        QCOMPARE(camera.status, IS_SUCCESS);
        QCOMPARE(camera.width, 1280);
        QCOMPARE(camera.height, 1024);
        BOARDINFO board;
        QCOMPARE(is_GetCameraInfo(camera.handle, &board), IS_SUCCESS);
        QCOMPARE(QString(board.SerNo), serial.left(11));
        double minTime = 0, maxTime = 0, step = 0;
        QCOMPARE(is_GetFrameTimeRange(camera.handle, &minTime, &maxTime, &step), IS_SUCCESS);
        QVERIFY2(std::abs(1.0 / minTime - framesPerSecond) < 0.05, qPrintable(QString::number(1.0 / minTime)));
    }

    void openingRules_data()
    {
        QTest::addColumn<unsigned>("handle");
        QTest::addColumn<bool>("openTwice");
        QTest::addColumn<int>("expected");
        QTest::newRow("by device ID") << (2u | IS_USE_DEVICE_ID) << false << IS_SUCCESS;
        QTest::newRow("first free camera") << 0u << false << IS_SUCCESS;
        QTest::newRow("unknown device") << (9u | IS_USE_DEVICE_ID) << false << IS_CANT_OPEN_DEVICE;
        QTest::newRow("not found (-1)") << static_cast<unsigned>(-1) << false << IS_CANT_OPEN_DEVICE;
        QTest::newRow("already open") << (1u | IS_USE_DEVICE_ID) << true << IS_CANT_OPEN_DEVICE;
    }
    void openingRules()
    {
        QFETCH(unsigned, handle);
        QFETCH(bool, openTwice);
        QFETCH(int, expected);
        HIDS first = handle;
        if (openTwice)
            QCOMPARE(is_InitCamera(&first, nullptr), IS_SUCCESS);
        HIDS second = handle;
        QCOMPARE(is_InitCamera(&second, nullptr), expected);
        if (expected == IS_SUCCESS)
            QCOMPARE(is_ExitCamera(second), IS_SUCCESS);
        if (openTwice)
            QCOMPARE(is_ExitCamera(first), IS_SUCCESS);
        QCOMPARE(is_SetColorMode(0x7777, IS_CM_SENSOR_RAW8), IS_INVALID_CAMERA_HANDLE);
    }

    void injectedFailuresCountDownPerCamera()
    {
        Opened top(1, 8, true);
        Opened front(2, 8, true);
        Rig::instance().failCall("is_SetColorMode", 77, 2, Rig::TopLargeSerial);
        QCOMPARE(is_SetColorMode(front.handle, IS_CM_SENSOR_RAW8), IS_SUCCESS);
        QCOMPARE(is_SetColorMode(top.handle, IS_CM_SENSOR_RAW8), 77);
        QCOMPARE(is_SetColorMode(top.handle, IS_CM_SENSOR_RAW8), 77);
        QCOMPARE(is_SetColorMode(top.handle, IS_CM_SENSOR_RAW8), IS_SUCCESS);

        Rig::instance().failCall("is_GetNumberOfCameras", -1);
        INT count = 0;
        QCOMPARE(is_GetNumberOfCameras(&count), -1);
        QCOMPARE(is_GetNumberOfCameras(&count), IS_SUCCESS);
        const std::vector<rig::CallRecord> calls = Rig::instance().calls("is_SetColorMode");
        QCOMPARE(calls.size(), size_t(6)); // two openings with raw mode, then the four above
        QCOMPARE(calls[3].status, 77);
        QCOMPARE(calls[3].serial, std::string(Rig::TopLargeSerial));
    }

    void areaOfInterestRules_data()
    {
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<int>("expected");
        QTest::newRow("full sensor") << QRect(0, 0, 1280, 1024) << IS_SUCCESS;
        QTest::newRow("inner area") << QRect(100, 50, 640, 480) << IS_SUCCESS;
        QTest::newRow("0 x 0 of a first start") << QRect(0, 0, 0, 0) << IS_INVALID_PARAMETER;
        QTest::newRow("odd position") << QRect(101, 50, 640, 480) << IS_INVALID_PARAMETER;
        QTest::newRow("odd size") << QRect(100, 50, 641, 480) << IS_INVALID_PARAMETER;
        QTest::newRow("beyond the right edge") << QRect(700, 0, 640, 480) << IS_INVALID_PARAMETER;
        QTest::newRow("negative position") << QRect(-2, 0, 640, 480) << IS_INVALID_PARAMETER;
        QTest::newRow("too small") << QRect(0, 0, 8, 8) << IS_INVALID_PARAMETER;
    }
    void areaOfInterestRules()
    {
        QFETCH(QRect, rect);
        QFETCH(int, expected);
        Opened camera(1, 8, true);
        IS_RECT asked{rect.x(), rect.y(), rect.width(), rect.height()};
        QCOMPARE(is_AOI(camera.handle, IS_AOI_IMAGE_SET_AOI, &asked, sizeof(asked)), expected);
        const cv::Rect kept = Rig::instance().state(Rig::TopLargeSerial).aoi;
        const QRect applied(kept.x, kept.y, kept.width, kept.height);
        QCOMPARE(applied, expected == IS_SUCCESS ? rect : QRect(0, 0, 1280, 1024));
    }

    void areaWrittenAtTopLeftWithPitch_data()
    {
        QTest::addColumn<int>("sensorWidth");
        QTest::addColumn<int>("bits");
        QTest::newRow("raw Bayer") << 1280 << 8;
        QTest::newRow("BGR") << 1280 << 24;
        QTest::newRow("BGR, padded lines") << 1270 << 24;
    }
    void areaWrittenAtTopLeftWithPitch()
    {
        QFETCH(int, sensorWidth);
        QFETCH(int, bits);
        rig::CameraSpec sheet = Rig::defaultCamera(rig::View::TopStandard);
        sheet.serial = "5000000001";
        sheet.deviceId = 7;
        sheet.width = sensorWidth;
        makeInstant(sheet);
        Rig::instance().addCamera(sheet);
        Rig::instance().setNoise(false);
        const cv::Mat pattern = randomPattern(cv::Size(sensorWidth, 1024), 11);
        Rig::instance().setTestPattern(sheet.serial, pattern);

        Opened camera(7, bits, bits == 8);
        IS_RECT rect{100, 50, 200, 100};
        QCOMPARE(is_AOI(camera.handle, IS_AOI_IMAGE_SET_AOI, &rect, sizeof(rect)), IS_SUCCESS);
        const cv::Mat memory = camera.read();
        QCOMPARE(camera.lastPitch, (sensorWidth * bits / 8 + 7) / 8 * 8);
        cv::Mat expected = pattern(cv::Rect(100, 50, 200, 100)).clone();
        if (bits == 8) {
            // The Bayer phase follows the sensor: an even area origin keeps the pattern's phase.
            cv::Mat raw(expected.size(), CV_8UC1);
            for (int r = 0; r < raw.rows; ++r)
                for (int c = 0; c < raw.cols; ++c)
                    raw.at<uchar>(r, c) = expected.at<cv::Vec3b>(r, c)[rig::bayerChannel(sheet.bayer, r, c)];
            expected = raw;
        }
        const cv::Mat corner = memory(cv::Rect(0, 0, 200, 100));
        QCOMPARE(cv::norm(corner, expected, cv::NORM_INF), 0.0);
    }

    void framesOnlyWhenReadAndDue()
    {
        rig::CameraSpec slow = Rig::defaultCamera(rig::View::TopLarge);
        slow.minFrameTimeS = 3600.0;
        slow.maxFrameTimeS = 7200.0;
        Rig::instance().updateCamera(slow);
        Opened camera(1, 8, true);
        QCOMPARE(Rig::instance().state(Rig::TopLargeSerial).framesRendered, 1LL); // the first, at capture start
        camera.read();
        camera.read();
        QCOMPARE(Rig::instance().state(Rig::TopLargeSerial).framesRendered, 1LL);

        fastFrames(Rig::TopLargeSerial);
        camera.read();
        camera.read();
        QCOMPARE(Rig::instance().state(Rig::TopLargeSerial).framesRendered, 3LL);
    }

    void frameTimeIsExposurePlusReadout_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<uint>("clock");
        QTest::addColumn<double>("exposureMs");
        QTest::addColumn<double>("frameMs");
        // Top Large: the full sensor reads out in 1/60 s less the 0.05 ms shortest exposure.
        QTest::newRow("full sensor, fastest") << 1024 << 86u << 0.05 << 1000.0 / 60.0;
        QTest::newRow("longer exposure adds") << 1024 << 86u << 10.05 << 1000.0 / 60.0 + 10.0;
        QTest::newRow("half the rows, half the readout") << 512 << 86u << 0.05 << 16.6167 / 2 + 0.05;
        QTest::newRow("a third of the clock, three times") << 1024 << 28u << 0.05 << 16.6167 * 86 / 28 + 0.05;
    }
    void frameTimeIsExposurePlusReadout()
    {
        QFETCH(int, rows);
        QFETCH(uint, clock);
        QFETCH(double, exposureMs);
        QFETCH(double, frameMs);
        Opened camera(1, 8, true);
        IS_RECT rect{0, 0, 1280, rows};
        QCOMPARE(is_AOI(camera.handle, IS_AOI_IMAGE_SET_AOI, &rect, sizeof(rect)), IS_SUCCESS);
        UINT pixelClock = clock;
        QCOMPARE(is_PixelClock(camera.handle, IS_PIXELCLOCK_CMD_SET, &pixelClock, sizeof(pixelClock)), IS_SUCCESS);
        double exposure = exposureMs;
        QCOMPARE(is_Exposure(camera.handle, IS_EXPOSURE_CMD_SET_EXPOSURE, &exposure, sizeof(exposure)), IS_SUCCESS);
        double minTime = 0, maxTime = 0, step = 0;
        QCOMPARE(is_GetFrameTimeRange(camera.handle, &minTime, &maxTime, &step), IS_SUCCESS);
        QVERIFY2(std::abs(minTime * 1000.0 - frameMs) < 0.01, qPrintable(QString::number(minTime * 1000.0)));
    }

    // Frames come on the camera's own clock, one frame time apart, each reaching the memory at
    // least exposure + readout after its exposure started; the info call tells which one it is.
    void framesCarryTheirNumberAndExposureTime()
    {
        Opened camera(1, 8, true);
        const UEYEIMAGEINFO first = imageInfo(camera);
        QCOMPARE(first.u64FrameNumber, UINT64(1));
        const double frameTime = Rig::instance().state(Rig::TopLargeSerial).frameTimeS;
        UEYEIMAGEINFO previous = first;
        for (int frames = 0; frames < 4; ++frames) {
            UEYEIMAGEINFO next = previous;
            QTRY_VERIFY_WITH_TIMEOUT((camera.read(), next = imageInfo(camera), next.u64FrameNumber != previous.u64FrameNumber), 20000);
            const long long readUs =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
            QVERIFY(next.u64FrameNumber > previous.u64FrameNumber);
            // The device clock counts tenths of a microsecond: frame numbers times the frame time.
            const double apart = (next.u64TimestampDevice - previous.u64TimestampDevice) * 1e-7;
            QVERIFY2(std::abs(apart - (next.u64FrameNumber - previous.u64FrameNumber) * frameTime) < 1e-5, qPrintable(QString::number(apart)));
            const long long exposedUs = Rig::instance().exposureTimeUs(Rig::TopLargeSerial, next.u64FrameNumber);
            QVERIFY(exposedUs > 0);
            QVERIFY(readUs - exposedUs >= static_cast<long long>(frameTime * 1e6) - 1);
            previous = next;
        }
    }

    void faultsHoldTheFrames_data()
    {
        QTest::addColumn<bool>("stall");
        QTest::newRow("frozen camera, until thawed") << false;
        QTest::newRow("stalled transfer, then the newest frame") << true;
    }
    void faultsHoldTheFrames()
    {
        QFETCH(bool, stall);
        Opened camera(1, 8, true);
        if (stall)
            QVERIFY(Rig::instance().stallTransfer(Rig::TopLargeSerial, 2.0));
        else
            QVERIFY(Rig::instance().freezeCamera(Rig::TopLargeSerial, true));
        camera.read();
        const UINT64 held = imageInfo(camera).u64FrameNumber;
        // Several frame times (25 ms each) with every call answered and no new frame.
        for (int i = 0; i < 10; ++i) {
            QTest::qWait(20);
            INT status = IS_NO_SUCCESS;
            camera.read(&status);
            QCOMPARE(status, IS_SUCCESS);
        }
        QCOMPARE(imageInfo(camera).u64FrameNumber, held);
        if (!stall)
            Rig::instance().freezeCamera(Rig::TopLargeSerial, false);
        UINT64 next = held;
        QTRY_VERIFY_WITH_TIMEOUT((camera.read(), next = imageInfo(camera).u64FrameNumber, next != held), 20000);
        // A stalled transfer lets the camera go on exposing (2 s of 25 ms frames): the frames in
        // between are lost. A frozen camera exposed nothing.
        QVERIFY2(stall ? next > held + 20 : next > held && next < held + 20, qPrintable(QString::number(next - held)));
    }

    void sensorNoiseIsAFewGreyLevels()
    {
        fastFrames(Rig::TopStandardSerial);
        const cv::Mat pattern(1024, 1280, CV_8UC3, cv::Scalar(100, 120, 140));
        Rig::instance().setTestPattern(Rig::TopStandardSerial, pattern);
        Opened camera(3, 24, false);
        Rig::instance().setNoise(false);
        const cv::Mat clean1 = camera.read();
        const cv::Mat clean2 = camera.read();
        QCOMPARE(cv::norm(clean1, clean2, cv::NORM_INF), 0.0);
        QCOMPARE(cv::norm(clean1, pattern, cv::NORM_INF), 0.0);

        Rig::instance().setNoise(true);
        const cv::Mat noisy1 = camera.read();
        const cv::Mat noisy2 = camera.read();
        QVERIFY(cv::norm(noisy1, noisy2, cv::NORM_L1) > 0.0);
        cv::Mat difference;
        cv::subtract(noisy1, pattern, difference, cv::noArray(), CV_32F);
        cv::Scalar mean, deviation;
        cv::meanStdDev(difference.reshape(1), mean, deviation);
        QVERIFY2(std::abs(mean[0]) < 0.5, qPrintable(QString::number(mean[0])));
        QVERIFY2(deviation[0] > 1.0 && deviation[0] < 4.0, qPrintable(QString::number(deviation[0])));
    }

    void colourFiltersDecodeToTrueColours_data()
    {
        QTest::addColumn<unsigned>("device");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<int>("conversion");
        QTest::newRow("top large, BayerBG") << 1u << Rig::TopLargeSerial << int(cv::COLOR_BayerBG2BGR);
        QTest::newRow("marking front, BayerRG") << 2u << Rig::FrontSerial << int(cv::COLOR_BayerRG2BGR);
    }
    void colourFiltersDecodeToTrueColours()
    {
        QFETCH(unsigned, device);
        QFETCH(QString, serial);
        QFETCH(int, conversion);
        Rig::instance().setNoise(false);
        const cv::Mat pattern = colourPatches(cv::Size(1280, 1024));
        Rig::instance().setTestPattern(serial.toStdString(), pattern);
        Opened camera(device, 8, true);
        cv::Mat bgr;
        cv::cvtColor(camera.read(), bgr, conversion);
        for (const cv::Point& at : {cv::Point(320, 256), cv::Point(960, 256), cv::Point(320, 768), cv::Point(960, 768)})
            QCOMPARE(bgr.at<cv::Vec3b>(at), pattern.at<cv::Vec3b>(at));
    }

    void subsamplingShrinksTheImage()
    {
        fastFrames(Rig::TopStandardSerial);
        Rig::instance().setNoise(false);
        const cv::Mat pattern = randomPattern(cv::Size(1280, 1024), 5);
        Rig::instance().setTestPattern(Rig::TopStandardSerial, pattern);
        Opened camera(3, 24, false);
        QCOMPARE(is_SetSubSampling(camera.handle, IS_SUBSAMPLING_2X_HORIZONTAL), IS_SUCCESS);
        QCOMPARE(is_SetSubSampling(camera.handle, IS_SUBSAMPLING_2X_VERTICAL), IS_SUCCESS);
        QCOMPARE(is_SetSubSampling(camera.handle, IS_SUBSAMPLING_2X_VERTICAL | IS_SUBSAMPLING_4X_VERTICAL), IS_INVALID_PARAMETER);
        const cv::Mat memory = camera.read();
        cv::Mat expected;
        cv::resize(pattern, expected, cv::Size(640, 512), 0, 0, cv::INTER_NEAREST);
        QCOMPARE(cv::norm(memory(cv::Rect(0, 0, 640, 512)), expected, cv::NORM_INF), 0.0);
        QCOMPARE(cv::countNonZero(memory(cv::Rect(640, 0, 640, 1024)).reshape(1)), 0);

        QCOMPARE(is_SetSubSampling(camera.handle, IS_SUBSAMPLING_DISABLE), IS_SUCCESS);
        QCOMPARE(cv::norm(camera.read(), pattern, cv::NORM_INF), 0.0);
    }

    void settingsOutsideTheirRangesAreRefused_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("exposure at minimum") << "exposure" << 0.05 << IS_SUCCESS;
        QTest::newRow("exposure at maximum") << "exposure" << 16.6 << IS_SUCCESS;
        QTest::newRow("exposure too long") << "exposure" << 16.7 << IS_INVALID_PARAMETER;
        QTest::newRow("exposure negative") << "exposure" << -1.0 << IS_INVALID_PARAMETER;
        QTest::newRow("pixel clock in range") << "clock" << 43.0 << IS_SUCCESS;
        QTest::newRow("pixel clock too low") << "clock" << 4.0 << IS_INVALID_PARAMETER;
        QTest::newRow("pixel clock too high") << "clock" << 87.0 << IS_INVALID_PARAMETER;
    }
    void settingsOutsideTheirRangesAreRefused()
    {
        QFETCH(QString, what);
        QFETCH(double, value);
        QFETCH(int, expected);
        Opened camera(1, 8, true);
        const rig::CameraState before = Rig::instance().state(Rig::TopLargeSerial);
        if (what == "exposure") {
            double exposure = value;
            QCOMPARE(is_Exposure(camera.handle, IS_EXPOSURE_CMD_SET_EXPOSURE, &exposure, sizeof(exposure)), expected);
            QCOMPARE(Rig::instance().state(Rig::TopLargeSerial).exposureMs, expected == IS_SUCCESS ? value : before.exposureMs);
        } else {
            UINT clock = static_cast<UINT>(value);
            QCOMPARE(is_PixelClock(camera.handle, IS_PIXELCLOCK_CMD_SET, &clock, sizeof(clock)), expected);
            QCOMPARE(Rig::instance().state(Rig::TopLargeSerial).pixelClock, expected == IS_SUCCESS ? clock : before.pixelClock);
        }
    }

    void unpluggedCameraKeepsItsMemoryUntilClosed()
    {
        Opened camera(1, 8, true);
        QVERIFY(Rig::instance().removeCamera(Rig::TopLargeSerial));
        INT status = IS_SUCCESS;
        camera.read(&status);
        QCOMPARE(status, IS_INVALID_CAMERA_HANDLE);
        // A reader that still holds the pointer may go on reading it.
        volatile char first = camera.memory[0];
        volatile char last = camera.memory[1280 * 1024 - 1];
        Q_UNUSED(first);
        Q_UNUSED(last);
        INT count = 0;
        is_GetNumberOfCameras(&count);
        QCOMPARE(count, 2);
        QCOMPARE(is_ExitCamera(camera.handle), IS_SUCCESS);
        QCOMPARE(Rig::instance().state(Rig::TopLargeSerial).present, false);
        camera.status = IS_NO_SUCCESS;
        camera.memory = nullptr;
    }

    // --- the scene follows the axes ---

    void xMovesTheStoneUpByOnePixelPerPixelSize_data()
    {
        QTest::addColumn<double>("x");
        QTest::newRow("X 0") << 0.0;
        QTest::newRow("X 5") << 5.0;
        QTest::newRow("X 11.5") << 11.5;
        QTest::newRow("X -3") << -3.0;
    }
    void xMovesTheStoneUpByOnePixelPerPixelSize()
    {
        QFETCH(double, x);
        fastFrames(Rig::TopLargeSerial);
        Rig::instance().setNoise(false);
        Opened camera(1, 8, true);
        rig::Scene scene = Rig::instance().scene();
        scene.axes.x = x;
        Rig::instance().setScene(scene);
        const Blob stone = measureStone(uprightTopLarge(camera));
        const double pixel = scene.cal.tlPixelUm / 1000.0;
        QVERIFY2(std::abs(stone.centre.y - (scene.cal.tlAxisRowAtX0 - x / pixel + scene.offsetYMm / pixel)) < 0.5,
                 qPrintable(QString::number(stone.centre.y)));
        QVERIFY(std::abs(stone.centre.x - (scene.cal.tlAxisCol + scene.offsetXMm / pixel)) < 0.5);
        // A 5 mm stone at 25.6 um per pixel: about 195 pixels across.
        const double diameter = 2.0 * std::sqrt(stone.area / Pi) * pixel;
        QVERIFY2(std::abs(diameter - 5.0) < 0.1, qPrintable(QString::number(diameter)));
    }

    void alignmentTargetsPutTheStoneOnTheMarks_data()
    {
        QTest::addColumn<double>("startX");
        QTest::addColumn<int>("centreMark");
        QTest::addColumn<int>("topEdgeMark");
        QTest::newRow("default marks") << 0.0 << 200 << 0;
        QTest::newRow("lower marks") << 2.0 << 900 << 600;
        QTest::newRow("from further up") << 14.0 << 640 << 120;
    }
    void alignmentTargetsPutTheStoneOnTheMarks()
    {
        QFETCH(double, startX);
        QFETCH(int, centreMark);
        QFETCH(int, topEdgeMark);
        fastFrames(Rig::TopLargeSerial);
        Rig::instance().setNoise(false);
        Opened camera(1, 8, true);
        rig::Scene scene = Rig::instance().scene();
        const double p = 25.6 / 1000.0; // the station's pixel size
        scene.axes.x = startX;
        Rig::instance().setScene(scene);
        const Blob measured = measureStone(uprightTopLarge(camera));
        QVERIFY(measured.area > 0);

        // Inscription X target: X + p (CenterY - OverlayTLCenterH).
        scene.axes.x = startX + p * (measured.centre.y - centreMark);
        Rig::instance().setScene(scene);
        const Blob inscription = measureStone(uprightTopLarge(camera));
        QVERIFY2(std::abs(inscription.centre.y - centreMark) < 0.5, qPrintable(QString::number(inscription.centre.y)));

        // Panorama X target: X + p (MFY - OverlayMFFocalX), MFY the outline's top row.
        scene.axes.x = startX + p * (measured.top - topEdgeMark);
        Rig::instance().setScene(scene);
        const Blob panorama = measureStone(uprightTopLarge(camera));
        QVERIFY2(std::abs(panorama.top - topEdgeMark) <= 1.0, qPrintable(QString::number(panorama.top)));
    }

    void aTurnsTheOffCentreStoneAroundTheAxis_data()
    {
        QTest::addColumn<double>("a");
        QTest::newRow("A 0") << 0.0;
        QTest::newRow("A 90") << 90.0;
        QTest::newRow("A 200") << 200.0;
    }
    void aTurnsTheOffCentreStoneAroundTheAxis()
    {
        QFETCH(double, a);
        fastFrames(Rig::TopLargeSerial);
        Rig::instance().setNoise(false);
        Opened camera(1, 8, true);
        rig::Scene scene = Rig::instance().scene();
        scene.offsetXMm = 0.4;
        scene.offsetYMm = 0.0;
        scene.axes.a = a;
        Rig::instance().setScene(scene);
        const Blob stone = measureStone(uprightTopLarge(camera));
        const double pixel = scene.cal.tlPixelUm / 1000.0;
        const double t = a * Pi / 180.0;
        const cv::Point2d expected(scene.cal.tlAxisCol + 0.4 * std::cos(t) / pixel, scene.cal.tlAxisRowAtX0 + 0.4 * std::sin(t) / pixel);
        QVERIFY2(cv::norm(stone.centre - expected) < 0.5,
                 qPrintable(QString("%1,%2").arg(stone.centre.x).arg(stone.centre.y)));
    }

    void yMovesTheGirdleInTheFrontView_data()
    {
        QTest::addColumn<double>("dy");
        QTest::newRow("0.2 mm up") << 0.2;
        QTest::newRow("0.3 mm down") << -0.3;
    }
    void yMovesTheGirdleInTheFrontView()
    {
        QFETCH(double, dy);
        fastFrames(Rig::FrontSerial);
        Rig::instance().setNoise(false);
        Opened camera(2, 8, true);
        const rig::Scene scene = Rig::instance().scene();
        Rig::instance().setScene(axes(0, scene.panoramaY(), 0, scene.frontFocusZii()));
        const int centred = girdleTopRow(camera.read());
        // Centred: the girdle's upper edge about half a girdle height above the middle row.
        const double halfGirdle = 5.0 * 0.025 / 2.0 / 0.00127;
        QVERIFY2(std::abs(centred - (512 - halfGirdle)) < 0.3 * halfGirdle, qPrintable(QString::number(centred)));
        Rig::instance().setScene(axes(0, scene.panoramaY() + dy, 0, scene.frontFocusZii()));
        const int moved = girdleTopRow(camera.read());
        QVERIFY2(std::abs((centred - moved) - dy / 0.00127) < 3.0, qPrintable(QString::number(moved)));
    }

    void aSlidesTheGirdleByPiDOver360PerDegree()
    {
        fastFrames(Rig::FrontSerial);
        Rig::instance().setNoise(false);
        Opened camera(2, 8, true);
        const rig::Scene scene = Rig::instance().scene();
        Rig::instance().setScene(axes(0, scene.panoramaY(), 0, scene.frontFocusZii()));
        cv::Mat before;
        cv::cvtColor(camera.read(), before, cv::COLOR_BayerRG2GRAY);
        Rig::instance().setScene(axes(0, scene.panoramaY(), 1.0, scene.frontFocusZii()));
        cv::Mat after;
        cv::cvtColor(camera.read(), after, cv::COLOR_BayerRG2GRAY);
        // Compare the girdle band: the texture at column c after the turn was at c + shift.
        const cv::Rect band(100, 470, 1000, 80);
        int best = 0;
        double bestError = 1e300;
        for (int shift = -60; shift <= 60; ++shift) {
            const double error = cv::norm(after(band), before(band + cv::Point(shift, 0)), cv::NORM_L1);
            if (error < bestError) {
                bestError = error;
                best = shift;
            }
        }
        const double expected = Pi * 5.0 / 360.0 / 0.00127; // 34.4 pixels
        QVERIFY2(std::abs(best - expected) <= 1.0, qPrintable(QString::number(best)));
    }

    void frontViewIsSharpAtTheFocusOfTheStoneColumn()
    {
        fastFrames(Rig::FrontSerial);
        Rig::instance().setNoise(false);
        Opened camera(2, 8, true);
        const rig::Scene scene = Rig::instance().scene();
        // The ZII target of the station's formula, from the stone's centre column in TL pixels.
        const double focus = scene.cal.mfZiiFocus - 0.0256 * (scene.topLargeCentre().x - 200.0);
        Rig::instance().setScene(axes(0, scene.panoramaY(), 0, focus));
        const double sharp = sharpness(camera.read());
        Rig::instance().setScene(axes(0, scene.panoramaY(), 0, focus + 0.05));
        const double soft = sharpness(camera.read());
        Rig::instance().setScene(axes(0, scene.panoramaY(), 0, focus - 0.3));
        const double blurred = sharpness(camera.read());
        QVERIFY2(sharp > 3.0 * soft && soft > blurred, qPrintable(QString("%1 %2 %3").arg(sharp).arg(soft).arg(blurred)));
    }

    void realisticStoneTruth_data()
    {
        QTest::addColumn<int>("shape");
        QTest::addColumn<double>("length");
        QTest::addColumn<double>("widthRatio");
        QTest::addColumn<double>("rotation");
        QTest::addColumn<double>("right"); // relative to the centre
        QTest::addColumn<double>("top");
        QTest::addColumn<double>("area");
        using S = rig::StoneShape;
        QTest::newRow("round") << int(S::Round) << 200.0 << 1.0 << 0.0 << 100.0 << -100.0 << Pi * 100.0 * 100.0;
        QTest::newRow("oval standing") << int(S::Oval) << 200.0 << 0.5 << 90.0 << 50.0 << -100.0 << Pi * 100.0 * 50.0;
        // Corner cuts of 2 % of the width: 4 x 2 x 2 / 2 px^2 less than the square.
        QTest::newRow("princess") << int(S::Princess) << 200.0 << 1.0 << 0.0 << 100.0 << -100.0 << 40000.0 - 8.0;
        // Corner cuts of a fifth of the half width (21 px).
        QTest::newRow("emerald standing") << int(S::Emerald) << 300.0 << 0.7 << 90.0 << 105.0 << -150.0
                                          << 300.0 * 210.0 - 4.0 * 21.0 * 21.0 / 2.0;
        QTest::newRow("princess turned 45 degrees") << int(S::Princess) << 200.0 << 1.0 << 45.0 << 99.0 * std::sqrt(2.0)
                                                    << -99.0 * std::sqrt(2.0) << 40000.0 - 8.0;
    }
    void realisticStoneTruth()
    {
        // The truth of the labelled frames: exact for these shapes, to the outline's sampling.
        QFETCH(int, shape);
        QFETCH(double, length);
        QFETCH(double, widthRatio);
        QFETCH(double, rotation);
        QFETCH(double, right);
        QFETCH(double, top);
        QFETCH(double, area);
        rig::RealStone stone;
        stone.shape = static_cast<rig::StoneShape>(shape);
        stone.lengthPx = length;
        stone.widthRatio = widthRatio;
        stone.rotationDeg = rotation;
        stone.centre = cv::Point2d(300.25, 280.5);
        const rig::StoneTruth truth = rig::stoneTruth(stone);
        QVERIFY(std::abs(truth.centroid.x - stone.centre.x) < 1e-6);
        QVERIFY(std::abs(truth.centroid.y - stone.centre.y) < 1e-6);
        QVERIFY2(std::abs(truth.right - (stone.centre.x + right)) < 1e-6, qPrintable(QString::number(truth.right)));
        QVERIFY2(std::abs(truth.top - (stone.centre.y + top)) < 1e-6, qPrintable(QString::number(truth.top)));
        QVERIFY2(std::abs(truth.areaPx - area) < 1e-3 * area, qPrintable(QString::number(truth.areaPx)));
    }

    void realisticStoneIsDrawnOnItsTruth()
    {
        // Sharp and noise-free, on the bare bed: the grey level crosses half-way between the
        // bed and the girdle rim on the true outline, along the centre row and column; the
        // pear's centroid lies towards its round end.
        rig::RealisticView view;
        view.around.holder = rig::Surroundings::Holder::None;
        rig::RealStone stone;
        stone.lengthPx = 151.3;
        stone.centre = cv::Point2d(200.3, 180.6);
        view.stones = {stone};
        const cv::Mat image = rig::renderRealistic(view, cv::Size(400, 360));
        cv::Mat grey;
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
        const rig::StoneTruth truth = rig::stoneTruth(stone);
        const int row = cvRound(truth.centroid.y), col = cvRound(truth.centroid.x);
        const double bed = grey.at<uchar>(row, 395);
        const double rim = grey.at<uchar>(row, int(std::floor(truth.right + 0.5)) - 1); // last pixel inside
        const double mid = 0.5 * (bed + rim);
        double crossing = -1;
        for (int x = col; x + 1 < grey.cols; ++x) {
            const double a = grey.at<uchar>(row, x), b = grey.at<uchar>(row, x + 1);
            if (a >= mid && b < mid) {
                crossing = x + (a - mid) / (a - b);
                break;
            }
        }
        // (Half a grey level of rounding, a few hundredths of a pixel on this slope.)
        QVERIFY2(std::abs(crossing - truth.right) < 0.1, qPrintable(QString("crossing %1, truth %2").arg(crossing).arg(truth.right)));

        rig::RealStone pear = stone;
        pear.shape = rig::StoneShape::Pear;
        pear.widthRatio = 0.6;
        const rig::StoneTruth pearTruth = rig::stoneTruth(pear);
        QVERIFY(pearTruth.centroid.x < pear.centre.x - 5.0);
        QVERIFY(std::abs(pearTruth.centroid.y - pear.centre.y) < 1e-6);
        QVERIFY(std::abs(pearTruth.right - (pear.centre.x + pear.lengthPx / 2.0)) < 0.01);
    }

    void realisticSceneFollowsTheAxes()
    {
        // The realistic scene puts its stone where the clean scene has it, and moves it with X.
        fastFrames(Rig::TopLargeSerial);
        Rig::instance().setNoise(false);
        Opened camera(1, 8, true);
        rig::Scene scene = Rig::instance().scene();
        scene.realisticSeed = 3;
        Rig::instance().setScene(scene);
        const cv::Mat first = uprightTopLarge(camera);
        scene.axes.x += 1.28; // 50 px up
        Rig::instance().setScene(scene);
        const cv::Mat moved = uprightTopLarge(camera);
        QCOMPARE(first.size(), moved.size());
        const cv::Point2d centre = scene.topLargeCentre();
        const double radius = scene.stoneDiameterMm / 2.0 / (scene.cal.tlPixelUm / 1000.0);
        // Inside the stone, well off any facet edge, the moved view shows what the first one
        // showed 50 rows further down.
        const int x = cvRound(centre.x), y = cvRound(centre.y - 0.3 * radius);
        cv::Mat a, b;
        cv::cvtColor(first(cv::Rect(x - 20, y + 50 - 5, 40, 10)), a, cv::COLOR_BGR2GRAY);
        cv::cvtColor(moved(cv::Rect(x - 20, y - 5, 40, 10)), b, cv::COLOR_BGR2GRAY);
        QVERIFY(cv::mean(b)[0] > 120.0);
        QVERIFY2(cv::norm(a, b, cv::NORM_L1) / a.total() < 6.0, qPrintable(QString::number(cv::norm(a, b, cv::NORM_L1) / a.total())));
    }
};

QTEST_GUILESS_MAIN(TestRig)
#include "tst_rig.moc"
