// ktcli stream: start a measurement, read every chosen channel until the
// time is up, stop, read what is still buffered, and summarise.

#include "Commands.h"
#include "Session.h"
#include "StreamOutput.h"

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

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
// After the stop, samples still on their way arrive within moments: the
// stream counts as finished after this many rounds without a new sample.
constexpr int quietRoundsAfterStop = 10;
constexpr auto drainLimit = 5s;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int) { interrupted = 1; }

struct StreamedChannel {
    std::unique_ptr<Channel> channel;
    Statistics statistics;
    std::vector<double> values;
    std::vector<double> times;
};

class Reader {
public:
    explicit Reader(std::vector<StreamedChannel>& channels, CsvWriter& csv) : channels_(channels), csv_(csv) {}

    // Reads everything buffered for every channel; returns the number of
    // samples read.
    size_t round()
    {
        size_t total = 0;
        for (;;) {
            std::vector<Samples> samples;
            bool full = false;
            for (StreamedChannel& streamed : channels_) {
                streamed.values.resize(readBlock);
                streamed.times.resize(readBlock);
                size_t count = readBlock;
                const int result = ktconChannelReadScalarData_2(streamed.channel->handle(), streamed.values.data(),
                                                                streamed.times.data(), &count);
                if (result == KX_ERR_DATA_OVERRUN)
                    overflowed_ = true;  // the samples delivered are still valid
                else
                    check(result, "cannot read " + streamed.channel->name());
                streamed.statistics.add(streamed.values.data(), count);
                samples.push_back({streamed.values.data(), streamed.times.data(), count});
                total += count;
                full = full || count == readBlock;
            }
            csv_.writeRound(samples);
            if (!full)
                return total;
        }
    }

    bool overflowed() const { return overflowed_; }

    std::vector<uint64_t> counts() const
    {
        std::vector<uint64_t> result;
        for (const StreamedChannel& streamed : channels_)
            result.push_back(streamed.statistics.count());
        return result;
    }

private:
    std::vector<StreamedChannel>& channels_;
    CsvWriter& csv_;
    bool overflowed_ = false;
};

// Where the CSV goes. The library writes a line of its own to standard
// output for every data connection it accepts; so that it cannot end up
// among the CSV rows, a CSV for standard output is written to a duplicate
// of it, and standard output itself is sent to standard error from then on.
class CsvOutput {
public:
    explicit CsvOutput(const std::string& path) : toStdout_(path == "-")
    {
        if (!toStdout_) {
            file_ = std::fopen(path.c_str(), "w");
            if (file_ == nullptr)
                throw std::runtime_error("cannot create " + path);
            return;
        }
        std::fflush(stdout);
        const int copy = ::dup(STDOUT_FILENO);
        if (copy < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0 || (file_ = ::fdopen(copy, "w")) == nullptr)
            throw std::runtime_error("cannot write the CSV to standard output");
    }
    ~CsvOutput()
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    CsvOutput(const CsvOutput&) = delete;
    CsvOutput& operator=(const CsvOutput&) = delete;

    std::FILE* file() const { return file_; }
    // Where messages for the user go: not where the CSV goes.
    std::FILE* report() const { return toStdout_ ? stderr : stdout; }

private:
    bool toStdout_;
    std::FILE* file_ = nullptr;
};

}  // namespace

int runStream(const Arguments& arguments)
{
    const double duration = arguments.number("duration", 5.0);
    if (duration < 0.0)
        throw UsageError("--duration must not be negative");
    const long bufferSize = arguments.integer("buffer-size", 0);
    if (arguments.has("buffer-size") && (bufferSize < 1 || bufferSize > INT_MAX))
        throw UsageError("--buffer-size must be between 1 and " + std::to_string(INT_MAX));
    const std::string path = arguments.text("output", "-");

    Session session(arguments);
    std::vector<StreamedChannel> channels;
    if (arguments.operands.empty()) {
        for (auto& channel : session.openAll())
            channels.push_back({std::move(channel), {}, {}, {}});
    } else {
        for (const std::string& key : arguments.operands) {
            auto channel = session.open(key);
            for (const StreamedChannel& other : channels)
                if (other.channel->name() == channel->name() && other.channel->id() == channel->id())
                    throw UsageError("channel \"" + key + "\" is given twice");
            channels.push_back({std::move(channel), {}, {}, {}});
        }
    }
    if (channels.empty())
        throw Failure(KX_ERR_CHANNEL_NOT_FOUND, "the application's setup has no channels to stream");
    std::vector<std::string> names;
    std::vector<std::string> units;
    for (const StreamedChannel& streamed : channels) {
        names.push_back(streamed.channel->name());
        units.push_back(streamed.channel->unit());
    }

    if (arguments.has("buffer-size"))
        check(ktconSetBufferSize(session.instance(), static_cast<int>(bufferSize)), "cannot set the buffer size");

    CsvOutput output(path);
    std::FILE* report = output.report();
    CsvWriter csv(output.file(), names, units);
    Reader reader(channels, csv);
    Progress progress(stderr, names, !arguments.has("quiet"));

    check(ktconStartMeasurement(session.instance()), "cannot start the measurement");
    // An application that answered every step of the start but does not
    // acquire shows here.
    bool acquiring = false;
    check(ktconIsInAqusition(session.instance(), &acquiring), "cannot ask whether the application acquires");
    if (!acquiring)
        throw Failure(KX_ERR_FAILED, "the application did not start acquiring (is data port " +
                                         arguments.text("data-port", "8001") + " free on this machine?)");

    interrupted = 0;
    const auto previousHandler = std::signal(SIGINT, onInterrupt);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(duration));
    Clock::time_point nextProgress = start + progressInterval;
    bool warned = false;
    try {
        while (Clock::now() < end && !interrupted) {
            reader.round();
            if (reader.overflowed() && !warned) {
                progress.finish();
                std::fprintf(stderr, "warning: samples were dropped: the channel buffers overflowed "
                                     "(a larger --buffer-size helps)\n");
                warned = true;
            }
            const Clock::time_point now = Clock::now();
            if (now >= nextProgress) {
                progress.update(std::chrono::duration<double>(now - start).count(), reader.counts(),
                                reader.overflowed());
                nextProgress = now + progressInterval;
            }
            std::this_thread::sleep_for(readPause);
        }
    } catch (...) {
        std::signal(SIGINT, previousHandler);
        ktconStopMeasurement(session.instance());
        throw;
    }
    std::signal(SIGINT, previousHandler);
    check(ktconStopMeasurement(session.instance()), "cannot stop the measurement");

    // What was measured before the stop is still on its way or buffered.
    const Clock::time_point drainEnd = Clock::now() + drainLimit;
    for (int quiet = 0; quiet < quietRoundsAfterStop && Clock::now() < drainEnd;) {
        quiet = reader.round() == 0 ? quiet + 1 : 0;
        std::this_thread::sleep_for(readPause);
    }
    progress.finish();

    std::fflush(output.file());
    if (std::ferror(output.file()))
        throw std::runtime_error("cannot write the CSV to " + (path == "-" ? std::string("stdout") : path));

    std::vector<Statistics> statistics;
    for (const StreamedChannel& streamed : channels)
        statistics.push_back(streamed.statistics);
    printSummary(report, names, units, statistics);
    if (path != "-")
        std::fprintf(report, "CSV: %llu rows in %s\n", static_cast<unsigned long long>(csv.rows()), path.c_str());
    if (reader.overflowed())
        std::fprintf(report, "samples were dropped during the measurement; use a larger --buffer-size\n");
    return 0;
}

}  // namespace ktcli
