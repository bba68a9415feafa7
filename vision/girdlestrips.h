#pragma once

// Building blocks of the girdle measurement that work on the frame reduced to vertical strips
// (rows x strips): the strips' sums taken straight from the frame, the best nearly horizontal
// path through an evidence map, and the rise of one edge in one strip.

#include <opencv2/core.hpp>

#include <vector>

namespace girdle {

// Smoothing (rows) of the fine profile the edges are placed and their rise measured on.
constexpr double StripFineSigma = 1.0;

// Per row, the sum of each run of `bytes` consecutive bytes of an 8-bit frame (one strip, all
// its channels) into `sums` (rows x strips, CV_32F).
void stripSums(const cv::Mat& image, int strips, int bytes, cv::Mat& sums);

// The best path left to right through `evidence` (rows x strips, CV_32F), moving at most
// `reach` rows per strip at `stepCost` per row moved: its row in every strip.
std::vector<int> bestPath(const cv::Mat& evidence, int reach, float stepCost);

// 10-90 % rise (px) of the edge at `y` in one strip of the fine signed derivative, looking at
// most `limit` rows away; NaN when the peak runs into the border or the limit.
double riseWidth(const cv::Mat& fine, int strip, double y, int limit);

// Median; NaN of an empty list.
double median(std::vector<double> v);

} // namespace girdle
