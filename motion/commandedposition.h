#pragma once

#include "hostlink/hostmessages.h"
#include "motion/alignmenttargets.h"

#include <QString>

// Where the station has asked the host to put the axes since it last saw them stand, and whether
// the positions the host reports (COORDS) show them there. A host may say "still" (MOVESTAT)
// before its final COORDS arrive, or a late MOVESTAT may answer an earlier question: a motion
// wait that also requires the commanded positions never takes the old position for the new one.
class CommandedPosition
{
public:
    using Axis = hostmessages::Axis;

    void clear();
    bool empty() const;
    // An absolute move: the axis is expected at the position as the command carries it (six
    // significant digits).
    void moveTo(Axis axis, double position);
    // A relative move: from the axis's earlier commanded position, or from where it was reported
    // when there is none (the host adds the step to its own target the same way).
    void moveBy(Axis axis, double distance, const alignment::AxisPositions& reported);

    // Empty when every commanded axis is reported within tolerance of its commanded position (plus
    // the last digit a six-digit number can carry at that size); otherwise, for each axis that is
    // not, "X stood at 10.2 where 10.5 was commanded".
    QString mismatch(const alignment::AxisPositions& reported, double tolerance) const;

    static QString axisName(Axis axis);

private:
    static constexpr int AxisCount = 5;
    bool commanded[AxisCount] = {false, false, false, false, false};
    double target[AxisCount] = {0, 0, 0, 0, 0};
};
