// SPDX-License-Identifier: MIT
// Measurement control of a network instance: loading a setup, the
// application's state, starting and stopping a measurement together with
// its data transfer, storing, and the reads that go to the current data
// receiver.

#include "KTXNETInstance.h"

#include "ConnectionText.h"
#include "NETChannelInstance.h"
#include "NETDataReceiver.h"
#include "NETSession.h"
#include "api/Failure.h"
#include "api/NumberText.h"
#include "ktremote.h"

#include <string_view>

namespace ktremote {

namespace {

constexpr const char* setupLoaded = "+OK Setup loaded\r\n";
constexpr const char* acquiringReply = "+OK Yes\r\n";

bool beginsWithOk(const std::string& reply) { return reply.size() > 2 && reply.compare(0, 3, "+OK") == 0; }

// Paths and file names go into a command line as they are. A line break in
// one would end that command early and send the rest as commands of its own,
// so such names are refused before anything is sent.
bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// Runs one step of the start sequence. Every kind of failure in a step, a
// broken command connection included, ends the start with that step's code;
// its text is kept as the instance's last failure.
template <class Step>
bool succeeds(LastFailure& lastFailure, Step&& step)
{
    try {
        step();
        return true;
    } catch (...) {
        lastFailure.recordCurrentException();
        return false;
    }
}

} // namespace

int KTXNETInstance::ClassifyStatusReply(const std::string& reply)
{
    if (!beginsWithOk(reply))
        return KX_STATE_UNKNOWN;
    // The first word of this list found anywhere in the reply decides.
    static const struct {
        const char* word;
        int state;
    } words[] = {
        {"Analyse", KX_STATE_ANALYSIS},
        {"Acquiring", KX_STATE_ACQUIRING},
        {"Stopped", KX_STATE_STOPPED},
        {"Setup", KX_STATE_SETUP},
    };
    for (const auto& entry : words)
        if (reply.find(entry.word) != std::string::npos)
            return entry.state;
    return KX_STATE_UNKNOWN;
}

int KTXNETInstance::SetAppWindowVisible(bool) { return KX_ERR_NOT_SUPPORTED; }

int KTXNETInstance::LoadSetup(const char* setupFile)
{
    if (setupFile == nullptr || hasLineBreak(setupFile)) {
        lastFailure.record("the setup file name holds a line break");
        return KX_ERR_SETUP_NOT_LOADED;
    }
    if (Transact(std::string("LOADSETUP ") + setupFile) != setupLoaded) {
        lastFailure.record("the application did not confirm that it loaded the setup");
        return KX_ERR_SETUP_NOT_LOADED;
    }
    return KX_OK;
}

int KTXNETInstance::IsInAcquisition(bool* running)
{
    *running = Transact("ISMEASURING") == acquiringReply;
    return KX_OK;
}

int KTXNETInstance::GetState(int32_t* state)
{
    *state = ClassifyStatusReply(Transact("GETSTATUS"));
    return KX_OK;
}

int KTXNETInstance::StartMeasurement()
{
    // Each step that fails ends the start with its code; what the steps
    // before it did stays in place.
    // Not knowing whether the application acquires fails the start like a
    // failed stop sequence would: nothing has been started.
    bool acquiring = false;
    if (!succeeds(lastFailure, [&] { IsInAcquisition(&acquiring); }))
        return KX_ERR_START_STEP1;
    if (acquiring && !succeeds(lastFailure, [&] {
            Transact("STOPTRANSFER");
            Transact("STOP");
            Transact("ENTERSETUP");
        }))
        return KX_ERR_START_STEP1;
    std::vector<int32_t> numbers;
    if (!succeeds(lastFailure, [&] { numbers = transferredChannelNumbers(); }))
        return KX_ERR_START_STEP2;
    if (!succeeds(lastFailure, [&] { Transact("GETTIMING"); }))
        return KX_ERR_START_STEP3;
    if (!succeeds(lastFailure, [&] { PrepareTransfer(numbers); }))
        return KX_ERR_START_STEP4;
    if (!succeeds(lastFailure, [&] { SetUpDataReceiver(); }))
        return KX_ERR_START_STEP4;
    // The port goes out as the text the host gave, not as the number
    // listened on.
    if (!succeeds(lastFailure, [&] { Transact("STARTTRANSFER " + dataPort); }))
        return KX_ERR_START_STEP5;
    if (!succeeds(lastFailure, [&] { Transact("STARTACQ"); }))
        return KX_ERR_START_STEP6;
    return KX_OK;
}

std::vector<int32_t> KTXNETInstance::transferredChannelNumbers() const
{
    std::vector<int32_t> numbers;
    for (const ChannelRecord& record : channels) {
        if (!record.transferred)
            continue;
        const std::optional<int32_t> number = parseInt32(record.listIndex);
        if (!number)
            raise(KX_ERR_START_STEP2, "a channel number is not a decimal integer");
        numbers.push_back(*number);
    }
    return numbers;
}

void KTXNETInstance::PrepareTransfer(const std::vector<int32_t>& numbers)
{
    // One command of several lines; Transact ends the last one and waits
    // for the single reply.
    std::string block = "/STX PREPARETRANSFER\r\n";
    for (const int32_t number : numbers)
        block += "CH " + std::to_string(number) + "\r\n";
    block += "/ETX";
    Transact(block);
}

void KTXNETInstance::SetUpDataReceiver()
{
    Transact("SETTIMEOUT 0");
    const std::shared_ptr<NETSession> current = requireSession();

    // The receiver of an earlier start goes first, with its listener and its
    // data connections: its measurement is over, and its listener may still
    // hold the data port that the new one needs.
    current->dropReceiver();
    auto receiver = std::make_shared<NETDataReceiver>(current->context());

    // One buffer per transferred channel, in list order: the order of the
    // blocks in every packet. The sample rate of a copied record is asked
    // through this instance, since a record need not have an owner.
    for (const ChannelRecord& record : channels) {
        if (!record.transferred)
            continue;
        ChannelRecord copy = record;
        double rate = 0.0;
        if (NETChannelInstance::querySampleRate(*this, copy, &rate) != KX_OK)
            raise(KX_ERR_START_STEP4, "the sample rate of a channel is unknown");
        receiver->addChannel(copy, bufferSize, rate);
    }

    // Connect has checked the port word.
    const std::optional<uint16_t> port = parseTcpPort(dataPort);
    if (!port)
        raise(KX_ERR_START_STEP4, "the data port is not a TCP port");
    // Only on the interface that carries the command connection, in its
    // address family, and only for the application: the address the command
    // connection reaches it at. The endpoints are set once the connection is
    // up, which the commands above needed.
    const NETCommandConnection& command = current->command();
    receiver->listen({command.localEndpoint().address(), *port}, command.peerEndpoint().address());
    current->setReceiver(std::move(receiver));
}

int KTXNETInstance::StopMeasurement()
{
    if (!commandSocketConnected()) {
        lastFailure.record("there is no command connection");
        return KX_ERR_NO_COMMAND_CONNECTION;
    }
    const ReceiverHold hold = holdReceiver();
    NETDataReceiver* receiver = hold.receiver.get();
    try {
        Transact("STOPTRANSFER");
        Transact("STOP");
        // Only the listener closes: the application closes its data
        // connection after sending what it measured, and buffered values
        // stay readable until the next start.
        if (receiver && receiver->running())
            receiver->stop();
        Transact("ENTERSETUP");
    } catch (...) {
        // An application that no longer answers will not close its data
        // connection either, and a listener left open would keep the data
        // port from the next start, in this instance or another. The
        // failure is still reported.
        if (receiver)
            receiver->shutdown();
        throw;
    }
    return KX_OK;
}

int KTXNETInstance::StartStoring(const char* fileName)
{
    if (fileName == nullptr)
        return KX_ERR_START_STORING;
    const std::string_view name(fileName);
    // '|' separates items in the application's storing commands.
    if (name.find('|') != std::string_view::npos || hasLineBreak(name)) {
        lastFailure.record("the storing file name holds a '|' or a line break");
        return KX_ERR_START_STORING;
    }
    try {
        const std::string command = name.empty() ? "STARTSTORE" : "STARTSTORE " + std::string(name);
        if (beginsWithOk(Transact(command)))
            return KX_OK;
        lastFailure.record("the application refused to start storing");
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
    }
    return KX_ERR_START_STORING;
}

int KTXNETInstance::StopStoring()
{
    try {
        if (beginsWithOk(Transact("STOPSTORE")))
            return KX_OK;
        lastFailure.record("the application refused to stop storing");
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
    }
    return KX_ERR_STOP_STORING;
}

int KTXNETInstance::BeginRead(intptr_t, intptr_t) { return KX_OK; }

int KTXNETInstance::EndRead() { return KX_OK; }

// Before the first start there is no receiver: the reads deliver nothing.
// The count says so, so that a host that goes by it never takes the stale
// contents of its arrays for samples; arrays and array pointers stay as
// they were.
int KTXNETInstance::ReadScalarData2ById(const std::string& id, double* values, double* timestamps, size_t* count)
{
    const ReceiverHold hold = holdReceiver();
    if (!hold.receiver) {
        *count = 0;
        return KX_OK;
    }
    return hold.receiver->readScalarData2(id, values, timestamps, count);
}

int KTXNETInstance::ReadScalarData2AbsById(const std::string& id, double* values, double* timestamps, size_t* count)
{
    const ReceiverHold hold = holdReceiver();
    if (!hold.receiver) {
        *count = 0;
        return KX_OK;
    }
    return hold.receiver->readScalarData2Abs(id, values, timestamps, count);
}

void KTXNETInstance::ReadScalarDataById(const std::string& id, double** values, double** timestamps, size_t* count)
{
    const ReceiverHold hold = holdReceiver();
    if (!hold.receiver) {
        *count = 0;
        return;
    }
    hold.receiver->readScalarData(id, values, timestamps, count);
}

} // namespace ktremote
