// SPDX-License-Identifier: MIT
#pragma once

// A stand-in for the application's automation object model: application,
// data, used-channel collection, channels and connections, each a real
// IDispatch (FakeObject) that records its calls. Tests set up the state
// below, hand newApplication() to an instance and read `recorder`.

#include "FakeObject.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fake {

struct FakeChannel {
    std::vector<int32_t> indexEx;
    bool shown = true;
    int32_t dataType = 1;
    std::string name;
    std::string unit;
    bool async = false;
    bool control = false;
    bool singleValue = false; // "IsSingleValue", asked at creation and on writes
    int32_t divider = 1;
    float expectedAsyncRate = 0.0f;
    double sampleRate = 0.0;

    // Values waiting in the channel's connection. "GetDataValues"(n) takes
    // the first n of them (and of `times`); "GetTSValues"(n) only looks.
    std::vector<float> values;
    std::vector<double> times;
    VARTYPE timeType = VT_R8;         // element type of "GetTSValues" arrays
    std::optional<int32_t> numValues; // "NumValues" when set, else values.size()
    double currentValue = 0.0;        // "SingleValue"
};

class FakeKaltrop : public std::enable_shared_from_this<FakeKaltrop> {
public:
    static std::shared_ptr<FakeKaltrop> create();

    // A new reference to a new application object.
    IDispatch* newApplication();

    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    bool acqRunning = false;   // "IsAcqRunning"
    int32_t runMode = 0;       // "ActualRunMode"
    int32_t menuIndex = 0;     // "MeasureMenuIndex"
    int32_t sampleRate = 1000; // the data object's "SampleRate"
    std::vector<FakeChannel> channels;

private:
    FakeKaltrop() = default;
    IDispatch* newData();
    IDispatch* newUsedChannels();
    IDispatch* newChannel(size_t k);
    IDispatch* newConnection(size_t k);
    std::string labelOf(size_t k) const;
};

} // namespace fake
