#include "rigfaults.h"

namespace rig {

void FailureRules::add(const std::string& call, int status, int times, const std::string& serial)
{
    rules.push_back(Rule{call, serial, status, times});
}

void FailureRules::clear()
{
    rules.clear();
}

int FailureRules::take(const std::string& call, const std::string& serial)
{
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        if (it->call != call || (!it->serial.empty() && it->serial != serial) || it->remaining <= 0)
            continue;
        const int status = it->status;
        if (--it->remaining <= 0)
            rules.erase(it);
        return status;
    }
    return 0;
}

} // namespace rig
