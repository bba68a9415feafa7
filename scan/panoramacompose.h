#pragma once

#include <opencv2/core.hpp>

#include <vector>

// The panorama's pixels once its frames are placed: each frame copied where it is alone, and
// feathered into its neighbours across their overlaps. Rows are composed in bands on every
// core; the result does not depend on how many.
namespace panoramacompose {

struct Placement
{
    int canvasWidth = 0;
    int canvasHeight = 0;
    std::vector<int> x;   // each frame's left column on the canvas (rising)
    std::vector<int> y;   // each frame's top row on the canvas (0 or more)
    bool closed = false;  // a ring: a frame running past the canvas's right end continues at its left end
};

// frames: 8-bit BGR, all of one size, in placement order. Pixels no frame covers are black.
cv::Mat Compose(const std::vector<cv::Mat>& frames, const Placement& placement);

} // namespace panoramacompose
