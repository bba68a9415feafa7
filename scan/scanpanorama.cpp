#include "scan/scanpanorama.h"

#include <QElapsedTimer>

namespace scanpanorama {

QString FileName()
{
    return QStringLiteral("panorama.png");
}

Outcome Build(const std::vector<cv::Mat>& frames, double stepDeg, double diameter, double pixelSizeThousandths,
              const std::vector<panorama::Seam>& known)
{
    Outcome outcome;
    QElapsedTimer timer;
    timer.start();
    outcome.result = panorama::Stitch(frames, panorama::StepPixels(stepDeg, diameter, pixelSizeThousandths),
                                      panorama::CircumferencePixels(diameter, pixelSizeThousandths), panorama::Options(),
                                      known);
    outcome.stitchUs = timer.nsecsElapsed() / 1000;
    outcome.lines = panorama::Describe(outcome.result);
    return outcome;
}

} // namespace scanpanorama
