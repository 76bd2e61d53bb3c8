// libFuzzer target: arbitrary bytes through the real gzip header reader and
// inflater, output to /dev/null.
//
// The reader ends the process on every fatal error (end of input, corrupt
// data). Here abort_cleanup, which runs just before that exit, jumps back
// to the harness instead, so one process can try input after input. The
// inflater keeps no state across such a jump that inflate() does not reset.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "gzip.h"

namespace {

std::jmp_buf fatal_exit;

[[noreturn]] void back_to_harness()
{
    std::longjmp(fatal_exit, 1);
}

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

    insize = inptr = outcnt = 0;
    bytes_in = bytes_out = 0;
    ifd = in_fd;
    ofd = null_fd;
    progname = "fuzz";
    std::strcpy(ifname, "input");
    std::strcpy(ofname, "stdout");
    // The last byte picks the header options, so -c, -l and -v paths are all reached.
    unsigned opts = size != 0 ? data[size - 1] : 0;
    to_stdout = opts & 1;
    list = (opts >> 1) & 1;
    verbose = (opts >> 2) & 1;

    if (setjmp(fatal_exit) == 0) {
        abort_cleanup = back_to_harness;
        if (get_method(in_fd) == DEFLATED) unzip(in_fd, null_fd);
    }
    abort_cleanup = nullptr;
    return 0;
}
