/* SPDX-License-Identifier: MIT */
/*
 * ktremote_mex.c - MEX gateway between MATLAB/Octave and the ktremote
 * library: ktremote_mex(COMMAND, ARGS...).
 *
 * The classes in +ktremote are the interface for users; this file only
 * checks arguments, calls one library function per command and turns result
 * codes into errors with the identifier "ktremote:<code name>".
 *
 * Handles. MATLAB code never sees a library pointer: it gets a uint64 number
 * that names an entry of the registry below. Numbers are never reused while
 * the gateway is loaded and carry a stamp of the load, so a stale, forged or
 * twice-freed number raises ktremote:KX_ERR_INVALID_HANDLE instead of
 * reaching the library. Freeing an instance frees the channel handles opened
 * on it. The gateway stays locked in memory while handles exist: a network
 * instance runs an I/O thread inside the library while it is connected, and
 * unloading the library under it would crash the host. Freeing an instance
 * destroys it, which ends that thread, so once nothing is open the gateway
 * may go. Whatever is left is freed when the gateway is unloaded or MATLAB
 * exits.
 *
 * Only the documented C MEX API is used, so the file builds with MATLAB's
 * mex and with Octave's mkoctfile --mex.
 */
#include "mex.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ktremote.h"
#include "ktremote_results.h"

/* ---- Result codes ------------------------------------------------------- */

static const char* resultName(int code)
{
#define KT_NAME_CASE(name, value, meaning)                                                                             \
    case value: return #name;
    switch (code) {
        KTREMOTE_RESULTS(KT_NAME_CASE)
    default: return "KX_UNKNOWN";
    }
#undef KT_NAME_CASE
}

static const char* resultMeaning(int code)
{
#define KT_MEANING_CASE(name, value, meaning)                                                                          \
    case value: return meaning;
    switch (code) {
        KTREMOTE_RESULTS(KT_MEANING_CASE)
    default: return "the library returned a result code it does not document";
    }
#undef KT_MEANING_CASE
}

/* Raises the error of a failed call: identifier "ktremote:<name>", message
 * "<what>: <name> (<code>): <meaning>". Does not return. */
static void raiseResult(const char* what, int code)
{
    char id[64];
    snprintf(id, sizeof id, "ktremote:%s", resultName(code));
    mexErrMsgIdAndTxt(id, "%s: %s (%d): %s", what, resultName(code), code, resultMeaning(code));
}

static void check(const char* what, KX_ERROR_CODE code)
{
    if (code != KX_OK)
        raiseResult(what, code);
}

static void raiseArgument(const char* text) { mexErrMsgIdAndTxt("ktremote:badArgument", "%s", text); }

/* ---- Registry of handles ------------------------------------------------ */

enum Kind { KIND_INSTANCE = 1, KIND_CHANNEL = 2 };

typedef struct Entry {
    uint64_t number; /* 0: the slot is free */
    enum Kind kind;
    void* handle;    /* KTXInstance* or ChannelInstance* */
    uint64_t owner;  /* channel: the number of its instance */
    int connected;   /* instance: connected and not disconnected since */
    int measuring;   /* instance: started here and not stopped since */
    int listFetched; /* instance: the channel list was fetched since connect or setup load */
    int transferred; /* channel: to be measured at the next start */
} Entry;

static Entry* entries;
static size_t entryCapacity;
static size_t entryCount;
static uint64_t loadStamp; /* high 32 bits of every number of this load */
static uint32_t lastSerial;
static int lockedForHandles;
static int unloading; /* releaseAll runs: the lock no longer matters */

static void releaseAll(void);
static void freeReadBuffers(void);

static void keepLoaded(void)
{
    if (unloading)
        return;
    if (!lockedForHandles && entryCount > 0) {
        mexLock();
        lockedForHandles = 1;
    } else if (lockedForHandles && entryCount == 0) {
        mexUnlock();
        lockedForHandles = 0;
    }
}

static void initialise(void)
{
    static int done;
    if (done)
        return;
    done = 1;
    /* A different stamp per load keeps numbers handed out before the
     * gateway was last unloaded from naming entries of this load: wall
     * time, processor time and a heap address differ from load to load. */
    void* probe = malloc(1);
    uint32_t mix = (uint32_t)time(NULL) * 2654435761u ^ (uint32_t)clock() ^ (uint32_t)((uintptr_t)probe >> 4);
    free(probe);
    loadStamp = (uint64_t)(mix | 1u) << 32;
    mexAtExit(releaseAll);
}

static Entry* addEntry(enum Kind kind, void* handle, uint64_t owner)
{
    Entry* entry = NULL;
    for (size_t i = 0; i < entryCapacity; ++i)
        if (entries[i].number == 0) {
            entry = &entries[i];
            break;
        }
    if (entry == NULL) {
        size_t capacity = entryCapacity ? 2 * entryCapacity : 16;
        Entry* grown = (Entry*)realloc(entries, capacity * sizeof(Entry));
        if (grown == NULL)
            return NULL;
        memset(grown + entryCapacity, 0, (capacity - entryCapacity) * sizeof(Entry));
        entry = grown + entryCapacity;
        entries = grown;
        entryCapacity = capacity;
    }
    memset(entry, 0, sizeof *entry);
    entry->number = loadStamp | ++lastSerial;
    entry->kind = kind;
    entry->handle = handle;
    entry->owner = owner;
    ++entryCount;
    keepLoaded();
    return entry;
}

static Entry* findEntry(uint64_t number)
{
    if (number == 0)
        return NULL;
    for (size_t i = 0; i < entryCapacity; ++i)
        if (entries[i].number == number)
            return &entries[i];
    return NULL;
}

static void dropEntry(Entry* entry)
{
    memset(entry, 0, sizeof *entry);
    --entryCount;
    keepLoaded();
}

static void freeChannel(Entry* channel)
{
    ktconFreeChannelInstance((ChannelInstance*)channel->handle);
    dropEntry(channel);
}

/* Freeing an instance releases what it holds in the application (its
 * channel handles, a measurement started through it, so that the
 * application stops sending, and its command connection), then destroys it:
 * its thread, sockets and buffers go back. */
static void freeInstance(Entry* instance)
{
    KTXInstance* handle = (KTXInstance*)instance->handle;
    for (size_t i = 0; i < entryCapacity; ++i)
        if (entries[i].number != 0 && entries[i].kind == KIND_CHANNEL && entries[i].owner == instance->number)
            freeChannel(&entries[i]);
    if (instance->measuring)
        ktconStopMeasurement(handle);
    if (instance->connected)
        ktconDisconnect(handle);
    ktconDestroyInstance(handle);
    dropEntry(instance);
}

static void releaseAll(void)
{
    unloading = 1;
    for (size_t i = 0; i < entryCapacity; ++i)
        if (entries[i].number != 0 && entries[i].kind == KIND_CHANNEL)
            freeChannel(&entries[i]);
    for (size_t i = 0; i < entryCapacity; ++i)
        if (entries[i].number != 0)
            freeInstance(&entries[i]);
    free(entries);
    freeReadBuffers();
    entries = NULL;
    entryCapacity = 0;
    entryCount = 0;
}

/* ---- Arguments ---------------------------------------------------------- */

typedef struct Call {
    const char* command;
    int nrhs;
    const mxArray** prhs;
} Call;

static const mxArray* argument(const Call* call, int index)
{
    if (index >= call->nrhs)
        mexErrMsgIdAndTxt("ktremote:badArgument", "ktremote_mex %s: argument %d is missing", call->command, index);
    return call->prhs[index];
}

static Entry* entryArgument(const Call* call, int index, enum Kind kind)
{
    const mxArray* a = argument(call, index);
    if (!mxIsUint64(a) || mxIsComplex(a) || mxGetNumberOfElements(a) != 1)
        raiseArgument("a handle must be a uint64 scalar from ktremote_mex");
    Entry* entry = findEntry(*(const uint64_t*)mxGetData(a));
    if (entry == NULL)
        mexErrMsgIdAndTxt("ktremote:KX_ERR_INVALID_HANDLE",
                          "ktremote_mex %s: the handle is not valid (freed already, or never handed out)",
                          call->command);
    if (entry->kind != kind)
        mexErrMsgIdAndTxt("ktremote:KX_ERR_INVALID_HANDLE", "ktremote_mex %s: %s handle given where %s handle belongs",
                          call->command, entry->kind == KIND_CHANNEL ? "a channel" : "an instance",
                          kind == KIND_CHANNEL ? "a channel" : "an instance");
    return entry;
}

static double doubleArgument(const Call* call, int index)
{
    const mxArray* a = argument(call, index);
    if (!(mxIsDouble(a) || mxIsLogical(a)) || mxIsComplex(a) || mxGetNumberOfElements(a) != 1)
        mexErrMsgIdAndTxt("ktremote:badArgument", "ktremote_mex %s: argument %d must be a real scalar", call->command,
                          index);
    return mxIsLogical(a) ? (double)*mxGetLogicals(a) : mxGetScalar(a);
}

static double countArgument(const Call* call, int index, double maximum)
{
    double n = doubleArgument(call, index);
    if (!(n >= 0 && n <= maximum) || n != (double)(size_t)n)
        mexErrMsgIdAndTxt("ktremote:badArgument", "ktremote_mex %s: argument %d must be a whole number from 0 to %.0f",
                          call->command, index, maximum);
    return n;
}

static int flagArgument(const Call* call, int index, int otherwise)
{
    if (index >= call->nrhs)
        return otherwise;
    return doubleArgument(call, index) != 0;
}

/* Texts cross the library as UTF-8. Octave keeps char arrays as UTF-8 bytes
 * (one-byte mxChar); MATLAB keeps UTF-16 code units (two-byte mxChar). The
 * caller releases the result with mxFree (MATLAB also does on an error). */
static uint32_t unitAt(const mxChar* chars, size_t i)
{
    return sizeof(mxChar) == 1 ? (uint32_t)(unsigned char)chars[i] : (uint32_t)chars[i];
}

static char* textArgument(const Call* call, int index)
{
    const mxArray* a = argument(call, index);
    if (!mxIsChar(a) || (mxGetM(a) > 1 && mxGetN(a) > 0))
        mexErrMsgIdAndTxt("ktremote:badArgument", "ktremote_mex %s: argument %d must be a character row vector",
                          call->command, index);
    size_t n = mxGetNumberOfElements(a);
    const mxChar* chars = mxGetChars(a);
    char* text = (char*)mxMalloc(3 * n + 1);
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = unitAt(chars, i);
        if (c == 0)
            mexErrMsgIdAndTxt("ktremote:badArgument", "ktremote_mex %s: argument %d contains a NUL character",
                              call->command, index);
        if (sizeof(mxChar) == 1 || c < 0x80) {
            text[out++] = (char)c;
        } else if (c < 0x800) {
            text[out++] = (char)(0xC0 | (c >> 6));
            text[out++] = (char)(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && unitAt(chars, i + 1) >= 0xDC00 &&
                   unitAt(chars, i + 1) < 0xE000) {
            uint32_t code = 0x10000 + ((c - 0xD800) << 10) + (unitAt(chars, ++i) - 0xDC00);
            text[out++] = (char)(0xF0 | (code >> 18));
            text[out++] = (char)(0x80 | ((code >> 12) & 0x3F));
            text[out++] = (char)(0x80 | ((code >> 6) & 0x3F));
            text[out++] = (char)(0x80 | (code & 0x3F));
        } else {
            text[out++] = (char)(0xE0 | (c >> 12));
            text[out++] = (char)(0x80 | ((c >> 6) & 0x3F));
            text[out++] = (char)(0x80 | (c & 0x3F));
        }
    }
    text[out] = '\0';
    return text;
}

/* A char row vector of a UTF-8 text (see textArgument). Invalid bytes become
 * U+FFFD in MATLAB. */
static mxArray* textArray(const char* text)
{
    const unsigned char* s = (const unsigned char*)(text ? text : "");
    size_t length = strlen((const char*)s);
    mxChar* units = (mxChar*)mxMalloc((length + 1) * sizeof(mxChar));
    size_t n = 0;
    for (size_t i = 0; i < length;) {
        uint32_t c = s[i];
        size_t more = 0;
        if (sizeof(mxChar) == 1) {
            units[n++] = (mxChar)s[i++];
            continue;
        }
        if (c >= 0xC2 && c < 0xE0)
            more = 1, c &= 0x1F;
        else if (c >= 0xE0 && c < 0xF0)
            more = 2, c &= 0x0F;
        else if (c >= 0xF0 && c < 0xF5)
            more = 3, c &= 0x07;
        else if (c >= 0x80)
            c = 0xFFFD;
        size_t k = 1;
        for (; k <= more && i + k < length && (s[i + k] & 0xC0) == 0x80; ++k)
            c = (c << 6) | (s[i + k] & 0x3F);
        if (k <= more || c > 0x10FFFF)
            c = 0xFFFD;
        i += k;
        if (c >= 0x10000) {
            units[n++] = (mxChar)(0xD800 + ((c - 0x10000) >> 10));
            units[n++] = (mxChar)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units[n++] = (mxChar)c;
        }
    }
    mwSize dims[2] = {1, (mwSize)n};
    mxArray* array = mxCreateCharArray(2, dims);
    if (n > 0)
        memcpy(mxGetChars(array), units, n * sizeof(mxChar));
    mxFree(units);
    return array;
}

static mxArray* numberArray(uint64_t number)
{
    mxArray* a = mxCreateNumericMatrix(1, 1, mxUINT64_CLASS, mxREAL);
    *(uint64_t*)mxGetData(a) = number;
    return a;
}

/* ---- Commands ----------------------------------------------------------- */

typedef void (*Handler)(const Call* call, int nlhs, mxArray* plhs[]);

static void cmdVersion(const Call* call, int nlhs, mxArray* plhs[])
{
    char text[64];
    (void)call, (void)nlhs;
    check("ktconGetVersion", ktconGetVersion(text, sizeof text));
    plhs[0] = textArray(text);
}

static void cmdCreate(const Call* call, int nlhs, mxArray* plhs[])
{
    KTXInstance* handle = NULL;
    (void)nlhs;
    check("ktconCreateInstance", ktconCreateInstance(&handle, flagArgument(call, 1, 1)));
    Entry* entry = addEntry(KIND_INSTANCE, handle, 0);
    if (entry == NULL) {
        ktconDestroyInstance(handle);
        mexErrMsgIdAndTxt("ktremote:outOfMemory", "ktremote_mex create: no memory for the handle");
    }
    plhs[0] = numberArray(entry->number);
}

static void cmdFree(const Call* call, int nlhs, mxArray* plhs[])
{
    (void)nlhs, (void)plhs;
    const mxArray* a = argument(call, 1);
    Entry* entry = mxIsUint64(a) && mxGetNumberOfElements(a) == 1 ? findEntry(*(const uint64_t*)mxGetData(a)) : NULL;
    if (entry == NULL)
        entry = entryArgument(call, 1, KIND_INSTANCE); /* raises the error that fits */
    if (entry->kind == KIND_CHANNEL)
        freeChannel(entry);
    else
        freeInstance(entry);
}

static void cmdHandleCount(const Call* call, int nlhs, mxArray* plhs[])
{
    (void)call, (void)nlhs;
    plhs[0] = mxCreateDoubleScalar((double)entryCount);
}

static void cmdConnect(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    char* text = textArgument(call, 2);
    (void)nlhs, (void)plhs;
    KX_ERROR_CODE result = ktconConnect((KTXInstance*)instance->handle, text);
    mxFree(text);
    check("ktconConnect", result);
    /* An instance that did not connect says so in the next call's connected
     * check; asking for the next id size sends nothing. */
    int size = 0;
    check("ktconConnect",
          ktconGetNextChannelIdSize((KTXInstance*)instance->handle, &size) == KX_ERR_NOT_CONNECTED
              ? KX_ERR_NOT_CONNECTED
              : KX_OK);
    instance->connected = 1;
    instance->listFetched = 0;
}

static void cmdDisconnect(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    (void)nlhs, (void)plhs;
    check("ktconDisconnect", ktconDisconnect((KTXInstance*)instance->handle));
    instance->connected = 0;
}

/* Every fetch of the channel list drops the transfer marks; the channels
 * that are open here to be measured get theirs back. A channel that left
 * the list cannot be marked and is skipped. */
static void remark(Entry* instance)
{
    instance->listFetched = 1;
    for (size_t i = 0; i < entryCapacity; ++i)
        if (entries[i].number != 0 && entries[i].kind == KIND_CHANNEL && entries[i].owner == instance->number &&
            entries[i].transferred)
            ktconChannelSetTransferred((ChannelInstance*)entries[i].handle, true);
}

static size_t fetchChannelList(Entry* instance)
{
    size_t count = 0;
    check("ktconGetChannelCount", ktconGetChannelCount((KTXInstance*)instance->handle, &count));
    remark(instance);
    return count;
}

static void cmdChannelCount(const Call* call, int nlhs, mxArray* plhs[])
{
    (void)nlhs;
    plhs[0] = mxCreateDoubleScalar((double)fetchChannelList(entryArgument(call, 1, KIND_INSTANCE)));
}

static void cmdChannelIds(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    KTXInstance* handle = (KTXInstance*)instance->handle;
    char** ids = NULL;
    size_t count = 0;
    (void)nlhs;
    check("ktconEnumerateChannels", ktconEnumerateChannels(handle, &ids, &count));
    remark(instance);
    mxArray* cell = mxCreateCellMatrix(count, 1);
    for (size_t i = 0; i < count; ++i) {
        mxSetCell(cell, i, textArray(ids[i])); /* a channel without a name has no id: '' */
        free(ids[i]);
    }
    ktconFreeEnumerateChannels(handle, &ids);
    plhs[0] = cell;
}

static void openedChannel(Entry* instance, const char* what, KX_ERROR_CODE result, ChannelInstance* handle,
                          mxArray* plhs[])
{
    if (result == KX_OK && handle == NULL)
        result = KX_ERR_FAILED;
    check(what, result);
    Entry* channel = addEntry(KIND_CHANNEL, handle, instance->number);
    if (channel == NULL) {
        ktconFreeChannelInstance(handle);
        mexErrMsgIdAndTxt("ktremote:outOfMemory", "%s: no memory for the handle", what);
    }
    channel->transferred = 1; /* opening a channel marks it for transfer */
    plhs[0] = numberArray(channel->number);
}

static void cmdOpenChannel(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    char* id = textArgument(call, 2);
    ChannelInstance* handle = NULL;
    (void)nlhs;
    /* Channels are looked up in the last fetched list; fetch one first. */
    if (!instance->listFetched)
        fetchChannelList(instance);
    KX_ERROR_CODE result = ktconCreateChannelInstance((KTXInstance*)instance->handle, id, &handle);
    mxFree(id);
    openedChannel(instance, "ktconCreateChannelInstance", result, handle, plhs);
}

static void cmdOpenChannelByName(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    char* name = textArgument(call, 2);
    ChannelInstance* handle = NULL;
    (void)nlhs;
    if (!instance->listFetched)
        fetchChannelList(instance);
    KX_ERROR_CODE result = ktconCreateChannelInstanceByNameUtf8((KTXInstance*)instance->handle, name, &handle);
    mxFree(name);
    openedChannel(instance, "ktconCreateChannelInstanceByNameUtf8", result, handle, plhs);
}

static void cmdChannelInfo(const Call* call, int nlhs, mxArray* plhs[])
{
    ChannelInstance* handle = (ChannelInstance*)entryArgument(call, 1, KIND_CHANNEL)->handle;
    static const char* fields[] = {"name", "unit", "type", "sampleRate", "isControl"};
    char small[256];
    size_t required = 0;
    int type = 0;
    bool isControl = false;
    double rate = 0;
    (void)nlhs;

    mxArray* info = mxCreateStructMatrix(1, 1, 5, fields);
    KX_ERROR_CODE result = ktconChannelGetNameUtf8(handle, small, sizeof small, &required);
    if (result == KX_ERR_BUFFER_TOO_SMALL && required > sizeof small) {
        char* name = (char*)mxMalloc(required);
        result = ktconChannelGetNameUtf8(handle, name, required, &required);
        check("ktconChannelGetNameUtf8", result);
        mxSetField(info, 0, "name", textArray(name));
        mxFree(name);
    } else {
        check("ktconChannelGetNameUtf8", result);
        mxSetField(info, 0, "name", textArray(small));
    }
    /* Units are short; a longer one is cut to the buffer. */
    check("ktconGetChUnit", ktconGetChUnit(handle, small, sizeof small));
    small[sizeof small - 1] = '\0';
    mxSetField(info, 0, "unit", textArray(small));
    check("ktconGetChannelType", ktconGetChannelType(handle, &type));
    mxSetField(info, 0, "type", mxCreateDoubleScalar(type));
    check("ktconGetSampleRate", ktconGetSampleRate(handle, &rate));
    mxSetField(info, 0, "sampleRate", mxCreateDoubleScalar(rate));
    check("ktconIsChannelControl", ktconIsChannelControl(handle, &isControl));
    mxSetField(info, 0, "isControl", mxCreateLogicalScalar(isControl));
    plhs[0] = info;
}

static void cmdSetTransferred(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* channel = entryArgument(call, 1, KIND_CHANNEL);
    int transferred = flagArgument(call, 2, 1);
    (void)nlhs, (void)plhs;
    check("ktconChannelSetTransferred", ktconChannelSetTransferred((ChannelInstance*)channel->handle, transferred));
    channel->transferred = transferred;
}

static void cmdSetBufferSize(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    double size = countArgument(call, 2, INT_MAX);
    (void)nlhs, (void)plhs;
    if (size < 1)
        raiseArgument("ktremote_mex setBufferSize: the buffer must hold at least one sample");
    check("ktconSetBufferSize", ktconSetBufferSize((KTXInstance*)instance->handle, (int)size));
}

static void cmdStart(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    (void)nlhs, (void)plhs;
    KX_ERROR_CODE result = ktconStartMeasurement((KTXInstance*)instance->handle);
    /* A start that failed after the data port was opened (transfer or
     * acquisition start) leaves it open: freeing the instance then stops,
     * which closes it. Earlier failures leave nothing to stop, and a stop
     * would end what another connection to the application started. */
    if (result == KX_OK || result == KX_ERR_START_STEP5 || result == KX_ERR_START_STEP6)
        instance->measuring = 1;
    check("ktconStartMeasurement", result);
}

static void cmdStop(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    (void)nlhs, (void)plhs;
    KX_ERROR_CODE result = ktconStopMeasurement((KTXInstance*)instance->handle);
    instance->measuring = 0;
    check("ktconStopMeasurement", result);
}

static void cmdState(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    int state = KX_STATE_UNKNOWN;
    bool running = false;
    check("ktconGetState", ktconGetState((KTXInstance*)instance->handle, &state));
    plhs[0] = mxCreateDoubleScalar(state);
    if (nlhs > 1) {
        check("ktconIsInAqusition", ktconIsInAqusition((KTXInstance*)instance->handle, &running));
        plhs[1] = mxCreateLogicalScalar(running);
    }
}

static void cmdLoadSetup(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    char* file = textArgument(call, 2);
    (void)nlhs, (void)plhs;
    KX_ERROR_CODE result = ktconLoadSetup((KTXInstance*)instance->handle, file);
    mxFree(file);
    /* The application may have changed its channels even when it did not
     * confirm: open channels from a fresh list. */
    instance->listFetched = 0;
    check("ktconLoadSetup", result);
}

static void cmdStartStoring(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    char* file = textArgument(call, 2);
    (void)nlhs, (void)plhs;
    KX_ERROR_CODE result = ktconStartStoring((KTXInstance*)instance->handle, file);
    mxFree(file);
    check("ktconStartStoring", result);
}

static void cmdStopStoring(const Call* call, int nlhs, mxArray* plhs[])
{
    Entry* instance = entryArgument(call, 1, KIND_INSTANCE);
    int state = KX_STATE_UNKNOWN;
    (void)nlhs;
    check("ktconStopStoringEx", ktconStopStoringEx((KTXInstance*)instance->handle, &state));
    plhs[0] = mxCreateDoubleScalar(state);
}

/* Reads land in buffers kept between calls and are copied into exactly
 * sized column vectors, so a large maximum costs nothing per call once the
 * buffers have grown to it. */
static double* readValues;
static double* readTimes;
static size_t readCapacity;

static void freeReadBuffers(void)
{
    free(readValues);
    free(readTimes);
    readValues = readTimes = NULL;
    readCapacity = 0;
}

static mxArray* columnOf(const double* data, size_t count)
{
    mxArray* column = mxCreateDoubleMatrix(count, 1, mxREAL);
    if (count > 0)
        memcpy(mxGetPr(column), data, count * sizeof(double));
    return column;
}

static void cmdRead(const Call* call, int nlhs, mxArray* plhs[])
{
    ChannelInstance* handle = (ChannelInstance*)entryArgument(call, 1, KIND_CHANNEL)->handle;
    size_t wanted = (size_t)countArgument(call, 2, 1e8);
    int absolute = flagArgument(call, 3, 0);
    if (wanted > readCapacity) {
        freeReadBuffers();
        readValues = (double*)malloc(wanted * sizeof(double));
        readTimes = (double*)malloc(wanted * sizeof(double));
        if (readValues == NULL || readTimes == NULL) {
            freeReadBuffers();
            mexErrMsgIdAndTxt("ktremote:outOfMemory", "ktremote_mex read: no memory for %.0f samples", (double)wanted);
        }
        readCapacity = wanted;
    }
    size_t count = wanted;
    KX_ERROR_CODE result = absolute ? ktconChannelReadScalarData_2abs(handle, readValues, readTimes, &count)
                                    : ktconChannelReadScalarData_2(handle, readValues, readTimes, &count);
    /* Dropped samples and "more were waiting" come with valid data. */
    if (result != KX_OK && result != KX_ERR_DATA_OVERRUN && result != KX_MORE_WAITING)
        raiseResult(absolute ? "ktconChannelReadScalarData_2abs" : "ktconChannelReadScalarData_2", result);
    if (count > wanted)
        count = wanted;
    plhs[0] = columnOf(readValues, count);
    if (nlhs > 1)
        plhs[1] = columnOf(readTimes, count);
    if (nlhs > 2)
        plhs[2] = mxCreateLogicalScalar(result == KX_ERR_DATA_OVERRUN);
    if (nlhs > 3)
        plhs[3] = mxCreateLogicalScalar(result == KX_MORE_WAITING);
}

static void cmdWrite(const Call* call, int nlhs, mxArray* plhs[])
{
    ChannelInstance* handle = (ChannelInstance*)entryArgument(call, 1, KIND_CHANNEL)->handle;
    double value = doubleArgument(call, 2);
    (void)nlhs, (void)plhs;
    check("ktconControlChannelWriteData", ktconControlChannelWriteData(handle, value));
}

typedef struct Command {
    const char* name;
    Handler handler;
    int outputs; /* most outputs the command gives */
} Command;

static const Command commands[] = {
    {"version", cmdVersion, 1},
    {"create", cmdCreate, 1},
    {"free", cmdFree, 0},
    {"handleCount", cmdHandleCount, 1},
    {"connect", cmdConnect, 0},
    {"disconnect", cmdDisconnect, 0},
    {"channelCount", cmdChannelCount, 1},
    {"channelIds", cmdChannelIds, 1},
    {"openChannel", cmdOpenChannel, 1},
    {"openChannelByName", cmdOpenChannelByName, 1},
    {"channelInfo", cmdChannelInfo, 1},
    {"setTransferred", cmdSetTransferred, 0},
    {"setBufferSize", cmdSetBufferSize, 0},
    {"start", cmdStart, 0},
    {"stop", cmdStop, 0},
    {"state", cmdState, 2},
    {"loadSetup", cmdLoadSetup, 0},
    {"startStoring", cmdStartStoring, 0},
    {"stopStoring", cmdStopStoring, 1},
    {"read", cmdRead, 4},
    {"write", cmdWrite, 0},
};

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    char name[32];
    initialise();
    if (nrhs < 1 || !mxIsChar(prhs[0]) || mxGetString(prhs[0], name, sizeof name) != 0)
        raiseArgument("usage: ktremote_mex(COMMAND, ARGS...); the classes in +ktremote call it");
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i) {
        if (strcmp(commands[i].name, name) != 0)
            continue;
        if (nlhs > commands[i].outputs && !(nlhs == 1 && commands[i].outputs == 0))
            mexErrMsgIdAndTxt("ktremote:badArgument", "ktremote_mex %s gives at most %d outputs", name,
                              commands[i].outputs);
        Call call = {commands[i].name, nrhs, prhs};
        commands[i].handler(&call, nlhs, plhs);
        return;
    }
    mexErrMsgIdAndTxt("ktremote:badArgument", "ktremote_mex: unknown command '%s'", name);
}
