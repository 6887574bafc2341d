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
    : path_(path), model_(std::move(model)), file_(path, std::ios::binary | std::ios::trunc),
      next_(model_->setup().channels.size(), 0)
{
    if (!file_)
        throw std::runtime_error("cannot create " + path);
    file_ << "# ktsim store of setup " << model_->setup().name << ", start " << formatNumber(startDays)
          << " days since 1899-12-30\n"
          << "channel,name,index,time_s,value\n";
}

void Store::write(double elapsed, const ControlValues& controls)
{
    const Setup& setup = model_->setup();
    for (std::size_t c = 0; c < setup.channels.size(); ++c) {
        const Channel& ch = setup.channels[c];
        std::uint64_t due = samplesDue(*model_, ch, elapsed);
        for (; next_[c] < due; ++next_[c]) {
            std::uint64_t i = next_[c];
            double value = model_->physical(ch, i);
            if (ch.control)
                value = hostDecode(ch, encodeRaw(ch, controls.value(ch.number, ch.wave.value)));
            else if (hostDecodes(ch.dataType))
                value = model_->decoded(ch, i);
            file_ << ch.number << ',' << quoted(ch.name) << ',' << i << ',' << formatNumber(model_->sampleTime(ch, i))
                  << ',' << formatNumber(value) << '\n';
        }
    }
    file_.flush();
}

} // namespace ktsim
