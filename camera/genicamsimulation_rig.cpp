// The build over the simulated rig with the GenICam backend: Aravis's simulated camera (its
// "Fake" interface, a GenICam device model with its own features, stream and buffers) is
// listed, and once a role opens it, it shows the rig's view for that role with the sensor
// size of the rig's camera for it.

// Aravis (glib) first: Qt's keyword macros would break its headers.
#include <arv.h>

#include "camera/genicamsimulation.h"
#include "sim/rig/rig.h"
#include "sim/rig/rigscene.h"

#include <opencv2/imgproc.hpp>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

struct Filler
{
    std::atomic<ArvFakeCamera*> camera{nullptr}; // the one opened last for the role
    ArvDevice* device = nullptr;                 // the same, as a device (weak: null once gone)
    std::unique_ptr<rig::SensorView> view;
    rig::CameraSpec sheet;
    cv::Size sensor;
};

// While unplugged the simulated camera is not listed and its frames stay empty.
std::atomic<bool> unplugged{false};

std::mutex fillersMutex;
std::map<std::string, std::shared_ptr<Filler>>& fillers()
{
    static std::map<std::string, std::shared_ptr<Filler>> table;
    return table;
}

bool bayerLayout(ArvPixelFormat format, rig::BayerLayout* layout)
{
    switch (format) {
    case ARV_PIXEL_FORMAT_BAYER_RG_8: *layout = rig::BayerLayout::RGGB; return true;
    case ARV_PIXEL_FORMAT_BAYER_BG_8: *layout = rig::BayerLayout::BGGR; return true;
    case ARV_PIXEL_FORMAT_BAYER_GR_8: *layout = rig::BayerLayout::GRBG; return true;
    case ARV_PIXEL_FORMAT_BAYER_GB_8: *layout = rig::BayerLayout::GBRG; return true;
    default: return false;
    }
}

// Called by the simulated camera's stream thread for every frame.
void fill(ArvBuffer* buffer, void* data, guint32 exposureUs, guint32, ArvPixelFormat format)
{
    Filler* filler = static_cast<Filler*>(data);
    if (unplugged)
        return;
    const int width = arv_buffer_get_image_width(buffer);
    const int height = arv_buffer_get_image_height(buffer);
    size_t size = 0;
    auto* target = static_cast<unsigned char*>(const_cast<void*>(arv_buffer_get_data(buffer, &size)));
    if (!target || width <= 0 || height <= 0)
        return;
    guint32 x = 0;
    guint32 y = 0;
    ArvFakeCamera* camera = filler->camera.load();
    arv_fake_camera_read_register(camera, ARV_FAKE_CAMERA_REGISTER_X_OFFSET, &x);
    arv_fake_camera_read_register(camera, ARV_FAKE_CAMERA_REGISTER_Y_OFFSET, &y);
    // Shared with the view's cache: never written.
    const cv::Mat view = filler->view->render(filler->sensor);
    // Brighter with a longer exposure, as the rig's own cameras (gain 1 at the middle of the range).
    const double gain = rig::exposureGain(filler->sheet, exposureUs / 1000.0, false);
    cv::Mat bgr;
    if (std::abs(gain - 1.0) > 1e-3)
        view.convertTo(bgr, CV_8UC3, gain);
    else
        bgr = view;
    const cv::Rect area = cv::Rect(static_cast<int>(x), static_cast<int>(y), width, height) & cv::Rect(0, 0, bgr.cols, bgr.rows);
    if (area.width != width || area.height != height)
        return;
    const cv::Mat cut = bgr(area);
    rig::BayerLayout layout;
    if (bayerLayout(format, &layout)) {
        cv::Mat raw;
        rig::mosaic(cut, layout, raw);
        raw.copyTo(cv::Mat(height, width, CV_8UC1, target));
    } else if (format == ARV_PIXEL_FORMAT_RGB_8_PACKED) {
        cv::cvtColor(cut, cv::Mat(height, width, CV_8UC3, target), cv::COLOR_BGR2RGB);
    } else if (format == ARV_PIXEL_FORMAT_BGR_8_PACKED) {
        cut.copyTo(cv::Mat(height, width, CV_8UC3, target));
    } else if (format == ARV_PIXEL_FORMAT_MONO_8) {
        cv::cvtColor(cut, cv::Mat(height, width, CV_8UC1, target), cv::COLOR_BGR2GRAY);
    }
}

void prepare(void* opened, const char* role)
{
    ArvDevice* device = static_cast<ArvDevice*>(opened);
    if (!ARV_IS_FAKE_DEVICE(device))
        return;
    const std::string name(role ? role : "");
    const rig::View view = name == "Marking Front" ? rig::View::Front
                           : name == "Top Standard" ? rig::View::TopStandard
                                                    : rig::View::TopLarge;
    const rig::CameraSpec sheet = rig::Rig::defaultCamera(view);
    ArvFakeCamera* camera = arv_fake_device_get_fake_camera(ARV_FAKE_DEVICE(device));
    // The sensor of the rig's camera for this view, so that the rig's geometry holds.
    arv_fake_camera_write_register(camera, ARV_FAKE_CAMERA_REGISTER_SENSOR_WIDTH, static_cast<guint32>(sheet.width));
    arv_fake_camera_write_register(camera, ARV_FAKE_CAMERA_REGISTER_SENSOR_HEIGHT, static_cast<guint32>(sheet.height));
    std::lock_guard<std::mutex> lock(fillersMutex);
    // One filler a role, for the life of the process: a camera closed before may still be
    // finishing a frame with it.
    std::shared_ptr<Filler>& filler = fillers()[name];
    if (!filler) {
        filler = std::make_shared<Filler>();
        filler->view = std::make_unique<rig::SensorView>(view);
        filler->sheet = sheet;
        filler->sensor = cv::Size(sheet.width, sheet.height);
    }
    filler->camera = camera;
    if (filler->device)
        g_object_remove_weak_pointer(G_OBJECT(filler->device), reinterpret_cast<gpointer*>(&filler->device));
    filler->device = device;
    g_object_add_weak_pointer(G_OBJECT(device), reinterpret_cast<gpointer*>(&filler->device));
    arv_fake_camera_set_fill_pattern(camera, &fill, filler.get());
}

} // namespace

void genicamsimulation::Install()
{
    // The simulated camera only: a build over the rig has no real cameras to look for, and a
    // look on the network costs a second each time the list is read.
    arv_disable_interface("GigEVision");
    arv_disable_interface("USB3Vision");
    arv_enable_interface("Fake");
    SetHook(&prepare);
}

void genicamsimulation::Unplug(bool gone)
{
    unplugged = gone;
    if (!gone) {
        arv_enable_interface("Fake");
        return;
    }
    arv_disable_interface("Fake");
    // What Aravis tells when a device stops answering (a cable pulled, a heartbeat missed).
    std::lock_guard<std::mutex> lock(fillersMutex);
    for (auto& entry : fillers())
        if (entry.second->device)
            g_signal_emit_by_name(entry.second->device, "control-lost");
}
