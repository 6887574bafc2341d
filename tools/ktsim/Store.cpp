// SPDX-License-Identifier: MIT
#include "Store.h"

#include "ChannelList.h"
#include "PacketSource.h"

#include <stdexcept>

namespace ktsim {
namespace {

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

} // namespace

Store::Store(const std::string& path, std::shared_ptr<const SampleModel> model, double startDays)
    : storePath(path), sampleModel(std::move(model)), storeFile(path, std::ios::binary | std::ios::trunc),
      next(sampleModel->setup().channels.size(), 0)
{
    if (!storeFile)
        throw std::runtime_error("cannot create " + path);
    storeFile << "# ktsim store of setup " << sampleModel->setup().name << ", start " << formatNumber(startDays)
              << " days since 1899-12-30\n"
              << "channel,name,index,time_s,value\n";
}

void Store::write(double elapsed, const ControlValues& controls)
{
    const Setup& setup = sampleModel->setup();
    for (std::size_t c = 0; c < setup.channels.size(); ++c) {
        const Channel& ch = setup.channels[c];
        std::uint64_t due = samplesDue(*sampleModel, ch, elapsed);
        for (; next[c] < due; ++next[c]) {
            std::uint64_t i = next[c];
            double value = sampleModel->physical(ch, i);
            if (ch.control)
                value = hostDecode(ch, encodeRaw(ch, controls.value(ch.number, ch.wave.value)));
            else if (hostDecodes(ch.dataType))
                value = sampleModel->decoded(ch, i);
            storeFile << ch.number << ',' << quoted(ch.name) << ',' << i << ','
                      << formatNumber(sampleModel->sampleTime(ch, i)) << ',' << formatNumber(value) << '\n';
        }
    }
    storeFile.flush();
}

} // namespace ktsim
