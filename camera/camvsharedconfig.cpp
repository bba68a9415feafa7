#include "camvsharedconfig.h"

#include "camera/cameradevice.h"
#include "core/logs.h"

#include <exception>

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
    camerasimulation::FollowHost(this);
}

CamVSharedConfig::~CamVSharedConfig()
{
    logging->udebug(QStringLiteral("Cameras Shared Memory Destruction"));
}

void CamVSharedConfig::RefreshCameraList()
{
    QStringList serials;
    QList<int> ids;
    for (const ListedCamera& camera : sdkcameras::List(logging)) {
        serials.append(camera.serial);
        ids.append(camera.deviceId);
    }
    QStringList genicam;
    for (const ListedCamera& camera : genicamcameras::List(logging))
        genicam.append(camera.serial);
    std::lock_guard<std::mutex> lock(listMutex);
    CamList = serials;
    CamIDList = ids;
    GenICamList = genicam;
}

QStringList CamVSharedConfig::GetCameraList()
{
    std::lock_guard<std::mutex> lock(listMutex);
    QStringList all = CamList;
    for (const QString& serial : GenICamList)
        if (!all.contains(serial))
            all.append(serial);
    return all;
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

unsigned CamVSharedConfig::PixelClockRegulate(unsigned maxClock)
{
    int count = 0;
    {
        std::lock_guard<std::mutex> lock(listMutex);
        count = CamList.size();
    }
    const unsigned clock = count > 0 ? maxClock / static_cast<unsigned>(count) : maxClock;
    logging->udebug(QString::number(count) + QStringLiteral(" Cameras connected.. Setting pixel clock to ") + QString::number(clock)
                    + QStringLiteral("/") + QString::number(maxClock));
    return clock;
}
