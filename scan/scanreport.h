#pragma once

#include <QImage>
#include <QString>

#include <opencv2/core.hpp>

// The frame of a scan report's image form as an image (the report texts are host messages,
// hostlink/hostmessages.h).
namespace scanreport {

// The frame (8-bit, three channels in B, G, R order, as the front camera delivers it) as an
// image with the same pixels. The image shares the frame's bytes and keeps the frame alive as
// long as any copy of the image exists, so it may cross threads while the scan moves on.
// A frame that is not 8-bit three-channel gives a null image.
QImage FrameImage(const cv::Mat& frame);

} // namespace scanreport
