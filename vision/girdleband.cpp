#include "vision/girdleband.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace girdle {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
// A gap of this many strips may lie inside one run (noise hiding a weak edge for a moment).
constexpr int RunGapStrips = 2;
// The lower edge: how far (px) a strip may lie off the fitted curve, and the most the curve
// may bend (px per px squared; a wobbling stone bends it by a few pixels over the frame).
constexpr double LowerInlierPx = 2.0;
constexpr double MaxLowerBendPerPx2 = 6e-5;
// The same once the curve is fitted to all the strips near it.
constexpr double LowerTightInlierPx = 1.0;
// Slack (px) on every joining rule: sub-pixel placement on two runs.
constexpr double SlackPx = 3.0;

// The least-squares curve a + b x + c x^2 (x = strip / scale) through the strips of `seen`
// that lie within `limit` px of the curve `near`; false when fewer than six do or the fit is
// degenerate.
bool leastSquaresQuadratic(const std::vector<double>& y, const std::vector<int>& seen, double scale,
                           const double near[3], double limit, double out[3])
{
    double m[3][4] = {};
    int n = 0;
    for (int s : seen) {
        const double x = s / scale;
        const double v = y[size_t(s)];
        if (std::abs(v - (near[0] + near[1] * x + near[2] * x * x)) > limit)
            continue;
        const double pw[3] = {1.0, x, x * x};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                m[r][c] += pw[r] * pw[c];
            m[r][3] += pw[r] * v;
        }
        ++n;
    }
    if (n < 6)
        return false;
    // Gauss-Jordan with partial pivoting on the 3 x 3 normal equations.
    for (int c = 0; c < 3; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 3; ++r)
            if (std::abs(m[r][c]) > std::abs(m[pivot][c]))
                pivot = r;
        if (std::abs(m[pivot][c]) < 1e-12)
            return false;
        std::swap(m[c], m[pivot]);
        for (int r = 0; r < 3; ++r)
            if (r != c) {
                const double f = m[r][c] / m[c][c];
                for (int k = c; k < 4; ++k)
                    m[r][k] -= f * m[c][k];
            }
    }
    for (int r = 0; r < 3; ++r)
        out[r] = m[r][3] / m[r][r];
    return true;
}

// A stretch of one path that follows one line.
struct Run
{
    int first = 0, last = 0;
    std::vector<double> y; // per strip of the frame, NaN outside the run or where not seen
    int seen = 0;
    std::vector<double> rises; // 10-90 % rise where measured, px
};

// One edge of the band: disjoint runs, each joinable to the others.
struct Chain
{
    std::vector<int> runs;
    std::vector<double> y; // per strip, NaN where none of its runs was seen
    int seen = 0;
};

// The band being put together from one pair of runs.
struct Hypothesis
{
    Chain upper, lower;
    double thickness = 0.0; // median over the strips where both edges are known or bridged
};

double medianOf(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty())
        return Nan;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

std::vector<Run> cutIntoRuns(const std::vector<EdgeTrace>& traces, const BandRules& rules)
{
    const double stepPx = rules.maxClimb * rules.stripPx + 1.0;
    std::vector<Run> runs;
    for (const EdgeTrace& t : traces) {
        const int strips = int(t.y.size());
        Run run;
        std::vector<double> rises;
        const auto close = [&] {
            if (run.seen >= 2) {
                run.rises = rises;
                runs.push_back(run);
            }
            run = Run();
            rises.clear();
        };
        for (int s = 0; s < strips; ++s) {
            if (std::isnan(t.y[size_t(s)]))
                continue;
            const bool joins = run.seen > 0 && s - run.last - 1 <= RunGapStrips
                               && std::abs(t.y[size_t(s)] - run.y[size_t(run.last)]) <= stepPx * (s - run.last);
            if (!joins) {
                close();
                run.y.assign(size_t(strips), Nan);
                run.first = s;
            }
            run.y[size_t(s)] = t.y[size_t(s)];
            run.last = s;
            ++run.seen;
            if (!std::isnan(t.rise[size_t(s)]))
                rises.push_back(t.rise[size_t(s)]);
        }
        close();
    }
    return runs;
}

// Whether run `r` can lie on one edge with run `k`: no strip in common, and the step between
// their facing ends no more than the edge can climb over the gap (scallops climb steeply but
// return: over a long gap only the tilt keeps adding up).
bool joinable(const Run& r, const Run& k, const BandRules& rules)
{
    if (!(r.last < k.first || k.last < r.first))
        return false;
    const int a = r.last < k.first ? r.last : k.last;
    const int b = r.last < k.first ? k.first : r.first;
    const double ya = r.last < k.first ? r.y[size_t(a)] : k.y[size_t(a)];
    const double yb = r.last < k.first ? k.y[size_t(b)] : r.y[size_t(b)];
    const double gapPx = double(b - a) * rules.stripPx;
    return std::abs(yb - ya)
           <= std::min(rules.maxClimb * gapPx, rules.maxTiltSlope * gapPx + rules.maxScallopPx) + SlackPx;
}

// The edge between its seen strips, linear between them and held beyond its ends.
std::vector<double> bridged(const std::vector<double>& y)
{
    std::vector<double> out(y.size(), Nan);
    int last = -1;
    for (int s = 0; s < int(y.size()); ++s) {
        if (std::isnan(y[size_t(s)]))
            continue;
        if (last < 0)
            std::fill(out.begin(), out.begin() + s, y[size_t(s)]);
        else
            for (int q = last + 1; q < s; ++q)
                out[size_t(q)] = y[size_t(last)] + (y[size_t(s)] - y[size_t(last)]) * (q - last) / double(s - last);
        out[size_t(s)] = y[size_t(s)];
        last = s;
    }
    if (last >= 0)
        std::fill(out.begin() + last + 1, out.end(), y[size_t(last)]);
    return out;
}

// The rise a chain's edge shows at its sharpest: the lower quartile of its strips. Where a
// facet nearly as bright as the girdle leaves an edge little contrast, noise and grain widen
// or narrow its peak at random, but a soft feature never looks sharp.
double sharpRise(const Chain& c, const std::vector<Run>& runs)
{
    std::vector<double> v;
    for (int k : c.runs)
        v.insert(v.end(), runs[size_t(k)].rises.begin(), runs[size_t(k)].rises.end());
    if (v.empty())
        return Nan;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 4), v.end());
    return v[v.size() / 4];
}

// The strip nearest to `s` where the chain was seen (`s` itself when seen there), or -1.
int nearest(const Chain& c, int s)
{
    const int strips = int(c.y.size());
    for (int d = 0; d < strips; ++d)
        for (int q : {s - d, s + d})
            if (q >= 0 && q < strips && !std::isnan(c.y[size_t(q)]))
                return q;
    return -1;
}

// Whether `r` may join `chain` as the upper (or lower) edge opposite `other`: joinable to all
// of the chain's runs, the least thickness away from the other edge wherever both are seen,
// and the thickness there not far from the band's thickness at the nearest strip where both
// edges were seen (it changes slowly; the scallops make the most of it).
bool mayJoin(const Run& r, const Chain& chain, const Chain& other, bool upper, const std::vector<Run>& runs,
             const BandRules& rules)
{
    for (int k : chain.runs)
        if (!joinable(r, runs[size_t(k)], rules))
            return false;
    // One edge is alike in sharpness along its length: a reflection's flank is much softer.
    const double own = medianOf(r.rises), edge = sharpRise(chain, runs);
    if (!std::isnan(own) && !std::isnan(edge) && own > 2.0 * edge + rules.maxPairBlurPx)
        return false;
    std::vector<double> both(chain.y.size(), Nan);
    for (size_t s = 0; s < both.size(); ++s)
        both[s] = upper ? other.y[s] - chain.y[s] : chain.y[s] - other.y[s];
    Chain known;
    known.y = both;
    // Where the other edge hides, its course is bridged.
    const std::vector<double> course = bridged(other.y);
    for (int s = r.first; s <= r.last; ++s) {
        const double y = r.y[size_t(s)], o = course[size_t(s)];
        if (std::isnan(y) || std::isnan(o))
            continue;
        const double thickness = upper ? o - y : y - o;
        if (thickness < rules.minThicknessPx && !std::isnan(other.y[size_t(s)]))
            return false;
        const int k = nearest(known, s);
        if (k < 0)
            continue;
        const double gapPx = double(std::abs(k - s)) * rules.stripPx;
        if (std::abs(thickness - both[size_t(k)]) > std::min(rules.maxClimb * gapPx, rules.maxScallopPx + 0.02 * gapPx) + SlackPx)
            return false;
    }
    return true;
}

void add(Chain& c, int index, const Run& r)
{
    c.runs.push_back(index);
    for (int s = r.first; s <= r.last; ++s)
        if (!std::isnan(r.y[size_t(s)])) {
            c.y[size_t(s)] = r.y[size_t(s)];
            ++c.seen;
        }
}

// Whether the two edges rise alike: at the girdle everything is in one focal plane, while a
// reflection's flank or a flare beside a sharp edge is softer.
bool alike(const Hypothesis& h, const std::vector<Run>& runs, const BandRules& rules)
{
    const double x = sharpRise(h.upper, runs), y = sharpRise(h.lower, runs);
    if (std::isnan(x) || std::isnan(y))
        return false;
    return std::max(x, y) <= 2.0 * std::min(x, y) + rules.maxPairBlurPx;
}

Hypothesis grow(int u, int l, const std::vector<int>& order, const std::vector<Run>& runs, const BandRules& rules)
{
    const size_t strips = runs[size_t(u)].y.size();
    Hypothesis h;
    h.upper.y.assign(strips, Nan);
    h.lower.y.assign(strips, Nan);
    add(h.upper, u, runs[size_t(u)]);
    add(h.lower, l, runs[size_t(l)]);
    for (int k : order) {
        if (k == u || k == l)
            continue;
        const Run& r = runs[size_t(k)];
        // The side the run lies on: nearer to which edge's course.
        const int mid = (r.first + r.last) / 2;
        const int ku = nearest(h.upper, mid), kl = nearest(h.lower, mid);
        const double y = r.y[size_t(r.first)];
        const bool upper = std::abs(y - h.upper.y[size_t(ku)]) < std::abs(y - h.lower.y[size_t(kl)]);
        if (mayJoin(r, upper ? h.upper : h.lower, upper ? h.lower : h.upper, upper, runs, rules))
            add(upper ? h.upper : h.lower, k, r);
    }
    const std::vector<double> top = bridged(h.upper.y), bottom = bridged(h.lower.y);
    std::vector<double> thickness;
    for (size_t s = 0; s < strips; ++s)
        thickness.push_back(bottom[s] - top[s]);
    h.thickness = medianOf(thickness);
    return h;
}

} // namespace

BandEdges assembleBand(const std::vector<EdgeTrace>& traces, const BandRules& rules)
{
    BandEdges out;
    if (traces.empty())
        return out;
    const std::vector<Run> runs = cutIntoRuns(traces, rules);
    const int strips = int(traces.front().y.size());
    std::vector<int> order(runs.size());
    for (size_t k = 0; k < runs.size(); ++k)
        order[k] = int(k);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return runs[size_t(a)].seen > runs[size_t(b)].seen; });
    const double needed = rules.minCoverage * strips;
    // The sharpest long edge in view: the band's edges are among the sharpest (everything at
    // the girdle is in one focal plane), a reflection or a flare is much softer.
    double sharpest = std::numeric_limits<double>::infinity();
    for (const Run& r : runs)
        if (r.seen >= needed / 2.0 && !r.rises.empty()) {
            Chain c;
            c.runs = {int(&r - runs.data())};
            sharpest = std::min(sharpest, sharpRise(c, runs));
        }
    Hypothesis best;
    bool any = false;
    for (size_t i = 0; i < runs.size(); ++i)
        for (size_t j = 0; j < runs.size(); ++j) {
            const Run& u = runs[i];
            const Run& l = runs[j];
            // A seed: two runs seen together over a few strips, the least thickness apart.
            int shared = 0;
            bool apart = true;
            for (int s = std::max(u.first, l.first); s <= std::min(u.last, l.last); ++s)
                if (!std::isnan(u.y[size_t(s)]) && !std::isnan(l.y[size_t(s)])) {
                    ++shared;
                    apart = apart && l.y[size_t(s)] - u.y[size_t(s)] >= rules.minThicknessPx;
                }
            if (i == j || shared < 2 || !apart || u.seen + l.seen < needed * 2.0 / 3.0)
                continue;
            const Hypothesis h = grow(int(i), int(j), order, runs, rules);
            if (std::min(h.upper.seen, h.lower.seen) < needed * 2.0 / 3.0 || h.upper.seen + h.lower.seen < 2.0 * needed
                || !alike(h, runs, rules)
                || std::max(sharpRise(h.upper, runs), sharpRise(h.lower, runs)) > 2.0 * sharpest + rules.maxPairBlurPx)
                continue;
            // The outermost band; among bands alike in thickness, the better seen.
            const bool thicker = h.thickness > best.thickness + 2.0;
            const bool asThick = std::abs(h.thickness - best.thickness) <= 2.0;
            if (!any || thicker || (asThick && h.upper.seen + h.lower.seen > best.upper.seen + best.lower.seen)) {
                best = h;
                any = true;
            }
        }
    if (!any)
        return out;
    out.found = true;
    out.top = best.upper.y;
    out.bottom = best.lower.y;
    return out;
}

// Where one edge's path strays inward onto a reflection or a glyph stroke, the band looks
// thinner over that stretch. Such stretches (thinner than the band's median by a sixth) are
// found, and in each the edge that left the line joining its values on either side is
// dropped there, to be bridged from its neighbours.
void dropInwardStrays(std::vector<double>& top, std::vector<double>& bottom)
{
    struct Edge
    {
        std::vector<double>& y;
        bool seenAt(size_t s) const { return !std::isnan(y[s]); }
    };
    Edge a{top}, b{bottom};
    std::vector<double> thickness;
    for (size_t s = 0; s < a.y.size(); ++s)
        if (a.seenAt(s) && b.seenAt(s))
            thickness.push_back(b.y[s] - a.y[s]);
    if (thickness.size() < 4)
        return;
    const double limit = medianOf(thickness) * 5.0 / 6.0;
    const size_t n = a.y.size();
    const auto thin = [&](size_t s) { return a.seenAt(s) && b.seenAt(s) && b.y[s] - a.y[s] < limit; };
    const auto normal = [&](size_t s) { return a.seenAt(s) && b.seenAt(s) && b.y[s] - a.y[s] >= limit; };
    for (size_t i = 0; i < n; ++i) {
        if (!thin(i))
            continue;
        size_t j = i;
        while (j + 1 < n && !normal(j + 1))
            ++j;
        long left = long(i) - 1, right = long(j) + 1;
        while (left >= 0 && !normal(size_t(left)))
            --left;
        while (right < long(n) && !normal(size_t(right)))
            ++right;
        double off[2] = {0.0, 0.0};
        Edge* edges[2] = {&a, &b};
        for (int e = 0; e < 2; ++e) {
            const Edge& p = *edges[e];
            for (size_t s = i; s <= j; ++s) {
                if (!p.seenAt(s))
                    continue;
                double expected;
                if (left >= 0 && right < long(n))
                    expected = p.y[size_t(left)] + (p.y[size_t(right)] - p.y[size_t(left)]) * double(long(s) - left) / double(right - left);
                else if (left >= 0)
                    expected = p.y[size_t(left)];
                else if (right < long(n))
                    expected = p.y[size_t(right)];
                else
                    continue;
                off[e] += std::abs(p.y[s] - expected);
            }
        }
        Edge& stray = off[0] > off[1] ? a : b;
        for (size_t s = i; s <= j; ++s)
            if (thin(s))
                stray.y[s] = Nan;
        i = j;
    }
}

void bridgeByThickness(std::vector<double>& top, std::vector<double>& bottom, bool holdBeyond)
{
    const size_t strips = std::min(top.size(), bottom.size());
    std::vector<size_t> known;
    for (size_t s = 0; s < strips; ++s)
        if (!std::isnan(top[s]) && !std::isnan(bottom[s]))
            known.push_back(s);
    if (known.empty())
        return;
    const auto thickness = [&](size_t s) { return bottom[s] - top[s]; };
    // The lower edge has no scallops: between two of its own stretches it is bridged along
    // itself (by the caller), which is closer than the scalloped upper edge's course.
    size_t firstBottom = strips, lastBottom = 0;
    for (size_t s = 0; s < strips; ++s)
        if (!std::isnan(bottom[s])) {
            firstBottom = std::min(firstBottom, s);
            lastBottom = s;
        }
    size_t k = 0;
    for (size_t s = 0; s < strips; ++s) {
        if (std::isnan(top[s]) == std::isnan(bottom[s]) || (std::isnan(bottom[s]) && s > firstBottom && s < lastBottom))
            continue;
        while (k + 1 < known.size() && known[k + 1] < s)
            ++k;
        // Beyond the outermost strips where both edges were seen nothing tells how the
        // thickness goes on (the frame's blurred sides, a scallop's flank): not measured.
        if (!holdBeyond && (s < known.front() || s > known.back()))
            continue;
        double t;
        if (s <= known.front())
            t = thickness(known.front());
        else if (s >= known.back())
            t = thickness(known.back());
        else {
            const size_t l = known[k], r = known[k + 1];
            t = thickness(l) + (thickness(r) - thickness(l)) * double(s - l) / double(r - l);
        }
        if (std::isnan(bottom[s]))
            bottom[s] = top[s] + t;
        else
            top[s] = bottom[s] - t;
    }
}

double LowerCurve::at(double strip) const
{
    const double u = strip / strips;
    return c[0] + c[1] * u + c[2] * u * u;
}

LowerCurve keepSmoothLowerEdge(std::vector<double>& bottom, int stripPx)
{
    LowerCurve curve;
    std::vector<int> seen;
    for (int s = 0; s < int(bottom.size()); ++s)
        if (!std::isnan(bottom[size_t(s)]))
            seen.push_back(s);
    if (seen.size() < 6)
        return curve;
    // Candidate curves through three seen strips spread over the edge (deterministic picks:
    // the same frame always gives the same answer); the one most strips lie close to stands.
    const size_t n = seen.size();
    const double scale = double(bottom.size());
    double best[3] = {0.0, 0.0, 0.0};
    size_t bestCount = 0;
    const auto fitThrough = [&](size_t i, size_t j, size_t k, double c[3]) {
        const double x[3] = {seen[i] / scale, seen[j] / scale, seen[k] / scale};
        const double y[3] = {bottom[size_t(seen[i])], bottom[size_t(seen[j])], bottom[size_t(seen[k])]};
        // Lagrange form turned into a + b x + c x^2.
        c[0] = c[1] = c[2] = 0.0;
        for (int a = 0; a < 3; ++a) {
            const int b = (a + 1) % 3, d = (a + 2) % 3;
            const double w = y[a] / ((x[a] - x[b]) * (x[a] - x[d]));
            c[0] += w * x[b] * x[d];
            c[1] -= w * (x[b] + x[d]);
            c[2] += w;
        }
    };
    const auto value = [&](const double c[3], int s) {
        const double x = s / scale;
        return c[0] + c[1] * x + c[2] * x * x;
    };
    for (size_t i = 0; i < n; i += std::max<size_t>(1, n / 12))
        for (size_t k = n - 1; k > i + 1; k -= std::min(k - i - 1, std::max<size_t>(1, n / 12))) {
            double c[3];
            fitThrough(i, (i + k) / 2, k, c);
            // A girdle's lower edge bends little over the frame (the stone's wobble).
            if (std::abs(c[2]) / (scale * scale) > MaxLowerBendPerPx2 * stripPx * stripPx)
                continue;
            size_t count = 0;
            for (int s : seen)
                count += std::abs(bottom[size_t(s)] - value(c, s)) <= LowerInlierPx;
            if (count > bestCount) {
                bestCount = count;
                std::copy(c, c + 3, best);
            }
            if (k - i - 1 <= 1)
                break;
        }
    if (bestCount == 0)
        return curve;
    // The curve through three strips carries their noise; refitted by least squares to the
    // strips near it, the band around it narrows, so that a stretch that leaves the edge
    // gradually (a reflection's flank, a glyph stroke touching the edge) is dropped early.
    double limit = LowerInlierPx;
    for (int round = 0; round < 2; ++round) {
        double c[3];
        if (!leastSquaresQuadratic(bottom, seen, scale, best, limit, c))
            break;
        std::copy(c, c + 3, best);
        limit = LowerTightInlierPx;
    }
    for (int s : seen)
        if (std::abs(bottom[size_t(s)] - value(best, s)) > limit)
            bottom[size_t(s)] = Nan;
    curve.found = true;
    std::copy(best, best + 3, curve.c);
    curve.strips = scale;
    return curve;
}

} // namespace girdle
