#include "rigscene.h"

#include "realisticscene.h"
#include "realisticside.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace rig {

namespace {

constexpr double Pi = 3.14159265358979323846;

// Blur of an out-of-focus view: Gaussian sigma (mm on the object) per mm of defocus. The top
// cameras have a small aperture and a deep field, the front camera a large one.
constexpr double TopBlurPerMm = 0.02;
constexpr double FrontBlurPerMm = 0.1;
constexpr double TopMaxSigmaPx = 6.0;
constexpr double FrontMaxSigmaPx = 40.0;

double frac(double v) { return v - std::floor(v); }

// A fixed pseudo-random value in [0, 1) per integer, so facets keep their shade.
double hash01(int64_t n)
{
    uint64_t x = static_cast<uint64_t>(n) * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    return static_cast<double>(x >> 11) / static_cast<double>(1ull << 53);
}

cv::Point2d rotateClockwise(double x, double y, double degrees)
{
    const double t = degrees * Pi / 180.0;
    return cv::Point2d(x * std::cos(t) - y * std::sin(t), x * std::sin(t) + y * std::cos(t));
}

double topPixelMm(const Scene& scene, View view)
{
    return (view == View::TopStandard ? scene.cal.tsPixelUm : scene.cal.tlPixelUm) / 1000.0;
}

cv::Point2d topAxis(const Scene& scene, View view)
{
    const double pix = topPixelMm(scene, view);
    if (view == View::TopStandard)
        return cv::Point2d(scene.cal.tsAxisCol, scene.cal.tsAxisRowAtX0 - scene.axes.x / pix);
    return cv::Point2d(scene.cal.tlAxisCol, scene.cal.tlAxisRowAtX0 - scene.axes.x / pix);
}

cv::Point2d topCentre(const Scene& scene, View view)
{
    const double pix = topPixelMm(scene, view);
    const cv::Point2d offset = rotateClockwise(scene.offsetXMm, scene.offsetYMm, scene.axes.a);
    return topAxis(scene, view) + cv::Point2d(offset.x / pix, offset.y / pix);
}

double topSigmaPx(const Scene& scene, View view)
{
    const double defocus = std::abs(scene.axes.y - scene.inscriptionY());
    return std::min(TopMaxSigmaPx, defocus * TopBlurPerMm / topPixelMm(scene, view));
}

double frontSigmaPx(const Scene& scene)
{
    const double defocus = std::abs(scene.axes.zii - scene.frontFocusZii());
    return std::min(FrontMaxSigmaPx, defocus * FrontBlurPerMm / (scene.cal.mfPixelUm / 1000.0));
}

// Height of the girdle centre above the front camera's axis, mm.
double girdleHeight(const Scene& scene)
{
    return scene.axes.y + scene.stoneDiameterMm * scene.girdleDepthFactor() - scene.cal.mfYOffset;
}

double girdleShift(const Scene& scene)
{
    return scene.frontTextureShiftMm();
}

void gaussian(cv::Mat& image, double sigma)
{
    if (sigma < 0.3)
        return;
    if (sigma <= 6.0) {
        cv::GaussianBlur(image, image, cv::Size(0, 0), sigma);
        return;
    }
    // Large blur: blur a reduced copy and enlarge it again; the result is smooth anyway.
    const int factor = static_cast<int>(std::ceil(sigma / 3.0));
    cv::Mat small;
    cv::resize(image, small, cv::Size(std::max(1, image.cols / factor), std::max(1, image.rows / factor)), 0, 0,
               cv::INTER_AREA);
    cv::GaussianBlur(small, small, cv::Size(0, 0), sigma / factor);
    cv::resize(small, image, image.size(), 0, 0, cv::INTER_LINEAR);
    // Smooth the kinks of the enlargement, which would otherwise read as fine detail.
    cv::GaussianBlur(image, image, cv::Size(0, 0), std::min(6.0, 0.6 * factor));
}

} // namespace

cv::Point2d Scene::topLargeCentre() const { return topCentre(*this, View::TopLarge); }

double Scene::frontTextureShiftMm() const
{
    return frac(axes.a / 360.0) * Pi * stoneDiameterMm;
}

double Scene::frontFocusZii() const
{
    return cal.mfZiiFocus - cal.tlPixelUm / 1000.0 * (topLargeCentre().x - cal.mfCenterColumn);
}

cv::Size uprightSize(View view, cv::Size sensor)
{
    return view == View::TopLarge ? cv::Size(sensor.height, sensor.width) : sensor;
}

std::vector<double> viewKey(const Scene& scene, View view, unsigned long long generation)
{
    const auto q = [](double v) { return std::round(v * 1000.0) / 1000.0; };
    if (view == View::Front) {
        return {2.0, static_cast<double>(generation), q(girdleHeight(scene) * 1000.0), q(girdleShift(scene) * 1000.0),
                q(frontSigmaPx(scene)), q(scene.frontFocusZii()), static_cast<double>(scene.realisticSeed)};
    }
    const cv::Point2d axis = topAxis(scene, view);
    const cv::Point2d centre = topCentre(scene, view);
    return {view == View::TopLarge ? 0.0 : 1.0, static_cast<double>(generation), q(axis.x), q(axis.y), q(centre.x),
            q(centre.y), q(frac(scene.axes.a / 360.0) * 360.0), q(topSigmaPx(scene, view))};
}

double exposureGain(const CameraSpec& sheet, double exposureMs, bool autoGain)
{
    const double nominal = sheet.exposureMinMs + 0.5 * (sheet.exposureMaxMs - sheet.exposureMinMs);
    if (nominal <= 0.0 || exposureMs <= 0.0)
        return 1.0;
    double factor = exposureMs / nominal;
    if (autoGain)
        factor *= std::clamp(nominal / exposureMs, 1.0, 4.0);
    return std::clamp(factor, 0.02, 8.0);
}

int bayerChannel(BayerLayout layout, int row, int col)
{
    // Channel per cell of the 2x2 tile, read row by row; 0 = B, 1 = G, 2 = R.
    static const int tiles[4][4] = {
        {2, 1, 1, 0}, // RGGB
        {0, 1, 1, 2}, // BGGR
        {1, 2, 0, 1}, // GRBG
        {1, 0, 2, 1}, // GBRG
    };
    return tiles[static_cast<int>(layout)][(row & 1) * 2 + (col & 1)];
}

void mosaic(const cv::Mat& bgr, BayerLayout layout, cv::Mat& raw)
{
    CV_Assert(bgr.type() == CV_8UC3);
    raw.create(bgr.size(), CV_8UC1);
    for (int r = 0; r < bgr.rows; ++r) {
        const uint8_t* src = bgr.ptr<uint8_t>(r);
        uint8_t* dst = raw.ptr<uint8_t>(r);
        const int even = bayerChannel(layout, r, 0);
        const int odd = bayerChannel(layout, r, 1);
        int c = 0;
        for (; c + 1 < bgr.cols; c += 2) {
            dst[c] = src[3 * c + even];
            dst[c + 1] = src[3 * c + 3 + odd];
        }
        if (c < bgr.cols)
            dst[c] = src[3 * c + even];
    }
}

// ---------------------------------------------------------------------------------------------
// Top views

TopViewRenderer::Sprite TopViewRenderer::makeStone(double radius, int margin)
{
    // The stone lies table-down on the holder, so the top cameras see its pavilion: eight main
    // facets meeting at the culet and sixteen lower girdle facets along the rim, all bright
    // because the pavilion sends the top light back up.
    const int size = 2 * (static_cast<int>(std::ceil(radius)) + margin) + 1;
    const double centre = (size - 1) / 2.0;
    Sprite sprite;
    sprite.bgr.create(size, size, CV_32FC3);
    sprite.alpha.create(size, size, CV_32FC1);
    for (int r = 0; r < size; ++r) {
        cv::Vec3f* colour = sprite.bgr.ptr<cv::Vec3f>(r);
        float* alpha = sprite.alpha.ptr<float>(r);
        for (int c = 0; c < size; ++c) {
            const double dx = c - centre;
            const double dy = r - centre;
            const double dist = std::hypot(dx, dy);
            const double a = std::clamp(radius - dist + 0.5, 0.0, 1.0);
            alpha[c] = static_cast<float>(a);
            if (a <= 0.0) {
                colour[c] = cv::Vec3f(0, 0, 0);
                continue;
            }
            const double rho = dist / radius;
            const double theta = std::atan2(dy, dx) + Pi; // 0 .. 2 pi
            double shade;
            double tint = 0.0;
            if (rho > 0.965) {
                shade = 186.0; // the girdle rim seen edge-on from above
            } else if (rho < 0.035) {
                shade = 250.0; // culet reflection
            } else {
                const double f8 = frac(theta * 8.0 / (2.0 * Pi));
                const double tri = std::abs(2.0 * f8 - 1.0);
                const double boundary = 0.45 + 0.40 * (1.0 - tri);
                int facet;
                if (rho > boundary) {
                    facet = 100 + static_cast<int>(theta * 16.0 / (2.0 * Pi));
                    shade = 196.0 + 44.0 * hash01(facet);
                } else {
                    facet = static_cast<int>(std::floor(theta * 8.0 / (2.0 * Pi) + 0.5)) % 8;
                    shade = 204.0 + 40.0 * hash01(facet);
                }
                tint = 6.0 * (hash01(facet + 7) - 0.5);
                // Facet edges: a pixel-wide slightly darker line.
                const double edgeRadial = std::abs(rho - boundary) * radius;
                const double f8c = frac(theta * 8.0 / (2.0 * Pi) + 0.5);
                const double edgeMain = std::min(f8c, 1.0 - f8c) * (2.0 * Pi / 8.0) * dist;
                const double edge = std::min(edgeRadial, rho < boundary ? edgeMain : 1e9);
                if (edge < 1.0)
                    shade -= 12.0 * (1.0 - edge);
            }
            const double b = shade + tint;
            const double g = shade;
            const double rd = shade - tint;
            colour[c] = cv::Vec3f(static_cast<float>(b * a), static_cast<float>(g * a), static_cast<float>(rd * a));
        }
    }
    return sprite;
}

TopViewRenderer::Sprite TopViewRenderer::makeHolder(double radius)
{
    // Turned steel: dark grey with fine concentric tool marks and a darker chamfer.
    const int size = 2 * (static_cast<int>(std::ceil(radius)) + 2) + 1;
    const double centre = (size - 1) / 2.0;
    Sprite sprite;
    sprite.bgr.create(size, size, CV_32FC3);
    sprite.alpha.create(size, size, CV_32FC1);
    for (int r = 0; r < size; ++r) {
        cv::Vec3f* colour = sprite.bgr.ptr<cv::Vec3f>(r);
        float* alpha = sprite.alpha.ptr<float>(r);
        for (int c = 0; c < size; ++c) {
            const double dist = std::hypot(c - centre, r - centre);
            const double a = std::clamp(radius - dist + 0.5, 0.0, 1.0);
            double shade = 72.0 + 6.0 * std::sin(dist * 0.9);
            if (radius - dist < 4.0)
                shade = 52.0;
            alpha[c] = static_cast<float>(a);
            colour[c] = cv::Vec3f(static_cast<float>(shade * a), static_cast<float>((shade + 1.0) * a),
                                  static_cast<float>((shade + 3.0) * a));
        }
    }
    return sprite;
}

cv::Mat TopViewRenderer::makeBackground(cv::Size size)
{
    // The machine bed far below the focus: dark, slightly warm, brighter under the light.
    cv::Mat background(size, CV_32FC3);
    const double cx = size.width / 2.0;
    const double cy = size.height / 2.0;
    const double reach = std::hypot(cx, cy);
    for (int r = 0; r < size.height; ++r) {
        cv::Vec3f* row = background.ptr<cv::Vec3f>(r);
        for (int c = 0; c < size.width; ++c) {
            const double d = std::hypot(c - cx, r - cy) / reach;
            const double shade = 28.0 + 14.0 * (1.0 - d * d);
            row[c] = cv::Vec3f(static_cast<float>(shade), static_cast<float>(shade + 3.0), static_cast<float>(shade + 7.0));
        }
    }
    return background;
}

void TopViewRenderer::blend(cv::Mat& plate, const cv::Mat& bgr, const cv::Mat& alpha, cv::Point origin)
{
    const cv::Rect target = cv::Rect(origin, bgr.size()) & cv::Rect(cv::Point(0, 0), plate.size());
    if (target.empty())
        return;
    for (int r = target.y; r < target.y + target.height; ++r) {
        cv::Vec3f* dst = plate.ptr<cv::Vec3f>(r);
        const cv::Vec3f* src = bgr.ptr<cv::Vec3f>(r - origin.y);
        const float* a = alpha.ptr<float>(r - origin.y);
        for (int c = target.x; c < target.x + target.width; ++c) {
            const int sc = c - origin.x;
            dst[c] = dst[c] * (1.0f - a[sc]) + src[sc];
        }
    }
}

cv::Mat TopViewRenderer::render(const Scene& scene, View view, cv::Size upright, unsigned long long generation)
{
    const double pixUm = view == View::TopStandard ? scene.cal.tsPixelUm : scene.cal.tlPixelUm;
    const double pix = pixUm / 1000.0;
    if (scene.realisticSeed != 0)
        return renderRealisticTop(scene, view, upright);
    const int margin = 4 + static_cast<int>(std::ceil(3.0 * TopMaxSigmaPx));
    if (generation != spriteGeneration || pixUm != spritePixelUm) {
        stone = makeStone(scene.stoneDiameterMm / 2.0 / pix, margin);
        holder = makeHolder(scene.holderDiameterMm / 2.0 / pix);
        spriteGeneration = generation;
        spritePixelUm = pixUm;
    }
    if (background.size() != upright)
        background = makeBackground(upright);

    cv::Mat plate = background.clone();
    const cv::Point2d axis = topAxis(scene, view);
    const int holderHalf = (holder.bgr.cols - 1) / 2;
    blend(plate, holder.bgr, holder.alpha,
          cv::Point(static_cast<int>(std::lround(axis.x)) - holderHalf, static_cast<int>(std::lround(axis.y)) - holderHalf));

    const cv::Point2d centre = topCentre(scene, view);
    const int half = (stone.bgr.cols - 1) / 2;
    const double fx = centre.x - std::floor(centre.x);
    const double fy = centre.y - std::floor(centre.y);
    cv::Mat turn = cv::getRotationMatrix2D(cv::Point2f(static_cast<float>(half), static_cast<float>(half)), -scene.axes.a, 1.0);
    turn.at<double>(0, 2) += fx;
    turn.at<double>(1, 2) += fy;
    cv::Mat bgr;
    cv::Mat alpha;
    cv::warpAffine(stone.bgr, bgr, turn, stone.bgr.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    cv::warpAffine(stone.alpha, alpha, turn, stone.alpha.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    const double sigma = topSigmaPx(scene, view);
    gaussian(bgr, sigma);
    gaussian(alpha, sigma);
    blend(plate, bgr, alpha,
          cv::Point(static_cast<int>(std::floor(centre.x)) - half, static_cast<int>(std::floor(centre.y)) - half));

    cv::Mat out;
    plate.convertTo(out, CV_8UC3);
    return out;
}

cv::Mat TopViewRenderer::renderRealisticTop(const Scene& scene, View view, cv::Size upright)
{
    // A round stone of the scene's size where the clean scene has it, turned with A (its facet
    // pattern shows the turn); the holder disc follows the axis, the rest of the surroundings
    // (screws, dust, glints, reflections, light) stay where they are in the frame.
    const double pix = topPixelMm(scene, view);
    RealStone stone;
    stone.centre = topCentre(scene, view);
    stone.lengthPx = scene.stoneDiameterMm / pix;
    stone.rotationDeg = scene.axes.a;
    stone.seed = scene.realisticSeed;
    stone.darkRim = (scene.realisticSeed & 1u) != 0;
    RealisticView realistic;
    realistic.stones = {stone};
    realistic.around = randomSurroundings(scene.realisticSeed, upright, stone.centre, stone.lengthPx / 2.0);
    // The rig's holder is a disc on the axis.
    realistic.around.holder = Surroundings::Holder::Disc;
    realistic.around.holderCentre = topAxis(scene, view);
    realistic.around.holderRadiusPx = scene.holderDiameterMm / 2.0 / pix;
    realistic.blurSigmaPx = topSigmaPx(scene, view);
    return renderRealistic(realistic, upright);
}

// ---------------------------------------------------------------------------------------------
// Front view

SideView frontSideView(const Scene& scene, cv::Size sensor)
{
    // The seed's girdle at the scene's size and place; the camera adds exposure and noise.
    SideView side = randomSideView(scene.realisticSeed);
    const double pix = scene.cal.mfPixelUm / 1000.0;
    side.stone.diameterMm = scene.stoneDiameterMm;
    side.stone.thicknessMm = scene.stoneDiameterMm * scene.girdlePercent / 100.0;
    side.pixelUm = scene.cal.mfPixelUm;
    side.aDeg = scene.axes.a;
    side.centreRow = (sensor.height - 1) / 2.0 - girdleHeight(scene) / pix;
    side.defocusMm = scene.axes.zii - scene.frontFocusZii();
    side.blurPerMm = FrontBlurPerMm;
    side.exposure = 1.0;
    return side;
}

cv::Mat FrontViewRenderer::renderRealisticFront(const Scene& scene, cv::Size sensor)
{
    return renderSide(frontSideView(scene, sensor), sensor);
}

cv::Mat FrontViewRenderer::render(const Scene& scene, cv::Size sensor)
{
    if (scene.realisticSeed != 0)
        return renderRealisticFront(scene, sensor);
    if (grain.empty()) {
        grain.create(256, 256, CV_32FC1);
        cv::RNG rng(0x5eed);
        rng.fill(grain, cv::RNG::NORMAL, 0.0, 9.0);
        cv::GaussianBlur(grain, grain, cv::Size(0, 0), 1.2, 1.2, cv::BORDER_REFLECT);
    }

    const double pix = scene.cal.mfPixelUm / 1000.0;
    const double diameter = scene.stoneDiameterMm;
    const double radius = diameter / 2.0;
    const double circumference = Pi * diameter;
    const double girdleHalf = diameter * scene.girdlePercent / 200.0;
    const double crown = diameter * scene.crownPercent / 100.0;
    const double pavilion = diameter * scene.pavilionPercent / 100.0;
    const double height = girdleHeight(scene);
    const double shift = girdleShift(scene);

    // Marks on the girdle, by angle: a group of three bars, a dot and an L, so that the
    // position along the girdle can be read from the image.
    struct Mark
    {
        double angle;
        int kind;
    };
    static const Mark marks[] = {{40.0, 0}, {165.0, 1}, {290.0, 2}};
    const double markReach = 0.08; // mm

    struct Column
    {
        double lateral;   // mm from the image centre
        double along;     // position along the girdle, 0 .. circumference
        double top;       // girdle upper edge, mm above its centre
        double bottom;    // girdle lower edge (negative)
        double junction;  // 0..1 darkening of a facet junction line
        double curvature; // light fall-off towards the sides of the round girdle
        int mark;         // index into marks, or -1
        double markU;     // mm from the mark's centre along the girdle
        int grainCol;
    };
    std::vector<Column> columns(static_cast<size_t>(sensor.width));
    for (int c = 0; c < sensor.width; ++c) {
        Column& col = columns[static_cast<size_t>(c)];
        col.lateral = (c - sensor.width / 2.0) * pix;
        const double u = shift + col.lateral;
        col.along = u - std::floor(u / circumference) * circumference;
        const double p16 = col.along / circumference * 16.0;
        const double scallopTop = std::abs(frac(p16) - 0.5) * 2.0;
        const double scallopBottom = std::abs(frac(p16 + 0.5) - 0.5) * 2.0;
        col.top = girdleHalf * (0.8 + 0.4 * scallopTop);
        col.bottom = -girdleHalf * (0.8 + 0.4 * scallopBottom);
        const double f32 = frac(col.along / circumference * 32.0);
        const double junctionPx = std::min(f32, 1.0 - f32) * (circumference / 32.0) / pix;
        col.junction = junctionPx < 1.5 ? 1.0 - junctionPx / 1.5 : 0.0;
        const double side = std::min(1.0, std::abs(col.lateral) / radius);
        col.curvature = std::sqrt(std::max(0.05, 1.0 - side * side));
        col.mark = -1;
        for (int m = 0; m < 3; ++m) {
            double du = col.along - marks[m].angle / 360.0 * circumference;
            du -= std::round(du / circumference) * circumference;
            if (std::abs(du) < markReach) {
                col.mark = m;
                col.markU = du;
            }
        }
        // The grain belongs to the girdle (by position along it), so that a stretch of girdle
        // looks the same in every frame that shows it, also across A = 0.
        const long long grainIndex = static_cast<long long>(std::floor(col.along / pix));
        col.grainCol = static_cast<int>(((grainIndex % 256) + 256) % 256);
    }

    cv::Mat image(sensor, CV_32FC3);
    for (int r = 0; r < sensor.height; ++r) {
        cv::Vec3f* out = image.ptr<cv::Vec3f>(r);
        const double v = (sensor.height / 2.0 - r) * pix - height; // mm above the girdle centre
        const long long grainRowIndex = static_cast<long long>(std::floor((v + height) / pix));
        const float* grainRow = grain.ptr<float>(static_cast<int>(((grainRowIndex % 256) + 256) % 256));
        const double background = 46.0 + 8.0 * r / std::max(1, sensor.height);
        for (int c = 0; c < sensor.width; ++c) {
            const Column& col = columns[static_cast<size_t>(c)];
            double b, g, rd;
            if (v <= col.top && v >= col.bottom) {
                // Frosted girdle.
                double shade = 168.0 + grainRow[col.grainCol];
                shade -= 34.0 * col.junction;
                if (col.mark >= 0) {
                    const double du = col.markU;
                    const double dv = v;
                    bool ink = false;
                    switch (marks[col.mark].kind) {
                    case 0:
                        for (int bar = -1; bar <= 1; ++bar)
                            ink = ink || (std::abs(du - bar * 0.03) < 0.006 && std::abs(dv) < girdleHalf * 0.6);
                        break;
                    case 1:
                        ink = std::hypot(du, dv) < 0.025;
                        break;
                    default:
                        ink = (std::abs(du + 0.02) < 0.006 && std::abs(dv) < girdleHalf * 0.6)
                              || (std::abs(dv + girdleHalf * 0.55) < 0.006 && du > -0.026 && du < 0.03);
                        break;
                    }
                    if (ink)
                        shade = 58.0;
                }
                shade *= col.curvature;
                b = shade + 4.0;
                g = shade + 2.0;
                rd = shade;
            } else if (v > col.top) {
                // Pavilion above (the stone is held table-down), narrowing to the culet.
                const double t = v - col.top;
                if (t > pavilion || std::abs(col.lateral) > radius * (1.0 - t / pavilion)) {
                    b = g = rd = background;
                } else {
                    const int facet = static_cast<int>(std::floor((col.along + t * 0.55) / (circumference / 16.0)));
                    double shade = 72.0 + 45.0 * hash01(facet + 300) + 20.0 * t / pavilion;
                    const double edge = frac((col.along + t * 0.55) / (circumference / 16.0)) * (circumference / 16.0) / pix;
                    if (edge < 1.5)
                        shade -= 18.0;
                    shade *= col.curvature;
                    b = shade + 3.0;
                    g = shade;
                    rd = shade - 2.0;
                }
            } else {
                // Crown below, down to the table resting on the holder.
                const double t = col.bottom - v;
                if (t > crown) {
                    const double shade = 56.0 + 4.0 * std::sin(v / pix * 0.7);
                    b = shade;
                    g = shade + 1.0;
                    rd = shade + 3.0;
                } else {
                    const int facet = static_cast<int>(std::floor((col.along - t * 0.7) / (circumference / 32.0)));
                    double shade = 128.0 + 80.0 * hash01(facet + 900);
                    const double edge = frac((col.along - t * 0.7) / (circumference / 32.0)) * (circumference / 32.0) / pix;
                    if (edge < 1.5)
                        shade -= 25.0;
                    shade *= col.curvature;
                    const double fire = 10.0 * (hash01(facet + 1900) - 0.5);
                    b = shade + fire;
                    g = shade;
                    rd = shade - fire;
                }
            }
            out[c] = cv::Vec3f(static_cast<float>(b), static_cast<float>(g), static_cast<float>(rd));
        }
    }

    gaussian(image, frontSigmaPx(scene));
    cv::Mat result;
    image.convertTo(result, CV_8UC3);
    return result;
}

cv::Mat SensorView::render(cv::Size sensor)
{
    Scene scene;
    unsigned long long generation = 0;
    bool noise = false;
    Rig::instance().snapshot(&scene, &generation, &noise);
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<double> now = viewKey(scene, view, generation);
    now.push_back(sensor.width);
    now.push_back(sensor.height);
    if (now == key && !image.empty())
        return image;
    if (view == View::Front) {
        image = front.render(scene, sensor);
    } else {
        const cv::Mat upright = top.render(scene, view, uprightSize(view, sensor), generation);
        if (view == View::TopLarge)
            cv::rotate(upright, image, cv::ROTATE_90_COUNTERCLOCKWISE);
        else
            image = upright;
    }
    key = now;
    return image;
}

} // namespace rig
