// libFuzzer target: arbitrary bytes through the real gzip header reader and
// inflater, from memory into a sink that only counts.
//
// Every failure comes back as the codec's result, so one process tries input
// after input. reset_gzip_state() starts each input from the state of a new
// process, the compressor's and the inflater's included.
#include <cstdint>

#include "fuzz_util.h"
#include "gzip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    reset_gzip_state();
    memory_input bytes{data, size};
    const source in = memory_source(bytes);
    start_input(in);
    set_progname("fuzz");
    set_ifname("input");
    set_ofname("stdout");
    // The last byte picks the header options, so -c, -l and -v paths are all reached.
    unsigned opts = size != 0 ? data[size - 1] : 0;
    set_to_stdout(opts & 1);
    set_list((opts >> 1) & 1);
    set_verbose((opts >> 2) & 1);

    const codec_result header = get_method(in);
    if (!failed(header)) {
        // Memory never fails to read and the counting sink never to write:
        // any failure is the data's.
        const codec_result body = unzip(in, counting_sink());
        FUZZ_CHECK(body.status != codec_status::read_failed && body.status != codec_status::write_failed);
    }
    return 0;
}
