// One connection to the application and the channel handles opened on it,
// made through the library's exported functions only.
#pragma once

#include "ktremote.h"

#include <memory>
#include <string>
#include <vector>

namespace ktcli {

class Arguments;

// Throws Failure(code, message) when code is negative.
void check(int code, const std::string& message);

// A channel handle with what ktcli shows of it.
class Channel {
public:
    Channel(ChannelInstance* handle, std::string id);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    ChannelInstance* handle() const { return handle_; }
    const std::string& id() const { return id_; }
    const std::string& name() const { return name_; }
    const std::string& unit() const { return unit_; }
    int type() const { return type_; }
    bool isControl() const { return control_; }
    // Asks the library (a synchronous channel asks the application).
    double sampleRate() const;

private:
    ChannelInstance* handle_;
    std::string id_;
    std::string name_;
    std::string unit_;
    int type_ = KX_CHANNEL_SYNC;
    bool control_ = false;
};

class Session {
public:
    // Connects with --host, --port and --data-port. Throws Failure when the
    // application cannot be reached; that takes about 20 s, the library's
    // limit for the command connection.
    explicit Session(const Arguments& arguments);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    KTXInstance* instance() const { return instance_; }
    const std::string& where() const { return where_; }

    // The ids of the application's current channels, in list order.
    std::vector<std::string> channelIds();

    // Opens the channel whose id is `key`, else the first one named `key`
    // (its id() is then `key`). Opening a channel marks it for transfer.
    std::unique_ptr<Channel> open(const std::string& key);
    // Opens every channel of the current setup.
    std::vector<std::unique_ptr<Channel>> openAll();

private:
    KTXInstance* instance_ = nullptr;
    std::string where_;
    std::vector<std::string> ids_;
    bool idsKnown_ = false;
};

// The type as a word: "async", "sync" or "single".
const char* typeName(int type);

}  // namespace ktcli
