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

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>

namespace ktcli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr hsize_t chunkSamples = 8192;             // 64 KiB of float64 per chunk
constexpr size_t batchSamples = 16 * chunkSamples; // per channel and dataset
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

// A growing one-dimensional float64 dataset.
class Series {
public:
    Series(hid_t group, const char* name, bool compress, const std::string& what)
    {
        const hsize_t initial = 0;
        const hsize_t unlimited = H5S_UNLIMITED;
        Handle space = checked(H5Screate_simple(1, &initial, &unlimited), H5Sclose, what);
        Handle properties = checked(H5Pcreate(H5P_DATASET_CREATE), H5Pclose, what);
        check(H5Pset_chunk(properties.get(), 1, &chunkSamples), what);
        if (compress)
            check(H5Pset_deflate(properties.get(), gzipLevel), what);
        seriesDataset =
            checked(H5Dcreate2(group, name, H5T_IEEE_F64LE, space.get(), H5P_DEFAULT, properties.get(), H5P_DEFAULT),
                    H5Dclose, what);
    }

    void append(const std::vector<double>& data, const std::string& what)
    {
        if (data.empty())
            return;
        const hsize_t count = data.size();
        const hsize_t extent = seriesLength + count;
        check(H5Dset_extent(seriesDataset.get(), &extent), what);
        Handle fileSpace = checked(H5Dget_space(seriesDataset.get()), H5Sclose, what);
        check(H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, &seriesLength, nullptr, &count, nullptr), what);
        Handle memorySpace = checked(H5Screate_simple(1, &count, nullptr), H5Sclose, what);
        check(H5Dwrite(seriesDataset.get(), H5T_NATIVE_DOUBLE, memorySpace.get(), fileSpace.get(), H5P_DEFAULT,
                       data.data()),
              what);
        seriesLength = extent;
    }

private:
    Handle seriesDataset;
    hsize_t seriesLength = 0;
};

} // namespace

struct Hdf5Recorder::File {
    struct Channel {
        Handle group;
        Series values;
        Series times;
        std::vector<double> pendingValues;
        std::vector<double> pendingTimes;
    };

    std::string writeFailure;
    // Declared before the channels, so destroyed after them: their datasets
    // and groups are closed first and H5Fclose really closes the file.
    Handle file;
    std::vector<Channel> channels;
    Clock::time_point lastFlush;

    // Writes every channel's batch and flushes the file.
    void writeAll()
    {
        errno = 0;
        for (Channel& channel : channels) {
            channel.values.append(channel.pendingValues, writeFailure);
            channel.times.append(channel.pendingTimes, writeFailure);
            channel.pendingValues.clear();
            channel.pendingTimes.clear();
        }
        check(H5Fflush(file.get(), H5F_SCOPE_LOCAL), writeFailure);
        lastFlush = Clock::now();
    }
};

bool Hdf5Recorder::available() { return true; }

Hdf5Recorder::Hdf5Recorder(const std::string& path, const std::vector<RecordedChannel>& channels,
                           const RecordingInfo& info)
    : recorderFile(std::make_unique<File>())
{
    // Failures become exceptions with a sentence of ours; HDF5's own error
    // stack would otherwise be printed to stderr.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);

    File& f = *recorderFile;
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
        Series values(group.get(), "values", info.compress, createFailure);
        Series times(group.get(), "time", info.compress, createFailure);
        f.channels.push_back({std::move(group), std::move(values), std::move(times), {}, {}});
    }
    check(H5Fflush(root, H5F_SCOPE_LOCAL), createFailure);
    f.lastFlush = Clock::now();
}

Hdf5Recorder::~Hdf5Recorder()
{
    if (!recorderFile || !recorderFile->file.valid())
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
    File::Channel& c = f.channels[channel];
    c.pendingValues.insert(c.pendingValues.end(), values, values + count);
    c.pendingTimes.insert(c.pendingTimes.end(), times, times + count);
    if (c.pendingValues.size() >= batchSamples || Clock::now() - f.lastFlush >= flushInterval)
        f.writeAll();
}

void Hdf5Recorder::flush() { recorderFile->writeAll(); }

} // namespace ktcli
