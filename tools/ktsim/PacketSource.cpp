// SPDX-License-Identifier: MIT
#include "PacketSource.h"

#include "PacketEncoder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace ktsim {

PacketSource::PacketSource(std::shared_ptr<const SampleModel> model, const std::vector<int>& numbers)
    : sampleModel(std::move(model))
{
    for (int number : numbers) {
        const Channel* ch = sampleModel->setup().findByNumber(number);
        if (!ch)
            throw std::invalid_argument("no channel " + std::to_string(number));
        Cursor cursor{ch, 0, 0, {}, {}, 0};
        // Up to 4 MiB of pre-encoded samples per channel.
        std::uint64_t period = sampleModel->period(*ch);
        if (period > 0 && period * static_cast<std::uint64_t>(sampleSize(ch->dataType)) <= (4u << 20))
            cursor.period = period;
        cursors.push_back(std::move(cursor));
    }
    restart();
}

void PacketSource::restart()
{
    sequence = 0;
    for (Cursor& c : cursors) {
        c.next = 0;
        c.controlVersion = 0;
        c.last = encodeRaw(*c.channel, sampleModel->physical(*c.channel, 0));
    }
}

std::uint64_t samplesDue(const SampleModel& model, const Channel& ch, double elapsed)
{
    if (elapsed < 0.0)
        return 0;
    double rate = model.rate(ch);
    // A product that rounding left a hair below a whole number of samples
    // still counts that sample, so packet boundaries do not depend on how
    // the elapsed time was computed.
    constexpr double slack = 1e-7;
    if (ch.kind == ChannelKind::SingleValue)
        return rate > 0.0 ? static_cast<std::uint64_t>(std::floor(elapsed * rate + slack)) + 1 : 1;
    if (!(rate > 0.0))
        return 0;
    auto whole = static_cast<std::uint64_t>(std::floor(elapsed * rate + slack));
    if (ch.kind == ChannelKind::Sync)
        return whole;
    // Timestamp i lies in [i / rate, (i + 0.5) / rate): all before `whole`
    // are due, `whole` itself maybe.
    return whole + (model.timestamp(ch, whole) <= elapsed ? 1 : 0);
}

RawSample PacketSource::valueOf(const Cursor& c, std::uint64_t index, const ControlValues& controls) const
{
    if (c.channel->control)
        return encodeRaw(*c.channel, controls.value(c.channel->number, c.channel->wave.value));
    return sampleModel->raw(*c.channel, index);
}

bool PacketSource::singleDue(const Cursor& c, double elapsed, const ControlValues& controls) const
{
    if (c.channel->control && controls.version(c.channel->number) != c.controlVersion)
        return true;
    return c.next < due(*c.channel, elapsed);
}

bool PacketSource::behind(double elapsed, const ControlValues& controls) const
{
    for (const Cursor& c : cursors) {
        if (c.channel->kind == ChannelKind::SingleValue ? singleDue(c, elapsed, controls)
                                                        : c.next < due(*c.channel, elapsed))
            return true;
    }
    return false;
}

void PacketSource::appendSamples(std::vector<std::uint8_t>& out, Cursor& c, std::uint64_t count,
                                 const ControlValues& controls)
{
    if (fixedStamp && c.channel->dataType == 7) {
        RawSample raw = encodeRaw(*c.channel, *fixedStamp);
        for (std::uint64_t i = 0; i < count; ++i)
            out.insert(out.end(), raw.bytes.begin(), raw.bytes.begin() + raw.size);
        return;
    }
    if (c.period == 0) {
        for (std::uint64_t i = c.next; i < c.next + count; ++i) {
            RawSample raw = valueOf(c, i, controls);
            out.insert(out.end(), raw.bytes.begin(), raw.bytes.begin() + raw.size);
        }
        return;
    }
    auto size = static_cast<std::size_t>(sampleSize(c.channel->dataType));
    if (c.table.empty()) {
        c.table.reserve(c.period * size);
        for (std::uint64_t i = 0; i < c.period; ++i) {
            RawSample raw = sampleModel->raw(*c.channel, i);
            c.table.insert(c.table.end(), raw.bytes.begin(), raw.bytes.begin() + raw.size);
        }
    }
    std::uint64_t at = c.next % c.period;
    while (count > 0) {
        std::uint64_t run = std::min(count, c.period - at);
        out.insert(out.end(), c.table.begin() + static_cast<std::ptrdiff_t>(at * size),
                   c.table.begin() + static_cast<std::ptrdiff_t>((at + run) * size));
        count -= run;
        at = 0;
    }
}

bool PacketSource::append(std::vector<std::uint8_t>& out, double elapsed, double startDays,
                          const ControlValues& controls, std::size_t maxBody)
{
    if (!behind(elapsed, controls))
        return false;

    // Share the byte budget evenly among the channels that stream blocks of
    // samples, so that a slow reader gets every channel's samples in turn.
    std::size_t perSampleBytes = 0;
    for (const Cursor& c : cursors)
        if (c.channel->kind != ChannelKind::SingleValue)
            perSampleBytes += static_cast<std::size_t>(sampleSize(c.channel->dataType)) +
                (c.channel->kind == ChannelKind::Async ? 8 : 0);
    std::uint64_t cap = perSampleBytes ? std::max<std::uint64_t>(16, maxBody / perSampleBytes)
                                       : std::numeric_limits<std::uint64_t>::max();
    cap = std::min<std::uint64_t>(cap, 0x7fffffff);

    // The packet time is that of its earliest sample.
    double first = elapsed;
    std::vector<std::uint64_t> counts(cursors.size(), 0);
    for (std::size_t b = 0; b < cursors.size(); ++b) {
        const Cursor& c = cursors[b];
        if (c.channel->kind == ChannelKind::SingleValue) {
            counts[b] = singleDue(c, elapsed, controls) ? 1 : 0;
            if (counts[b] && c.next < due(*c.channel, elapsed))
                first = std::min(first, sampleModel->sampleTime(*c.channel, c.next));
            continue;
        }
        std::uint64_t target = due(*c.channel, elapsed);
        counts[b] = target > c.next ? std::min(target - c.next, cap) : 0;
        if (counts[b])
            first = std::min(first, sampleModel->sampleTime(*c.channel, c.next));
    }

    std::size_t estimate = 8 + bodyHeaderSize + 8;
    for (std::size_t b = 0; b < cursors.size(); ++b) {
        const Channel& ch = *cursors[b].channel;
        std::size_t each = static_cast<std::size_t>(sampleSize(ch.dataType)) + (ch.kind == ChannelKind::Async ? 8 : 0);
        estimate += 4 + (ch.kind == ChannelKind::SingleValue ? each : static_cast<std::size_t>(counts[b]) * each);
    }
    out.reserve(out.size() + estimate);
    PacketBuilder packet(out);
    packet.begin(sequence++, SampleModel::packetDays(startDays, first));
    for (std::size_t b = 0; b < cursors.size(); ++b) {
        Cursor& c = cursors[b];
        const Channel& ch = *c.channel;
        auto n = static_cast<std::int32_t>(counts[b]);
        packet.count(n);
        if (ch.kind == ChannelKind::SingleValue) {
            if (n) {
                c.last = valueOf(c, c.next, controls);
                c.controlVersion = controls.version(ch.number);
                if (c.next < due(ch, elapsed))
                    ++c.next;
            }
            packet.sample(c.last);
            continue;
        }
        appendSamples(out, c, counts[b], controls);
        if (ch.kind == ChannelKind::Async)
            for (std::uint64_t i = c.next; i < c.next + counts[b]; ++i)
                packet.timestamp(sampleModel->timestamp(ch, i));
        c.next += counts[b];
    }
    packet.finish();
    return true;
}

} // namespace ktsim
