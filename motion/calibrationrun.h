#pragma once

#include "motion/alignmenttargets.h"
#include "motion/calibrationfits.h"
#include "motion/calibrationresult.h"
#include "motion/measurementfeed.h"
#include "vision/girdlereading.h"

#include <QElapsedTimer>
#include <QPointF>

#include <functional>
#include <vector>

class Logs;
class MotionCore;

// One calibration run, on the calibration's thread: the moves, the measurements on fresh frames
// after still + settle, the fits and the values they give. It moves only with the protocol's own
// moves and waits for their end with GMS like the alignments; it stops at once when asked (the
// axes stay where they are) and after its last measurement sends the axes back to where they
// were, but A, which ends one full turn further at the same angle.
//
// The measurements:
//  - Top Large pixel size and camera rotation: X moved back and forth by known lengths, the
//    stone's centre measured on the Top Large view (X moves the stone along the rows);
//  - rotation axis: A turned in steps of 360 / angles, the stone's centre measured at each angle;
//    a circle fit gives the axis in the image and the stone's run-out around it;
//  - front focus: ZII swept through the focus with the girdle's edge width as the measure, at A
//    and A + 180 (the automatic centring tool: XII Left, Right, Center);
//  - Marking Front pixel size and the front Y offset: Y moved by known lengths at both angles,
//    the girdle band's centre measured on the front view.
//
// Threads: constructed and run on the calibration's thread. Locks: none of its own.
class CalibrationRun
{
public:
    struct Plan
    {
        // From the start X, both ways.
        std::vector<double> xMoves{-3.0, 0.0, 3.0, 3.0, 0.0, -3.0};
        int angles = 8;                    // A steps over one turn (at least 8)
        // ZII searched around the expected focus, outwards, until the sharpest point is
        // bracketed; the step must be finer than the range in which the girdle can be measured
        // at all (about +-0.05 around the focus).
        double focusCoarseHalf = 0.16;
        double focusCoarseStep = 0.04;
        double focusFineHalf = 0.03;       // around the coarse sweep's minimum
        double focusFineStep = 0.01;
        int readingsPerFocusPoint = 1;     // front frames averaged per point
        // Around the Y that centres the band in the front view: about 80 px per step of 0.1 at
        // 1.27 µm per pixel.
        std::vector<double> yMoves{-0.2, -0.1, 0.0, 0.1, 0.2};
        int readingsPerYPoint = 1;
    };

    // Waits for the next girdle reading of a frame the rule counts, after the reading numbered
    // after (0: any); false when none came within limitMs or stop() said so.
    using GirdleWait = std::function<bool(const SettledCapture& rule, quint64 after, int limitMs,
                                          GirdleReading* reading, quint64* serial)>;

    CalibrationRun(MotionCore& core, Logs& log, GirdleWait girdle, std::function<bool()> stop,
                   std::function<void(const QString&)> progress, const Plan& plan);

    // Runs every stage; the result says how far it came and why it stopped.
    CalibrationResult run();

private:
    struct Side
    {
        double a = 0;
        bool focused = false;
        double stoneColumn = 0;     // Top Large column of the stone centre at this angle
        calibfit::FocusFit focus;
        calibfit::LineFit girdleRows;  // band centre (px from the middle row) against Y - startY
    };

    bool scaleStage();
    bool axisStage();
    bool sideStage(Side* side, double expectedFocus);
    bool focusSweep(Side* side, double expectedFocus);
    bool girdleOffsets(Side* side);
    bool returnToStart();
    void computeValues();
    void computeFrontValues(bool pixelOk, double p, bool axisOk);

    // Moves (move() sends) and waits for the end of the motion; false, with stopReason set,
    // when it failed or was stopped.
    bool moveAndWait(const std::function<void()>& move);
    bool measureTop(alignment::TrackerMeasurement* measurement);
    // Averages count fresh girdle readings; false when the run must stop; *found false when a
    // reading had no girdle (its reason in *why).
    bool measureGirdle(int count, double* edgeWidthPx, double* centreOffsetPx, bool* found, QString* why);
    bool fail(const QString& reason);
    bool stopped() const { return stop(); }
    void point(const QString& line);

    MotionCore& core;
    Logs& log;
    GirdleWait girdleWait;
    std::function<bool()> stop;
    std::function<void(const QString&)> progress;
    Plan plan;

    CalibrationResult result;
    QElapsedTimer clock;
    alignment::AxisPositions start;
    alignment::Parameters stored;
    double storedMfPixelUm = 0;
    int storedTLCenterV = 0;
    double diameterSum = 0;     // stone diameter in Top Large pixels (both radii), summed
    int diameterCount = 0;
    int frontFrameWidth = 0;    // of the girdle readings, pixels
    calibfit::ScaleFit scale;
    calibfit::CircleFit axis;
    bool axisMeasured = false;
    Side sides[2];
    int firstSideStep = 0;      // A step (0: the start) at which the first side was measured
};
