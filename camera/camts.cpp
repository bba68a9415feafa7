#include "camts.h"

#include "core/logs.h"

#include <opencv2/imgproc.hpp>

namespace {
const CameraRole TSRole = {
    "Top Standard",
    settings::camera::TopStandard,
    24,
    false,
    -1, // delivered as B, G, R already
    false,
    QThread::InheritPriority,
    false,
};
} // namespace

CamTS::CamTS(QObject* parent)
    : CameraAcquisition(TSRole, parent)
{
    startUp();
}

CamTS::~CamTS()
{
    shutDown();
    logging->udebug(QStringLiteral("Top Standard Camera Destruction"));
}
