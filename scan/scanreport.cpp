#include "scan/scanreport.h"


namespace scanreport {

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
