#include "scan/scanjoiner.h"

#include <cmath>
#include <exception>

ScanJoiner::ScanJoiner(double stepPx, double circumferencePx, int count, double pixelUm)
    : stepPx(stepPx)
    , circumferencePx(circumferencePx)
    , count(count)
    , thread([this] { work(); })
{
    if (pixelUm > 0.0 && std::isfinite(pixelUm))
        girdleParameters.pixelSizeUm = pixelUm;
}

ScanJoiner::~ScanJoiner()
{
    {
        std::lock_guard<std::mutex> joinerLock(mutex);
        closing = true;
        queue.clear();
    }
    wake.notify_all();
    thread.join();
}

void ScanJoiner::add(const cv::Mat& frame)
{
    {
        std::lock_guard<std::mutex> joinerLock(mutex);
        if (broken)
            return;
        queue.push_back(frame);
    }
    wake.notify_all();
}

void ScanJoiner::finish(std::vector<panorama::Seam>* seamsOut, std::vector<girdle::Measurement>* girdlesOut)
{
    std::unique_lock<std::mutex> joinerLock(mutex);
    wake.wait(joinerLock, [this] { return queue.empty() && !busy; });
    *seamsOut = seams;
    *girdlesOut = girdles;
}

void ScanJoiner::work()
{
    cv::Mat first;
    cv::Mat previous;
    int index = 0;
    // Only what the panorama would register as it is: two colour frames of one size (it turns
    // grey frames to colour first).
    auto joinable = [](const cv::Mat& a, const cv::Mat& b) {
        return !a.empty() && a.size() == b.size() && a.type() == CV_8UC3 && b.type() == CV_8UC3;
    };
    for (;;) {
        cv::Mat frame;
        {
            std::unique_lock<std::mutex> joinerLock(mutex);
            wake.wait(joinerLock, [this] { return closing || !queue.empty(); });
            if (closing)
                return;
            frame = queue.front();
            queue.pop_front();
            busy = true;
        }
        girdle::Measurement measured;
        std::vector<panorama::Seam> found;
        try {
            measured = frame.empty() ? girdle::Measurement() : girdle::measureGirdle(frame, girdleParameters);
            if (joinable(previous, frame) && std::isfinite(stepPx) && stepPx > 0) {
                found.push_back(panorama::RegisterSeam(previous, frame, stepPx));
                found.back().from = index - 1;
                found.back().to = index;
            }
            // The ring's closing seam, with the prediction the panorama makes for it when every
            // frame is joined.
            const double closingPx = circumferencePx - (count - 1) * stepPx;
            if (index == count - 1 && count >= 2 && joinable(frame, first) && std::isfinite(closingPx) && closingPx >= 0
                && closingPx < frame.cols) {
                found.push_back(panorama::RegisterSeam(frame, first, closingPx));
                found.back().from = index;
                found.back().to = 0;
            }
        } catch (const std::exception&) {
            // What this frame would have given is left to the end of the scan, which computes
            // it on the scan's thread (and reports a failure there as it always did); nothing
            // after it is worked out here, so the results stay in frame order.
            std::lock_guard<std::mutex> joinerLock(mutex);
            broken = true;
            queue.clear();
            busy = false;
            wake.notify_all();
            return;
        }
        {
            std::lock_guard<std::mutex> joinerLock(mutex);
            girdles.push_back(std::move(measured));
            seams.insert(seams.end(), found.begin(), found.end());
            busy = false;
        }
        wake.notify_all();
        if (index == 0)
            first = frame;
        previous = frame;
        ++index;
    }
}
