#pragma once

#include <QImage>
#include <QSize>

#include "overlaygeometry.h"

#include <opencv2/core.hpp>

#include <functional>

class QLabel;

// Turning camera and vision images into view pictures.
//
// A view shows its image with the image's own aspect ratio: scaled by one factor to fit the
// view, centred, with bars of the views' background grey where the view is wider or taller
// (overlay::fit). Images hold B, G, R like every frame of the station; the view-sized copy
// holds R, G, B (the order the marks drawn on it are given in): a 3-channel image shows its
// first channel as blue, its second as green, its third as red; a 1-channel image shows as grey.
//
// Frames are scaled to the view's size before anything else happens to them, so the cost of a
// refresh follows the view, not the sensor: a 5 MP frame shown in a 771x920 view touches only
// the view's pixels after one linear-interpolation pass.
namespace imagedisplay {

// Draws on the part of the picture that shows the image (its top left is the image's top
// left); sx and sy map image pixels to view pixels. Marks are clipped to the image there.
using Decorator = std::function<void(cv::Mat& viewImage, double sx, double sy)>;

// The views' background, also the colour of the bars beside a fitted image.
const int BarGrey = 24;

// The image stretched to size (linear interpolation), same type as the image, its channels
// turned from B, G, R into R, G, B. Empty when the
// image or the size is empty, or when the image is not 8-bit with 1 or 3 channels.
cv::Mat stretch(const cv::Mat& image, const QSize& size);

// An owned Format_RGB32 picture of a view-sized 8-bit image (1 or 3 channels); null otherwise.
QImage toPicture(const cv::Mat& viewImage);

// The picture of a view of the given size: the image fitted (overlay::fit), decorated, and
// turned into a picture. Null when the image cannot be shown or the size is empty.
QImage viewPicture(const cv::Mat& image, const QSize& size, const Decorator& decorate = Decorator());

// The size a view's picture must have to be shown 1:1 (the label's contents rectangle).
QSize pictureSize(const QLabel* view);

// Shows the image in the view. An empty image clears the view. Does nothing for a view that
// is not visible, so no frame is converted for a view nobody sees.
void show(QLabel* view, const cv::Mat& image, const Decorator& decorate = Decorator());

} // namespace imagedisplay
