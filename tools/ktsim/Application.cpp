// SPDX-License-Identifier: MIT
#include "Application.h"

#include <ctime>

namespace ktsim {

const char* stateWord(AppState state)
{
    switch (state) {
    case AppState::Setup: return "Setup";
    case AppState::Acquiring: return "Acquiring";
    case AppState::Stopped: return "Stopped";
    case AppState::Analyse: return "Analyse";
    }
    return "Setup";
}

Application::Application(Setup setup, std::uint64_t seed, std::string storeDir)
    : sampleModel(std::make_shared<SampleModel>(std::move(setup), seed)), randomSeed(seed),
      storeDirectory(std::move(storeDir))
{
}

void Application::loadSetup(Setup setup)
{
    sampleModel = std::make_shared<SampleModel>(std::move(setup), randomSeed);
    controlValues.clear();
    appState = AppState::Setup;
}

void Application::enterState(AppState state) { appState = state; }

void Application::startAcquisition(Clock::time_point now, double startDays)
{
    appState = AppState::Acquiring;
    ++acquisitionCounter;
    start = now;
    frozenElapsed = 0.0;
    startSerialDays = startDays;
}

void Application::stopAcquisition(Clock::time_point now)
{
    if (appState != AppState::Acquiring)
        return;
    stopStore(now);
    frozenElapsed = elapsed(now);
    appState = AppState::Stopped;
}

double Application::elapsed(Clock::time_point now) const
{
    if (appState != AppState::Acquiring)
        return frozenElapsed;
    return std::chrono::duration<double>(now - start).count();
}

std::string Application::startStore(const std::string& name, Clock::time_point now)
{
    std::string path = name;
    if (path.empty()) {
        std::time_t t = std::time(nullptr);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::gmtime(&t));
        path = std::string("ktsim-") + stamp + ".csv";
    }
    if (path[0] != '/' && !storeDirectory.empty() && storeDirectory != ".")
        path = storeDirectory + "/" + path;
    sampleStore = std::make_unique<Store>(path, sampleModel, startSerialDays);
    pumpStore(now);
    return path;
}

void Application::stopStore(Clock::time_point now)
{
    if (!sampleStore)
        return;
    pumpStore(now);
    sampleStore.reset();
}

void Application::pumpStore(Clock::time_point now)
{
    if (sampleStore)
        sampleStore->write(elapsed(now), controlValues);
}

} // namespace ktsim
