#pragma once

#include "scan/panorama.h"

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <vector>

// The panorama of one scan: built from the frames the scan kept and described for the log and
// the window. Used at the end of a scan and by the offline replay, so that both give the same
// image for the same frames. The scan stores it as FileName() in the folder shared with the host.
namespace scanpanorama {

// The file the host finds next to the scan's img_NN.png files.
QString FileName();

struct Outcome
{
    panorama::Result result;
    QStringList lines;      // per-seam results and the summary, as the log has them
    qint64 stitchUs = 0;    // time spent joining the frames
};

// Joins the frames of a scan turned by stepDeg between frames, for a stone of diameter D (axis
// units) seen with the front pixel size (thousandths of an axis unit per pixel). known: seams
// registered while the scan ran (see panorama::Stitch).
Outcome Build(const std::vector<cv::Mat>& frames, double stepDeg, double diameter, double pixelSizeThousandths,
              const std::vector<panorama::Seam>& known = {});

} // namespace scanpanorama
