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

    // A display image made only when a viewer asks for it: `view` of the last frame if it is
    // made already; otherwise make(images) of that frame, run outside the lock so that the
    // worker never waits for a viewer, and kept for the next viewer unless a newer frame came
    // meanwhile (its `source` is another buffer: the copy held here keeps the old one alive,
    // so a new one cannot share its address). Empty while `source` is.
    template <typename Make>
    cv::Mat getOrMake(cv::Mat Images::*source, cv::Mat Images::*view, Make&& make)
    {
        Images seen;
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen = images;
        }
        if (!(seen.*view).empty() || (seen.*source).empty())
            return seen.*view;
        const cv::Mat made = make(static_cast<const Images&>(seen));
        std::lock_guard<std::mutex> lock(mutex);
        if ((images.*source).data == (seen.*source).data && (images.*view).empty())
            images.*view = made;
        return made;
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
