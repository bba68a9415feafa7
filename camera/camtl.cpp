#include "camtl.h"

#include "core/logs.h"

#include <opencv2/imgproc.hpp>

namespace {
const CameraRole TLRole = {
    "Top Large",
    settings::camera::TopLarge,
    8,
    true,
    cv::COLOR_BayerBG2BGR,
    true,
    QThread::TimeCriticalPriority,
    true,
};
} // namespace

CamTL::CamTL(QObject* parent)
    : CameraAcquisition(TLRole, parent)
{
    startUp();
}

CamTL::~CamTL()
{
    shutDown();
    logging->udebug(QStringLiteral("Top Large Camera Destruction"));
}
