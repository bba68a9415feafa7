#include "scan/girdleprofile.h"

#include "camera/sharedfolder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cmath>

namespace girdleprofile {

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr int Degrees = 360;

struct Sum
{
    double weight = 0.0;
    double upper = 0.0;
    double lower = 0.0;
};

double wrapDegrees(double d)
{
    d = std::fmod(d, 360.0);
    return d < 0.0 ? d + 360.0 : d;
}

// A column whose band is this much thicker or thinner (relative) than the frame's median is
// taken for a column where an edge was bridged across something else (a bright facet, a glyph)
// and left out: the girdle's thickness changes slowly around the stone.
constexpr double MaxColumnDeviation = 0.3;

double medianThickness(const girdle::Measurement& m)
{
    std::vector<double> t;
    for (size_t x = 0; x < m.top.size() && x < m.bottom.size(); ++x)
        if (std::isfinite(m.top[x]) && std::isfinite(m.bottom[x]))
            t.push_back(m.bottom[x] - m.top[x]);
    if (t.empty())
        return std::nan("");
    std::nth_element(t.begin(), t.begin() + long(t.size() / 2), t.end());
    return t[t.size() / 2];
}

// Adds the columns of one measured frame to the degree sums.
void addFrame(const girdle::Measurement& m, int width, int height, double aDeg, double diameterMm, double pixelUm,
              std::vector<Sum>& sums)
{
    const double median = medianThickness(m);
    if (!(median > 0.0))
        return;
    const double middleRow = (height - 1) / 2.0;
    const double mid = (width - 1) / 2.0;
    const double radiusUm = diameterMm * 1000.0 / 2.0;
    for (int x = 0; x < width; ++x) {
        const double top = m.top[size_t(x)];
        const double bottom = m.bottom[size_t(x)];
        const double degree = ColumnDegree(x, width, aDeg, diameterMm, pixelUm);
        if (!std::isfinite(top) || !std::isfinite(bottom) || !std::isfinite(degree)
            || std::fabs(bottom - top - median) > MaxColumnDeviation * median)
            continue;
        const double side = (x - mid) * pixelUm / radiusUm;
        const double weight = std::sqrt(std::max(0.0, 1.0 - side * side));
        Sum& s = sums[size_t(std::lround(degree)) % Degrees];
        s.weight += weight;
        s.upper += weight * (top - middleRow) * pixelUm;
        s.lower += weight * (bottom - middleRow) * pixelUm;
    }
}

// Fills the degrees no column fell on from the nearest measured ones on either side, around the
// ring.
void interpolate(std::vector<Degree>& degrees)
{
    std::vector<int> measured;
    for (int d = 0; d < Degrees; ++d)
        if (degrees[size_t(d)].measured)
            measured.push_back(d);
    if (measured.empty())
        return;
    for (size_t i = 0; i < measured.size(); ++i) {
        const int from = measured[i];
        const int to = measured[(i + 1) % measured.size()];
        const int span = (to - from + Degrees - 1) % Degrees + 1; // a single measured degree: 360
        const Degree& a = degrees[size_t(from)];
        const Degree& b = degrees[size_t(to)];
        for (int k = 1; k < span; ++k) {
            const double f = double(k) / span;
            Degree& d = degrees[size_t((from + k) % Degrees)];
            d.known = true;
            d.upperUm = a.upperUm + f * (b.upperUm - a.upperUm);
            d.lowerUm = a.lowerUm + f * (b.lowerUm - a.lowerUm);
            d.thicknessUm = d.lowerUm - d.upperUm;
        }
    }
}

void summarise(Profile& p)
{
    double sum = 0.0;
    int known = 0;
    for (int d = 0; d < Degrees; ++d) {
        const Degree& g = p.degrees[size_t(d)];
        if (!g.known)
            continue;
        if (g.measured)
            ++p.measuredDegrees;
        if (known == 0 || g.thicknessUm < p.minUm) {
            p.minUm = g.thicknessUm;
            p.thinnestDeg = d;
        }
        if (known == 0 || g.thicknessUm > p.maxUm)
            p.maxUm = g.thicknessUm;
        sum += g.thicknessUm;
        ++known;
    }
    p.meanUm = known > 0 ? sum / known : 0.0;
}

QString number(double v) { return QString::number(v, 'f', 2); }

} // namespace

double ColumnDegree(double x, int width, double aDeg, double diameterMm, double pixelUm)
{
    const double radiusUm = diameterMm * 1000.0 / 2.0;
    if (!(radiusUm > 0.0) || !(pixelUm > 0.0) || !std::isfinite(aDeg))
        return std::nan("");
    const double side = (x - (width - 1) / 2.0) * pixelUm / radiusUm;
    if (!(std::fabs(side) < 1.0))
        return std::nan("");
    return wrapDegrees(aDeg + std::asin(side) * 180.0 / Pi);
}

Profile Build(const std::vector<cv::Mat>& frames, const std::vector<double>& aDeg, double diameterMm, double pixelUm,
              const std::vector<girdle::Measurement>& measured)
{
    Profile p;
    p.frames = static_cast<int>(frames.size());
    p.degrees.assign(Degrees, Degree());
    std::vector<Sum> sums(Degrees);
    girdle::MeasureParameters parameters;
    if (pixelUm > 0.0 && std::isfinite(pixelUm))
        parameters.pixelSizeUm = pixelUm;
    for (size_t i = 0; i < frames.size(); ++i) {
        const double a = i < aDeg.size() ? aDeg[i] : std::nan("");
        girdle::Measurement m = i < measured.size()    ? measured[i]
                                : frames[i].empty() ? girdle::Measurement()
                                                    : girdle::measureGirdle(frames[i], parameters);
        if (m.ok && std::isfinite(a) && int(m.top.size()) == frames[i].cols && int(m.bottom.size()) == frames[i].cols) {
            ++p.framesMeasured;
            addFrame(m, frames[i].cols, frames[i].rows, a, diameterMm, parameters.pixelSizeUm, sums);
        }
        p.frameMeasurements.push_back(std::move(m));
        p.frameA.push_back(a);
    }
    for (int d = 0; d < Degrees; ++d) {
        const Sum& s = sums[size_t(d)];
        if (!(s.weight > 0.0))
            continue;
        Degree& g = p.degrees[size_t(d)];
        g.measured = g.known = true;
        g.upperUm = s.upper / s.weight;
        g.lowerUm = s.lower / s.weight;
        g.thicknessUm = g.lowerUm - g.upperUm;
    }
    interpolate(p.degrees);
    summarise(p);
    return p;
}

QString FileName()
{
    return QStringLiteral("girdle.csv");
}

QByteArray CsvText(const Profile& profile)
{
    QString text = QStringLiteral("degree,upper_um,lower_um,thickness_um,source\n");
    for (int d = 0; d < Degrees; ++d) {
        const Degree g = d < int(profile.degrees.size()) ? profile.degrees[size_t(d)] : Degree();
        text += QString::number(d) + QLatin1Char(',');
        if (g.known)
            text += number(g.upperUm) + QLatin1Char(',') + number(g.lowerUm) + QLatin1Char(',') + number(g.thicknessUm)
                    + (g.measured ? QStringLiteral(",measured\n") : QStringLiteral(",interpolated\n"));
        else
            text += QStringLiteral(",,,none\n");
    }
    return text.toUtf8();
}

Profile FinishScan(const std::vector<cv::Mat>& frames, const std::vector<double>& aDeg, double diameterMm,
                   double pixelUm, const QString& folder, bool complete, bool store,
                   const std::function<void(const QString&)>& log, const std::vector<girdle::Measurement>& measured)
{
    const QString path = folder.isEmpty() ? QString() : QDir(folder).filePath(FileName());
    const bool write = complete && store && !path.isEmpty();
    if (!write && !path.isEmpty() && QFile::exists(path)) {
        if (QFile::remove(path))
            log(QStringLiteral("Girdle profile: removed the earlier ") + path + QStringLiteral(", not this scan's"));
        else
            log(QStringLiteral("Girdle profile: could not remove the earlier ") + path);
    }
    if (!complete)
        return Profile();
    QElapsedTimer timer;
    timer.start();
    const Profile profile = Build(frames, aDeg, diameterMm, pixelUm, measured);
    for (size_t i = 0; i < profile.frameMeasurements.size(); ++i)
        if (!profile.frameMeasurements[i].ok)
            log(QStringLiteral("Girdle profile: frame ") + QString::number(i) + QStringLiteral(" not measured (")
                + (frames[i].empty() ? QStringLiteral("no frame") : profile.frameMeasurements[i].reason) + QLatin1Char(')'));
    log(Summary(profile) + QStringLiteral(" (") + QString::number(timer.elapsed()) + QStringLiteral(" ms)"));
    if (write) {
        QString why;
        if (WriteBytesAtomically(path, CsvText(profile), &why))
            log(QStringLiteral("Girdle profile written to ") + path);
        else
            log(QStringLiteral("Girdle profile: could not write ") + path + QStringLiteral(": ") + why);
    }
    return profile;
}

QString Summary(const Profile& p)
{
    QString text = QStringLiteral("Girdle profile: ") + QString::number(p.framesMeasured) + QStringLiteral(" of ")
                   + QString::number(p.frames) + QStringLiteral(" frames measured, ")
                   + QString::number(p.measuredDegrees) + QStringLiteral(" degrees measured");
    if (!p.valid())
        return text + QStringLiteral(", no girdle");
    return text + QStringLiteral(", thickness min ") + QString::number(p.minUm, 'f', 1) + QStringLiteral(" \u00b5m at ")
           + QString::number(p.thinnestDeg) + QChar(0x00b0) + QStringLiteral(", max ") + QString::number(p.maxUm, 'f', 1)
           + QStringLiteral(" \u00b5m, mean ") + QString::number(p.meanUm, 'f', 1) + QStringLiteral(" \u00b5m");
}

} // namespace girdleprofile
