#include "settool.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace settool {

int run(int argc, char** argv, const Commands& commands)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "score")
        return commands.score(args[1], args[2]);
    if (!args.empty() && args[0] == "render") {
        long seed = -1, count = commands.defaultCount;
        std::string out;
        for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
            if (args[i] == "--seed")
                seed = std::strtol(args[i + 1].c_str(), nullptr, 10);
            else if (args[i] == "--count")
                count = std::strtol(args[i + 1].c_str(), nullptr, 10);
            else if (args[i] == "--out")
                out = args[i + 1];
            else
                seed = -2;
        }
        if (seed >= 0 && count > 0 && count <= 100000 && !out.empty())
            return commands.render(unsigned(seed), int(count), out);
    }
    std::fprintf(stderr, "usage: %s render --seed N [--count M] --out DIR\n       %s score TRUTH.csv REPLAY.txt\n",
                 commands.name, commands.name);
    return 2;
}

} // namespace settool
