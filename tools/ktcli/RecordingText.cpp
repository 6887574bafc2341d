// SPDX-License-Identifier: MIT
#include "RecordingText.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace ktcli {

std::string uniqueGroupName(const std::string& channelName, size_t index, const std::set<std::string>& used)
{
    std::string name;
    if (channelName == ".") {
        name = "%2E";
    } else {
        for (char c : channelName) {
            if (c == '%')
                name += "%25";
            else if (c == '/')
                name += "%2F";
            else
                name += c;
        }
    }
    if (name.empty() || used.count(name) > 0)
        name += "%#" + std::to_string(index + 1);
    return name;
}

namespace {

// The civil date of a day counted from 1970-01-01 (proleptic Gregorian).
void civilFromDays(int64_t z, int64_t& year, int& month, int& day)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

} // namespace

std::string isoTimeFromDays(double days)
{
    // 1899-12-30 is day -25569 from 1970-01-01; the years 1 and 9999 bound
    // the range, which also keeps the millisecond count far from overflow.
    constexpr double firstDay = -693593.0; // 0001-01-01
    constexpr double endDay = 2958466.0;   // 10000-01-01
    if (!std::isfinite(days) || days < firstDay || days >= endDay)
        return {};
    constexpr int64_t msPerDay = 86400000;
    const int64_t ms = std::llround(days * static_cast<double>(msPerDay));
    int64_t dayNumber = ms / msPerDay;
    int64_t msOfDay = ms % msPerDay;
    if (msOfDay < 0) {
        msOfDay += msPerDay;
        --dayNumber;
    }
    int64_t year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(dayNumber - 25569, year, month, day);
    if (year > 9999) // rounded up past the last millisecond
        return {};
    const int64_t seconds = msOfDay / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<int>(year), month, day,
                  static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
                  static_cast<int>(msOfDay % 1000));
    return text;
}

} // namespace ktcli
