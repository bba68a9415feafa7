#include "camera/cameradevice.h"

#include "core/logs.h"

#include <algorithm>
#include <chrono>

namespace {
// The cameras deliver a frame within this many frame times of the start of its exposure.
constexpr double LatencyAllowanceFrames = 2.0;
} // namespace

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

qint64 CaptureClock::captureTime(qint64 deviceUs, qint64 arrivedUs, qint64 receivedUs, double framesPerSecond)
{
    delays.push_back(arrivedUs - deviceUs);
    if (delays.size() > std::size_t(DelaysKept))
        delays.pop_front();
    const qint64 offsetUs = *std::min_element(delays.begin(), delays.end());
    const qint64 allowanceUs =
        static_cast<qint64>(LatencyAllowanceFrames * 1e6 / (framesPerSecond > 0.0 ? framesPerSecond : 10.0));
    return std::min(receivedUs, deviceUs + offsetUs - allowanceUs);
}

qint64 CaptureClock::NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

qint64 CaptureClock::FromWallClock(qint64 wallUs, qint64 receivedUs)
{
    const qint64 wallNowUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const qint64 ageUs = wallNowUs - wallUs;
    if (ageUs < 0 || ageUs >= 10000000)
        return receivedUs;
    return std::min(receivedUs, NowUs() - ageUs);
}

QString BackendName(CameraBackend backend)
{
    return backend == CameraBackend::GenICam ? QStringLiteral("GENICAM") : QStringLiteral("SDK");
}

CameraBackend BackendFromName(const QString& name)
{
    return name.trimmed().compare(QStringLiteral("GENICAM"), Qt::CaseInsensitive) == 0 ? CameraBackend::GenICam : CameraBackend::Sdk;
}
