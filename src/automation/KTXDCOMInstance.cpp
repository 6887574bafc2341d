// SPDX-License-Identifier: MIT
#include "KTXDCOMInstance.h"

#include "ChannelId.h"
#include "DCOMChannelInstance.h"
#include "InvokeMember.h"
#include "ListedChannels.h"
#include "TextConversion.h"
#include "api/Failure.h"
#include "api/InstanceFactory.h"
#include "ktremote.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace ktremote {

KTXInstance* createAutomationInstance() { return new KTXDCOMInstance(); }

KTXDCOMInstance::~KTXDCOMInstance()
{
    connectionTable.clear();
    releaseApplication();
}

void KTXDCOMInstance::releaseResources()
{
    std::vector<Connection>().swap(connectionTable);
    releaseApplication();
    KTXInstance::releaseResources();
}

IDispatch* KTXDCOMInstance::createApplication()
{
    CoInitialize(nullptr); // S_FALSE when this thread already has COM: fine
    CLSID classId{};
    if (FAILED(CLSIDFromProgID(L"Kaltrop.App", &classId)))
        return nullptr;
    IDispatch* application = nullptr;
    if (FAILED(CoCreateInstance(classId, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&application))))
        return nullptr;
    return application;
}

void KTXDCOMInstance::releaseApplication() noexcept
{
    if (applicationDispatch != nullptr) {
        applicationDispatch->Release();
        applicationDispatch = nullptr;
    }
}

Variant KTXDCOMInstance::data() const { return getProperty(applicationDispatch, L"Data"); }

IDispatch* KTXDCOMInstance::connectionOf(const ChannelRecord& channel) const
{
    // Connections sit in the order of the listed channels, which is the
    // order of the channel instances when the host creates them in the
    // order it enumerated the ids. A host that opens channels in another
    // order (or only some, or by name) still gets its own channel's
    // connection: the entry is found by id.
    const std::string id = formatChannelId(parseChannelId(channel.requestedId));
    const auto ordinal = static_cast<size_t>(channel.ordinal);
    if (channel.ordinal >= 0 && ordinal < connectionTable.size() && connectionTable[ordinal].channelId == id)
        return connectionTable[ordinal].object.object();
    for (const Connection& entry : connectionTable) {
        if (entry.channelId == id)
            return entry.object.object();
    }
    return nullptr;
}

int KTXDCOMInstance::Connect(const char*)
{
    releaseApplication(); // a second connect replaces the reference
    applicationDispatch = createApplication();
    if (applicationDispatch == nullptr) {
        lastFailure.record("the application's automation object cannot be created");
        return KX_ERR_APP_NOT_CREATED;
    }
    try {
        callMethod(applicationDispatch, L"Init");
        putSmallInteger(applicationDispatch, L"Visible", 1);
        putSmallInteger(applicationDispatch, L"SuppressMessages", -1);
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        return KX_ERR_FAILED;
    }
    connected = true;
    mode = 0;
    return KX_OK;
}

int KTXDCOMInstance::Disconnect()
{
    // `connected` stays set (the exports never clear it). Without the
    // application every later operation fails cleanly with its own code.
    connectionTable.clear();
    releaseApplication();
    return KX_OK;
}

int KTXDCOMInstance::GetChannelCount(size_t* count)
{
    try {
        const Variant d = data();
        // "Count" may be negative; a negative number of channels is none.
        *count = static_cast<size_t>(std::max<int32_t>(listedCount(d.object()), 0));
        return KX_OK;
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        return KX_ERR_FAILED;
    }
}

int KTXDCOMInstance::SetAppWindowVisible(bool visible)
{
    try {
        putSmallInteger(applicationDispatch, L"Visible", visible ? 1 : 0);
        return KX_OK;
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        return KX_ERR_FAILED;
    }
}

int KTXDCOMInstance::LoadSetup(const char* setupFile)
{
    try {
        // Setup paths come in the host's locale, not in UTF-8.
        callMethodWithText(applicationDispatch, L"LoadSetup", localeToUtf16(setupFile));
        return KX_OK;
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        return KX_ERR_FAILED;
    }
}

int KTXDCOMInstance::IsInAcquisition(bool* running)
{
    *running = getProperty(applicationDispatch, L"IsAcqRunning").isTrue();
    return KX_OK;
}

int KTXDCOMInstance::GetState(int32_t* state)
{
    int32_t result = KX_STATE_UNKNOWN;
    const int32_t runMode = getProperty(applicationDispatch, L"ActualRunMode").int32();
    if (runMode == 2) {
        result = KX_STATE_ANALYSIS;
    } else if (runMode == 1) {
        const int32_t menu = getProperty(applicationDispatch, L"MeasureMenuIndex").int32();
        if (menu >= 1 && menu <= 3)
            result = menu; // setup, acquiring, stopped
    }
    *state = result;
    return KX_OK;
}

int KTXDCOMInstance::StartMeasurement()
{
    try {
        const Variant d = data();
        if (getProperty(applicationDispatch, L"IsAcqRunning").isTrue())
            StopMeasurement();
        callMethod(applicationDispatch, L"Start");
        const Variant usedChannels = getProperty(d.object(), L"UsedChannels");
        const ChannelCounts counts = countChannels(d.object());
        const size_t tableSize = static_cast<size_t>(std::max<int32_t>(counts.listed, 0));
        connectionTable.clear();
        connectionTable.reserve(tableSize);

        // The k-th listed channel's connection goes to entry k. Positions
        // are walked until every listed channel has its connection.
        for (int32_t position = 0; position < counts.used && connectionTable.size() < tableSize; ++position) {
            const Variant channel = getItem(usedChannels.object(), position);
            if (!isListed(channel.object()))
                continue;
            Connection entry;
            entry.channelId = formatChannelId(indicesOf(getProperty(channel.object(), L"IndexEx")));
            entry.object = callMethod(channel.object(), L"CreateConnection");
            connectionTable.push_back(std::move(entry));
            IDispatch* connection = connectionTable.back().object.object();
            putSmallInteger(connection, L"AType", 3);
            callMethod(connection, L"Start");
        }
        return KX_OK;
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        return KX_ERR_APP_CALL_FAILED; // the table keeps what was made
    }
}

int KTXDCOMInstance::StopMeasurement()
{
    // The connections are released once the application has been told to
    // stop, so that the application sees the stop first.
    std::vector<Connection> table;
    table.swap(connectionTable);
    try {
        callMethod(applicationDispatch, L"Stop");
        callMethod(applicationDispatch, L"SetupScreen");
        return KX_OK;
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        return KX_ERR_APP_CALL_FAILED;
    }
}

int KTXDCOMInstance::StartStoring(const char* fileName)
{
    if (fileName == nullptr)
        return KX_ERR_START_STORING;
    try {
        callMethodWithText(applicationDispatch, L"StartStoring", utf8ToUtf16(fileName));
        return KX_OK;
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        return KX_ERR_START_STORING;
    }
}

int KTXDCOMInstance::StopStoring()
{
    try {
        callMethod(applicationDispatch, L"StopStoring");
        return KX_OK;
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        return KX_ERR_STOP_STORING;
    }
}

int KTXDCOMInstance::BeginRead(intptr_t, intptr_t)
{
    try {
        const Variant d = data();
        callMethod(d.object(), L"StartDataSync");
        return KX_OK;
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        return KX_ERR_APP_CALL_FAILED;
    }
}

int KTXDCOMInstance::EndRead()
{
    const Variant d = data();
    callMethod(d.object(), L"EndDataSync");
    return KX_OK;
}

namespace {

// An id array under construction: entries without a text stay null. On
// failure everything is released again, so the host never receives a
// half-built array.
class IdArray {
public:
    explicit IdArray(size_t size) : idCount(size)
    {
        idTexts = static_cast<char**>(std::calloc(std::max<size_t>(size, 1), sizeof(char*)));
        if (idTexts == nullptr)
            throw std::bad_alloc();
    }
    ~IdArray()
    {
        if (idTexts == nullptr)
            return;
        for (size_t k = 0; k < idCount; ++k)
            std::free(idTexts[k]);
        std::free(idTexts);
    }
    IdArray(const IdArray&) = delete;
    IdArray& operator=(const IdArray&) = delete;

    size_t size() const { return idCount; }
    void set(size_t k, const std::string& id)
    {
        char* text = static_cast<char*>(std::malloc(id.size() + 1));
        if (text == nullptr)
            throw std::bad_alloc();
        std::memcpy(text, id.c_str(), id.size() + 1);
        idTexts[k] = text;
    }
    char** release()
    {
        char** ids = idTexts;
        idTexts = nullptr;
        return ids;
    }

private:
    char** idTexts = nullptr;
    size_t idCount = 0;
};

} // namespace

int KTXDCOMInstance::EnumerateChannels(char*** ids, size_t* count)
{
    if (*count == std::numeric_limits<size_t>::max())
        return KX_ERR_BAD_COUNT;
    try {
        const Variant d = data();
        const Variant usedChannels = getProperty(d.object(), L"UsedChannels");
        usedChannelCount = getProperty(usedChannels.object(), L"Count").int32();
        if (usedChannelCount <= 0) {
            *ids = nullptr;
            *count = 0;
            return KX_ERR_AUTOMATION_CALL;
        }
        // One walk over the collection: the listed channels' ids, in
        // collection order; a listed channel without an id keeps an empty
        // text and gets a null entry. The count handed out is the number of
        // listed channels this walk found.
        std::vector<std::string> listedIds;
        for (int32_t position = 0; position < usedChannelCount; ++position) {
            const Variant channel = getItem(usedChannels.object(), position);
            const Variant indexEx = getProperty(channel.object(), L"IndexEx");
            if (isListed(channel.object()))
                listedIds.push_back(formatChannelId(indicesOf(indexEx)));
        }
        IdArray array(listedIds.size());
        for (size_t k = 0; k < listedIds.size(); ++k) {
            if (!listedIds[k].empty())
                array.set(k, listedIds[k]);
        }
        *count = array.size();
        *ids = array.release();
        return KX_OK;
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        *ids = nullptr;
        *count = 0;
        return KX_ERR_APP_CALL_FAILED;
    }
}

int KTXDCOMInstance::InitChannelIdEnum()
{
    channelIds.clear();
    idCursor = 0;
    try {
        const Variant d = data();
        const Variant usedChannels = getProperty(d.object(), L"UsedChannels");
        const int32_t used = getProperty(usedChannels.object(), L"Count").int32();
        for (int32_t position = 0; position < used; ++position) {
            const Variant channel = getItem(usedChannels.object(), position);
            if (isListed(channel.object()))
                channelIds.push_back(formatChannelId(indicesOf(getProperty(channel.object(), L"IndexEx"))));
        }
        return KX_OK;
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        return KX_ERR_APP_CALL_FAILED; // the ids read so far stay
    }
}

int KTXDCOMInstance::GetNextChannelIdSize(int32_t* size)
{
    return nextIdSize(
        channelIds.size(), [&](size_t k) -> const std::string& { return channelIds[k]; }, size);
}

int KTXDCOMInstance::GetNextChannelId(char* buffer)
{
    return nextId(
        channelIds.size(), [&](size_t k) -> const std::string& { return channelIds[k]; }, buffer);
}

ChannelInstance* KTXDCOMInstance::CreateChannelInstance(KTXInstance* owner, const char* channelId)
{
    if (channelId == nullptr || *channelId == '\0')
        return nullptr;
    const std::vector<int32_t> indices = parseChannelId(channelId);
    const Variant d = data();
    Variant found;
    try {
        found = callFindChannelByIndexEx(d.object(), indices);
    } catch (const ArrayArgumentFailure&) {
        lastFailure.recordCurrentException();
        return nullptr;
    }
    IDispatch* channel = found.object();
    if (channel == nullptr)
        return nullptr; // no channel with this id

    const Variant name = getProperty(channel, L"Name");
    const Variant async = getProperty(channel, L"Async");
    const Variant unit = getProperty(channel, L"Unit_");
    const Variant control = getProperty(channel, L"IsControlChannel");
    const Variant singleValue = getProperty(channel, L"IsSingleValue");
    const Variant divider = getProperty(channel, L"CalcSRDiv");
    const Variant baseRate = getProperty(d.object(), L"SampleRate");

    auto instance = std::make_unique<DCOMChannelInstance>();
    instance->requestedId = channelId;
    instance->name = name.text();
    instance->isAsync = async.isTrue();
    instance->isControl = control.isTrue();
    instance->isSingleValue = singleValue.isTrue();
    instance->sampleRateDivider = divider.int32();
    instance->baseSampleRate = static_cast<double>(baseRate.int32());
    if (instance->isAsync)
        instance->expectedAsyncRate = getProperty(channel, L"ExpectedAsyncRate").float32();
    if (!instance->isAsync && !instance->isSingleValue)
        instance->sampleRate = callMethod(channel, L"GetSampleRate").float64();
    if (unit.textLength() > 0)
        instance->unit = unit.text();
    instance->owner = owner;
    instance->ordinal = nextOrdinal;
    channels.push_back(*instance);
    ++nextOrdinal;
    return instance.release();
}

ChannelInstance* KTXDCOMInstance::CreateChannelInstanceByNameUtf8(KTXInstance* owner, const char* name)
{
    if (name == nullptr || *name == '\0')
        return nullptr;
    const std::wstring wideName = utf8ToUtf16(name);
    if (wideName.empty())
        return nullptr;
    const Variant d = data();
    const Variant found = callMethodWithText(d.object(), L"FindChannel", wideName);
    if (found.object() == nullptr)
        return nullptr;
    const std::vector<int32_t> indices = indicesOf(getProperty(found.object(), L"IndexEx"));
    if (indices.empty())
        return nullptr;
    return CreateChannelInstance(owner, formatChannelId(indices).c_str());
}

} // namespace ktremote
