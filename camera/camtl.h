#pragma once

#include "camera/cameraacquisition.h"
#include "core/singleton.h"

// The Top Large camera: the stone seen from above, the only view that is measured. Its sensor
// is mounted turned, so every frame is the area of interest turned 90 degrees clockwise: frames
// are GetHeight() wide and GetWidth() high. Raw Bayer data, demosaiced to B, G, R.
// Its thread runs even when the camera cannot be opened (it then idles).
class CamTL : public CameraAcquisition
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(CamTL)

public:
    ~CamTL() override;

private:
    explicit CamTL(QObject* parent = nullptr);
};
