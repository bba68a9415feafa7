// panorama-replay: joins the frames of a girdle scan (the img_NN.png files the station wrote to
// the shared folder) into the girdle panorama offline, with the station's own stitching code,
// so that a scan can be re-examined: the same frames and numbers give the same image as the
// station's panorama.png. Prints the per-seam registration, the coverage and the gaps.
//
//   panorama-replay (--report TEXT | --diameter D --step DEG [--pixel-size P]) [--output FILE] FOLDER
//
// The numbers are those of the scan's reports to the host (IMGSCAP...#P#Y#D#STEP): D the stone
// diameter, STEP the rotation between frames in degrees, P the front pixel size.
//
// Every file that is not joined gets a line on stderr and the others are still joined: a file
// that cannot be read (not a PNG, BMP or JPEG, above imageprobe::MaxPixels, broken), an index
// no scan writes, a frame whose size, depth or channel count differs from the scan's frames.
// Exit status 0 when a panorama was written from every file, 1 when a file was left out,
// there was nothing to join or the panorama could not be written, 2 on a usage error.

#include "imageprobe.h"
#include "scan/scangeometry.h"
#include "scan/scanpanorama.h"

#include <opencv2/imgcodecs.hpp>

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QStringList>

#include <cstdio>
#include <map>

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: panorama-replay (--report TEXT | --diameter D --step DEG [--pixel-size P])\n"
                 "                       [--output FILE] FOLDER\n"
                 "  Joins FOLDER/img_NN.png into the girdle panorama and writes it to FILE\n"
                 "  (default: panorama-replay.png in the current directory).\n"
                 "  --report TEXT     one of the scan's IMGSCAP reports; gives P, D and STEP\n"
                 "  --diameter D      stone diameter (mm)\n"
                 "  --step DEG        rotation between frames (degrees)\n"
                 "  --pixel-size P    front camera pixel size (micrometres, default 1.27)\n"
                 "  Frames are joined when they have the size, depth and channel count of most\n"
                 "  of the scan's frames; images above %lld pixels (by their header) are refused\n"
                 "  without being decoded; indices from %d on are no scan's. A file left out is\n"
                 "  named on stderr and makes the exit status 1 (0: every file joined).\n",
                 imageprobe::MaxPixels, scangeometry::MaxImagesPerPerimeter);
}

bool positive(const QString& text, double* value)
{
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && *value > 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    double diameter = 0, step = 0, pixelSize = 1.27;
    QString output = QStringLiteral("panorama-replay.png");
    QString folder;
    const std::map<QString, double*> numbers = {{QStringLiteral("--diameter"), &diameter},
                                                {QStringLiteral("--step"), &step},
                                                {QStringLiteral("--pixel-size"), &pixelSize}};
    while (!args.isEmpty()) {
        const QString arg = args.takeFirst();
        const bool hasValue = !args.isEmpty();
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            usage();
            return 0;
        } else if (arg == QLatin1String("--report") && hasValue) {
            static const QRegularExpression report(
                QStringLiteral("IMGSCAP\\d+COORDS[^#]*#([^#]+)#[^#]+#([^#]+)#([^#;]+)"));
            const QRegularExpressionMatch m = report.match(args.takeFirst());
            if (!m.hasMatch() || !positive(m.captured(1), &pixelSize) || !positive(m.captured(2), &diameter)
                || !positive(m.captured(3), &step)) {
                std::fprintf(stderr, "panorama-replay: not a scan report with a pixel size, diameter and step\n");
                return 2;
            }
        } else if (numbers.count(arg) && hasValue) {
            if (!positive(args.takeFirst(), numbers.at(arg))) {
                usage();
                return 2;
            }
        } else if (arg == QLatin1String("--output") && hasValue) {
            output = args.takeFirst();
        } else if (!arg.startsWith(QLatin1String("--")) && folder.isEmpty()) {
            folder = arg;
        } else {
            usage();
            return 2;
        }
    }
    if (folder.isEmpty() || diameter <= 0 || step <= 0) {
        usage();
        return 2;
    }

    // img_NN.png by frame index; a missing index stays an empty frame, so the step stays right.
    // An index no scan writes (a stray img_999999999.png) is named and left out: the frames
    // are held by index.
    int status = 0;
    static const QRegularExpression name(QStringLiteral("^img_(\\d{2,})\\.png$"));
    std::map<int, QString> byIndex;
    for (const QString& file : QDir(folder).entryList({QStringLiteral("img_*.png")}, QDir::Files)) {
        const QRegularExpressionMatch m = name.match(file);
        if (!m.hasMatch())
            continue;
        bool ok = false;
        const int index = m.captured(1).toInt(&ok);
        if (!ok || index >= scangeometry::MaxImagesPerPerimeter) {
            std::fprintf(stderr, "panorama-replay: %s: index %s is beyond any scan (at most %d frames), left out\n",
                         qPrintable(QDir(folder).filePath(file)), qPrintable(m.captured(1)),
                         scangeometry::MaxImagesPerPerimeter);
            status = 1;
            continue;
        }
        if (byIndex.count(index)) {
            std::fprintf(stderr, "panorama-replay: %s: frame %d is already %s, left out\n",
                         qPrintable(QDir(folder).filePath(file)), index, qPrintable(byIndex[index]));
            status = 1;
            continue;
        }
        byIndex[index] = QDir(folder).filePath(file);
    }
    if (byIndex.empty()) {
        std::fprintf(stderr, "panorama-replay: no img_NN.png in %s\n", qPrintable(folder));
        return 1;
    }
    std::vector<cv::Mat> frames(static_cast<size_t>(byIndex.rbegin()->first + 1));
    for (const auto& entry : byIndex) {
        QString why;
        // Unchanged: the frame check compares depth and channels with the scan's frames.
        frames[static_cast<size_t>(entry.first)] = imageprobe::Load(entry.second, cv::IMREAD_UNCHANGED, &why);
        if (frames[static_cast<size_t>(entry.first)].empty()) {
            std::fprintf(stderr, "panorama-replay: could not read %s: %s, left out\n", qPrintable(entry.second),
                         qPrintable(why));
            status = 1;
        }
    }

    const scanpanorama::Outcome outcome = scanpanorama::Build(frames, step, diameter, pixelSize);
    for (const QString& line : outcome.lines)
        std::printf("%s\n", qPrintable(line));
    std::printf("Stitched in %lld ms\n", static_cast<long long>((outcome.stitchUs + 500) / 1000));
    for (const panorama::LeftOut& frame : outcome.result.leftOut) {
        if (!frame.unfit)
            continue;   // past a full turn: a scan that turned further than needed, nothing wrong
        std::fprintf(stderr, "panorama-replay: %s: %s, left out\n", qPrintable(byIndex[frame.index]),
                     qPrintable(frame.reason));
        status = 1;
    }
    std::fflush(stdout);
    if (outcome.result.image.empty())
        return 1;
    bool written = false;
    try {
        written = cv::imwrite(output.toStdString(), outcome.result.image);
    } catch (const cv::Exception& e) {
        std::fprintf(stderr, "panorama-replay: %s\n", e.what());
    }
    if (!written) {
        std::fprintf(stderr, "panorama-replay: could not write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("Panorama written to %s\n", qPrintable(output));
    return status;
}
