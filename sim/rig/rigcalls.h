#pragma once

// The rig's record of the SDK calls the station made: the most recent calls in order, and a
// count per call name and camera since the last clear (counts outlive the recent list).
//
// Threads: not guarded by itself; Rig holds its rig-wide mutex around every use.

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace rig {

struct CallRecord
{
    std::string name;
    std::string serial;        // empty for enumeration calls and unknown handles
    std::vector<double> args;  // the call's scalar arguments, in order
    int status = 0;
};

class CallLog
{
public:
    // The recent list keeps at least this many calls (and at most twice as many).
    static constexpr std::size_t RecentCalls = 4096;

    void add(CallRecord call);
    // Calls named `call` since the last clear; with a serial, only those on that camera.
    int count(const std::string& call, const std::string& serial) const;
    // The recent calls named `call` (all when empty), oldest first.
    std::vector<CallRecord> recentCalls(const std::string& call) const;
    void clear();

private:
    std::vector<CallRecord> recent;
    std::map<std::pair<std::string, std::string>, int> counts;
};

} // namespace rig
