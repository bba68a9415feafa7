// stone-set: a labelled set of realistic Top Large views and its score.
//
//   stone-set render --seed N [--count M] --out DIR
//       Renders the categories' shares scaled to M (default 420: 555 frames, the first 420 of
//       them the original twelve categories) drawn from seed N into DIR/frame_NNNN.png and writes
//       DIR/truth.csv: name, category, whether a stone must be found, and the silhouette truth
//       (centroid, rightmost x, topmost y, diameter as the station measures it).
//   stone-set score TRUTH.csv REPLAY.txt
//       Reads tracker-replay's output for those frames and prints, per category, the found
//       rate, the refusals, the wrong answers (values for a view to refuse, or a centre more
//       than 3 px or a diameter more than 10 % off) and the centre, edge and diameter errors.
//
// Exit status 0 on success, 1 when a file cannot be read or written, 2 on a usage error.

#include "realisticscene.h"
#include "settool.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double PixelUm = 25.6;
const cv::Size FrameSize(1024, 1280); // the upright Top Large frame

struct Frame
{
    std::string name;
    std::string category;
    bool stoneExpected = false;
    rig::StoneTruth truth;
    double diameterPx = 0.0;
    double sizeMm = 0.0;
};

double px(double mm) { return mm * 1000.0 / PixelUm; }

double logUniform(cv::RNG& rng, double lo, double hi) { return std::exp(rng.uniform(std::log(lo), std::log(hi))); }

// A stone of the shape with the area of a round stone of `equivalentMm`.
rig::RealStone makeStone(cv::RNG& rng, rig::StoneShape shape, double equivalentMm)
{
    rig::RealStone s;
    s.shape = shape;
    switch (shape) {
    case rig::StoneShape::Round: s.widthRatio = 1.0; break;
    case rig::StoneShape::Oval: s.widthRatio = rng.uniform(0.6, 0.85); break;
    case rig::StoneShape::Pear: s.widthRatio = rng.uniform(0.55, 0.75); break;
    case rig::StoneShape::Marquise: s.widthRatio = rng.uniform(0.45, 0.6); break;
    case rig::StoneShape::Cushion: s.widthRatio = rng.uniform(0.8, 1.0); break;
    case rig::StoneShape::Princess: s.widthRatio = rng.uniform(0.9, 1.0); break;
    case rig::StoneShape::Emerald: s.widthRatio = rng.uniform(0.6, 0.8); break;
    }
    s.lengthPx = 100.0;
    const double unitArea = rig::stoneTruth(s).areaPx;
    const double wanted = CV_PI / 4.0 * px(equivalentMm) * px(equivalentMm);
    s.lengthPx = 100.0 * std::sqrt(wanted / unitArea);
    s.rotationDeg = shape == rig::StoneShape::Round ? 0.0 : rng.uniform(0.0, 180.0);
    s.brightness = rng.uniform(0.92, 1.08);
    s.darkRim = rng.uniform(0.0, 1.0) < 0.5;
    s.seed = unsigned(rng.next());
    return s;
}

cv::Rect2d bounds(const rig::RealStone& s)
{
    double x0 = 1e18, y0 = 1e18, x1 = -1e18, y1 = -1e18;
    for (const cv::Point2d& p : rig::stoneOutline(s)) {
        x0 = std::min(x0, p.x);
        y0 = std::min(y0, p.y);
        x1 = std::max(x1, p.x);
        y1 = std::max(y1, p.y);
    }
    return cv::Rect2d(x0, y0, x1 - x0, y1 - y0);
}

// Places the stone wholly in view, `margin` px from every border, within the middle of the
// frame where the holder brings it.
bool placeInView(cv::RNG& rng, rig::RealStone& s, double margin)
{
    s.centre = cv::Point2d(0, 0);
    const cv::Rect2d b = bounds(s);
    const double xmin = margin - b.x, xmax = FrameSize.width - margin - (b.x + b.width);
    const double ymin = margin - b.y, ymax = FrameSize.height - margin - (b.y + b.height);
    if (xmin > xmax || ymin > ymax)
        return false;
    const double cx = FrameSize.width / 2.0, cy = FrameSize.height / 2.0;
    const double spread = 0.35;
    s.centre.x = rng.uniform(std::max(xmin, cx * (1 - 2 * spread)), std::max(std::max(xmin, cx * (1 - 2 * spread)) + 1e-6,
                                                                         std::min(xmax, cx * (1 + 2 * spread))));
    s.centre.y = rng.uniform(std::max(ymin, cy * (1 - 2 * spread)), std::max(std::max(ymin, cy * (1 - 2 * spread)) + 1e-6,
                                                                         std::min(ymax, cy * (1 + 2 * spread))));
    return true;
}

struct Category
{
    const char* name;
    int share; // of BaseShares
};

const Category Categories[] = {
    {"round", 150}, {"round dim", 40}, {"oval", 25},   {"pear", 25},     {"marquise", 25}, {"cushion", 25},
    {"princess", 25}, {"emerald", 25}, {"clipped", 25}, {"two stones", 20}, {"empty", 20}, {"oversize", 15},
    // Harder holders and light, after the first twelve so that those render as they always have.
    {"ring", 25}, {"disc behind", 20}, {"dim on bright", 20}, {"oval dim", 20}, {"emerald dim", 20},
    {"empty jaws", 20}, {"empty ring", 10},
};
constexpr int BaseShares = 420; // --count 420 renders every category at its share

bool isEmpty(const std::string& category)
{
    return category == "empty" || category == "empty jaws" || category == "empty ring";
}

bool isDim(const std::string& category)
{
    return category == "round dim" || category == "dim on bright" || category == "oval dim" || category == "emerald dim";
}

// A polished ring around the stone's seat: a narrow gap to the stone, thin or wide, bright.
struct Ring
{
    double gap = 0.0, width = 0.0, level = 0.0;
};

Ring randomRing(cv::RNG& rng)
{
    Ring r;
    r.gap = rng.uniform(3.0, 15.0);
    r.width = rng.uniform(0.0, 1.0) < 0.5 ? rng.uniform(3.0, 8.0) : rng.uniform(15.0, 60.0);
    r.level = rng.uniform(150.0, 235.0);
    return r;
}

// The holder of the harder categories, over the surroundings drawn for the view.
void dressHolder(cv::RNG& rng, const std::string& category, const Ring& ring, double stoneRadius, rig::Surroundings& around)
{
    if (category == "ring" || category == "empty ring") {
        around.holder = rig::Surroundings::Holder::Disc;
        around.ringInnerPx = (category == "ring" ? stoneRadius : rng.uniform(40.0, 200.0)) + ring.gap;
        around.ringWidthPx = ring.width;
        around.ringLevel = ring.level;
        around.holderRadiusPx = std::max(around.holderRadiusPx, around.ringInnerPx + ring.width + rng.uniform(10.0, 80.0));
    } else if (category == "disc behind" || category == "dim on bright") {
        // A bright disc behind the stone, large enough to set the frame's level, and a bright
        // or dark rim.
        around.holder = rig::Surroundings::Holder::Disc;
        around.holderLevel = category == "disc behind" ? rng.uniform(70.0, 120.0) : rng.uniform(75.0, 105.0);
        around.brightRim = rng.uniform(0.0, 1.0) < 0.5;
        around.holderRadiusPx = std::max(stoneRadius * 1.3, rng.uniform(250.0, 700.0));
    } else if (category == "empty jaws") {
        // Two grey jaws closed on nothing, at any angle, long or running off the frame.
        around.holder = rig::Surroundings::Holder::Jaws;
        around.jawAngleDeg = rng.uniform(0.0, 180.0);
        around.holderRadiusPx = rng.uniform(20.0, 200.0);
        around.jawWidthPx = rng.uniform(80.0, 300.0);
        around.jawLengthPx = rng.uniform(0.0, 1.0) < 0.5 ? 0.0 : rng.uniform(2.0, 5.0) * around.jawWidthPx;
        around.holderLevel = rng.uniform(60.0, 175.0);
    }
}

rig::StoneShape shapeOf(const std::string& category)
{
    static const std::map<std::string, rig::StoneShape> shapes = {
        {"oval", rig::StoneShape::Oval},         {"pear", rig::StoneShape::Pear},
        {"marquise", rig::StoneShape::Marquise}, {"cushion", rig::StoneShape::Cushion},
        {"princess", rig::StoneShape::Princess}, {"emerald", rig::StoneShape::Emerald},
        {"oval dim", rig::StoneShape::Oval},     {"emerald dim", rig::StoneShape::Emerald}};
    const auto it = shapes.find(category);
    return it == shapes.end() ? rig::StoneShape::Round : it->second;
}

rig::StoneShape anyShape(cv::RNG& rng)
{
    return static_cast<rig::StoneShape>(rng.uniform(0, 7));
}

int render(unsigned seed, int count, const std::string& dir)
{
    std::vector<std::string> plan;
    for (const Category& c : Categories) {
        const int n = std::max(1, int(std::lround(c.share * count / double(BaseShares))));
        for (int k = 0; k < n; ++k)
            plan.push_back(c.name);
    }
    std::ofstream truthFile(dir + "/truth.csv");
    if (!truthFile) {
        std::fprintf(stderr, "stone-set: cannot write %s/truth.csv\n", dir.c_str());
        return 1;
    }
    truthFile << "name,category,stone,cx,cy,right,top,diameter_px,size_mm\n";
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const std::string& category = plan[i];
        cv::RNG rng(uint64_t(seed) * 0x9E3779B97F4A7C15ull + i * 7919u + 1u);
        rig::RealisticView view;
        view.blurSigmaPx = rng.uniform(0.5, 1.3);
        view.noiseSigma = rng.uniform(1.5, 3.0);
        view.noiseSeed = unsigned(rng.next());
        Frame f;
        f.category = category;
        char name[32];
        std::snprintf(name, sizeof name, "frame_%04zu.png", i);
        f.name = name;
        cv::Point2d holderAt(FrameSize.width / 2.0, FrameSize.height / 2.0);
        double holderRadius = 120.0;
        const double margin = 8.0 + 3.0 * view.blurSigmaPx;

        Ring ring;
        if (isEmpty(category)) {
            holderAt += cv::Point2d(rng.uniform(-150.0, 150.0), rng.uniform(-150.0, 150.0));
            holderRadius = rng.uniform(40.0, 200.0);
            if (category == "empty ring")
                ring = randomRing(rng);
        } else if (category == "two stones") {
            const double d1 = logUniform(rng, 1.5, 7.0);
            rig::RealStone a = makeStone(rng, anyShape(rng), d1);
            rig::RealStone b = makeStone(rng, anyShape(rng), d1 * rng.uniform(0.6, 1.0));
            for (int attempt = 0; attempt < 200; ++attempt) {
                placeInView(rng, a, margin);
                placeInView(rng, b, margin);
                const cv::Rect2d ra = bounds(a), rb = bounds(b);
                const cv::Rect2d grown(ra.x - 12, ra.y - 12, ra.width + 24, ra.height + 24);
                if ((grown & rb).area() <= 0.0)
                    break;
            }
            view.stones = {a, b};
            holderAt = (a.centre + b.centre) / 2.0;
            f.sizeMm = d1;
        } else if (category == "oversize") {
            rig::RealStone s = makeStone(rng, rig::StoneShape::Round, rng.uniform(28.0, 40.0));
            s.centre = cv::Point2d(FrameSize.width / 2.0 + rng.uniform(-60.0, 60.0), FrameSize.height / 2.0 + rng.uniform(-60.0, 60.0));
            view.stones = {s};
            f.sizeMm = s.lengthPx * PixelUm / 1000.0;
        } else if (category == "clipped") {
            rig::RealStone s = makeStone(rng, rng.uniform(0.0, 1.0) < 0.6 ? rig::StoneShape::Round : anyShape(rng),
                                         logUniform(rng, 1.5, 12.0));
            placeInView(rng, s, margin);
            const cv::Rect2d b = bounds(s);
            // Move it over one border until between 15 % and 60 % of its extent is cut.
            const double cut = rng.uniform(0.15, 0.6);
            switch (rng.uniform(0, 4)) {
            case 0: s.centre.x += -b.x - cut * b.width; break;
            case 1: s.centre.x += FrameSize.width - (b.x + b.width) + cut * b.width; break;
            case 2: s.centre.y += -b.y - cut * b.height; break;
            default: s.centre.y += FrameSize.height - (b.y + b.height) + cut * b.height; break;
            }
            view.stones = {s};
            holderAt = s.centre;
            f.sizeMm = s.lengthPx * PixelUm / 1000.0;
        } else {
            const rig::StoneShape shape = category == "disc behind" ? anyShape(rng) : shapeOf(category);
            const double size = category == "ring"                 ? logUniform(rng, 1.0, 7.0)
                                : shape == rig::StoneShape::Round ? logUniform(rng, 0.8, 12.0)
                                                                   : logUniform(rng, 0.9, 10.0);
            rig::RealStone s = makeStone(rng, shape, size);
            if (isDim(category))
                s.brightness = rng.uniform(0.6, 0.85);
            if (category == "ring")
                ring = randomRing(rng);
            // A ring stays wholly in view, as a holder under the camera does.
            while (!placeInView(rng, s, margin + ring.gap + ring.width))
                s.lengthPx *= 0.9;
            view.stones = {s};
            f.stoneExpected = true;
            f.truth = rig::stoneTruth(s);
            f.diameterPx = (f.truth.right - f.truth.centroid.x) + (f.truth.centroid.y - f.truth.top);
            f.sizeMm = size;
            holderAt = s.centre;
        }
        double stoneRadius = 0.0;
        for (const rig::RealStone& s : view.stones)
            stoneRadius = std::max(stoneRadius, s.lengthPx / 2.0);
        view.around = rig::randomSurroundings(unsigned(rng.next()), FrameSize, holderAt,
                                              view.stones.empty() ? holderRadius : stoneRadius);
        if (view.stones.empty())
            view.around.holderRadiusPx = holderRadius;
        if (category == "ring")
            view.around.holderCentre = view.stones.front().centre;
        dressHolder(rng, category, ring, stoneRadius, view.around);
        if (view.stones.size() > 1 && view.around.holder == rig::Surroundings::Holder::Jaws)
            view.around.holder = rig::Surroundings::Holder::Disc;

        const cv::Mat image = rig::renderRealistic(view, FrameSize);
        if (!cv::imwrite(dir + "/" + f.name, image)) {
            std::fprintf(stderr, "stone-set: cannot write %s/%s\n", dir.c_str(), f.name.c_str());
            return 1;
        }
        char line[256];
        std::snprintf(line, sizeof line, "%s,%s,%d,%.6f,%.6f,%.6f,%.6f,%.6f,%.3f\n", f.name.c_str(), f.category.c_str(),
                      f.stoneExpected ? 1 : 0, f.truth.centroid.x, f.truth.centroid.y, f.truth.right, f.truth.top,
                      f.diameterPx, f.sizeMm);
        truthFile << line;
    }
    return truthFile.good() ? 0 : 1;
}

// An answer this far from the truth is another outline than the stone's: a wrong answer.
constexpr double WrongCentrePx = 3.0;
constexpr double WrongDiameterPercent = 10.0;

struct Stats
{
    int frames = 0, stones = 0, found = 0, refused = 0, wrong = 0;
    std::map<std::string, int> reasons;
    std::vector<double> centre, edge, diameter; // edge signed, outward positive; diameter %
};

double mean(const std::vector<double>& v, bool absolute)
{
    double s = 0.0;
    for (double x : v)
        s += absolute ? std::abs(x) : x;
    return v.empty() ? 0.0 : s / v.size();
}

double maxAbs(const std::vector<double>& v)
{
    double m = 0.0;
    for (double x : v)
        m = std::max(m, std::abs(x));
    return m;
}

std::string baseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int score(const std::string& truthPath, const std::string& replayPath)
{
    std::ifstream truthFile(truthPath), replayFile(replayPath);
    if (!truthFile || !replayFile) {
        std::fprintf(stderr, "stone-set: cannot read %s or %s\n", truthPath.c_str(), replayPath.c_str());
        return 1;
    }
    struct Answer
    {
        double v[6];
        std::string reason;
    };
    std::map<std::string, Answer> answers;
    std::string line;
    while (std::getline(replayFile, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        Answer a{};
        std::string rest = line.substr(tab + 1);
        const std::size_t tab2 = rest.find('\t');
        if (tab2 != std::string::npos) {
            a.reason = rest.substr(tab2 + 1);
            rest = rest.substr(0, tab2);
        }
        std::istringstream values(rest);
        for (double& v : a.v)
            values >> v;
        answers[baseName(line.substr(0, tab))] = a;
    }

    std::vector<std::string> order;
    std::map<std::string, Stats> stats;
    Stats inView, refuse, all;
    std::getline(truthFile, line); // header
    int missing = 0;
    while (std::getline(truthFile, line)) {
        std::vector<std::string> cells;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, ','))
            cells.push_back(cell);
        if (cells.size() < 9)
            continue;
        const std::string& category = cells[1];
        if (!stats.count(category))
            order.push_back(category);
        Stats& st = stats[category];
        const bool expected = cells[2] == "1";
        const auto it = answers.find(cells[0]);
        if (it == answers.end()) {
            ++missing;
            continue;
        }
        const Answer& a = it->second;
        const bool found = a.v[0] > -1.0;
        for (Stats* s : {&st, expected ? &inView : &refuse, &all}) {
            ++s->frames;
            if (expected)
                ++s->stones;
            if (!found) {
                ++s->refused;
                ++s->reasons[a.reason.empty() ? std::string("?") : a.reason];
            }
            if (found && !expected)
                ++s->wrong;
            if (found && expected) {
                const double cx = std::stod(cells[3]), cy = std::stod(cells[4]);
                const double right = std::stod(cells[5]), top = std::stod(cells[6]), d = std::stod(cells[7]);
                const double e = std::hypot(a.v[0] - cx, a.v[1] - cy);
                const double measured = (a.v[2] - a.v[0]) + (a.v[1] - a.v[5]);
                const double diameterError = 100.0 * (measured - d) / d;
                // Another outline than the stone's (a ring around it, a disc behind it) can
                // share its centre; its size gives it away.
                if (e > WrongCentrePx || std::abs(diameterError) > WrongDiameterPercent) {
                    ++s->wrong;
                    continue;
                }
                ++s->found;
                s->centre.push_back(e);
                s->edge.push_back(a.v[2] - right);
                s->edge.push_back(top - a.v[5]);
                s->diameter.push_back(diameterError);
            }
        }
    }
    std::printf("| category | frames | found | refused (reasons) | wrong | centre err mean / max px | "
                "edge err mean / max / bias px | diameter err mean / max %% |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    auto row = [](const std::string& name, const Stats& s) {
        std::string reasons;
        for (const auto& r : s.reasons)
            reasons += (reasons.empty() ? "" : ", ") + r.first + " " + std::to_string(r.second);
        char found[32];
        if (s.stones > 0)
            std::snprintf(found, sizeof found, "%.1f %%", 100.0 * s.found / s.stones);
        else
            std::snprintf(found, sizeof found, "-");
        if (s.centre.empty()) {
            std::printf("| %s | %d | %s | %d (%s) | %d | - | - | - |\n", name.c_str(), s.frames, found, s.refused,
                        reasons.c_str(), s.wrong);
            return;
        }
        std::printf("| %s | %d | %s | %d%s%s%s | %d | %.3f / %.3f | %.3f / %.3f / %+.3f | %.3f / %.3f |\n", name.c_str(),
                    s.frames, found, s.refused, reasons.empty() ? "" : " (", reasons.c_str(), reasons.empty() ? "" : ")",
                    s.wrong, mean(s.centre, true), maxAbs(s.centre), mean(s.edge, true), maxAbs(s.edge),
                    mean(s.edge, false), mean(s.diameter, true), maxAbs(s.diameter));
    };
    for (const std::string& c : order)
        row(c, stats[c]);
    row("**stones in view**", inView);
    row("**to be refused**", refuse);
    if (missing)
        std::printf("\n%d frames have no answer in %s\n", missing, replayPath.c_str());
    std::printf("\nwrong answers in the whole set: %d\n", all.wrong);
    return missing ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    return settool::run(argc, argv, settool::Commands{"stone-set", 420, render, score});
}
