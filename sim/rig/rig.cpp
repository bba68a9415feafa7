#include "rig.h"

#include "rigcamera.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>

namespace rig {

const char* const Rig::TopLargeSerial = "4103117701";
const char* const Rig::FrontSerial = "4103117702";
const char* const Rig::TopStandardSerial = "4103117703";

namespace {
constexpr size_t RecentCalls = 4096;
}

// ---------------------------------------------------------------------------------------------
// Camera

Camera::Camera(const CameraSpec& cameraSpec)
    : serial(cameraSpec.serial)
    , sheet(cameraSpec)
    , random(std::hash<std::string>()(cameraSpec.serial))
{
    resetOpenState();
}

void Camera::resetOpenState()
{
    colorMode = IS_CM_BGR8_PACKED;
    converterMode = 0;
    autoGain = false;
    aoi = cv::Rect(0, 0, sheet.width, sheet.height);
    imageSize = cv::Size(sheet.width, sheet.height);
    pixelClock = sheet.pixelClockMax;
    exposureMs = sheet.exposureMinMs + 0.5 * (sheet.exposureMaxMs - sheet.exposureMinMs);
    subsamplingH = 1;
    subsamplingV = 1;
    capturing = false;
    inFlight.clear();
    exposed.clear();
    inMemory = InFlight();
    lastNumber = 0;
    framesExposed = 0;
    framesDropped = 0;
}

void Camera::closeCamera()
{
    open = false;
    handle = 0;
    capturing = false;
    memories.clear();
    activeMemory = 0;
    resetOpenState();
}

void Camera::dropCaches()
{
    plate.release();
    plateBgr.release();
    plateKey.clear();
    top = TopViewRenderer();
    front = FrontViewRenderer();
}

CameraState Camera::snapshotState() const
{
    CameraState state;
    state.present = present.load();
    state.open = open;
    state.capturing = capturing;
    state.colorMode = colorMode;
    state.converterMode = converterMode;
    state.autoGain = autoGain;
    state.aoi = aoi;
    state.imageSize = imageSize;
    state.pixelClock = pixelClock;
    state.exposureMs = exposureMs;
    state.subsamplingH = subsamplingH;
    state.subsamplingV = subsamplingV;
    state.memories = static_cast<int>(memories.size());
    state.framesRendered = framesRendered;
    state.frameTimeS = frameTimeS();
    state.framesExposed = framesExposed;
    state.framesDropped = framesDropped;
    state.frameInMemory = inMemory.number;
    state.frozen = frozen;
    return state;
}

const cv::Mat& Camera::plateFor(const Scene& scene, unsigned long long generation, int channels)
{
    std::vector<double> key = viewKey(scene, sheet.view, generation);
    const double gain = exposureGain(sheet, exposureMs, autoGain);
    key.insert(key.end(), {std::round(gain * 1000.0), static_cast<double>(channels), static_cast<double>(colorMode),
                           static_cast<double>(patternGeneration), static_cast<double>(sheet.width),
                           static_cast<double>(sheet.height), static_cast<double>(sheet.bayer)});
    if (key == plateKey && !plate.empty())
        return plate;

    const cv::Size sensor(sheet.width, sheet.height);
    cv::Mat bgr;
    if (!testPattern.empty()) {
        if (testPattern.size() == sensor)
            bgr = testPattern.clone();
        else
            cv::resize(testPattern, bgr, sensor, 0, 0, cv::INTER_NEAREST);
    } else if (sheet.view == View::Front) {
        bgr = front.render(scene, sensor);
    } else {
        cv::Mat upright = top.render(scene, sheet.view, uprightSize(sheet.view, sensor), generation);
        if (sheet.view == View::TopLarge)
            cv::rotate(upright, bgr, cv::ROTATE_90_COUNTERCLOCKWISE);
        else
            bgr = upright;
    }
    if (std::abs(gain - 1.0) > 1e-3)
        bgr.convertTo(bgr, CV_8UC3, gain);
    plateBgr = bgr;

    if (channels == 3)
        plate = bgr;
    else if (colorMode == IS_CM_SENSOR_RAW8)
        mosaic(bgr, sheet.bayer, plate);
    else
        cv::cvtColor(bgr, plate, cv::COLOR_BGR2GRAY);
    plateKey = key;
    return plate;
}

void Camera::writeFrame(Memory& memory, const cv::Mat& source, bool noise, int channels)
{
    const int width = std::min(aoi.width, memory.width);
    const int height = std::min(aoi.height, memory.height);
    if (width <= 0 || height <= 0)
        return;
    cv::Mat target(height, width, CV_8UC(channels), memory.data.get(), static_cast<size_t>(memory.pitch));

    cv::Mat image = target;
    if (subsamplingH == 1 && subsamplingV == 1) {
        const cv::Rect cut = cv::Rect(aoi.x, aoi.y, width, height) & cv::Rect(0, 0, source.cols, source.rows);
        if (cut.size() != target.size()) {
            target.setTo(cv::Scalar::all(0));
            return;
        }
        if (!noise) {
            source(cut).copyTo(target);
            return;
        }
        image = source(cut);
    } else {
        // Subsampling reads every n-th pixel pair of the area of interest: the image shrinks
        // and is written at the top left; the rest of the area is left black.
        target.setTo(cv::Scalar::all(0));
        const int outW = (width / subsamplingH) & ~1;
        const int outH = (height / subsamplingV) & ~1;
        if (outW <= 0 || outH <= 0)
            return;
        cv::Mat reduced(outH, outW, CV_8UC(channels));
        for (int r = 0; r < outH; ++r) {
            const int sr = std::min(plateBgr.rows - 1, aoi.y + r * subsamplingV);
            const cv::Vec3b* src = plateBgr.ptr<cv::Vec3b>(sr);
            uint8_t* dst = reduced.ptr<uint8_t>(r);
            for (int c = 0; c < outW; ++c) {
                const cv::Vec3b p = src[std::min(plateBgr.cols - 1, aoi.x + c * subsamplingH)];
                if (channels == 3) {
                    dst[3 * c] = p[0];
                    dst[3 * c + 1] = p[1];
                    dst[3 * c + 2] = p[2];
                } else if (colorMode == IS_CM_SENSOR_RAW8) {
                    dst[c] = p[bayerChannel(sheet.bayer, r, c)];
                } else {
                    dst[c] = static_cast<uint8_t>((p[0] * 29 + p[1] * 150 + p[2] * 77) >> 8);
                }
            }
        }
        target = target(cv::Rect(0, 0, outW, outH));
        if (!noise) {
            reduced.copyTo(target);
            return;
        }
        image = reduced;
    }

    const std::shared_ptr<const NoiseTables> tables = NoiseTables::forSize(cv::Size(sheet.width, sheet.height), channels);
    std::uniform_int_distribution<int> offset(0, NoiseTables::Margin - 1);
    const cv::Rect up(offset(random), offset(random), image.cols, image.rows);
    const cv::Rect down(offset(random), offset(random), image.cols, image.rows);
    cv::add(image, tables->up(up), target);
    cv::subtract(target, tables->down(down), target);
}

double Camera::readoutS() const
{
    // The full sensor at the highest clock reads out in what the fastest frame leaves beside the
    // shortest exposure; fewer rows read faster, a lower clock slower.
    const double fullReadout = std::max(1e-7, sheet.minFrameTimeS - sheet.exposureMinMs / 1000.0);
    const int rows = std::max(1, aoi.height / std::max(1, subsamplingV));
    const double clockRatio = double(std::max(1u, sheet.pixelClockMax)) / double(std::max(1u, pixelClock));
    return fullReadout * double(rows) / double(std::max(1, sheet.height)) * clockRatio;
}

double Camera::frameTimeS() const
{
    return std::min(std::max(1e-7, exposureMs / 1000.0 + readoutS()), std::max(1e-7, sheet.maxFrameTimeS));
}

Camera::InFlight Camera::expose(Clock::time_point at, double frameTime)
{
    InFlight frame;
    frame.number = ++lastNumber;
    frame.exposure = at;
    std::uniform_real_distribution<double> spread(-1.0, 1.0);
    const double pipeline = exposureMs / 1000.0 + readoutS();
    const double latency = std::max(pipeline, sheet.latencyFrames * frameTime * (1.0 + sheet.jitterFraction * spread(random)));
    frame.arrival = at + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(latency));
    lastExposure = at;
    ++framesExposed;
    exposed.push_back(frame);
    if (exposed.size() > 4096)
        exposed.pop_front();
    return frame;
}

void Camera::render(const InFlight& frame, const std::vector<Rig::SceneAt>& scenes, bool noise)
{
    auto memory = memories.find(activeMemory);
    if (memory == memories.end() || scenes.empty())
        return;
    // The scene as it stood when the exposure started.
    const Rig::SceneAt* at = &scenes.front();
    for (const Rig::SceneAt& entry : scenes)
        if (entry.since <= frame.exposure)
            at = &entry;
    const int channels = memory->second.bits / 8;
    const cv::Mat& source = plateFor(at->scene, at->generation, channels);
    writeFrame(memory->second, source, noise, channels);
    inMemory = frame;
    ++framesRendered;
}

void Camera::startCapture(const std::vector<Rig::SceneAt>& scenes, bool noise, bool waitForFirst)
{
    capturing = true;
    inFlight.clear();
    const Clock::time_point now = Clock::now();
    const InFlight first = expose(now, frameTimeS());
    if (waitForFirst)
        render(first, scenes, noise);
    else
        inFlight.push_back(first);
}

bool Camera::advance(Clock::time_point now, const std::vector<Rig::SceneAt>& scenes, bool noise)
{
    if (!capturing || activeMemory == 0 || memories.find(activeMemory) == memories.end())
        return false;
    if (frozen) {
        inFlight.clear();
        // Thawed, it starts again from the moment it is looked at.
        lastExposure = now;
    } else {
        const double frameTime = frameTimeS();
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(frameTime));
        if (period.count() > 0) {
            // A camera nobody looked at for a long time: the frames long gone are only counted.
            const long long behind = (now - lastExposure) / period;
            if (behind > 64) {
                const long long skipped = behind - 64;
                lastNumber += static_cast<unsigned long long>(skipped);
                framesExposed += skipped;
                lastExposure += period * skipped;
                inFlight.clear();
            }
            std::bernoulli_distribution drop(std::min(1.0, std::max(0.0, sheet.dropFraction)));
            while (lastExposure + period <= now) {
                const InFlight frame = expose(lastExposure + period, frameTime);
                if (sheet.dropFraction > 0.0 && drop(random))
                    ++framesDropped;
                else
                    inFlight.push_back(frame);
            }
        }
    }
    // A stalled transfer holds every frame until it ends; then they arrive together and the
    // newest one is what the single memory keeps.
    bool arrived = false;
    InFlight newest;
    while (!inFlight.empty() && std::max(inFlight.front().arrival, stalledUntil) <= now) {
        newest = inFlight.front();
        inFlight.pop_front();
        arrived = true;
    }
    if (arrived)
        render(newest, scenes, noise);
    return arrived;
}

std::shared_ptr<const NoiseTables> NoiseTables::forSize(cv::Size size, int channels)
{
    static std::mutex cacheMutex;
    static std::map<std::tuple<int, int, int>, std::shared_ptr<const NoiseTables>> cache; // guarded by cacheMutex
    std::lock_guard<std::mutex> cacheLock(cacheMutex);
    const auto key = std::make_tuple(size.width, size.height, channels);
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    auto tables = std::make_shared<NoiseTables>();
    cv::RNG rng(0xC0FFEEu + static_cast<unsigned>(size.area() + channels));
    tables->up.create(size.height + Margin, size.width + Margin, CV_8UC(channels));
    tables->down.create(size.height + Margin, size.width + Margin, CV_8UC(channels));
    // Mean 3, sigma 1.5 each: their difference has mean 0 and a sigma of about 2 grey levels.
    rng.fill(tables->up, cv::RNG::NORMAL, cv::Scalar::all(3.0), cv::Scalar::all(1.5));
    rng.fill(tables->down, cv::RNG::NORMAL, cv::Scalar::all(3.0), cv::Scalar::all(1.5));
    cache[key] = tables;
    return tables;
}

// ---------------------------------------------------------------------------------------------
// Rig

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
        recent.clear();
        counts.clear();
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
        for (const auto& entry : handles)
            candidates.push_back(entry.second);
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
    // Positions that are not numbers leave the axis where it was.
    const auto take = [](double value, double& axis) {
        if (std::isfinite(value))
            axis = value;
    };
    take(x, currentScene.axes.x);
    take(y, currentScene.axes.y);
    take(z, currentScene.axes.z);
    take(a, currentScene.axes.a);
    take(zii, currentScene.axes.zii);
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
    failures.push_back(FailureRule{call, serial, status, times});
}

void Rig::clearFailures()
{
    std::lock_guard<std::mutex> rigLock(mutex);
    failures.clear();
}

int Rig::takeFailure(const std::string& call, const std::string& serial)
{
    for (auto it = failures.begin(); it != failures.end(); ++it) {
        if (it->call != call || (!it->serial.empty() && it->serial != serial) || it->remaining <= 0)
            continue;
        const int status = it->status;
        if (--it->remaining <= 0)
            failures.erase(it);
        return status;
    }
    return 0;
}

CameraState Rig::state(const std::string& serial) const
{
    std::shared_ptr<Camera> found;
    {
        std::lock_guard<std::mutex> rigLock(mutex);
        for (const auto& camera : cameraTable)
            if (camera->serial == serial)
                found = camera;
        if (!found) {
            for (const auto& entry : handles)
                if (entry.second->serial == serial)
                    found = entry.second;
        }
    }
    if (!found)
        return CameraState();
    std::lock_guard<std::mutex> cameraLock(found->mutex);
    return found->snapshotState();
}

void Rig::record(CallRecord call)
{
    ++counts[std::make_pair(call.name, call.serial)];
    recent.push_back(std::move(call));
    if (recent.size() > 2 * RecentCalls)
        recent.erase(recent.begin(), recent.begin() + static_cast<long>(recent.size() - RecentCalls));
}

int Rig::callCount(const std::string& call, const std::string& serial) const
{
    std::lock_guard<std::mutex> rigLock(mutex);
    int total = 0;
    for (const auto& entry : counts)
        if (entry.first.first == call && (serial.empty() || entry.first.second == serial))
            total += entry.second;
    return total;
}

std::vector<CallRecord> Rig::calls(const std::string& call) const
{
    std::lock_guard<std::mutex> rigLock(mutex);
    std::vector<CallRecord> selected;
    for (const auto& record : recent)
        if (call.empty() || record.name == call)
            selected.push_back(record);
    return selected;
}

void Rig::clearCalls()
{
    std::lock_guard<std::mutex> rigLock(mutex);
    recent.clear();
    counts.clear();
}

Rig::Entry Rig::enter(const char* call, unsigned handle, std::initializer_list<double> args)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    Entry entry;
    entry.args.assign(args.begin(), args.end());
    auto found = handles.find(handle);
    std::string serial;
    if (found != handles.end()) {
        entry.camera = found->second;
        serial = entry.camera->serial;
    }
    entry.failure = takeFailure(call, serial);
    return entry;
}

Rig::Entry Rig::enterGlobal(const char* call, std::initializer_list<double> args)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    Entry entry;
    entry.args.assign(args.begin(), args.end());
    entry.failure = takeFailure(call, std::string());
    return entry;
}

Rig::Entry Rig::enterOpening(const char* call, const std::shared_ptr<Camera>& camera, std::initializer_list<double> args)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    Entry entry;
    entry.args.assign(args.begin(), args.end());
    entry.camera = camera;
    entry.failure = takeFailure(call, camera ? camera->serial : std::string());
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
    record(std::move(rec));
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
    unsigned handle = nextHandle++;
    if (nextHandle >= IS_USE_DEVICE_ID)
        nextHandle = 1;
    handles[handle] = camera;
    return handle;
}

void Rig::releaseHandle(unsigned handle)
{
    std::lock_guard<std::mutex> rigLock(mutex);
    handles.erase(handle);
}

} // namespace rig
