// girdle-set: a labelled set of realistic Marking Front views of the girdle and its score.
//
//   girdle-set render --seed N [--count M] --out DIR
//       Renders M frames (default 300) drawn from seed N into DIR/frame_NNNN.png and writes
//       DIR/truth.csv: name, category, whether the girdle must be measured, the reason it must
//       be refused otherwise, and the truth at the middle column (upper and lower edge,
//       thickness), the tilt of the band's centre line and the blur there.
//   girdle-set score TRUTH.csv REPLAY.txt
//       Reads girdle-replay's output for those frames and prints, per category, the measured
//       share, the refusals, the wrong answers and the edge, thickness and tilt errors.
//
// Exit status 0 on success, 1 when a file cannot be read or written, 2 on a usage error.

#include "realisticside.h"
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

const cv::Size FrameSize(1280, 1024); // the Marking Front sensor
constexpr double PixelUm = 1.27;
constexpr double WrongEdgePx = 5.0;   // an edge further off than this is a wrong answer

struct Category
{
    const char* name;
    const char* refusal; // empty: must be measured
};

const Category Categories[] = {
    {"frosted", ""},    {"polished", ""},   {"faceted", ""},      {"scalloped", ""},  {"thin", ""},
    {"thick", ""},      {"tilted", ""},     {"off focus", ""},    {"bright facet", ""}, {"flare", ""},
    {"inscription", ""}, {"jaw", ""},       {"no girdle", "NOGIRDLE"}, {"clipped", "CLIPPED"}, {"blur", "BLUR"},
};


// Defocus (mm) that gives the middle column a blur of `sigmaPx`.
double defocusFor(const rig::SideView& v, double sigmaPx) { return sigmaPx * v.pixelUm / 1000.0 / v.blurPerMm; }

// Puts the band wholly in view with `margin` px to spare, or (for refusals) where the category
// wants it. Returns false when it cannot.
bool place(cv::RNG& rng, rig::SideView& v, const std::string& category)
{
    v.centreRow = 0.0;
    const rig::SideTruth at0 = rig::sideTruth(v, FrameSize);
    double lo = 1e18, hi = -1e18;
    for (std::size_t c = 0; c < at0.top.size(); ++c) {
        lo = std::min(lo, at0.top[c]);
        hi = std::max(hi, at0.bottom[c]);
    }
    const double h = FrameSize.height;
    if (category == "no girdle") {
        // Only facets in view: the band far above or below the frame.
        v.centreRow = rng.uniform(0.0, 1.0) < 0.5 ? -hi - rng.uniform(60.0, 400.0) : h - lo + rng.uniform(60.0, 400.0);
        return true;
    }
    if (category == "clipped") {
        // One edge inside the frame, the other beyond the top or bottom row at the middle.
        const double thick = at0.bottomMid - at0.topMid;
        const double cut = rng.uniform(0.1, 0.7) * thick;
        v.centreRow = rng.uniform(0.0, 1.0) < 0.5 ? -at0.topMid - cut : h - 1 - at0.bottomMid + cut;
        return true;
    }
    const double margin = 30.0;
    const double minRow = margin - lo, maxRow = h - 1 - margin - hi;
    if (minRow > maxRow)
        return false;
    const double spread = 0.3 * h;
    const double centre = h / 2.0;
    v.centreRow = rng.uniform(std::max(minRow, centre - spread), std::max(std::max(minRow, centre - spread) + 1e-6,
                                                                         std::min(maxRow, centre + spread)));
    return true;
}

rig::SideView makeView(cv::RNG& rng, const std::string& category)
{
    rig::SideView v = rig::randomSideView(unsigned(rng.next()));
    rig::SideStone& s = v.stone;
    s.diameterMm = rng.uniform(3.5, 9.0);
    s.thicknessMm = s.diameterMm * rng.uniform(0.012, 0.035);
    v.aDeg = rng.uniform(0.0, 360.0);
    v.pixelUm = PixelUm;
    v.defocusMm = defocusFor(v, rng.uniform(0.0, 1.2)) * (rng.uniform(0.0, 1.0) < 0.5 ? -1.0 : 1.0);
    v.noiseSigma = rng.uniform(1.5, 4.0);
    v.flare = v.inscription = v.jaw = false;
    if (category == "frosted")
        s.finish = rig::GirdleFinish::Frosted;
    else if (category == "polished")
        s.finish = rig::GirdleFinish::Polished;
    else if (category == "faceted")
        s.finish = rig::GirdleFinish::Faceted;
    else if (category == "scalloped")
        s.scallopDepthMm = rng.uniform(0.02, 0.035);
    else if (category == "thin")
        s.thicknessMm = rng.uniform(0.03, 0.05);
    else if (category == "thick")
        s.thicknessMm = rng.uniform(0.25, 0.4);
    else if (category == "tilted")
        s.levelErrorDeg = rng.uniform(1.5, 3.0);
    else if (category == "off focus" || category == "blur")
        v.defocusMm = defocusFor(v, category == "blur" ? rng.uniform(14.0, 35.0) : rng.uniform(2.5, 5.0));
    else if (category == "bright facet") {
        // A facet next to the girdle as bright as the girdle where the middle column meets it.
        const double grey = s.finish == rig::GirdleFinish::Polished ? s.girdleGrey + 20.0 : s.girdleGrey;
        v.facetBelowGrey = grey;
        if (rng.uniform(0.0, 1.0) < 0.5)
            v.facetAboveGrey = grey;
    } else if (category == "flare")
        v.flare = true;
    else if (category == "inscription")
        v.inscription = true;
    else if (category == "jaw")
        v.jaw = true;
    return v;
}

int render(unsigned seed, int count, const std::string& dir)
{
    const int kinds = int(sizeof Categories / sizeof Categories[0]);
    std::ofstream truthFile(dir + "/truth.csv");
    if (!truthFile) {
        std::fprintf(stderr, "girdle-set: cannot write %s/truth.csv\n", dir.c_str());
        return 1;
    }
    truthFile << "name,category,measure,reason,top,bottom,thickness,tilt_deg,sigma_px,finish\n";
    for (int i = 0; i < count; ++i) {
        const Category& category = Categories[i % kinds];
        cv::RNG rng(uint64_t(seed) * 0x9E3779B97F4A7C15ull + uint64_t(i) * 7919u + 1u);
        rig::SideView v = makeView(rng, category.name);
        while (!place(rng, v, category.name))
            v.stone.thicknessMm *= 0.8;
        const rig::SideTruth truth = rig::sideTruth(v, FrameSize);
        char name[32];
        std::snprintf(name, sizeof name, "frame_%04d.png", i);
        if (!cv::imwrite(dir + "/" + name, rig::renderSide(v, FrameSize))) {
            std::fprintf(stderr, "girdle-set: cannot write %s/%s\n", dir.c_str(), name);
            return 1;
        }
        char line[320];
        std::snprintf(line, sizeof line, "%s,%s,%d,%s,%.6f,%.6f,%.6f,%.6f,%.3f,%s\n", name, category.name,
                      category.refusal[0] ? 0 : 1, category.refusal, truth.topMid, truth.bottomMid, truth.thicknessMid,
                      truth.tiltDeg, truth.sigmaMidPx, rig::finishName(v.stone.finish));
        // Line by line, so that the frames rendered so far can be scored while the rest renders.
        truthFile << line << std::flush;
    }
    return truthFile.good() ? 0 : 1;
}

struct Stats
{
    int frames = 0, expected = 0, measured = 0, refused = 0, wrong = 0, reasonRight = 0;
    std::map<std::string, int> reasons;
    std::vector<double> edge, thickness, tilt, width;
};

double mean(const std::vector<double>& v)
{
    double s = 0.0;
    for (double x : v)
        s += std::abs(x);
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

struct Answer
{
    double v[5];
    std::string reason;
};

std::map<std::string, Answer> readAnswers(std::ifstream& file)
{
    std::map<std::string, Answer> answers;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        Answer a{};
        std::istringstream values(line.substr(tab + 1));
        for (double& v : a.v)
            values >> v;
        values >> a.reason;
        answers[baseName(line.substr(0, tab))] = a;
    }
    return answers;
}

void add(Stats& s, const std::vector<std::string>& cells, const Answer& a)
{
    const bool expected = cells[2] == "1";
    const bool measured = a.v[2] >= 0.0 && a.reason.empty();
    ++s.frames;
    if (expected)
        ++s.expected;
    if (!measured) {
        ++s.refused;
        ++s.reasons[a.reason.empty() ? std::string("?") : a.reason];
        if (!expected && a.reason == cells[3])
            ++s.reasonRight;
        return;
    }
    if (!expected) {
        ++s.wrong;
        return;
    }
    const double top = std::stod(cells[4]), bottom = std::stod(cells[5]);
    const double et = a.v[0] - top, eb = a.v[1] - bottom;
    if (std::abs(et) > WrongEdgePx || std::abs(eb) > WrongEdgePx) {
        ++s.wrong;
        return;
    }
    ++s.measured;
    s.edge.push_back(et);
    s.edge.push_back(eb);
    s.thickness.push_back(a.v[2] - std::stod(cells[6]));
    s.tilt.push_back(a.v[3] - std::stod(cells[7]));
    s.width.push_back(a.v[4]);
}

void printRow(const std::string& name, const Stats& s)
{
    std::string reasons;
    for (const auto& r : s.reasons)
        reasons += (reasons.empty() ? "" : ", ") + r.first + " " + std::to_string(r.second);
    char measured[32] = "-";
    if (s.expected > 0)
        std::snprintf(measured, sizeof measured, "%.1f %%", 100.0 * s.measured / s.expected);
    std::printf("| %s | %d | %s | %d%s%s%s | %d |", name.c_str(), s.frames, measured, s.refused,
                reasons.empty() ? "" : " (", reasons.c_str(), reasons.empty() ? "" : ")", s.wrong);
    if (s.edge.empty()) {
        std::printf(" - | - | - | - |\n");
        return;
    }
    std::printf(" %.3f / %.3f | %.3f / %.3f | %.4f / %.4f | %.1f |\n", mean(s.edge), maxAbs(s.edge), mean(s.thickness),
                maxAbs(s.thickness), mean(s.tilt), maxAbs(s.tilt), mean(s.width));
}

int score(const std::string& truthPath, const std::string& replayPath)
{
    std::ifstream truthFile(truthPath), replayFile(replayPath);
    if (!truthFile || !replayFile) {
        std::fprintf(stderr, "girdle-set: cannot read %s or %s\n", truthPath.c_str(), replayPath.c_str());
        return 1;
    }
    const std::map<std::string, Answer> answers = readAnswers(replayFile);
    std::vector<std::string> order;
    std::map<std::string, Stats> stats;
    Stats inScope, refuse, all;
    std::string line;
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
        const auto it = answers.find(cells[0]);
        if (it == answers.end()) {
            ++missing;
            continue;
        }
        if (!stats.count(cells[1]))
            order.push_back(cells[1]);
        for (Stats* s : {&stats[cells[1]], cells[2] == "1" ? &inScope : &refuse, &all})
            add(*s, cells, it->second);
    }
    std::printf("| category | frames | measured | refused (reasons) | wrong | edge err mean / max px | "
                "thickness err mean / max px | tilt err mean / max deg | edge width px |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const std::string& c : order)
        printRow(c, stats[c]);
    printRow("**in scope**", inScope);
    printRow("**to be refused**", refuse);
    if (missing)
        std::printf("\n%d frames have no answer in %s\n", missing, replayPath.c_str());
    std::printf("\nwrong answers in the whole set: %d; refusals with the expected reason: %d of %d\n", all.wrong,
                refuse.reasonRight, refuse.frames);
    return missing ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    return settool::run(argc, argv, settool::Commands{"girdle-set", 300, render, score});
}
