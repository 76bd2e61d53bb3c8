// The driver's side of the codec: the sources that count progress, and the
// messages that a codec result turns into.
#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "progress.h"
#include "vokra.h"

namespace {

long read_counted(const source& self, uch* buf, unsigned size)
{
    const long n = read_fd(self, buf, size);
    if (n > 0) progress_count(n);
    return n;
}

long read_tar(const source&, uch* buf, unsigned size)
{
    const long n = tar_read(reinterpret_cast<char*>(buf), size);
    if (n > 0) progress_count(n);
    return n;
}

}  // namespace

source progress_source(int fd)
{
    return {read_counted, fd, nullptr};
}

source tar_source()
{
    return {read_tar, -1, nullptr};
}

void report_codec_failure(const codec_result& r)
{
    progress_abandon();
    switch (r.status) {
        case codec_status::ok:
            return;
        case codec_status::bad_data:
            if (r.detail != nullptr) std::fputs(r.detail, stderr);
            print_stored(stderr, "\n%s: %s: %s\n", stream.progname, stream.ifname, r.reason);
            return;
        case codec_status::truncated:
            print_stored(stderr, "\n%s: %s: unexpected end of file\n", stream.progname, stream.ifname);
            return;
        case codec_status::read_failed:
        case codec_status::write_failed:
            print_stored(stderr, "\n%s: ", stream.progname);
            errno = r.error;
            perror_stored(r.status == codec_status::read_failed ? stream.ifname : stream.ofname);
            return;
    }
}

bool header_read(const codec_result& r)
{
    if (gzip.verbose && gzip.part >= 0)
        print_stored(stderr, "%s: %s: part number %d\n", stream.progname, stream.ifname, gzip.part);
    if (gzip.verbose && gzip.extra_length >= 0)
        print_stored(stderr, "%s: %s: extra field of %d bytes ignored\n", stream.progname, stream.ifname,
                     gzip.extra_length);
    if (!failed(r)) return true;
    if (r.reason == NOT_GZIP) {
        print_stored(stderr, "%s: can only handle GZIP compression method\n", stream.progname);
    } else if (r.reason == UNKNOWN_METHOD) {
        print_stored(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n", stream.progname,
                     stream.ifname, gzip.method);
    } else {
        report_codec_failure(r);
    }
    return false;
}
