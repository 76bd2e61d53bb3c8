// The compressor (match finder, trees, bit writer) on in-memory buffers of
// text and of binary code, output discarded. Each run is checked against a
// CRC of the input so a broken build cannot time well.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "gzip.h"

namespace {

std::string corpus(const char* cmd)
{
    std::string s;
    if (FILE* p = popen(cmd, "r")) {
        char buf[65536];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) s.append(buf, n);
        pclose(p);
    }
    return s;
}

const std::string& text()
{
    static const std::string s = corpus("tar cf - -C /usr include 2>/dev/null | head -c 8388608");
    return s;
}

const std::string& binary()
{
    static const std::string s = corpus(
        "find /usr/lib -name '*.so*' -type f -size +64k 2>/dev/null | sort | tar cf - -T - 2>/dev/null | "
        "head -c 8388608");
    return s;
}

const std::string* input;
std::size_t input_pos;
ulg input_crc;

long read_memory(const source&, uch* buf, unsigned size)
{
    std::size_t n = std::min<std::size_t>(size, input->size() - input_pos);
    std::memcpy(buf, input->data() + input_pos, n);
    input_crc = crc32_update(input_crc, buf, n);
    input_pos += n;
    return static_cast<long>(n);
}

constexpr source MEMORY = {read_memory, -1, nullptr};

void run(benchmark::State& state, const std::string& data)
{
    if (data.empty()) {
        state.SkipWithError("no corpus on this machine");
        return;
    }
    const ulg want = crc32_update(0, reinterpret_cast<const uch*>(data.data()), data.size());
    zoff_t compressed = 0;
    for (auto _ : state) {
        reset_gzip_state();
        start_output(counting_sink());
        input = &data;
        input_pos = 0;
        input_crc = 0;
        ush attr = 0, flags = 0;
        bi_init(-1);
        set_compressor_input(MEMORY);
        ct_init(&attr, &gzip.method);
        lm_init(9, &flags);
        compressed = static_cast<zoff_t>(deflate());
        flush_outbuf();
        if (input_crc != want) state.SkipWithError("input not read whole");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
    state.counters["ratio%"] = 100.0 * static_cast<double>(compressed) / static_cast<double>(data.size());
}

void BM_deflate_text(benchmark::State& state)
{
    run(state, text());
}
void BM_deflate_binary(benchmark::State& state)
{
    run(state, binary());
}
BENCHMARK(BM_deflate_text)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_deflate_binary)->Unit(benchmark::kMillisecond);

}  // namespace
