// Feeds every file of the given folders (or the given files) to the fuzz target once.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
int replayFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    int files = 0;
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat info {};
        if (stat(argv[i], &info) != 0) {
            std::fprintf(stderr, "replay: %s does not exist\n", argv[i]);
            return 1;
        }
        if (S_ISDIR(info.st_mode)) {
            DIR* dir = opendir(argv[i]);
            while (dirent* entry = dir ? readdir(dir) : nullptr) {
                if (entry->d_name[0] == '.')
                    continue;
                failures += replayFile(std::string(argv[i]) + "/" + entry->d_name);
                ++files;
            }
            if (dir)
                closedir(dir);
        } else {
            failures += replayFile(argv[i]);
            ++files;
        }
    }
    std::printf("replayed %d inputs\n", files);
    if (files == 0) {
        std::fprintf(stderr, "replay: no input found\n");
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
