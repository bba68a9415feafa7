#pragma once

#include "camera/cameraacquisition.h"
#include "core/singleton.h"

// The Top Standard camera: a wider top view, shown only. The camera delivers packed B, G, R,
// which the finished frames keep.
class CamTS : public CameraAcquisition
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(CamTS)

public:
    ~CamTS() override;

private:
    explicit CamTS(QObject* parent = nullptr);
};
