#include "motion/frontcheck.h"

#include "core/logs.h"

namespace {
QString signedNumber(double v)
{
    return (v >= 0.0 ? QStringLiteral("+") : QString()) + QString::number(v, 'f', 1);
}
} // namespace

FrontCheck::FrontCheck(Logs* logging, QObject* parent)
    : QObject(parent)
    , logging(logging)
{
    qRegisterMetaType<GirdleReading>("GirdleReading");
}

void FrontCheck::Arm(qint64 fromUs)
{
    std::lock_guard<std::mutex> checkLock(mutex);
    armed = true;
    freshFromUs = fromUs;
}

bool FrontCheck::Armed() const
{
    std::lock_guard<std::mutex> checkLock(mutex);
    return armed;
}

FrontCheck::Result FrontCheck::Last() const
{
    std::lock_guard<std::mutex> checkLock(mutex);
    return last;
}

FrontCheck::Result FrontCheck::Evaluate(const GirdleReading& reading)
{
    Result r;
    r.valid = true;
    r.found = reading.ok;
    if (!reading.ok) {
        r.text = QStringLiteral("Front check: no girdle (") + girdletext::RefusalWords(reading.reason) + QLatin1Char(')');
        return r;
    }
    r.offsetPx = reading.centreOffsetPx;
    r.offsetUm = reading.centreOffsetPx * reading.pixelSizeUm;
    r.edgeWidthPx = reading.edgeWidthPx;
    r.text = QStringLiteral("Front check: girdle centre ") + signedNumber(r.offsetPx) + QStringLiteral(" px (")
             + signedNumber(r.offsetUm) + QStringLiteral(" \u00b5m) from the middle row, edge width ")
             + QString::number(r.edgeWidthPx, 'f', 1) + QStringLiteral(" px");
    return r;
}

void FrontCheck::onGirdle(GirdleReading reading)
{
    Result r;
    {
        std::lock_guard<std::mutex> checkLock(mutex);
        // A frame exposed before the axes settled shows the girdle where it was before the move.
        if (!armed || (reading.captureTimeUs >= 0 && reading.captureTimeUs < freshFromUs))
            return;
        armed = false;
        r = Evaluate(reading);
        last = r;
    }
    if (logging)
        logging->udebug(r.text);
    emit Checked(r.found, r.text);
}
