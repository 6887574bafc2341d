// ktremote_e2e_bench: end-to-end figures of the library against ktsim over
// loopback, each beside its reference measured in the same run. Prints
// Markdown tables; scripts/bench.sh puts them into docs/performance.md.
//
//   ktremote_e2e_bench [--seconds S] [--markdown FILE] [--ktsim PATH] [--section NAME]
//   ktremote_e2e_bench --smoke     a second of streaming, checked sample by
//                                  sample; no timing (a ctest entry)

#include "HostFigures.h"
#include "Measure.h"
#include "Throughput.h"

#include <algorithm>
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
    std::string section; // only this one: throughput, latency, scaling, memory or commands
    double seconds = 2.0;
    int buffer = 1 << 16; // samples per channel buffer in the throughput runs
    bool smoke = false;
    int probeChannels = 0;
    int probeBuffer = 0;
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
        else if (arg == "--section")
            a.section = value();
        else if (arg == "--seconds")
            a.seconds = std::stod(value());
        else if (arg == "--buffer")
            a.buffer = std::stoi(value());
        else if (arg == "--smoke")
            a.smoke = true;
        else if (arg == "--memory-probe") {
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
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

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

    std::string text = format("### Throughput\n\nktsim `--burst`, `builtin:bench64` (64 float32 channels), packets of "
                              "5 ms = %.0f bytes; buffers of %d samples unless noted; %.1f s windows. MB/s counts stream bytes "
                              "(%.3f bytes per sample). \"Cores\" is the CPU time of each participant over the window "
                              "divided by its length.\n\n",
                              static_cast<double>(stream.bytes.size()) / static_cast<double>(stream.packets),
                              a.buffer, a.seconds, run.bytesPerSample);
    text += "| Path | MB/s | M samples/s | of raw loopback | Cores |\n|---|---:|---:|---:|---|\n";
    text += streamRow("raw loopback: socket pair in one process, same bytes, nothing decoded", raw, limit);
    text += streamRow("ktsim → plain receiving thread, nothing decoded", sink, limit);
    text += streamRow("**ktsim → library → host draining all channels (`ktconChannelReadScalarData_2`)**", library, limit);
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

std::string latencySection(const Arguments& a, const ktremote::e2e::TempDir& dir)
{
    const LatencyFigures f = measureLatency(a.ktsim, dir, std::max(2.0, 2 * a.seconds));
    std::string text = "### Latency\n\nktsim sends one float64 sample per 1 ms packet (real time), stamped with its "
                       "send time (`--stamp-send-time`); the host polls `ktconChannelReadScalarData_2` in a tight "
                       "loop and subtracts the stamp from the time it read the value.\n\n";
    text += "| Values | Median | 99th percentile | Maximum |\n|---:|---:|---:|---:|\n";
    text += format("| %zu | %.0f µs | %.0f µs | %.0f µs |\n\n", f.values, f.median * 1e6, f.p99 * 1e6, f.max * 1e6);
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
                       f.megabytesPerSecond(), f.samplesPerSecond() / 1e6, perSample * 1e9,
                       perSample * perPacket * 1e6, f.coresText().c_str());
    }
    return text + "\n";
}

std::string memorySection(const Arguments& a)
{
    std::string text = "### Memory\n\nGrowth of resident memory from before connecting to a running measurement "
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

std::string commandSection(const Arguments& a)
{
    const CommandFigures f = measureCommands(a.ktsim, 2000);
    std::string text = "### Command exchange\n\nOne `GETSTATUS` exchange with ktsim (request written, reply line "
                       "read), average of 2000.\n\n| Path | Per exchange |\n|---|---:|\n";
    text += format("| library, `ktconGetState` (whole line per write) | %.1f µs |\n", f.library * 1e6);
    text += format("| plain blocking client, whole line per write | %.1f µs |\n", f.wholeLine * 1e6);
    text += format("| reference: plain blocking client, one byte per write | %.1f µs |\n\n", f.oneByte * 1e6);
    text += format("Library / plain blocking client (whole line): %.2fx (target: at most 1.5x).\n\n",
                   f.library / f.wholeLine);
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

        ktremote::e2e::TempDir dir;
        std::string text = "## End-to-end figures\n\nLoad average at the start: " + loadAverage() + ".\n\n";
        // Sections print as they finish, for whoever watches.
        std::fputs(text.c_str(), stdout);
        const char* const names[] = {"throughput", "latency", "scaling", "memory", "commands"};
        for (int section = 0; section < 5; ++section) {
            if (!a.section.empty() && a.section != names[section])
                continue;
            std::string part;
            switch (section) {
            case 0: part = throughputSection(a); break;
            case 1: part = latencySection(a, dir); break;
            case 2: part = scalingSection(a, dir); break;
            case 3: part = memorySection(a); break;
            default: part = commandSection(a); break;
            }
            std::fputs(part.c_str(), stdout);
            std::fflush(stdout);
            text += part;
        }
        text += "Load average at the end: " + loadAverage() + ".\n";
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
