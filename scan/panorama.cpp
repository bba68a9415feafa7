#include "scan/panorama.h"

#include "scan/panoramacompose.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace panorama {

namespace {

constexpr double Pi = 3.14159265358979323846;
// Spatial frequencies above this (cycles per pixel) carry mostly sensor noise and the colour
// filter's pattern, which stays put on the sensor while the girdle moves: they are weighted
// down before the correlation peak is formed.
constexpr double PassBandCycles = 0.1;
// Overlaps narrower than this are registered by direct correlation instead of the transform.
constexpr int NarrowStripPx = 96;

QString num(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

cv::Mat greyFloat(const cv::Mat& frame)
{
    cv::Mat grey;
    if (frame.channels() == 3)
        cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    else if (frame.channels() == 4)
        cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
    else
        grey = frame;
    cv::Mat result;
    grey.convertTo(result, CV_32F);
    return result;
}

// What tells one position along the girdle from the next: the horizontal change of the grain,
// the facet junctions and the marks. Edges running along the girdle (its rims, the facet rows
// of crown and pavilion) look the same at every offset and are left out.
cv::Mat structure(const cv::Mat& grey)
{
    cv::Mat fine, across;
    cv::GaussianBlur(grey, fine, cv::Size(0, 0), 1.5);
    cv::Sobel(fine, across, CV_32F, 1, 0);
    return across;
}

// The largest size not above n that the DFT handles fast.
int fastSizeBelow(int n)
{
    while (n > 1 && cv::getOptimalDFTSize(n) != n)
        --n;
    return n;
}

double normalisedCorrelation(const cv::Mat& a, const cv::Mat& b)
{
    cv::Scalar meanA, devA, meanB, devB;
    cv::meanStdDev(a, meanA, devA);
    cv::meanStdDev(b, meanB, devB);
    if (devA[0] <= 1e-6 || devB[0] <= 1e-6)
        return 0.0;
    const double cross = cv::mean((a - meanA[0]).mul(b - meanB[0]))[0];
    return cross / (devA[0] * devB[0]);
}

// Sub-pixel position of a peak from its two neighbours: a Gaussian fit when all three are
// positive (the band-limited peak is Gaussian), a parabola otherwise.
double peakOffset(double left, double centre, double right)
{
    if (left > 0 && centre > 0 && right > 0) {
        const double l = std::log(left), c = std::log(centre), r = std::log(right);
        const double denominator = l - 2.0 * c + r;
        if (denominator < 0)
            return std::clamp(0.5 * (l - r) / denominator, -0.5, 0.5);
    }
    const double denominator = left - 2.0 * centre + right;
    if (denominator >= 0)
        return 0.0;
    return std::clamp(0.5 * (left - right) / denominator, -0.5, 0.5);
}

void hatchGap(cv::Mat& image, int x0, int x1)
{
    if (x1 <= x0)
        return;
    cv::Mat region = image(cv::Rect(x0, 0, x1 - x0, image.rows));
    region.setTo(cv::Scalar(40, 40, 40));
    for (int r = 0; r < region.rows; ++r) {
        cv::Vec3b* row = region.ptr<cv::Vec3b>(r);
        for (int c = 0; c < region.cols; ++c) {
            if (((x0 + c + r) / 8) % 2 == 0)
                row[c] = cv::Vec3b(0, 0, 200);
        }
    }
}

// Offset (dx, dy) at which a(x, y) shows what b shows at (x - dx, y - dy), by phase correlation:
// the normalised cross-power spectrum of the two tapered strips, band-limited, back in space,
// with the peak looked for only within the window around zero.
cv::Point2d phaseCorrelateWithin(const cv::Mat& a, const cv::Mat& b, int reach, int reachY)
{
    cv::Mat window;
    cv::createHanningWindow(window, a.size(), CV_32F);
    cv::Mat fa, fb;
    cv::dft((a - cv::mean(a)[0]).mul(window), fa, cv::DFT_COMPLEX_OUTPUT);
    cv::dft((b - cv::mean(b)[0]).mul(window), fb, cv::DFT_COMPLEX_OUTPUT);
    cv::Mat cross;
    cv::mulSpectrums(fa, fb, cross, 0, true);
    // The band limit is a Gaussian, separable into a factor per column and one per row.
    const double sigma2 = 2.0 * PassBandCycles * PassBandCycles;
    auto bandLimit = [sigma2](int n) {
        std::vector<float> factor(static_cast<size_t>(n));
        for (int k = 0; k < n; ++k) {
            const double f = (k <= n / 2 ? k : k - n) / static_cast<double>(n);
            factor[static_cast<size_t>(k)] = static_cast<float>(std::exp(-f * f / sigma2));
        }
        return factor;
    };
    std::vector<float> across = bandLimit(cross.cols);
    const std::vector<float> down = bandLimit(cross.rows);
    // Structure without horizontal change (the girdle's rims, rows of facets, shading along the
    // rows) would add the same ridge at every horizontal offset.
    across[0] = 0.0f;
    if (cross.cols > 2) {
        across[1] *= 0.5f;
        across[static_cast<size_t>(cross.cols - 1)] *= 0.5f;
    }
    for (int v = 0; v < cross.rows; ++v) {
        cv::Vec2f* row = cross.ptr<cv::Vec2f>(v);
        const float rowFactor = down[static_cast<size_t>(v)];
        for (int u = 0; u < cross.cols; ++u) {
            const float magnitude = std::sqrt(row[u][0] * row[u][0] + row[u][1] * row[u][1]);
            row[u] *= rowFactor * across[static_cast<size_t>(u)] / (magnitude + 1e-9f);
        }
    }
    cv::Mat surface;
    cv::idft(cross, surface, cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);

    auto at = [&surface](int dx, int dy) {
        const int x = (dx % surface.cols + surface.cols) % surface.cols;
        const int y = (dy % surface.rows + surface.rows) % surface.rows;
        return static_cast<double>(surface.at<float>(y, x));
    };
    int bestX = 0, bestY = 0;
    double best = -std::numeric_limits<double>::infinity();
    for (int dy = -reachY; dy <= reachY; ++dy) {
        for (int dx = -reach; dx <= reach; ++dx) {
            const double value = at(dx, dy);
            if (value > best) {
                best = value;
                bestX = dx;
                bestY = dy;
            }
        }
    }
    return {bestX + peakOffset(at(bestX - 1, bestY), best, at(bestX + 1, bestY)),
            bestY + peakOffset(at(bestX, bestY - 1), best, at(bestX, bestY + 1))};
}

// Offset (dx, dy) at which a(x, y) shows what b shows at (x - dx, y - dy), searched directly by
// normalised correlation of the two strips' structure within the window. Used for overlaps too
// narrow for a windowed transform: tapering a strip a few dozen pixels wide leaves too little
// of the common part for a clear peak.
cv::Point2d searchDirectly(const cv::Mat& a, const cv::Mat& b, int reach, int reachY)
{
    const cv::Mat sa = structure(a);
    const cv::Mat sb = structure(b);
    const cv::Mat templ = sb(cv::Rect(reach, reachY, sb.cols - 2 * reach, sb.rows - 2 * reachY));
    cv::Mat scores;
    cv::matchTemplate(sa, templ, scores, cv::TM_CCOEFF_NORMED);
    cv::Point best;
    cv::minMaxLoc(scores, nullptr, nullptr, nullptr, &best);
    auto score = [&scores](int x, int y) {
        x = std::clamp(x, 0, scores.cols - 1);
        y = std::clamp(y, 0, scores.rows - 1);
        return static_cast<double>(scores.at<float>(y, x));
    };
    const double centre = score(best.x, best.y);
    const double subX = best.x + peakOffset(score(best.x - 1, best.y) + 1.0, centre + 1.0, score(best.x + 1, best.y) + 1.0);
    const double subY = best.y + peakOffset(score(best.x, best.y - 1) + 1.0, centre + 1.0, score(best.x, best.y + 1) + 1.0);
    return {subX - reach, subY - reachY};
}

bool joinable(const cv::Mat& frame)
{
    return !frame.empty() && frame.depth() == CV_8U && (frame.channels() == 3 || frame.channels() == 1);
}

bool sameFormat(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type();
}

// Index of a frame whose size, depth and channel count most joinable frames share (the
// earliest such frame on a tie), -1 when no frame is joinable. A camera whose area of interest
// changed, or a file that is not the scan's, should not decide what the scan's frames are.
int scanFrameFormat(const std::vector<cv::Mat>& frames)
{
    int best = -1;
    int bestCount = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (!joinable(frames[i]))
            continue;
        int count = 0;
        bool seenBefore = false;
        for (size_t j = 0; j < frames.size(); ++j) {
            if (!frames[j].empty() && sameFormat(frames[i], frames[j])) {
                ++count;
                seenBefore = seenBefore || j < i;
            }
        }
        if (!seenBefore && count > bestCount) {
            best = static_cast<int>(i);
            bestCount = count;
        }
    }
    return best;
}

} // namespace

QString FormatOf(const cv::Mat& frame)
{
    static const char* const depths[] = {"8-bit", "8-bit signed", "16-bit", "16-bit signed", "32-bit integer",
                                         "32-bit float", "64-bit float", "16-bit float"};
    const int depth = frame.depth();
    return QString::number(frame.cols) + QLatin1Char('x') + QString::number(frame.rows) + QStringLiteral(" px, ")
           + QLatin1String(depth >= 0 && depth < 8 ? depths[depth] : "unknown depth") + QStringLiteral(", ")
           + QString::number(frame.channels()) + (frame.channels() == 1 ? QStringLiteral(" channel") : QStringLiteral(" channels"));
}

double StepPixels(double stepDeg, double diameter, double pixelSizeThousandths)
{
    const double circumference = CircumferencePixels(diameter, pixelSizeThousandths);
    if (!(std::isfinite(stepDeg) && stepDeg > 0) || circumference <= 0)
        return 0.0;
    return stepDeg / 360.0 * circumference;
}

double CircumferencePixels(double diameter, double pixelSizeThousandths)
{
    if (!(std::isfinite(diameter) && diameter > 0 && std::isfinite(pixelSizeThousandths) && pixelSizeThousandths > 0))
        return 0.0;
    return Pi * diameter / (pixelSizeThousandths / 1000.0);
}

Seam RegisterSeam(const cv::Mat& earlier, const cv::Mat& later, double predictedPx, const Options& options)
{
    Seam seam;
    seam.predictedPx = predictedPx;
    seam.offsetPx = predictedPx;
    seam.foundPx = std::numeric_limits<double>::quiet_NaN();
    if (earlier.empty() || earlier.size() != later.size()) {
        seam.reason = QStringLiteral("frames of different sizes");
        return seam;
    }
    if (!(std::isfinite(predictedPx) && predictedPx >= 0)) {
        seam.reason = QStringLiteral("no predicted offset");
        return seam;
    }
    const int width = earlier.cols;
    const double overlap = width - predictedPx;
    if (overlap <= 0) {
        seam.gap = true;
        seam.reason = QStringLiteral("frames do not overlap (gap of ") + num(-overlap) + QStringLiteral(" px)");
        return seam;
    }
    if (overlap < options.minOverlapPx) {
        seam.reason = QStringLiteral("overlap of ") + num(overlap) + QStringLiteral(" px too narrow");
        return seam;
    }

    const int start = static_cast<int>(std::lround(predictedPx));
    const int common = width - start;
    const int stripWidth = fastSizeBelow(std::min(common, std::max(8, options.maxStripPx)));
    const int stripHeight = fastSizeBelow(earlier.rows);
    const int left = (common - stripWidth) / 2;
    const int top = (earlier.rows - stripHeight) / 2;
    // Earlier frame's column start + left + x shows what the later frame shows at left + x
    // when the offset is exactly as predicted.
    const cv::Mat a = greyFloat(earlier(cv::Rect(start + left, top, stripWidth, stripHeight)));
    const cv::Mat b = greyFloat(later(cv::Rect(left, top, stripWidth, stripHeight)));

    const int reachY = std::max(0, std::min(options.maxVerticalPx, stripHeight / 4));
    const int wanted = std::max(options.minSearchPx, static_cast<int>(std::lround(options.searchFraction * predictedPx)));
    const bool narrow = stripWidth < NarrowStripPx;
    const int reach = std::max(1, std::min(wanted, narrow ? (stripWidth - 16) / 2 : stripWidth / 3));
    const cv::Point2d shift = narrow ? searchDirectly(a, b, reach, reachY) : phaseCorrelateWithin(a, b, reach, reachY);
    const double subX = shift.x;
    const double subY = shift.y;
    const int bestX = static_cast<int>(std::lround(subX));
    const int bestY = static_cast<int>(std::lround(subY));

    // a(x, y) shows what b shows at (x - dx, y - dy): compare the parts both frames show.
    const cv::Mat sa = structure(a);
    const cv::Mat sb = structure(b);
    const int w = stripWidth - std::abs(bestX);
    const int h = stripHeight - std::abs(bestY);
    if (w < 8 || h < 8) {
        seam.reason = QStringLiteral("no common part at the correlation peak");
        return seam;
    }
    const cv::Rect inA(std::max(0, bestX), std::max(0, bestY), w, h);
    const cv::Rect inB(std::max(0, -bestX), std::max(0, -bestY), w, h);
    seam.confidence = normalisedCorrelation(sa(inA), sb(inB));
    seam.foundPx = start + subX;
    seam.foundDyPx = subY;
    const bool onEdge = std::abs(bestX) == reach || (reachY > 0 && std::abs(bestY) == reachY);
    if (!(seam.foundPx > 0)) {
        seam.reason = QStringLiteral("no forward offset found");
    } else if (onEdge) {
        seam.reason = QStringLiteral("correlation peak on the edge of the search window");
    } else if (!(seam.confidence >= options.minConfidence)) {
        seam.reason = QStringLiteral("registration not confident (") + num(seam.confidence, 2) + QStringLiteral(" < ")
                      + num(options.minConfidence, 2) + QLatin1Char(')');
    } else {
        seam.registered = true;
        seam.offsetPx = seam.foundPx;
    }
    return seam;
}

Result Stitch(const std::vector<cv::Mat>& frames, double stepPx, double circumferencePx, const Options& options,
              const std::vector<Seam>& known)
{
    Result result;
    if (!(std::isfinite(stepPx) && stepPx > 0))
        return result;
    // Usable frames and their scan indices; a frame missing in the middle leaves a wider step.
    const int reference = scanFrameFormat(frames);
    std::vector<int> index;
    std::vector<cv::Mat> used;
    const cv::Size size = reference < 0 ? cv::Size() : frames[static_cast<size_t>(reference)].size();
    for (size_t i = 0; i < frames.size(); ++i) {
        const cv::Mat& frame = frames[i];
        if (frame.empty())
            continue;
        if (reference < 0 || !sameFormat(frame, frames[static_cast<size_t>(reference)])) {
            const QString expected = reference < 0 ? QStringLiteral("the panorama joins 8-bit frames of 1 or 3 channels")
                                                   : QStringLiteral("the scan's frames are ")
                                                         + FormatOf(frames[static_cast<size_t>(reference)]);
            result.leftOut.push_back({static_cast<int>(i), FormatOf(frame) + QStringLiteral(", ") + expected, true});
            continue;
        }
        const int turned = index.empty() ? 0 : static_cast<int>(i) - index.front();
        if (circumferencePx > 0 && turned * stepPx >= circumferencePx - 0.5) {
            // The stone turned past a full circle: this frame repeats girdle already shown.
            result.leftOut.push_back({static_cast<int>(i),
                                      QStringLiteral("past a full turn from frame ") + QString::number(index.front())
                                          + QStringLiteral(", shows girdle already joined"),
                                      false});
            continue;
        }
        index.push_back(static_cast<int>(i));
        used.push_back(frame.channels() == 3 ? frame : cv::Mat());
        if (frame.channels() == 1)
            cv::cvtColor(frame, used.back(), cv::COLOR_GRAY2BGR);
    }
    result.framesUsed = static_cast<int>(used.size());
    if (used.empty())
        return result;
    const int width = size.width;
    const int count = static_cast<int>(used.size());

    auto registerSeam = [&](int a, int b, double predictedPx) {
        for (const Seam& seam : known)
            if (seam.from == index[a] && seam.to == index[b] && seam.predictedPx == predictedPx)
                return seam;
        return RegisterSeam(used[a], used[b], predictedPx, options);
    };
    for (int j = 0; j + 1 < count; ++j) {
        Seam seam = registerSeam(j, j + 1, (index[j + 1] - index[j]) * stepPx);
        seam.from = index[j];
        seam.to = index[j + 1];
        result.seams.push_back(seam);
    }
    const double closingPredicted = circumferencePx - (index.back() - index.front()) * stepPx;
    const bool closing = circumferencePx > 0 && count >= 2 && closingPredicted < width;
    if (closing) {
        Seam seam = registerSeam(count - 1, 0, closingPredicted);
        seam.from = index.back();
        seam.to = index.front();
        result.seams.push_back(seam);
    }

    // A seam that could not be registered gets the step the registered ones measured: a
    // diameter measured a little off scales every seam alike.
    std::vector<double> ratios;
    for (const Seam& seam : result.seams) {
        if (seam.registered && seam.predictedPx > 0)
            ratios.push_back(seam.foundPx / seam.predictedPx);
    }
    double scale = 1.0;
    if (!ratios.empty()) {
        std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
        scale = ratios[ratios.size() / 2];
    }
    result.fallbackStepPx = stepPx * scale;
    for (Seam& seam : result.seams) {
        if (!seam.registered)
            seam.offsetPx = seam.predictedPx * scale;
    }

    // Placement: whole pixels, each position rounded once so that rounding does not add up.
    std::vector<double> x(count, 0.0), y(count, 0.0);
    for (int j = 0; j + 1 < count; ++j) {
        x[j + 1] = x[j] + result.seams[j].offsetPx;
        y[j + 1] = y[j] + (result.seams[j].registered ? result.seams[j].foundDyPx : 0.0);
    }
    std::vector<int> px(count), py(count);
    for (int j = 0; j < count; ++j) {
        px[j] = static_cast<int>(std::lround(x[j]));
        py[j] = static_cast<int>(std::lround(y[j]));
    }
    const int yMin = *std::min_element(py.begin(), py.end());
    const int yMax = *std::max_element(py.begin(), py.end());
    for (int& v : py)
        v -= yMin;
    const int canvasHeight = size.height + (yMax - yMin);
    const int ringWidth = closing ? static_cast<int>(std::lround(x.back() + result.seams.back().offsetPx)) : 0;
    result.closed = closing && ringWidth > px.back();
    const int canvasWidth = result.closed ? ringWidth : px.back() + width;
    result.frameX = px;

    panoramacompose::Placement placement;
    placement.canvasWidth = canvasWidth;
    placement.canvasHeight = canvasHeight;
    placement.x = px;
    placement.y = py;
    placement.closed = result.closed;
    result.image = panoramacompose::Compose(used, placement);

    // Gaps: girdle between two frames that no frame shows.
    for (int j = 0; j + 1 < count; ++j) {
        if (px[j + 1] > px[j] + width) {
            hatchGap(result.image, px[j] + width, px[j + 1]);
            result.gapPx += px[j + 1] - px[j] - width;
        }
    }
    if (result.closed && canvasWidth > px.back() + width) {
        hatchGap(result.image, px.back() + width, canvasWidth);
        result.gapPx += canvasWidth - px.back() - width;
    }

    if (result.closed) {
        result.coverageDeg = 360.0 * (canvasWidth - result.gapPx) / canvasWidth;
    } else if (circumferencePx > 0) {
        result.coverageDeg = std::min(360.0, 360.0 * (canvasWidth - result.gapPx) / circumferencePx);
    }
    return result;
}

QString SeamLine(const Seam& seam)
{
    QString line = QStringLiteral("Panorama seam ") + QString::number(seam.from) + QStringLiteral("->")
                   + QString::number(seam.to) + QStringLiteral(": ");
    if (seam.registered) {
        return line + QStringLiteral("offset ") + num(seam.foundPx) + QStringLiteral(" px (predicted ")
               + num(seam.predictedPx) + QStringLiteral("), dy ") + num(seam.foundDyPx) + QStringLiteral(", confidence ")
               + num(seam.confidence, 2);
    }
    line += seam.reason;
    line += seam.gap ? QStringLiteral(", gap marked, offset ") : QStringLiteral(", fallback offset ");
    return line + num(seam.offsetPx) + QStringLiteral(" px (predicted ") + num(seam.predictedPx) + QLatin1Char(')');
}

QString Summary(const Result& result)
{
    if (result.image.empty())
        return QStringLiteral("Panorama: nothing to join (no usable frame, or no step)");
    int registered = 0;
    int gaps = 0;
    for (const Seam& seam : result.seams) {
        registered += seam.registered ? 1 : 0;
        gaps += seam.gap ? 1 : 0;
    }
    QString text = QStringLiteral("Panorama: ") + QString::number(result.framesUsed) + QStringLiteral(" frames, ")
                   + QString::number(result.image.cols) + QLatin1Char('x') + QString::number(result.image.rows)
                   + QStringLiteral(" px, ") + QString::number(registered) + QLatin1Char('/')
                   + QString::number(result.seams.size()) + QStringLiteral(" seams registered, coverage ")
                   + num(result.coverageDeg) + QStringLiteral(" deg");
    text += result.closed ? QStringLiteral(", ring closed") : QStringLiteral(", ring open");
    if (gaps > 0)
        text += QStringLiteral(", ") + QString::number(gaps) + QStringLiteral(" gap(s) of ") + QString::number(result.gapPx)
                + QStringLiteral(" px in all");
    return text;
}

QString LeftOutLine(const LeftOut& frame)
{
    return QStringLiteral("Panorama: frame ") + QString::number(frame.index) + QStringLiteral(" left out: ") + frame.reason;
}

QStringList Describe(const Result& result)
{
    QStringList lines;
    for (const LeftOut& frame : result.leftOut)
        lines << LeftOutLine(frame);
    for (const Seam& seam : result.seams)
        lines << SeamLine(seam);
    lines << Summary(result);
    return lines;
}

} // namespace panorama
