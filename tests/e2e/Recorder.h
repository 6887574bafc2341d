// SPDX-License-Identifier: MIT
#pragma once

// Helpers of the tests that run ktcli stream as a long recorder against
// ktsim processes that come and go: waiting for what ktcli tells on its
// standard error, checking a recording's segments against ktsim's model,
// and running a test again inside a private namespace (unshare) for the
// faults that need one.

#include "Ktsim.h"
#include "Process.h"
#include "Recordings.h"
#include "SampleModel.h"

#include <chrono>
#include <string>

namespace ktremote::e2e {

// How often `text` occurs in the file.
size_t occurrences(const std::string& path, const std::string& text);

// Waits until `text` occurs at least `count` times in the file; false after
// the limit.
bool waitForText(const std::string& path, const std::string& text, size_t count,
                 std::chrono::seconds limit = std::chrono::seconds(90));

// Checks every segment of a recorded channel: sample i of a segment has
// exactly the value of ktsim's sample i (each measurement starts at sample
// 0) and its time is the segment's start plus the model's time of sample
// i, to the microsecond. Returns the samples checked.
size_t expectSegmentsFollowTheModel(const ktsim::SampleModel& model, const ReadRecording& file,
                                    const std::string& channel);

enum class Place { Inside, RanThere, Refused };

// Inside the namespace (the test runs again there): returns Inside.
// Outside: runs the current test again under `unshare <flag>` (root only),
// checks its outcome and returns RanThere, or Refused with the reason when
// no namespace can be made.
Place runInOwnNamespace(const std::string& flag, std::string& reason);

#define KTREMOTE_RUN_IN_OWN_NAMESPACE(flag)                                                                            \
    do {                                                                                                               \
        std::string reason;                                                                                            \
        const ::ktremote::e2e::Place place = ::ktremote::e2e::runInOwnNamespace(flag, reason);                         \
        if (place == ::ktremote::e2e::Place::Refused)                                                                  \
            GTEST_SKIP() << reason;                                                                                    \
        if (place == ::ktremote::e2e::Place::RanThere)                                                                 \
            return;                                                                                                    \
    } while (false)

// Runs a program (ip, mount) to its end and expects status 0.
void runOrFail(const std::string& program, const std::vector<std::string>& arguments);

} // namespace ktremote::e2e
