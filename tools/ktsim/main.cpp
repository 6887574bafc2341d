// SPDX-License-Identifier: MIT
// ktsim: a stand-in for the Kaltrop application, for developing and testing
// host programs without the instrument.
#include "KtremoteVersion.h"
#include "SetupParser.h"
#include "Simulator.h"

#include <asio.hpp>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// Ends the simulator when standard input reaches its end, so that a parent
// that dies leaves no simulator behind.
void watchStdin(ktsim::Simulator& sim)
{
    std::thread([&sim] {
        char buffer[256];
        for (;;) {
#ifdef _WIN32
            std::size_t got = std::fread(buffer, 1, sizeof buffer, stdin);
            if (got == 0)
                break;
#else
            ssize_t got = ::read(0, buffer, sizeof buffer);
            if (got == 0 || (got < 0 && errno != EINTR))
                break;
#endif
        }
        sim.requestStop();
    }).detach();
}

} // namespace

int main(int argc, char** argv)
{
    ktsim::Options options;
    try {
        options = ktsim::parseOptions(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "ktsim: " << e.what() << '\n';
        return 2;
    }
    if (options.help) {
        std::cout << ktsim::usageText();
        return 0;
    }
    if (options.version) {
        // ktsim speaks the protocol itself; the library it names is the one
        // built from the same tree.
        std::cout << "ktsim " << ktremote::versionText << " (library " << ktremote::versionText << ")\n";
        return 0;
    }
    if (!options.printSetup.empty()) {
        std::string name = options.printSetup;
        if (name.rfind("builtin:", 0) == 0)
            name = name.substr(8);
        try {
            std::cout << ktsim::builtinSetupText(name);
        } catch (const std::exception& e) {
            std::cerr << "ktsim: " << e.what() << '\n';
            return 2;
        }
        return 0;
    }
    try {
        ktsim::Setup setup = ktsim::loadSetup(options.setup);
        asio::io_context io(1);
        ktsim::Simulator sim(io, options, std::move(setup));
        // Signal handlers are in place before the parent learns the port.
        asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const std::error_code& ec, int) {
            if (!ec)
                sim.requestStop();
        });
        auto endpoint = sim.endpoint();
        std::cout << "ktsim listening on " << endpoint.address().to_string() << ":" << endpoint.port() << std::endl;
        sim.onStopped([&signals] { signals.cancel(); });
        if (options.exitOnStdinEof)
            watchStdin(sim);
        sim.start();
        io.run();
        if (options.exitOnStdinEof) {
            // The stdin watcher may still be blocked in read(): leave without
            // destroying what it refers to.
            std::cout.flush();
            std::cerr.flush();
            std::_Exit(0);
        }
    } catch (const std::exception& e) {
        std::cerr << "ktsim: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
