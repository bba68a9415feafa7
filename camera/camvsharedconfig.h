#pragma once

#include "camera/camerasdk.h"
#include "core/singleton.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <mutex>

class Logs;

// The list of connected cameras, taken once at construction: serial number and SDK device ID
// of each, in the order the SDK lists them. Turns a role's serial number into the device ID to
// open and shares the pixel clock among the listed cameras.
//
// In the rig build it also feeds the rig the axis positions that the host reports, so that the
// simulated scene shows what the host says the machine did.
//
// Locks: listMutex guards CamList and CamIDList (always the same length). A std::mutex, which
// ThreadSanitizer sees (QMutex locks inside the uninstrumented Qt library).
class CamVSharedConfig : public QObject
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(CamVSharedConfig)

public:
    ~CamVSharedConfig() override;

    // Empties and refills the list from the SDK.
    void RefreshCameraList();
    QStringList GetCameraList();
    // Device ID for a serial number (exact text), or -1 when it is not listed.
    int GetCameraIndex(QString serial);
    // The pixel clock one camera may use: maxClock divided by the number of listed cameras
    // (the whole clock when the list is empty).
    UINT PixelClockRegulate(UINT maxClock);

private:
    explicit CamVSharedConfig(QObject* parent = nullptr);

    Logs* logging = nullptr;
    std::mutex listMutex;
    QStringList CamList;
    QList<int> CamIDList;
};
