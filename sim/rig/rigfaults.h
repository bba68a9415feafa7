#pragma once

// The rig's injected failures: rules that make the next calls of a name (on one camera, or on
// any) return a chosen status without doing anything, a chosen number of times.
//
// Threads: not guarded by itself; Rig holds its rig-wide mutex around every use.

#include <string>
#include <vector>

namespace rig {

class FailureRules
{
public:
    void add(const std::string& call, int status, int times, const std::string& serial);
    void clear();
    // The status the call must fail with (the first rule that applies, used up by one), 0 when
    // no rule applies.
    int take(const std::string& call, const std::string& serial);

private:
    struct Rule
    {
        std::string call;
        std::string serial; // empty: any camera
        int status = 0;
        int remaining = 0;
    };
    std::vector<Rule> rules;
};

} // namespace rig
