#pragma once

// The camera layer's own view of a camera: what the acquisition thread of a role asks of the
// device it is bound to, whichever library drives that device. The backends live in camera/
// only: the camera SDK (the vendor's library, or the simulated rig that offers the same calls)
// and GenICam cameras through Aravis. Nothing here names a type of either library.

#include <QSize>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class Logs;
class CamVSharedConfig;
class QObject;

// A failure that can repeat on every pass: one log line when it starts, one when it ends with
// the number of passes it lasted, never one per pass.
class RepeatingFailure
{
public:
    // Counts a failed pass; logs `startLine` on the first one of a run. `label` names the
    // failure in the closing line.
    void fail(Logs* logging, const QString& startLine, const QString& label);
    // Ends a run, if any: "<label> over after N failed passes" (or `how` instead of "over").
    void clear(Logs* logging, const QString& how = QStringLiteral("over"));
    bool active() const { return count > 0; }

private:
    long long count = 0;
    QString name;
};

// Puts a device's frame timestamps on the station's clock (std::chrono::steady_clock in
// microseconds): the device stamp moved by the smallest delay seen between stamp and arrival
// over the last frames, less an allowance of a few frame times, so that a capture time is a
// little early rather than ever late. The delay is the camera's latency, which follows its
// exposure and frame time: the smallest since opening would keep the latency of the first
// frames (taken before the station set the exposure) and put every later capture time most of
// a frame earlier than it is, and every wait for a frame after a motion a frame longer.
class CaptureClock
{
public:
    // Delays remembered: a change of the camera's latency is followed within this many frames.
    static constexpr int DelaysKept = 64;

    void reset() { delays.clear(); }
    // deviceUs: the device's stamp of the frame; arrivedUs: when it reached the station (steady
    // clock); receivedUs: when this pass saw it (never earlier than arrivedUs).
    qint64 captureTime(qint64 deviceUs, qint64 arrivedUs, qint64 receivedUs, double framesPerSecond);

    // Now on the steady clock, in microseconds (the clock of every capture time).
    static qint64 NowUs();
    // A wall-clock stamp (microseconds since 1970) of an arrival moved onto the steady clock,
    // never later than receivedUs; receivedUs itself for a stamp from the future or more than
    // 10 s old (the wall clock was set meanwhile).
    static qint64 FromWallClock(qint64 wallUs, qint64 receivedUs);

private:
    std::deque<qint64> delays;   // arrival less device stamp of the last frames, oldest first
};

// Which library drives a role's camera; chosen per role by a setting ("SDK" or "GENICAM").
enum class CameraBackend { Sdk, GenICam };
// The setting's text for a backend and back (anything else than "GENICAM" is the SDK).
QString BackendName(CameraBackend backend);
CameraBackend BackendFromName(const QString& name);

// What a role tells the device it opens.
struct DeviceRole
{
    const char* displayName; // "Top Large"
    bool rawSensor;          // an 8-bit colour mosaic (else 24-bit B, G, R)
    int bitsPerPixel;        // image memory depth: 8 or 24
    int colorConversion;     // the OpenCV conversion of the role's mosaic into B, G, R; -1: none
};

// The device's handle on a frame: valid until the next poll() or close().
struct DeviceFrame
{
    cv::Mat memory;           // CV_8UC1 mosaic or CV_8UC3, the camera's image memory
    int width = 0;            // of it, the most the frame can cover from the top left (the role
    int height = 0;           // cuts its area of interest from there)
    int colorConversion = -1; // OpenCV conversion of `memory` into B, G, R; -1: none needed
    qint64 frameNumber = 0;
    qint64 captureTimeUs = 0; // steady clock, see CaptureClock
    std::shared_ptr<void> owner; // keeps `memory` the device's until the frame is let go
};

class CameraDevice
{
public:
    enum class Poll { NewFrame, SameFrame, Failed };

    virtual ~CameraDevice() = default;

    // Opens the camera with this serial number and starts it capturing (full sensor, the
    // role's colour layout). Every failure is logged; false when the camera cannot deliver.
    virtual bool open(const QString& serial) = 0;
    // Stops and closes the camera. A camera whose closing its library refused stays held
    // (isHeld()): the next open() tries to close it again first.
    virtual void close() = 0;
    virtual bool isHeld() const = 0;
    // The serial number of the camera held (the role's binding may have moved on).
    virtual QString heldSerial() const = 0;
    virtual QSize sensorSize() const = 0;

    virtual bool setAutoGain(bool on) = 0;
    virtual bool setSubSampling(int factor) = 0;
    // Area of interest in sensor pixels; a refusal is logged.
    virtual bool setAoi(int x, int y, int w, int h) = 0;
    virtual bool setExposurePercent(int percent) = 0;
    // Called once after opening: the share of the bus this camera may use.
    virtual void shareBandwidth() = 0;
    // The rate at which the camera delivers frames with its present settings; false (logged
    // once per run of failures) when the camera does not tell.
    virtual bool frameRate(double* framesPerSecond) = 0;
    // Looks for a frame newer than the last one seen.
    virtual Poll poll(DeviceFrame* frame, double framesPerSecond) = 0;
    // Ends every run of repeating failures with `how` (the camera is being closed).
    virtual void clearFailures(const QString& how) = 0;
};

// How a device names its camera in log lines: the role's binding and alias, read when the
// line is written ("4103117701 alias 'Top Large'").
using CameraNamer = std::function<QString()>;

// The backends. A backend that is not built returns null (the GenICam one without Aravis).
std::unique_ptr<CameraDevice> MakeSdkCamera(const DeviceRole& role, Logs* logging, CamVSharedConfig* cameras, CameraNamer namer,
                                            QString alias);
std::unique_ptr<CameraDevice> MakeGenICamCamera(const DeviceRole& role, Logs* logging, CameraNamer namer, QString alias);

// A camera as a backend lists it.
struct ListedCamera
{
    QString serial;
    int deviceId = -1; // the SDK's device ID; -1 for GenICam cameras
};

namespace sdkcameras {
// The SDK's list, logged as it is read (count, then one line a camera).
std::vector<ListedCamera> List(Logs* logging);
} // namespace sdkcameras

namespace genicamcameras {
// True when the GenICam backend is built in.
bool Available();
// Every GenICam camera the library finds now (empty when the backend is not built).
std::vector<ListedCamera> List(Logs* logging);
} // namespace genicamcameras

namespace camerasimulation {
// In a build over the simulated rig: the rig follows the axis positions the host reports, and
// Aravis's simulated GenICam camera shows the rig's view. Elsewhere nothing.
void FollowHost(QObject* context);
} // namespace camerasimulation
