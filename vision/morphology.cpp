#include "vision/morphology.h"

#include <opencv2/imgproc.hpp>

#include <QDebug>
#include <QString>

namespace vision {

namespace {
void erodeStep(cv::Mat& image, int size, int shape)
{
    const cv::Mat element = cv::getStructuringElement(shape, cv::Size(size, size), cv::Point(-1, -1));
    cv::erode(image, image, element, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());
}

void dilateStep(cv::Mat& image, int size, int shape)
{
    const cv::Mat element = cv::getStructuringElement(shape, cv::Size(size, size), cv::Point(-1, -1));
    cv::dilate(image, image, element, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
               cv::morphologyDefaultBorderValue());
}
} // namespace

void morphOps(cv::Mat& image, int erodeSize, int dilateSize, bool invert, int shape)
{
    try {
        if (!invert) {
            if (erodeSize > 0)
                erodeStep(image, erodeSize, shape);
            if (dilateSize > 0)
                dilateStep(image, dilateSize, shape);
        } else {
            if (dilateSize > 0)
                dilateStep(image, dilateSize, shape);
            if (erodeSize > 0)
                erodeStep(image, erodeSize, shape);
        }
    } catch (const cv::Exception& e) {
        // Console only: a bad kernel size typed in the panel would otherwise flood the log
        // file at the camera's frame rate.
        qDebug().noquote() << QStringLiteral("Moph exception: Erode ") + QString::number(erodeSize)
                                  + QStringLiteral(" Dilate ") + QString::number(dilateSize)
                                  + QString::fromLocal8Bit(e.what());
    }
}

} // namespace vision
