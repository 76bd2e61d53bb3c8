// Inflate speed on members held in the page cache, written to /dev/null: the
// member reader and inflater alone, without the archive driver or a pipe.
// Every run goes through unzip, which checks the CRC and length, so a wrong
// decode fails the benchmark instead of timing it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "gzip.h"

namespace {

// Text-like data with repeats, so the member has the usual mix of literals
// and matches; or random bytes, which writers store.
std::string sample(std::size_t n, bool random)
{
    std::string s;
    s.reserve(n);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    static const char* const words[] = {"alpha ",   "beta ",   "gamma ", "delta\n",
                                        "inflate ", "window ", "0x1F8B "};
    while (s.size() < n) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        if (random)
            s += static_cast<char>(x >> 24);
        else if ((x >> 40) % 16 == 0)
            s.append(s.size() > 3000 ? s.substr(s.size() - 3000 + (x >> 20) % 2000, 40) : "x");
        else
            s += words[(x >> 33) % 7];
    }
    s.resize(n);
    return s;
}

// Writes the sample to a temporary file, compresses it with `writer`, and
// returns a descriptor open on the member (its files already removed).
int make_member(const std::string& writer, bool random)
{
    char dir[] = "/tmp/vokra-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    std::string data_path = std::string(dir) + "/data", member = std::string(dir) + "/data.gz";
    std::string data = sample(16 << 20, random);
    std::FILE* f = std::fopen(data_path.c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    std::string cmd = writer + " < '" + data_path + "' > '" + member + "'";
    if (std::system(cmd.c_str()) != 0) std::abort();
    // The open descriptor keeps the member readable; the files go now.
    int fd = open(member.c_str(), O_RDONLY);
    if (fd < 0) std::abort();
    cmd = std::string("rm -rf '") + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::abort();
    return fd;
}

// Decodes into a sink that only counts, so the time is the decoder's.
void run_inflate(benchmark::State& state, int in)
{
    zoff_t total = 0;
    for (auto _ : state) {
        lseek(in, 0, SEEK_SET);
        start_input(fd_source(in));
        set_byte_counts(0, 0);
        set_to_stdout(1);
        if (failed(get_method(stream.in)) || failed(unzip(stream.in, counting_sink()))) std::abort();
        total += stream.bytes_out;
    }
    state.SetBytesProcessed(total);
}

void BM_InflateText(benchmark::State& state, const char* writer)
{
    static int member = -1;
    static std::string made_by;
    if (made_by != writer) {
        if (member >= 0) close(member);
        member = make_member(writer, false);
        made_by = writer;
    }
    run_inflate(state, member);
}

void BM_InflateRandom(benchmark::State& state)
{
    static const int member = make_member("gzip -6", true);
    run_inflate(state, member);
}

BENCHMARK_CAPTURE(BM_InflateText, gzip_1, "gzip -1")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InflateText, gzip_6, "gzip -6")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InflateText, gzip_9, "gzip -9")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InflateText, zlib_fixed,
                  "python3 -c \"import sys,zlib; c=zlib.compressobj(6,8,31,9,zlib.Z_FIXED); "
                  "sys.stdout.buffer.write(c.compress(sys.stdin.buffer.read())+c.flush())\"")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateRandom)->Unit(benchmark::kMillisecond);

}  // namespace
