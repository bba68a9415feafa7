#include "camvsharedconfig.h"

#include "core/logs.h"
#include "hostlink/veltraxserver.h"

#if defined(VELTRAX_CAMERA_RIG)
#include "sim/rig/rig.h"
#endif

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <vector>

namespace {
// More cameras than any station bus can carry: a count beyond it is a broken answer.
constexpr int MaxListedCameras = 64;
}

CamVSharedConfig::CamVSharedConfig(QObject* parent)
    : QObject(parent)
{
    logging = Logs::AccessMemory();
    try {
        logging->udebug(QStringLiteral("Loading Cameras Shared Memory..."));
        RefreshCameraList();
        logging->udebug(QStringLiteral("Cameras Shared Memory imported successfully"));
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Error While Loading Camera Shared Memory ") + QString::fromLocal8Bit(e.what()));
    }
#if defined(VELTRAX_CAMERA_RIG)
    // The server is created before the camera list at start-up; Existing() never creates one.
    if (VeltraxServer* server = VeltraxServer::Existing()) {
        connect(server, &VeltraxServer::NewCoord, this,
                [](double x, double y, double z, double a, double zii) { rig::Rig::instance().setAxes(x, y, z, a, zii); },
                Qt::DirectConnection);
    }
#endif
}

CamVSharedConfig::~CamVSharedConfig()
{
    logging->udebug(QStringLiteral("Cameras Shared Memory Destruction"));
}

void CamVSharedConfig::RefreshCameraList()
{
    QStringList serials;
    QList<int> ids;
    INT count = 0;
    const INT status = is_GetNumberOfCameras(&count);
    if (status != IS_SUCCESS) {
        logging->udebug(QStringLiteral("Faild to retrive camera number, ERROR CODE ") + QString::number(status));
    } else {
        logging->udebug(QString::number(count) + QStringLiteral(" Camera(s) Found"));
        if (count > MaxListedCameras || count < 0) {
            logging->udebug(QStringLiteral("Camera count out of range, list ignored: ") + QString::number(count));
        } else if (count > 0) {
            const size_t bytes = offsetof(UEYE_CAMERA_LIST, uci) + static_cast<size_t>(count) * sizeof(UEYE_CAMERA_INFO);
            std::vector<unsigned char> storage(std::max(bytes, sizeof(UEYE_CAMERA_LIST)), 0);
            UEYE_CAMERA_LIST* list = reinterpret_cast<UEYE_CAMERA_LIST*>(storage.data());
            list->dwCount = static_cast<ULONG>(count);
            const INT listStatus = is_GetCameraList(list);
            if (listStatus != IS_SUCCESS) {
                logging->udebug(QStringLiteral("Faild to retrive camera list, ERROR CODE ") + QString::number(listStatus));
            } else {
                // The SDK may list fewer cameras than counted (one unplugged in between), never more.
                const int listed = static_cast<int>(std::min<ULONG>(list->dwCount, static_cast<ULONG>(count)));
                for (int i = 0; i < listed; ++i) {
                    const UEYE_CAMERA_INFO& info = list->uci[i];
                    const QString serial = QString::fromLatin1(info.SerNo, static_cast<int>(strnlen(info.SerNo, sizeof info.SerNo)));
                    serials.append(serial);
                    ids.append(static_cast<int>(info.dwDeviceID));
                    logging->udebug(QStringLiteral(">Camera ") + QString::number(i) + QStringLiteral(" id ") + serial);
                }
            }
        }
    }
    std::lock_guard<std::mutex> lock(listMutex);
    CamList = serials;
    CamIDList = ids;
}

QStringList CamVSharedConfig::GetCameraList()
{
    std::lock_guard<std::mutex> lock(listMutex);
    return CamList;
}

int CamVSharedConfig::GetCameraIndex(QString serial)
{
    int result = -1;
    {
        std::lock_guard<std::mutex> lock(listMutex);
        const int at = CamList.indexOf(serial);
        if (at >= 0)
            result = CamIDList.value(at, -1);
    }
    logging->udebug(QStringLiteral("Retriving ") + serial + QStringLiteral(" Camera > ") + QString::number(result));
    return result;
}

UINT CamVSharedConfig::PixelClockRegulate(UINT maxClock)
{
    int count = 0;
    {
        std::lock_guard<std::mutex> lock(listMutex);
        count = CamList.size();
    }
    const UINT clock = count > 0 ? maxClock / static_cast<UINT>(count) : maxClock;
    logging->udebug(QString::number(count) + QStringLiteral(" Cameras connected.. Setting pixel clock to ") + QString::number(clock)
                    + QStringLiteral("/") + QString::number(maxClock));
    return clock;
}
