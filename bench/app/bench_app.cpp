// One display refresh of a camera view: the frame fitted into the view with its own aspect
// ratio (bars beside it), the guide marks drawn, the picture handed to the view. Against it,
// the baseline of converting the whole frame into a picture first (what a view costs when the
// frame is turned into a pixmap at sensor size and the label scales it). Each camera frame
// triggers one refresh on the main thread, for up to three cameras at 60 frames/s, so a refresh
// must stay far below 16 ms: at most 3 ms for 5 MP.
#include "app/imagedisplay.h"
#include "app/overlaygeometry.h"

#include <QApplication>
#include <QLabel>
#include <QPixmap>

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

namespace {

struct FrameSize {
    const char* name;
    int width, height;
};
const FrameSize Frames[] = {{"1.3MP", 1280, 1024}, {"5MP", 2592, 1944}};

struct ViewSize {
    const char* name;
    int width, height;
};
// The overview's Top Large view, a camera page's view, a Marking Front page view at the form's
// 1556x1010, and the overview and a camera page's view maximised at 1920x1080.
const ViewSize Views[] = {{"overview 771x920", 771, 920},
                          {"page 451x321", 451, 321},
                          {"front page 337x270", 337, 270},
                          {"maximised overview 958x950", 958, 950},
                          {"maximised page 574x365", 574, 365}};

cv::Mat sensorFrame(const FrameSize& f, int channels)
{
    cv::Mat frame(f.height, f.width, CV_8UC(channels));
    cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(255));
    return frame;
}

overlay::Marks topLargeMarks(const cv::Mat& frame)
{
    overlay::TopLargeInputs in;
    in.width = frame.cols;
    in.height = frame.rows;
    in.centerH = frame.rows / 2;
    in.circlesNumber = 5;
    in.circlesSpace = 17;
    in.chargingH = 400;
    in.chargingV = 400;
    in.focalX = 100;
    in.focalY = frame.rows / 2;
    in.focusZ = 15;
    in.currentZ = 14.9;
    in.pixelSize = 25.6;
    in.focusZII = 15;
    in.currentZII = 15.05;
    in.frontColumn = frame.cols / 2;
    in.frontFocalRow = 300;
    return overlay::topLargeMarks(in);
}

// The refresh as the window does it: scale, mark, picture, pixmap into a shown label.
void BM_ViewRefresh(benchmark::State& state, FrameSize f, ViewSize v, int channels, bool marks)
{
    const cv::Mat frame = sensorFrame(f, channels);
    const overlay::Marks m = topLargeMarks(frame);
    QLabel view;
    view.setScaledContents(true);
    view.resize(v.width, v.height);
    view.show();
    for (auto _ : state) {
        if (marks)
            imagedisplay::show(&view, frame, [&m](cv::Mat& picture, double sx, double sy) { overlay::draw(picture, m, sx, sy); });
        else
            imagedisplay::show(&view, frame);
        benchmark::ClobberMemory();
    }
    state.SetLabel(std::string(f.name) + " -> " + v.name);
}

// Baseline: the whole frame becomes a picture, marks drawn on a full copy, then scaled.
void BM_WholeFrameConversion(benchmark::State& state, FrameSize f, ViewSize v)
{
    const cv::Mat frame = sensorFrame(f, 3);
    const overlay::Marks m = topLargeMarks(frame);
    QLabel view;
    view.setScaledContents(true);
    view.resize(v.width, v.height);
    view.show();
    for (auto _ : state) {
        cv::Mat copy = frame.clone();
        overlay::draw(copy, m, 1, 1);
        const QImage whole(copy.data, copy.cols, copy.rows, int(copy.step), QImage::Format_RGB888);
        QPixmap pixmap = QPixmap::fromImage(whole.copy());
        view.setPixmap(pixmap.scaled(view.contentsRect().size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        benchmark::ClobberMemory();
    }
    state.SetLabel(std::string(f.name) + " -> " + v.name);
}

void registerAll()
{
    for (const FrameSize& f : Frames) {
        for (const ViewSize& v : Views) {
            const std::string tag = std::string(f.name) + "/" + v.name;
            benchmark::RegisterBenchmark(("ViewRefresh/colour+marks/" + tag).c_str(), BM_ViewRefresh, f, v, 3, true)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("ViewRefresh/colour/" + tag).c_str(), BM_ViewRefresh, f, v, 3, false)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("ViewRefresh/grey/" + tag).c_str(), BM_ViewRefresh, f, v, 1, false)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("WholeFrameConversion/" + tag).c_str(), BM_WholeFrameConversion, f, v)
                ->Unit(benchmark::kMicrosecond);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
