// libFuzzer target: find_preamble on arbitrary archive files, checked against
// a direct reading of the layout, then the listing of the same file.
//
// Input: byte 0 sets a run of 'v' bytes (64 per unit, up to 16320) put before
// the rest, so the marker lands across the scanner's 8191-byte reads and
// after bytes equal to its own first byte; bit 0 of the last byte turns on
// -v for the listing, which reports a truncated gzip header or trailer and
// returns.
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "fuzz_util.h"
#include "vokra.h"

namespace {

// What find_preamble must return for this file: the preamble end, or -1.
struct Expected {
    long end = -1;
    std::string strings[4];
};

Expected read_layout(const std::string& file)
{
    Expected e;
    std::size_t at = file.find(std::string("vokra+") + "magik");
    if (at == std::string::npos) return e;
    std::size_t p = at + MARKER_LEN;
    for (std::string& s : e.strings) {
        std::size_t nul = file.find('\0', p);
        std::size_t stop = nul == std::string::npos ? file.size() : nul;
        // A string that fills the whole buffer without its NUL is refused.
        if (stop - p >= PREAMBLE_BUFSIZ) return Expected{};
        s = file.substr(p, stop - p);
        p = nul == std::string::npos ? file.size() : nul + 1;
    }
    e.end = static_cast<long>(p);
    return e;
}

fuzz::ScratchFile* archive;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (archive == nullptr) {
        archive = new fuzz::ScratchFile;
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);  // the listing's output
        close(null_fd);
    }
    if (size == 0) return 0;
    std::string file(std::size_t{data[0]} * 64, 'v');
    file.append(reinterpret_cast<const char*>(data) + 1, size - 1);
    archive->rewrite(file.data(), file.size());
    const char* path = archive->path().c_str();

    reset_driver_state();
    set_progname("fuzz");
    Expected want = read_layout(file);
    int fd = find_preamble(path);
    if (want.end < 0) {
        FUZZ_CHECK(fd == -1);
    } else {
        FUZZ_CHECK(fd != -1);
        FUZZ_CHECK(driver.preamble_end == want.end);
        FUZZ_CHECK(lseek(fd, 0, SEEK_CUR) == want.end);
        const char* got[] = {driver.features, driver.comment, driver.run_program, driver.pipe_program};
        for (int i = 0; i < 4; i++) FUZZ_CHECK(want.strings[i] == got[i]);
        close(fd);
    }

    set_verbose(data[size - 1] & 1);
    do_list(path);
    return 0;
}
