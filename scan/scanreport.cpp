#include "scan/scanreport.h"

#include "motion/motioncommands.h"

using motioncommands::Number;

namespace scanreport {

QString TextReport(int index, double x, double y, double a, double mfPixelSize, double yOffsetDifference,
                   double diameter, double step)
{
    return QStringLiteral("IMGSCAP") + QString::number(index) + QStringLiteral("COORDS") + Number(x)
           + QLatin1Char('&') + Number(y) + QLatin1Char('&') + Number(a) + QLatin1Char('#') + Number(mfPixelSize)
           + QLatin1Char('#') + Number(yOffsetDifference) + QLatin1Char('#') + Number(diameter) + QLatin1Char('#')
           + Number(step);
}

QString ImageReportText(int index, double x, double y, double a)
{
    return QStringLiteral("IMGCAP") + QString::number(index) + QStringLiteral("COORDS") + Number(x)
           + QLatin1Char('&') + Number(y) + QLatin1Char('&') + Number(a);
}

namespace {
void releaseFrame(void* info)
{
    delete static_cast<cv::Mat*>(info);
}
} // namespace

QImage FrameImage(const cv::Mat& frame)
{
    if (frame.empty() || frame.type() != CV_8UC3)
        return QImage();
    // The heap copy of the header holds a reference on the pixel buffer until the last QImage
    // sharing it is gone.
    auto* keeper = new cv::Mat(frame);
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    return QImage(keeper->data, keeper->cols, keeper->rows, static_cast<int>(keeper->step), QImage::Format_BGR888,
                  releaseFrame, keeper);
#else
    QImage swapped = QImage(keeper->data, keeper->cols, keeper->rows, static_cast<int>(keeper->step),
                            QImage::Format_RGB888)
                         .rgbSwapped();
    delete keeper;
    return swapped;
#endif
}

} // namespace scanreport
