/* SPDX-License-Identifier: MIT */
/* Connects to the application, lists its channels, streams all of them for
 * a few seconds and prints a summary per channel.
 *
 *   stream_c ["host commandPort dataPort" [seconds]]
 *
 * With 0 seconds it only lists the channels. Exit status: 0 when samples
 * arrived (or only listing was asked for), 1 when none did, 2 on a failure. */
#include <float.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ktremote.h"

#ifdef _WIN32
#include <windows.h>
static void sleepMilliseconds(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void sleepMilliseconds(unsigned ms)
{
    struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
#endif

#define MAX_CHANNELS 256
#define BLOCK 4096
#define PERIOD_MS 50

struct Summary {
    ChannelInstance* channel;
    char name[128];
    char unit[32];
    unsigned long long count;
    double min, max, sum, firstTime, lastTime;
    int overrun;
};

static double values[BLOCK], times[BLOCK];

/* Reads everything that is buffered for one channel into its summary. */
static KX_ERROR_CODE drain(struct Summary* s)
{
    for (;;) {
        size_t n = BLOCK;
        KX_ERROR_CODE r = ktconChannelReadScalarData_2(s->channel, values, times, &n);
        if (r == KX_ERR_DATA_OVERRUN)
            s->overrun = 1; /* some samples were lost; the ones delivered are valid */
        else if (r < 0)
            return r;
        for (size_t k = 0; k < n; ++k) {
            if (s->count == 0)
                s->firstTime = times[k];
            s->lastTime = times[k];
            s->min = values[k] < s->min ? values[k] : s->min;
            s->max = values[k] > s->max ? values[k] : s->max;
            s->sum += values[k];
            ++s->count;
        }
        if (n < BLOCK)
            return KX_OK;
    }
}

int main(int argc, char** argv)
{
    const char* connection = argc > 1 ? argv[1] : "localhost 8999 8001";
    const double seconds = argc > 2 ? atof(argv[2]) : 3.0;
    static struct Summary channels[MAX_CHANNELS];
    size_t used = 0, total = 0;
    KTXInstance* app = NULL;
    char** ids = NULL;
    size_t idCount = 0;
    int state = 0;
    KX_ERROR_CODE r;
    int status = 0;

    ktconCreateInstance(&app, 1);
    r = ktconConnect(app, connection);
    if (r == KX_OK)
        r = ktconGetState(app, &state);
    if (r != KX_OK) {
        fprintf(stderr, "could not connect to \"%s\" (result %d)\n", connection, (int)r);
        return 2;
    }
    printf("connected to \"%s\", application state %d\n", connection, state);

    /* Discover the channels and open a handle on each one that has an id;
     * opening a handle marks the channel for transfer. */
    r = ktconEnumerateChannels(app, &ids, &idCount);
    if (r != KX_OK) {
        fprintf(stderr, "channel list failed (result %d)\n", (int)r);
        return 2;
    }
    printf("%-24s %-10s %-6s %10s\n", "channel", "unit", "type", "rate/Hz");
    for (size_t k = 0; k < idCount; ++k) {
        struct Summary* s = &channels[used];
        int type = 0;
        double rate = 0;
        if (ids[k] == NULL) /* a channel without a name has no id */
            continue;
        if (used < MAX_CHANNELS && ktconCreateChannelInstance(app, ids[k], &s->channel) == KX_OK) {
            ktconChannelGetNameUtf8(s->channel, s->name, sizeof s->name, NULL);
            ktconGetChUnit(s->channel, s->unit, sizeof s->unit);
            ktconGetChannelType(s->channel, &type);
            ktconGetSampleRate(s->channel, &rate);
            s->min = DBL_MAX;
            s->max = -DBL_MAX;
            printf("%-24s %-10s %-6s %10.3f\n", s->name, s->unit,
                   type == KX_CHANNEL_ASYNC      ? "async"
                       : type == KX_CHANNEL_SYNC ? "sync"
                                                 : "single",
                   rate);
            ++used;
        }
        free(ids[k]); /* the id texts are the host's */
    }
    ktconFreeEnumerateChannels(app, &ids);

    if (seconds <= 0) {
        for (size_t c = 0; c < used; ++c)
            ktconFreeChannelInstance(channels[c].channel);
        ktconDisconnect(app);
        ktconDestroyInstance(app);
        return 0;
    }

    /* Stream: read every channel every PERIOD_MS until the time is up. */
    ktconStartMeasurement(app);
    for (double elapsed = 0; elapsed < seconds && status == 0; elapsed += PERIOD_MS / 1000.0) {
        sleepMilliseconds(PERIOD_MS);
        for (size_t c = 0; c < used && status == 0; ++c)
            if ((r = drain(&channels[c])) != KX_OK) {
                fprintf(stderr, "read of %s failed (result %d)\n", channels[c].name, (int)r);
                status = 2;
            }
    }
    ktconStopMeasurement(app);
    /* Values received before the stop stay readable. */
    for (size_t c = 0; c < used && status == 0; ++c)
        drain(&channels[c]);

    printf("\n%-24s %10s %12s %12s %12s %10s\n", "channel", "samples", "min", "mean", "max", "span/s");
    for (size_t c = 0; c < used; ++c) {
        const struct Summary* s = &channels[c];
        total += s->count;
        if (s->count == 0)
            printf("%-24s %10d\n", s->name, 0);
        else
            printf("%-24s %10llu %12.4g %12.4g %12.4g %10.3f%s\n", s->name, s->count, s->min, s->sum / (double)s->count,
                   s->max, s->lastTime - s->firstTime, s->overrun ? "  (samples dropped)" : "");
        ktconFreeChannelInstance(s->channel);
    }
    printf("%zu samples from %zu channels\n", total, used);

    ktconDisconnect(app);
    ktconDestroyInstance(app);
    if (status != 0)
        return status;
    return total > 0 ? 0 : 1;
}
