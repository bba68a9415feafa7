#pragma once

#include "core/singleton.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <mutex>

class Logs;

// The list of connected cameras, taken at construction and on every refresh: serial number and
// SDK device ID of each camera the SDK lists, in its order, then the serial numbers of the
// GenICam cameras. Turns a role's serial number into the SDK device ID to open and shares the
// pixel clock among the SDK's cameras.
//
// In the build over the simulated rig it also feeds the rig the axis positions that the host
// reports, so that the simulated scene shows what the host says the machine did.
//
// Locks: listMutex guards CamList and CamIDList (always the same length) and GenICamList. A std::mutex, which
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
    // SDK device ID for a serial number (exact text), or -1 when the SDK does not list it.
    int GetCameraIndex(QString serial);
    // The pixel clock one camera may use: maxClock divided by the number of cameras the SDK
    // lists (the whole clock when the list is empty).
    unsigned PixelClockRegulate(unsigned maxClock);

private:
    explicit CamVSharedConfig(QObject* parent = nullptr);

    Logs* logging = nullptr;
    std::mutex listMutex;
    QStringList CamList;
    QList<int> CamIDList;
    QStringList GenICamList;
};
