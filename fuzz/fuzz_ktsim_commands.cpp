// SPDX-License-Identifier: MIT
// ktsim's command side: the line framer and the command handler, fed with
// arbitrary bytes in pseudo-random pieces.
//
// Checked: the framer gives the same lines whatever the pieces, no line
// holds a line feed or exceeds the limit; every reply is one or more whole
// "\r\n" lines starting with "+" or "-" (the list reply ends with its end
// line); lines inside a transfer block get no reply before "/ETX"; the
// transfer started is always for channels of the setup.
//
// LOADSETUP is given only built-in setups and STARTSTORE is left out, so a
// run reads and writes no files.

#include "FuzzInput.h"

#include "Application.h"
#include "CommandHandler.h"
#include "LineFramer.h"
#include "SetupParser.h"

#include <string>
#include <vector>

using ktremote::fuzz::Chunker;
using ktremote::fuzz::FuzzInput;

namespace {

// Checks that a transfer is started only for channels of the setup loaded
// at that moment.
class CheckingTransfer : public ktsim::TransferControl {
public:
    explicit CheckingTransfer(const ktsim::Application& app) : simApplication(app) {}
    std::string startTransfer(std::uint16_t port, const std::vector<int>& numbers) override
    {
        FUZZ_CHECK(port >= 1);
        for (int number : numbers)
            FUZZ_CHECK(simApplication.model()->setup().findByNumber(number) != nullptr);
        return {};
    }
    void stopTransfer() override {}

private:
    const ktsim::Application& simApplication;
};

std::vector<std::string> cutLines(const uint8_t* data, size_t size, Chunker* chunker)
{
    ktsim::LineFramer framer;
    std::vector<std::string> lines;
    for (size_t at = 0; at < size;) {
        const size_t n = chunker ? std::min(size - at, chunker->size(64)) : size - at;
        framer.feed(reinterpret_cast<const char*>(data + at), n);
        at += n;
        while (auto line = framer.next())
            lines.push_back(std::move(*line));
    }
    return lines;
}

bool wholeLines(const std::string& reply)
{
    if (reply.size() < 3 || reply.compare(reply.size() - 2, 2, "\r\n") != 0)
        return false;
    size_t begin = 0;
    while (begin < reply.size()) {
        const size_t end = reply.find("\r\n", begin);
        if (end == std::string::npos || end == begin || reply.find('\n', begin) != end + 1)
            return false;
        begin = end + 2;
    }
    return true;
}

const ktsim::Setup& defaultSetup()
{
    static const ktsim::Setup setup = ktsim::loadSetup("builtin:default");
    return setup;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const uint32_t seed = in.u32();
    const std::vector<std::string> lines = cutLines(in.rest(), in.restSize(), nullptr);
    Chunker chunker(seed);
    FUZZ_CHECK(cutLines(in.rest(), in.restSize(), &chunker) == lines);

    ktsim::Application app(defaultSetup(), 1, "/nonexistent");
    CheckingTransfer transfer(app);
    ktsim::CommandHandler handler(app, transfer);
    bool inBlock = false;
    for (const std::string& line : lines) {
        FUZZ_CHECK(line.find('\n') == std::string::npos);
        FUZZ_CHECK(line.size() <= ktsim::LineFramer::maxLine);
        if (line.rfind("STARTSTORE", 0) == 0)
            continue;
        if (line.rfind("LOADSETUP", 0) == 0 && line.rfind("LOADSETUP builtin:", 0) != 0)
            continue;
        (void)handler.commandName(line);
        const auto reply = handler.handle(line);
        if (!inBlock && line.rfind("/STX PREPARETRANSFER", 0) == 0 && line == "/STX PREPARETRANSFER")
            inBlock = true;
        if (inBlock) {
            if (line == "/ETX") {
                inBlock = false;
                FUZZ_CHECK(reply.has_value());
            } else {
                FUZZ_CHECK(!reply.has_value());
            }
        } else {
            FUZZ_CHECK(reply.has_value());
        }
        if (!reply)
            continue;
        FUZZ_CHECK(wholeLines(reply->text));
        FUZZ_CHECK(reply->text[0] == '+' || reply->text[0] == '-');
        if (line == "LISTUSEDCHS DW") {
            const std::string end = "+ETX end list\r\n";
            FUZZ_CHECK(reply->text.size() >= end.size());
            FUZZ_CHECK(reply->text.compare(reply->text.size() - end.size(), end.size(), end) == 0);
        } else if (reply->text[0] == '+') {
            FUZZ_CHECK(reply->text.find("\r\n") == reply->text.size() - 2);
        }
    }
    return 0;
}
