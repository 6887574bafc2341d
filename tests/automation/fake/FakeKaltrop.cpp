// SPDX-License-Identifier: MIT
#include "FakeKaltrop.h"

#include <algorithm>

namespace fake {

namespace {

constexpr WORD method = DISPATCH_METHOD;
constexpr WORD get = DISPATCH_PROPERTYGET;
constexpr WORD put = DISPATCH_PROPERTYPUT;

// A handler that answers nothing.
HRESULT nothing(const std::vector<Arg>&, VARIANT*) { return S_OK; }

} // namespace

std::shared_ptr<FakeKaltrop> FakeKaltrop::create() { return std::shared_ptr<FakeKaltrop>(new FakeKaltrop()); }

std::string FakeKaltrop::labelOf(size_t k) const
{
    std::string id;
    for (size_t i = 0; i < channels[k].indexEx.size(); ++i)
        id += (i ? "," : "") + std::to_string(channels[k].indexEx[i]);
    return "[" + id + "]";
}

IDispatch* FakeKaltrop::newApplication()
{
    auto self = shared_from_this();
    auto* app = new FakeObject(recorder, "app", "app");
    for (const char* name : {"Init", "LoadSetup", "Start", "Stop", "SetupScreen", "StartStoring", "StopStoring"})
        app->on(method, name, nothing);
    app->on(put, "Visible", nothing);
    app->on(put, "SuppressMessages", nothing);
    app->on(get, "IsAcqRunning", [self](auto&, VARIANT* r) { return setBool(r, self->acqRunning), S_OK; });
    app->on(get, "ActualRunMode", [self](auto&, VARIANT* r) { return setInt(r, self->runMode), S_OK; });
    app->on(get, "MeasureMenuIndex", [self](auto&, VARIANT* r) { return setInt(r, self->menuIndex), S_OK; });
    app->on(get, "Data", [self](auto&, VARIANT* r) { return setObject(r, self->newData()), S_OK; });
    // Not part of the application: lets a test in another process read the log.
    app->on(get, "CallLog", [self](auto&, VARIANT* r) {
        std::string text;
        for (const std::string& line : self->recorder->lines())
            text += line + "\n";
        return setText(r, text), S_OK;
    });
    return app;
}

IDispatch* FakeKaltrop::newData()
{
    auto self = shared_from_this();
    auto* data = new FakeObject(recorder, "data", "data");
    data->on(method, "StartDataSync", nothing);
    data->on(method, "EndDataSync", nothing);
    data->on(get, "UsedChannels", [self](auto&, VARIANT* r) { return setObject(r, self->newUsedChannels()), S_OK; });
    data->on(get, "SampleRate", [self](auto&, VARIANT* r) { return setInt(r, self->sampleRate), S_OK; });
    data->on(method, "FindChannel", [self](const std::vector<Arg>& args, VARIANT* r) {
        for (size_t k = 0; k < self->channels.size(); ++k) {
            if (!args.empty() && self->channels[k].name == args[0].text)
                return setObject(r, self->newChannel(k)), S_OK;
        }
        return S_OK; // VT_EMPTY: no such channel
    });
    data->on(method, "FindChannelByIndexEx", [self](const std::vector<Arg>& args, VARIANT* r) {
        for (size_t k = 0; k < self->channels.size(); ++k) {
            if (!args.empty() && self->channels[k].indexEx == args[0].array)
                return setObject(r, self->newChannel(k)), S_OK;
        }
        return S_OK;
    });
    return data;
}

IDispatch* FakeKaltrop::newUsedChannels()
{
    auto self = shared_from_this();
    auto* used = new FakeObject(recorder, "used", "used");
    used->on(get, "Count",
             [self](auto&, VARIANT* r) { return setInt(r, static_cast<int32_t>(self->channels.size())), S_OK; });
    used->on(get, "Item", [self](const std::vector<Arg>& args, VARIANT* r) {
        const auto k = static_cast<size_t>(args.at(0).integer);
        if (k >= self->channels.size())
            return DISP_E_BADINDEX;
        return setObject(r, self->newChannel(k)), S_OK;
    });
    return used;
}

IDispatch* FakeKaltrop::newChannel(size_t k)
{
    auto self = shared_from_this();
    auto* channel = new FakeObject(recorder, "channel", "channel" + labelOf(k));
    auto state = [self, k]() -> FakeChannel& { return self->channels[k]; };
    channel->on(get, "Shown", [state](auto&, VARIANT* r) { return setBool(r, state().shown), S_OK; });
    channel->on(get, "DataType", [state](auto&, VARIANT* r) { return setInt(r, state().dataType), S_OK; });
    channel->on(get, "IndexEx", [state](auto&, VARIANT* r) {
        const auto& ids = state().indexEx;
        return setArray(r, VT_I4, ids.data(), ids.size()), S_OK;
    });
    channel->on(get, "Name", [state](auto&, VARIANT* r) { return setText(r, state().name), S_OK; });
    channel->on(get, "Unit_", [state](auto&, VARIANT* r) { return setText(r, state().unit), S_OK; });
    channel->on(get, "Async", [state](auto&, VARIANT* r) { return setBool(r, state().async), S_OK; });
    channel->on(get, "IsControlChannel", [state](auto&, VARIANT* r) { return setBool(r, state().control), S_OK; });
    channel->on(get, "IsSingleValue", [state](auto&, VARIANT* r) { return setBool(r, state().singleValue), S_OK; });
    channel->on(get, "CalcSRDiv", [state](auto&, VARIANT* r) { return setInt(r, state().divider), S_OK; });
    channel->on(get, "ExpectedAsyncRate",
                [state](auto&, VARIANT* r) { return setFloat(r, state().expectedAsyncRate), S_OK; });
    channel->on(method, "GetSampleRate", [state](auto&, VARIANT* r) { return setDouble(r, state().sampleRate), S_OK; });
    channel->on(method, "CreateConnection",
                [self, k](auto&, VARIANT* r) { return setObject(r, self->newConnection(k)), S_OK; });
    channel->on(get, "SingleValue", [state](auto&, VARIANT* r) { return setDouble(r, state().currentValue), S_OK; });
    channel->on(put, "SingleValue", [state](const std::vector<Arg>& args, VARIANT*) {
        state().currentValue = args.at(0).real;
        return S_OK;
    });
    channel->on(method, "AddAsyncData", nothing);
    channel->on(method, "ValueChanged", nothing);
    return channel;
}

IDispatch* FakeKaltrop::newConnection(size_t k)
{
    auto self = shared_from_this();
    auto* connection = new FakeObject(recorder, "connection", "connection" + labelOf(k));
    auto state = [self, k]() -> FakeChannel& { return self->channels[k]; };
    connection->on(put, "AType", nothing);
    connection->on(method, "Start", nothing);
    connection->on(get, "Start", nothing);
    connection->on(get, "Reset", nothing);
    connection->on(get, "Channel", [self, k](auto&, VARIANT* r) { return setObject(r, self->newChannel(k)), S_OK; });
    connection->on(get, "NumValues", [state](auto&, VARIANT* r) {
        const FakeChannel& c = state();
        return setInt(r, c.numValues ? *c.numValues : static_cast<int32_t>(c.values.size())), S_OK;
    });
    connection->on(method, "GetTSValues", [state](const std::vector<Arg>& args, VARIANT* r) {
        const FakeChannel& c = state();
        const size_t n = std::min(static_cast<size_t>(args.at(0).integer), c.times.size());
        if (c.timeType == VT_R4) {
            const std::vector<float> narrow(c.times.begin(), c.times.begin() + static_cast<ptrdiff_t>(n));
            setArray(r, VT_R4, narrow.data(), n);
        } else {
            setArray(r, VT_R8, c.times.data(), n);
        }
        return S_OK;
    });
    connection->on(method, "GetDataValues", [state](const std::vector<Arg>& args, VARIANT* r) {
        FakeChannel& c = state();
        const size_t n = std::min(static_cast<size_t>(args.at(0).integer), c.values.size());
        setArray(r, VT_R4, c.values.data(), n);
        c.values.erase(c.values.begin(), c.values.begin() + static_cast<ptrdiff_t>(n));
        c.times.erase(c.times.begin(), c.times.begin() + static_cast<ptrdiff_t>(std::min(n, c.times.size())));
        return S_OK;
    });
    return connection;
}

} // namespace fake
