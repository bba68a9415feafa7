#pragma once

#include "core/logs.h"

#include <QString>

#include <exception>
#include <utility>

namespace vision {

// Runs a vision worker's frame and logs what makes it fail. A setting OpenCV rejects fails
// every frame the same way: the failure is said once, not at the camera's frame rate, and
// again once it changed or a frame went through. After a failure, onFailure() publishes what
// the frame got to. Worker thread only.
class FrameFailures
{
public:
    explicit FrameFailures(QString logPrefix)
        : prefix(std::move(logPrefix))
    {
    }

    template <typename Process, typename OnFailure>
    void run(Logs* logging, Process process, OnFailure onFailure)
    {
        try {
            process();
            last.clear();
        } catch (const std::exception& e) {
            onFailure();
            report(logging, QString::fromLocal8Bit(e.what()));
        } catch (...) {
            onFailure();
            report(logging, QStringLiteral("unknown error"));
        }
    }

private:
    void report(Logs* logging, const QString& text)
    {
        if (text != last && logging)
            logging->udebug(prefix + text);
        last = text;
    }

    QString prefix;
    QString last; // the failure last logged; empty after a frame that went through
};

} // namespace vision
