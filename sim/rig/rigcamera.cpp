#include "rigcamera.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <tuple>

// A camera's settings and its rendering into image memory; its timeline (when frames are
// exposed and reach the memory) is in rigtiming.cpp.

namespace rig {

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
    // Closed: nothing is drawn ahead until it draws a plate again.
    ahead.clear();
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
    ahead.clear();
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
    PlateSetting setting;
    setting.sheet = sheet;
    setting.gain = exposureGain(sheet, exposureMs, autoGain);
    setting.channels = channels;
    setting.colorMode = colorMode;
    setting.patternGeneration = patternGeneration;
    setting.frameTimeS = frameTimeS();
    std::vector<double> key = plateKeyOf(scene, generation, setting);
    if (key == plateKey && !plate.empty())
        return plate;
    ahead.use(setting, !testPattern.empty());

    Plate made;
    if (!testPattern.empty()) {
        const cv::Size sensor(sheet.width, sheet.height);
        cv::Mat bgr;
        if (testPattern.size() == sensor)
            bgr = testPattern.clone();
        else
            cv::resize(testPattern, bgr, sensor, 0, 0, cv::INTER_NEAREST);
        if (std::abs(setting.gain - 1.0) > 1e-3)
            bgr.convertTo(bgr, CV_8UC3, setting.gain);
        made.bgr = bgr;
        if (channels == 3)
            made.plate = bgr;
        else if (colorMode == IS_CM_SENSOR_RAW8)
            mosaic(bgr, sheet.bayer, made.plate);
        else
            cv::cvtColor(bgr, made.plate, cv::COLOR_BGR2GRAY);
    } else if (!ahead.take(key, &made)) {
        made = drawPlate(scene, generation, setting, top, front);
    }
    plateBgr = made.bgr;
    plate = made.plate;
    plateKey = std::move(key);
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

} // namespace rig
