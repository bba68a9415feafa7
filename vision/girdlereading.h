#pragma once

#include <QMetaType>
#include <QPointF>
#include <QString>
#include <QVector>

namespace girdle {
struct Measurement;
}

// The girdle measured on one Marking Front frame, as the analyser hands it to the window and
// the front check: the values of the measurement, the frame it came from and the two edges
// sampled across the frame for drawing. A plain value, copied through queued signals.
struct GirdleReading
{
    bool ok = false;
    // Why there is no girdle: a girdle::Reason* word, "CAMERA" while the camera is frozen,
    // "NOFRAME" before the first frame; empty when ok.
    QString reason;
    double topMid = -1.0;         // rows of the edges at the middle column
    double bottomMid = -1.0;
    double thicknessPx = -1.0;
    double thicknessUm = -1.0;
    double tiltDeg = 0.0;         // + when the right end is lower
    double edgeWidthPx = -1.0;    // 10-90 % rise of the edges: the focus measure
    double centreOffsetPx = 0.0;  // band centre at the middle column minus the middle row
    double pixelSizeUm = 0.0;
    int frameWidth = 0;
    int frameHeight = 0;
    qint64 captureTimeUs = -1;    // steady clock, microseconds; -1 when the camera does not tell
    QVector<QPointF> top, bottom; // frame coordinates, every few columns where the edge is known

    static GirdleReading fromMeasurement(const girdle::Measurement& m, int width, int height, double pixelSizeUm,
                                         qint64 captureTimeUs);
    static GirdleReading refusal(const QString& reason, qint64 captureTimeUs = -1);
};

Q_DECLARE_METATYPE(GirdleReading)

namespace girdletext {

// Tilt within this many degrees reads "level".
constexpr double LevelDeg = 0.5;
// Edge widths (10-90 % rise, px) up to which the girdle reads "sharp", then "soft"; wider ones
// read "blurred".
constexpr double SharpPx = 3.0;
constexpr double SoftPx = 6.0;

// For the status strip: "Girdle 142 µm, level, sharp", "Girdle 140 µm, tilted 1.3°, soft", or
// the refusal in words ("Girdle: none in view", "Girdle: clipped", "Girdle: out of focus").
QString StatusText(const GirdleReading& reading);
// The refusal words alone ("none in view" ...).
QString RefusalWords(const QString& reason);
// "level" or "tilted 1.3°".
QString TiltWords(double tiltDeg);
// "sharp", "soft" or "blurred".
QString FocusWords(double edgeWidthPx);

} // namespace girdletext
