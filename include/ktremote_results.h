/* SPDX-License-Identifier: MIT */
/*
 * ktremote_results.h - the one table of result codes: C name, value and a
 * sentence that says what the code means to the person reading it.
 *
 * Every program of the project that names or explains a result code takes it
 * from here: the C++ wrapper (ktremote.hpp), ktcli, the MATLAB/Octave gateway
 * and, checked identical by a test, the Python package. The values are those
 * of KX_ERROR_CODE in ktremote.h; ktremote.hpp checks each one at compile
 * time. The two positive rows are results, not failures: a caller that gets
 * one has its data.
 *
 * Use it as an X-macro: define a macro taking (name, value, meaning) and pass
 * it to KTREMOTE_RESULTS, for example
 *
 *     #define KT_NAME_CASE(name, value, meaning) case value: return #name;
 *     switch (code) { KTREMOTE_RESULTS(KT_NAME_CASE) default: return "KX_UNKNOWN"; }
 *     #undef KT_NAME_CASE
 */
#ifndef KTREMOTE_RESULTS_H
#define KTREMOTE_RESULTS_H

/* clang-format off */
#define KTREMOTE_RESULTS(X) \
    X(KX_MORE_WAITING,                2, "more samples were waiting than the arrays could take") \
    X(KX_LAST_CHANNEL_ID,             1, "the id copied was the last one, or none was left") \
    X(KX_OK,                          0, "success") \
    X(KX_ERR_CHANNEL_NOT_FOUND,      -1, "the application has no channel with that name") \
    X(KX_ERR_FAILED,                 -2, "the operation failed in the library or in the application") \
    X(KX_ERR_NOT_CONNECTED,          -4, "the instance is not connected to the application") \
    X(KX_ERR_BUFFER_TOO_SMALL,       -5, "a text did not fit its buffer") \
    X(KX_ERR_NO_COMMAND_CONNECTION,  -6, "the command connection is not open") \
    X(KX_ERR_APP_CALL_FAILED,        -8, "a request to the application failed") \
    X(KX_ERR_INVALID_HANDLE,         -9, "a handle or a required argument was missing") \
    X(KX_ERR_BAD_ADDRESS,           -10, "the connect text is not \"host commandPort dataPort\"") \
    X(KX_ERR_NO_TARGET_OBJECT,      -11, "the application object is missing") \
    X(KX_ERR_APP_NOT_CREATED,       -12, "the application object could not be created") \
    X(KX_ERR_AUTOMATION_CALL,       -13, "an automation call failed") \
    X(KX_ERR_BAD_COUNT,             -14, "the channel count is not valid") \
    X(KX_ERR_CHANNEL_NOT_CREATED,   -15, "the application has no channel with that id") \
    X(KX_ERR_NOT_SUPPORTED,         -18, "this kind of connection does not offer the operation") \
    X(KX_ERR_NOT_CONTROL_CHANNEL,   -19, "the channel does not accept written values") \
    X(KX_ERR_SETUP_NOT_LOADED,      -20, "the application did not confirm loading the setup") \
    X(KX_ERR_DATA_OVERRUN,          -21, "samples were dropped because a channel buffer overflowed") \
    X(KX_ERR_START_STEP1,           -23, "the measurement could not be started (stopping the previous one)") \
    X(KX_ERR_START_STEP2,           -24, "the measurement could not be started (channel numbers)") \
    X(KX_ERR_START_STEP3,           -25, "the measurement could not be started (timing query)") \
    X(KX_ERR_START_STEP4,           -26, "the measurement could not be started (transfer request or data port)") \
    X(KX_ERR_START_STEP5,           -27, "the measurement could not be started (transfer start)") \
    X(KX_ERR_START_STEP6,           -28, "the measurement could not be started (acquisition start)") \
    X(KX_ERR_START_STORING,         -29, "the application did not start storing") \
    X(KX_ERR_STOP_STORING,          -30, "the application did not stop storing")
/* clang-format on */

#endif /* KTREMOTE_RESULTS_H */
