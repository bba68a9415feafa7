#pragma once

#include <QString>

#include <functional>

// How the parts of the host link write a log record: kind names records that are counted
// rather than repeated (see Logs::udebug). The server hands its parts one that prefixes its
// own name.
using HostLinkLog = std::function<void(const QString& text, const QString& kind)>;
