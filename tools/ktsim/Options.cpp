// SPDX-License-Identifier: MIT
#include "Options.h"

#include <charconv>
#include <stdexcept>

namespace ktsim {
namespace {

std::uint64_t unsignedValue(const std::string& option, const std::string& text, std::uint64_t hi)
{
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value > hi)
        throw std::invalid_argument(option + " needs a number from 0 to " + std::to_string(hi) + ", not '" + text +
                                    "'");
    return value;
}

} // namespace

Options parseOptions(int argc, const char* const* argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                inlineValue = true;
            }
        }
        auto take = [&]() -> std::string {
            if (inlineValue)
                return value;
            if (i + 1 >= argc)
                throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        auto flag = [&] {
            if (inlineValue)
                throw std::invalid_argument(arg + " takes no value");
        };

        if (arg == "--port")
            o.port = static_cast<std::uint16_t>(unsignedValue(arg, take(), 65535));
        else if (arg == "--bind")
            o.bind = take();
        else if (arg == "--setup")
            o.setup = take();
        else if (arg == "--seed")
            o.seed = unsignedValue(arg, take(), UINT64_MAX);
        else if (arg == "--burst") {
            flag();
            o.burst = true;
        } else if (arg == "--stamp-send-time") {
            flag();
            o.stampSendTime = true;
        } else if (arg == "--packet-ms") {
            o.packetMs = static_cast<int>(unsignedValue(arg, take(), 10000));
            if (o.packetMs < 1)
                throw std::invalid_argument("--packet-ms must be at least 1");
        } else if (arg == "-v" || arg == "--verbose") {
            flag();
            o.verbose = true;
        } else if (arg == "--log")
            o.logFile = take();
        else if (arg == "--store-dir")
            o.storeDir = take();
        else if (arg == "--fault")
            o.faultSpecs.push_back(take());
        else if (arg == "--exit-on-stdin-eof") {
            flag();
            o.exitOnStdinEof = true;
        } else if (arg == "--print-setup")
            o.printSetup = take();
        else if (arg == "--help" || arg == "-h") {
            flag();
            o.help = true;
        } else if (arg == "--version") {
            flag();
            o.version = true;
        } else
            throw std::invalid_argument("unknown option '" + arg + "' (see ktsim --help)");
    }
    o.faults = parseFaults(o.faultSpecs);
    return o;
}

std::string usageText()
{
    return R"(Usage: ktsim [options]
Simulates a Kaltrop application: answers the command protocol on a TCP port
and streams the measured data of its setup to the host.

  --port N              command port (default 8999; 0 picks a free port)
  --bind ADDR           address to listen on (default 127.0.0.1)
  --setup FILE          setup file, or builtin:default, builtin:clean, builtin:bench64
                        (default builtin:default)
  --seed N              seed of noise and faults (default: random, logged)
  --burst               stream as fast as the host reads instead of in real time
  --packet-ms MS        time covered by one packet (default 5)
  --stamp-send-time     float64 samples carry their packet's send time (seconds
                        of the monotonic clock) instead of their waveform
  --store-dir DIR       where STARTSTORE writes its files (default .)
  -v                    log received lines and events to stderr
  --log FILE            log received lines and events to FILE
  --fault FAULT         inject a fault (repeatable):
                          split-replies[=MS]  split-packets[=MS]  no-greeting
                          close-on=CMD[#K]  silent-on=CMD[#K]  error-on=CMD[#K]
                          extra-after-reply[=TEXT]  extra-after=CMD[:TEXT]
                          garbage[=BYTES]  coalesce[=N]  second-data-connection
                          short-body[=EVERY]  block-past-body[=EVERY]
                          negative-count[=EVERY]  huge-count[=EVERY]
  --print-setup NAME    print the text of a built-in setup (to start a file from)
  --exit-on-stdin-eof   exit when standard input reaches end of file
  --help                show this text
  --version             show the versions of ktsim and of the library it was built with

The first line on standard output is "ktsim listening on ADDRESS:PORT".
)";
}

} // namespace ktsim
