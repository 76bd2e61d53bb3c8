// Progress on a terminal: one line on standard error that rewrites itself
// while a long step moves its bytes (checking, extracting, compressing).
//
// Nothing at all is written unless standard error is a terminal when the step
// starts. The byte paths (refills, raw copies, the compressor's reads) call
// progress_count() once per block of up to 64 KiB: one addition and one
// comparison. The clock is read only every PROGRESS_CHECK_BYTES and the line
// redrawn at most every 100 ms, so the meter costs nothing measurable.
#pragma once

#include "vokra.h"

// progress_next while no line shows: no count reaches it.
constexpr zoff_t PROGRESS_OFF = INT64_MAX;

void progress_tick();

inline void progress_count(zoff_t n)
{
    driver.progress_done += n;
    if (driver.progress_done >= driver.progress_next) progress_tick();
}

// Starts a step of `total` bytes of which `done` are already behind us, and
// shows its first line, when standard error is a terminal.
void progress_start(const char* step, zoff_t total, zoff_t done);
// Shows the line at 100% and ends it with a newline.
void progress_end();
// Ends a line that is showing (a failure follows: no 100% line). Writes with
// write(2) alone, so a signal handler may call it.
void progress_abandon();
