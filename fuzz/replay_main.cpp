// Replays fuzz inputs (files, or every file of a directory) through the fuzz
// target without libFuzzer, so the seed corpus runs as an ordinary test.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay_file(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    std::vector<std::uint8_t> buf;
    int c;
    while ((c = std::fgetc(f)) != EOF) buf.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    LLVMFuzzerTestOneInput(buf.data(), buf.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    int replayed = 0, failed = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        struct stat st;
        if (stat(arg.c_str(), &st) != 0) {
            std::perror(arg.c_str());
            failed++;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            replayed += replay_file(arg) ? 1 : 0;
            continue;
        }
        DIR* d = opendir(arg.c_str());
        while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
            if (e->d_name[0] == '.') continue;
            if (replay_file(arg + "/" + e->d_name))
                replayed++;
            else
                failed++;
        }
        if (d != nullptr) closedir(d);
    }
    std::printf("replayed %d inputs\n", replayed);
    return failed == 0 && replayed > 0 ? 0 : 1;
}
