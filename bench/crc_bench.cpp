// CRC-32 throughput on an in-memory buffer.
#include <benchmark/benchmark.h>

#include <string>

#include "gzip.h"

namespace {

void BM_crc32(benchmark::State& state)
{
    std::string buf(static_cast<std::size_t>(state.range(0)), '\0');
    for (std::size_t i = 0; i < buf.size(); i++) buf[i] = static_cast<char>(i * 2654435761u >> 13);
    const uch* p = reinterpret_cast<const uch*>(buf.data());
    ulg crc = 0;
    for (auto _ : state) {
        crc = crc32_update(crc, p, buf.size());
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_crc32)->Arg(4096)->Arg(1 << 20);

}  // namespace
