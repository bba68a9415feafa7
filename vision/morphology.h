#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

// In-place erode/dilate pair shared by the vision classes. Sizes are full kernel widths, not
// radii: 1 leaves the image as it is, 2 is a 2 x 2 element, 0 or less skips the step.
// invert false: erode, then dilate; invert true: dilate, then erode.
//
// An OpenCV error in either step is caught here: one line goes to the debug console
// ("Moph exception: Erode <e> Dilate <d><OpenCV message>"), the remaining step is skipped and
// the image keeps what the completed step produced. Other exceptions pass through.
namespace vision {

void morphOps(cv::Mat& image, int erodeSize, int dilateSize, bool invert, int shape);

// The shapes under the names the classes use.
inline void MorphOpsRect(cv::Mat& image, int erodeSize, int dilateSize, bool invert)
{
    morphOps(image, erodeSize, dilateSize, invert, cv::MORPH_RECT);
}
inline void MorphOpsEllipse(cv::Mat& image, int erodeSize, int dilateSize, bool invert)
{
    morphOps(image, erodeSize, dilateSize, invert, cv::MORPH_ELLIPSE);
}

} // namespace vision
