#pragma once

#include "motion/motioncore.h"

// A stone as the top tracker would report it, for tests that inject tracker results: its centre
// row follows X the way the station's targets assume (the X target X + p * (row - line) puts the
// centre on the line), its right edge and top edge stay at fixed distances from the centre.
// onLineAtX is the X at which the centre stands on OverlayTLCenterH.
struct VirtualStone
{
    double onLineAtX = 4.0;
    double centerX = 400;
    double radius = 300;      // TL pixels; the diameter is 2 * radius * TLPixelSize / 1000
    bool visible = true;

    // A stone of the given diameter (axis units) at the station's default TL pixel size.
    static VirtualStone withDiameter(double diameter)
    {
        VirtualStone stone;
        stone.radius = diameter / 2.0 / 0.0256;
        return stone;
    }

    void deliver(MotionCore* core, double hostX) const
    {
        if (!visible) {
            core->RefreshTLTracker(-1, -1, -1, -1, -1, -1);
            return;
        }
        const double p = core->TLPixelSize / 1000.0;
        const double row = core->OverlayTLCenterH + (onLineAtX - hostX) / p;
        core->RefreshTLTracker(centerX, row, centerX + radius, row, centerX, row - radius);
    }
};
