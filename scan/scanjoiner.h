#pragma once

#include "scan/panorama.h"
#include "vision/girdlemeasure.h"

#include <opencv2/core.hpp>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// The end of a scan, done while it runs: each frame the scan keeps is measured (its girdle) and
// registered against the frame before it (the panorama's seam) on a thread of its own, beside
// the next frame's motion and camera waits. At the end, the girdle profile and the panorama take
// these results instead of computing them again; they are the same functions with the same
// arguments, so the results are the ones the end of the scan would have computed.
//
// Threads: add() and finish() from the scan's thread; the work runs on the joiner's thread.
// Locks: mutex guards queue, seams, girdles and closing; wake is its condition.
class ScanJoiner
{
public:
    // stepPx: the offset the scan geometry predicts between neighbouring frames
    // (panorama::StepPixels); circumferencePx: the girdle's circumference in pixels
    // (panorama::CircumferencePixels; the last of `count` frames is also registered against the
    // first, the seam that closes the ring); pixelUm: the front camera's pixel size for the
    // girdle measurement.
    ScanJoiner(double stepPx, double circumferencePx, int count, double pixelUm);
    ~ScanJoiner();
    ScanJoiner(const ScanJoiner&) = delete;
    ScanJoiner& operator=(const ScanJoiner&) = delete;

    // The scan's next frame (index 0, 1, ... in order).
    void add(const cv::Mat& frame);   // ignored once a frame's work failed
    // Waits for the work queued. seams: the neighbours' seams registered (from, to, predictedPx
    // as panorama::Stitch would ask for them); girdles: one measurement per frame added.
    void finish(std::vector<panorama::Seam>* seams, std::vector<girdle::Measurement>* girdles);

private:
    void work();

    const double stepPx;
    const double circumferencePx;
    const int count;
    girdle::MeasureParameters girdleParameters;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<cv::Mat> queue;
    std::vector<panorama::Seam> seams;
    std::vector<girdle::Measurement> girdles;
    bool busy = false;       // a frame taken off the queue is being worked on
    bool closing = false;
    bool broken = false;     // a frame's work threw: later frames are not worked on
    std::thread thread;      // last: started once everything above exists
};
