#include "realisticscene.h"

#include "realisticholder.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace rig {

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr int RayTable = 8192; // directions of the stone's radius table
constexpr int SubSamples = 4;  // per pixel side along the outline

double frac(double v) { return v - std::floor(v); }

// A fixed value in [0, 1) per (seed, n).
double hash01(unsigned seed, int64_t n) { return sceneHash01(seed, n); }

// Points of the shape in its own frame (long axis along x, centred on the origin).
std::vector<cv::Point2d> localOutline(const RealStone& s)
{
    const double half = s.lengthPx / 2.0;
    const double w = s.shape == StoneShape::Round ? half : std::max(1.0, s.lengthPx * s.widthRatio / 2.0);
    const int n = std::max(64, static_cast<int>(std::ceil(4.0 * Pi * half)));
    std::vector<cv::Point2d> pts;
    auto polygon = [&](const std::vector<cv::Point2d>& corners) {
        // Dense points along each edge.
        for (std::size_t i = 0; i < corners.size(); ++i) {
            const cv::Point2d a = corners[i];
            const cv::Point2d b = corners[(i + 1) % corners.size()];
            const int steps = std::max(1, static_cast<int>(std::ceil(std::hypot(b.x - a.x, b.y - a.y) * 2.0)));
            for (int k = 0; k < steps; ++k)
                pts.push_back(a + (b - a) * (double(k) / steps));
        }
    };
    switch (s.shape) {
    case StoneShape::Round:
    case StoneShape::Oval:
        for (int k = 0; k < n; ++k) {
            const double t = 2.0 * Pi * k / n;
            pts.emplace_back(half * std::cos(t), w * std::sin(t));
        }
        break;
    case StoneShape::Cushion:
        for (int k = 0; k < n; ++k) {
            const double t = 2.0 * Pi * k / n;
            const double c = std::cos(t), sn = std::sin(t);
            const double p = 2.0 / 3.5;
            pts.emplace_back(half * std::copysign(std::pow(std::abs(c), p), c), w * std::copysign(std::pow(std::abs(sn), p), sn));
        }
        break;
    case StoneShape::Marquise: {
        // Two arcs meeting at the tips (+-half, 0): the lower one of a circle centred at
        // (0, -c), the upper one its mirror image.
        const double rho = (half * half + w * w) / (2.0 * w);
        const double c = rho - w;
        const double reach = std::asin(std::min(1.0, half / rho));
        const int m = n / 2;
        for (int k = 0; k < m; ++k) {
            const double t = -reach + 2.0 * reach * k / m;
            pts.emplace_back(rho * std::sin(t), -c + rho * std::cos(t));
        }
        for (int k = 0; k < m; ++k)
            pts.emplace_back(-pts[std::size_t(k)].x, -pts[std::size_t(k)].y);
        break;
    }
    case StoneShape::Pear: {
        // The convex hull of the round end and a small rounded tip.
        const double r1 = w;
        const cv::Point2d c1(-half + r1, 0.0);
        const double r2 = 0.06 * w;
        const cv::Point2d c2(half - r2, 0.0);
        std::vector<cv::Point2f> cloud;
        for (int k = 0; k < n; ++k) {
            const double t = 2.0 * Pi * k / n;
            cloud.emplace_back(float(c1.x + r1 * std::cos(t)), float(c1.y + r1 * std::sin(t)));
            cloud.emplace_back(float(c2.x + r2 * std::cos(t)), float(c2.y + r2 * std::sin(t)));
        }
        std::vector<cv::Point2f> hull;
        cv::convexHull(cloud, hull, false, true);
        std::vector<cv::Point2d> corners(hull.begin(), hull.end());
        polygon(corners);
        break;
    }
    case StoneShape::Princess: {
        const double cut = 0.02 * w;
        polygon({{half - cut, -w}, {half, -w + cut}, {half, w - cut}, {half - cut, w},
                 {-half + cut, w}, {-half, w - cut}, {-half, -w + cut}, {-half + cut, -w}});
        break;
    }
    case StoneShape::Emerald: {
        const double cut = 0.2 * w;
        polygon({{half - cut, -w}, {half, -w + cut}, {half, w - cut}, {half - cut, w},
                 {-half + cut, w}, {-half, w - cut}, {-half, -w + cut}, {-half + cut, -w}});
        break;
    }
    }
    return pts;
}

// The stone's radius per direction in its own frame, for convex outlines around the origin.
std::vector<double> radiusTable(const std::vector<cv::Point2d>& local)
{
    std::vector<double> table(RayTable, 0.0);
    const std::size_t n = local.size();
    for (int k = 0; k < RayTable; ++k) {
        const double t = 2.0 * Pi * k / RayTable;
        const cv::Point2d u(std::cos(t), std::sin(t));
        double best = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const cv::Point2d a = local[i];
            const cv::Point2d b = local[(i + 1) % n];
            const cv::Point2d e = b - a;
            const double den = u.x * e.y - u.y * e.x;
            if (std::abs(den) < 1e-12)
                continue;
            const double s = (a.x * e.y - a.y * e.x) / den; // distance along the ray
            const double q = (a.x * u.y - a.y * u.x) / den;  // position along the edge
            if (s > 0.0 && q >= -1e-9 && q <= 1.0 + 1e-9)
                best = std::max(best, s);
        }
        table[static_cast<std::size_t>(k)] = best;
    }
    return table;
}

double radiusAt(const std::vector<double>& table, double angle)
{
    double f = angle / (2.0 * Pi) * RayTable;
    f -= std::floor(f / RayTable) * RayTable;
    const int i = static_cast<int>(f) % RayTable;
    const double w = f - std::floor(f);
    return table[static_cast<std::size_t>(i)] * (1.0 - w) + table[static_cast<std::size_t>((i + 1) % RayTable)] * w;
}

// Shade of the stone at normalised radius eta (0 at the culet, 1 at the girdle) and angle
// theta in the stone's frame, as a fraction of the stone's level.
double facetShade(const RealStone& s, double eta, double theta, double radiusPx, double depthPx)
{
    const double rimPx = std::max(0.6, 0.02 * radiusPx);
    const double t = theta < 0 ? theta + 2.0 * Pi : theta;
    const int girdleFacet = static_cast<int>(t * 16.0 / (2.0 * Pi)) % 16;
    // About one lower girdle facet in six is dark, and reaches the girdle; two neighbours are
    // never both dark (the outline stays readable, as it does for the operator).
    const auto dark = [&s](int f) { return hash01(s.seed, 100 + ((f + 16) % 16)) < 0.17; };
    const bool darkFacet = dark(girdleFacet)
                           && (girdleFacet % 2 == 0 || (!dark(girdleFacet - 1) && !dark(girdleFacet + 1)));
    const double darkLevel = 0.2 + 0.25 * hash01(s.seed, 200 + girdleFacet);
    if (depthPx < rimPx)
        return darkFacet ? darkLevel : (s.darkRim ? 0.8 : 1.04);
    if (eta < 0.04)
        return 1.08;
    const double f8 = frac(t * 8.0 / (2.0 * Pi));
    const double tri = std::abs(2.0 * f8 - 1.0);
    const double boundary = 0.45 + 0.40 * (1.0 - tri);
    double shade;
    if (eta > boundary)
        shade = darkFacet ? darkLevel : 0.86 + 0.22 * hash01(s.seed, 300 + girdleFacet);
    else
        shade = 0.86 + 0.22 * hash01(s.seed, 400 + static_cast<int>(std::floor(t * 8.0 / (2.0 * Pi) + 0.5)) % 8);
    const double edge = std::abs(eta - boundary) * radiusPx;
    if (edge < 1.0)
        shade -= 0.05 * (1.0 - edge);
    return shade;
}

void addSpot(cv::Mat& plate, cv::Point2d c, double radius, double level, double hardness = 1.0)
{
    const int r = static_cast<int>(std::ceil(radius * 2.5)) + 1;
    for (int y = std::max(0, int(c.y) - r); y <= std::min(plate.rows - 1, int(c.y) + r); ++y) {
        cv::Vec3f* row = plate.ptr<cv::Vec3f>(y);
        for (int x = std::max(0, int(c.x) - r); x <= std::min(plate.cols - 1, int(c.x) + r); ++x) {
            const double d = std::hypot(x - c.x, y - c.y) / std::max(0.3, radius);
            const double a = std::exp(-0.5 * std::pow(d, 2.0 * hardness));
            for (int ch = 0; ch < 3; ++ch)
                row[x][ch] = static_cast<float>(row[x][ch] * (1.0 - a) + level * a);
        }
    }
}

void drawStone(cv::Mat& plate, const RealStone& s)
{
    const std::vector<cv::Point2d> local = localOutline(s);
    const std::vector<double> table = radiusTable(local);
    double reach = 0.0;
    for (double r : table)
        reach = std::max(reach, r);
    const double level = 228.0 * s.brightness;
    const double rot = s.rotationDeg * Pi / 180.0;
    const double cr = std::cos(rot), sr = std::sin(rot);
    const double tint = 5.0 * (hash01(s.seed, 7) - 0.5);
    const int x0 = std::max(0, static_cast<int>(std::floor(s.centre.x - reach - 2)));
    const int x1 = std::min(plate.cols - 1, static_cast<int>(std::ceil(s.centre.x + reach + 2)));
    const int y0 = std::max(0, static_cast<int>(std::floor(s.centre.y - reach - 2)));
    const int y1 = std::min(plate.rows - 1, static_cast<int>(std::ceil(s.centre.y + reach + 2)));
    const double band = 2.5;
    for (int y = y0; y <= y1; ++y) {
        cv::Vec3f* row = plate.ptr<cv::Vec3f>(y);
        for (int x = x0; x <= x1; ++x) {
            const double dx = x - s.centre.x, dy = y - s.centre.y;
            const double lx = dx * cr + dy * sr, ly = -dx * sr + dy * cr;
            const double rho = std::hypot(lx, ly);
            const double theta = std::atan2(ly, lx);
            const double radius = radiusAt(table, theta);
            double alpha;
            if (rho < radius - band) {
                alpha = 1.0;
            } else if (rho > radius + band) {
                continue;
            } else {
                int inside = 0;
                for (int i = 0; i < SubSamples; ++i) {
                    for (int j = 0; j < SubSamples; ++j) {
                        const double sx = dx + (i + 0.5) / SubSamples - 0.5;
                        const double sy = dy + (j + 0.5) / SubSamples - 0.5;
                        const double qx = sx * cr + sy * sr, qy = -sx * sr + sy * cr;
                        if (std::hypot(qx, qy) <= radiusAt(table, std::atan2(qy, qx)))
                            ++inside;
                    }
                }
                alpha = inside / double(SubSamples * SubSamples);
                if (alpha <= 0.0)
                    continue;
            }
            const double shade = level * facetShade(s, std::min(1.0, rho / radius), theta, radius, std::max(0.0, radius - rho));
            const cv::Vec3f colour(float(shade + tint), float(shade), float(shade - tint));
            row[x] = row[x] * float(1.0 - alpha) + colour * float(alpha);
        }
    }
    // Glints on the pavilion and dust on the stone, well inside the girdle.
    const double radiusMin = *std::min_element(table.begin(), table.end());
    const int glints = static_cast<int>(hash01(s.seed, 11) * 4.0);
    for (int g = 0; g < glints; ++g) {
        const double a = 2.0 * Pi * hash01(s.seed, 20 + g);
        const double d = 0.7 * radiusMin * std::sqrt(hash01(s.seed, 30 + g));
        addSpot(plate, s.centre + cv::Point2d(d * std::cos(a), d * std::sin(a)),
                std::min(3.0, 0.5 + 0.05 * radiusMin * hash01(s.seed, 40 + g)), 255.0 * 1.3);
    }
    const int dust = static_cast<int>(hash01(s.seed, 12) * 6.0);
    for (int k = 0; k < dust; ++k) {
        const double a = 2.0 * Pi * hash01(s.seed, 50 + k);
        const double d = 0.8 * radiusMin * std::sqrt(hash01(s.seed, 60 + k));
        addSpot(plate, s.centre + cv::Point2d(d * std::cos(a), d * std::sin(a)), 0.6 + 0.8 * hash01(s.seed, 70 + k),
                level * 0.45, 2.0);
    }
}

} // namespace

const char* shapeName(StoneShape shape)
{
    switch (shape) {
    case StoneShape::Round: return "round";
    case StoneShape::Oval: return "oval";
    case StoneShape::Pear: return "pear";
    case StoneShape::Marquise: return "marquise";
    case StoneShape::Cushion: return "cushion";
    case StoneShape::Princess: return "princess";
    case StoneShape::Emerald: return "emerald";
    }
    return "?";
}

std::vector<cv::Point2d> stoneOutline(const RealStone& stone)
{
    std::vector<cv::Point2d> pts = localOutline(stone);
    const double rot = stone.rotationDeg * Pi / 180.0;
    const double c = std::cos(rot), s = std::sin(rot);
    for (cv::Point2d& p : pts)
        p = stone.centre + cv::Point2d(p.x * c - p.y * s, p.x * s + p.y * c);
    return pts;
}

StoneTruth stoneTruth(const RealStone& stone)
{
    const std::vector<cv::Point2d> pts = stoneOutline(stone);
    StoneTruth truth;
    double a = 0.0, cx = 0.0, cy = 0.0;
    truth.right = -1e18;
    truth.top = 1e18;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        const cv::Point2d& p = pts[i];
        const cv::Point2d& q = pts[(i + 1) % pts.size()];
        const double cross = p.x * q.y - q.x * p.y;
        a += cross;
        cx += (p.x + q.x) * cross;
        cy += (p.y + q.y) * cross;
        truth.right = std::max(truth.right, p.x);
        truth.top = std::min(truth.top, p.y);
    }
    truth.areaPx = std::abs(a) / 2.0;
    truth.centroid = cv::Point2d(cx / (3.0 * a), cy / (3.0 * a));
    // The round and oval outlines are sampled; their extremes are known exactly.
    if (stone.shape == StoneShape::Round || stone.shape == StoneShape::Oval) {
        const double ha = stone.lengthPx / 2.0;
        const double hb = stone.shape == StoneShape::Round ? ha : stone.lengthPx * stone.widthRatio / 2.0;
        const double t = stone.rotationDeg * Pi / 180.0;
        truth.centroid = stone.centre;
        truth.right = stone.centre.x + std::sqrt(ha * ha * std::cos(t) * std::cos(t) + hb * hb * std::sin(t) * std::sin(t));
        truth.top = stone.centre.y - std::sqrt(ha * ha * std::sin(t) * std::sin(t) + hb * hb * std::cos(t) * std::cos(t));
        truth.areaPx = Pi * ha * hb;
    }
    return truth;
}

Surroundings randomSurroundings(unsigned seed, cv::Size size, cv::Point2d stoneCentre, double stoneRadiusPx)
{
    Surroundings s;
    s.seed = seed;
    const double pick = hash01(seed, 1000);
    s.holder = pick < 0.6 ? Surroundings::Holder::Disc : pick < 0.85 ? Surroundings::Holder::Jaws : Surroundings::Holder::None;
    s.holderCentre = stoneCentre + cv::Point2d(10.0 * (hash01(seed, 1001) - 0.5), 10.0 * (hash01(seed, 1002) - 0.5));
    s.holderRadiusPx = s.holder == Surroundings::Holder::Jaws ? stoneRadiusPx
                                                              : std::max(stoneRadiusPx * 1.3, 60.0 + 200.0 * hash01(seed, 1003));
    s.screws = static_cast<int>(hash01(seed, 1004) * 4.0);
    s.dust = 10 + static_cast<int>(hash01(seed, 1005) * 40.0);
    s.glints = static_cast<int>(hash01(seed, 1006) * 6.0);
    s.distantObjects = static_cast<int>(hash01(seed, 1007) * 3.0);
    s.gradient = 0.06 * hash01(seed, 1008);
    s.gradientAngleDeg = 360.0 * hash01(seed, 1009);
    s.vignetting = 0.1 * hash01(seed, 1010);
    (void)size;
    return s;
}

cv::Mat renderRealistic(const RealisticView& view, cv::Size size)
{
    const Surroundings& around = view.around;
    const unsigned seed = around.seed;
    cv::Mat plate(size, CV_32FC3, cv::Scalar(30.0, 33.0, 37.0));

    // Reflections of distant bright objects (lamps, windows) at the border, far out of focus.
    for (int k = 0; k < around.distantObjects; ++k) {
        const int side = static_cast<int>(hash01(seed, 2000 + k) * 4.0);
        const double along = hash01(seed, 2010 + k);
        cv::Point centre = side == 0 ? cv::Point(int(along * size.width), 0)
                           : side == 1 ? cv::Point(size.width - 1, int(along * size.height))
                           : side == 2 ? cv::Point(int(along * size.width), size.height - 1)
                                       : cv::Point(0, int(along * size.height));
        const cv::Size axes(20 + int(120 * hash01(seed, 2020 + k)), 10 + int(60 * hash01(seed, 2030 + k)));
        const double level = 120.0 + 110.0 * hash01(seed, 2040 + k);
        // Drawn and blurred in a window around it only.
        const double blur = 12.0 + 8.0 * hash01(seed, 2060 + k);
        const int reach = std::max(axes.width, axes.height) + int(4.0 * blur);
        const cv::Rect window = cv::Rect(centre.x - reach, centre.y - reach, 2 * reach + 1, 2 * reach + 1)
                                & cv::Rect(cv::Point(0, 0), size);
        cv::Mat glow(window.size(), CV_32FC3, cv::Scalar(0, 0, 0));
        cv::ellipse(glow, centre - window.tl(), axes, 180.0 * hash01(seed, 2050 + k), 0, 360,
                    cv::Scalar(level, level, level * 0.95), cv::FILLED);
        cv::GaussianBlur(glow, glow, cv::Size(0, 0), blur);
        cv::Mat target = plate(window);
        cv::max(target, glow, target);
    }

    drawHolder(plate, around);

    cv::RNG rng(seed * 7919u + 17u);
    const auto nearStone = [&view](cv::Point2d p, double margin) {
        for (const RealStone& s : view.stones)
            if (std::hypot(p.x - s.centre.x, p.y - s.centre.y) < s.lengthPx / 2.0 + margin)
                return true;
        return false;
    };
    const auto freeSpot = [&](double margin, cv::Point2d* p) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            *p = cv::Point2d(rng.uniform(0.0, double(size.width)), rng.uniform(0.0, double(size.height)));
            if (!nearStone(*p, margin))
                return true;
        }
        return false;
    };
    // Blackened screw heads with a slot and a small glint.
    for (int k = 0; k < around.screws; ++k) {
        cv::Point2d p;
        const double r = rng.uniform(9.0, 20.0);
        if (!freeSpot(r + 12.0, &p))
            continue;
        const double shade = rng.uniform(55.0, 75.0);
        cv::circle(plate, cv::Point(int(p.x), int(p.y)), int(r), cv::Scalar(shade, shade, shade + 2), cv::FILLED, cv::LINE_AA);
        const double slot = rng.uniform(0.0, Pi);
        cv::line(plate, cv::Point(int(p.x - r * 0.8 * std::cos(slot)), int(p.y - r * 0.8 * std::sin(slot))),
                 cv::Point(int(p.x + r * 0.8 * std::cos(slot)), int(p.y + r * 0.8 * std::sin(slot))),
                 cv::Scalar(30, 30, 32), std::max(2, int(r / 5)), cv::LINE_AA);
        addSpot(plate, p + cv::Point2d(r * 0.4, -r * 0.4), 1.2, 235.0);
    }
    // Glints on the holder and dust on the bed: small, some brighter than the stone.
    for (int k = 0; k < around.glints; ++k) {
        cv::Point2d p;
        if (freeSpot(8.0, &p))
            addSpot(plate, p, rng.uniform(0.8, 3.5), rng.uniform(180.0, 255.0));
    }
    for (int k = 0; k < around.dust; ++k) {
        cv::Point2d p;
        if (freeSpot(5.0, &p))
            addSpot(plate, p, rng.uniform(0.5, 2.2), rng.uniform(70.0, 200.0), 2.0);
    }

    for (const RealStone& s : view.stones)
        drawStone(plate, s);

    // Uneven light and vignetting over everything the camera sees.
    if (around.gradient != 0.0 || around.vignetting != 0.0) {
        const double ga = around.gradientAngleDeg * Pi / 180.0;
        const double cx = size.width / 2.0, cy = size.height / 2.0;
        const double reach = std::hypot(cx, cy);
        for (int y = 0; y < size.height; ++y) {
            cv::Vec3f* row = plate.ptr<cv::Vec3f>(y);
            for (int x = 0; x < size.width; ++x) {
                const double along = ((x - cx) * std::cos(ga) + (y - cy) * std::sin(ga)) / reach;
                const double r = std::hypot(x - cx, y - cy) / reach;
                row[x] *= float((1.0 + around.gradient * along) * (1.0 - around.vignetting * r * r));
            }
        }
    }
    if (view.blurSigmaPx >= 0.3)
        cv::GaussianBlur(plate, plate, cv::Size(0, 0), view.blurSigmaPx);
    if (view.noiseSigma > 0.0) {
        cv::Mat noise(size, CV_32FC3);
        cv::RNG noiseRng(view.noiseSeed * 2654435761u + 1u);
        noiseRng.fill(noise, cv::RNG::NORMAL, 0.0, view.noiseSigma);
        plate += noise;
    }
    cv::Mat out;
    plate.convertTo(out, CV_8UC3);
    return out;
}

} // namespace rig
