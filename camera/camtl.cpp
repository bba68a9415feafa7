#include "camtl.h"

#include "core/logs.h"

#include <opencv2/imgproc.hpp>

namespace {
const CameraRole TLRole = {
    "Top Large",
    "CAMTLID",
    "1111111111",
    "CAMTLAOIX",
    "CAMTLAOIY",
    "CAMTLAOIW",
    "CAMTLAOIH",
    "CAMTLEXPT",
    8,
    true,
    cv::COLOR_BayerBG2BGR,
    true,
    QThread::TimeCriticalPriority,
    true,
    "CAMTLBACKEND",
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
