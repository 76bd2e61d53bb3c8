// Memory sources and sinks for the codec tests: the codec runs on strings,
// with no file, no descriptor and no child process in between.
#pragma once

#include <string>
#include <vector>

#include "gzip.h"

namespace testutil {

// Keeps every byte written, and the size of each write (the inflater writes
// one whole window at a time, so the writes show its flushes).
struct StringSink {
    std::string data;
    std::vector<std::size_t> writes;
    int fail_after = -1;  // writes that succeed before every later one fails with EIO; -1 never

    sink get() { return {put, -1, this}; }
    static bool put(const sink& self, const uch* buf, unsigned size)
    {
        auto* s = static_cast<StringSink*>(self.ctx);
        if (s->fail_after >= 0 && s->writes.size() >= static_cast<std::size_t>(s->fail_after)) {
            errno = EIO;
            return false;
        }
        s->data.append(reinterpret_cast<const char*>(buf), size);
        s->writes.push_back(size);
        return true;
    }
};

// Hands out a string in reads of at most `step` bytes (a pipe's short
// reads), then the end; with `fail` set, a failed read (EIO) instead of it.
struct StringSource {
    std::string data;
    std::size_t at = 0;
    std::size_t step = ~std::size_t{0};
    bool fail = false;

    explicit StringSource(std::string d) : data(std::move(d)) {}
    source get() { return {take, -1, this}; }
    static long take(const source& self, uch* buf, unsigned size)
    {
        auto* s = static_cast<StringSource*>(self.ctx);
        std::size_t n = std::min({static_cast<std::size_t>(size), s->data.size() - s->at, s->step});
        if (n == 0 && s->fail) {
            errno = EIO;
            return -1;
        }
        std::copy_n(s->data.data() + s->at, n, reinterpret_cast<char*>(buf));
        s->at += n;
        return static_cast<long>(n);
    }
};

// A member decoded in memory: the header's result, the body's, the output.
struct Decoded {
    codec_result header{};
    codec_result body{};
    std::string out;
    std::vector<std::size_t> writes;
};

inline Decoded decode_member(const std::string& member)
{
    reset_gzip_state();
    set_to_stdout(1);
    StringSource in(member);
    StringSink out;
    Decoded d;
    start_input(in.get());
    d.header = get_method(in.get());
    if (!failed(d.header)) d.body = unzip(in.get(), out.get());
    d.out = out.data;
    d.writes = out.writes;
    return d;
}

// One member written in memory from `data`, named `name` in its header.
inline std::string zip_string(const std::string& data, const char* name = "in")
{
    reset_gzip_state();
    set_ifname(name);
    StringSource in(data);
    StringSink out;
    const codec_result r = zip(in.get(), out.get());
    return failed(r) ? std::string() : out.data;
}

}  // namespace testutil
