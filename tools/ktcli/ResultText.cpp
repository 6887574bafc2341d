#include "ResultText.h"

namespace ktcli {

namespace {

struct Entry {
    int code;
    const char* name;
    const char* meaning;
};

constexpr Entry entries[] = {
    {KX_OK, "KX_OK", "success"},
    {KX_ERR_CHANNEL_NOT_FOUND, "KX_ERR_CHANNEL_NOT_FOUND", "the application has no channel with that name"},
    {KX_ERR_FAILED, "KX_ERR_FAILED", "the operation failed in the library or in the application"},
    {KX_ERR_NOT_CONNECTED, "KX_ERR_NOT_CONNECTED", "the connection to the application could not be made"},
    {KX_ERR_BUFFER_TOO_SMALL, "KX_ERR_BUFFER_TOO_SMALL", "a text did not fit its buffer"},
    {KX_ERR_NO_COMMAND_CONNECTION, "KX_ERR_NO_COMMAND_CONNECTION", "the command connection is not open"},
    {KX_ERR_APP_CALL_FAILED, "KX_ERR_APP_CALL_FAILED", "a request to the application failed"},
    {KX_ERR_INVALID_HANDLE, "KX_ERR_INVALID_HANDLE", "a handle or a required argument was missing"},
    {KX_ERR_BAD_ADDRESS, "KX_ERR_BAD_ADDRESS", "the address is not \"host commandPort dataPort\""},
    {KX_ERR_NO_TARGET_OBJECT, "KX_ERR_NO_TARGET_OBJECT", "the application object is missing"},
    {KX_ERR_APP_NOT_CREATED, "KX_ERR_APP_NOT_CREATED", "the application object could not be created"},
    {KX_ERR_AUTOMATION_CALL, "KX_ERR_AUTOMATION_CALL", "an automation call failed"},
    {KX_ERR_BAD_COUNT, "KX_ERR_BAD_COUNT", "the channel count is not valid"},
    {KX_ERR_CHANNEL_NOT_CREATED, "KX_ERR_CHANNEL_NOT_CREATED", "the application has no channel with that id"},
    {KX_ERR_NOT_SUPPORTED, "KX_ERR_NOT_SUPPORTED", "this kind of connection does not offer the operation"},
    {KX_ERR_NOT_CONTROL_CHANNEL, "KX_ERR_NOT_CONTROL_CHANNEL", "the channel does not accept written values"},
    {KX_ERR_SETUP_NOT_LOADED, "KX_ERR_SETUP_NOT_LOADED", "the application did not confirm loading the setup"},
    {KX_ERR_DATA_OVERRUN, "KX_ERR_DATA_OVERRUN", "samples were dropped because a channel buffer overflowed"},
    {KX_ERR_START_STEP1, "KX_ERR_START_STEP1", "the measurement could not be started (stopping the previous one)"},
    {KX_ERR_START_STEP2, "KX_ERR_START_STEP2", "the measurement could not be started (channel numbers)"},
    {KX_ERR_START_STEP3, "KX_ERR_START_STEP3", "the measurement could not be started (timing query)"},
    {KX_ERR_START_STEP4, "KX_ERR_START_STEP4", "the measurement could not be started (transfer request or data port)"},
    {KX_ERR_START_STEP5, "KX_ERR_START_STEP5", "the measurement could not be started (transfer start)"},
    {KX_ERR_START_STEP6, "KX_ERR_START_STEP6", "the measurement could not be started (acquisition start)"},
    {KX_ERR_START_STORING, "KX_ERR_START_STORING", "the application did not start storing"},
    {KX_ERR_STOP_STORING, "KX_ERR_STOP_STORING", "the application did not stop storing"},
};

const Entry* find(int code)
{
    for (const Entry& entry : entries)
        if (entry.code == code)
            return &entry;
    return nullptr;
}

}  // namespace

const char* resultName(int code)
{
    if (const Entry* entry = find(code))
        return entry->name;
    return "unknown result";
}

const char* resultMeaning(int code)
{
    if (const Entry* entry = find(code))
        return entry->meaning;
    return "the library returned a result this program does not know";
}

}  // namespace ktcli
