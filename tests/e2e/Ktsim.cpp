// SPDX-License-Identifier: MIT
#include "Ktsim.h"

#include "api/ExportGuards.h"
#include "net/KTXNETInstance.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include <signal.h>

namespace ktremote::e2e {

Ktsim::Ktsim(const std::vector<std::string>& options)
{
    std::vector<std::string> arguments = {"--port",
                                          "0",
                                          "--exit-on-stdin-eof",
                                          "--seed",
                                          std::to_string(seed),
                                          "--log",
                                          storeDir.file("ktsim.log"),
                                          "--store-dir",
                                          storeDir.path()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    simProcess = std::make_unique<ChildProcess>(KTSIM_EXECUTABLE, arguments, storeDir.file("ktsim.err"));
    const std::string line = simProcess->readLine(std::chrono::seconds(30));
    const std::string prefix = "ktsim listening on ";
    const size_t colon = line.rfind(':');
    if (line.compare(0, prefix.size(), prefix) != 0 || colon == std::string::npos)
        throw std::runtime_error("ktsim did not start: \"" + line + "\" " + readFile(storeDir.file("ktsim.err")));
    commandPort = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
}

void Ktsim::kill()
{
    ::kill(simProcess->pid(), SIGKILL);
    simProcess->wait(std::chrono::seconds(30));
}

std::string Ktsim::connectText(uint16_t dataPort, const std::string& host) const
{
    return host + " " + std::to_string(commandPort) + " " + std::to_string(dataPort);
}

std::vector<std::string> Ktsim::receivedLines() const
{
    // Log lines look like "[     1.234] #1 < GETSTATUS".
    std::vector<std::string> lines;
    std::istringstream log(this->log());
    std::string line;
    while (std::getline(log, line)) {
        const size_t session = line.find("] #");
        if (session == std::string::npos)
            continue;
        const size_t arrow = line.find(" < ", session);
        const size_t space = line.find(' ', session + 2);
        if (arrow == std::string::npos || arrow != space)
            continue;
        lines.push_back(line.substr(arrow + 3));
    }
    return lines;
}

::KTXInstance* connectFast(const std::string& connectText)
{
    ::KTXInstance* handle = nullptr;
    EXPECT_EQ(ktconCreateInstance(&handle, 1), KX_OK);
    static_cast<KTXNETInstance*>(instanceOf(handle))->setConnectPollInterval(std::chrono::milliseconds(20));
    EXPECT_EQ(connectFastAgain(handle, connectText), KX_OK);
    return handle;
}

KX_ERROR_CODE connectFastAgain(::KTXInstance* instance, const std::string& connectText)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    KX_ERROR_CODE result = ktconConnect(instance, connectText.c_str());
    while (result == KX_ERR_NO_COMMAND_CONNECTION && std::chrono::steady_clock::now() < until)
        result = ktconConnect(instance, connectText.c_str());
    return result;
}

bool acquiring(const Ktsim& sim)
{
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    bool running = true;
    EXPECT_EQ(ktconIsInAqusition(app, &running), KX_OK);
    EXPECT_EQ(ktconDisconnect(app), KX_OK);
    ktconDestroyInstance(app);
    return running;
}

ChannelHandle openChannel(::KTXInstance* instance, const char* name)
{
    ::ChannelInstance* channel = nullptr;
    EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(instance, name, &channel), KX_OK) << name;
    return ChannelHandle(channel, [](::ChannelInstance* c) { ktconFreeChannelInstance(c); });
}

double daysNow()
{
    const double seconds = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // 1970-01-01 is day 25569 after 1899-12-30.
    return 25569.0 + seconds / 86400.0;
}

} // namespace ktremote::e2e
