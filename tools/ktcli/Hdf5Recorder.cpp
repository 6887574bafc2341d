// SPDX-License-Identifier: MIT
// HDF5 recording through libhdf5's C API.
//
// Samples are collected per channel in memory and written in one batch that
// is followed at once by H5Fflush: once a second, when a channel's batch is
// full, and on flush(). Between two batches the recorder makes no HDF5 call,
// so the metadata on disk stays exactly as the last flush left it, and a
// process killed there leaves a file that reads back up to that flush.
#include "Hdf5Recorder.h"

#include "RecordingText.h"

#include <hdf5.h>
#include <ktremote.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>
#include <stdexcept>
#include <utility>

#include <sys/statvfs.h>

namespace ktcli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr hsize_t chunkSamples = 8192;             // 64 KiB of float64 per chunk
constexpr size_t batchSamples = 16 * chunkSamples; // per channel and dataset
constexpr hsize_t indexChunk = 64;                 // segments rows and segment_index entries
constexpr unsigned gzipLevel = 4;
constexpr auto flushInterval = std::chrono::seconds(1);

// An HDF5 identifier that is closed with its own close function.
class Handle {
public:
    using Close = herr_t (*)(hid_t);

    Handle() = default;
    Handle(hid_t id, Close close) : handleId(id), closeFunction(close) {}
    Handle(Handle&& other) noexcept
        : handleId(std::exchange(other.handleId, H5I_INVALID_HID)), closeFunction(other.closeFunction)
    {
    }
    Handle& operator=(Handle&& other) noexcept
    {
        if (this != &other) {
            reset();
            handleId = std::exchange(other.handleId, H5I_INVALID_HID);
            closeFunction = other.closeFunction;
        }
        return *this;
    }
    ~Handle() { reset(); }

    hid_t get() const { return handleId; }
    bool valid() const { return handleId >= 0; }
    void reset()
    {
        if (handleId >= 0 && closeFunction)
            closeFunction(handleId);
        handleId = H5I_INVALID_HID;
    }

private:
    hid_t handleId = H5I_INVALID_HID;
    Close closeFunction = nullptr;
};

// The sentence of a failed call, with the system's reason when the call
// failed in the system (the callers clear errno before they write).
[[noreturn]] void fail(const std::string& what)
{
    const int error = errno;
    throw std::runtime_error(error != 0 ? what + ": " + std::strerror(error) : what);
}

// Throws the sentence when the identifier is not valid.
Handle checked(hid_t id, Handle::Close close, const std::string& what)
{
    if (id < 0)
        fail(what);
    return Handle(id, close);
}

void check(herr_t status, const std::string& what)
{
    if (status < 0)
        fail(what);
}

const char* typeName(int type)
{
    switch (type) {
    case KX_CHANNEL_SYNC: return "sync";
    case KX_CHANNEL_ASYNC: return "async";
    case KX_CHANNEL_SINGLE_VALUE: return "single";
    default: return "unknown";
    }
}

// Attributes are written once at creation, except the start time, which
// may be set again; an existing attribute of the name is replaced.
void replaceAttribute(hid_t object, const char* name, hid_t type, const void* value, const std::string& what)
{
    if (H5Aexists(object, name) > 0)
        check(H5Adelete(object, name), what);
    Handle space = checked(H5Screate(H5S_SCALAR), H5Sclose, what);
    Handle attribute = checked(H5Acreate2(object, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose, what);
    check(H5Awrite(attribute.get(), type, value), what);
}

void writeText(hid_t object, const char* name, const std::string& text, const std::string& what)
{
    Handle type = checked(H5Tcopy(H5T_C_S1), H5Tclose, what);
    check(H5Tset_size(type.get(), H5T_VARIABLE), what);
    check(H5Tset_cset(type.get(), H5T_CSET_UTF8), what);
    const char* data = text.c_str();
    replaceAttribute(object, name, type.get(), &data, what);
}

void writeNumber(hid_t object, const char* name, double value, const std::string& what)
{
    replaceAttribute(object, name, H5T_NATIVE_DOUBLE, &value, what);
}

void writeInteger(hid_t object, const char* name, int value, const std::string& what)
{
    const int32_t stored = value;
    replaceAttribute(object, name, H5T_NATIVE_INT32, &stored, what);
}

// A growing one-dimensional dataset of `fileType` elements.
class Series {
public:
    Series(hid_t group, const char* name, hid_t fileType, hsize_t chunk, bool compress, const std::string& what)
    {
        const hsize_t initial = 0;
        const hsize_t unlimited = H5S_UNLIMITED;
        Handle space = checked(H5Screate_simple(1, &initial, &unlimited), H5Sclose, what);
        Handle properties = checked(H5Pcreate(H5P_DATASET_CREATE), H5Pclose, what);
        check(H5Pset_chunk(properties.get(), 1, &chunk), what);
        if (compress)
            check(H5Pset_deflate(properties.get(), gzipLevel), what);
        seriesDataset = checked(
            H5Dcreate2(group, name, fileType, space.get(), H5P_DEFAULT, properties.get(), H5P_DEFAULT), H5Dclose, what);
    }

    // Adds `count` elements of `memoryType` at the end.
    void append(const void* data, size_t count, hid_t memoryType, const std::string& what)
    {
        if (count > 0)
            write(seriesLength, data, count, memoryType, what);
    }

    // Makes the dataset exactly these `count` elements (it never shrinks
    // below what it held: the elements only ever grow in number).
    void replace(const void* data, size_t count, hid_t memoryType, const std::string& what)
    {
        if (count > 0)
            write(0, data, count, memoryType, what);
    }

    hsize_t length() const { return seriesLength; }
    void close() { seriesDataset.reset(); }

private:
    void write(hsize_t at, const void* data, hsize_t count, hid_t memoryType, const std::string& what)
    {
        const hsize_t extent = std::max(seriesLength, at + count);
        if (extent != seriesLength)
            check(H5Dset_extent(seriesDataset.get(), &extent), what);
        Handle fileSpace = checked(H5Dget_space(seriesDataset.get()), H5Sclose, what);
        check(H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, &at, nullptr, &count, nullptr), what);
        Handle memorySpace = checked(H5Screate_simple(1, &count, nullptr), H5Sclose, what);
        check(H5Dwrite(seriesDataset.get(), memoryType, memorySpace.get(), fileSpace.get(), H5P_DEFAULT, data), what);
        seriesLength = extent;
    }

    Handle seriesDataset;
    hsize_t seriesLength = 0;
};

// A row of the "segments" dataset as written from memory.
struct SegmentRecord {
    double start;
    double end;
    const char* reason;
};

// The compound type of a segments row: in the file (little-endian float64)
// or in memory (native double).
Handle segmentType(bool inFile, const std::string& what)
{
    Handle text = checked(H5Tcopy(H5T_C_S1), H5Tclose, what);
    check(H5Tset_size(text.get(), H5T_VARIABLE), what);
    check(H5Tset_cset(text.get(), H5T_CSET_UTF8), what);
    const hid_t number = inFile ? H5T_IEEE_F64LE : H5T_NATIVE_DOUBLE;
    const size_t size = inFile ? 16 + sizeof(char*) : sizeof(SegmentRecord);
    Handle type = checked(H5Tcreate(H5T_COMPOUND, size), H5Tclose, what);
    check(H5Tinsert(type.get(), "start", inFile ? 0 : offsetof(SegmentRecord, start), number), what);
    check(H5Tinsert(type.get(), "end", inFile ? 8 : offsetof(SegmentRecord, end), number), what);
    check(H5Tinsert(type.get(), "reason", inFile ? 16 : offsetof(SegmentRecord, reason), text.get()), what);
    if (inFile)
        check(H5Tpack(type.get()), what);
    return type;
}

// Bytes free for this process on the file system that holds `path`; the
// largest number when that cannot be told.
uint64_t freeBytes(const std::string& path)
{
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0)
        return UINT64_MAX;
    return static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
}

// The chunk bytes that adding `count` elements to `length` ones may need:
// every chunk the new elements touch, as if new (a compressed chunk that
// grows moves).
uint64_t chunkBytesFor(hsize_t length, size_t count, hsize_t chunk, size_t elementSize)
{
    if (count == 0)
        return 0;
    const hsize_t touched = (length + count + chunk - 1) / chunk - length / chunk;
    return touched * chunk * elementSize;
}

std::string secondsText(double seconds)
{
    if (!(seconds > -1.0e300))
        return "no samples";
    char text[64];
    std::snprintf(text, sizeof text, "the first %.1f s", seconds);
    return text;
}

} // namespace

struct Hdf5Recorder::File {
    struct Channel {
        Handle group;
        Series values;
        Series times;
        Series segmentIndex;
        std::vector<double> pendingValues;
        std::vector<double> pendingTimes;
        std::vector<int64_t> segmentStarts; // index in values of each segment's first sample
    };
    struct Segment {
        double start;
        double end;
        std::string reason;
    };

    std::string path;
    std::string writeFailure;
    // Declared before the channels, so destroyed after them: their datasets
    // and groups are closed first and H5Fclose really closes the file.
    Handle file;
    Handle segmentFileType;
    Handle segmentMemoryType;
    std::unique_ptr<Series> segmentRows;
    std::vector<Channel> channels;
    std::vector<Segment> segments;
    Clock::time_point lastFlush;
    double appendedUntil = -std::numeric_limits<double>::infinity();
    double heldUntil = -std::numeric_limits<double>::infinity();
    double heldSegmentEnd = 0.0; // the last segment's end at the last good flush
    uint64_t heldCount = 0;      // samples in the file at the last good flush
    std::string failure;         // set once a write failed: the sentence

    // Writes every channel's batch and the segments, and flushes the file.
    void writeAll()
    {
        if (!failure.empty())
            throw std::runtime_error(failure);
        if (freeBytes(path) < bytesNeeded())
            return closeWhenFull();
        errno = 0;
        try {
            for (Channel& channel : channels) {
                channel.values.append(channel.pendingValues.data(), channel.pendingValues.size(), H5T_NATIVE_DOUBLE,
                                      writeFailure);
                channel.times.append(channel.pendingTimes.data(), channel.pendingTimes.size(), H5T_NATIVE_DOUBLE,
                                     writeFailure);
                channel.pendingValues.clear();
                channel.pendingTimes.clear();
            }
            writeSegments();
            check(H5Fflush(file.get(), H5F_SCOPE_LOCAL), writeFailure);
        } catch (const std::runtime_error& error) {
            failure = std::string(error.what()) + "; it holds at most " + secondsText(heldUntil);
            close();
            throw std::runtime_error(failure);
        }
        heldUntil = appendedUntil;
        heldCount = 0;
        for (const Channel& channel : channels)
            heldCount += channel.values.length();
        heldSegmentEnd = segments.empty() ? 0.0 : segments.back().end;
        lastFlush = Clock::now();
    }

    void writeSegments()
    {
        std::vector<SegmentRecord> rows;
        for (const Segment& segment : segments)
            rows.push_back({segment.start, segment.end, segment.reason.c_str()});
        segmentRows->replace(rows.data(), rows.size(), segmentMemoryType.get(), writeFailure);
        for (Channel& channel : channels) {
            // Indexes past the samples written (after a full disk) name the end.
            std::vector<int64_t> starts = channel.segmentStarts;
            for (int64_t& start : starts)
                start = std::min<int64_t>(start, static_cast<int64_t>(channel.values.length()));
            channel.segmentIndex.replace(starts.data(), starts.size(), H5T_NATIVE_INT64, writeFailure);
        }
    }

    // What the next batch may take at most, with room left for the
    // metadata and the segments of the closing write.
    uint64_t bytesNeeded() const
    {
        uint64_t bytes = 256 * 1024;
        for (const Channel& channel : channels) {
            bytes += 2 * chunkBytesFor(channel.values.length(), channel.pendingValues.size(), chunkSamples, 8);
            bytes += chunkBytesFor(channel.segmentIndex.length(),
                                   channel.segmentStarts.size() - channel.segmentIndex.length(), indexChunk, 8);
        }
        return bytes + chunkBytesFor(segmentRows->length(), segments.size() - segmentRows->length(), indexChunk, 24);
    }

    // The file system has no room for the next batch: the file is closed as
    // the last flush left it, its last segment ending there for this reason.
    void closeWhenFull()
    {
        failure = "no space left on the device while writing " + path + "; it holds " + secondsText(heldUntil);
        if (!segments.empty()) {
            segments.back().end = heldSegmentEnd;
            segments.back().reason = "disk full";
        }
        try {
            writeSegments();
            H5Fflush(file.get(), H5F_SCOPE_LOCAL);
        } catch (const std::runtime_error&) {
        }
        close();
        throw std::runtime_error(failure);
    }

    void close()
    {
        for (Channel& channel : channels) {
            channel.values.close();
            channel.times.close();
            channel.segmentIndex.close();
            channel.group.reset();
        }
        if (segmentRows)
            segmentRows->close();
        file.reset();
    }
};

bool Hdf5Recorder::available() { return true; }

Hdf5Recorder::Hdf5Recorder(const std::string& path, const std::vector<RecordedChannel>& channels,
                           const RecordingInfo& info)
    : recorderFile(std::make_unique<File>())
{
    // A file whose closing failed (a full disk) stays open inside libhdf5,
    // and its own clean-up at exit would then crash on it: the process ends
    // without that clean-up. Only the first call before the library starts
    // counts; later ones fail harmlessly.
    H5dont_atexit();
    // Failures become exceptions with a sentence of ours; HDF5's own error
    // stack would otherwise be printed to stderr.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);

    File& f = *recorderFile;
    f.path = path;
    f.writeFailure = "cannot write to the HDF5 file " + path;
    const std::string createFailure = "cannot create the HDF5 file " + path;
    if (info.compress && H5Zfilter_avail(H5Z_FILTER_DEFLATE) <= 0)
        throw std::runtime_error("this HDF5 library cannot compress (no gzip filter)");

    errno = 0;
    f.file = checked(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose, createFailure);
    const hid_t root = f.file.get();
    writeText(root, "library_version", info.libraryVersion, createFailure);
    writeText(root, "command_line", info.commandLine, createFailure);

    // Group names are stored as UTF-8, like the channel names.
    Handle links = checked(H5Pcreate(H5P_LINK_CREATE), H5Pclose, createFailure);
    check(H5Pset_char_encoding(links.get(), H5T_CSET_UTF8), createFailure);
    std::set<std::string> used;
    f.channels.reserve(channels.size());
    for (size_t i = 0; i < channels.size(); ++i) {
        const RecordedChannel& c = channels[i];
        const std::string name = uniqueGroupName(c.name, i, used);
        used.insert(name);
        Handle group =
            checked(H5Gcreate2(root, name.c_str(), links.get(), H5P_DEFAULT, H5P_DEFAULT), H5Gclose, createFailure);
        writeText(group.get(), "name", c.name, createFailure);
        writeText(group.get(), "id", c.id, createFailure);
        writeText(group.get(), "unit", c.unit, createFailure);
        writeText(group.get(), "type", typeName(c.type), createFailure);
        writeInteger(group.get(), "type_code", c.type, createFailure);
        writeNumber(group.get(), "sample_rate", c.sampleRate, createFailure);
        Series values(group.get(), "values", H5T_IEEE_F64LE, chunkSamples, info.compress, createFailure);
        Series times(group.get(), "time", H5T_IEEE_F64LE, chunkSamples, info.compress, createFailure);
        Series index(group.get(), "segment_index", H5T_STD_I64LE, indexChunk, false, createFailure);
        f.channels.push_back({std::move(group), std::move(values), std::move(times), std::move(index), {}, {}, {}});
    }
    f.segmentFileType = segmentType(true, createFailure);
    f.segmentMemoryType = segmentType(false, createFailure);
    f.segmentRows =
        std::make_unique<Series>(root, "segments", f.segmentFileType.get(), indexChunk, false, createFailure);
    check(H5Fflush(root, H5F_SCOPE_LOCAL), createFailure);
    f.lastFlush = Clock::now();
}

Hdf5Recorder::~Hdf5Recorder()
{
    if (!recorderFile || !recorderFile->file.valid() || !recorderFile->failure.empty())
        return;
    try {
        recorderFile->writeAll();
    } catch (const std::exception&) {
        // A destructor cannot report a failure; callers that must know call
        // flush() before.
    }
}

void Hdf5Recorder::setStartTime(double days)
{
    if (!recorderFile->failure.empty())
        throw std::runtime_error(recorderFile->failure);
    const hid_t root = recorderFile->file.get();
    writeNumber(root, "start_time", days, recorderFile->writeFailure);
    writeText(root, "start_time_utc", isoTimeFromDays(days), recorderFile->writeFailure);
    // Nothing is left unflushed between batches.
    recorderFile->writeAll();
}

void Hdf5Recorder::append(size_t channel, const double* values, const double* times, size_t count)
{
    File& f = *recorderFile;
    if (channel >= f.channels.size())
        throw std::out_of_range("the recording has no channel " + std::to_string(channel));
    if (!f.failure.empty())
        throw std::runtime_error(f.failure);
    File::Channel& c = f.channels[channel];
    c.pendingValues.insert(c.pendingValues.end(), values, values + count);
    c.pendingTimes.insert(c.pendingTimes.end(), times, times + count);
    for (size_t k = 0; k < count; ++k)
        f.appendedUntil = std::max(f.appendedUntil, times[k]);
    if (count > 0 && !f.segments.empty())
        f.segments.back().end = std::max(f.segments.back().end, times[count - 1]);
    if (c.pendingValues.size() >= batchSamples || Clock::now() - f.lastFlush >= flushInterval)
        f.writeAll();
}

void Hdf5Recorder::flush() { recorderFile->writeAll(); }

void Hdf5Recorder::beginSegment(double start)
{
    File& f = *recorderFile;
    f.segments.push_back({start, start, "running"});
    for (File::Channel& channel : f.channels)
        channel.segmentStarts.push_back(static_cast<int64_t>(channel.values.length() + channel.pendingValues.size()));
}

void Hdf5Recorder::endSegment(const std::string& reason)
{
    if (!recorderFile->segments.empty())
        recorderFile->segments.back().reason = reason;
}

double Hdf5Recorder::heldUntil() const { return recorderFile->heldUntil; }

uint64_t Hdf5Recorder::heldSamples() const { return recorderFile->heldCount; }

bool Hdf5Recorder::failed() const { return !recorderFile->failure.empty(); }

} // namespace ktcli
