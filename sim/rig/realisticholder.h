#pragma once

// The holder of a realistic top view: a steel disc (dark or bright, with a dark or polished
// rim), or two jaws (straight from the left and right borders, or at any angle, of any length,
// grey and worn), and a polished ring around the stone's seat. Drawn from the surroundings'
// seed onto the plate (CV_32FC3) before the stone.

#include "realisticscene.h"

#include <opencv2/core.hpp>

#include <cstdint>

namespace rig {

// A fixed value in [0, 1) per (seed, n): the scene's repeatable randomness.
double sceneHash01(unsigned seed, int64_t n);

void drawHolder(cv::Mat& plate, const Surroundings& around);

} // namespace rig
