#include "Session.h"

#include "Cli.h"

#include <algorithm>
#include <cstdlib>

namespace ktcli {

namespace {

// Texts go into buffers of this size; longer names are cut by the library.
constexpr size_t textBuffer = 512;

void requireWord(const std::string& text, const char* option)
{
    if (text.empty() || text.find_first_of(" \t\r\n") != std::string::npos)
        throw UsageError(std::string("--") + option + " must be one word, not \"" + text + "\"");
}

}  // namespace

void check(int code, const std::string& message)
{
    if (code < 0)
        throw Failure(code, message);
}

Channel::Channel(ChannelInstance* handle, std::string id) : handle_(handle), id_(std::move(id))
{
    char text[textBuffer] = {};
    size_t required = 0;
    // A name longer than the buffer is shown cut at a whole character.
    const int result = ktconChannelGetNameUtf8(handle_, text, sizeof text, &required);
    if (result != KX_OK && result != KX_ERR_BUFFER_TOO_SMALL)
        check(result, "cannot read the name of channel " + id_);
    name_ = text;
    check(ktconGetChUnit(handle_, text, sizeof text), "cannot read the unit of channel " + id_);
    unit_ = text;
    check(ktconGetChannelType(handle_, &type_), "cannot read the type of channel " + id_);
    check(ktconIsChannelControl(handle_, &control_), "cannot read the control flag of channel " + id_);
}

Channel::~Channel() { ktconFreeChannelInstance(handle_); }

double Channel::sampleRate() const
{
    double rate = 0.0;
    check(ktconGetSampleRate(handle_, &rate), "cannot read the sample rate of " + name_);
    return rate;
}

Session::Session(const Arguments& arguments)
{
    const std::string host = arguments.text("host", "localhost");
    const std::string port = arguments.text("port", "8999");
    const std::string dataPort = arguments.text("data-port", "8001");
    requireWord(host, "host");
    requireWord(port, "port");
    requireWord(dataPort, "data-port");
    where_ = host + ":" + port;

    check(ktconCreateInstance(&instance_, 1), "cannot create a network instance");
    const std::string connection = host + " " + port + " " + dataPort;
    const KX_ERROR_CODE connected = ktconConnect(instance_, connection.c_str());
    // An instance that did not connect also answers every later call with
    // KX_ERR_NOT_CONNECTED. This call sends nothing to the application.
    int size = 0;
    if (connected == KX_ERR_NO_COMMAND_CONNECTION
        || (connected == KX_OK && ktconGetNextChannelIdSize(instance_, &size) == KX_ERR_NOT_CONNECTED))
        throw Failure(KX_ERR_NOT_CONNECTED,
                      "no application answered at " + where_ + " (is it running, and is the port right?)");
    check(connected, "cannot connect to " + where_);
}

Session::~Session()
{
    ktconDisconnect(instance_);
    ktconDestroyInstance(instance_);
}

std::vector<std::string> Session::channelIds()
{
    char** ids = nullptr;
    size_t count = 0;
    check(ktconEnumerateChannels(instance_, &ids, &count), "cannot list the application's channels");
    std::vector<std::string> result;
    // Channels without a name have no entry; the array may end early.
    for (size_t k = 0; k < count; ++k) {
        if (ids[k] == nullptr)
            continue;
        result.emplace_back(ids[k]);
        std::free(ids[k]);
    }
    ktconFreeEnumerateChannels(instance_, &ids);
    ids_ = result;
    idsKnown_ = true;
    return result;
}

std::unique_ptr<Channel> Session::open(const std::string& key)
{
    if (!idsKnown_)
        channelIds();
    ChannelInstance* handle = nullptr;
    if (std::find(ids_.begin(), ids_.end(), key) != ids_.end()) {
        check(ktconCreateChannelInstance(instance_, key.c_str(), &handle), "cannot open channel " + key);
        return std::make_unique<Channel>(handle, key);
    }
    const int result = ktconCreateChannelInstanceByNameUtf8(instance_, key.c_str(), &handle);
    if (result == KX_ERR_CHANNEL_NOT_FOUND)
        throw Failure(result, "the application has no channel named or with the id \"" + key + "\"");
    check(result, "cannot open channel " + key);
    return std::make_unique<Channel>(handle, key);
}

std::vector<std::unique_ptr<Channel>> Session::openAll()
{
    std::vector<std::unique_ptr<Channel>> channels;
    for (const std::string& id : channelIds()) {
        ChannelInstance* handle = nullptr;
        check(ktconCreateChannelInstance(instance_, id.c_str(), &handle), "cannot open channel " + id);
        channels.push_back(std::make_unique<Channel>(handle, id));
    }
    return channels;
}

const char* typeName(int type)
{
    switch (type) {
    case KX_CHANNEL_ASYNC: return "async";
    case KX_CHANNEL_SYNC: return "sync";
    case KX_CHANNEL_SINGLE_VALUE: return "single";
    default: return "?";
    }
}

}  // namespace ktcli
