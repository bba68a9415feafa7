#pragma once

#include <QImage>
#include <QString>

#include <opencv2/core.hpp>

// The reports a girdle scan sends to the host for each frame, and the frame as an image for
// the image form. Numbers are written as in every host command (six significant digits).
namespace scanreport {

// Text form: IMGSCAP{i}COORDS{x}&{y}&{a}#{mfPixelSize}#{yOffsetDifference}#{D}#{step}, where
// yOffsetDifference is the inscription Y offset minus the front-camera Y offset.
// Example: IMGSCAP3COORDS10.5&7.2&108#1.27#-1.68#5#36
QString TextReport(int index, double x, double y, double a, double mfPixelSize, double yOffsetDifference,
                   double diameter, double step);

// Image form's text: IMGCAP{i}COORDS{x}&{y}&{a}; the image travels behind it.
QString ImageReportText(int index, double x, double y, double a);

// The frame (8-bit, three channels in B, G, R order, as the front camera delivers it) as an
// image with the same pixels. The image shares the frame's bytes and keeps the frame alive as
// long as any copy of the image exists, so it may cross threads while the scan moves on.
// A frame that is not 8-bit three-channel gives a null image.
QImage FrameImage(const cv::Mat& frame);

} // namespace scanreport
