// SPDX-License-Identifier: MIT
// ktremote_e2e_bench: end-to-end figures of the library against ktsim over
// loopback, each beside its reference measured in the same run. Prints
// Markdown tables; scripts/bench.sh puts them into docs/performance.md.
//
//   ktremote_e2e_bench [--seconds S] [--markdown FILE] [--headline FILE] [--ktsim PATH] [--section NAME]
//   ktremote_e2e_bench --smoke     a second of streaming, checked sample by
//                                  sample; no timing (a ctest entry)
//   ktremote_e2e_bench --trial RECEIVER KHZ [--seconds S]
//                                  one loss-free trial at one rate per channel
//                                  (RECEIVER: paced, spinning, reference, sink)

#include "HostFigures.h"
#include "LossFree.h"
#include "Measure.h"
#include "Throughput.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

using namespace ktremote::bench;

namespace {

struct Arguments {
    std::string ktsim = KTSIM_EXECUTABLE;
    std::string markdown;
    std::string headline; // file for the table of the figures users meet
    std::string section;  // only this one: lossfree, commands, latency, throughput, scaling or memory
    double seconds = 2.0;
    int buffer = 1 << 16; // samples per channel buffer in the throughput runs
    bool smoke = false;
    int probeChannels = 0;
    int probeBuffer = 0;
    std::string trialReceiver; // --trial: paced, spinning, reference or sink
    int trialRate = 0;         // --trial: samples per second and channel
};

Arguments parse(int argc, char** argv)
{
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--ktsim")
            a.ktsim = value();
        else if (arg == "--markdown")
            a.markdown = value();
        else if (arg == "--headline")
            a.headline = value();
        else if (arg == "--section")
            a.section = value();
        else if (arg == "--seconds")
            a.seconds = std::stod(value());
        else if (arg == "--buffer")
            a.buffer = std::stoi(value());
        else if (arg == "--smoke")
            a.smoke = true;
        else if (arg == "--trial") {
            a.trialReceiver = value();
            a.trialRate = static_cast<int>(std::lround(std::stod(value()) * 1000));
        } else if (arg == "--memory-probe") {
            a.probeChannels = std::stoi(value());
            a.probeBuffer = std::stoi(value());
        } else
            throw std::invalid_argument("unknown option " + arg);
    }
    return a;
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...)
{
    char text[4096];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// The figures a host meets, each beside the anchor it is compared with in
// the same run: a Markdown table for the top of docs/performance.md, and a
// line per figure for the end of the output.
struct Headline {
    std::string rows;
    std::string lines;

    void add(const std::string& figure, const std::string& library, const std::string& anchor, const std::string& ratio,
             const std::string& target)
    {
        rows += "| " + figure + " | " + library + " | " + anchor + " | " + ratio + " | " + target + " |\n";
        if (ratio.empty()) // a figure with no anchor: its value against the target itself
            lines += figure + ": " + library + " (target " + target + ")\n";
        else
            lines += figure + ": " + ratio + " (" + library + " against " + anchor + "; target " + target + ")\n";
    }
    std::string table() const
    {
        return "| Figure | Library | Anchor, same run | Ratio | Target |\n|---|---|---|---:|---|\n" + rows;
    }
};

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    double one = 0, five = 0, fifteen = 0;
    in >> one >> five >> fifteen;
    return format("%.2f, %.2f, %.2f", one, five, fifteen);
}

// Streams bench64 in real time for a moment and checks every value.
int smoke(const Arguments& a)
{
    StreamRun run;
    run.ktsim = a.ktsim;
    run.sim.burst = false;
    run.seconds = 0.5;
    run.warmup = 0.1;
    const StreamFigures figures = measureLibrary(run, 1 << 16, true);
    std::printf("smoke: %.0f samples read, %s, %s\n", figures.samples, figures.intact ? "intact" : "WRONG VALUES",
                figures.overrun ? "OVERRUN" : "none dropped");
    // The stamps must come from the clock the host reads: a value read
    // cannot have been sent in the future or a minute ago.
    ktremote::e2e::TempDir dir;
    const LatencyFigures latency = measureLatency(a.ktsim, dir, 0.3);
    const bool sameClock = latency.values > 0 && latency.min >= 0.0 && latency.max < 60.0;
    std::printf("smoke: %zu stamped values, %s\n", latency.values,
                sameClock ? "stamps from the shared clock" : "STAMPS NOT FROM THE SHARED CLOCK");
    return figures.samples > 0 && figures.intact && !figures.overrun && sameClock ? 0 : 1;
}

std::string streamRow(const char* path, const StreamFigures& f, double raw)
{
    std::string note;
    if (!f.intact)
        note += " (values differed)";
    if (f.overrun)
        note += f.dropped ? format(" (%llu dropped)", static_cast<unsigned long long>(f.dropped)) : " (overrun)";
    return format("| %s | %.0f | %.1f | %.0f %% | %s |%s\n", path, f.megabytesPerSecond(), f.samplesPerSecond() / 1e6,
                  100.0 * f.megabytesPerSecond() / raw, f.coresText().c_str(), note.c_str());
}

std::string throughputSection(const Arguments& a)
{
    StreamRun run;
    run.ktsim = a.ktsim;
    run.seconds = a.seconds;
    const StreamBytes stream = streamBytes(run.sim.setup, run.sim.packetMs, 8 << 20);
    run.bytesPerSample = stream.bytesPerSample();

    const StreamFigures raw = measureSocketPair(stream, a.seconds, run.warmup);
    const StreamFigures sink = measureSimToSink(run);
    const StreamFigures library = measureLibrary(run, a.buffer, false);
    const StreamFigures libraryDefault = measureLibrary(run, 0, false);
    const StreamFigures reference = measureReference(run, static_cast<size_t>(a.buffer));
    const double limit = raw.megabytesPerSecond();
    const double share = library.megabytesPerSecond() / limit;

    std::string text =
        format("### Throughput\n\nktsim `--burst`, `builtin:bench64` (64 float32 channels), packets of "
               "5 ms = %.0f bytes; buffers of %d samples unless noted; %.1f s windows. MB/s counts stream bytes "
               "(%.3f bytes per sample). \"Cores\" is the CPU time of each participant over the window "
               "divided by its length.\n\n",
               static_cast<double>(stream.bytes.size()) / static_cast<double>(stream.packets), a.buffer, a.seconds,
               run.bytesPerSample);
    text += "| Path | MB/s | M samples/s | of raw loopback | Cores |\n|---|---:|---:|---:|---|\n";
    text += streamRow("raw loopback: socket pair in one process, same bytes, nothing decoded", raw, limit);
    text += streamRow("ktsim → plain receiving thread, nothing decoded", sink, limit);
    text +=
        streamRow("**ktsim → library → host draining all channels (`ktconChannelReadScalarData_2`)**", library, limit);
    text += streamRow("ktsim → library as above, default buffers (3000 samples)", libraryDefault, limit);
    text += streamRow("ktsim → reference receiver (read_until per packet, one atomic publish per sample) → host "
                      "popping one at a time",
                      reference, limit);
    text += format("\nThe library delivers **%.0f %%** of raw loopback (target ≥ 60 %%) and %.0f %% of what ktsim "
                   "alone can send; the reference path %.0f %%.\n\n",
                   100.0 * share, 100.0 * library.megabytesPerSecond() / sink.megabytesPerSecond(),
                   100.0 * reference.megabytesPerSecond() / limit);
    // CPU time per megabyte of each path: with every participant sharing the
    // machine's cores, cores / (CPU per MB) bounds the rate.
    const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    const auto cpuPerMegabyte = [](const StreamFigures& f) {
        double cores = 0.0;
        for (const auto& entry : f.cores)
            cores += entry.second;
        return cores / f.megabytesPerSecond();
    };
    text += format("CPU time per MB: raw loopback %.2f ms, ktsim → plain receiver %.2f ms, library path %.2f ms, "
                   "reference path %.2f ms. Spread over all %u CPUs, the library path's CPU cost alone bounds it at "
                   "%.0f MB/s (%.0f %% of this run's raw loopback).\n\n",
                   1e3 * cpuPerMegabyte(raw), 1e3 * cpuPerMegabyte(sink), 1e3 * cpuPerMegabyte(library),
                   1e3 * cpuPerMegabyte(reference), cpus, cpus / cpuPerMegabyte(library),
                   100.0 * cpus / cpuPerMegabyte(library) / limit);
    const auto perMegabyte = [](const StreamFigures& f, size_t i) {
        return 1e3 * f.cores[i].second / f.megabytesPerSecond();
    };
    text += format("Per MB, the raw sender spends %.2f ms and the raw receiver %.2f ms; on the library path ktsim "
                   "spends %.2f ms, the library's I/O thread %.2f ms and the host's reads %.2f ms.\n\n",
                   perMegabyte(raw, 0), perMegabyte(raw, 1), perMegabyte(library, 0), perMegabyte(library, 1),
                   perMegabyte(library, 2));
    return text;
}

// CPU seconds of a participant ("I/O", "receiver", "host") per million
// samples delivered, in milliseconds.
std::string cpuPerMillion(const StreamFigures& f, const char* who)
{
    for (const auto& [name, cores] : f.cores)
        if (name == who)
            return format("%.1f ms", 1e3 * cores * f.seconds / (f.samples / 1e6));
    return "";
}

// One loss-free trial, for chasing a figure of the loss-free section at one
// rate without the search around it.
int trial(const Arguments& a)
{
    const std::pair<const char*, Receiver> receivers[] = {{"paced", Receiver::PacedHost},
                                                          {"spinning", Receiver::SpinningHost},
                                                          {"reference", Receiver::Reference},
                                                          {"sink", Receiver::Sink}};
    const auto found = std::find_if(std::begin(receivers), std::end(receivers),
                                    [&](const auto& r) { return a.trialReceiver == r.first; });
    if (found == std::end(receivers) || a.trialRate <= 0)
        throw std::invalid_argument("--trial takes paced, spinning, reference or sink and a rate in kHz");
    ktremote::e2e::TempDir dir;
    const RateTrial t = tryRate(a.ktsim, dir, found->second, a.trialRate, a.seconds);
    const StreamFigures& f = t.figures;
    std::printf("%s at %d kHz: %s, %.1f M samples/s (%.1f %% of the samples due), %llu reads returned -21, "
                "%llu dropped, longest gap %.1f ms\n",
                found->first, a.trialRate / 1000, t.keptUp ? "kept up" : "fell behind", f.samplesPerSecond() / 1e6,
                100.0 * t.share(), static_cast<unsigned long long>(f.overrunReads),
                static_cast<unsigned long long>(f.dropped), f.longestGap * 1e3);
    std::string perMillion;
    for (const auto& [who, cores] : f.cores)
        perMillion += (perMillion.empty() ? "" : ", ") + who + " " + cpuPerMillion(f, who.c_str());
    std::printf("cores: %s\nCPU per M samples: %s\n", f.coresText().c_str(), perMillion.c_str());
    return t.keptUp ? 0 : 1;
}

// Each rate tried in kHz, ✓ or ✗; a failed one with the share of the samples
// due that arrived, the reads that returned -21 or samples dropped, and the
// longest time between two rounds of reads.
std::string trialsText(const RateSearch& search)
{
    std::string text;
    for (const RateTrial& trial : search.trials()) {
        text += format("%s%d %s", text.empty() ? "" : ", ", trial.rate / 1000, trial.keptUp ? "✓" : "✗");
        if (trial.keptUp)
            continue;
        const StreamFigures& f = trial.figures;
        text += format(" (%.0f %%", 100.0 * trial.share());
        if (f.overrunReads)
            text += format(", %llu × -21", static_cast<unsigned long long>(f.overrunReads));
        if (f.dropped)
            text += format(", %llu dropped", static_cast<unsigned long long>(f.dropped));
        if (f.longestGap > 0)
            text += format(", gap %.0f ms", f.longestGap * 1e3);
        text += ")";
    }
    return text;
}

std::string lossFreeSection(const Arguments& a, const ktremote::e2e::TempDir& dir, Headline& headline)
{
    const double seconds = std::max(1.0, a.seconds / 2);
    RateSearch searches[] = {RateSearch(Receiver::Reference), RateSearch(Receiver::PacedHost),
                             RateSearch(Receiver::SpinningHost), RateSearch(Receiver::Sink)};
    // The searches take turns, one trial each, so that a change of the
    // machine's load hits them alike.
    for (bool more = true; more;) {
        more = false;
        for (RateSearch& search : searches) {
            const int rate = search.next();
            if (rate == 0)
                continue;
            more = true;
            search.record(tryRate(a.ktsim, dir, search.receiver(), rate, seconds));
        }
    }
    const RateSearch& reference = searches[0];
    const RateSearch& paced = searches[1];
    const RateSearch& sink = searches[3];

    std::string text = format(
        "### Loss-free throughput in real time\n\nktsim streams %d float32 channels in real time (5 ms packets) "
        "at a rate per channel that a search raises until the receiver falls behind: doubling from 125 kHz, then "
        "narrowing to within 6 %%. A rate counts when the host got at least %.0f %% of the samples due over a "
        "%.1f s window and no sample was lost in it: no read returned -21 (`KX_ERR_DATA_OVERRUN`), the "
        "reference receiver dropped none. A rate that fails is tried once more. The paced hosts read every "
        "channel every %.0f ms (the library's with `ktconChannelReadScalarData_2`), from buffers "
        "(`ktconSetBufferSize`, or the reference's rings) that hold %.0f ms at the rate tried; the spinning "
        "host has the same buffers and reads again at once. The four searches take turns, one trial each. CPU "
        "is per million samples delivered at the highest loss-free rate, from each thread's CPU clock (Linux: "
        "`/proc/self/task/TID/schedstat`; the library's I/O thread is the thread that appeared with the "
        "connection). A failed rate shows the share of the samples due that arrived, reads that returned -21, "
        "samples dropped and the longest time between the starts of two rounds of reads.\n\n",
        kLossFreeChannels, 100 * kKeptUpShare, seconds, kReadPeriod * 1e3, kBufferSeconds * 1e3);
    text += "| Receiver | Loss-free rate per channel | M samples/s | MB/s | of plain receiver | Receiving thread "
            "CPU per M samples | Host CPU per M samples | Cores | Rates tried (kHz) |\n"
            "|---|---:|---:|---:|---:|---:|---:|---|---|\n";
    // The anchor is what ktsim sends in real time to a thread that only
    // receives: the most any receiver on this machine can keep up with.
    const RateTrial* anchor = sink.best();
    const auto row = [&](const char* name, const RateSearch& search, const char* receiving) {
        const RateTrial* best = search.best();
        if (!best)
            return format("| %s | none | | | | | | | %s |\n", name, trialsText(search).c_str());
        const StreamFigures& s = best->figures;
        const std::string share =
            anchor ? format("%.0f %%", 100.0 * s.samplesPerSecond() / anchor->figures.samplesPerSecond()) : "";
        return format("| %s | %d kHz | %.1f | %.0f | %s | %s | %s | %s | %s |\n", name, best->rate / 1000,
                      s.samplesPerSecond() / 1e6, s.megabytesPerSecond(), share.c_str(),
                      cpuPerMillion(s, receiving).c_str(), cpuPerMillion(s, "host").c_str(), s.coresText().c_str(),
                      trialsText(search).c_str());
    };
    text += row("**ktsim → library → host reading every 10 ms**", paced, "I/O");
    text += row("ktsim → library → host reading without pause", searches[2], "I/O");
    text += row("ktsim → reference receiver → host popping every 10 ms", reference, "receiver");
    text += row("ktsim → plain receiving thread, nothing decoded: what ktsim sends in real time (anchor)", sink,
                "receiver");
    const RateTrial* best = paced.best();
    const std::string figure = "Loss-free throughput, host reading every 10 ms";
    if (anchor && best) {
        const double share = 100.0 * best->figures.samplesPerSecond() / anchor->figures.samplesPerSecond();
        headline.add(figure, format("%.0f M samples/s", best->figures.samplesPerSecond() / 1e6),
                     format("plain receiving thread %.0f M samples/s", anchor->figures.samplesPerSecond() / 1e6),
                     format("%.0f %%", share), "≥ 80 %");
        text += format("\nThe host that reads every 10 ms keeps up with **%.0f %%** of what ktsim sends in real "
                       "time to a plain receiving thread (target ≥ 80 %%).",
                       share);
        if (const RateTrial* ref = reference.best())
            text += format(" The reference receiver keeps up with %.0f %%.",
                           100.0 * ref->figures.samplesPerSecond() / anchor->figures.samplesPerSecond());
        // What the CPU cost per sample allows: every participant's CPU time
        // per sample at the paced host's best rate, spread over all cores.
        double busy = 0.0;
        for (const auto& [name, cores] : best->figures.cores)
            busy += cores;
        const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
        const double bound = cpus / (busy / best->figures.samplesPerSecond());
        text += format(" At the CPU time per sample of ktsim, the I/O thread and the host at that rate, %u CPUs carry "
                       "at most %.0f M samples/s (%.0f %% of the anchor), and only if no thread ever waits for a "
                       "core.",
                       cpus, bound / 1e6, 100.0 * bound / anchor->figures.samplesPerSecond());
        text += "\n\n";
    } else {
        headline.add(figure, best ? "" : "none found", anchor ? "" : "none found", "", "≥ 80 %");
        text += "\n";
    }
    return text;
}

std::string latencySection(const Arguments& a, const ktremote::e2e::TempDir& dir, Headline& headline)
{
    const LatencyFigures f = measureLatency(a.ktsim, dir, std::max(2.0, 2 * a.seconds));
    std::string text = "### Latency\n\nktsim sends one float64 sample per 1 ms packet (real time), stamped with its "
                       "send time (`--stamp-send-time`); the host polls `ktconChannelReadScalarData_2` in a tight "
                       "loop and subtracts the stamp from the time it read the value.\n\n";
    text += "| Values | Median | 99th percentile | Maximum |\n|---:|---:|---:|---:|\n";
    text += format("| %zu | %.0f µs | %.0f µs | %.0f µs |\n\n", f.values, f.median * 1e6, f.p99 * 1e6, f.max * 1e6);
    text += format("Median %.0f µs (target < 50 µs), 99th percentile %.0f µs (target < 200 µs).\n\n", f.median * 1e6,
                   f.p99 * 1e6);
    headline.add("Latency from send to read, 1 kHz packets: median", format("%.0f µs", f.median * 1e6), "target itself",
                 "", "< 50 µs");
    headline.add("Latency from send to read, 1 kHz packets: 99th percentile", format("%.0f µs", f.p99 * 1e6),
                 "target itself", "", "< 200 µs");
    return text;
}

std::string scalingSection(const Arguments& a, const ktremote::e2e::TempDir& dir)
{
    std::string text = "### Scaling\n\nktsim `--burst` into the library, host draining every channel; about 64 KiB "
                       "of samples per 1 ms packet whatever the channel count. I/O CPU is the library I/O thread's "
                       "CPU time per sample and per packet.\n\n";
    text += "| Channels | Samples per block | MB/s | M samples/s | I/O CPU ns/sample | I/O CPU µs/packet | Cores |\n"
            "|---:|---:|---:|---:|---:|---:|---|\n";
    const double seconds = std::max(0.5, a.seconds * 0.75);
    for (int channels : {1, 16, 256, 1024}) {
        const int perBlock = 16384 / channels;
        StreamRun run;
        run.ktsim = a.ktsim;
        run.sim.setup = writeSetup(dir, channels, perBlock * 1000);
        run.sim.packetMs = 1;
        run.channels = channels;
        run.seconds = seconds;
        const StreamBytes stream = streamBytes(run.sim.setup, 1, 1 << 20);
        run.bytesPerSample = stream.bytesPerSample();
        const StreamFigures f = measureLibrary(run, 1 << 16, false);
        const double perSample = f.ioCpuSeconds / f.samples;
        text += format("| %d | %d | %.0f | %.1f | %.2f | %.1f | %s |\n", channels, perBlock, f.megabytesPerSecond(),
                       f.samplesPerSecond() / 1e6, perSample * 1e9, perSample * 16384 * 1e6, f.coresText().c_str());
    }
    text += "\n| Packet (bench64) | Bytes per packet | MB/s | M samples/s | I/O CPU ns/sample | I/O CPU µs/packet | "
            "Cores |\n|---:|---:|---:|---:|---:|---:|---|\n";
    for (int packetMs : {1, 5, 20, 80}) {
        StreamRun run;
        run.ktsim = a.ktsim;
        run.sim.packetMs = packetMs;
        run.seconds = seconds;
        const StreamBytes stream = streamBytes(run.sim.setup, packetMs, 1 << 20);
        run.bytesPerSample = stream.bytesPerSample();
        const double perPacket = 64.0 * 10 * packetMs;
        const StreamFigures f = measureLibrary(run, 1 << 16, false);
        const double perSample = f.ioCpuSeconds / f.samples;
        text += format("| %d ms | %.0f | %.0f | %.1f | %.2f | %.1f | %s |\n", packetMs, perPacket * run.bytesPerSample,
                       f.megabytesPerSecond(), f.samplesPerSecond() / 1e6, perSample * 1e9, perSample * perPacket * 1e6,
                       f.coresText().c_str());
    }
    return text + "\n";
}

std::string memorySection(const Arguments& a)
{
    std::string text =
        "### Memory\n\nGrowth of resident memory from before connecting to a running measurement "
        "with full buffers, per channel (sync channels: 8 bytes per buffered sample). Measured in a "
        "fresh process.\n\n| Channels | Buffer size (samples) | Resident per channel | Of which samples |\n"
        "|---:|---:|---:|---:|\n";
    for (const auto& [channels, buffer] : {std::pair{256, 3000}, std::pair{16, 1000000}}) {
        const MemoryFigures f = measureMemory(a.ktsim, channels, buffer);
        text += format("| %d | %d | %.1f KiB | %.1f KiB |\n", channels, buffer, f.bytesPerChannel / 1024,
                       buffer * 8.0 / 1024);
    }
    return text + "\n";
}

std::string commandSection(const Arguments& a, Headline& headline)
{
    const CommandFigures f = measureCommands(a.ktsim, 2000);
    std::string text = "### Command exchange\n\nOne `GETSTATUS` exchange with ktsim (request written, reply line "
                       "read), average of 2000.\n\n| Path | Per exchange |\n|---|---:|\n";
    text += format("| library, `ktconGetState` (whole line per write) | %.1f µs |\n", f.library * 1e6);
    text += format("| plain blocking client, whole line per write | %.1f µs |\n", f.wholeLine * 1e6);
    text += format("| reference: plain blocking client, one byte per write | %.1f µs |\n\n", f.oneByte * 1e6);
    text += format("Library / plain blocking client (whole line): %.2fx (target: at most 1.5x).\n\n",
                   f.library / f.wholeLine);
    headline.add("Command round trip, `ktconGetState`", format("%.1f µs", f.library * 1e6),
                 format("plain blocking client %.1f µs", f.wholeLine * 1e6), format("%.2f×", f.library / f.wholeLine),
                 "≤ 1.5×");
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const Arguments a = parse(argc, argv);
        if (a.probeChannels > 0)
            return memoryProbe(a.ktsim, a.probeChannels, a.probeBuffer);
        if (a.smoke)
            return smoke(a);
        if (!a.trialReceiver.empty())
            return trial(a);

        ktremote::e2e::TempDir dir;
        std::string text = "## End-to-end figures\n\nLoad average at the start: " + loadAverage() + ".\n\n";
        // Sections print as they finish, for whoever watches.
        std::fputs(text.c_str(), stdout);
        // The figures a host meets come first.
        Headline headline;
        const char* const names[] = {"lossfree", "commands", "latency", "throughput", "scaling", "memory"};
        for (int section = 0; section < 6; ++section) {
            if (!a.section.empty() && a.section != names[section])
                continue;
            std::string part;
            switch (section) {
            case 0: part = lossFreeSection(a, dir, headline); break;
            case 1: part = commandSection(a, headline); break;
            case 2: part = latencySection(a, dir, headline); break;
            case 3: part = throughputSection(a); break;
            case 4: part = scalingSection(a, dir); break;
            default: part = memorySection(a); break;
            }
            std::fputs(part.c_str(), stdout);
            std::fflush(stdout);
            text += part;
        }
        text += "Load average at the end: " + loadAverage() + ".\n";
        std::printf("### Summary\n\n%s\n", headline.lines.c_str());
        if (!a.headline.empty()) {
            std::ofstream out(a.headline);
            out << headline.table();
            if (!out)
                throw std::runtime_error("cannot write " + a.headline);
        }
        if (!a.markdown.empty()) {
            std::ofstream out(a.markdown);
            out << text;
            if (!out)
                throw std::runtime_error("cannot write " + a.markdown);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ktremote_e2e_bench: %s\n", e.what());
        return 1;
    }
}
