#include "rig.h"

#include "rigcamera.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace rig {

const char* const Rig::TopLargeSerial = "4103117701";
const char* const Rig::FrontSerial = "4103117702";
const char* const Rig::TopStandardSerial = "4103117703";

Rig& Rig::instance()
{
    static Rig rig;
    return rig;
}

Rig::Rig() { reset(); }

CameraSpec Rig::defaultCamera(View view)
{
    CameraSpec sheet;
    sheet.view = view;
    sheet.width = 1280;
    sheet.height = 1024;
    switch (view) {
    case View::TopLarge:
        sheet.serial = TopLargeSerial;
        sheet.deviceId = 1;
        sheet.cameraId = 1;
        sheet.model = "RIG-1280C-TL";
        sheet.bayer = BayerLayout::RGGB;
        sheet.minFrameTimeS = 1.0 / 60.0;
        break;
    case View::Front:
        sheet.serial = FrontSerial;
        sheet.deviceId = 2;
        sheet.cameraId = 2;
        sheet.model = "RIG-1280C-MF";
        sheet.bayer = BayerLayout::BGGR;
        sheet.minFrameTimeS = 1.0 / 60.0;
        break;
    case View::TopStandard:
        sheet.serial = TopStandardSerial;
        sheet.deviceId = 3;
        sheet.cameraId = 3;
        sheet.model = "RIG-1280C-TS";
        sheet.bayer = BayerLayout::RGGB;
        sheet.minFrameTimeS = 1.0 / 30.0;
        sheet.pixelClockMax = 43;
        sheet.exposureMaxMs = 33.3;
        break;
    }
    return sheet;
}

Scene Rig::defaultScene()
{
    Scene scene;
    // The stage starts where the Top Large view is sharp and the front camera is focused.
    scene.axes.x = 0.0;
    scene.axes.y = scene.inscriptionY();
    scene.axes.z = scene.cal.tlZFocus;
    scene.axes.a = 0.0;
    scene.axes.zii = scene.frontFocusZii();
    if (const char* choice = std::getenv("VELTRAX_RIG_SCENE")) {
        const std::string text(choice);
        if (text.rfind("realistic", 0) == 0) {
            const std::size_t colon = text.find(':');
            const unsigned long seed = colon == std::string::npos ? 1ul : std::strtoul(text.c_str() + colon + 1, nullptr, 10);
            scene.realisticSeed = seed == 0 ? 1u : static_cast<unsigned>(seed);
        }
    }
    return scene;
}

void Rig::sceneChanged()
{
    ++sceneGeneration;
    const auto now = std::chrono::steady_clock::now();
    // Long enough for any frame still on its way to the memory.
    while (history.size() > 1 && (history.size() > 256 || now - history[1].since > std::chrono::seconds(5)))
        history.erase(history.begin());
    history.push_back(SceneAt{now, currentScene, sceneGeneration});
    // Each camera's plate of the new scene is drawn now, beside the cameras' frames.
    for (const std::shared_ptr<Camera>& camera : cameraTable)
        camera->ahead.sceneChanged(currentScene, sceneGeneration);
}

std::vector<Rig::SceneAt> Rig::sceneHistory(bool* noise) const
{
    std::lock_guard<std::mutex> rigLock(mutex);
    *noise = noiseOn;
    return history;
}

void Rig::reset()
{
    std::vector<std::shared_ptr<Camera>> retired;
    {
        std::lock_guard<std::mutex> rigLock(mutex);
        retired.swap(cameraTable);
        currentScene = defaultScene();
        history.clear();
        sceneChanged();
        noiseOn = true;
        failures.clear();
        callLog.clear();
        for (View view : {View::TopLarge, View::Front, View::TopStandard})
            cameraTable.push_back(std::make_shared<Camera>(defaultCamera(view)));
    }
    for (const auto& camera : retired) {
        camera->present = false;
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        camera->dropCaches();
    }
}

void Rig::addCamera(const CameraSpec& sheet)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    cameraTable.push_back(std::make_shared<Camera>(sheet));
}

bool Rig::removeCamera(const std::string& serial)
{
    std::shared_ptr<Camera> removed;
    {
        std::lock_guard<std::mutex> rigLock(mutex);
        auto it = std::find_if(cameraTable.begin(), cameraTable.end(),
                               [&](const std::shared_ptr<Camera>& c) { return c->serial == serial; });
        if (it == cameraTable.end())
            return false;
        removed = *it;
        cameraTable.erase(it);
    }
    // Unplugged: the station may still be reading its image memory, so the memory stays until
    // the station frees it or closes the handle.
    removed->present = false;
    std::lock_guard<std::mutex> cameraLock(removed->mutex);
    removed->capturing = false;
    removed->dropCaches();
    return true;
}

void Rig::clearCameras()
{
    std::vector<std::shared_ptr<Camera>> retired;
    {
        std::lock_guard<std::mutex> rigLock(mutex);
        retired.swap(cameraTable);
    }
    for (const auto& camera : retired) {
        camera->present = false;
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        camera->capturing = false;
        camera->dropCaches();
    }
}

std::vector<CameraSpec> Rig::cameras() const
{
    std::vector<std::shared_ptr<Camera>> table = cameraList();
    std::vector<CameraSpec> specs;
    for (const auto& camera : table) {
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        specs.push_back(camera->sheet);
    }
    return specs;
}

bool Rig::updateCamera(const CameraSpec& sheet)
{
    for (const auto& camera : cameraList()) {
        if (camera->serial != sheet.serial)
            continue;
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        const bool sizeChanged = camera->sheet.width != sheet.width || camera->sheet.height != sheet.height;
        camera->sheet = sheet;
        if (sizeChanged && !camera->open)
            camera->resetOpenState();
        camera->exposureMs = std::min(std::max(camera->exposureMs, sheet.exposureMinMs), sheet.exposureMaxMs);
        camera->pixelClock = std::min(std::max(camera->pixelClock, sheet.pixelClockMin), sheet.pixelClockMax);
        return true;
    }
    return false;
}

bool Rig::freezeCamera(const std::string& serial, bool frozen)
{
    for (const auto& camera : cameraList()) {
        if (camera->serial != serial)
            continue;
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        camera->frozen = frozen;
        return true;
    }
    return false;
}

bool Rig::stallTransfer(const std::string& serial, double seconds)
{
    for (const auto& camera : cameraList()) {
        if (camera->serial != serial)
            continue;
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        camera->stalledUntil = std::chrono::steady_clock::now()
                               + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(std::max(0.0, seconds)));
        return true;
    }
    return false;
}

bool Rig::replugCamera(const std::string& serial, int newDeviceId)
{
    std::shared_ptr<Camera> old;
    for (const auto& camera : cameraList())
        if (camera->serial == serial)
            old = camera;
    if (!old)
        return false;
    CameraSpec sheet;
    cv::Mat pattern;
    {
        std::lock_guard<std::mutex> cameraLock(old->mutex);
        sheet = old->sheet;
        pattern = old->testPattern;
    }
    if (!removeCamera(serial))
        return false;
    sheet.deviceId = newDeviceId;
    auto fresh = std::make_shared<Camera>(sheet);
    fresh->testPattern = pattern;
    fresh->patternGeneration = pattern.empty() ? 0 : 1;
    std::lock_guard<std::mutex> rigLock(mutex);
    cameraTable.push_back(fresh);
    return true;
}

long long Rig::exposureTimeUs(const std::string& serial, unsigned long long frameNumber) const
{
    std::vector<std::shared_ptr<Camera>> candidates;
    {
        std::lock_guard<std::mutex> rigLock(mutex);
        candidates = cameraTable;
        for (const auto& camera : handles.cameras())
            candidates.push_back(camera);
    }
    for (const auto& camera : candidates) {
        if (camera->serial != serial)
            continue;
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        for (const Camera::InFlight& frame : camera->exposed)
            if (frame.number == frameNumber)
                return std::chrono::duration_cast<std::chrono::microseconds>(frame.exposure.time_since_epoch()).count();
    }
    return -1;
}

std::vector<std::shared_ptr<Camera>> Rig::cameraList() const
{
    std::lock_guard<std::mutex> rigLock(mutex);
    return cameraTable;
}

Scene Rig::scene() const
{
    std::lock_guard<std::mutex> rigLock(mutex);
    return currentScene;
}

void Rig::setScene(const Scene& scene)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    currentScene = scene;
    sceneChanged();
}

void Rig::setAxes(double x, double y, double z, double a, double zii)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    // Positions that are not numbers leave the axis where it was. The same positions again (a
    // host repeats its coordinates with every status answer) change nothing: the cameras keep
    // the plates they have.
    bool moved = false;
    const auto take = [&moved](double value, double& axis) {
        if (std::isfinite(value) && value != axis) {
            axis = value;
            moved = true;
        }
    };
    take(x, currentScene.axes.x);
    take(y, currentScene.axes.y);
    take(z, currentScene.axes.z);
    take(a, currentScene.axes.a);
    take(zii, currentScene.axes.zii);
    if (moved)
        sceneChanged();
}

void Rig::setNoise(bool on)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    noiseOn = on;
}

bool Rig::noise() const
{
    std::lock_guard<std::mutex> rigLock(mutex);
    return noiseOn;
}

void Rig::setTestPattern(const std::string& serial, const cv::Mat& bgr)
{
    for (const auto& camera : cameraList()) {
        if (camera->serial != serial)
            continue;
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        if (bgr.empty())
            camera->testPattern.release();
        else if (bgr.type() == CV_8UC3)
            camera->testPattern = bgr.clone();
        else if (bgr.type() == CV_8UC1)
            cv::cvtColor(bgr, camera->testPattern, cv::COLOR_GRAY2BGR);
        ++camera->patternGeneration;
    }
}

void Rig::snapshot(Scene* scene, unsigned long long* generation, bool* noise) const
{
    std::lock_guard<std::mutex> rigLock(mutex);
    *scene = currentScene;
    *generation = sceneGeneration;
    *noise = noiseOn;
}

void Rig::failCall(const std::string& call, int status, int times, const std::string& serial)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    failures.add(call, status, times, serial);
}

void Rig::clearFailures()
{
    std::lock_guard<std::mutex> rigLock(mutex);
    failures.clear();
}

CameraState Rig::state(const std::string& serial) const
{
    std::shared_ptr<Camera> found;
    {
        std::lock_guard<std::mutex> rigLock(mutex);
        for (const auto& camera : cameraTable)
            if (camera->serial == serial)
                found = camera;
        if (!found)
            found = handles.findSerial(serial);
    }
    if (!found)
        return CameraState();
    std::lock_guard<std::mutex> cameraLock(found->mutex);
    return found->snapshotState();
}

int Rig::callCount(const std::string& call, const std::string& serial) const
{
    std::lock_guard<std::mutex> rigLock(mutex);
    return callLog.count(call, serial);
}

std::vector<CallRecord> Rig::calls(const std::string& call) const
{
    std::lock_guard<std::mutex> rigLock(mutex);
    return callLog.recentCalls(call);
}

void Rig::clearCalls()
{
    std::lock_guard<std::mutex> rigLock(mutex);
    callLog.clear();
}

Rig::Entry Rig::enter(const char* call, unsigned handle, std::initializer_list<double> args)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    Entry entry;
    entry.args.assign(args.begin(), args.end());
    entry.camera = handles.find(handle);
    entry.failure = failures.take(call, entry.camera ? entry.camera->serial : std::string());
    return entry;
}

Rig::Entry Rig::enterGlobal(const char* call, std::initializer_list<double> args)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    Entry entry;
    entry.args.assign(args.begin(), args.end());
    entry.failure = failures.take(call, std::string());
    return entry;
}

Rig::Entry Rig::enterOpening(const char* call, const std::shared_ptr<Camera>& camera, std::initializer_list<double> args)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    Entry entry;
    entry.args.assign(args.begin(), args.end());
    entry.camera = camera;
    entry.failure = failures.take(call, camera ? camera->serial : std::string());
    return entry;
}

void Rig::finish(const char* call, const Entry& entry, int status)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    CallRecord rec;
    rec.name = call;
    rec.serial = entry.camera ? entry.camera->serial : std::string();
    rec.args = entry.args;
    rec.status = status;
    callLog.add(std::move(rec));
}

std::shared_ptr<Camera> Rig::cameraToOpen(unsigned id, bool byDeviceId)
{
    // Lock order is camera, then rig (an SDK call records itself while holding its camera), so
    // the rig lock must not be held here while each camera's lock is taken.
    for (const auto& camera : cameraList()) {
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        if (byDeviceId ? camera->sheet.deviceId == static_cast<int>(id)
                       : (id == 0 ? !camera->open : camera->sheet.cameraId == static_cast<int>(id)))
            return camera;
    }
    return nullptr;
}

unsigned Rig::registerHandle(const std::shared_ptr<Camera>& camera)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    return handles.add(camera);
}

void Rig::releaseHandle(unsigned handle)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    handles.release(handle);
}

} // namespace rig
