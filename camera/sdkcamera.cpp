// The camera SDK backend: the vendor's library, or the simulated rig that offers the same calls.
// A camera is opened by its SDK device ID, captures into one image memory, and is sampled by
// asking the SDK which frame that memory holds.

#include "camera/cameradevice.h"
#include "camera/camerasdk.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <ctime>

namespace {

// More cameras than any station bus can carry: a count beyond it is a broken answer.
constexpr int MaxListedCameras = 64;

class SdkCamera : public CameraDevice
{
public:
    SdkCamera(const DeviceRole& role, Logs* logging, CamVSharedConfig* cameras, CameraNamer namer, QString alias)
        : role(role)
        , logging(logging)
        , cameras(cameras)
        , namer(std::move(namer))
        , alias(std::move(alias))
    {
    }

    ~SdkCamera() override
    {
        if (opened)
            close();
    }

    bool open(const QString& serial) override;
    void close() override;
    bool isHeld() const override { return opened; }
    QString heldSerial() const override { return openedSerial; }
    QSize sensorSize() const override { return sensor; }
    bool setAutoGain(bool on) override;
    bool setSubSampling(int factor) override;
    bool setAoi(int x, int y, int w, int h) override;
    bool setExposurePercent(int percent) override;
    void shareBandwidth() override;
    bool frameRate(double* framesPerSecond) override;
    Poll poll(DeviceFrame* frame, double framesPerSecond) override;
    void clearFailures(const QString& how) override;

private:
    QString who() const { return namer(); }
    qint64 arrivalOf(const UEYEIMAGEINFO& info, qint64 receivedUs) const;

    const DeviceRole role;
    Logs* logging;
    CamVSharedConfig* cameras;
    CameraNamer namer;
    QString alias;

    HIDS camid = 0;
    bool opened = false;
    QString openedSerial;
    char* imgMem = nullptr;
    int memId = 0;
    QSize sensor;
    SENSORINFO SensorINF{};
    BOARDINFO CamINF{};
    IS_RECT rectAOI{0, 0, 0, 0};

    // Sampling thread only.
    INT ubpp = 0;
    INT upit = 0;
    bool haveFrameNumber = false;
    UINT64 lastFrameNumber = 0;
    CaptureClock clock;
    RepeatingFailure frameTimeFailure;
    RepeatingFailure memoryFailure;
    RepeatingFailure infoFailure;
};

bool SdkCamera::open(const QString& serial)
{
    haveFrameNumber = false;
    clock.reset();
    sensor = QSize();

    const int device = cameras ? cameras->GetCameraIndex(serial) : -1;
    if (device < 0) {
        camid = static_cast<HIDS>(-1);
        logging->udebug(QStringLiteral("Camera ") + serial + alias + QStringLiteral(" not found"));
        return false;
    }
    camid = static_cast<HIDS>(device | IS_USE_DEVICE_ID);
    QString failure;
    INT status = IS_SUCCESS;
    do {
        status = is_InitCamera(&camid, nullptr);
        if (status != IS_SUCCESS) {
            failure = QStringLiteral("Failed to InitCamera CODE ") + QString::number(status);
            break;
        }
        opened = true;
        openedSerial = serial;
        if (role.rawSensor) {
            const INT mode = is_SetColorMode(camid, IS_CM_SENSOR_RAW8);
            if (mode != IS_SUCCESS)
                logging->udebug(QStringLiteral("Setting Color Mode Failed on Camera ") + who() + QStringLiteral(" CODE:")
                                + QString::number(mode));
        }
        status = is_GetCameraInfo(camid, &CamINF);
        if (status != IS_SUCCESS) {
            failure = QStringLiteral("Failed to GetCameraInfo CODE ") + QString::number(status);
            break;
        }
        status = is_GetSensorInfo(camid, &SensorINF);
        if (status != IS_SUCCESS) {
            failure = QStringLiteral("Failed to GetSensorInfo CODE ") + QString::number(status);
            break;
        }
        const int sensorW = static_cast<int>(SensorINF.nMaxWidth);
        const int sensorH = static_cast<int>(SensorINF.nMaxHeight);
        const int colorMode = static_cast<signed char>(SensorINF.nColorMode);
        logging->udebug(QString::fromLatin1(role.displayName) + QStringLiteral(" Camera ") + serial + QStringLiteral(" Initialized W[")
                        + QString::number(sensorW) + QStringLiteral("] H[") + QString::number(sensorH) + QStringLiteral("] CM[")
                        + QString::number(colorMode) + QStringLiteral("] BP[") + QString::number(role.bitsPerPixel) + QStringLiteral("]"));
        setAutoGain(true);
        sensor = QSize(sensorW, sensorH);
        status = is_AllocImageMem(camid, sensorW, sensorH, role.bitsPerPixel, &imgMem, &memId);
        if (status != IS_SUCCESS) {
            imgMem = nullptr;
            failure = QStringLiteral("Failed to AllocImageMem CODE ") + QString::number(status);
            break;
        }
        status = is_SetImageMem(camid, imgMem, memId);
        if (status != IS_SUCCESS) {
            failure = QStringLiteral("Failed to SetImageMem CODE ") + QString::number(status);
            break;
        }
        status = is_SetImageSize(camid, sensorW, sensorH);
        if (status != IS_SUCCESS) {
            failure = QStringLiteral("Failed to SetImageSize CODE ") + QString::number(status);
            break;
        }
        if (role.rawSensor) {
            status = is_SetColorConverter(camid, IS_CM_SENSOR_RAW8, IS_CONV_MODE_HARDWARE_3X3);
            if (status != IS_SUCCESS) {
                failure = QStringLiteral("Failed to SetColorConverter CODE ") + QString::number(status);
                break;
            }
        }
        status = is_CaptureVideo(camid, IS_WAIT);
        if (status != IS_SUCCESS) {
            failure = QStringLiteral("Failed to CaptureVideo CODE ") + QString::number(status);
            break;
        }
    } while (false);
    if (failure.isEmpty())
        return true;
    logging->udebug(QStringLiteral("Open camera ") + serial + alias + QStringLiteral(": ") + failure);
    return false;
}

void SdkCamera::close()
{
    if (opened) {
        is_StopLiveVideo(camid, IS_FORCE_VIDEO_STOP);
        const INT exited = is_ExitCamera(camid);
        if (imgMem) {
            is_FreeImageMem(camid, imgMem, memId);
            imgMem = nullptr;
            memId = 0;
        }
        is_CameraStatus(camid, IS_STANDBY, IS_GET_STATUS);
        // A refused exit leaves the camera held by the SDK, and no later opening of it could
        // succeed; the handle is kept for another try. A handle the SDK no longer knows is closed.
        opened = exited != IS_SUCCESS && exited != IS_INVALID_CAMERA_HANDLE;
        if (opened)
            logging->udebug(QStringLiteral("Exit camera Failed on Camera ") + openedSerial + alias + QStringLiteral(" CODE:")
                            + QString::number(exited));
    }
    imgMem = nullptr;
}

void SdkCamera::clearFailures(const QString& how)
{
    for (RepeatingFailure* failure : {&frameTimeFailure, &memoryFailure, &infoFailure})
        failure->clear(logging, how);
}

void SdkCamera::shareBandwidth()
{
    if (!role.rawSensor)
        return;
    UINT range[3] = {0, 0, 0};
    INT status = is_PixelClock(camid, IS_PIXELCLOCK_CMD_GET_RANGE, range, sizeof(range));
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Get Pixel Clock Failed on Camera ") + who() + QStringLiteral(" CODE:") + QString::number(status));
        return;
    }
    UINT clock = cameras ? cameras->PixelClockRegulate(range[1]) : range[1];
    status = is_PixelClock(camid, IS_PIXELCLOCK_CMD_SET, &clock, sizeof(clock));
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Setting Pixel Clock") + QString::number(clock) + QStringLiteral(" Failed on Camera ") + who()
                        + QStringLiteral(" CODE:") + QString::number(status));
        return;
    }
    logging->udebug(QStringLiteral("Pixel Clock Setted as ") + QString::number(clock) + QStringLiteral(" on Camera ") + who()
                    + QStringLiteral(" CODE:") + QStringLiteral("0"));
}

bool SdkCamera::setAutoGain(bool on)
{
    double value = on ? 1.0 : 0.0;
    const INT status = is_SetAutoParameter(camid, IS_SET_ENABLE_AUTO_GAIN, &value, nullptr);
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Failed to ") + (on ? QStringLiteral("enable") : QStringLiteral("disable"))
                        + QStringLiteral(" AGC on Camera ") + who() + QStringLiteral(" CODE ") + QString::number(status));
        return false;
    }
    return true;
}

bool SdkCamera::setSubSampling(int factor)
{
    int horizontal = -1;
    int vertical = -1;
    switch (factor) {
    case 0: horizontal = IS_SUBSAMPLING_DISABLE; break;
    case 2: horizontal = IS_SUBSAMPLING_2X_HORIZONTAL; vertical = IS_SUBSAMPLING_2X_VERTICAL; break;
    case 3: horizontal = IS_SUBSAMPLING_3X_HORIZONTAL; vertical = IS_SUBSAMPLING_3X_VERTICAL; break;
    case 4: horizontal = IS_SUBSAMPLING_4X_HORIZONTAL; vertical = IS_SUBSAMPLING_4X_VERTICAL; break;
    case 5: horizontal = IS_SUBSAMPLING_5X_HORIZONTAL; vertical = IS_SUBSAMPLING_5X_VERTICAL; break;
    case 6: horizontal = IS_SUBSAMPLING_6X_HORIZONTAL; vertical = IS_SUBSAMPLING_6X_VERTICAL; break;
    case 8: horizontal = IS_SUBSAMPLING_8X_HORIZONTAL; vertical = IS_SUBSAMPLING_8X_VERTICAL; break;
    case 16: horizontal = IS_SUBSAMPLING_16X_HORIZONTAL; vertical = IS_SUBSAMPLING_16X_VERTICAL; break;
    default: break;
    }
    INT statusH = -1;
    INT statusV = -1;
    if (horizontal >= 0) {
        statusH = is_SetSubSampling(camid, horizontal);
        // Switching off is one call; its status counts for both directions.
        statusV = vertical >= 0 ? is_SetSubSampling(camid, vertical) : statusH;
    }
    if (statusH == IS_SUCCESS && statusV == IS_SUCCESS)
        return true;
    logging->udebug(QStringLiteral("Sub sampling ") + QString::number(factor) + QStringLiteral("X (0X Disabling) Failed on Camera ")
                    + who() + QStringLiteral(" CODE H:") + QString::number(statusH) + QStringLiteral("  V:") + QString::number(statusV));
    return false;
}

bool SdkCamera::setAoi(int x, int y, int w, int h)
{
    rectAOI.s32X = x;
    rectAOI.s32Y = y;
    rectAOI.s32Width = w;
    rectAOI.s32Height = h;
    const INT status = is_AOI(camid, IS_AOI_IMAGE_SET_AOI, &rectAOI, sizeof(rectAOI));
    if (status == IS_SUCCESS)
        return true;
    logging->udebug(QStringLiteral("AOI X") + QString::number(x) + QStringLiteral(" Y") + QString::number(y) + QStringLiteral(" W")
                    + QString::number(w) + QStringLiteral(" H") + QString::number(h) + QStringLiteral(" EW") + QString::number(x + w)
                    + QStringLiteral("/") + QString::number(sensor.width()) + QStringLiteral(" EH") + QString::number(y + h)
                    + QStringLiteral("/") + QString::number(sensor.height()) + QStringLiteral(" Failed on Camera ") + who()
                    + QStringLiteral(" CODE:") + QString::number(status));
    return false;
}

bool SdkCamera::setExposurePercent(int percent)
{
    double range[3] = {0.0, 0.0, 0.0};
    INT status = is_Exposure(camid, IS_EXPOSURE_CMD_GET_EXPOSURE_RANGE, range, sizeof(range));
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Get exposure range Failed on Camera ") + who() + QStringLiteral(" CODE:") + QString::number(status));
        return false;
    }
    double exposure = (percent * (range[1] - range[0])) / 100.0 + range[0];
    status = is_Exposure(camid, IS_EXPOSURE_CMD_SET_EXPOSURE, &exposure, sizeof(exposure));
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Setting exposure time ") + QString::number(percent) + QStringLiteral(" Failed on Camera ") + who()
                        + QStringLiteral(" CODE:") + QString::number(status));
        return false;
    }
    return true;
}

bool SdkCamera::frameRate(double* framesPerSecond)
{
    double minTime = 0.0;
    double maxTime = 0.0;
    double step = 0.0;
    const INT timeStatus = is_GetFrameTimeRange(camid, &minTime, &maxTime, &step);
    if (timeStatus == IS_SUCCESS && minTime > 0.0 && std::isfinite(minTime)) {
        // The camera free-runs at the shortest frame time its settings allow.
        *framesPerSecond = 1.0 / minTime;
        frameTimeFailure.clear(logging);
        return true;
    }
    frameTimeFailure.fail(logging,
                          QStringLiteral("Get frame time range Failed on Camera ") + who() + QStringLiteral(" CODE:")
                              + QString::number(timeStatus),
                          QStringLiteral("Get frame time range failure on Camera ") + who());
    return false;
}

qint64 SdkCamera::arrivalOf(const UEYEIMAGEINFO& info, qint64 receivedUs) const
{
    // When the frame reached the memory: the driver's wall-clock stamp moved onto the steady
    // clock (the pass may come up to half a frame later, or much later on a busy machine);
    // without a stamp, when this pass saw it.
    const UEYETIME& wall = info.TimestampSystem;
    if (wall.wYear < 1970)
        return receivedUs;
    std::tm local{};
    local.tm_year = wall.wYear - 1900;
    local.tm_mon = wall.wMonth - 1;
    local.tm_mday = wall.wDay;
    local.tm_hour = wall.wHour;
    local.tm_min = wall.wMinute;
    local.tm_sec = wall.wSecond;
    local.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&local);
    if (seconds == static_cast<std::time_t>(-1))
        return receivedUs;
    return CaptureClock::FromWallClock(static_cast<qint64>(seconds) * 1000000 + qint64(wall.wMilliseconds) * 1000, receivedUs);
}

CameraDevice::Poll SdkCamera::poll(DeviceFrame* frame, double framesPerSecond)
{
    INT memW = 0;
    INT memH = 0;
    const INT status = is_InquireImageMem(camid, imgMem, memId, &memW, &memH, &ubpp, &upit);
    const qint64 receivedUs = CaptureClock::NowUs();
    if (status != IS_SUCCESS) {
        memoryFailure.fail(logging,
                           QStringLiteral("Faild to get image memory Camera ") + who() + QStringLiteral(" Code Error ")
                               + QString::number(status),
                           QStringLiteral("Get image memory failure on Camera ") + who());
        return Poll::Failed;
    }
    memoryFailure.clear(logging);

    // Which frame the memory holds: only a frame number not seen before is a new frame.
    UEYEIMAGEINFO info;
    std::memset(&info, 0, sizeof info);
    const INT infoStatus = is_GetImageInfo(camid, memId, &info, sizeof info);
    if (infoStatus != IS_SUCCESS) {
        infoFailure.fail(logging,
                         QStringLiteral("Get image info Failed on Camera ") + who() + QStringLiteral(" CODE:")
                             + QString::number(infoStatus),
                         QStringLiteral("Get image info failure on Camera ") + who());
        return Poll::Failed;
    }
    infoFailure.clear(logging);
    if (haveFrameNumber && info.u64FrameNumber == lastFrameNumber)
        return Poll::SameFrame;
    haveFrameNumber = true;
    lastFrameNumber = info.u64FrameNumber;
    // The device counts in tenths of a microsecond from a moment of its own.
    frame->captureTimeUs = clock.captureTime(static_cast<qint64>(info.u64TimestampDevice / 10), arrivalOf(info, receivedUs), receivedUs,
                                             framesPerSecond);
    frame->frameNumber = static_cast<qint64>(info.u64FrameNumber);

    const int channels = role.rawSensor ? 1 : 3;
    if (memW <= 0 || memH <= 0 || ubpp != channels * 8 || upit < memW * channels || !imgMem)
        throw std::runtime_error("image memory " + std::to_string(memW) + "x" + std::to_string(memH) + " with " + std::to_string(ubpp)
                                 + " bits and pitch " + std::to_string(upit) + " does not match the camera's format");
    frame->memory = cv::Mat(memH, memW, CV_8UC(channels), imgMem, static_cast<size_t>(upit));
    // The memory keeps the sensor's size; the role cuts its area of interest from its top left.
    frame->width = memW;
    frame->height = memH;
    frame->colorConversion = role.colorConversion;
    return Poll::NewFrame;
}

} // namespace

std::unique_ptr<CameraDevice> MakeSdkCamera(const DeviceRole& role, Logs* logging, CamVSharedConfig* cameras, CameraNamer namer,
                                            QString alias)
{
    return std::make_unique<SdkCamera>(role, logging, cameras, std::move(namer), std::move(alias));
}

std::vector<ListedCamera> sdkcameras::List(Logs* logging)
{
    std::vector<ListedCamera> listed;
    INT count = 0;
    const INT status = is_GetNumberOfCameras(&count);
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Faild to retrive camera number, ERROR CODE ") + QString::number(status));
        return listed;
    }
    logging->udebug(QString::number(count) + QStringLiteral(" Camera(s) Found"));
    if (count > MaxListedCameras || count < 0) {
        logging->udebug(QStringLiteral("Camera count out of range, list ignored: ") + QString::number(count));
        return listed;
    }
    if (count == 0)
        return listed;
    const size_t bytes = offsetof(UEYE_CAMERA_LIST, uci) + static_cast<size_t>(count) * sizeof(UEYE_CAMERA_INFO);
    std::vector<unsigned char> storage(std::max(bytes, sizeof(UEYE_CAMERA_LIST)), 0);
    UEYE_CAMERA_LIST* list = reinterpret_cast<UEYE_CAMERA_LIST*>(storage.data());
    list->dwCount = static_cast<ULONG>(count);
    const INT listStatus = is_GetCameraList(list);
    if (listStatus != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Faild to retrive camera list, ERROR CODE ") + QString::number(listStatus));
        return listed;
    }
    // The SDK may list fewer cameras than counted (one unplugged in between), never more.
    const int shown = static_cast<int>(std::min<ULONG>(list->dwCount, static_cast<ULONG>(count)));
    for (int i = 0; i < shown; ++i) {
        const UEYE_CAMERA_INFO& info = list->uci[i];
        ListedCamera camera;
        camera.serial = QString::fromLatin1(info.SerNo, static_cast<int>(strnlen(info.SerNo, sizeof info.SerNo)));
        camera.deviceId = static_cast<int>(info.dwDeviceID);
        listed.push_back(camera);
        logging->udebug(QStringLiteral(">Camera ") + QString::number(i) + QStringLiteral(" id ") + camera.serial);
    }
    return listed;
}
