/* SPDX-License-Identifier: MIT */
/*
 * ktremote.h - remote control of a running Kaltrop data-acquisition
 * application, and access to the data it measures.
 *
 * A host creates an instance (one connection to the application), connects
 * it, discovers the channels of the application's current setup, opens
 * channel handles, starts a measurement and reads values and timestamps per
 * channel. Two kinds of instance exist:
 *
 *   - network instances (ktconCreateInstance(&inst, 1)) talk to the
 *     application over TCP: a text command connection to the application and
 *     a binary data stream that the application sends to a port on which the
 *     library listens;
 *   - automation instances (ktconCreateInstance(&inst, 0)) drive the
 *     application through OLE automation on the same Windows machine. Where
 *     the platform has no COM, connecting one fails and later calls report
 *     KX_ERR_NOT_CONNECTED.
 *
 * Every function returns a KX_ERROR_CODE: 0 on success, a negative code on
 * failure, and in two documented cases a small positive result. No function
 * lets a C++ exception escape. Functions that take a handle check it in this
 * order: a null handle gives KX_ERR_INVALID_HANDLE (-9); an instance that
 * never connected gives KX_ERR_NOT_CONNECTED (-4) (a few functions skip this
 * check, as noted); a null output pointer gives KX_ERR_INVALID_HANDLE and
 * nothing is written.
 *
 * Ownership: the host owns instance handles (ktconDestroyInstance releases
 * everything an instance holds; the small handle object stays valid and
 * answers like a new instance), channel handles (free them with
 * ktconFreeChannelInstance, also after their instance was destroyed), the id
 * arrays of ktconEnumerateChannels (give them back with
 * ktconFreeEnumerateChannels) and the value arrays of
 * ktconChannelReadScalarData (release both with free()).
 *
 * Threads: the functions of one instance and of its channels must be called
 * from one thread at a time, with two exceptions: ktconDisconnect and
 * ktconDestroyInstance may come from another thread (a watchdog) at any
 * moment. The call the first thread is in then ends with a code (a wait for
 * the application is cut short), and ktconDestroyInstance returns once that
 * call has returned. Separate instances are independent. A network instance runs
 * one background I/O thread of its own while connected.
 *
 * Texts are NUL-terminated; names, units, ids and file names are UTF-8.
 * Relative times are in seconds, absolute times in days.
 */
#ifndef KTREMOTE_H
#define KTREMOTE_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(KTREMOTE_BUILDING)
#define KTREMOTE_API __declspec(dllexport)
#else
#define KTREMOTE_API
#endif
#elif defined(KTREMOTE_BUILDING)
#define KTREMOTE_API __attribute__((visibility("default")))
#else
#define KTREMOTE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Opaque instance handle: one connection to the application. */
typedef struct KTXInstance KTXInstance;
/** Opaque channel handle: one channel of the application's current setup. */
typedef struct ChannelInstance ChannelInstance;

/** Result codes. 0 is success; negative values are failures; the two
 *  positive values are successes that say a little more. */
typedef enum KX_ERROR_CODE {
    KX_MORE_WAITING = 2,               /* read: more samples were waiting than the
                                          arrays could take (automation) */
    KX_LAST_CHANNEL_ID = 1,            /* ktconGetNextChannelId: the id copied was
                                          the last one, or none was left */
    KX_OK = 0,                         /* success */
    KX_ERR_CHANNEL_NOT_FOUND = -1,     /* no channel with that name */
    KX_ERR_FAILED = -2,                /* the operation failed inside the library or
                                          the application; also ktconSetBufferSize
                                          on an automation instance */
    KX_ERR_NOT_CONNECTED = -4,         /* the instance has not been connected */
    KX_ERR_BUFFER_TOO_SMALL = -5,      /* no buffer, or too small for text + NUL */
    KX_ERR_NO_COMMAND_CONNECTION = -6, /* the command connection is not open */
    KX_ERR_APP_CALL_FAILED = -8,       /* a request to the application failed */
    KX_ERR_INVALID_HANDLE = -9,        /* null handle or null required argument */
    KX_ERR_BAD_ADDRESS = -10,          /* connect text is not "host cmdport dataport" */
    KX_ERR_NO_TARGET_OBJECT = -11,     /* automation request on a missing object */
    KX_ERR_APP_NOT_CREATED = -12,      /* the application object could not be created */
    KX_ERR_AUTOMATION_CALL = -13,      /* an automation call failed */
    KX_ERR_BAD_COUNT = -14,            /* invalid count for the channel enumeration */
    KX_ERR_CHANNEL_NOT_CREATED = -15,  /* no channel with that id */
    KX_ERR_NOT_SUPPORTED = -18,        /* not offered by this kind of instance */
    KX_ERR_NOT_CONTROL_CHANNEL = -19,  /* value written to a non-control channel */
    KX_ERR_SETUP_NOT_LOADED = -20,     /* the application did not confirm the setup */
    KX_ERR_DATA_OVERRUN = -21,         /* samples were dropped: a channel buffer
                                          overflowed during this measurement */
    KX_ERR_START_STEP1 = -23,          /* start of measurement failed: stopping */
    KX_ERR_START_STEP2 = -24,          /* ... channel numbers */
    KX_ERR_START_STEP3 = -25,          /* ... timing query */
    KX_ERR_START_STEP4 = -26,          /* ... transfer request or data listener */
    KX_ERR_START_STEP5 = -27,          /* ... transfer start */
    KX_ERR_START_STEP6 = -28,          /* ... acquisition start */
    KX_ERR_START_STORING = -29,        /* storing could not be started */
    KX_ERR_STOP_STORING = -30          /* storing could not be stopped */
} KX_ERROR_CODE;

/** Application states delivered by ktconGetState. */
enum { KX_STATE_UNKNOWN = 0, KX_STATE_SETUP = 1, KX_STATE_ACQUIRING = 2, KX_STATE_STOPPED = 3, KX_STATE_ANALYSIS = 4 };

/** Channel types delivered by ktconGetChannelType. */
enum {
    KX_CHANNEL_ASYNC = 0,       /* values carry their own timestamps */
    KX_CHANNEL_SYNC = 1,        /* fixed sample rate */
    KX_CHANNEL_SINGLE_VALUE = 2 /* one current value */
};

/* ---- Library and instances ------------------------------------------- */

/** Copies the version text, such as "1.2.3.4", into buffer (at most
 *  bufferSize bytes, always NUL-terminated when bufferSize > 0; a short
 *  buffer gets a truncated text). Returns 0, or -9 for a null buffer. */
KTREMOTE_API KX_ERROR_CODE ktconGetVersion(char* buffer, size_t bufferSize);

/** Creates an instance: a network instance when useNetwork is non-zero, an
 *  automation instance when it is 0. No I/O happens. Stores the handle in
 *  *instance. Returns 0 (-9 for a null out pointer). */
KTREMOTE_API KX_ERROR_CODE ktconCreateInstance(KTXInstance** instance, int useNetwork);

/** Releases everything the instance holds: its connection to the
 *  application (network: the I/O thread, the command connection, the data
 *  port and data connections, the sample buffers; automation: the
 *  application object), without sending anything, and its channel list. The
 *  handle stays valid and answers like a new instance of the same kind:
 *  calls that need a connection return -4, ktconConnect works again, and
 *  ktconDestroyInstance on it again returns 0. Channel handles of the
 *  instance stay valid too: their calls return -4, and
 *  ktconFreeChannelInstance frees them. Returns 0 or -9. */
KTREMOTE_API KX_ERROR_CODE ktconDestroyInstance(KTXInstance* instance);

/** Connects the instance. Network instances take "host commandPort dataPort"
 *  (three words separated by white space, e.g. "localhost 8999 8001"); the
 *  call waits at least 2 s and at most about 20 s for the command connection.
 *  Automation instances ignore the text. Returns 0, -9, -10 (not three
 *  words), -6 (no connection came up), -12 (automation: the application
 *  object could not be created) or -2 (the host did not resolve, or the
 *  connection broke before the application answered). After a failed
 *  connect the instance answers later calls with -4. */
KTREMOTE_API KX_ERROR_CODE ktconConnect(KTXInstance* instance, const char* connection);

/** Closes the command connection (network: sends "EXIT") or releases the
 *  application object (automation). The instance keeps reporting itself as
 *  connected. Returns 0, -9 or -4. */
KTREMOTE_API KX_ERROR_CODE ktconDisconnect(KTXInstance* instance);

/** Shows or hides the application's window (automation only; a network
 *  instance ignores it). Returns 0, -9 or -4. */
KTREMOTE_API KX_ERROR_CODE ktconSetAppWindowVisible(KTXInstance* instance, bool visible);

/* ---- Channel discovery -------------------------------------------------- */

/** Asks the application for its used channels and stores their number in
 *  *count. Returns 0, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconGetChannelCount(KTXInstance* instance, size_t* count);

/** Asks the application for its used channels and hands out their ids:
 *  *ids receives an array of *count entries; each entry is a NUL-terminated
 *  id text, or NULL for a channel without a name. Give the array back with
 *  ktconFreeEnumerateChannels and release each non-null text with free().
 *  Returns 0, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconEnumerateChannels(KTXInstance* instance, char*** ids, size_t* count);

/** Releases the array block of ktconEnumerateChannels (*ids); the id texts
 *  it points to are the host's to free(). Returns 0 or -9. */
KTREMOTE_API KX_ERROR_CODE ktconFreeEnumerateChannels(KTXInstance* instance, char*** ids);

/** Starts an id enumeration: asks the application for its used channels.
 *  Then call ktconGetNextChannelIdSize and ktconGetNextChannelId in pairs
 *  until the latter returns 1. A network instance continues where the
 *  previous enumeration stopped; an automation instance restarts.
 *  Returns 0, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconInitChannelIdEnum(KTXInstance* instance);

/** Stores the buffer size (id length + 1) that the next ktconGetNextChannelId
 *  needs; after the end *size is left unchanged. Returns 0, -9 or -4. */
KTREMOTE_API KX_ERROR_CODE ktconGetNextChannelIdSize(KTXInstance* instance, int* size);

/** Copies the next id with its NUL into buffer (which must hold the size
 *  reported by ktconGetNextChannelIdSize). Returns 0 when more ids follow,
 *  1 when the copied id was the last or none was left (nothing written then),
 *  -9 or -4. */
KTREMOTE_API KX_ERROR_CODE ktconGetNextChannelId(KTXInstance* instance, char* buffer);

/* ---- Channel handles ----------------------------------------------------
 * Channels are looked up in the channel list that the last
 * ktconGetChannelCount, ktconEnumerateChannels or ktconInitChannelIdEnum
 * fetched; before the first fetch the list is empty. Every fetch clears the
 * transfer marks, so open the handles of the channels to measure after the
 * last fetch. */

/** Opens a handle on the channel with the given id and marks the channel for
 *  transfer. Stores the handle in *channel and returns 0, or stores NULL and
 *  returns -15 (no such channel). On -9, -4 and -2 *channel is left as it
 *  was. Free the handle with ktconFreeChannelInstance. */
KTREMOTE_API KX_ERROR_CODE ktconCreateChannelInstance(KTXInstance* instance, const char* channelId,
                                                      ChannelInstance** channel);

/** Opens a handle on the first channel with the given UTF-8 name. Stores the
 *  handle in *channel and returns 0, or stores NULL and returns -1 (no such
 *  channel) or -2. On -9 and -4 *channel is left as it was. Free the handle
 *  with ktconFreeChannelInstance. */
KTREMOTE_API KX_ERROR_CODE ktconCreateChannelInstanceByNameUtf8(KTXInstance* instance, const char* name,
                                                                ChannelInstance** channel);

/** Kept for compatibility: reads none of its arguments, writes nothing and
 *  returns 0. Use ktconCreateChannelInstanceByNameUtf8. */
KTREMOTE_API KX_ERROR_CODE ktconCreateChannelInstanceByName(KTXInstance* instance, const char* name,
                                                            ChannelInstance** channel);

/** Releases a channel handle. Returns 0 or -9. */
KTREMOTE_API KX_ERROR_CODE ktconFreeChannelInstance(ChannelInstance* channel);

/** Copies the channel's name into buffer (at most bufferSize bytes, NUL
 *  included; a short buffer gets a truncated text). Returns 0, -9 or -4. */
KTREMOTE_API KX_ERROR_CODE ktconChannelGetName(ChannelInstance* channel, char* buffer, size_t bufferSize);

/** Copies the channel's UTF-8 name into buffer without ever cutting a
 *  character in half, and stores the size the whole name needs (length + 1)
 *  in *required when required is not NULL. Returns 0, or -5 when buffer is
 *  NULL or smaller than the required size (the buffer then holds the longest
 *  whole-character prefix that fits), -9 or -4. */
KTREMOTE_API KX_ERROR_CODE ktconChannelGetNameUtf8(ChannelInstance* channel, char* buffer, size_t bufferSize,
                                                   size_t* required);

/** Copies the channel's unit like ktconChannelGetName. Returns 0 or -9. */
KTREMOTE_API KX_ERROR_CODE ktconGetChUnit(ChannelInstance* channel, char* buffer, size_t bufferSize);

/** Stores the channel type (KX_CHANNEL_ASYNC, KX_CHANNEL_SYNC or
 *  KX_CHANNEL_SINGLE_VALUE). Returns 0 or -9. */
KTREMOTE_API KX_ERROR_CODE ktconGetChannelType(ChannelInstance* channel, int* type);

/** Stores whether the channel accepts written values. Returns 0 or -9. */
KTREMOTE_API KX_ERROR_CODE ktconIsChannelControl(ChannelInstance* channel, bool* isControl);

/** Stores the channel's sample rate in Hz: the expected rate of an
 *  asynchronous channel, -1 for a single-value channel. Returns 0 or -9
 *  (a failed query leaves *rate unchanged). */
KTREMOTE_API KX_ERROR_CODE ktconGetSampleRate(ChannelInstance* channel, double* rate);

/** Marks the channel for transfer (or not) at the next start of a
 *  measurement. Returns 0, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconChannelSetTransferred(ChannelInstance* channel, bool transferred);

/* ---- Measuring and storing ---------------------------------------------- */

/** Sets the number of samples buffered per channel from the next start of a
 *  measurement on (default 3000). Network instances only. Returns 0, -9, -4,
 *  or -2 on an automation instance. */
KTREMOTE_API KX_ERROR_CODE ktconSetBufferSize(KTXInstance* instance, int bufferSize);

/** Asks the application to load a setup file. Returns 0, -20 (the
 *  application did not confirm it), -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconLoadSetup(KTXInstance* instance, const char* setupFile);

/** Stores whether the application is acquiring. Returns 0, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconIsInAqusition(KTXInstance* instance, bool* running);

/** Stores the application's state (KX_STATE_...). Returns 0, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconGetState(KTXInstance* instance, int* state);

/** Starts a measurement of the channels marked for transfer. Returns 0,
 *  -9, -4, -2, or the code of the step that failed: -23 (state query or
 *  stopping a running acquisition), -24 (channel numbers), -25 (timing),
 *  -26 (transfer request, sample rates or data listener), -27 (transfer
 *  start), -28 (acquisition start). Automation instances return -8 when
 *  the application refuses. Nothing is undone after a failed step. */
KTREMOTE_API KX_ERROR_CODE ktconStartMeasurement(KTXInstance* instance);

/** Stops the measurement. Values already received stay readable until the
 *  next start. Returns 0, -9, -4, -6 (the command connection is not open),
 *  -8 (automation: the application refused) or -2. */
KTREMOTE_API KX_ERROR_CODE ktconStopMeasurement(KTXInstance* instance);

/** Starts storing into the named data file. Returns 0, -29, -9 or -4. */
KTREMOTE_API KX_ERROR_CODE ktconStartStoring(KTXInstance* instance, const char* fileName);

/** Stops storing. Returns 0, -30, -9 or -4. */
KTREMOTE_API KX_ERROR_CODE ktconStopStoring(KTXInstance* instance);

/** Stops storing and, when state is not NULL, stores the application's state
 *  read afterwards (0 when that read fails). Returns what ktconStopStoring
 *  returns. */
KTREMOTE_API KX_ERROR_CODE ktconStopStoringEx(KTXInstance* instance, int* state);

/* ---- Reading and writing values ----------------------------------------- */

/** Brackets a group of reads (automation instances synchronise the data;
 *  network instances do nothing). The reserved arguments are not read.
 *  Returns 0, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconBeginRead(KTXInstance* instance, intptr_t reserved1, intptr_t reserved2);

/** Ends a group of reads begun with ktconBeginRead. Returns 0, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconEndRead(KTXInstance* instance);

/** Reads up to *count values (at most 3000) with their times in seconds into
 *  two arrays that the library allocates with malloc and stores in *values
 *  and *timestamps; the host releases both with free(). On return *count
 *  holds the number of values delivered. A channel that is not transferred
 *  allocates nothing: both pointers stay as they were and *count becomes 0.
 *  Returns 0, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconChannelReadScalarData(ChannelInstance* channel, double** values, double** timestamps,
                                                      size_t* count);

/** Reads up to *count values with their times in seconds (relative to the
 *  start of the measurement for synchronous and single-value channels; as
 *  sent by the application for asynchronous channels) into the host's arrays,
 *  each with room for *count doubles. On return *count holds the number
 *  delivered. Returns 0, -21 (samples were dropped during this measurement;
 *  the data delivered are still valid), 2 (automation: more values were
 *  waiting than the arrays hold), -8, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconChannelReadScalarData_2(ChannelInstance* channel, double* values, double* timestamps,
                                                        size_t* count);

/** Like ktconChannelReadScalarData_2 with absolute times in days. Returns 0,
 *  -21, -9, -4 or -2. */
KTREMOTE_API KX_ERROR_CODE ktconChannelReadScalarData_2abs(ChannelInstance* channel, double* values, double* timestamps,
                                                           size_t* count);

/** Writes a value to a control channel. Returns 0, -9, -19 (not a control
 *  channel), -8 (the request did not reach the application) or -2. */
KTREMOTE_API KX_ERROR_CODE ktconControlChannelWriteData(ChannelInstance* channel, double value);

#ifdef __cplusplus
}
#endif

#endif /* KTREMOTE_H */
