// The progress line on a terminal; see progress.h.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "progress.h"

namespace {

constexpr zoff_t PROGRESS_OFF = INT64_MAX;
// 256 KiB: about 400 clock reads a second at 100 MiB/s, fewer when slower;
// even the slowest step (level-9 compression, ~25 MiB/s) reaches the
// 100 ms redraw interval between two reads.
constexpr zoff_t PROGRESS_CHECK_BYTES = 256 * 1024;
constexpr std::int64_t REDRAW_NS = 100'000'000;

const char* step_name = "";
zoff_t step_total;
zoff_t step_first;  // progress_done when the step started, for the rate
std::int64_t started_ns;
std::int64_t drawn_ns;
std::size_t drawn_len;  // length of the line on screen, to blank a longer one
volatile std::sig_atomic_t showing;

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// "1023 B", "12.3 KiB", "1.2 GiB".
void human(char* buf, std::size_t size, double bytes)
{
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        u++;
    }
    std::snprintf(buf, size, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
}

void draw(std::int64_t now)
{
    zoff_t done = progress_done < step_total ? progress_done : step_total;
    int percent = step_total > 0 ? static_cast<int>(done * 100 / step_total) : 100;
    char done_text[32], total_text[32], rate_text[40] = "";
    human(done_text, sizeof done_text, static_cast<double>(done));
    human(total_text, sizeof total_text, static_cast<double>(step_total));
    // The rate needs a measurable interval; the first line has none.
    if (now - started_ns >= 1'000'000) {
        char rate[32];
        human(rate, sizeof rate,
              static_cast<double>(done - step_first) * 1e9 / static_cast<double>(now - started_ns));
        std::snprintf(rate_text, sizeof rate_text, "  %s/s", rate);
    }
    char line[160];
    int len = std::snprintf(line, sizeof line, "\r%s %3d%%  %s of %s%s", step_name, percent, done_text,
                            total_text, rate_text);
    std::size_t n = static_cast<std::size_t>(len);
    // Blanks over the rest of a longer line drawn before.
    while (n < drawn_len && n < sizeof line - 1) line[n++] = ' ';
    drawn_len = static_cast<std::size_t>(len);
    std::size_t off = 0;
    while (off < n) {
        ssize_t w = write(STDERR_FILENO, line + off, n - off);
        if (w <= 0) break;  // a terminal that fails us gets no retries
        off += static_cast<std::size_t>(w);
    }
    drawn_ns = now;
}

}  // namespace

zoff_t progress_done;
zoff_t progress_next = PROGRESS_OFF;

void progress_start(const char* step, zoff_t total, zoff_t done)
{
    progress_abandon();
    progress_done = done;
    progress_next = PROGRESS_OFF;
    if (!isatty(STDERR_FILENO)) return;
    step_name = step;
    step_total = total > 0 ? total : 0;
    step_first = done;
    started_ns = now_ns();
    drawn_len = 0;
    showing = 1;
    draw(started_ns);
    progress_next = done + PROGRESS_CHECK_BYTES;
}

void progress_tick()
{
    progress_next = progress_done + PROGRESS_CHECK_BYTES;
    std::int64_t now = now_ns();
    if (now - drawn_ns >= REDRAW_NS) draw(now);
}

void progress_end()
{
    if (!showing) return;
    progress_done = step_total;
    draw(now_ns());
    progress_abandon();
}

void progress_abandon()
{
    progress_next = PROGRESS_OFF;
    if (!showing) return;
    showing = 0;
    ssize_t w = write(STDERR_FILENO, "\n", 1);
    (void)w;
}
