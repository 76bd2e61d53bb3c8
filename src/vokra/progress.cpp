// The progress line on a terminal; see progress.h. Its state is the
// terminal section of the driver's state.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "progress.h"

namespace {

// 256 KiB: about 400 clock reads a second at 100 MiB/s, fewer when slower;
// even the slowest step (level-9 compression, ~25 MiB/s) reaches the
// 100 ms redraw interval between two reads.
constexpr zoff_t PROGRESS_CHECK_BYTES = 256 * 1024;
constexpr std::int64_t REDRAW_NS = 100'000'000;

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
    zoff_t done = driver.progress_done < driver.step_total ? driver.progress_done : driver.step_total;
    int percent = driver.step_total > 0 ? static_cast<int>(done * 100 / driver.step_total) : 100;
    char done_text[32], total_text[32], rate_text[40] = "";
    human(done_text, sizeof done_text, static_cast<double>(done));
    human(total_text, sizeof total_text, static_cast<double>(driver.step_total));
    // The rate needs a measurable interval; the first line has none.
    if (now - driver.started_ns >= 1'000'000) {
        char rate[32];
        human(rate, sizeof rate,
              static_cast<double>(done - driver.step_first) * 1e9 /
                  static_cast<double>(now - driver.started_ns));
        std::snprintf(rate_text, sizeof rate_text, "  %s/s", rate);
    }
    char line[160];
    int len = std::snprintf(line, sizeof line, "\r%s %3d%%  %s of %s%s", driver.step_name, percent, done_text,
                            total_text, rate_text);
    std::size_t n = static_cast<std::size_t>(len);
    // Blanks over the rest of a longer line drawn before.
    while (n < driver.drawn_len && n < sizeof line - 1) line[n++] = ' ';
    driver.drawn_len = static_cast<std::size_t>(len);
    std::size_t off = 0;
    while (off < n) {
        ssize_t w = write(STDERR_FILENO, line + off, n - off);
        if (w <= 0) break;  // a terminal that fails us gets no retries
        off += static_cast<std::size_t>(w);
    }
    driver.drawn_ns = now;
}

}  // namespace

void progress_start(const char* step, zoff_t total, zoff_t done)
{
    progress_abandon();
    driver.progress_done = done;
    driver.progress_next = PROGRESS_OFF;
    if (!isatty(STDERR_FILENO)) return;
    driver.step_name = step;
    driver.step_total = total > 0 ? total : 0;
    driver.step_first = done;
    driver.started_ns = now_ns();
    driver.drawn_len = 0;
    driver.showing = 1;
    draw(driver.started_ns);
    driver.progress_next = done + PROGRESS_CHECK_BYTES;
}

void progress_tick()
{
    // Only the zero of the start brings a count here with no line showing.
    if (!driver.showing) {
        driver.progress_next = PROGRESS_OFF;
        return;
    }
    driver.progress_next = driver.progress_done + PROGRESS_CHECK_BYTES;
    std::int64_t now = now_ns();
    if (now - driver.drawn_ns >= REDRAW_NS) draw(now);
}

void progress_end()
{
    if (!driver.showing) return;
    driver.progress_done = driver.step_total;
    draw(now_ns());
    progress_abandon();
}

void progress_abandon()
{
    driver.progress_next = PROGRESS_OFF;
    if (!driver.showing) return;
    driver.showing = 0;
    ssize_t w = write(STDERR_FILENO, "\n", 1);
    (void)w;
}
