#include "imagedisplay.h"

#include <QLabel>
#include <QPixmap>

#include <opencv2/imgproc.hpp>

namespace imagedisplay {

namespace {
bool displayable(const cv::Mat& image)
{
    return !image.empty() && image.depth() == CV_8U && (image.channels() == 1 || image.channels() == 3);
}
} // namespace

cv::Mat stretch(const cv::Mat& image, const QSize& size)
{
    if (!displayable(image) || size.width() <= 0 || size.height() <= 0)
        return cv::Mat();
    cv::Mat scaled;
    if (image.cols == size.width() && image.rows == size.height())
        image.copyTo(scaled);
    else
        cv::resize(image, scaled, cv::Size(size.width(), size.height()), 0, 0, cv::INTER_LINEAR);
    // Every frame of the station holds B, G, R; the view picture and its marks hold R, G, B.
    if (scaled.channels() == 3)
        cv::cvtColor(scaled, scaled, cv::COLOR_BGR2RGB);
    return scaled;
}

QImage toPicture(const cv::Mat& viewImage)
{
    if (!displayable(viewImage))
        return QImage();
    QImage picture(viewImage.cols, viewImage.rows, QImage::Format_RGB32);
    // Format_RGB32 is 0xffRRGGBB per pixel, i.e. the bytes B, G, R, 0xff in memory: the
    // image's first channel must land in the third byte.
    cv::Mat target(viewImage.rows, viewImage.cols, CV_8UC4, picture.bits(), static_cast<size_t>(picture.bytesPerLine()));
    cv::cvtColor(viewImage, target, viewImage.channels() == 3 ? cv::COLOR_RGB2BGRA : cv::COLOR_GRAY2BGRA);
    return picture;
}

QImage viewPicture(const cv::Mat& image, const QSize& size, const Decorator& decorate)
{
    if (!displayable(image))
        return QImage();
    const overlay::ViewFit f = overlay::fit(QSize(image.cols, image.rows), size);
    if (!f.valid())
        return QImage();
    cv::Mat picture(size.height(), size.width(), image.type(), cv::Scalar::all(BarGrey));
    cv::Mat shown = picture(cv::Rect(f.shown.x(), f.shown.y(), f.shown.width(), f.shown.height()));
    // Writes into the shown part in place: the header already has the size and type.
    cv::resize(image, shown, shown.size(), 0, 0, cv::INTER_LINEAR);
    // Every frame of the station holds B, G, R; the view picture and its marks hold R, G, B.
    if (shown.channels() == 3)
        cv::cvtColor(shown, shown, cv::COLOR_BGR2RGB);
    if (decorate)
        decorate(shown, f.sx, f.sy);
    return toPicture(picture);
}

QSize pictureSize(const QLabel* view)
{
    return view->contentsRect().size();
}

void show(QLabel* view, const cv::Mat& image, const Decorator& decorate)
{
    if (!view || !view->isVisible())
        return;
    QImage picture = viewPicture(image, pictureSize(view), decorate);
    if (picture.isNull())
        view->clear();
    else
        view->setPixmap(QPixmap::fromImage(std::move(picture))); // the picture's memory becomes the pixmap's
}

} // namespace imagedisplay
