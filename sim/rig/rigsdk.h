#pragma once

// The camera SDK calls as the simulated rig offers them: the same function names, argument
// shapes and status semantics as the camera vendor's C library, so that the station's camera
// classes compile unchanged against either (see camera/camerasdk.h). Every definition here is
// the rig's own; only the names and the behaviour the station relies on are shared.
//
// Status convention: 0 (IS_SUCCESS) is success, anything else an error code that callers log.
// All calls are thread-safe; a camera handle is valid from is_InitCamera to is_ExitCamera.

#include <cstdint>

typedef int32_t INT;
typedef uint32_t UINT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef uint64_t UINT64;
typedef DWORD HIDS;
typedef void* HWND;
typedef int32_t BOOL;

// Status codes.
#define IS_NO_SUCCESS -1
#define IS_SUCCESS 0
#define IS_INVALID_CAMERA_HANDLE 1
#define IS_IO_REQUEST_FAILED 2
#define IS_CANT_OPEN_DEVICE 3
#define IS_OUT_OF_MEMORY 34
#define IS_NO_ACTIVE_IMG_MEM 12
#define IS_INVALID_MEMORY_POINTER 49
#define IS_INVALID_PARAMETER 125
#define IS_NOT_SUPPORTED 155

// Opening by device ID rather than by camera ID.
#define IS_USE_DEVICE_ID 0x8000

// Colour modes (is_SetColorMode) and the sensor's colour type (SENSORINFO::nColorMode).
#define IS_GET_COLOR_MODE 0x8000
#define IS_CM_BGR8_PACKED 1
#define IS_CM_MONO8 6
#define IS_CM_SENSOR_RAW8 11
#define IS_COLORMODE_MONOCHROME 1
#define IS_COLORMODE_BAYER 2

// Colour converter modes (is_SetColorConverter).
#define IS_CONV_MODE_SOFTWARE_3X3 2
#define IS_CONV_MODE_HARDWARE_3X3 8

// Automatic parameters (is_SetAutoParameter).
#define IS_SET_ENABLE_AUTO_GAIN 0x8800
#define IS_GET_ENABLE_AUTO_GAIN 0x8801

// Capture (is_CaptureVideo, is_StopLiveVideo).
#define IS_DONT_WAIT 0
#define IS_WAIT 1
#define IS_FORCE_VIDEO_STOP 0x4000

// Pixel clock commands (is_PixelClock), values in MHz.
#define IS_PIXELCLOCK_CMD_GET_RANGE 3
#define IS_PIXELCLOCK_CMD_GET 5
#define IS_PIXELCLOCK_CMD_SET 6

// Area of interest commands (is_AOI).
#define IS_AOI_IMAGE_SET_AOI 1
#define IS_AOI_IMAGE_GET_AOI 2

// Exposure commands (is_Exposure), values in milliseconds.
#define IS_EXPOSURE_CMD_GET_EXPOSURE_RANGE 6
#define IS_EXPOSURE_CMD_GET_EXPOSURE 7
#define IS_EXPOSURE_CMD_SET_EXPOSURE 12

// Subsampling modes (is_SetSubSampling): one flag per direction and factor.
#define IS_SUBSAMPLING_DISABLE 0x0000
#define IS_SUBSAMPLING_2X_VERTICAL 0x0001
#define IS_SUBSAMPLING_2X_HORIZONTAL 0x0002
#define IS_SUBSAMPLING_4X_VERTICAL 0x0004
#define IS_SUBSAMPLING_4X_HORIZONTAL 0x0008
#define IS_SUBSAMPLING_3X_VERTICAL 0x0010
#define IS_SUBSAMPLING_3X_HORIZONTAL 0x0020
#define IS_SUBSAMPLING_5X_VERTICAL 0x0040
#define IS_SUBSAMPLING_5X_HORIZONTAL 0x0080
#define IS_SUBSAMPLING_6X_VERTICAL 0x0100
#define IS_SUBSAMPLING_6X_HORIZONTAL 0x0200
#define IS_SUBSAMPLING_8X_VERTICAL 0x0400
#define IS_SUBSAMPLING_8X_HORIZONTAL 0x0800
#define IS_SUBSAMPLING_16X_VERTICAL 0x1000
#define IS_SUBSAMPLING_16X_HORIZONTAL 0x2000

// Camera status (is_CameraStatus).
#define IS_STANDBY 24
#define IS_GET_STATUS 0x8000

typedef struct IS_RECT
{
    INT s32X;
    INT s32Y;
    INT s32Width;
    INT s32Height;
} IS_RECT;

typedef struct BOARDINFO
{
    char SerNo[12];
    char ID[20];
    char Version[10];
    char Date[12];
    BYTE Select;
    BYTE Type;
    char Reserved[8];
} BOARDINFO, *PBOARDINFO;

typedef struct SENSORINFO
{
    WORD SensorID;
    char strSensorName[32];
    char nColorMode;
    DWORD nMaxWidth;
    DWORD nMaxHeight;
    BOOL bMasterGain;
    BOOL bRGain;
    BOOL bGGain;
    BOOL bBGain;
    BOOL bGlobShutter;
    WORD wPixelSize; // in hundredths of a micrometre
    char nUpperLeftBayerPixel;
    char Reserved[13];
} SENSORINFO, *PSENSORINFO;

typedef struct UEYE_CAMERA_INFO
{
    DWORD dwCameraID;
    DWORD dwDeviceID;
    DWORD dwSensorID;
    DWORD dwInUse;
    char SerNo[16];
    char Model[16];
    DWORD dwStatus;
    DWORD dwReserved[15];
} UEYE_CAMERA_INFO, *PUEYE_CAMERA_INFO;

// Variable-length record: the caller allocates room for dwCount entries and presets dwCount.
typedef struct UEYE_CAMERA_LIST
{
    ULONG dwCount;
    UEYE_CAMERA_INFO uci[1];
} UEYE_CAMERA_LIST, *PUEYE_CAMERA_LIST;

// Wall-clock date and time as the host's clock had it.
typedef struct UEYETIME
{
    WORD wYear;
    WORD wMonth;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
    BYTE byReserved[10];
} UEYETIME;

// What the camera tells about the frame in one image memory (is_GetImageInfo).
typedef struct UEYEIMAGEINFO
{
    DWORD dwFlags;
    BYTE byReserved1[4];
    UINT64 u64TimestampDevice; // the camera's own clock, in 0.1 us, at the start of the exposure
    UEYETIME TimestampSystem;  // the host's wall clock when the frame reached the memory
    DWORD dwIoStatus;
    WORD wAOIIndex;
    WORD wAOICycle;
    UINT64 u64FrameNumber;     // counts every frame the camera exposed, delivered or not
    DWORD dwImageBuffers;
    DWORD dwImageBuffersInUse;
    DWORD dwReserved3;
    DWORD dwImageHeight;
    DWORD dwImageWidth;
    DWORD dwHostProcessTime;
    DWORD dwReserved[20];
} UEYEIMAGEINFO;

#ifdef __cplusplus
extern "C" {
#endif

INT is_GetNumberOfCameras(INT* pnNumCams);
INT is_GetCameraList(PUEYE_CAMERA_LIST pucl);
INT is_InitCamera(HIDS* phCam, HWND hWnd);
INT is_ExitCamera(HIDS hCam);
INT is_SetColorMode(HIDS hCam, INT Mode);
INT is_GetCameraInfo(HIDS hCam, PBOARDINFO pInfo);
INT is_GetSensorInfo(HIDS hCam, PSENSORINFO pInfo);
INT is_SetAutoParameter(HIDS hCam, INT param, double* pval1, double* pval2);
INT is_AllocImageMem(HIDS hCam, INT width, INT height, INT bitspixel, char** ppcImgMem, INT* pid);
INT is_SetImageMem(HIDS hCam, char* pcMem, INT id);
INT is_FreeImageMem(HIDS hCam, char* pcMem, INT id);
INT is_InquireImageMem(HIDS hCam, char* pcMem, INT nID, INT* pnX, INT* pnY, INT* pnBits, INT* pnPitch);
INT is_SetImageSize(HIDS hCam, INT x, INT y);
INT is_SetColorConverter(HIDS hCam, INT ColorMode, INT ConvertMode);
INT is_CaptureVideo(HIDS hCam, INT Wait);
INT is_StopLiveVideo(HIDS hCam, INT Wait);
INT is_PixelClock(HIDS hCam, UINT nCommand, void* pParam, UINT cbSizeOfParam);
INT is_AOI(HIDS hCam, UINT nCommand, void* pParam, UINT SizeOfParam);
INT is_Exposure(HIDS hCam, UINT nCommand, void* pParam, UINT cbSizeOfParam);
INT is_SetSubSampling(HIDS hCam, INT mode);
INT is_GetFrameTimeRange(HIDS hCam, double* min, double* max, double* intervall);
// The frame in image memory nImageBufferID; IS_NO_SUCCESS while no frame has reached it.
INT is_GetImageInfo(HIDS hCam, INT nImageBufferID, UEYEIMAGEINFO* pImageInfo, INT nImageInfoSize);
ULONG is_CameraStatus(HIDS hCam, INT nInfo, ULONG ulValue);

#ifdef __cplusplus
}
#endif
