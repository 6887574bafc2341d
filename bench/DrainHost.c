/* SPDX-License-Identifier: MIT */
/* The C host of bench/python_read.py, loaded into the Python process: it
 * empties the channels that Python opened, block by block, with the same
 * loop as the end-to-end harness's C host, so that both hosts read through
 * one library instance, from one simulator, in windows that take turns. The
 * read function comes from the library the process has loaded, as a
 * pointer, so that this module links against nothing. */
#include "ktremote.h"

#include <stddef.h>
#include <time.h>

#define BLOCK 4096 /* samples per read call, as the harness's C host */

typedef KX_ERROR_CODE (*ReadFunction)(ChannelInstance*, double*, double*, size_t*);

typedef struct DrainFigures {
    double samples;    /* read over the window */
    double seconds;    /* the window's length */
    double cpuSeconds; /* the calling thread's CPU time over the window */
    int overrunReads;  /* reads that returned KX_ERR_DATA_OVERRUN */
} DrainFigures;

static double now(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

static double drain(ReadFunction read, ChannelInstance* const* channels, size_t channelCount, double* values,
                    double* times, int* overrunReads)
{
    double total = 0.0;
    for (size_t c = 0; c < channelCount; ++c) {
        for (;;) {
            size_t count = BLOCK;
            if (read(channels[c], values, times, &count) == KX_ERR_DATA_OVERRUN)
                ++*overrunReads;
            total += (double)count;
            if (count < BLOCK)
                break;
        }
    }
    return total;
}

/* Drains every channel again and again for `warmup` seconds, then for
 * `seconds` more, which it measures. */
#if defined(__GNUC__)
__attribute__((visibility("default")))
#endif
void ktbenchDrainHost(ReadFunction read, ChannelInstance* const* channels, size_t channelCount, double warmup,
                      double seconds, DrainFigures* figures)
{
    static double values[BLOCK], times[BLOCK];
    int ignored = 0;
    const double warm = now(CLOCK_MONOTONIC) + warmup;
    while (now(CLOCK_MONOTONIC) < warm)
        drain(read, channels, channelCount, values, times, &ignored);
    figures->samples = 0.0;
    figures->overrunReads = 0;
    const double start = now(CLOCK_MONOTONIC), cpu = now(CLOCK_THREAD_CPUTIME_ID);
    double end = start;
    while (end - start < seconds) {
        figures->samples += drain(read, channels, channelCount, values, times, &figures->overrunReads);
        end = now(CLOCK_MONOTONIC);
    }
    figures->seconds = end - start;
    figures->cpuSeconds = now(CLOCK_THREAD_CPUTIME_ID) - cpu;
}
