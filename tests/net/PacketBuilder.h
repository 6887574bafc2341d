// SPDX-License-Identifier: MIT
#pragma once

#include "api/ChannelRecord.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ktremote::test {

inline const std::vector<uint8_t> kStart = {0, 1, 2, 3, 4, 5, 6, 7};
inline const std::vector<uint8_t> kEnd = {7, 6, 5, 4, 3, 2, 1, 0};

// Builds packet bodies and whole packets the way the application sends them.
class PacketBuilder {
public:
    explicit PacketBuilder(double packetTime = 0.0)
    {
        put<int32_t>(1);
        put<int32_t>(2);
        put<int32_t>(3);
        put<int64_t>(0);
        put<double>(packetTime);
    }

    template <typename T>
    PacketBuilder& put(T value)
    {
        uint8_t raw[sizeof(T)];
        std::memcpy(raw, &value, sizeof(T));
        bodyBytes.insert(bodyBytes.end(), raw, raw + sizeof(T));
        return *this;
    }

    PacketBuilder& bytes(const std::vector<uint8_t>& raw)
    {
        bodyBytes.insert(bodyBytes.end(), raw.begin(), raw.end());
        return *this;
    }

    template <typename T>
    PacketBuilder& sync(const std::vector<T>& samples)
    {
        put<int32_t>(static_cast<int32_t>(samples.size()));
        for (T s : samples)
            put<T>(s);
        return *this;
    }

    template <typename T>
    PacketBuilder& async(const std::vector<T>& samples, const std::vector<double>& times)
    {
        put<int32_t>(static_cast<int32_t>(samples.size()));
        for (T s : samples)
            put<T>(s);
        for (double t : times)
            put<double>(t);
        return *this;
    }

    template <typename T>
    PacketBuilder& single(int32_t n, T sample)
    {
        put<int32_t>(n);
        return put<T>(sample);
    }

    const std::vector<uint8_t>& body() const { return bodyBytes; }

    std::vector<uint8_t> packet() const
    {
        std::vector<uint8_t> out = kStart;
        out.insert(out.end(), bodyBytes.begin(), bodyBytes.end());
        out.insert(out.end(), kEnd.begin(), kEnd.end());
        return out;
    }

private:
    std::vector<uint8_t> bodyBytes;
};

enum class Kind { Async, Sync, Single };

inline const char* kindName(Kind kind)
{
    return kind == Kind::Async ? "async" : kind == Kind::Sync ? "sync" : "single";
}

inline ChannelRecord record(const std::string& id, int32_t dataType, Kind kind, double scale1 = 1.0,
                            double offset1 = 0.0, double scale2 = 0.0, double offset2 = 0.0)
{
    ChannelRecord r;
    r.id = id;
    r.dataType = dataType;
    r.isAsync = kind == Kind::Async;
    r.isSingleValue = kind == Kind::Single;
    r.scale1 = scale1;
    r.offset1 = offset1;
    r.scale2 = scale2;
    r.offset2 = offset2;
    return r;
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace ktremote::test
