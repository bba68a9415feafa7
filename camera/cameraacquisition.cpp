#include "cameraacquisition.h"

#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
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
// Passes per frame time of the camera (see run()).
constexpr double PassesPerFrame = 8.0;
}

qint64 CameraAcquisition::SteadyNowUs()
{
    return CaptureClock::NowUs();
}

CameraAcquisition::CameraAcquisition(const CameraRole& cameraRole, QObject* parent)
    : QThread(parent)
    , role(cameraRole)
{
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
    if (isRunning() || (device && device->isHeld()))
        unInit();
}

void CameraAcquisition::startUp()
{
    try {
        LoadParams();
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
    const settings::camera::RoleKeys& keys = role.keys;
    const QString serial = settings::readText(*AppRegistry, keys.serial);
    int maxW = 0;
    int maxH = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        CamRegRef = serial;
        maxW = MaxWidth;
        maxH = MaxHeight;
    }
    DefaultAOIX = settings::readInt(*AppRegistry, *logging, keys.aoiX);
    DefaultAOIY = settings::readInt(*AppRegistry, *logging, keys.aoiY);
    // The area's size defaults to the whole sensor.
    DefaultAOIW = settings::readInt(*AppRegistry, *logging, keys.aoiW, maxW);
    DefaultAOIH = settings::readInt(*AppRegistry, *logging, keys.aoiH, maxH);
    DefaultExposureTime = settings::readInt(*AppRegistry, *logging, keys.exposure);
    backend = BackendFromName(settings::readText(*AppRegistry, keys.backend));
}

void CameraAcquisition::SaveParams()
{
    const settings::camera::RoleKeys& keys = role.keys;
    settings::write(*AppRegistry, keys.aoiX, DefaultAOIX);
    settings::write(*AppRegistry, keys.aoiY, DefaultAOIY);
    settings::write(*AppRegistry, keys.aoiW, DefaultAOIW);
    settings::write(*AppRegistry, keys.aoiH, DefaultAOIH);
    settings::write(*AppRegistry, keys.exposure, DefaultExposureTime);
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
    // The loop is stopped here or idles (IS_INIT is false): its bookkeeping starts afresh.
    lastFrameNumber = -1;
    lastFreshFrame = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        RelFrameNumber = -1;
        RelCaptureTimeUs = -1;
    }

    // A library keeps a camera whose exit it refused: one more try, and while it stays held its
    // device is kept (nothing else is opened) so that the next binding can close it.
    if (device && device->isHeld())
        unInit();
    if (device && device->isHeld()) {
        logging->udebug(QStringLiteral("Open camera ") + serial + alias() + QStringLiteral(": previous camera not closed"));
        if (role.runsWithoutCamera)
            startThread();
        return;
    }
    const DeviceRole deviceRole{role.displayName, role.rawSensor, role.bitsPerPixel, role.colorConversion};
    CameraNamer namer = [this] { return cameraRef() + alias(); };
    device = backend == CameraBackend::GenICam ? MakeGenICamCamera(deviceRole, logging, namer, alias())
                                               : MakeSdkCamera(deviceRole, logging, SharedConf, namer, alias());
    if (!device) {
        logging->udebug(QStringLiteral("Open camera ") + serial + alias() + QStringLiteral(": GenICam cameras are not supported by this build"));
    } else if (device->open(serial)) {
        const QSize sensor = device->sensorSize();
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            MaxWidth = sensor.width();
            MaxHeight = sensor.height();
            img_width = sensor.width();
            img_height = sensor.height();
        }
        startThread();
        device->shareBandwidth();
        // No stored area (a first start, or a size of zero saved by an older version): the
        // full sensor. A stored area the camera refuses stays the one asked for at the next
        // opening (the refusal is logged; the camera keeps its full sensor meanwhile).
        if (DefaultAOIW <= 0 || DefaultAOIH <= 0) {
            DefaultAOIX = 0;
            DefaultAOIY = 0;
            DefaultAOIW = sensor.width();
            DefaultAOIH = sensor.height();
        }
        Aoi(DefaultAOIX, DefaultAOIY, DefaultAOIW, DefaultAOIH);
        SetExposureTime(DefaultExposureTime);
        // Opening may take a while (a GenICam camera is looked for on the network): the wait
        // for the first frame starts now. The loop does not look at it before IS_INIT.
        lastFreshFrame = std::chrono::steady_clock::now();
        IS_INIT = true;
        wake();
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
    const QString closing = QStringLiteral("ended by closing the camera");
    passFailure.clear(logging, closing);
    if (device)
        device->clearFailures(closing);
    if (frozen.exchange(false)) {
        logging->udebug(QStringLiteral("Camera ") + (device ? device->heldSerial() : cameraRef()) + alias()
                        + QStringLiteral(" frozen until closed"));
        emit frozenChanged(false);
    }
    if (device)
        device->close();
}

void CameraAcquisition::RegisterCam(QString serial)
{
    unInit();
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        CamRegRef = serial;
    }
    settings::write(*AppRegistry, role.keys.serial, serial);
    QThread::msleep(50);
    // A camera plugged back in may have another device ID now.
    if (SharedConf)
        SharedConf->RefreshCameraList();
    Init(serial);
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
    return device && device->isHeld() && device->setAutoGain(on);
}

bool CameraAcquisition::SubSampling(int factor)
{
    return device && device->isHeld() && device->setSubSampling(factor);
}

bool CameraAcquisition::Aoi(int x, int y, int w, int h)
{
    if (!device || !device->isHeld())
        return false;
    if (!device->setAoi(x, y, w, h))
        return false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        img_width = w;
        img_height = h;
    }
    DefaultAOIX = x;
    DefaultAOIY = y;
    DefaultAOIW = w;
    DefaultAOIH = h;
    return true;
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
    if (!device || !device->isHeld() || !device->setExposurePercent(percent))
        return false;
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
        // Eight times per frame of the camera (at most once per 2 ms): a frame waits at most an
        // eighth of a frame time in the memory before the station has it (every alignment
        // measurement waits for that), and with a delivery jitter below seven eighths of a frame
        // time none is overwritten unseen. A pass that finds no new frame is one question to the
        // camera. Paced by deadline, so the pass's own time is part of the period; a late pass
        // starts the next period from now.
        const double rate = ips.load();
        const double periodUs = std::max(2000.0, 1e6 / PassesPerFrame / (rate > 0.0 ? rate : 10.0));
        const auto period = std::chrono::microseconds(static_cast<long long>(std::llround(periodUs)));
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
                        + (lastFrameNumber >= 0 ? QStringLiteral(", last frame ") + QString::number(lastFrameNumber) : QString()));
        emit frozenChanged(true);
    }
}

bool CameraAcquisition::samplePass()
{
    double rate = 0.0;
    // The pace stays what it was until the camera answers again.
    if (device->frameRate(&rate))
        ips = rate;

    DeviceFrame shot;
    if (device->poll(&shot, ips.load()) != CameraDevice::Poll::NewFrame)
        return false;
    lastFrameNumber = shot.frameNumber;

    int width = 0;
    int height = 0;
    QString pendingSave;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        width = std::min(img_width, shot.width);
        height = std::min(img_height, shot.height);
    }
    if (width <= 0 || height <= 0)
        throw std::runtime_error("empty area of interest");
    // Only the area of interest is converted: the rest of the memory holds nothing new.
    const cv::Mat cut = shot.memory(cv::Rect(0, 0, width, height));
    const int conversion = shot.colorConversion;
    cv::Mat frame;
    if (role.rotateClockwise && cut.channels() == 1) {
        // Turning the one-byte mosaic costs a third of turning the colour frame; the turned
        // mosaic is then decoded with the filter layout it has after the turn.
        cvRot90(cut, RCapture, 90);
        frame = freeBuffer(width, height);
        cv::cvtColor(RCapture, frame, turnedBayerCode(conversion, height));
    } else if (role.rotateClockwise) {
        if (conversion >= 0)
            cv::cvtColor(cut, RCapture, conversion);
        else
            RCapture = cut;
        frame = freeBuffer(width, height);
        cvRot90(RCapture, frame, 90);
    } else {
        frame = freeBuffer(height, width);
        if (conversion >= 0)
            cv::cvtColor(cut, frame, conversion);
        else
            cut.copyTo(frame);
    }
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        RelCapture = frame;
        RelFrameNumber = shot.frameNumber;
        RelCaptureTimeUs = shot.captureTimeUs;
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
