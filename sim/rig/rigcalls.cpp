#include "rigcalls.h"

namespace rig {

void CallLog::add(CallRecord call)
{
    ++counts[std::make_pair(call.name, call.serial)];
    recent.push_back(std::move(call));
    // Trimmed in batches, so that a busy station does not shift the list at every call.
    if (recent.size() > 2 * RecentCalls)
        recent.erase(recent.begin(), recent.begin() + static_cast<long>(recent.size() - RecentCalls));
}

int CallLog::count(const std::string& call, const std::string& serial) const
{
    int total = 0;
    for (const auto& entry : counts)
        if (entry.first.first == call && (serial.empty() || entry.first.second == serial))
            total += entry.second;
    return total;
}

std::vector<CallRecord> CallLog::recentCalls(const std::string& call) const
{
    std::vector<CallRecord> selected;
    for (const auto& record : recent)
        if (call.empty() || record.name == call)
            selected.push_back(record);
    return selected;
}

void CallLog::clear()
{
    recent.clear();
    counts.clear();
}

} // namespace rig
