// girdle-replay: runs the girdle measurement on saved Marking Front frames and prints, per
// frame, the band's edges at the middle column, its thickness, tilt and edge width, or why it
// was refused. Integrators use it to check the measurement offline on frames saved from the
// machine and scripts/girdles scores it on the rig's labelled side-frame set.
//
//   girdle-replay [--set KEY=VALUE]... FRAME...
//
// Output: lines starting with '#' are comments; then one line per frame: the path, a tab, then
// "top bottom thickness tilt edgewidth" (px, px, px, degrees, px; pixel centres at integers,
// tilt positive when the band's right end is lower), or "-1 -1 -1 -1 -1 REASON" (NOGIRDLE,
// CLIPPED or BLUR). Exit status 0 when every frame was measured or refused, 1 when one could
// not be read, 2 on a usage error.

#include "core/settingscatalog.h"
#include "imageprobe.h"
#include "vision/girdlemeasure.h"

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: girdle-replay [--set KEY=VALUE]... FRAME...\n"
                 "  Measures the girdle on each Marking Front frame (PNG, BMP, JPEG; at most\n"
                 "  50 Mpixels) and prints top bottom thickness tilt edgewidth at the middle\n"
                 "  column, or -1 -1 -1 -1 -1 and the reason (NOGIRDLE, CLIPPED, BLUR).\n"
                 "  --set KEY=VALUE  PMMFPXS (um per pixel, default 1.27), STRIP (columns per\n"
                 "                   strip, 8), MINTHICK (px, 8), MAXEDGEWIDTH (px, 24),\n"
                 "                   MINCONTRAST (grey levels per row, 1.2), MINCOVERAGE (0..1, 0.3)\n");
}

bool parseNumber(const std::string& text, double* value)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

bool applySetting(const std::string& kv, girdle::MeasureParameters* p)
{
    const std::size_t eq = kv.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    std::string key = kv.substr(0, eq);
    for (char& c : key)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    double v = 0.0;
    if (!parseNumber(kv.substr(eq + 1), &v))
        return false;
    if (key == settings::motion::MFPixelSize.key && v > 0.0)
        p->pixelSizeUm = v;
    else if (key == "STRIP" && v >= 2.0 && v <= 64.0)
        p->stripWidthPx = int(v);
    else if (key == "MINTHICK" && v >= 1.0)
        p->minThicknessPx = v;
    else if (key == "MAXEDGEWIDTH" && v > 0.0)
        p->maxEdgeWidthPx = v;
    else if (key == "MINCONTRAST" && v > 0.0)
        p->minEdgeContrast = v;
    else if (key == "MINCOVERAGE" && v > 0.0 && v <= 1.0)
        p->minCoverage = v;
    else
        return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    girdle::MeasureParameters params;
    std::vector<std::string> frames;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else if (a == "--set" && i + 1 < argc) {
            if (!applySetting(argv[++i], &params)) {
                std::fprintf(stderr, "girdle-replay: --set needs KEY=VALUE with a known key and a valid value, got \"%s\"\n",
                             argv[i]);
                return 2;
            }
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "girdle-replay: unknown option %s\n", a.c_str());
            usage();
            return 2;
        } else {
            frames.push_back(a);
        }
    }
    if (frames.empty()) {
        usage();
        return 2;
    }
    std::printf("# PMMFPXS %g STRIP %d MINTHICK %g MAXEDGEWIDTH %g MINCONTRAST %g MINCOVERAGE %g\n",
                params.pixelSizeUm, params.stripWidthPx, params.minThicknessPx, params.maxEdgeWidthPx,
                params.minEdgeContrast, params.minCoverage);
    std::printf("# frame\ttop bottom thickness tilt_deg edgewidth [reason]\n");

    int status = 0;
    for (const std::string& path : frames) {
        QString why;
        const cv::Mat frame = imageprobe::Load(QString::fromStdString(path), cv::IMREAD_COLOR, &why);
        if (frame.empty()) {
            std::fprintf(stderr, "girdle-replay: cannot read image %s: %s\n", path.c_str(), qPrintable(why));
            status = 1;
            continue;
        }
        const girdle::Measurement m = girdle::measureGirdle(frame, params);
        if (m.ok)
            std::printf("%s\t%.4f %.4f %.4f %.5f %.3f\n", path.c_str(), m.topMid, m.bottomMid, m.thicknessPx, m.tiltDeg,
                        m.edgeWidthPx);
        else
            std::printf("%s\t-1 -1 -1 -1 -1 %s\n", path.c_str(), qPrintable(m.reason));
        std::fflush(stdout);
    }
    return status;
}
