// SPDX-License-Identifier: MIT
#include "Sim.h"

#include "ControlValues.h"
#include "PacketSource.h"
#include "SetupParser.h"

#include <asio/connect.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include <cstdio>
#include <fstream>
#include <istream>
#include <stdexcept>

namespace ktremote::bench {

Sim::Sim(const std::string& executable, const SimOptions& options)
{
    std::vector<std::string> arguments = {
        "--port",      "0",           "--exit-on-stdin-eof",           "--seed", std::to_string(seed), "--setup",
        options.setup, "--packet-ms", std::to_string(options.packetMs)};
    if (options.burst)
        arguments.push_back("--burst");
    if (options.stampSendTime)
        arguments.push_back("--stamp-send-time");
    simProcess = std::make_unique<e2e::ChildProcess>(executable, arguments, storeDir.file("ktsim.err"));
    const std::string line = simProcess->readLine(std::chrono::seconds(30));
    const std::string prefix = "ktsim listening on ";
    const size_t colon = line.rfind(':');
    if (line.compare(0, prefix.size(), prefix) != 0 || colon == std::string::npos)
        throw std::runtime_error("ktsim did not start: \"" + line + "\" " + e2e::readFile(storeDir.file("ktsim.err")));
    commandPort = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
}

std::string Sim::connectText(uint16_t dataPort) const
{
    return "127.0.0.1 " + std::to_string(commandPort) + " " + std::to_string(dataPort);
}

std::string writeSetup(const e2e::TempDir& dir, int channels, int rate)
{
    const std::string path = dir.file("bench" + std::to_string(channels) + "x" + std::to_string(rate) + ".kts");
    std::ofstream out(path);
    out << "setup bench" << channels << "\nrate " << rate << "\n";
    for (int i = 1; i <= channels; ++i) {
        char line[200];
        std::snprintf(line, sizeof line,
                      "channel number=%d name=C%04d path=1;%d kind=sync type=float32 wave=sine amplitude=%d "
                      "frequency=%d\n",
                      i, i, i, 1 + i % 7, rate / 1000);
        out << line;
    }
    if (!out)
        throw std::runtime_error("cannot write " + path);
    return path;
}

std::vector<std::string> channelNames(const std::string& setup)
{
    std::vector<std::string> names;
    for (const ktsim::Channel& channel : ktsim::loadSetup(setup).channels)
        names.push_back(channel.name);
    return names;
}

StreamBytes streamBytes(const std::string& setup, int packetMs, size_t minimum)
{
    auto model = std::make_shared<ktsim::SampleModel>(ktsim::loadSetup(setup), Sim::seed);
    std::vector<int> numbers;
    for (const ktsim::Channel& channel : model->setup().channels)
        numbers.push_back(channel.number);
    ktsim::PacketSource source(model, numbers);
    ktsim::ControlValues controls;
    StreamBytes stream;
    stream.bytes.reserve(minimum + (2 << 20)); // a packet holds at most about 1 MiB
    for (uint64_t k = 1; stream.bytes.size() < minimum; ++k)
        if (source.append(stream.bytes, static_cast<double>(k * static_cast<uint64_t>(packetMs)) / 1000.0, 45000.0,
                          controls))
            ++stream.packets;
    for (size_t block = 0; block < source.blockCount(); ++block)
        stream.samples += source.sent(block);
    return stream;
}

CommandClient::CommandClient(uint16_t port) : commandSocket(io)
{
    commandSocket.connect({asio::ip::address_v4::loopback(), port});
    commandSocket.set_option(asio::ip::tcp::no_delay(true));
    readLine(); // greeting
}

std::string CommandClient::readLine()
{
    asio::read_until(commandSocket, input, "\r\n");
    std::istream in(&input);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string CommandClient::command(const std::string& line, bool oneByteWrites)
{
    const std::string bytes = line + "\r\n";
    if (oneByteWrites)
        for (char c : bytes)
            asio::write(commandSocket, asio::buffer(&c, 1));
    else
        asio::write(commandSocket, asio::buffer(bytes));
    return readLine();
}

void CommandClient::startStreaming(int channels, uint16_t dataPort)
{
    std::string block = "/STX PREPARETRANSFER\r\n";
    for (int i = 1; i <= channels; ++i)
        block += "CH " + std::to_string(i) + "\r\n";
    block += "/ETX";
    const std::string prepared = command(block);
    if (prepared.rfind("+OK", 0) != 0)
        throw std::runtime_error("PREPARETRANSFER: " + prepared);
    for (const std::string& line :
         {std::string("STARTTRANSFER ") + std::to_string(dataPort), std::string("STARTACQ")}) {
        const std::string reply = command(line);
        if (reply != "+OK")
            throw std::runtime_error(line + ": " + reply);
    }
}

} // namespace ktremote::bench
