// SPDX-License-Identifier: MIT
// ktcli stream: start a measurement, read every chosen channel until the
// time is up (or a signal, a closed output or a lost application ends it),
// stop, read what is still buffered, and summarise.

#include "Commands.h"
#include "Connection.h"
#include "CsvSink.h"
#include "LossCounter.h"
#include "Signals.h"
#include "Hdf5Sink.h"
#include "StreamOutput.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ktcli {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Samples taken from a channel in one read call.
constexpr size_t readBlock = 8192;
// Pause between two rounds of reads. The default buffer of 3000 samples
// per channel lasts 3 s at 1 kHz, so this leaves plenty of room.
constexpr auto readPause = 20ms;
constexpr auto progressInterval = 500ms;
// How often the application is asked whether it is still there.
constexpr auto watchInterval = 1s;
// A state request that fails after this long failed for want of an answer;
// one that fails sooner found the connection closed.
constexpr auto silentAfter = 5s;
// After the stop, samples still on their way arrive within moments: the
// stream counts as finished after this many rounds without a new sample.
constexpr int quietRoundsAfterStop = 10;
constexpr auto drainLimit = 5s;

struct StreamOptions {
    double duration = 5.0;
    std::optional<int> bufferSize;
    std::string path = "-";
    bool hdf5 = false;
    bool compress = false;
    bool quiet = false;
    bool force = false;
    bool allowLoss = false;
};

bool hasHdf5Suffix(const std::string& path)
{
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    auto endsWith = [&](const std::string& suffix) {
        return lower.size() > suffix.size() && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    return endsWith(".h5") || endsWith(".hdf5");
}

StreamOptions streamOptions(const Arguments& arguments)
{
    StreamOptions options;
    options.duration = arguments.number("duration", 5.0);
    if (options.duration < 0.0)
        throw UsageError("--duration must not be negative");
    if (arguments.has("buffer-size")) {
        const long size = arguments.integer("buffer-size", 0);
        if (size < 1 || size > INT_MAX)
            throw UsageError("--buffer-size must be between 1 and " + std::to_string(INT_MAX));
        options.bufferSize = static_cast<int>(size);
    }
    options.path = arguments.text("output", "-");
    options.hdf5 =
        arguments.has("format") ? choice(arguments, "format", {"csv", "hdf5"}) == "hdf5" : hasHdf5Suffix(options.path);
    options.compress = arguments.has("compress");
    options.quiet = arguments.has("quiet");
    options.force = arguments.has("force");
    options.allowLoss = arguments.has("allow-loss");
    if (options.hdf5 && options.path == "-")
        throw UsageError("HDF5 goes to a file: give --output FILE");
    if (options.compress && !options.hdf5)
        throw UsageError("--compress applies to HDF5 recordings only");
    // A ktcli built without HDF5 says so before it connects to anything.
    if (options.hdf5 && !Hdf5Recorder::available())
        throw std::runtime_error("ktcli was built without HDF5 support");
    return options;
}

struct StreamedChannel {
    OpenChannel open;
    double rate;
    Statistics statistics;
    LossCounter loss;
    std::vector<double> values;
    std::vector<double> times;
};

std::vector<StreamedChannel> openChannels(Connection& connection, const std::vector<std::string>& keys)
{
    std::vector<OpenChannel> opened;
    if (keys.empty()) {
        opened = connection.openAll();
    } else {
        for (const std::string& key : keys) {
            OpenChannel channel = connection.open(key);
            for (const OpenChannel& other : opened)
                if (other.name == channel.name && other.id == channel.id)
                    throw UsageError("channel \"" + key + "\" is given twice");
            opened.push_back(std::move(channel));
        }
    }
    if (opened.empty())
        throw Failure(KX_ERR_CHANNEL_NOT_FOUND, "the application's setup has no channels to stream");
    std::vector<StreamedChannel> channels;
    for (OpenChannel& open : opened) {
        const double rate =
            request("cannot read the sample rate of " + open.name, [&] { return open.channel.sampleRate(); });
        const ktremote::ChannelType type = open.type;
        channels.push_back({std::move(open), rate, {}, LossCounter(type, rate), {}, {}});
    }
    return channels;
}

std::unique_ptr<SampleSink> makeSink(const StreamOptions& options, const std::vector<StreamedChannel>& channels,
                                     const std::string& commandLine)
{
    if (!options.hdf5) {
        std::vector<std::string> names;
        std::vector<std::string> units;
        for (const StreamedChannel& streamed : channels) {
            names.push_back(streamed.open.name);
            units.push_back(streamed.open.unit);
        }
        return std::make_unique<CsvSink>(options.path, names, units);
    }
    std::vector<RecordedChannel> recorded;
    for (const StreamedChannel& streamed : channels)
        recorded.push_back({streamed.open.name, streamed.open.id, streamed.open.unit,
                            static_cast<int>(streamed.open.type), streamed.rate});
    RecordingInfo info;
    info.libraryVersion = ktremote::version();
    info.commandLine = commandLine;
    info.compress = options.compress;
    return std::make_unique<Hdf5Sink>(options.path, recorded, info);
}

// Days since 1899-12-30 00:00 UTC, the time base of absolute sample times.
double daysNow()
{
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since1970).count() / 86400.0 + 25569.0;
}

class Reader {
public:
    Reader(std::vector<StreamedChannel>& channels, SampleSink& sink) : streamedChannels(channels), sampleSink(sink) {}

    // Reads everything buffered for every channel into the sink; returns
    // the number of samples read.
    size_t round()
    {
        size_t total = 0;
        for (;;) {
            std::vector<Samples> samples;
            bool full = false;
            for (StreamedChannel& streamed : streamedChannels) {
                streamed.values.resize(readBlock);
                streamed.times.resize(readBlock);
                const ktremote::ReadResult result = request("cannot read " + streamed.open.name, [&] {
                    return streamed.open.channel.read(streamed.values, streamed.times);
                });
                // After an overrun the samples delivered are still valid.
                overrunSeen = overrunSeen || result.overrun;
                streamed.statistics.add(streamed.values.data(), result.count);
                streamed.loss.add(streamed.times.data(), result.count, result.overrun);
                samples.push_back({streamed.values.data(), streamed.times.data(), result.count});
                total += result.count;
                full = full || result.count == readBlock;
            }
            sampleSink.write(samples);
            if (!full)
                return total;
        }
    }

    // Whether the measurement lost samples: the library reports that for
    // all channels together; the counts say which ones.
    bool lost() const
    {
        return overrunSeen ||
            std::any_of(streamedChannels.begin(), streamedChannels.end(),
                        [](const StreamedChannel& streamed) { return streamed.loss.lost(); });
    }

    std::vector<uint64_t> counts() const
    {
        std::vector<uint64_t> result;
        for (const StreamedChannel& streamed : streamedChannels)
            result.push_back(streamed.statistics.count());
        return result;
    }

    std::vector<std::string> losses() const
    {
        std::vector<std::string> result;
        for (const StreamedChannel& streamed : streamedChannels)
            result.push_back(streamed.loss.text());
        return result;
    }

private:
    std::vector<StreamedChannel>& streamedChannels;
    SampleSink& sampleSink;
    bool overrunSeen = false;
};

// Asks the application's state about once a second, so that a stream notices
// an application that went away even when samples simply stop coming.
class Watchdog {
public:
    explicit Watchdog(ktremote::Instance& app) : watchedApp(app), next(Clock::now() + watchInterval) {}

    // False once the application did not answer; reason() says why.
    bool check()
    {
        const Clock::time_point asked = Clock::now();
        if (asked < next)
            return true;
        try {
            watchedApp.state();
        } catch (const ktremote::Error&) {
            const auto waited = Clock::now() - asked;
            if (waited >= silentAfter) {
                const long seconds = std::lround(std::chrono::duration<double>(waited).count());
                failureReason = "no answer from the application for " + std::to_string(seconds) + " s";
            } else {
                failureReason = "the application closed the connection";
            }
            return false;
        }
        next = Clock::now() + watchInterval;
        return true;
    }

    const std::string& reason() const { return failureReason; }

private:
    ktremote::Instance& watchedApp;
    Clock::time_point next;
    std::string failureReason;
};

std::string describe(const std::exception& error)
{
    if (const auto* failure = dynamic_cast<const Failure*>(&error); failure != nullptr && failure->code() != 0)
        return std::string(failure->what()) + " (" + ktremote::resultName(failure->code()) + ")";
    return error.what();
}

} // namespace

int runStream(const Arguments& arguments)
{
    const StreamOptions options = streamOptions(arguments);
    Connection connection(arguments);
    ktremote::Instance& app = connection.instance();
    std::vector<StreamedChannel> channels = openChannels(connection, arguments.operands);
    // Starting would stop the measurement that runs now, someone else's
    // perhaps: only on request.
    if (!options.force && request("cannot ask whether the application acquires", [&] { return app.isAcquiring(); }))
        throw Failure(0, "the application is already measuring; `ktcli stop` ends that measurement, or use --force");
    if (options.bufferSize)
        request("cannot set the buffer size", [&] { app.setBufferSize(*options.bufferSize); });

    std::vector<std::string> names;
    std::vector<std::string> units;
    for (const StreamedChannel& streamed : channels) {
        names.push_back(streamed.open.name);
        units.push_back(streamed.open.unit);
    }
    const std::unique_ptr<SampleSink> sink = makeSink(options, channels, arguments.commandLine);
    Reader reader(channels, *sink);
    Progress progress(stderr, names, !options.quiet);

    // From here on the application may acquire because of ktcli: a signal
    // ends the stream through the stop below instead of ending the process.
    signals::noteFromNow();
    auto stopQuietly = [&] {
        try {
            app.stopMeasurement();
        } catch (const ktremote::Error&) {
        }
    };
    try {
        app.startMeasurement();
    } catch (const ktremote::Error& error) {
        // A start that failed half-way may have started the transfer.
        stopQuietly();
        throw Failure(error.value(), "cannot start the measurement");
    }
    // An application that answered every step of the start but does not
    // acquire shows here.
    bool acquiring = false;
    try {
        acquiring = app.isAcquiring();
    } catch (const ktremote::Error& error) {
        stopQuietly();
        throw Failure(error.value(), "cannot ask whether the application acquires");
    }
    if (!acquiring) {
        stopQuietly();
        throw Failure(KX_ERR_FAILED,
                      "the application did not start acquiring (is data port " + connection.dataPort() +
                          " free on this machine?)");
    }
    sink->start(daysNow());

    const Clock::time_point start = Clock::now();
    // Longer than about 30 years is for ever, and still fits the clock.
    const double seconds = std::min(options.duration, 1.0e9);
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    Clock::time_point nextProgress = start + progressInterval;
    Watchdog watchdog(app);
    std::string problem; // why the stream failed; empty when it did not
    bool appLost = false;
    bool warned = false;
    try {
        while (Clock::now() < end && signals::noted() == 0) {
            reader.round();
            if (sink->gone())
                break;
            if (!watchdog.check()) {
                problem = watchdog.reason();
                appLost = true;
                break;
            }
            if (reader.lost() && !warned) {
                progress.finish();
                std::fprintf(stderr,
                             "warning: samples were dropped: the channel buffers overflowed "
                             "(a larger --buffer-size helps)\n");
                warned = true;
            }
            const Clock::time_point now = Clock::now();
            if (now >= nextProgress) {
                progress.update(std::chrono::duration<double>(now - start).count(), reader.counts(), reader.losses());
                nextProgress = now + progressInterval;
            }
            std::this_thread::sleep_for(readPause);
        }
    } catch (const std::exception& error) {
        problem = describe(error);
    }

    try {
        app.stopMeasurement();
    } catch (const ktremote::Error& error) {
        if (problem.empty())
            problem = std::string("cannot stop the measurement (") + error.name() + ")";
    }

    // What was measured before the stop is still on its way or buffered;
    // after a lost application, what arrived is still readable.
    try {
        const Clock::time_point drainEnd = Clock::now() + drainLimit;
        for (int quiet = 0; quiet < quietRoundsAfterStop && Clock::now() < drainEnd;) {
            quiet = reader.round() == 0 ? quiet + 1 : 0;
            std::this_thread::sleep_for(readPause);
        }
        sink->finish();
    } catch (const std::exception& error) {
        if (problem.empty())
            problem = describe(error);
    }
    progress.finish();

    std::vector<Statistics> statistics;
    uint64_t total = 0;
    for (const StreamedChannel& streamed : channels) {
        statistics.push_back(streamed.statistics);
        total += streamed.statistics.count();
    }
    // With standard output gone (a closed pipe), the summary goes to
    // standard error.
    std::FILE* report = sink->report();
    const std::vector<std::string> losses = reader.losses();
    if (!printSummary(report, names, units, statistics, losses) && report != stderr) {
        std::clearerr(report);
        report = stderr;
        printSummary(report, names, units, statistics, losses);
    }
    if (const std::string line = sink->description(); !line.empty())
        std::fprintf(report, "%s\n", line.c_str());
    if (const int signal = signals::noted(); signal != 0)
        std::fprintf(report, "ended early by %s\n", signals::name(signal));
    if (sink->gone())
        std::fprintf(stderr, "ended early: the reader of the output went away\n");
    std::fflush(report);

    if (!problem.empty()) {
        std::fprintf(stderr, "ktcli stream: %s%s\n", problem.c_str(),
                     appLost ? "; the samples received until then are written" : "");
        return 1;
    }
    if (total == 0) {
        std::fprintf(stderr,
                     "ktcli stream: no samples arrived; is data port %s on this machine reachable from the "
                     "application (a firewall, or another program on that port)?\n",
                     connection.dataPort().c_str());
        return 1;
    }
    if (reader.lost()) {
        std::fprintf(stderr,
                     "ktcli stream: samples were lost (see the lost column); a larger --buffer-size or a "
                     "faster reader helps%s\n",
                     options.allowLoss ? "" : "; --allow-loss accepts the loss");
        return options.allowLoss ? 0 : 3;
    }
    return 0;
}

} // namespace ktcli
