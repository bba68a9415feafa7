// The SDK entry points of the simulated rig. Each call is recorded (name, camera, scalar
// arguments, status), may be made to fail by a test (Rig::failCall), and then acts on the
// virtual camera behind the handle under that camera's mutex.

#include "rigsdk.h"

#include "rig.h"
#include "rigcamera.h"

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>

using rig::Camera;
using rig::Rig;

namespace {

// Looks up the camera of a handle, applies failure rules and finishes the record on return.
class Call
{
public:
    Call(const char* callName, HIDS handle, std::initializer_list<double> args)
        : name(callName)
        , entry(Rig::instance().enter(callName, handle, args))
    {
    }
    explicit Call(const char* callName, std::initializer_list<double> args)
        : name(callName)
        , entry(Rig::instance().enterGlobal(callName, args))
    {
    }
    Call(const char* callName, const std::shared_ptr<Camera>& opening, std::initializer_list<double> args)
        : name(callName)
        , entry(Rig::instance().enterOpening(callName, opening, args))
    {
    }
    INT done(INT status)
    {
        Rig::instance().finish(name, entry, status);
        return status;
    }
    // An injected failure, an unknown handle or an unplugged camera: the status to return, or 0.
    INT refusal(bool allowUnplugged = false) const
    {
        if (entry.failure)
            return entry.failure;
        if (!entry.camera || (!allowUnplugged && !entry.camera->present))
            return IS_INVALID_CAMERA_HANDLE;
        return IS_SUCCESS;
    }
    INT injected() const { return entry.failure; }
    Camera& camera() const { return *entry.camera; }
    const std::shared_ptr<Camera>& cameraPtr() const { return entry.camera; }

private:
    const char* name;
    Rig::Entry entry;
};

void copyText(char* target, size_t size, const std::string& text)
{
    std::memset(target, 0, size);
    std::memcpy(target, text.data(), std::min(size - 1, text.size()));
}

int horizontalFactor(int flag)
{
    switch (flag) {
    case IS_SUBSAMPLING_2X_HORIZONTAL: return 2;
    case IS_SUBSAMPLING_3X_HORIZONTAL: return 3;
    case IS_SUBSAMPLING_4X_HORIZONTAL: return 4;
    case IS_SUBSAMPLING_5X_HORIZONTAL: return 5;
    case IS_SUBSAMPLING_6X_HORIZONTAL: return 6;
    case IS_SUBSAMPLING_8X_HORIZONTAL: return 8;
    case IS_SUBSAMPLING_16X_HORIZONTAL: return 16;
    default: return 0;
    }
}

int verticalFactor(int flag)
{
    switch (flag) {
    case IS_SUBSAMPLING_2X_VERTICAL: return 2;
    case IS_SUBSAMPLING_3X_VERTICAL: return 3;
    case IS_SUBSAMPLING_4X_VERTICAL: return 4;
    case IS_SUBSAMPLING_5X_VERTICAL: return 5;
    case IS_SUBSAMPLING_6X_VERTICAL: return 6;
    case IS_SUBSAMPLING_8X_VERTICAL: return 8;
    case IS_SUBSAMPLING_16X_VERTICAL: return 16;
    default: return 0;
    }
}

const int HorizontalFlags = 0x2AAA;
const int VerticalFlags = 0x1555;

// Areas of interest: positions and sizes in steps of 2 pixels (one Bayer cell), at least
// 16 x 16, inside the sensor.
bool validAoi(const Camera& camera, const IS_RECT& rect)
{
    return rect.s32X >= 0 && rect.s32Y >= 0 && rect.s32Width >= 16 && rect.s32Height >= 16 && rect.s32X % 2 == 0
           && rect.s32Y % 2 == 0 && rect.s32Width % 2 == 0 && rect.s32Height % 2 == 0
           && static_cast<long long>(rect.s32X) + rect.s32Width <= camera.sheet.width
           && static_cast<long long>(rect.s32Y) + rect.s32Height <= camera.sheet.height;
}

// The range query, read and write that the pixel clock and the exposure share: the range
// fills min, max and step, the read the current value, the write takes a value inside the range
// (with a little slack for reals). Any other command or parameter size is invalid. The caller
// holds the camera's lock.
struct SettingCommands
{
    UINT range;
    UINT get;
    UINT set;
};

template <typename T>
INT rangedSetting(Call& call, UINT command, void* param, UINT size, SettingCommands commands, T min, T max, T step,
                  T& current, T slack)
{
    if (command == commands.range) {
        if (size != 3 * sizeof(T))
            return call.done(IS_INVALID_PARAMETER);
        T* range = static_cast<T*>(param);
        range[0] = min;
        range[1] = max;
        range[2] = step;
        return call.done(IS_SUCCESS);
    }
    if (command == commands.get) {
        if (size != sizeof(T))
            return call.done(IS_INVALID_PARAMETER);
        *static_cast<T*>(param) = current;
        return call.done(IS_SUCCESS);
    }
    if (command == commands.set) {
        if (size != sizeof(T))
            return call.done(IS_INVALID_PARAMETER);
        const T value = *static_cast<T*>(param);
        if (!std::isfinite(static_cast<double>(value)) || value < min - slack || value > max + slack)
            return call.done(IS_INVALID_PARAMETER);
        current = value;
        return call.done(IS_SUCCESS);
    }
    return call.done(IS_INVALID_PARAMETER);
}

} // namespace

extern "C" {

INT is_GetNumberOfCameras(INT* pnNumCams)
{
    Call call("is_GetNumberOfCameras", {});
    if (INT injected = call.injected())
        return call.done(injected);
    if (!pnNumCams)
        return call.done(IS_INVALID_PARAMETER);
    *pnNumCams = static_cast<INT>(Rig::instance().cameraList().size());
    return call.done(IS_SUCCESS);
}

INT is_GetCameraList(PUEYE_CAMERA_LIST pucl)
{
    Call call("is_GetCameraList", {pucl ? static_cast<double>(pucl->dwCount) : -1.0});
    if (INT injected = call.injected())
        return call.done(injected);
    if (!pucl)
        return call.done(IS_INVALID_PARAMETER);
    const auto table = Rig::instance().cameraList();
    // The record has room for dwCount entries; fill as many as fit and say how many.
    const ULONG room = pucl->dwCount;
    ULONG filled = 0;
    for (const auto& camera : table) {
        if (filled >= room)
            break;
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        UEYE_CAMERA_INFO& info = pucl->uci[filled];
        std::memset(&info, 0, sizeof info);
        info.dwCameraID = static_cast<DWORD>(camera->sheet.cameraId);
        info.dwDeviceID = static_cast<DWORD>(camera->sheet.deviceId);
        info.dwSensorID = 0x1000u + static_cast<DWORD>(camera->sheet.view);
        info.dwInUse = camera->open ? 1u : 0u;
        copyText(info.SerNo, sizeof info.SerNo, camera->serial);
        copyText(info.Model, sizeof info.Model, camera->sheet.model);
        ++filled;
    }
    pucl->dwCount = filled;
    return call.done(IS_SUCCESS);
}

INT is_InitCamera(HIDS* phCam, HWND)
{
    // The camera is looked up before the call is entered, so that a failure rule naming its
    // serial number applies to its opening as it does to the calls on its handle.
    std::shared_ptr<Camera> camera;
    if (phCam) {
        const bool byDevice = (*phCam & IS_USE_DEVICE_ID) != 0;
        const unsigned id = *phCam & ~static_cast<unsigned>(IS_USE_DEVICE_ID);
        camera = Rig::instance().cameraToOpen(id, byDevice);
    }
    Call call("is_InitCamera", camera, {phCam ? static_cast<double>(*phCam) : -1.0});
    if (INT injected = call.injected())
        return call.done(injected);
    if (!phCam)
        return call.done(IS_INVALID_PARAMETER);
    if (!camera)
        return call.done(IS_CANT_OPEN_DEVICE);
    {
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        if (camera->open)
            return call.done(IS_CANT_OPEN_DEVICE);
        camera->open = true;
        camera->resetOpenState();
    }
    const unsigned handle = Rig::instance().registerHandle(camera);
    {
        std::lock_guard<std::mutex> cameraLock(camera->mutex);
        camera->handle = handle;
    }
    *phCam = handle;
    return call.done(IS_SUCCESS);
}

INT is_ExitCamera(HIDS hCam)
{
    Call call("is_ExitCamera", hCam, {});
    if (INT refused = call.refusal(true))
        return call.done(refused);
    {
        std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
        call.camera().closeCamera();
    }
    Rig::instance().releaseHandle(hCam);
    return call.done(IS_SUCCESS);
}

INT is_SetColorMode(HIDS hCam, INT Mode)
{
    Call call("is_SetColorMode", hCam, {static_cast<double>(Mode)});
    if (INT refused = call.refusal())
        return call.done(refused);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    if (Mode == IS_GET_COLOR_MODE)
        return call.done(call.camera().colorMode);
    if (Mode != IS_CM_BGR8_PACKED && Mode != IS_CM_MONO8 && Mode != IS_CM_SENSOR_RAW8)
        return call.done(IS_INVALID_PARAMETER);
    call.camera().colorMode = Mode;
    return call.done(IS_SUCCESS);
}

INT is_GetCameraInfo(HIDS hCam, PBOARDINFO pInfo)
{
    Call call("is_GetCameraInfo", hCam, {});
    if (INT refused = call.refusal())
        return call.done(refused);
    if (!pInfo)
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    std::memset(pInfo, 0, sizeof *pInfo);
    copyText(pInfo->SerNo, sizeof pInfo->SerNo, call.camera().serial);
    copyText(pInfo->ID, sizeof pInfo->ID, "Veltrax rig");
    copyText(pInfo->Version, sizeof pInfo->Version, "1.0");
    copyText(pInfo->Date, sizeof pInfo->Date, "2024-01-01");
    pInfo->Select = static_cast<BYTE>(call.camera().sheet.deviceId);
    pInfo->Type = 0x40;
    return call.done(IS_SUCCESS);
}

INT is_GetSensorInfo(HIDS hCam, PSENSORINFO pInfo)
{
    Call call("is_GetSensorInfo", hCam, {});
    if (INT refused = call.refusal())
        return call.done(refused);
    if (!pInfo)
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    const rig::CameraSpec& sheet = call.camera().sheet;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->SensorID = static_cast<WORD>(0x1000 + static_cast<int>(sheet.view));
    copyText(pInfo->strSensorName, sizeof pInfo->strSensorName, sheet.model);
    pInfo->nColorMode = IS_COLORMODE_BAYER;
    pInfo->nMaxWidth = static_cast<DWORD>(sheet.width);
    pInfo->nMaxHeight = static_cast<DWORD>(sheet.height);
    pInfo->bMasterGain = 1;
    pInfo->bRGain = pInfo->bGGain = pInfo->bBGain = 1;
    pInfo->bGlobShutter = 1;
    pInfo->wPixelSize = 530;
    pInfo->nUpperLeftBayerPixel = static_cast<char>(sheet.bayer);
    return call.done(IS_SUCCESS);
}

INT is_SetAutoParameter(HIDS hCam, INT param, double* pval1, double* pval2)
{
    Call call("is_SetAutoParameter", hCam, {static_cast<double>(param), pval1 ? *pval1 : -1.0});
    (void)pval2;
    if (INT refused = call.refusal())
        return call.done(refused);
    if (!pval1)
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    if (param == IS_SET_ENABLE_AUTO_GAIN) {
        call.camera().autoGain = *pval1 != 0.0;
        return call.done(IS_SUCCESS);
    }
    if (param == IS_GET_ENABLE_AUTO_GAIN) {
        *pval1 = call.camera().autoGain ? 1.0 : 0.0;
        return call.done(IS_SUCCESS);
    }
    return call.done(IS_NOT_SUPPORTED);
}

INT is_AllocImageMem(HIDS hCam, INT width, INT height, INT bitspixel, char** ppcImgMem, INT* pid)
{
    Call call("is_AllocImageMem", hCam, {static_cast<double>(width), static_cast<double>(height), static_cast<double>(bitspixel)});
    if (INT refused = call.refusal())
        return call.done(refused);
    if (!ppcImgMem || !pid || width <= 0 || height <= 0 || (bitspixel != 8 && bitspixel != 24) || width > 65536
        || height > 65536)
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    Camera::Memory memory;
    memory.width = width;
    memory.height = height;
    memory.bits = bitspixel;
    // Lines start on 8-byte boundaries.
    memory.pitch = (width * bitspixel / 8 + 7) / 8 * 8;
    const size_t bytes = static_cast<size_t>(memory.pitch) * static_cast<size_t>(height);
    memory.data.reset(new (std::nothrow) char[bytes]());
    if (!memory.data)
        return call.done(IS_OUT_OF_MEMORY);
    const int id = call.camera().nextMemoryId++;
    *ppcImgMem = memory.data.get();
    *pid = id;
    call.camera().memories[id] = std::move(memory);
    return call.done(IS_SUCCESS);
}

INT is_SetImageMem(HIDS hCam, char* pcMem, INT id)
{
    Call call("is_SetImageMem", hCam, {static_cast<double>(id)});
    if (INT refused = call.refusal())
        return call.done(refused);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    auto memory = call.camera().memories.find(id);
    if (memory == call.camera().memories.end() || memory->second.data.get() != pcMem)
        return call.done(IS_INVALID_MEMORY_POINTER);
    call.camera().activeMemory = id;
    return call.done(IS_SUCCESS);
}

INT is_FreeImageMem(HIDS hCam, char* pcMem, INT id)
{
    Call call("is_FreeImageMem", hCam, {static_cast<double>(id)});
    if (INT refused = call.refusal(true))
        return call.done(refused);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    auto memory = call.camera().memories.find(id);
    if (memory == call.camera().memories.end() || memory->second.data.get() != pcMem)
        return call.done(IS_INVALID_MEMORY_POINTER);
    if (call.camera().activeMemory == id)
        call.camera().activeMemory = 0;
    call.camera().memories.erase(memory);
    return call.done(IS_SUCCESS);
}

INT is_InquireImageMem(HIDS hCam, char* pcMem, INT nID, INT* pnX, INT* pnY, INT* pnBits, INT* pnPitch)
{
    Call call("is_InquireImageMem", hCam, {static_cast<double>(nID)});
    if (INT refused = call.refusal())
        return call.done(refused);
    bool noise = true;
    const std::vector<Rig::SceneAt> scenes = Rig::instance().sceneHistory(&noise);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    auto memory = call.camera().memories.find(nID);
    if (memory == call.camera().memories.end() || memory->second.data.get() != pcMem)
        return call.done(IS_INVALID_MEMORY_POINTER);
    // The camera free-runs on its own clock; what reached the memory by now is written when
    // someone looks at the memory, which is all a reader can tell apart and keeps an unread
    // camera from costing anything.
    if (nID == call.camera().activeMemory)
        call.camera().advance(std::chrono::steady_clock::now(), scenes, noise);
    if (pnX)
        *pnX = memory->second.width;
    if (pnY)
        *pnY = memory->second.height;
    if (pnBits)
        *pnBits = memory->second.bits;
    if (pnPitch)
        *pnPitch = memory->second.pitch;
    return call.done(IS_SUCCESS);
}

INT is_SetImageSize(HIDS hCam, INT x, INT y)
{
    Call call("is_SetImageSize", hCam, {static_cast<double>(x), static_cast<double>(y)});
    if (INT refused = call.refusal())
        return call.done(refused);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    if (x <= 0 || y <= 0 || x > call.camera().sheet.width || y > call.camera().sheet.height)
        return call.done(IS_INVALID_PARAMETER);
    call.camera().imageSize = cv::Size(x, y);
    return call.done(IS_SUCCESS);
}

INT is_SetColorConverter(HIDS hCam, INT ColorMode, INT ConvertMode)
{
    Call call("is_SetColorConverter", hCam, {static_cast<double>(ColorMode), static_cast<double>(ConvertMode)});
    if (INT refused = call.refusal())
        return call.done(refused);
    if ((ColorMode != IS_CM_BGR8_PACKED && ColorMode != IS_CM_MONO8 && ColorMode != IS_CM_SENSOR_RAW8)
        || (ConvertMode != IS_CONV_MODE_SOFTWARE_3X3 && ConvertMode != IS_CONV_MODE_HARDWARE_3X3))
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    call.camera().converterMode = ConvertMode;
    return call.done(IS_SUCCESS);
}

INT is_CaptureVideo(HIDS hCam, INT Wait)
{
    Call call("is_CaptureVideo", hCam, {static_cast<double>(Wait)});
    if (INT refused = call.refusal())
        return call.done(refused);
    bool noise = true;
    const std::vector<Rig::SceneAt> scenes = Rig::instance().sceneHistory(&noise);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    Camera& camera = call.camera();
    if (camera.activeMemory == 0)
        return call.done(IS_NO_ACTIVE_IMG_MEM);
    // Waiting for the first image: it is in the memory when the call returns.
    camera.startCapture(scenes, noise, Wait != IS_DONT_WAIT);
    return call.done(IS_SUCCESS);
}

INT is_StopLiveVideo(HIDS hCam, INT Wait)
{
    Call call("is_StopLiveVideo", hCam, {static_cast<double>(Wait)});
    if (INT refused = call.refusal(true))
        return call.done(refused);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    call.camera().capturing = false;
    return call.done(IS_SUCCESS);
}

INT is_PixelClock(HIDS hCam, UINT nCommand, void* pParam, UINT cbSizeOfParam)
{
    double value = -1.0;
    if (nCommand == IS_PIXELCLOCK_CMD_SET && pParam && cbSizeOfParam == sizeof(UINT))
        value = *static_cast<UINT*>(pParam);
    Call call("is_PixelClock", hCam, {static_cast<double>(nCommand), static_cast<double>(cbSizeOfParam), value});
    if (INT refused = call.refusal())
        return call.done(refused);
    if (!pParam)
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    Camera& camera = call.camera();
    return rangedSetting<UINT>(call, nCommand, pParam, cbSizeOfParam,
                               {IS_PIXELCLOCK_CMD_GET_RANGE, IS_PIXELCLOCK_CMD_GET, IS_PIXELCLOCK_CMD_SET},
                               camera.sheet.pixelClockMin, camera.sheet.pixelClockMax, camera.sheet.pixelClockStep,
                               camera.pixelClock, 0);
}

INT is_AOI(HIDS hCam, UINT nCommand, void* pParam, UINT SizeOfParam)
{
    IS_RECT asked{-1, -1, -1, -1};
    if (nCommand == IS_AOI_IMAGE_SET_AOI && pParam && SizeOfParam == sizeof(IS_RECT))
        asked = *static_cast<IS_RECT*>(pParam);
    Call call("is_AOI", hCam,
              {static_cast<double>(nCommand), static_cast<double>(asked.s32X), static_cast<double>(asked.s32Y),
               static_cast<double>(asked.s32Width), static_cast<double>(asked.s32Height), static_cast<double>(SizeOfParam)});
    if (INT refused = call.refusal())
        return call.done(refused);
    if (!pParam || SizeOfParam != sizeof(IS_RECT))
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    Camera& camera = call.camera();
    if (nCommand == IS_AOI_IMAGE_GET_AOI) {
        IS_RECT* rect = static_cast<IS_RECT*>(pParam);
        rect->s32X = camera.aoi.x;
        rect->s32Y = camera.aoi.y;
        rect->s32Width = camera.aoi.width;
        rect->s32Height = camera.aoi.height;
        return call.done(IS_SUCCESS);
    }
    if (nCommand != IS_AOI_IMAGE_SET_AOI || !validAoi(camera, asked))
        return call.done(IS_INVALID_PARAMETER);
    camera.aoi = cv::Rect(asked.s32X, asked.s32Y, asked.s32Width, asked.s32Height);
    return call.done(IS_SUCCESS);
}

INT is_Exposure(HIDS hCam, UINT nCommand, void* pParam, UINT cbSizeOfParam)
{
    double value = -1.0;
    if (nCommand == IS_EXPOSURE_CMD_SET_EXPOSURE && pParam && cbSizeOfParam == sizeof(double))
        value = *static_cast<double*>(pParam);
    Call call("is_Exposure", hCam, {static_cast<double>(nCommand), static_cast<double>(cbSizeOfParam), value});
    if (INT refused = call.refusal())
        return call.done(refused);
    if (!pParam)
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    Camera& camera = call.camera();
    return rangedSetting<double>(call, nCommand, pParam, cbSizeOfParam,
                                 {IS_EXPOSURE_CMD_GET_EXPOSURE_RANGE, IS_EXPOSURE_CMD_GET_EXPOSURE,
                                  IS_EXPOSURE_CMD_SET_EXPOSURE},
                                 camera.sheet.exposureMinMs, camera.sheet.exposureMaxMs, camera.sheet.exposureStepMs,
                                 camera.exposureMs, 1e-9);
}

INT is_SetSubSampling(HIDS hCam, INT mode)
{
    Call call("is_SetSubSampling", hCam, {static_cast<double>(mode)});
    if (INT refused = call.refusal())
        return call.done(refused);
    const int horizontal = mode & HorizontalFlags;
    const int vertical = mode & VerticalFlags;
    if ((mode & ~(HorizontalFlags | VerticalFlags)) != 0 || (horizontal && !horizontalFactor(horizontal))
        || (vertical && !verticalFactor(vertical)))
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    Camera& camera = call.camera();
    // Each direction keeps its factor until a call names it; 0 switches both off.
    if (mode == IS_SUBSAMPLING_DISABLE) {
        camera.subsamplingH = 1;
        camera.subsamplingV = 1;
    }
    if (horizontal)
        camera.subsamplingH = horizontalFactor(horizontal);
    if (vertical)
        camera.subsamplingV = verticalFactor(vertical);
    return call.done(IS_SUCCESS);
}

INT is_GetFrameTimeRange(HIDS hCam, double* min, double* max, double* intervall)
{
    Call call("is_GetFrameTimeRange", hCam, {});
    if (INT refused = call.refusal())
        return call.done(refused);
    if (!min || !max || !intervall)
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    // The shortest frame time the current exposure, area and pixel clock allow.
    *min = call.camera().frameTimeS();
    *max = call.camera().sheet.maxFrameTimeS;
    *intervall = call.camera().sheet.frameTimeStepS;
    return call.done(IS_SUCCESS);
}

INT is_GetImageInfo(HIDS hCam, INT nImageBufferID, UEYEIMAGEINFO* pImageInfo, INT nImageInfoSize)
{
    Call call("is_GetImageInfo", hCam, {static_cast<double>(nImageBufferID), static_cast<double>(nImageInfoSize)});
    if (INT refused = call.refusal())
        return call.done(refused);
    if (!pImageInfo || nImageInfoSize != static_cast<INT>(sizeof(UEYEIMAGEINFO)))
        return call.done(IS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> cameraLock(call.camera().mutex);
    Camera& camera = call.camera();
    auto memory = camera.memories.find(nImageBufferID);
    if (memory == camera.memories.end())
        return call.done(IS_INVALID_MEMORY_POINTER);
    // Only the active memory is ever written.
    if (nImageBufferID != camera.activeMemory || camera.inMemory.number == 0)
        return call.done(IS_NO_SUCCESS);
    std::memset(pImageInfo, 0, sizeof *pImageInfo);
    const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(camera.inMemory.exposure - camera.powerOn).count() / 100;
    pImageInfo->u64TimestampDevice = static_cast<UINT64>(std::max<long long>(0, ticks));
    pImageInfo->u64FrameNumber = camera.inMemory.number;
    const auto sinceArrival = std::chrono::steady_clock::now() - camera.inMemory.arrival;
    const auto arrived = std::chrono::system_clock::now() - std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceArrival);
    const std::time_t seconds = std::chrono::system_clock::to_time_t(arrived);
    std::tm local{};
    localtime_r(&seconds, &local);
    pImageInfo->TimestampSystem.wYear = static_cast<WORD>(local.tm_year + 1900);
    pImageInfo->TimestampSystem.wMonth = static_cast<WORD>(local.tm_mon + 1);
    pImageInfo->TimestampSystem.wDay = static_cast<WORD>(local.tm_mday);
    pImageInfo->TimestampSystem.wHour = static_cast<WORD>(local.tm_hour);
    pImageInfo->TimestampSystem.wMinute = static_cast<WORD>(local.tm_min);
    pImageInfo->TimestampSystem.wSecond = static_cast<WORD>(local.tm_sec);
    pImageInfo->TimestampSystem.wMilliseconds = static_cast<WORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(arrived.time_since_epoch()).count() % 1000);
    pImageInfo->dwImageBuffers = static_cast<DWORD>(camera.memories.size());
    pImageInfo->dwImageWidth = static_cast<DWORD>(std::min(camera.aoi.width, memory->second.width));
    pImageInfo->dwImageHeight = static_cast<DWORD>(std::min(camera.aoi.height, memory->second.height));
    return call.done(IS_SUCCESS);
}

ULONG is_CameraStatus(HIDS hCam, INT nInfo, ULONG ulValue)
{
    Call call("is_CameraStatus", hCam, {static_cast<double>(nInfo), static_cast<double>(ulValue)});
    if (INT refused = call.refusal())
        return static_cast<ULONG>(call.done(refused));
    return static_cast<ULONG>(call.done(IS_SUCCESS));
}

} // extern "C"
