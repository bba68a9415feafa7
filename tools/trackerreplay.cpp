// tracker-replay: runs the top stone tracker's frame processing on saved Top Large frames with
// the parameters of a settings file, prints the six values per file and writes the marked
// result image beside each input. Operators and integrators use it to tune the thresholds
// offline on frames saved from the machine ("Default.png" from the Top Large save button).
//
//   tracker-replay [--registry FILE] [--set KEY=VALUE]... IMAGE...
//
// Output, one line per image: the path, a tab, then CenterX CenterY FocalX FocalY MFX MFY,
// each in its shortest exact decimal form; when no stone was found all six are -1 and a tab
// and the reason follow (NOSTONE, CLIPPED or AMBIGUOUS). A file that cannot be read (not a
// PNG, BMP or JPEG, above imageprobe::MaxPixels, broken) gets a line on stderr and the others
// are still processed. Exit status 0 when every image was processed, 1 when one could not be
// read or processed, 2 on a usage error.

#include "core/logs.h"
#include "core/registry.h"
#include "imageprobe.h"
#include "vision/topstoneprocessing.h"

#include <opencv2/imgcodecs.hpp>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <charconv>
#include <cstdio>
#include <exception>
#include <string>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

void usage()
{
    std::fprintf(stderr,
                 "usage: tracker-replay [--registry FILE] [--set KEY=VALUE]... IMAGE...\n"
                 "  Runs the Top Large stone detection on each image (PNG, BMP, JPEG) and prints\n"
                 "  CenterX CenterY FocalX FocalY MFX MFY, then why when there is no stone;\n"
                 "  writes IMAGE's name + \".result.png\". Images above %lld pixels (by their\n"
                 "  header) are refused without being decoded.\n"
                 "  --registry FILE  settings file to take the parameters from (default:\n"
                 "                   Registry.dat in the current directory; defaults if absent)\n"
                 "  --set KEY=VALUE  override one settings key, e.g. --set PCVTLTHRMI=170\n"
                 "  Exit status: 0 every image processed, 1 an image could not be read or\n"
                 "  processed, 2 usage error.\n",
                 imageprobe::MaxPixels);
}

std::string shortest(double v)
{
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
    return std::string(buffer, end);
}

// Reads the tracker's parameters through the station's own settings code, so that a value
// reads here exactly as the station reads it. The store works on "Registry.dat" in the working
// directory and may rewrite it, so it works on a copy in a scratch directory.
bool loadParams(const QString& registryPath, bool registryGiven,
                const QList<QPair<QString, QString>>& overrides, vision::TopStoneParams* params,
                QString* error)
{
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        *error = QStringLiteral("cannot create a scratch directory");
        return false;
    }
    if (QFileInfo::exists(registryPath)) {
        if (!QFile::copy(registryPath, scratch.filePath(QString::fromLatin1(Registry::FileName)))) {
            *error = QStringLiteral("cannot read settings file ") + registryPath;
            return false;
        }
    } else if (registryGiven) {
        *error = QStringLiteral("settings file not found: ") + registryPath;
        return false;
    } else {
        std::fprintf(stderr, "tracker-replay: no %s here, using the default parameters\n",
                     Registry::FileName);
    }

    const QString previous = QDir::currentPath();
    QDir::setCurrent(scratch.path());
    const QtMessageHandler oldHandler = qInstallMessageHandler(quiet);
    Registry* registry = Registry::AccessMemory();
    for (const auto& kv : overrides)
        registry->SetKey(kv.first, kv.second);
    *params = vision::TopStoneParams::fromRegistry(*registry);
    Registry::Destroy();
    Logs::Destroy();
    qInstallMessageHandler(oldHandler);
    QDir::setCurrent(previous);
    return true;
}

QString resultPath(const QString& input)
{
    const QFileInfo info(input);
    return info.dir().filePath(info.completeBaseName() + QStringLiteral(".result.png"));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);

    QString registryPath = QString::fromLatin1(Registry::FileName);
    bool registryGiven = false;
    QList<QPair<QString, QString>> overrides;
    QStringList images;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            usage();
            return 0;
        } else if (a == QLatin1String("--registry") && i + 1 < args.size()) {
            registryPath = args[++i];
            registryGiven = true;
        } else if (a == QLatin1String("--set") && i + 1 < args.size()) {
            const QString kv = args[++i];
            const int eq = kv.indexOf(QLatin1Char('='));
            if (eq <= 0) {
                std::fprintf(stderr, "tracker-replay: --set needs KEY=VALUE, got \"%s\"\n", qPrintable(kv));
                return 2;
            }
            overrides.append(qMakePair(kv.left(eq).toUpper(), kv.mid(eq + 1)));
        } else if (a.startsWith(QLatin1String("--"))) {
            std::fprintf(stderr, "tracker-replay: unknown option %s\n", qPrintable(a));
            usage();
            return 2;
        } else {
            images << a;
        }
    }
    if (images.isEmpty()) {
        usage();
        return 2;
    }

    vision::TopStoneParams params;
    QString error;
    if (!loadParams(registryPath, registryGiven, overrides, &params, &error)) {
        std::fprintf(stderr, "tracker-replay: %s\n", qPrintable(error));
        return 2;
    }
    std::printf("# ThreshMin %s ThreshMax %s CannyVal %s CannyRatio %d CannyKernel %d Erode %d Dilate %d "
                "Invert %d AreaMin %d AreaMax %d\n",
                shortest(params.threshMin).c_str(), shortest(params.threshMax).c_str(),
                shortest(params.cannyThreshVal).c_str(), params.cannyThreshRatio,
                params.cannyThreshKernel, params.erode, params.dilate,
                params.invertErodeDilate ? 1 : 0, params.contourSizeMin, params.contourSizeMax);

    int status = 0;
    for (const QString& path : images) {
        QString why;
        const cv::Mat frame = imageprobe::Load(path, cv::IMREAD_COLOR, &why);
        if (frame.empty()) {
            std::fprintf(stderr, "tracker-replay: cannot read image %s: %s\n", qPrintable(path), qPrintable(why));
            status = 1;
            continue;
        }
        try {
            vision::TopStoneImages out;
            const vision::TopStoneResult r = vision::processTopStoneFrame(frame, params, out, true);
            std::printf("%s\t%s %s %s %s %s %s%s%s\n", qPrintable(path), shortest(r.CenterX).c_str(),
                        shortest(r.CenterY).c_str(), shortest(r.FocalX).c_str(),
                        shortest(r.FocalY).c_str(), shortest(r.MFX).c_str(), shortest(r.MFY).c_str(),
                        r.reason.empty() ? "" : "\t", r.reason.c_str());
            const QString written = resultPath(path);
            if (!cv::imwrite(QFile::encodeName(written).toStdString(), out.result)) {
                std::fprintf(stderr, "tracker-replay: cannot write %s\n", qPrintable(written));
                status = 1;
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tracker-replay: %s: %s\n", qPrintable(path), e.what());
            status = 1;
        }
        std::fflush(stdout);
    }
    return status;
}
