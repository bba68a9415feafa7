#include "scan/panoramacompose.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

namespace panoramacompose {

namespace {

// One stretch of a frame on the canvas: frame columns [from, to) from canvas column target on.
// Between its overlaps a frame is alone (frame columns [aloneFrom, aloneTo), empty when the
// overlaps meet): those columns are copied, the others blended.
struct Piece
{
    int from = 0;
    int to = 0;
    int target = 0;
    int aloneFrom = 0;
    int aloneTo = 0;
    // Alone columns that another frame blends into (steps shorter than half a frame): their
    // weight so far must be known there. Canvas column and its weight column.
    std::vector<std::pair<int, int>> weighed;

    bool hasAlone() const { return aloneTo > aloneFrom; }
    int canvas(int column) const { return target + column - from; }
    // Calls f(first, end) for the frame columns that are blended.
    template<class F>
    void blended(F f) const
    {
        if (!hasAlone()) {
            f(from, to);
            return;
        }
        f(from, aloneFrom);
        f(aloneTo, to);
    }
};

} // namespace

cv::Mat Compose(const std::vector<cv::Mat>& frames, const Placement& placement)
{
    const int count = static_cast<int>(frames.size());
    if (count == 0 || placement.x.size() != frames.size() || placement.y.size() != frames.size())
        return cv::Mat();
    const int width = frames.front().cols;
    const int height = frames.front().rows;
    const int canvasWidth = placement.canvasWidth;
    const std::vector<int>& px = placement.x;
    const std::vector<int>& py = placement.y;

    // Feathered blend: across an overlap the earlier frame's weight falls from 1 to 0 while
    // the later one's rises, so every column's weights add up to one.
    auto overlapBefore = [&](int j) -> int {
        if (j > 0)
            return px[static_cast<size_t>(j - 1)] + width - px[static_cast<size_t>(j)];
        return placement.closed ? px.back() + width - canvasWidth : 0;
    };
    auto overlapAfter = [&](int j) -> int {
        if (j + 1 < count)
            return overlapBefore(j + 1);
        return placement.closed ? overlapBefore(0) : 0;
    };
    std::vector<std::vector<float>> ramps(static_cast<size_t>(count));
    std::vector<std::vector<Piece>> pieces(static_cast<size_t>(count));
    for (int j = 0; j < count; ++j) {
        const int before = overlapBefore(j);
        const int after = overlapAfter(j);
        std::vector<float>& ramp = ramps[static_cast<size_t>(j)];
        ramp.resize(static_cast<size_t>(width));
        for (int c = 0; c < width; ++c) {
            float w = 1.0f;
            if (before > 0)
                w *= std::min(1.0f, (c + 0.5f) / before);
            if (after > 0)
                w *= std::min(1.0f, (width - c - 0.5f) / after);
            ramp[static_cast<size_t>(c)] = w;
        }
        // A frame that runs past the ring's end continues at its start.
        for (int part = 0; part < 2; ++part) {
            Piece piece;
            piece.to = width;
            piece.target = px[static_cast<size_t>(j)];
            if (part == 1) {
                if (!placement.closed || px[static_cast<size_t>(j)] + width <= canvasWidth)
                    break;
                piece.from = canvasWidth - px[static_cast<size_t>(j)];
                piece.target = 0;
            } else if (placement.closed) {
                piece.to = std::min(width, canvasWidth - px[static_cast<size_t>(j)]);
            }
            piece.aloneFrom = std::max(piece.from, std::max(0, before));
            piece.aloneTo = std::min(piece.to, width - std::max(0, after));
            pieces[static_cast<size_t>(j)].push_back(piece);
        }
    }

    // The weight a pixel has had so far is kept only for canvas columns some frame blends into.
    std::vector<int> weightColumn(static_cast<size_t>(std::max(0, canvasWidth)), -1);
    int weightColumns = 0;
    for (const std::vector<Piece>& framePieces : pieces) {
        for (const Piece& piece : framePieces) {
            piece.blended([&](int first, int end) {
                for (int c = first; c < end; ++c) {
                    int& index = weightColumn[static_cast<size_t>(piece.canvas(c))];
                    if (index < 0)
                        index = weightColumns++;
                }
            });
        }
    }
    for (std::vector<Piece>& framePieces : pieces) {
        for (Piece& piece : framePieces) {
            for (int c = piece.aloneFrom; c < piece.aloneTo; ++c) {
                const int index = weightColumn[static_cast<size_t>(piece.canvas(c))];
                if (index >= 0)
                    piece.weighed.emplace_back(piece.canvas(c), index);
            }
        }
    }

    // Frames are blended in one pass each as a running weighted mean: with S the weight a pixel
    // has had so far, a frame of weight w moves it by w / (S + w) towards its own value. That
    // is the same mean as summing first, without a floating-point copy of the whole panorama.
    // Every row on its own: bands of rows on every core give the same pixels as one pass.
    cv::Mat image(placement.canvasHeight, canvasWidth, CV_8UC3);
    cv::Mat seen(placement.canvasHeight, std::max(1, weightColumns), CV_32FC1, cv::Scalar::all(0));
    auto compose = [&](const cv::Range& rows) {
        image.rowRange(rows).setTo(cv::Scalar::all(0));
        for (int j = 0; j < count; ++j) {
            const int top = py[static_cast<size_t>(j)];
            const int first = std::max(rows.start, top);
            const int end = std::min(rows.end, top + height);
            if (first >= end)
                continue;
            const cv::Mat& frame = frames[static_cast<size_t>(j)];
            const std::vector<float>& ramp = ramps[static_cast<size_t>(j)];
            for (const Piece& piece : pieces[static_cast<size_t>(j)]) {
                if (piece.hasAlone()) {
                    const cv::Rect alone(piece.aloneFrom, first - top, piece.aloneTo - piece.aloneFrom, end - first);
                    const cv::Rect place(piece.canvas(piece.aloneFrom), first, alone.width, alone.height);
                    frame(alone).copyTo(image(place));
                    for (int r = first; r < end; ++r) {
                        float* weight = seen.ptr<float>(r);
                        for (const std::pair<int, int>& column : piece.weighed)
                            weight[column.second] = 1.0f;
                    }
                }
                for (int r = first; r < end; ++r) {
                    const cv::Vec3b* source = frame.ptr<cv::Vec3b>(r - top);
                    cv::Vec3b* out = image.ptr<cv::Vec3b>(r);
                    float* weight = seen.ptr<float>(r);
                    piece.blended([&](int from, int to) {
                        for (int c = from; c < to; ++c) {
                            const int at = piece.canvas(c);
                            float& sum = weight[weightColumn[static_cast<size_t>(at)]];
                            const float w = ramp[static_cast<size_t>(c)];
                            const float total = sum + w;
                            const float share = w / total;
                            sum = total;
                            for (int k = 0; k < 3; ++k)
                                out[at][k] = cv::saturate_cast<uchar>(out[at][k] + share * (source[c][k] - out[at][k]));
                        }
                    });
                }
            }
        }
    };
    // Bands of rows on threads of their own (the last on this one); a band whose thread cannot
    // be started is composed here. std::thread rather than the image library's pool: its
    // hand-over is one the thread sanitizer sees.
    const int rowsTotal = placement.canvasHeight;
    const int bands = std::max(1, std::min(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())), rowsTotal / 64));
    std::vector<std::thread> threads;
    std::vector<std::exception_ptr> failures(static_cast<size_t>(bands));
    for (int b = 0; b < bands; ++b) {
        const cv::Range rows(static_cast<int>(static_cast<long long>(rowsTotal) * b / bands),
                             static_cast<int>(static_cast<long long>(rowsTotal) * (b + 1) / bands));
        auto band = [&compose, &failures, rows, b] {
            try {
                compose(rows);
            } catch (...) {
                failures[static_cast<size_t>(b)] = std::current_exception();
            }
        };
        bool started = false;
        if (b + 1 < bands) {
            try {
                threads.emplace_back(band);
                started = true;
            } catch (const std::system_error&) {
                // No thread to be had: this band on the calling thread.
            }
        }
        if (!started)
            band();
    }
    for (std::thread& t : threads)
        t.join();
    for (const std::exception_ptr& failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
    return image;
}

} // namespace panoramacompose
