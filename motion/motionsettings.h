#pragma once

#include "motion/alignmenttargets.h"

#include <atomic>

class Logs;
class Registry;

// The motion settings as the station uses them while it runs: the calibration that turns
// Top Large measurements into axis targets, the guide marks drawn over the views (stored with
// the calibration, and four of them are calibration too: the centring line row, the focal
// marks and the front camera's centring column are the positions the targets aim at), and the
// bounds of the waits inside an alignment. Keys, defaults and ranges come from the motion
// group of the settings catalogue (core/settingscatalog.h); nothing here spells a key.
//
// Locks: none. Every value is a std::atomic, read and written whole: the window edits them in
// place on the main thread (Motion->TLPixelSize = 25.6) while alignments read them on theirs.
// An alignment takes one CurrentParameters() snapshot per move.
//
// Units: image values are TL pixels, pixel sizes thousandths of an axis unit per pixel,
// positions axis units.
class MotionSettings
{
public:
    MotionSettings();

    std::atomic<int> OverlayTLCenterH;
    std::atomic<int> OverlayTLCenterV;
    std::atomic<int> OverlayTLCenterCirclesNumber;
    std::atomic<double> OverlayTLCenterCirclesSpace;
    std::atomic<int> OverlayTLFocalX;
    std::atomic<int> OverlayTLFocalY;
    std::atomic<int> OverlayMFCenterH;
    std::atomic<int> OverlayMFCenterV;
    std::atomic<int> OverlayMFFocalX;
    std::atomic<int> OverlayMFFocalY;
    std::atomic<double> TLPixelSize;
    std::atomic<double> MFPixelSize;
    std::atomic<double> MFPixelDeg;   // stored and edited; no computation uses it
    std::atomic<double> TLZFocusPosition;
    std::atomic<double> TLYOffsetPosition;
    std::atomic<double> MFYOffsetPosition;
    std::atomic<double> MFXFocusPosition;
    std::atomic<double> RoundCrownPercent;
    std::atomic<double> RoundGridlePercent;

    // Bounds of the waits inside an alignment (milliseconds), settings `PMALMEASTO` (a stone
    // measurement from a frame taken after the motion), `PMALGMSTO` (the host's MOVESTAT answer
    // to one GMS) and `PMALSETTLE` (time after the host reported the axes still before a frame
    // counts as showing where the motion left the stone).
    std::atomic<int> MeasurementWaitMs;
    std::atomic<int> StatusAnswerWaitMs;
    std::atomic<int> SettleMs;
    // `PMALPOSTOL` (axis units): inside an alignment or a scan the end of a motion counts only
    // once the positions the host reports (COORDS) stand this close to the ones commanded.
    std::atomic<double> PositionTolerance;
    // `PMALRESMAX` (micrometres, i.e. thousandths of an axis unit like the pixel sizes): an
    // alignment whose residual after its last move is larger on any axis it aligns fails with
    // RESIDUAL. Two TL pixels when the key is missing or out of range.
    std::atomic<double> ResidualLimitUm;

    // The Top Large group (marks, calibration, waits) and the Marking Front group, as the
    // Top Large and Marking Front pages load and save them. A missing, malformed or
    // out-of-range value is read as its default, with a log line naming the key.
    void loadTopLarge(Registry& registry, Logs& log);
    void saveTopLarge(Registry& registry) const;
    void loadMarkingFront(Registry& registry, Logs& log);
    void saveMarkingFront(Registry& registry) const;

    // A snapshot of the parameters the targets are computed from.
    alignment::Parameters CurrentParameters() const;

private:
    void loadWaitParameters(Registry& registry, Logs& log);
};
