// SPDX-License-Identifier: MIT
// The simulated application: its setup, state, acquisition clock, control
// values and storing. Shared by every command connection.
#pragma once

#include "ControlValues.h"
#include "SampleModel.h"
#include "Store.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace ktsim {

enum class AppState { Setup, Acquiring, Stopped, Analyse };

// The word that GETSTATUS answers for a state.
const char* stateWord(AppState state);

class Application {
public:
    using Clock = std::chrono::steady_clock;

    Application(Setup setup, std::uint64_t seed, std::string storeDir = ".");

    std::shared_ptr<const SampleModel> model() const { return sampleModel; }
    AppState state() const { return appState; }
    bool acquiring() const { return appState == AppState::Acquiring; }
    std::uint64_t seed() const { return randomSeed; }

    // Replaces the setup and enters the setup state; control values are
    // forgotten. Not while acquiring.
    void loadSetup(Setup setup);
    void enterState(AppState state);

    // Starts a new acquisition: sample indexes restart at 0.
    void startAcquisition(Clock::time_point now, double startDays);
    // Stops acquiring and storing; the clock stands still at `now`.
    void stopAcquisition(Clock::time_point now);
    // Counts the acquisitions started, so that streams notice a new one.
    std::uint64_t acquisitionNumber() const { return acquisitionCounter; }
    // Seconds into the current (or last) acquisition.
    double elapsed(Clock::time_point now) const;
    double startDays() const { return startSerialDays; }

    ControlValues& controls() { return controlValues; }
    const ControlValues& controls() const { return controlValues; }

    // Starts storing to `name` (relative names are in the store directory;
    // an empty name gets a time-stamped one). Returns the path; throws
    // std::runtime_error when the file cannot be created.
    std::string startStore(const std::string& name, Clock::time_point now);
    void stopStore(Clock::time_point now);
    bool storing() const { return sampleStore != nullptr; }
    std::string storePath() const { return sampleStore ? sampleStore->path() : std::string(); }
    // Writes the samples due by now to the store file.
    void pumpStore(Clock::time_point now);

private:
    std::shared_ptr<const SampleModel> sampleModel;
    std::uint64_t randomSeed;
    std::string storeDirectory;
    AppState appState = AppState::Setup;
    std::uint64_t acquisitionCounter = 0;
    Clock::time_point start{};
    double frozenElapsed = 0.0;
    double startSerialDays = 0.0;
    ControlValues controlValues;
    std::unique_ptr<Store> sampleStore;
};

} // namespace ktsim
