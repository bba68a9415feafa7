#include "motion/motionoutcome.h"

namespace alignment {

QString Millis(qint64 microseconds)
{
    return QString::number((microseconds + 500) / 1000);
}

} // namespace alignment
