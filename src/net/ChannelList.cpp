// SPDX-License-Identifier: MIT
#include "ChannelList.h"

#include "api/Failure.h"
#include "api/NumberText.h"
#include "ktremote.h"

#include <algorithm>
#include <optional>

namespace ktremote {

namespace {

// Field positions of a channel line. From the field after the data type on,
// lines of data type 12 carry one extra field, so their later fields are
// read one position further on.
enum Field : size_t {
    FieldId = 1,
    FieldListIndex = 2,
    FieldFlag3 = 3,
    Field4 = 4,
    Field5 = 5,
    FieldName = 6,
    Field7 = 7,
    FieldUnit = 8,
    FieldControl = 9,
    FieldKind = 10,
    FieldRate = 11,
    Field12 = 12,
    FieldDataType = 13,
    Field14 = 14,
    Field15 = 15,
    FieldScale2 = 16,
    FieldOffset2 = 17,
    FieldScale1 = 18,
    FieldOffset1 = 19,
    FieldCount = 20,
};

constexpr int32_t shiftedDataType = 12;

[[noreturn]] void badLine(const char* what) { raise(KX_ERR_FAILED, what); }

template <class T>
T require(std::optional<T> value)
{
    if (!value)
        badLine("a numeric field of a channel list line holds no number");
    return *value;
}

std::string withDecimalPoint(std::string_view field)
{
    std::string text(field);
    std::replace(text.begin(), text.end(), ',', '.');
    return text;
}

std::string channelIdOf(std::string_view field)
{
    std::string id = "0,";
    id.append(field);
    std::replace(id.begin() + 2, id.end(), ';', ',');
    return id;
}

} // namespace

ChannelRecord parseChannelLine(std::string_view line)
{
    const std::vector<std::string_view> fields = splitListFields(line);
    if (fields.size() <= FieldDataType)
        badLine("a channel list line has too few fields");

    ChannelRecord record;
    record.listField0 = std::string(fields[0]);
    record.id = channelIdOf(fields[FieldId]);
    record.listIndex = std::string(fields[FieldListIndex]);
    record.listField3IsZero = fields[FieldFlag3] == "0";
    record.listField4 = std::string(fields[Field4]);
    record.listField5 = std::string(fields[Field5]);
    record.name = std::string(fields[FieldName]);
    record.listField7 = std::string(fields[Field7]);
    record.unit = std::string(fields[FieldUnit]);
    record.isControl = fields[FieldControl] == "-1";

    const std::string_view kind = fields[FieldKind];
    if (kind == "Async")
        record.isAsync = true;
    else if (kind == "SingleValue")
        record.isSingleValue = true;
    else
        record.sampleRateDivider = require(parseInt32(kind));

    // The rate field keeps '.' as its only decimal point: a comma ends the
    // number there. Single-value channels have no rate.
    if (record.isAsync)
        record.expectedAsyncRate = require(parseFloat(fields[FieldRate]));
    else if (!record.isSingleValue)
        record.sampleRate = require(parseFloat(fields[FieldRate]));

    record.listField12 = require(parseInt32(fields[Field12]));
    record.dataType = require(parseInt32(fields[FieldDataType]));
    record.sampleSize = sampleSizeOf(record.dataType);

    const size_t d = record.dataType == shiftedDataType ? 1 : 0;
    if (fields.size() < FieldCount + d)
        badLine("a channel list line has too few fields");
    record.listField14 = require(parseInt32(fields[Field14 + d]));
    record.listField15 = require(parseInt32(fields[Field15 + d]));
    // The conversion factors accept a decimal comma.
    record.scale2 = require(parseFloat(withDecimalPoint(fields[FieldScale2 + d])));
    record.offset2 = require(parseFloat(withDecimalPoint(fields[FieldOffset2 + d])));
    record.scale1 = require(parseDouble(withDecimalPoint(fields[FieldScale1 + d])));
    record.offset1 = require(parseDouble(withDecimalPoint(fields[FieldOffset1 + d])));
    return record;
}

std::vector<std::string_view> splitListLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find_first_of("\r\n", start), text.size());
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string_view> splitListFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    size_t start = 0;
    while (start < line.size()) {
        const size_t end = std::min(line.find('\t', start), line.size());
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

bool isListedDataType(int32_t dataType) { return dataType < 0 || (dataType >= 2 && dataType <= 7); }

void ParseChannelList(std::string_view reply, std::vector<ChannelRecord>& channels)
{
    channels.clear();
    const std::vector<std::string_view> lines = splitListLines(reply);
    if (lines.size() < 3)
        return;
    for (size_t k = 1; k + 1 < lines.size(); ++k) {
        ChannelRecord record = parseChannelLine(lines[k]);
        if (isListedDataType(record.dataType))
            channels.push_back(std::move(record));
    }
}

} // namespace ktremote
