#pragma once

#include <opencv2/core.hpp>

#include <mutex>

namespace vision {

// The images of a vision worker's last completed frame, as the window reads them. The worker
// builds a new set of images for every frame and puts it up here at the frame's end, so an
// image handed out (a header sharing the pixel buffer) is never written again.
//
// Threads: mutex guards `images`; put() comes from the worker, get() and update() from any
// thread. Nothing slow runs under the lock.
template <typename Images>
class ImageBoard
{
public:
    // One image of the last completed frame; empty until the first frame.
    cv::Mat get(cv::Mat Images::*image) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return images.*image;
    }

    void put(const Images& fresh)
    {
        std::lock_guard<std::mutex> lock(mutex);
        images = fresh;
    }

    // Runs f(images) under the lock, for a read-and-change that must be whole.
    template <typename F>
    auto update(F&& f)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return f(images);
    }

private:
    mutable std::mutex mutex;
    Images images; // guarded by mutex
};

} // namespace vision
