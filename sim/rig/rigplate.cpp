#include "rigplate.h"

#include "rigsdk.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace rig {

std::vector<double> plateKeyOf(const Scene& scene, unsigned long long generation, const PlateSetting& setting)
{
    std::vector<double> key = viewKey(scene, setting.sheet.view, generation);
    key.insert(key.end(), {std::round(setting.gain * 1000.0), static_cast<double>(setting.channels),
                           static_cast<double>(setting.colorMode), static_cast<double>(setting.patternGeneration),
                           static_cast<double>(setting.sheet.width), static_cast<double>(setting.sheet.height),
                           static_cast<double>(setting.sheet.bayer)});
    return key;
}

Plate drawPlate(const Scene& scene, unsigned long long generation, const PlateSetting& setting, TopViewRenderer& top,
                FrontViewRenderer& front)
{
    Plate out;
    out.key = plateKeyOf(scene, generation, setting);
    const CameraSpec& sheet = setting.sheet;
    const cv::Size sensor(sheet.width, sheet.height);
    cv::Mat bgr;
    if (sheet.view == View::Front) {
        bgr = front.render(scene, sensor);
    } else {
        cv::Mat upright = top.render(scene, sheet.view, uprightSize(sheet.view, sensor), generation);
        if (sheet.view == View::TopLarge)
            cv::rotate(upright, bgr, cv::ROTATE_90_COUNTERCLOCKWISE);
        else
            bgr = upright;
    }
    if (std::abs(setting.gain - 1.0) > 1e-3)
        bgr.convertTo(bgr, CV_8UC3, setting.gain);
    out.bgr = bgr;
    if (setting.channels == 3)
        out.plate = bgr;
    else if (setting.colorMode == IS_CM_SENSOR_RAW8)
        mosaic(bgr, sheet.bayer, out.plate);
    else
        cv::cvtColor(bgr, out.plate, cv::COLOR_BGR2GRAY);
    return out;
}

PlateAhead::~PlateAhead()
{
    {
        std::lock_guard<std::mutex> aheadLock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

void PlateAhead::use(const PlateSetting& current, bool patternShown)
{
    std::lock_guard<std::mutex> aheadLock(mutex);
    setting = current;
    pattern = patternShown;
    known = true;
}

void PlateAhead::sceneChanged(const Scene& scene, unsigned long long generation)
{
    {
        std::lock_guard<std::mutex> aheadLock(mutex);
        if (!known || pattern || stopping)
            return;
        std::vector<double> key = plateKeyOf(scene, generation, setting);
        // A change this camera does not see (another axis, another camera's view) needs nothing.
        if (key == ready.key || key == drawingKey || (pending && key == pendingKey))
            return;
        const auto now = std::chrono::steady_clock::now();
        if (!pending)
            waitingSince = now;
        pendingSince = now;
        pending = true;
        pendingScene = scene;
        pendingGeneration = generation;
        pendingKey = std::move(key);
        if (!thread.joinable())
            thread = std::thread(&PlateAhead::run, this);
    }
    wake.notify_all();
}

bool PlateAhead::take(const std::vector<double>& key, Plate* plate)
{
    std::unique_lock<std::mutex> aheadLock(mutex);
    drawn.wait(aheadLock, [&] { return drawingKey != key; });
    if (ready.key != key || ready.plate.empty())
        return false;
    *plate = ready;
    return true;
}

void PlateAhead::clear()
{
    std::lock_guard<std::mutex> aheadLock(mutex);
    pending = false;
    ready = Plate();
    known = false;
}

void PlateAhead::run()
{
    TopViewRenderer top;
    FrontViewRenderer front;
    std::unique_lock<std::mutex> aheadLock(mutex);
    for (;;) {
        wake.wait(aheadLock, [this] { return stopping || pending; });
        // Until the scene holds still, or a frame time has passed.
        while (!stopping && pending) {
            const auto quiet = pendingSince + std::chrono::milliseconds(QuietMs);
            const auto latest = waitingSince + std::chrono::microseconds(static_cast<long long>(setting.frameTimeS * 1e6));
            const auto until = std::min(quiet, latest);
            if (std::chrono::steady_clock::now() >= until)
                break;
            wake.wait_until(aheadLock, until);
        }
        if (stopping)
            break;
        if (!pending)
            continue;
        const Scene scene = pendingScene;
        const unsigned long long generation = pendingGeneration;
        const PlateSetting drawWith = setting;
        drawingKey = pendingKey;
        pending = false;
        aheadLock.unlock();
        Plate made;
        try {
            made = drawPlate(scene, generation, drawWith, top, front);
        } catch (const std::exception&) {
            // Not drawn: the camera draws the plate itself when its frame arrives.
            made = Plate();
        }
        aheadLock.lock();
        if (!made.plate.empty() && made.key == drawingKey)
            ready = std::move(made);
        drawingKey.clear();
        drawn.notify_all();
    }
    drawingKey.clear();
    drawn.notify_all();
}

} // namespace rig
