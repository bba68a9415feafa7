#include "cameraacquisition.h"

#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>

namespace {

// The OpenCV Bayer code for a mosaic turned 90 degrees clockwise. OpenCV names a layout by
// the second row's second and third pixels; the turn moves the pixel at (row, col) of a mosaic
// `height` rows high to (col, height - 1 - row).
int turnedBayerCode(int code, int height)
{
    // Filter colour at (row & 1, col & 1) for each code; 0 = B, 1 = G, 2 = R.
    struct Layout
    {
        int code;
        int cell[2][2];
    };
    static const Layout layouts[] = {
        {cv::COLOR_BayerBG2BGR, {{2, 1}, {1, 0}}}, // RGGB
        {cv::COLOR_BayerGB2BGR, {{1, 2}, {0, 1}}}, // GRBG
        {cv::COLOR_BayerRG2BGR, {{0, 1}, {1, 2}}}, // BGGR
        {cv::COLOR_BayerGR2BGR, {{1, 0}, {2, 1}}}, // GBRG
    };
    const Layout* source = nullptr;
    for (const Layout& layout : layouts)
        if (layout.code == code)
            source = &layout;
    if (!source)
        return code;
    // The turned mosaic's (r, c) came from the source's (height - 1 - c, r).
    int turned[2][2];
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c)
            turned[r][c] = source->cell[(height - 1 - c) & 1][r & 1];
    for (const Layout& layout : layouts) {
        if (layout.cell[0][0] == turned[0][0] && layout.cell[0][1] == turned[0][1] && layout.cell[1][0] == turned[1][0]
            && layout.cell[1][1] == turned[1][1])
            return layout.code;
    }
    return code;
}

// Buffers kept for recycling: the current frame, one a consumer may still hold, one to fill.
constexpr size_t RecycledBuffers = 4;

// A camera is frozen when no new frame came for this many frame times (and at least FreezeMinMs).
constexpr double FreezeFrames = 4.0;
constexpr double FreezeMinMs = 250.0;

// The cameras deliver a frame within this many frame times of the start of its exposure. The
// capture time is the device timestamp moved onto the station's clock by the smallest delay
// seen, less this allowance: a little early rather than ever late.
constexpr double LatencyAllowanceFrames = 2.0;
}

void RepeatingFailure::fail(Logs* logging, const QString& startLine, const QString& label)
{
    if (count++ == 0) {
        name = label;
        logging->udebug(startLine);
    }
}

void RepeatingFailure::clear(Logs* logging, const QString& how)
{
    if (count == 0)
        return;
    logging->udebug(name + QStringLiteral(" ") + how + QStringLiteral(" after ") + QString::number(count)
                    + (count == 1 ? QStringLiteral(" failed pass") : QStringLiteral(" failed passes")));
    count = 0;
}

qint64 CameraAcquisition::SteadyNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

CameraAcquisition::CameraAcquisition(const CameraRole& cameraRole, QObject* parent)
    : QThread(parent)
    , role(cameraRole)
{
    img_bbp = role.bitsPerPixel;
    try {
        logging = Logs::AccessMemory();
        logging->udebug(QStringLiteral("Loading ") + role.displayName + QStringLiteral(" Camera..."));
        AppRegistry = Registry::AccessMemory();
        SharedConf = CamVSharedConfig::AccessMemory();
    } catch (const std::exception& e) {
        if (logging)
            logging->udebug(QStringLiteral("Error While Loading ") + role.displayName + QStringLiteral(" Camera ")
                            + QString::fromLocal8Bit(e.what()));
    }
}

CameraAcquisition::~CameraAcquisition()
{
    // Subclasses shut down first; this only covers a loop that is somehow still running.
    if (isRunning() || cameraOpened)
        unInit();
}

void CameraAcquisition::startUp()
{
    try {
        LoadParams();
        if (role.rawSensor)
            SupportedCameraType = 1;
        Init(cameraRef());
        logging->udebug(QString::fromLatin1(role.displayName) + QStringLiteral(" Camera imported successfully"));
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Error While Loading ") + role.displayName + QStringLiteral(" Camera ")
                        + QString::fromLocal8Bit(e.what()));
    }
}

void CameraAcquisition::shutDown() { unInit(); }

void CameraAcquisition::frameFinished(const cv::Mat&) {}

QString CameraAcquisition::alias() const
{
    return QStringLiteral(" alias '") + role.displayName + QStringLiteral("'");
}

QString CameraAcquisition::cameraRef()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return CamRegRef;
}

int CameraAcquisition::maxWidth()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return MaxWidth;
}

// ---------------------------------------------------------------------------------------------
// Settings

void CameraAcquisition::LoadParams()
{
    const QString serial = AppRegistry->GetKeySTR(role.idKey, role.defaultSerial);
    int maxW = 0;
    int maxH = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        CamRegRef = serial;
        maxW = MaxWidth;
        maxH = MaxHeight;
    }
    DefaultAOIX = AppRegistry->GetKeyINT(role.aoiXKey, 0);
    DefaultAOIY = AppRegistry->GetKeyINT(role.aoiYKey, 0);
    DefaultAOIW = AppRegistry->GetKeyINT(role.aoiWKey, maxW);
    DefaultAOIH = AppRegistry->GetKeyINT(role.aoiHKey, maxH);
    DefaultExposureTime = AppRegistry->GetKeyINT(role.exposureKey, 50);
}

void CameraAcquisition::SaveParams()
{
    AppRegistry->SetKey(role.aoiXKey, QString::number(DefaultAOIX));
    AppRegistry->SetKey(role.aoiYKey, QString::number(DefaultAOIY));
    AppRegistry->SetKey(role.aoiWKey, QString::number(DefaultAOIW));
    AppRegistry->SetKey(role.aoiHKey, QString::number(DefaultAOIH));
    AppRegistry->SetKey(role.exposureKey, QString::number(DefaultExposureTime));
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

void CameraAcquisition::Init(QString serial)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        HandleSave.clear();
        MaxWidth = 0;
        MaxHeight = 0;
        img_width = 0;
        img_height = 0;
    }
    IS_INIT = false;
    ips = 10.0;
    ColorMode = 0;
    img_bbp = role.bitsPerPixel;
    // The loop is stopped here or idles (IS_INIT is false): its bookkeeping starts afresh.
    haveFrameNumber = false;
    haveClockOffset = false;
    lastFreshFrame = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        RelFrameNumber = -1;
        RelCaptureTimeUs = -1;
    }

    // The SDK keeps a camera whose exit it refused: one more try, and while it stays held its
    // handle is kept (nothing else is opened) so that the next binding can close it.
    if (cameraOpened)
        unInit();
    if (cameraOpened) {
        logging->udebug(QStringLiteral("Open camera ") + serial + alias() + QStringLiteral(": previous camera not closed"));
        if (role.runsWithoutCamera)
            startThread();
        return;
    }

    const int device = SharedConf ? SharedConf->GetCameraIndex(serial) : -1;
    if (device < 0) {
        camid = static_cast<HIDS>(-1);
        logging->udebug(QStringLiteral("Camera ") + serial + alias() + QStringLiteral(" not found"));
    } else {
        camid = static_cast<HIDS>(device | IS_USE_DEVICE_ID);
        QString failure;
        INT status = IS_SUCCESS;
        do {
            status = is_InitCamera(&camid, nullptr);
            if (status != IS_SUCCESS) {
                failure = QStringLiteral("Failed to InitCamera CODE ") + QString::number(status);
                break;
            }
            cameraOpened = true;
            openedSerial = serial;
            if (role.rawSensor)
                ForceY8Mode();
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
            ColorMode = static_cast<signed char>(SensorINF.nColorMode);
            logging->udebug(QString::fromLatin1(role.displayName) + QStringLiteral(" Camera ") + serial + QStringLiteral(" Initialized W[")
                            + QString::number(sensorW) + QStringLiteral("] H[") + QString::number(sensorH) + QStringLiteral("] CM[")
                            + QString::number(ColorMode) + QStringLiteral("] BP[") + QString::number(img_bbp) + QStringLiteral("]"));
            AGC(true);
            {
                std::lock_guard<std::mutex> lock(stateMutex);
                MaxWidth = sensorW;
                MaxHeight = sensorH;
                img_width = sensorW;
                img_height = sensorH;
            }
            status = is_AllocImageMem(camid, sensorW, sensorH, img_bbp, &imgMem, &memId);
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
            startThread();
            if (role.rawSensor)
                ParamPxClock();
            // No stored area (a first start, or a size of zero saved by an older version): the
            // full sensor. A stored area the camera refuses stays the one asked for at the next
            // opening (the refusal is logged; the camera keeps its full sensor meanwhile).
            if (DefaultAOIW <= 0 || DefaultAOIH <= 0) {
                DefaultAOIX = 0;
                DefaultAOIY = 0;
                DefaultAOIW = sensorW;
                DefaultAOIH = sensorH;
            }
            Aoi(DefaultAOIX, DefaultAOIY, DefaultAOIW, DefaultAOIH);
            SetExposureTime(DefaultExposureTime);
            IS_INIT = true;
            wake();
        } while (false);
        if (!failure.isEmpty())
            logging->udebug(QStringLiteral("Open camera ") + serial + alias() + QStringLiteral(": ") + failure);
    }
    if (role.runsWithoutCamera)
        startThread();
}

void CameraAcquisition::startThread()
{
    if (isRunning())
        return;
    // Set before the thread exists, so that a stop request can never be overwritten by a
    // thread that starts late.
    CaptureRun = true;
    start(role.priority);
}

void CameraAcquisition::unInit()
{
    IS_INIT = false;
    CaptureRun = false;
    wake();
    while (!wait(1)) {
    }
    for (RepeatingFailure* failure : {&frameTimeFailure, &memoryFailure, &infoFailure, &passFailure})
        failure->clear(logging, QStringLiteral("ended by closing the camera"));
    if (frozen.exchange(false)) {
        logging->udebug(QStringLiteral("Camera ") + openedSerial + alias() + QStringLiteral(" frozen until closed"));
        emit frozenChanged(false);
    }
    if (cameraOpened) {
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
        cameraOpened = exited != IS_SUCCESS && exited != IS_INVALID_CAMERA_HANDLE;
        if (cameraOpened)
            logging->udebug(QStringLiteral("Exit camera Failed on Camera ") + openedSerial + alias() + QStringLiteral(" CODE:")
                            + QString::number(exited));
    }
    imgMem = nullptr;
}

void CameraAcquisition::RegisterCam(QString serial)
{
    unInit();
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        CamRegRef = serial;
    }
    AppRegistry->SetKey(role.idKey, serial);
    QThread::msleep(50);
    // A camera plugged back in may have another device ID now.
    if (SharedConf)
        SharedConf->RefreshCameraList();
    Init(serial);
}

bool CameraAcquisition::ForceY8Mode()
{
    const INT status = is_SetColorMode(camid, IS_CM_SENSOR_RAW8);
    if (status != IS_SUCCESS)
        logging->udebug(QStringLiteral("Setting Color Mode Failed on Camera ") + cameraRef() + alias() + QStringLiteral(" CODE:")
                        + QString::number(status));
    return true;
}

bool CameraAcquisition::ParamPxClock()
{
    UINT range[3] = {0, 0, 0};
    INT status = is_PixelClock(camid, IS_PIXELCLOCK_CMD_GET_RANGE, range, sizeof(range));
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Get Pixel Clock Failed on Camera ") + cameraRef() + alias() + QStringLiteral(" CODE:")
                        + QString::number(status));
        return false;
    }
    UINT clock = SharedConf->PixelClockRegulate(range[1]);
    status = is_PixelClock(camid, IS_PIXELCLOCK_CMD_SET, &clock, sizeof(clock));
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Setting Pixel Clock") + QString::number(clock) + QStringLiteral(" Failed on Camera ") + cameraRef()
                        + alias() + QStringLiteral(" CODE:") + QString::number(status));
        return false;
    }
    logging->udebug(QStringLiteral("Pixel Clock Setted as ") + QString::number(clock) + QStringLiteral(" on Camera ") + cameraRef() + alias()
                    + QStringLiteral(" CODE:") + QStringLiteral("0"));
    return true;
}

// ---------------------------------------------------------------------------------------------
// Camera settings (main thread)

QString CameraAcquisition::GetID() { return cameraRef(); }

double CameraAcquisition::getFPS() { return ips.load(); }

int CameraAcquisition::GetWidth()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return img_width;
}

int CameraAcquisition::GetHeight()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return img_height;
}

cv::Mat CameraAcquisition::getImage()
{
    std::lock_guard<std::mutex> lock(frameMutex);
    return RelCapture;
}

CameraFrame CameraAcquisition::getFrame()
{
    std::lock_guard<std::mutex> lock(frameMutex);
    CameraFrame frame;
    frame.image = RelCapture;
    frame.frameNumber = RelFrameNumber;
    frame.captureTimeUs = RelCaptureTimeUs;
    return frame;
}

void CameraAcquisition::SaveCapture(QString path)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    HandleSave = path;
}

bool CameraAcquisition::AGC(bool on)
{
    double value = on ? 1.0 : 0.0;
    const INT status = is_SetAutoParameter(camid, IS_SET_ENABLE_AUTO_GAIN, &value, nullptr);
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Failed to ") + (on ? QStringLiteral("enable") : QStringLiteral("disable"))
                        + QStringLiteral(" AGC on Camera ") + cameraRef() + alias() + QStringLiteral(" CODE ") + QString::number(status));
        return false;
    }
    return true;
}

bool CameraAcquisition::SubSampling(int factor)
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
                    + cameraRef() + alias() + QStringLiteral(" CODE H:") + QString::number(statusH) + QStringLiteral("  V:")
                    + QString::number(statusV));
    return false;
}

bool CameraAcquisition::Aoi(int x, int y, int w, int h)
{
    rectAOI.s32X = x;
    rectAOI.s32Y = y;
    rectAOI.s32Width = w;
    rectAOI.s32Height = h;
    const INT status = is_AOI(camid, IS_AOI_IMAGE_SET_AOI, &rectAOI, sizeof(rectAOI));
    int maxW = 0;
    int maxH = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (status == IS_SUCCESS) {
            img_width = w;
            img_height = h;
        }
        maxW = MaxWidth;
        maxH = MaxHeight;
    }
    if (status == IS_SUCCESS) {
        DefaultAOIX = x;
        DefaultAOIY = y;
        DefaultAOIW = w;
        DefaultAOIH = h;
        return true;
    }
    logging->udebug(QStringLiteral("AOI X") + QString::number(x) + QStringLiteral(" Y") + QString::number(y) + QStringLiteral(" W")
                    + QString::number(w) + QStringLiteral(" H") + QString::number(h) + QStringLiteral(" EW") + QString::number(x + w)
                    + QStringLiteral("/") + QString::number(maxW) + QStringLiteral(" EH") + QString::number(y + h) + QStringLiteral("/")
                    + QString::number(maxH) + QStringLiteral(" Failed on Camera ") + cameraRef() + alias() + QStringLiteral(" CODE:")
                    + QString::number(status));
    return false;
}

bool CameraAcquisition::ResetAoi()
{
    int maxW = 0;
    int maxH = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        maxW = MaxWidth;
        maxH = MaxHeight;
    }
    return Aoi(0, 0, maxW, maxH);
}

bool CameraAcquisition::SetExposureTime(int percent)
{
    double range[3] = {0.0, 0.0, 0.0};
    INT status = is_Exposure(camid, IS_EXPOSURE_CMD_GET_EXPOSURE_RANGE, range, sizeof(range));
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Get exposure range Failed on Camera ") + cameraRef() + alias() + QStringLiteral(" CODE:")
                        + QString::number(status));
        return false;
    }
    double exposure = (percent * (range[1] - range[0])) / 100.0 + range[0];
    status = is_Exposure(camid, IS_EXPOSURE_CMD_SET_EXPOSURE, &exposure, sizeof(exposure));
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Setting exposure time ") + QString::number(percent) + QStringLiteral(" Failed on Camera ")
                        + cameraRef() + alias() + QStringLiteral(" CODE:") + QString::number(status));
        return false;
    }
    DefaultExposureTime = percent;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Acquisition loop (camera thread)

void CameraAcquisition::wake()
{
    {
        std::lock_guard<std::mutex> wakeLock(wakeMutex);
        wakeRequested = true;
    }
    wakeCondition.notify_all();
}

void CameraAcquisition::sleepUntil(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> wakeLock(wakeMutex);
    wakeCondition.wait_until(wakeLock, deadline, [this] { return wakeRequested || !CaptureRun; });
    wakeRequested = false;
}

void CameraAcquisition::run()
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point next = Clock::now();
    while (CaptureRun) {
        if (IS_INIT) {
            bool published = false;
            try {
                published = samplePass();
                passFailure.clear(logging);
            } catch (const std::exception& e) {
                passFailure.fail(logging,
                                 QStringLiteral("Error While reading ") + role.displayName + QStringLiteral(" Camera ")
                                     + QString::fromLocal8Bit(e.what()),
                                 QStringLiteral("Reading failure on Camera ") + cameraRef() + alias());
            }
            watchFreshness(published);
        }
        // Twice per frame of the camera: a frame waits at most half a frame time in the memory,
        // and with a delivery jitter below half a frame time none is overwritten unseen. Paced by
        // deadline, so the pass's own time is part of the period; a late pass starts the next
        // period from now.
        const double rate = ips.load();
        const auto period = std::chrono::microseconds(static_cast<long long>(std::llround(0.5e6 / (rate > 0.0 ? rate : 10.0))));
        next += period;
        const Clock::time_point now = Clock::now();
        if (next < now)
            next = now;
        sleepUntil(next);
    }
}

void CameraAcquisition::watchFreshness(bool published)
{
    const auto now = std::chrono::steady_clock::now();
    const double staleMs = std::chrono::duration<double, std::milli>(now - lastFreshFrame).count();
    if (published) {
        if (frozen.exchange(false)) {
            logging->udebug(QStringLiteral("Camera ") + cameraRef() + alias() + QStringLiteral(" delivers new frames again after ")
                            + QString::number(std::llround(staleMs)) + QStringLiteral(" ms"));
            emit frozenChanged(false);
        }
        lastFreshFrame = now;
        return;
    }
    const double rate = ips.load();
    const double limitMs = std::max(FreezeMinMs, FreezeFrames * 1000.0 / (rate > 0.0 ? rate : 10.0));
    if (staleMs >= limitMs && !frozen.exchange(true)) {
        logging->udebug(QStringLiteral("Camera ") + cameraRef() + alias() + QStringLiteral(" frozen: no new frame for ")
                        + QString::number(std::llround(staleMs)) + QStringLiteral(" ms")
                        + (haveFrameNumber ? QStringLiteral(", last frame ") + QString::number(lastFrameNumber) : QString()));
        emit frozenChanged(true);
    }
}

qint64 CameraAcquisition::captureTimeOf(const UEYEIMAGEINFO& info, qint64 receivedUs)
{
    // When the frame reached the memory: the driver's wall-clock stamp moved onto the steady
    // clock (the pass may come up to half a frame later, or much later on a busy machine);
    // without a stamp, when this pass saw it.
    qint64 arrivedUs = receivedUs;
    const UEYETIME& wall = info.TimestampSystem;
    if (wall.wYear >= 1970) {
        std::tm local{};
        local.tm_year = wall.wYear - 1900;
        local.tm_mon = wall.wMonth - 1;
        local.tm_mday = wall.wDay;
        local.tm_hour = wall.wHour;
        local.tm_min = wall.wMinute;
        local.tm_sec = wall.wSecond;
        local.tm_isdst = -1;
        const std::time_t seconds = std::mktime(&local);
        if (seconds != static_cast<std::time_t>(-1)) {
            const qint64 wallUs = static_cast<qint64>(seconds) * 1000000 + qint64(wall.wMilliseconds) * 1000;
            const qint64 steadyNowUs = SteadyNowUs();
            const qint64 nowWallUs =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
            const qint64 ageUs = nowWallUs - wallUs;
            // A stamp from the future or from long ago (clock set meanwhile) is not used.
            if (ageUs >= 0 && ageUs < 10000000)
                arrivedUs = std::min(receivedUs, steadyNowUs - ageUs);
        }
    }
    // The device counts in tenths of a microsecond from a moment of its own.
    const qint64 deviceUs = static_cast<qint64>(info.u64TimestampDevice / 10);
    const qint64 offset = arrivedUs - deviceUs;
    if (!haveClockOffset || offset < clockOffsetUs) {
        clockOffsetUs = offset;
        haveClockOffset = true;
    }
    const double rate = ips.load();
    const qint64 allowanceUs = static_cast<qint64>(LatencyAllowanceFrames * 1e6 / (rate > 0.0 ? rate : 10.0));
    return std::min(receivedUs, deviceUs + clockOffsetUs - allowanceUs);
}

bool CameraAcquisition::samplePass()
{
    double minTime = 0.0;
    double maxTime = 0.0;
    double step = 0.0;
    const INT timeStatus = is_GetFrameTimeRange(camid, &minTime, &maxTime, &step);
    if (timeStatus == IS_SUCCESS && minTime > 0.0 && std::isfinite(minTime)) {
        // The camera free-runs at the shortest frame time its settings allow.
        ips = 1.0 / minTime;
        frameTimeFailure.clear(logging);
    } else {
        // The pace stays what it was until the camera answers again.
        frameTimeFailure.fail(logging,
                              QStringLiteral("Get frame time range Failed on Camera ") + cameraRef() + alias() + QStringLiteral(" CODE:")
                                  + QString::number(timeStatus),
                              QStringLiteral("Get frame time range failure on Camera ") + cameraRef() + alias());
    }

    INT memW = 0;
    INT memH = 0;
    const INT status = is_InquireImageMem(camid, imgMem, memId, &memW, &memH, &ubpp, &upit);
    const qint64 receivedUs = SteadyNowUs();
    if (status != IS_SUCCESS) {
        memoryFailure.fail(logging,
                           QStringLiteral("Faild to get image memory Camera ") + cameraRef() + alias() + QStringLiteral(" Code Error ")
                               + QString::number(status),
                           QStringLiteral("Get image memory failure on Camera ") + cameraRef() + alias());
        return false;
    }
    memoryFailure.clear(logging);

    // Which frame the memory holds: only a frame number not seen before is a new frame.
    UEYEIMAGEINFO info;
    std::memset(&info, 0, sizeof info);
    const INT infoStatus = is_GetImageInfo(camid, memId, &info, sizeof info);
    if (infoStatus != IS_SUCCESS) {
        infoFailure.fail(logging,
                         QStringLiteral("Get image info Failed on Camera ") + cameraRef() + alias() + QStringLiteral(" CODE:")
                             + QString::number(infoStatus),
                         QStringLiteral("Get image info failure on Camera ") + cameraRef() + alias());
        return false;
    }
    infoFailure.clear(logging);
    if (haveFrameNumber && info.u64FrameNumber == lastFrameNumber)
        return false;
    haveFrameNumber = true;
    lastFrameNumber = info.u64FrameNumber;
    const qint64 captureUs = captureTimeOf(info, receivedUs);

    const int channels = SupportedCameraType == 1 ? 1 : 3;
    if (memW <= 0 || memH <= 0 || ubpp != channels * 8 || upit < memW * channels || !imgMem)
        throw std::runtime_error("image memory " + std::to_string(memW) + "x" + std::to_string(memH) + " with "
                                 + std::to_string(ubpp) + " bits and pitch " + std::to_string(upit)
                                 + " does not match the camera's format");
    LCapture = cv::Mat(memH, memW, CV_8UC(channels), imgMem, static_cast<size_t>(upit));

    int width = 0;
    int height = 0;
    QString pendingSave;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        width = std::min(img_width, memW);
        height = std::min(img_height, memH);
    }
    if (width <= 0 || height <= 0)
        throw std::runtime_error("empty area of interest");
    // Only the area of interest is converted: the rest of the memory holds nothing new.
    const cv::Mat cut = LCapture(cv::Rect(0, 0, width, height));
    cv::Mat frame;
    if (role.rotateClockwise && channels == 1) {
        // Turning the one-byte mosaic costs a third of turning the colour frame; the turned
        // mosaic is then decoded with the filter layout it has after the turn.
        cvRot90(cut, RCapture, 90);
        frame = freeBuffer(width, height);
        cv::cvtColor(RCapture, frame, turnedBayerCode(role.colorConversion, height));
    } else if (role.rotateClockwise) {
        if (role.colorConversion >= 0)
            cv::cvtColor(cut, RCapture, role.colorConversion);
        else
            RCapture = cut;
        frame = freeBuffer(width, height);
        cvRot90(RCapture, frame, 90);
    } else {
        frame = freeBuffer(height, width);
        if (role.colorConversion >= 0)
            cv::cvtColor(cut, frame, role.colorConversion);
        else
            cut.copyTo(frame);
    }
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        RelCapture = frame;
        RelFrameNumber = static_cast<qint64>(info.u64FrameNumber);
        RelCaptureTimeUs = captureUs;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        pendingSave.swap(HandleSave);
    }
    if (!pendingSave.isEmpty())
        writeFrameFile(frame, pendingSave);
    emit newcapture();
    frameFinished(frame);
    return true;
}

cv::Mat CameraAcquisition::freeBuffer(int rows, int cols)
{
    for (cv::Mat& buffer : buffers) {
        // Held by this list only: no frame handed out can still point at it.
        if (buffer.rows == rows && buffer.cols == cols && buffer.u && CV_XADD(&buffer.u->refcount, 0) == 1)
            return buffer;
    }
    cv::Mat fresh(rows, cols, CV_8UC3);
    if (buffers.size() < RecycledBuffers) {
        buffers.push_back(fresh);
    } else {
        buffers[nextBuffer] = fresh;
        nextBuffer = (nextBuffer + 1) % RecycledBuffers;
    }
    return fresh;
}

void CameraAcquisition::cvRot90(cv::Mat src, cv::Mat& dst, int angle)
{
    CV_Assert(angle % 90 == 0 && angle <= 360 && angle >= -360);
    // Transposed and mirrored left to right: a clockwise quarter turn, whatever the angle.
    cv::rotate(src, dst, cv::ROTATE_90_CLOCKWISE);
}

void CameraAcquisition::writeFrameFile(const cv::Mat& frame, const QString& path)
{
    try {
        // Frames hold B, G, R, the order the image files take.
        if (cv::imwrite(path.toStdString(), frame))
            return;
        logging->udebug(QStringLiteral("Saving frame to ") + path + QStringLiteral(" Failed on Camera ") + cameraRef() + alias());
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Saving frame to ") + path + QStringLiteral(" Failed on Camera ") + cameraRef() + alias()
                        + QStringLiteral(": ") + QString::fromLocal8Bit(e.what()));
    }
}
