// SPDX-License-Identifier: MIT
/*
 * ktremote.hpp - header-only C++17 wrapper over the ktremote C functions.
 *
 *   ktremote::Instance app = ktremote::Instance::network();
 *   app.connect("localhost", 8999, 8001);
 *   ktremote::Channel speed = app.channelByName("Speed");
 *   std::vector<double> values(1000), times(1000);
 *   {
 *       ktremote::Measurement run = app.measure();          // start ... stop
 *       ktremote::ReadResult r = speed.read(values, times);  // no allocation
 *       // values[0 .. r.count) at times[0 .. r.count) seconds
 *   }
 *
 * Failures are thrown as ktremote::Error, a std::system_error whose code()
 * belongs to ktremote::category() and compares equal to ktremote::Result
 * values (e.g. `e.code() == ktremote::Result::NotConnected`); name() gives
 * the C name of the code ("KX_ERR_NOT_CONNECTED"). The two results that are
 * not failures are reported by the reads instead: samples dropped during the
 * measurement (ReadResult::overrun) and more samples waiting than the arrays
 * could take (ReadResult::more).
 *
 * Ownership follows the C functions: Channel frees its handle, the id
 * arrays of the channel enumeration are released before enumerateChannels()
 * returns, and an Instance disconnects itself when it is destroyed after a
 * successful connect, then destroys its handle, which gives back the
 * instance's thread, sockets and buffers. Instance and Channel are
 * move-only.
 *
 * Threads: like the C functions, an instance and its channels are used from
 * one thread at a time; separate instances are independent.
 */
#ifndef KTREMOTE_HPP
#define KTREMOTE_HPP

#include "ktremote.h"
#include "ktremote_results.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

namespace ktremote {

// ---- Result codes ----------------------------------------------------------

/** The result codes of the C functions as a scoped enumeration. */
enum class Result : int {
    MoreWaiting = KX_MORE_WAITING,
    LastChannelId = KX_LAST_CHANNEL_ID,
    Ok = KX_OK,
    ChannelNotFound = KX_ERR_CHANNEL_NOT_FOUND,
    Failed = KX_ERR_FAILED,
    NotConnected = KX_ERR_NOT_CONNECTED,
    BufferTooSmall = KX_ERR_BUFFER_TOO_SMALL,
    NoCommandConnection = KX_ERR_NO_COMMAND_CONNECTION,
    AppCallFailed = KX_ERR_APP_CALL_FAILED,
    InvalidHandle = KX_ERR_INVALID_HANDLE,
    BadAddress = KX_ERR_BAD_ADDRESS,
    NoTargetObject = KX_ERR_NO_TARGET_OBJECT,
    AppNotCreated = KX_ERR_APP_NOT_CREATED,
    AutomationCall = KX_ERR_AUTOMATION_CALL,
    BadCount = KX_ERR_BAD_COUNT,
    ChannelNotCreated = KX_ERR_CHANNEL_NOT_CREATED,
    NotSupported = KX_ERR_NOT_SUPPORTED,
    NotControlChannel = KX_ERR_NOT_CONTROL_CHANNEL,
    SetupNotLoaded = KX_ERR_SETUP_NOT_LOADED,
    DataOverrun = KX_ERR_DATA_OVERRUN,
    StartStep1 = KX_ERR_START_STEP1,
    StartStep2 = KX_ERR_START_STEP2,
    StartStep3 = KX_ERR_START_STEP3,
    StartStep4 = KX_ERR_START_STEP4,
    StartStep5 = KX_ERR_START_STEP5,
    StartStep6 = KX_ERR_START_STEP6,
    StartStoring = KX_ERR_START_STORING,
    StopStoring = KX_ERR_STOP_STORING,
};

// Every value of the shared result table is the one ktremote.h gives the
// code of the same name.
#define KTREMOTE_CHECK_RESULT(name, value, meaning)                                                                    \
    static_assert(static_cast<int>(name) == (value), #name " differs between ktremote.h and ktremote_results.h");
KTREMOTE_RESULTS(KTREMOTE_CHECK_RESULT)
#undef KTREMOTE_CHECK_RESULT

/** The C name of a result code ("KX_ERR_NOT_CONNECTED"), or "KX_UNKNOWN". */
inline const char* resultName(int code) noexcept
{
#define KTREMOTE_NAME_CASE(name, value, meaning)                                                                       \
    case value: return #name;
    switch (code) {
        KTREMOTE_RESULTS(KTREMOTE_NAME_CASE)
    default: return "KX_UNKNOWN";
    }
#undef KTREMOTE_NAME_CASE
}

/** What a result code means, as a sentence without a full stop, or
 *  "unknown result code". */
inline const char* resultDescription(int code) noexcept
{
#define KTREMOTE_MEANING_CASE(name, value, meaning)                                                                    \
    case value: return meaning;
    switch (code) {
        KTREMOTE_RESULTS(KTREMOTE_MEANING_CASE)
    default: return "unknown result code";
    }
#undef KTREMOTE_MEANING_CASE
}

namespace detail {

class ResultCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "ktremote"; }
    std::string message(int code) const override
    {
        return std::string(resultName(code)) + ": " + resultDescription(code);
    }
};

} // namespace detail

/** The error category of every ktremote error code. */
inline const std::error_category& category() noexcept
{
    static const detail::ResultCategory instance;
    return instance;
}

inline std::error_code make_error_code(Result result) noexcept { return {static_cast<int>(result), category()}; }

} // namespace ktremote

namespace std {
template <>
struct is_error_code_enum<ktremote::Result> : true_type {
};
} // namespace std

namespace ktremote {

/** A failure reported by a C function: code() is in category(), value() the
 *  C result code, name() its C name. */
class Error : public std::system_error {
public:
    Error(int code, const std::string& what) : std::system_error(code, category(), what) {}
    Error(Result code, const std::string& what) : Error(static_cast<int>(code), what) {}

    /** The C result code (negative). */
    int value() const noexcept { return code().value(); }
    /** The C name of the result code, e.g. "KX_ERR_NOT_CONNECTED". */
    const char* name() const noexcept { return resultName(code().value()); }
};

namespace detail {

// Turns a negative result into an Error; returns non-negative results.
inline int check(KX_ERROR_CODE code, const char* function)
{
    if (code < 0)
        throw Error(static_cast<int>(code), function);
    return static_cast<int>(code);
}

} // namespace detail

// ---- Span ------------------------------------------------------------------

/** A view of contiguous elements: what the reads fill. Built from a pointer
 *  and a size, a C array, a std::array or any contiguous container with
 *  data() and size() (std::vector, std::span in C++20). */
template <class T>
class Span {
public:
    using element_type = T;
    using value_type = std::remove_cv_t<T>;
    using size_type = std::size_t;
    using iterator = T*;

    constexpr Span() noexcept = default;
    constexpr Span(T* data, std::size_t size) noexcept : spanData(data), spanSize(size) {}
    template <std::size_t N>
    constexpr Span(T (&array)[N]) noexcept : spanData(array), spanSize(N)
    {
    }
    template <class Container,
              class = std::enable_if_t<!std::is_same_v<std::remove_cv_t<std::remove_reference_t<Container>>, Span> &&
                                       !std::is_array_v<std::remove_reference_t<Container>> &&
                                       std::is_convertible_v<decltype(std::data(std::declval<Container&>())), T*> &&
                                       std::is_integral_v<decltype(std::size(std::declval<Container&>()))>>>
    constexpr Span(Container&& container) noexcept(noexcept(std::data(container)))
        : spanData(std::data(container)), spanSize(std::size(container))
    {
    }

    constexpr T* data() const noexcept { return spanData; }
    constexpr std::size_t size() const noexcept { return spanSize; }
    constexpr bool empty() const noexcept { return spanSize == 0; }
    constexpr T& operator[](std::size_t k) const noexcept { return spanData[k]; }
    constexpr T* begin() const noexcept { return spanData; }
    constexpr T* end() const noexcept { return spanData + spanSize; }
    constexpr Span first(std::size_t n) const noexcept { return {spanData, std::min(n, spanSize)}; }

private:
    T* spanData = nullptr;
    std::size_t spanSize = 0;
};

template <class T, std::size_t N>
Span(T (&)[N]) -> Span<T>;
template <class Container>
Span(Container&) -> Span<std::remove_pointer_t<decltype(std::data(std::declval<Container&>()))>>;

// ---- Small value types -----------------------------------------------------

/** Application states (ktconGetState). */
enum class State : int {
    Unknown = KX_STATE_UNKNOWN,
    Setup = KX_STATE_SETUP,
    Acquiring = KX_STATE_ACQUIRING,
    Stopped = KX_STATE_STOPPED,
    Analysis = KX_STATE_ANALYSIS,
};

/** Channel types (ktconGetChannelType). */
enum class ChannelType : int {
    Async = KX_CHANNEL_ASYNC,
    Sync = KX_CHANNEL_SYNC,
    SingleValue = KX_CHANNEL_SINGLE_VALUE,
};

/** Which instance a new Instance is. */
enum class Backend { Network, Automation };

/** What a read into caller buffers delivered. */
struct ReadResult {
    std::size_t count = 0; /**< entries filled in both arrays */
    bool overrun = false;  /**< samples were dropped during this measurement
                                (read more often or raise the buffer size);
                                the delivered ones are still valid */
    bool more = false;     /**< more samples were waiting than fitted */
};

/** What a convenience read delivered. */
struct Samples {
    std::vector<double> values;
    std::vector<double> times;
    bool overrun = false;
    bool more = false;

    std::size_t size() const noexcept { return values.size(); }
    bool empty() const noexcept { return values.empty(); }
};

/** The library's version text, such as "1.2.3.4". */
inline std::string version()
{
    char text[32] = {};
    detail::check(ktconGetVersion(text, sizeof text), "ktconGetVersion");
    return text;
}

// ---- Channel ---------------------------------------------------------------

/** An owned channel handle. Freed (ktconFreeChannelInstance) when destroyed. */
class Channel {
public:
    Channel() noexcept = default;
    /** Takes ownership of a handle from ktconCreateChannelInstance*. */
    explicit Channel(::ChannelInstance* handle) noexcept : ownedHandle(handle) {}
    Channel(Channel&& other) noexcept : ownedHandle(std::exchange(other.ownedHandle, nullptr)) {}
    Channel& operator=(Channel&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.ownedHandle, nullptr));
        return *this;
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    ~Channel() { reset(); }

    ::ChannelInstance* handle() const noexcept { return ownedHandle; }
    explicit operator bool() const noexcept { return ownedHandle != nullptr; }
    /** Gives up ownership: the caller frees the returned handle. */
    ::ChannelInstance* release() noexcept { return std::exchange(ownedHandle, nullptr); }
    /** Frees the current handle and takes the given one. */
    void reset(::ChannelInstance* handle = nullptr) noexcept
    {
        if (ownedHandle != nullptr)
            ktconFreeChannelInstance(ownedHandle);
        ownedHandle = handle;
    }

    /** The channel's UTF-8 name, whole. */
    std::string name() const
    {
        std::string text(64, '\0');
        for (;;) {
            size_t required = 0;
            const KX_ERROR_CODE rc = ktconChannelGetNameUtf8(ownedHandle, text.data(), text.size(), &required);
            if (rc == KX_ERR_BUFFER_TOO_SMALL && required > text.size()) {
                text.assign(required, '\0');
                continue;
            }
            detail::check(rc, "ktconChannelGetNameUtf8");
            text.resize(std::strlen(text.c_str()));
            return text;
        }
    }

    /** The channel's physical unit. */
    std::string unit() const
    {
        // The unit copy reports no required size: grow the buffer while the
        // text fills it completely, so that a long unit is never cut.
        std::string text(64, '\0');
        for (;;) {
            text.assign(text.size(), '\0');
            detail::check(ktconGetChUnit(ownedHandle, text.data(), text.size()), "ktconGetChUnit");
            const std::size_t length = std::strlen(text.c_str());
            if (length + 1 < text.size() || text.size() >= 65536) {
                text.resize(length);
                return text;
            }
            text.resize(text.size() * 4);
        }
    }

    ChannelType type() const
    {
        int type = 0;
        detail::check(ktconGetChannelType(ownedHandle, &type), "ktconGetChannelType");
        return static_cast<ChannelType>(type);
    }

    bool isControl() const
    {
        bool control = false;
        detail::check(ktconIsChannelControl(ownedHandle, &control), "ktconIsChannelControl");
        return control;
    }

    /** Sample rate in Hz; the expected rate of an asynchronous channel, -1
     *  for a single-value channel. */
    double sampleRate() const
    {
        double rate = -1.0;
        detail::check(ktconGetSampleRate(ownedHandle, &rate), "ktconGetSampleRate");
        return rate;
    }

    /** Marks the channel for transfer (or not) from the next start on. */
    void setTransferred(bool transferred)
    {
        detail::check(ktconChannelSetTransferred(ownedHandle, transferred), "ktconChannelSetTransferred");
    }

    /** Writes a value to a control channel; throws when it is not one or the
     *  request did not reach the application. */
    void write(double value)
    {
        detail::check(ktconControlChannelWriteData(ownedHandle, value), "ktconControlChannelWriteData");
    }

    /** Reads up to min(values.size(), times.size()) samples with their times
     *  in seconds into the caller's arrays. Allocates nothing. */
    ReadResult read(Span<double> values, Span<double> times)
    {
        return readInto(&ktconChannelReadScalarData_2, "ktconChannelReadScalarData_2", values, times);
    }

    /** Like read(), with absolute times in days. */
    ReadResult readAbsolute(Span<double> values, Span<double> times)
    {
        return readInto(&ktconChannelReadScalarData_2abs, "ktconChannelReadScalarData_2abs", values, times);
    }

    /** Reads up to maxCount samples into new vectors (times in seconds). */
    Samples read(std::size_t maxCount) { return readNew(maxCount, false); }

    /** Like read(maxCount), with absolute times in days. */
    Samples readAbsolute(std::size_t maxCount) { return readNew(maxCount, true); }

private:
    using ReadFunction = KX_ERROR_CODE (*)(::ChannelInstance*, double*, double*, size_t*);

    ReadResult readInto(ReadFunction function, const char* functionName, Span<double> values, Span<double> times)
    {
        size_t count = std::min(values.size(), times.size());
        // Empty arrays still ask for the overrun state: hand the library a
        // valid address, of which it uses no element.
        double none[1];
        double* v = count != 0 ? values.data() : none;
        double* t = count != 0 ? times.data() : none;
        const KX_ERROR_CODE rc = function(ownedHandle, v, t, &count);
        ReadResult result;
        result.overrun = rc == KX_ERR_DATA_OVERRUN;
        if (!result.overrun)
            result.more = detail::check(rc, functionName) == KX_MORE_WAITING;
        result.count = count;
        return result;
    }

    Samples readNew(std::size_t maxCount, bool absolute)
    {
        Samples samples;
        samples.values.resize(maxCount);
        samples.times.resize(maxCount);
        const ReadResult r =
            absolute ? readAbsolute(samples.values, samples.times) : read(samples.values, samples.times);
        samples.values.resize(r.count);
        samples.times.resize(r.count);
        samples.overrun = r.overrun;
        samples.more = r.more;
        return samples;
    }

    ::ChannelInstance* ownedHandle = nullptr;
};

// ---- Channel id enumeration ------------------------------------------------

/** The ids of the id enumeration (ktconInitChannelIdEnum and its pairs of
 *  ktconGetNextChannelIdSize / ktconGetNextChannelId) as a single-pass range.
 *  begin() starts the enumeration; a network instance continues where its
 *  previous enumeration stopped, so walk it once per instance, or use
 *  Instance::enumerateChannels() for a repeatable list. */
class ChannelIds {
public:
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;
        using pointer = const std::string*;
        using reference = const std::string&;

        iterator() noexcept = default;
        reference operator*() const noexcept { return currentId; }
        pointer operator->() const noexcept { return &currentId; }
        iterator& operator++()
        {
            advance();
            return *this;
        }
        void operator++(int) { advance(); }
        friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.done() == b.done(); }
        friend bool operator!=(const iterator& a, const iterator& b) noexcept { return !(a == b); }

    private:
        friend class ChannelIds;
        explicit iterator(::KTXInstance* instance) : instanceHandle(instance) { advance(); }

        bool done() const noexcept { return instanceHandle == nullptr; }

        void advance()
        {
            if (instanceHandle == nullptr)
                return;
            if (last) {
                instanceHandle = nullptr;
                return;
            }
            int size = 0;
            detail::check(ktconGetNextChannelIdSize(instanceHandle, &size), "ktconGetNextChannelIdSize");
            if (size <= 0) {
                // Nothing was left: the size was not written.
                instanceHandle = nullptr;
                return;
            }
            std::string id(static_cast<std::size_t>(size), '\0');
            const int rc = detail::check(ktconGetNextChannelId(instanceHandle, id.data()), "ktconGetNextChannelId");
            id.resize(std::strlen(id.c_str()));
            currentId = std::move(id);
            last = rc == KX_LAST_CHANNEL_ID;
        }

        ::KTXInstance* instanceHandle = nullptr;
        std::string currentId;
        bool last = false;
    };

    explicit ChannelIds(::KTXInstance* instance) noexcept : instanceHandle(instance) {}

    iterator begin()
    {
        detail::check(ktconInitChannelIdEnum(instanceHandle), "ktconInitChannelIdEnum");
        return iterator(instanceHandle);
    }
    iterator end() const noexcept { return iterator(); }

private:
    ::KTXInstance* instanceHandle;
};

// ---- Instance --------------------------------------------------------------

class Instance;

/** A running measurement: started on construction (Instance::measure()),
 *  stopped by stop() or on destruction. Values already received stay
 *  readable after the stop. */
class Measurement {
public:
    Measurement(Measurement&& other) noexcept : instanceHandle(std::exchange(other.instanceHandle, nullptr)) {}
    Measurement& operator=(Measurement&& other) noexcept
    {
        if (this != &other) {
            stopQuietly();
            instanceHandle = std::exchange(other.instanceHandle, nullptr);
        }
        return *this;
    }
    Measurement(const Measurement&) = delete;
    Measurement& operator=(const Measurement&) = delete;
    ~Measurement() { stopQuietly(); }

    bool running() const noexcept { return instanceHandle != nullptr; }

    void stop()
    {
        if (::KTXInstance* instance = std::exchange(instanceHandle, nullptr))
            detail::check(ktconStopMeasurement(instance), "ktconStopMeasurement");
    }

private:
    friend class Instance;
    explicit Measurement(::KTXInstance* instance) : instanceHandle(instance)
    {
        detail::check(ktconStartMeasurement(instanceHandle), "ktconStartMeasurement");
    }
    void stopQuietly() noexcept
    {
        if (::KTXInstance* instance = std::exchange(instanceHandle, nullptr))
            ktconStopMeasurement(instance);
    }

    ::KTXInstance* instanceHandle = nullptr;
};

/** An instance: one connection to the application. */
class Instance {
public:
    /** Creates a network (TCP) or automation instance; no I/O happens. */
    explicit Instance(Backend backend)
    {
        ::KTXInstance* handle = nullptr;
        detail::check(ktconCreateInstance(&handle, backend == Backend::Network ? 1 : 0), "ktconCreateInstance");
        ownedHandle = handle;
    }
    static Instance network() { return Instance(Backend::Network); }
    static Instance automation() { return Instance(Backend::Automation); }

    /** Wraps a handle from ktconCreateInstance and takes it over: the
     *  wrapper disconnects only what its own connect() connected, and
     *  destroys the instance when it goes. */
    static Instance fromHandle(::KTXInstance* handle) noexcept { return Instance(handle); }

    Instance(Instance&& other) noexcept
        : ownedHandle(std::exchange(other.ownedHandle, nullptr)),
          connectedHere(std::exchange(other.connectedHere, false))
    {
    }
    Instance& operator=(Instance&& other) noexcept
    {
        if (this != &other) {
            close();
            ownedHandle = std::exchange(other.ownedHandle, nullptr);
            connectedHere = std::exchange(other.connectedHere, false);
        }
        return *this;
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    ~Instance() { close(); }

    ::KTXInstance* handle() const noexcept { return ownedHandle; }

    /** Disconnects what connect() connected and destroys the handle
     *  (ktconDestroyInstance), which gives back everything it holds. */
    void close() noexcept
    {
        if (ownedHandle == nullptr)
            return;
        if (connectedHere)
            ktconDisconnect(ownedHandle);
        ktconDestroyInstance(ownedHandle);
        ownedHandle = nullptr;
        connectedHere = false;
    }

    /** Connects with a connect text: "host commandPort dataPort" for a
     *  network instance (ignored by an automation instance). Throws
     *  Error with the connect result (e.g. Result::NoCommandConnection) when
     *  the connection did not come up. */
    void connect(const std::string& connection)
    {
        detail::check(ktconConnect(ownedHandle, connection.c_str()), "ktconConnect");
        // An instance that is not connected also says so in the next call's
        // connected check. Asking for the next id size neither sends
        // anything nor changes the enumeration.
        int size = 0;
        if (ktconGetNextChannelIdSize(ownedHandle, &size) == KX_ERR_NOT_CONNECTED)
            throw Error(Result::NotConnected, "ktconConnect: could not connect to \"" + connection + "\"");
        connectedHere = true;
    }

    void connect(const std::string& host, int commandPort, int dataPort)
    {
        connect(host + " " + std::to_string(commandPort) + " " + std::to_string(dataPort));
    }

    /** Closes the command connection. */
    void disconnect()
    {
        connectedHere = false;
        detail::check(ktconDisconnect(ownedHandle), "ktconDisconnect");
    }

    void setAppWindowVisible(bool visible)
    {
        detail::check(ktconSetAppWindowVisible(ownedHandle, visible), "ktconSetAppWindowVisible");
    }

    // -- discovery

    std::size_t channelCount()
    {
        size_t count = 0;
        detail::check(ktconGetChannelCount(ownedHandle, &count), "ktconGetChannelCount");
        return count;
    }

    /** The ids of the application's used channels (channels without a name
     *  have no id and are left out). Can be called any number of times. */
    std::vector<std::string> enumerateChannels()
    {
        char** ids = nullptr;
        size_t count = 0;
        detail::check(ktconEnumerateChannels(ownedHandle, &ids, &count), "ktconEnumerateChannels");
        std::vector<std::string> result;
        // Copy everything first, then give back the array and the texts, so
        // that nothing is lost when the copy throws.
        struct Release {
            ::KTXInstance* instance;
            char*** ids;
            size_t count;
            ~Release()
            {
                if (*ids == nullptr)
                    return;
                for (size_t k = 0; k < count; ++k)
                    std::free((*ids)[k]);
                ktconFreeEnumerateChannels(instance, ids);
            }
        } release{ownedHandle, &ids, count};
        if (ids != nullptr) {
            result.reserve(count);
            for (size_t k = 0; k < count; ++k)
                if (ids[k] != nullptr)
                    result.emplace_back(ids[k]);
        }
        return result;
    }

    /** The id enumeration as a single-pass range (see ChannelIds). */
    ChannelIds channelIds() noexcept { return ChannelIds(ownedHandle); }

    /** Opens the channel with the given id and marks it for transfer.
     *  Throws Error(Result::ChannelNotCreated) for an unknown id. */
    Channel channel(const std::string& id)
    {
        ::ChannelInstance* handle = nullptr;
        const KX_ERROR_CODE rc = ktconCreateChannelInstance(ownedHandle, id.c_str(), &handle);
        Channel channel(handle);
        detail::check(rc, "ktconCreateChannelInstance");
        return channel;
    }

    /** Opens the first channel with the given UTF-8 name and marks it for
     *  transfer. Throws Error(Result::ChannelNotFound) for an unknown name. */
    Channel channelByName(const std::string& name)
    {
        ::ChannelInstance* handle = nullptr;
        const KX_ERROR_CODE rc = ktconCreateChannelInstanceByNameUtf8(ownedHandle, name.c_str(), &handle);
        Channel channel(handle);
        detail::check(rc, "ktconCreateChannelInstanceByNameUtf8");
        return channel;
    }

    /** Opens every used channel that has an id; each is marked for transfer. */
    std::vector<Channel> channels()
    {
        std::vector<Channel> result;
        for (const std::string& id : enumerateChannels())
            result.push_back(channel(id));
        return result;
    }

    // -- measuring and storing

    /** Samples buffered per channel from the next start on (network only). */
    void setBufferSize(int samples) { detail::check(ktconSetBufferSize(ownedHandle, samples), "ktconSetBufferSize"); }

    void loadSetup(const std::string& setupFile)
    {
        detail::check(ktconLoadSetup(ownedHandle, setupFile.c_str()), "ktconLoadSetup");
    }

    bool isAcquiring()
    {
        bool running = false;
        detail::check(ktconIsInAqusition(ownedHandle, &running), "ktconIsInAqusition");
        return running;
    }

    State state()
    {
        int state = 0;
        detail::check(ktconGetState(ownedHandle, &state), "ktconGetState");
        return static_cast<State>(state);
    }

    void startMeasurement() { detail::check(ktconStartMeasurement(ownedHandle), "ktconStartMeasurement"); }
    void stopMeasurement() { detail::check(ktconStopMeasurement(ownedHandle), "ktconStopMeasurement"); }

    /** Starts a measurement that stops when the returned object goes away. */
    Measurement measure() { return Measurement(ownedHandle); }

    void startStoring(const std::string& fileName)
    {
        detail::check(ktconStartStoring(ownedHandle, fileName.c_str()), "ktconStartStoring");
    }
    void stopStoring() { detail::check(ktconStopStoring(ownedHandle), "ktconStopStoring"); }

    /** Stops storing and returns the application's state read afterwards
     *  (State::Unknown when that read failed). */
    State stopStoringWithState()
    {
        int state = 0;
        detail::check(ktconStopStoringEx(ownedHandle, &state), "ktconStopStoringEx");
        return static_cast<State>(state);
    }

    /** Brackets a group of reads (the automation backend synchronises the
     *  data there; the network backend needs no bracket). */
    void beginRead() { detail::check(ktconBeginRead(ownedHandle, 0, 0), "ktconBeginRead"); }
    void endRead() { detail::check(ktconEndRead(ownedHandle), "ktconEndRead"); }

private:
    explicit Instance(::KTXInstance* handle) noexcept : ownedHandle(handle) {}

    ::KTXInstance* ownedHandle = nullptr;
    bool connectedHere = false;
};

} // namespace ktremote

#endif // KTREMOTE_HPP
