#pragma once

#include "vision/girdlemeasure.h"

#include <QString>

#include <opencv2/core.hpp>

#include <functional>
#include <vector>

// The girdle around the whole stone after a scan: every frame measured (girdle::measureGirdle),
// its columns mapped to the degrees of the stone they look at, and one value per degree of A
// (0..359) for the host's girdle.csv and the panorama page. Pure functions of the frames and the
// scan's numbers, so that the scan and an offline replay give the same profile.
//
// Where a column looks: the front camera sees the round girdle side-on, so column x of a frame
// taken at A sees the degree A + asin((x - (width - 1) / 2) * pixel size / radius) of the stone
// (columns crowd towards the frame's sides; a frame w pixels wide spans about w * pixel size /
// (pi * D) * 360 degrees). Each degree takes the weighted mean of the columns that fall on it
// (nearest degree), weighted by how squarely the column sees the girdle (cos of its angle from
// the middle column), so a degree seen in the middle of one frame and at the side of the next
// leans on the middle. Degrees no column falls on are interpolated around the ring from the
// nearest measured ones on either side.
//
// Edges are in micrometres from the middle row of the front frame ((height - 1) / 2, the row
// the front alignment centres the girdle on), positive downwards: the upper edge is negative for
// a centred girdle.
namespace girdleprofile {

struct Degree
{
    bool measured = false;     // columns fell on this degree; otherwise interpolated (or none)
    bool known = false;        // measured or interpolated: the values below are set
    double upperUm = 0.0;
    double lowerUm = 0.0;
    double thicknessUm = 0.0;
};

struct Profile
{
    std::vector<Degree> degrees;        // 360, degree d of A at index d; empty before a scan
    int measuredDegrees = 0;
    int framesMeasured = 0;             // frames whose girdle was measured
    int frames = 0;
    double minUm = 0.0, maxUm = 0.0, meanUm = 0.0; // thickness over the known degrees
    int thinnestDeg = -1;               // -1 when no degree is known
    // Per frame, for drawing over the panorama: the measurement and the frame's A.
    std::vector<girdle::Measurement> frameMeasurements;
    std::vector<double> frameA;
    bool valid() const { return thinnestDeg >= 0; }
};

// The degree (0..360) column x of a frame `width` wide taken at aDeg looks at; NaN when the
// column lies beyond the stone's radius.
double ColumnDegree(double x, int width, double aDeg, double diameterMm, double pixelUm);

// Measures every frame (taken at the A of the same index) and builds the profile. Frames that are
// empty, or whose girdle is refused, add nothing. measured: the frames' measurements made
// earlier with the same pixel size (the scan measures each frame as it is taken); frames past
// its end are measured here.
Profile Build(const std::vector<cv::Mat>& frames, const std::vector<double>& aDeg, double diameterMm,
              double pixelUm, const std::vector<girdle::Measurement>& measured = {});

// The file the host finds next to panorama.png.
QString FileName();

// The file's text: the header line, then one row per degree of A:
// degree,upper_um,lower_um,thickness_um,source with source "measured", "interpolated" or
// "none" (no value anywhere on the girdle: the three values empty).
QByteArray CsvText(const Profile& profile);

// The end of a scan: for a complete scan, builds the profile and, when `store`, writes CsvText
// to FileName() in `folder` atomically; a scan that is not complete (or with `store` off)
// removes an earlier file instead, which would not describe this scan's stone. Logs what it did
// (through `log`); returns the profile (empty for a scan that is not complete).
Profile FinishScan(const std::vector<cv::Mat>& frames, const std::vector<double>& aDeg, double diameterMm,
                   double pixelUm, const QString& folder, bool complete, bool store,
                   const std::function<void(const QString&)>& log,
                   const std::vector<girdle::Measurement>& measured = {});

// One line for the log and the window: "Girdle profile: 11 of 12 frames measured, 214 degrees
// measured, thickness min 118.3 µm at 214°, max 131.0 µm, mean 124.9 µm".
QString Summary(const Profile& profile);

} // namespace girdleprofile
