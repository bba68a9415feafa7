// The GenICam backend (GigE Vision and USB3 Vision cameras, through Aravis). A camera is found
// by its serial number in Aravis's device list and streams into a small pool of Aravis buffers;
// a poll takes the newest complete buffer and hands it out without copying, until the frame
// that holds it is let go.

// Aravis (glib) first: Qt's keyword macros would break its headers.
#include <arv.h>

#include "camera/cameradevice.h"
#include "camera/genicamsimulation.h"
#include "core/logs.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

namespace {

// Buffers in the stream's pool: one being filled, one waiting, one held by a frame, a spare.
constexpr int PoolBuffers = 4;
// The rate the station asks of a camera that could run faster: its frames are used live.
constexpr double HighestFrameRate = 60.0;

// Aravis's device list is one global table, rebuilt by arv_update_device_list().
std::mutex& listMutex()
{
    static std::mutex mutex;
    return mutex;
}
std::atomic<bool> inUse{false};
std::atomic<genicamsimulation::Hook> simulationHook{nullptr};

// A pixel format the station reads: its GenICam name, bytes per pixel and the OpenCV
// conversion into B, G, R (-1: already B, G, R). GenICam names a Bayer layout by its top-left
// 2x2 cell (BayerRG8: R G / G B); OpenCV by the second row's second and third pixels.
struct Format
{
    const char* name;
    int channels;
    int conversion;
};
const Format Formats[] = {
    {"BayerRG8", 1, cv::COLOR_BayerBG2BGR}, {"BayerBG8", 1, cv::COLOR_BayerRG2BGR}, {"BayerGR8", 1, cv::COLOR_BayerGB2BGR},
    {"BayerGB8", 1, cv::COLOR_BayerGR2BGR}, {"BGR8", 3, -1},   {"RGB8", 3, cv::COLOR_RGB2BGR},
    {"BGR8Packed", 3, -1},                  {"RGB8Packed", 3, cv::COLOR_RGB2BGR},     {"Mono8", 1, cv::COLOR_GRAY2BGR},
};

// The formats a role takes, best first: its own mosaic layout, any 8-bit mosaic, colour, grey.
std::vector<const Format*> preferredFormats(const DeviceRole& role)
{
    std::vector<const Format*> order;
    auto add = [&order](const Format* format) {
        if (std::find(order.begin(), order.end(), format) == order.end())
            order.push_back(format);
    };
    for (const Format& format : Formats)
        if (role.rawSensor && format.channels == 1 && format.conversion == role.colorConversion)
            add(&format);
    for (const Format& format : Formats) {
        const bool mosaic = QByteArray(format.name).startsWith("Bayer");
        if (role.rawSensor == mosaic)
            add(&format);
    }
    for (const Format& format : Formats)
        add(&format);
    return order;
}

class GenICamCamera : public CameraDevice
{
public:
    GenICamCamera(const DeviceRole& role, Logs* logging, CameraNamer namer, QString alias)
        : role(role)
        , logging(logging)
        , namer(std::move(namer))
        , alias(std::move(alias))
    {
    }
    ~GenICamCamera() override { close(); }

    bool open(const QString& serial) override;
    void close() override;
    bool isHeld() const override { return camera != nullptr; }
    QString heldSerial() const override { return openedSerial; }
    QSize sensorSize() const override { return sensor; }
    bool setAutoGain(bool on) override;
    bool setSubSampling(int factor) override;
    bool setAoi(int x, int y, int w, int h) override;
    bool setExposurePercent(int percent) override;
    void shareBandwidth() override {}
    bool frameRate(double* framesPerSecond) override;
    Poll poll(DeviceFrame* frame, double framesPerSecond) override;
    void clearFailures(const QString& how) override;

private:
    QString who() const { return namer(); }
    // Logs and clears a GenICam error: "<what> Failed on Camera <serial> alias '<role>': <message>".
    bool check(GError*& error, const QString& what);
    // (Re)creates the stream and its buffers for the present payload and starts acquiring.
    bool startStream();
    void stopStream();
    void readFrameRate();
    static void controlLost(ArvDevice*, gpointer self);

    const DeviceRole role;
    Logs* logging;
    CameraNamer namer;
    QString alias;

    ArvCamera* camera = nullptr;
    gulong lostHandler = 0;
    std::atomic<bool> lost{false};
    QString openedSerial;
    QSize sensor;
    const Format* format = nullptr;
    ArvPixelFormat pixelFormat = 0; // the camera's value for `format`
    std::atomic<double> rate{0.0};

    // streamMutex guards stream: the main thread replaces it (area of interest) while the
    // camera thread polls it. A frame handed out keeps its buffer and a reference on its stream.
    std::mutex streamMutex;
    ArvStream* stream = nullptr;

    // Camera thread only.
    bool haveFrameId = false;
    guint64 lastFrameId = 0;
    qint64 frameNumber = 0;
    CaptureClock clock;
    RepeatingFailure lostFailure;
    RepeatingFailure bufferFailure;
    RepeatingFailure rateFailure;
};

void GenICamCamera::controlLost(ArvDevice*, gpointer self)
{
    // Emitted from one of Aravis's threads.
    static_cast<GenICamCamera*>(self)->lost = true;
}

bool GenICamCamera::check(GError*& error, const QString& what)
{
    if (!error)
        return true;
    logging->udebug(what + QStringLiteral(" Failed on Camera ") + who() + QStringLiteral(": ") + QString::fromUtf8(error->message));
    g_clear_error(&error);
    return false;
}

bool GenICamCamera::open(const QString& serial)
{
    close();
    lost = false;
    haveFrameId = false;
    frameNumber = 0;
    clock.reset();
    sensor = QSize();

    QByteArray deviceId;
    {
        std::lock_guard<std::mutex> lock(listMutex());
        arv_update_device_list();
        const unsigned count = arv_get_n_devices();
        for (unsigned i = 0; i < count && deviceId.isEmpty(); ++i) {
            const char* listed = arv_get_device_serial_nbr(i);
            if (listed && serial == QString::fromUtf8(listed))
                deviceId = arv_get_device_id(i);
        }
    }
    if (deviceId.isEmpty()) {
        logging->udebug(QStringLiteral("Camera ") + serial + alias + QStringLiteral(" not found"));
        return false;
    }
    GError* error = nullptr;
    camera = arv_camera_new(deviceId.constData(), &error);
    if (!camera) {
        logging->udebug(QStringLiteral("Open camera ") + serial + alias + QStringLiteral(": Failed to open GenICam device ")
                        + QString::fromUtf8(deviceId) + QStringLiteral(": ") + QString::fromUtf8(error ? error->message : "no device"));
        g_clear_error(&error);
        return false;
    }
    openedSerial = serial;
    ArvDevice* device = arv_camera_get_device(camera);
    lostHandler = g_signal_connect(device, "control-lost", G_CALLBACK(&GenICamCamera::controlLost), this);
    if (genicamsimulation::Hook hook = simulationHook.load())
        hook(device, role.displayName);

    QString failure;
    do {
        gint width = 0;
        gint height = 0;
        arv_camera_get_sensor_size(camera, &width, &height, &error);
        if (error || width <= 0 || height <= 0) {
            failure = QStringLiteral("Failed to read SensorWidth/SensorHeight: ")
                      + (error ? QString::fromUtf8(error->message) : QStringLiteral("empty sensor"));
            g_clear_error(&error);
            break;
        }
        sensor = QSize(width, height);
        guint available = 0;
        const char** names = arv_camera_dup_available_pixel_formats_as_strings(camera, &available, &error);
        g_clear_error(&error);
        QStringList offered;
        for (guint i = 0; names && i < available; ++i)
            offered.append(QString::fromUtf8(names[i]));
        g_free(names);
        for (const Format* candidate : preferredFormats(role)) {
            if (offered.contains(QString::fromLatin1(candidate->name))) {
                format = candidate;
                break;
            }
        }
        if (!format) {
            failure = QStringLiteral("no PixelFormat the station reads among ") + offered.join(QLatin1Char(','));
            break;
        }
        arv_camera_set_pixel_format_from_string(camera, format->name, &error);
        if (!check(error, QStringLiteral("Setting PixelFormat ") + format->name)) {
            failure = QStringLiteral("Failed to set PixelFormat ") + format->name;
            break;
        }
        pixelFormat = arv_camera_get_pixel_format(camera, &error);
        check(error, QStringLiteral("Reading PixelFormat"));
        logging->udebug(QString::fromLatin1(role.displayName) + QStringLiteral(" Camera ") + serial + QStringLiteral(" Initialized W[")
                        + QString::number(width) + QStringLiteral("] H[") + QString::number(height) + QStringLiteral("] PF[")
                        + format->name + QStringLiteral("] GenICam ") + QString::fromUtf8(deviceId));
        setAutoGain(true);
        // The full sensor until the role asks for its area.
        arv_camera_set_region(camera, 0, 0, width, height, &error);
        check(error, QStringLiteral("Setting Width/Height ") + QString::number(width) + QStringLiteral("x") + QString::number(height));
        if (arv_camera_is_frame_rate_available(camera, nullptr)) {
            double lowest = 0.0, highest = 0.0;
            arv_camera_get_frame_rate_bounds(camera, &lowest, &highest, &error);
            if (check(error, QStringLiteral("Reading AcquisitionFrameRate range"))) {
                const double wanted = std::max(lowest, std::min(highest, HighestFrameRate));
                arv_camera_set_frame_rate(camera, wanted, &error);
                check(error, QStringLiteral("Setting AcquisitionFrameRate ") + QString::number(wanted));
            }
        }
        if (!startStream()) {
            failure = QStringLiteral("Failed to start acquisition");
            break;
        }
    } while (false);
    if (failure.isEmpty())
        return true;
    logging->udebug(QStringLiteral("Open camera ") + serial + alias + QStringLiteral(": ") + failure);
    close();
    return false;
}

bool GenICamCamera::startStream()
{
    GError* error = nullptr;
    ArvStream* fresh = arv_camera_create_stream(camera, nullptr, nullptr, &error);
    if (!fresh) {
        check(error, QStringLiteral("Creating stream"));
        return false;
    }
    const guint payload = arv_camera_get_payload(camera, &error);
    if (!check(error, QStringLiteral("Reading PayloadSize")) || payload == 0) {
        g_object_unref(fresh);
        return false;
    }
    for (int i = 0; i < PoolBuffers; ++i)
        arv_stream_push_buffer(fresh, arv_buffer_new(payload, nullptr));
    arv_camera_set_acquisition_mode(camera, ARV_ACQUISITION_MODE_CONTINUOUS, &error);
    check(error, QStringLiteral("Setting AcquisitionMode Continuous"));
    arv_camera_start_acquisition(camera, &error);
    if (!check(error, QStringLiteral("AcquisitionStart"))) {
        g_object_unref(fresh);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        stream = fresh;
    }
    readFrameRate();
    return true;
}

void GenICamCamera::stopStream()
{
    ArvStream* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        std::swap(old, stream);
    }
    if (!old)
        return;
    GError* error = nullptr;
    arv_camera_stop_acquisition(camera, &error);
    if (!lost)
        check(error, QStringLiteral("AcquisitionStop"));
    g_clear_error(&error);
    // Buffers still held by frames go back to this stream when let go; it ends with the last.
    g_object_unref(old);
}

void GenICamCamera::close()
{
    if (!camera)
        return;
    stopStream();
    ArvDevice* device = arv_camera_get_device(camera);
    if (lostHandler)
        g_signal_handler_disconnect(device, lostHandler);
    lostHandler = 0;
    g_object_unref(camera);
    camera = nullptr;
    format = nullptr;
}

void GenICamCamera::clearFailures(const QString& how)
{
    for (RepeatingFailure* failure : {&lostFailure, &bufferFailure, &rateFailure})
        failure->clear(logging, how);
}

bool GenICamCamera::setAutoGain(bool on)
{
    if (!arv_camera_is_gain_auto_available(camera, nullptr))
        return false;
    GError* error = nullptr;
    arv_camera_set_gain_auto(camera, on ? ARV_AUTO_CONTINUOUS : ARV_AUTO_OFF, &error);
    return check(error, QStringLiteral("Setting GainAuto ") + (on ? QStringLiteral("Continuous") : QStringLiteral("Off")));
}

bool GenICamCamera::setSubSampling(int factor)
{
    const int step = factor <= 1 ? 1 : factor;
    GError* error = nullptr;
    if (!arv_camera_is_binning_available(camera, nullptr)) {
        logging->udebug(QStringLiteral("Sub sampling ") + QString::number(factor) + QStringLiteral("X Failed on Camera ") + who()
                        + QStringLiteral(": no BinningHorizontal/BinningVertical"));
        return false;
    }
    stopStream();
    arv_camera_set_binning(camera, step, step, &error);
    const bool done = check(error, QStringLiteral("Setting BinningHorizontal/BinningVertical ") + QString::number(step));
    return startStream() && done;
}

bool GenICamCamera::setAoi(int x, int y, int w, int h)
{
    // GenICam takes sizes and offsets in steps of its own; an area off those steps, or beyond
    // the sensor, is refused as the SDK refuses it.
    GError* error = nullptr;
    const gint widthStep = std::max(1, arv_camera_get_width_increment(camera, &error));
    g_clear_error(&error);
    const gint heightStep = std::max(1, arv_camera_get_height_increment(camera, &error));
    g_clear_error(&error);
    const gint xStep = std::max(1, arv_camera_get_x_offset_increment(camera, &error));
    g_clear_error(&error);
    const gint yStep = std::max(1, arv_camera_get_y_offset_increment(camera, &error));
    g_clear_error(&error);
    QString refusal;
    if (w <= 0 || h <= 0 || x < 0 || y < 0 || x + w > sensor.width() || y + h > sensor.height())
        refusal = QStringLiteral("outside the sensor");
    else if (w % widthStep || h % heightStep || x % xStep || y % yStep)
        refusal = QStringLiteral("off the steps W") + QString::number(widthStep) + QStringLiteral(" H") + QString::number(heightStep)
                  + QStringLiteral(" X") + QString::number(xStep) + QStringLiteral(" Y") + QString::number(yStep);
    if (refusal.isEmpty()) {
        stopStream();
        // Aravis moves the offsets to zero first, so that any new size fits.
        arv_camera_set_region(camera, x, y, w, h, &error);
        if (error)
            refusal = QString::fromUtf8(error->message);
        g_clear_error(&error);
        gint gotX = 0, gotY = 0, gotW = 0, gotH = 0;
        arv_camera_get_region(camera, &gotX, &gotY, &gotW, &gotH, &error);
        g_clear_error(&error);
        if (refusal.isEmpty() && (gotX != x || gotY != y || gotW != w || gotH != h))
            refusal = QStringLiteral("camera took X") + QString::number(gotX) + QStringLiteral(" Y") + QString::number(gotY)
                      + QStringLiteral(" W") + QString::number(gotW) + QStringLiteral(" H") + QString::number(gotH);
        startStream();
    }
    if (refusal.isEmpty())
        return true;
    logging->udebug(QStringLiteral("AOI X") + QString::number(x) + QStringLiteral(" Y") + QString::number(y) + QStringLiteral(" W")
                    + QString::number(w) + QStringLiteral(" H") + QString::number(h) + QStringLiteral(" EW") + QString::number(x + w)
                    + QStringLiteral("/") + QString::number(sensor.width()) + QStringLiteral(" EH") + QString::number(y + h)
                    + QStringLiteral("/") + QString::number(sensor.height()) + QStringLiteral(" Failed on Camera ") + who()
                    + QStringLiteral(": ") + refusal);
    return false;
}

bool GenICamCamera::setExposurePercent(int percent)
{
    // Percent of the exposure range that fits in one frame at the camera's rate, so that the
    // exposure never slows the camera down (GenICam ranges reach seconds).
    GError* error = nullptr;
    double lowest = 0.0, highest = 0.0;
    arv_camera_get_exposure_time_bounds(camera, &lowest, &highest, &error);
    if (!check(error, QStringLiteral("Get ExposureTime range")))
        return false;
    const double frameUs = rate.load() > 0.0 ? 1e6 / rate.load() : highest;
    const double top = std::max(lowest, std::min(highest, frameUs));
    const double exposure = lowest + std::clamp(percent, 0, 100) * (top - lowest) / 100.0;
    arv_camera_set_exposure_time(camera, exposure, &error);
    if (!check(error, QStringLiteral("Setting ExposureTime ") + QString::number(percent)))
        return false;
    readFrameRate();
    return true;
}

void GenICamCamera::readFrameRate()
{
    if (!arv_camera_is_frame_rate_available(camera, nullptr))
        return;
    GError* error = nullptr;
    const double value = arv_camera_get_frame_rate(camera, &error);
    if (!error && value > 0.0 && std::isfinite(value))
        rate = value;
    g_clear_error(&error);
}

bool GenICamCamera::frameRate(double* framesPerSecond)
{
    // Read from the camera when its settings change, not on every pass (each read is a
    // round trip to the device).
    const double value = rate.load();
    if (value > 0.0) {
        *framesPerSecond = value;
        rateFailure.clear(logging);
        return true;
    }
    rateFailure.fail(logging, QStringLiteral("Get AcquisitionFrameRate Failed on Camera ") + who(),
                     QStringLiteral("Get AcquisitionFrameRate failure on Camera ") + who());
    return false;
}

CameraDevice::Poll GenICamCamera::poll(DeviceFrame* frame, double framesPerSecond)
{
    if (lost) {
        lostFailure.fail(logging, QStringLiteral("GenICam control lost on Camera ") + who(),
                         QStringLiteral("GenICam control lost on Camera ") + who());
        return Poll::Failed;
    }
    lostFailure.clear(logging);
    ArvStream* source = nullptr;
    ArvBuffer* newest = nullptr;
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        if (!stream)
            return Poll::SameFrame;
        source = stream;
        g_object_ref(source);
        // Only the newest finished buffer is worth a look; older ones go straight back.
        while (ArvBuffer* buffer = arv_stream_try_pop_buffer(stream)) {
            if (arv_buffer_get_status(buffer) != ARV_BUFFER_STATUS_SUCCESS) {
                bufferFailure.fail(logging,
                                   QStringLiteral("Incomplete frame on Camera ") + who() + QStringLiteral(" status ")
                                       + QString::number(static_cast<int>(arv_buffer_get_status(buffer))),
                                   QStringLiteral("Incomplete frames on Camera ") + who());
                arv_stream_push_buffer(stream, buffer);
                continue;
            }
            if (newest)
                arv_stream_push_buffer(stream, newest);
            newest = buffer;
        }
    }
    if (!newest) {
        g_object_unref(source);
        return Poll::SameFrame;
    }
    bufferFailure.clear(logging);
    const qint64 receivedUs = CaptureClock::NowUs();

    // Frame ids may be 16 bits wide (GigE Vision) and wrap: the station's count keeps rising.
    const guint64 id = arv_buffer_get_frame_id(newest);
    frameNumber += haveFrameId && id > lastFrameId ? static_cast<qint64>(id - lastFrameId) : 1;
    haveFrameId = true;
    lastFrameId = id;

    // Arrival: the host's wall-clock stamp of the buffer, moved onto the steady clock.
    const guint64 systemNs = arv_buffer_get_system_timestamp(newest);
    const qint64 arrivedUs = systemNs > 0 ? CaptureClock::FromWallClock(static_cast<qint64>(systemNs / 1000), receivedUs) : receivedUs;
    const guint64 deviceNs = arv_buffer_get_timestamp(newest);
    const qint64 deviceUs = deviceNs > 0 ? static_cast<qint64>(deviceNs / 1000) : arrivedUs;
    frame->captureTimeUs = clock.captureTime(deviceUs, arrivedUs, receivedUs, framesPerSecond);
    frame->frameNumber = frameNumber;

    const int width = arv_buffer_get_image_width(newest);
    const int height = arv_buffer_get_image_height(newest);
    size_t size = 0;
    void* data = const_cast<void*>(arv_buffer_get_data(newest, &size));
    // Some producers leave the data size at 0; the image's size comes from width, height and format.
    const size_t needed = static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(format->channels);
    if (!data || width <= 0 || height <= 0 || arv_buffer_get_image_pixel_format(newest) != pixelFormat || (size != 0 && size < needed)) {
        arv_stream_push_buffer(source, newest);
        g_object_unref(source);
        throw std::runtime_error("GenICam buffer " + std::to_string(width) + "x" + std::to_string(height) + " of "
                                 + std::to_string(size) + " bytes does not match the camera's format");
    }
    // The frame keeps the buffer until it is let go, then gives it back to its stream.
    std::shared_ptr<void> owner(newest, [source](void* buffer) {
        arv_stream_push_buffer(source, static_cast<ArvBuffer*>(buffer));
        g_object_unref(source);
    });
    frame->memory = cv::Mat(height, width, CV_8UC(format->channels), data);
    frame->owner = owner;
    frame->width = width;
    frame->height = height;
    frame->colorConversion = format->conversion;
    return Poll::NewFrame;
}

} // namespace

std::unique_ptr<CameraDevice> MakeGenICamCamera(const DeviceRole& role, Logs* logging, CameraNamer namer, QString alias)
{
    inUse = true;
    return std::make_unique<GenICamCamera>(role, logging, std::move(namer), std::move(alias));
}

bool genicamcameras::Available() { return true; }

std::vector<ListedCamera> genicamcameras::List(Logs* logging)
{
    std::vector<ListedCamera> listed;
    // Looking for GenICam cameras costs a discovery round on the network: only once a role
    // uses the GenICam backend.
    if (!inUse)
        return listed;
    std::lock_guard<std::mutex> lock(listMutex());
    arv_update_device_list();
    const unsigned count = arv_get_n_devices();
    logging->udebug(QString::number(count) + QStringLiteral(" GenICam Camera(s) Found"));
    for (unsigned i = 0; i < count; ++i) {
        ListedCamera camera;
        camera.serial = QString::fromUtf8(arv_get_device_serial_nbr(i) ? arv_get_device_serial_nbr(i) : "");
        listed.push_back(camera);
        logging->udebug(QStringLiteral(">GenICam Camera ") + QString::number(i) + QStringLiteral(" id ") + camera.serial
                        + QStringLiteral(" (") + QString::fromUtf8(arv_get_device_id(i)) + QStringLiteral(")"));
    }
    return listed;
}

void genicamsimulation::SetHook(Hook hook) { simulationHook = hook; }
