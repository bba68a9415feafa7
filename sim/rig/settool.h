#pragma once

#include <functional>
#include <string>

// The command line shared by the labelled-set tools (stone-set, girdle-set):
//   NAME render --seed N [--count M] --out DIR
//   NAME score TRUTH.csv REPLAY.txt
// Runs render or score and returns its exit status; 2 with the usage on standard error for
// anything else (an unknown option, a negative seed, a count outside 1..100000, no folder).
namespace settool {

struct Commands
{
    const char* name;  // "stone-set"
    int defaultCount;  // frames rendered without --count
    std::function<int(unsigned seed, int count, const std::string& dir)> render;
    std::function<int(const std::string& truthPath, const std::string& replayPath)> score;
};

int run(int argc, char** argv, const Commands& commands);

} // namespace settool
