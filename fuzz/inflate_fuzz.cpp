// libFuzzer target: arbitrary bytes through the real gzip header reader and
// inflater, output to /dev/null.
//
// The reader ends the process on every fatal error (end of input, corrupt
// data). Here survive_fatal turns that exit into a return, so one process can
// try input after input. reset_gzip_state() starts each input from the state
// of a new process, the compressor's and the inflater's included.
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "fuzz_util.h"
#include "gzip.h"

namespace {

int in_fd = -1;
int null_fd = -1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (in_fd < 0) {
        std::FILE* f = std::tmpfile();
        if (f == nullptr) return 0;
        in_fd = dup(fileno(f));
        std::fclose(f);
        null_fd = open("/dev/null", O_WRONLY);
    }
    if (ftruncate(in_fd, 0) != 0) return 0;
    if (size != 0 && pwrite(in_fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    lseek(in_fd, 0, SEEK_SET);

    reset_gzip_state();
    start_input(in_fd);
    start_output(null_fd);
    set_progname("fuzz");
    set_ifname("input");
    set_ofname("stdout");
    // The last byte picks the header options, so -c, -l and -v paths are all reached.
    unsigned opts = size != 0 ? data[size - 1] : 0;
    set_to_stdout(opts & 1);
    set_list((opts >> 1) & 1);
    set_verbose((opts >> 2) & 1);

    survive_fatal([&] {
        if (get_method(in_fd) == DEFLATED) unzip(in_fd, null_fd);
    });
    return 0;
}
