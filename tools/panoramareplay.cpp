// panorama-replay: joins the frames of a girdle scan (the img_NN.png files the station wrote to
// the shared folder) into the girdle panorama offline, with the station's own stitching code,
// so that a scan can be re-examined: the same frames and numbers give the same image as the
// station's panorama.png. Prints the per-seam registration, the coverage and the gaps.
//
//   panorama-replay (--report TEXT | --diameter D --step DEG [--pixel-size P]) [--output FILE] FOLDER
//
// The numbers are those of the scan's reports to the host (IMGSCAP...#P#Y#D#STEP): D the stone
// diameter, STEP the rotation between frames in degrees, P the front pixel size. Exit status 0
// when a panorama was written, 1 when there was nothing to join or it could not be written,
// 2 on a usage error.

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
                 "  --pixel-size P    front camera pixel size (micrometres, default 1.27)\n");
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
        if (arg == QLatin1String("--report") && hasValue) {
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
    static const QRegularExpression name(QStringLiteral("^img_(\\d{2,})\\.png$"));
    std::map<int, QString> byIndex;
    for (const QString& file : QDir(folder).entryList({QStringLiteral("img_*.png")}, QDir::Files)) {
        const QRegularExpressionMatch m = name.match(file);
        if (m.hasMatch())
            byIndex[m.captured(1).toInt()] = QDir(folder).filePath(file);
    }
    if (byIndex.empty()) {
        std::fprintf(stderr, "panorama-replay: no img_NN.png in %s\n", qPrintable(folder));
        return 1;
    }
    std::vector<cv::Mat> frames(static_cast<size_t>(byIndex.rbegin()->first + 1));
    for (const auto& entry : byIndex) {
        frames[static_cast<size_t>(entry.first)] = cv::imread(entry.second.toStdString(), cv::IMREAD_COLOR);
        if (frames[static_cast<size_t>(entry.first)].empty())
            std::fprintf(stderr, "panorama-replay: could not read %s, left out\n", qPrintable(entry.second));
    }

    const scanpanorama::Outcome outcome = scanpanorama::Build(frames, step, diameter, pixelSize);
    for (const QString& line : outcome.lines)
        std::printf("%s\n", qPrintable(line));
    std::printf("Stitched in %lld ms\n", static_cast<long long>((outcome.stitchUs + 500) / 1000));
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
    return 0;
}
