// The listing (-l): an archive's preamble strings and, for a compressed
// payload, one line of gzip statistics read from the member's header and trailer.
//
// The listing is how a careful user inspects an archive before running it,
// so on a terminal the stored strings and name are shown through put_stored,
// with everything the terminal could interpret escaped: a carriage return or
// an escape sequence cannot paint a harmless command over the real one. Into
// a pipe or a file the bytes go out as stored.
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "vokra.h"

// Method names by gzip method number, printed with "%5s".
const char* const methods[9] = {"store", "compr", "pack ", "lzh  ", "", "", "", "", "defla"};

// Prints the ratio in tenths of a percent. Above 2147482 the numerator is
// divided first: that was the bound at which num * 1000 still fitted 31 bits,
// and the cut-over is kept so the printed figures stay the same.
void display_ratio(zoff_t num, zoff_t den, FILE* file)
{
    zoff_t ratio;
    if (den == 0) {
        ratio = 0;
    } else if (den > 2147482) {
        ratio = num / (den / 1000);
    } else {
        ratio = (num * 1000) / den;
    }
    if (ratio < 0) {
        std::putc('-', file);
        ratio = -ratio;
    } else {
        std::putc(' ', file);
    }
    std::fprintf(file, "%2ld.%1ld%%", static_cast<long>(ratio / 10), static_cast<long>(ratio % 10));
}

namespace {

// The listing of one archive from its descriptor on; returns false when it
// failed (message printed): a header that is not read whole, an over-long
// stored name, an unreadable trailer.
bool list_archive(int fd, const char* path)
{
    // The member reader starts from this archive's first payload byte, never
    // from bytes left over by an earlier operand.
    start_input(fd_source(fd));
    forget_time_stamp();
    set_ifname(path);
    set_ofname("stdout");

    const bool compressed = get_feature("NOCOMPR") == nullptr;
    int meth = DEFLATED;
    if (compressed) {
        if (!header_read(get_method(stream.in))) return false;
        meth = gzip.method;
    }

    auto line = [](const char* label, const char* text) {
        std::fputs(label, stdout);
        put_stored(stdout, text);
        std::putchar('\n');
    };
    if (driver.features[0] != '\0') line("Feature: ", driver.features);
    line("Comment: ", driver.comment);
    line("    Run: ", driver.run_program);
    line("Extract: ", driver.pipe_program[0] != '\0' ? driver.pipe_program : default_extract_command());

    if (!compressed) {
        std::printf("Statistics unavailable because data was not compressed\n");
        return true;
    }

    if (driver.first_time) {
        driver.first_time = 0;
        if (gzip.verbose) std::printf("method  crc     date  time  ");
        std::printf("compressed  uncompr. ratio uncompressed_name\n");
    }

    // -1 marks a size or CRC that could not be had.
    ulg crc = 0xffffffff;
    set_byte_counts(-1, -1);
    off_t end = lseek(fd, -8, SEEK_END);
    if (end != -1) {
        uch trailer[8];
        errno = 0;
        if (read(fd, trailer, sizeof trailer) != static_cast<ssize_t>(sizeof trailer)) {
            const int e = errno;
            report_codec_failure(
                {e == 0 ? codec_status::truncated : codec_status::read_failed, e, 0, nullptr, nullptr});
            return false;
        }
        crc = get_le32(trailer);
        // The payload's length, gzip header and trailer included, and ISIZE.
        set_byte_counts(static_cast<zoff_t>(end) - driver.preamble_end + 8, get_le32(trailer + 4));
    }

    if (gzip.verbose) {
        time_t stamp = static_cast<time_t>(gzip.time_stamp);
        char date[13] = "";
        const char* text = std::ctime(&stamp);
        if (text != nullptr) std::snprintf(date, sizeof date, "%s", text + 4);  // "Jan  1 00:00"
        std::printf("%5s %08lx %11s ", methods[meth], static_cast<unsigned long>(crc), date);
    }
    std::printf("%9lld %9lld ", static_cast<long long>(stream.bytes_in),
                static_cast<long long>(stream.bytes_out));
    if (stream.bytes_in == -1 || stream.bytes_out == -1) {
        set_byte_counts(0, 0);
        set_header_bytes(0);
    }
    display_ratio(stream.bytes_out - (stream.bytes_in - stream.header_bytes), stream.bytes_out, stdout);
    line(" ", stream.ofname);
    return true;
}

}  // namespace

void do_list(const char* path)
{
    int fd = find_preamble(path);
    if (fd == -1) {
        print_stored(stderr, "%s: unable to find preamble magic value\n", path);
        set_exit_code(1);
        return;
    }
    UniqueFd holder(fd);  // closed after this archive: a long operand list runs out of none
    // A truncated header, an over-long stored name or an unreadable trailer
    // ends this archive's listing with its message; the next operand follows.
    if (!list_archive(fd, path)) set_exit_code(1);
}
