#include "rigcamera.h"

#include <algorithm>
#include <thread>

// A camera's timeline: the free-running frame time for its settings, the frames exposed at
// that pace, and their arrival in image memory after a latency (with jitter, drops, freezes
// and stalled transfers). Camera's lock notes hold: the caller holds the camera's mutex.

namespace rig {

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

void Camera::startCapture(const std::vector<Rig::SceneAt>& scenes, bool noise, bool waitForFirst)
{
    capturing = true;
    inFlight.clear();
    const Clock::time_point now = Clock::now();
    InFlight first = expose(now, frameTimeS());
    if (waitForFirst) {
        // A capture start that waits for its first image returns once that image has arrived,
        // after the camera's own latency (at most a second, as a driver's wait would end): a
        // frame in memory at once would tell the station that this camera delivers with no
        // delay at all.
        first.arrival = std::min(first.arrival, now + std::chrono::seconds(1));
        render(first, scenes, noise);
        std::this_thread::sleep_until(first.arrival);
    } else {
        inFlight.push_back(first);
    }
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

} // namespace rig
