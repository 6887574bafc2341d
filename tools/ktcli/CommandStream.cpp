// SPDX-License-Identifier: MIT
// ktcli stream: start a measurement, read every chosen channel until the
// time is up (or a signal, a closed or failed output or a lost application
// ends it), stop, read what is still buffered, and summarise. With
// --reconnect a lost application ends only the current segment: ktcli waits
// for it, starts anew and records on into the same output.

#include "Commands.h"
#include "Connection.h"
#include "CsvSink.h"
#include "Hdf5Sink.h"
#include "Signals.h"
#include "SplitSink.h"
#include "StreamChannels.h"
#include "StreamOptions.h"
#include "StreamReader.h"
#include "StreamSession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ktcli {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Pause between two rounds of reads. The default buffer of 3000 samples
// per channel lasts 3 s at 1 kHz, so this leaves plenty of room.
constexpr auto readPause = 20ms;
constexpr auto progressInterval = 500ms;
// After the stop, samples still on their way arrive within moments: the
// stream counts as finished after this many rounds without a new sample.
constexpr int quietRoundsAfterStop = 10;
constexpr auto drainLimit = 5s;

// Days since 1899-12-30 00:00 UTC on the host's clock.
double daysNow()
{
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since1970).count() / 86400.0 + 25569.0;
}

std::unique_ptr<SampleSink> makeFileSink(const StreamOptions& options, const std::vector<StreamedChannel>& channels,
                                         const std::string& commandLine, const std::string& path)
{
    if (!options.hdf5)
        return std::make_unique<CsvSink>(path, channelNames(channels), channelUnits(channels));
    std::vector<RecordedChannel> recorded;
    for (const StreamedChannel& streamed : channels)
        recorded.push_back({streamed.open.name, streamed.open.id, streamed.open.unit,
                            static_cast<int>(streamed.open.type), streamed.rate});
    RecordingInfo info;
    info.libraryVersion = ktremote::version();
    info.commandLine = commandLine;
    info.compress = options.compress;
    return std::make_unique<Hdf5Sink>(path, recorded, info);
}

std::unique_ptr<SampleSink> makeSink(const StreamOptions& options, const std::vector<StreamedChannel>& channels,
                                     const std::string& commandLine)
{
    if (options.split <= 0.0)
        return makeFileSink(options, channels, commandLine, options.path);
    return std::make_unique<SplitSink>(options.path, options.split,
                                       [&options, &channels, commandLine](const auto& path) {
                                           return makeFileSink(options, channels, commandLine, path);
                                       });
}

std::string describe(const std::exception& error)
{
    if (const auto* failure = dynamic_cast<const Failure*>(&error); failure != nullptr && failure->code() != 0)
        return std::string(failure->what()) + " (" + ktremote::resultName(failure->code()) + ")";
    return error.what();
}

// How a segment ended.
struct SegmentEnd {
    std::string reason;  // for the recording's segments
    std::string problem; // why the stream failed (status 1); empty when it did not
    bool lost = false;   // the application was lost
    bool writeFailed = false;
};

struct Segment {
    double start;
    double end;
};

// One recording, phase by phase: start, record, end the segment, recover
// (after a loss, with --reconnect), finish.
class StreamRun {
public:
    StreamRun(const StreamOptions& options, Connection& connection, std::vector<StreamedChannel>& channels,
              SampleSink& sink)
        : streamOptions(options), connection(connection), streamedChannels(channels), sampleSink(sink),
          session(connection, channels, options), reader(channels, sink),
          progress(stderr, channelNames(channels), !options.quiet)
    {
    }

    int run()
    {
        // From here on a signal ends the stream through the stop below
        // instead of ending the process.
        signals::noteFromNow([this] { return session.stopFromSignal(); });
        session.start();
        reader.beginSegment(daysNow());
        recordStart = Clock::now();
        const double seconds = std::min(streamOptions.duration, 1.0e9); // longer than 30 years is for ever
        recordEnd = recordStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        SegmentEnd end;
        for (;;) {
            end = record();
            endSegment(end);
            if (end.lost && !streamOptions.reconnect && end.problem.empty())
                end.problem = end.reason;
            if (!end.lost || !streamOptions.reconnect || !recover(end))
                break;
        }
        return finish(end);
    }

private:
    SegmentEnd record()
    {
        SegmentEnd end;
        Clock::time_point nextProgress = Clock::now() + progressInterval;
        try {
            for (;;) {
                if (Clock::now() >= recordEnd) {
                    end.reason = "duration";
                    break;
                }
                if (signals::noted() != 0) {
                    end.reason = "signal";
                    break;
                }
                readRound();
                if (sampleSink.gone()) {
                    end.reason = "the reader of the output went away";
                    break;
                }
                if (!session.check()) {
                    end.reason = session.lostReason();
                    end.lost = true;
                    break;
                }
                warnOfLoss();
                const Clock::time_point now = Clock::now();
                if (now >= nextProgress) {
                    progress.update(std::chrono::duration<double>(now - recordStart).count(), reader.counts(),
                                    reader.losses());
                    nextProgress = now + progressInterval;
                }
                std::this_thread::sleep_for(readPause);
            }
        } catch (const WriteFailure& failure) {
            failWrite(end, failure);
        } catch (const std::exception& error) {
            end.reason = describe(error);
            end.problem = end.reason;
        }
        return end;
    }

    void readRound()
    {
        std::lock_guard<std::timed_mutex> hold(session.commands());
        reader.round();
    }

    void failWrite(SegmentEnd& end, const WriteFailure& failure)
    {
        const std::string text = failure.what();
        end.reason = text.compare(0, 14, "no space left ") == 0 ? "disk full" : "write failed";
        end.problem = text;
        end.writeFailed = true;
    }

    void warnOfLoss()
    {
        if (warned || !reader.lost())
            return;
        progress.finish();
        std::fprintf(stderr,
                     "warning: samples were dropped: the channel buffers overflowed "
                     "(a larger --buffer-size helps)\n");
        warned = true;
    }

    // Stops the measurement, reads what is still on its way, and closes the
    // segment in the output.
    void endSegment(SegmentEnd& end)
    {
        const std::string stopProblem = session.stop();
        if (end.problem.empty() && !end.lost)
            end.problem = stopProblem;
        // What was measured before the stop is still on its way or buffered;
        // after a lost application, what arrived is still readable.
        if (!end.writeFailed) {
            try {
                const Clock::time_point drainEnd = Clock::now() + drainLimit;
                for (int quiet = 0; quiet < quietRoundsAfterStop && Clock::now() < drainEnd;) {
                    std::unique_lock<std::timed_mutex> hold(session.commands());
                    quiet = reader.round() == 0 ? quiet + 1 : 0;
                    hold.unlock();
                    std::this_thread::sleep_for(readPause);
                }
            } catch (const WriteFailure& failure) {
                failWrite(end, failure);
            } catch (const std::exception& error) {
                if (end.problem.empty())
                    end.problem = describe(error);
            }
        }
        try {
            reader.settleStart();
            segments.push_back({reader.segmentStart(), reader.segmentEnd()});
            sampleSink.endSegment(end.reason);
        } catch (const WriteFailure& failure) {
            failWrite(end, failure);
        }
        lossSeen = lossSeen || end.lost;
    }

    // Waits for a lost application and starts anew; false when the stream
    // ends instead.
    bool recover(SegmentEnd& end)
    {
        progress.finish();
        std::fprintf(stderr, "ktcli stream: %s: %s; trying to reach the application again\n", timeNow().c_str(),
                     end.reason.c_str());
        const Clock::time_point lostAt = Clock::now();
        Clock::time_point giveUp = recordEnd;
        if (streamOptions.reconnectLimit)
            giveUp = std::min(giveUp,
                              lostAt +
                                  std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(*streamOptions.reconnectLimit)));
        bool back = false;
        try {
            back = session.recover(giveUp);
        } catch (const Failure& failure) {
            end.problem = failure.what();
            return false;
        }
        if (!back) {
            if (signals::noted() == 0 && Clock::now() < recordEnd)
                end.problem = "the application did not come back within " +
                    shortestText(*streamOptions.reconnectLimit) + " s (it was lost: " + end.reason + ")";
            return false;
        }
        std::fprintf(stderr, "ktcli stream: %s: the application is back after %.1f s; recording again\n",
                     timeNow().c_str(), std::chrono::duration<double>(Clock::now() - lostAt).count());
        reader.beginSegment(daysNow());
        return true;
    }

    // Closes the output, prints the summary and gives the exit status.
    int finish(SegmentEnd& end)
    {
        try {
            sampleSink.finish();
        } catch (const std::exception& error) {
            if (end.problem.empty())
                end.problem = describe(error);
        }
        progress.finish();
        printReport();
        if (!end.problem.empty()) {
            std::fprintf(stderr, "ktcli stream: %s%s\n", end.problem.c_str(),
                         end.lost ? "; the samples received until then are written" : "");
            return 1;
        }
        uint64_t total = 0;
        for (const StreamedChannel& streamed : streamedChannels)
            total += streamed.statistics.count();
        if (total == 0) {
            std::fprintf(stderr,
                         "ktcli stream: no samples arrived; is data port %s on this machine reachable from the "
                         "application (a firewall, or another program on that port)?\n",
                         connection.dataPort().c_str());
            return 1;
        }
        const char* accept = streamOptions.allowLoss ? "" : "; --allow-loss accepts the loss";
        if (lossSeen) {
            std::fprintf(stderr, "ktcli stream: the application was lost, so the recording has gaps%s\n", accept);
            return streamOptions.allowLoss ? 0 : 3;
        }
        if (reader.lost()) {
            std::fprintf(stderr,
                         "ktcli stream: samples were lost (see the lost column); a larger --buffer-size or a "
                         "faster reader helps%s\n",
                         accept);
            return streamOptions.allowLoss ? 0 : 3;
        }
        return 0;
    }

    void printReport()
    {
        std::vector<Statistics> statistics;
        for (const StreamedChannel& streamed : streamedChannels)
            statistics.push_back(streamed.statistics);
        const std::vector<std::string> names = channelNames(streamedChannels);
        const std::vector<std::string> units = channelUnits(streamedChannels);
        const std::vector<std::string> losses = reader.losses();
        // With standard output gone (a closed pipe), the summary goes to
        // standard error.
        std::FILE* report = sampleSink.report();
        if (!printSummary(report, names, units, statistics, losses) && report != stderr) {
            std::clearerr(report);
            report = stderr;
            printSummary(report, names, units, statistics, losses);
        }
        std::fprintf(report, "%s\n", segmentText().c_str());
        if (const std::string line = sampleSink.description(); !line.empty())
            std::fprintf(report, "%s\n", line.c_str());
        if (const int signal = signals::noted(); signal != 0)
            std::fprintf(report, "ended early by %s\n", signals::name(signal));
        if (sampleSink.gone())
            std::fprintf(stderr, "ended early: the reader of the output went away\n");
        std::fflush(report);
    }

    // "segments: 3; gaps: 6.214 s, 5.981 s"
    std::string segmentText() const
    {
        std::string text = "segments: " + std::to_string(segments.size());
        for (size_t k = 1; k < segments.size(); ++k) {
            char gap[48];
            std::snprintf(gap, sizeof gap, "%.3f s", segments[k].start - segments[k - 1].end);
            text += (k == 1 ? "; gaps: " : ", ") + std::string(gap);
        }
        return text;
    }

    const StreamOptions& streamOptions;
    Connection& connection;
    std::vector<StreamedChannel>& streamedChannels;
    SampleSink& sampleSink;
    StreamSession session;
    Reader reader;
    Progress progress;
    Clock::time_point recordStart;
    Clock::time_point recordEnd;
    std::vector<Segment> segments;
    bool warned = false;
    bool lossSeen = false;
};

} // namespace

int runStream(const Arguments& arguments)
{
    const StreamOptions options = streamOptions(arguments);
    Connection connection(arguments);
    std::vector<StreamedChannel> channels = openChannels(connection, arguments.operands);
    refuseRunningMeasurement(connection.instance(), options);
    const std::unique_ptr<SampleSink> sink = makeSink(options, channels, arguments.commandLine);
    StreamRun run(options, connection, channels, *sink);
    return run.run();
}

} // namespace ktcli
