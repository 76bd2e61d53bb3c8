// The compressor and decompressor used as a library: standard input to
// standard output as one gzip member (what `gzip -9n` writes), or back with -d.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "gzip_compress.h"
#include "gzip_decompress.h"

namespace {

constexpr const char* PROGRAM = "gzip_example";

// The message for a failed result, naming the stream it concerns.
void report(const codec_result& r)
{
    switch (r.status) {
        case codec_status::ok:
            return;
        case codec_status::bad_data:
            if (r.detail != nullptr) std::fputs(r.detail, stderr);
            std::fprintf(stderr, "%s: stdin: %s\n", PROGRAM, r.reason);
            return;
        case codec_status::truncated:
            std::fprintf(stderr, "%s: stdin: unexpected end of file\n", PROGRAM);
            return;
        case codec_status::read_failed:
            std::fprintf(stderr, "%s: stdin: %s\n", PROGRAM, std::strerror(r.error));
            return;
        case codec_status::write_failed:
            std::fprintf(stderr, "%s: stdout: %s\n", PROGRAM, std::strerror(r.error));
            return;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const bool decompress = argc == 2 && std::strcmp(argv[1], "-d") == 0;
    if (argc > 2 || (argc == 2 && !decompress)) {
        std::fprintf(stderr, "usage: %s [-d] < input > output\n", PROGRAM);
        return 1;
    }
    zoff_t size = 0;
    const codec_result r = decompress ? gzip_decompress(fd_source(STDIN_FILENO), fd_sink(STDOUT_FILENO), size)
                                      : gzip_compress(fd_source(STDIN_FILENO), fd_sink(STDOUT_FILENO), size);
    if (failed(r)) {
        report(r);
        return 1;
    }
    return 0;
}
