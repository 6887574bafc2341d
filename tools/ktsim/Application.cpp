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
    : model_(std::make_shared<SampleModel>(std::move(setup), seed)), seed_(seed), storeDir_(std::move(storeDir))
{
}

void Application::loadSetup(Setup setup)
{
    model_ = std::make_shared<SampleModel>(std::move(setup), seed_);
    controls_.clear();
    state_ = AppState::Setup;
}

void Application::enterState(AppState state) { state_ = state; }

void Application::startAcquisition(Clock::time_point now, double startDays)
{
    state_ = AppState::Acquiring;
    ++acquisitionNumber_;
    start_ = now;
    frozenElapsed_ = 0.0;
    startDays_ = startDays;
}

void Application::stopAcquisition(Clock::time_point now)
{
    if (state_ != AppState::Acquiring)
        return;
    stopStore(now);
    frozenElapsed_ = elapsed(now);
    state_ = AppState::Stopped;
}

double Application::elapsed(Clock::time_point now) const
{
    if (state_ != AppState::Acquiring)
        return frozenElapsed_;
    return std::chrono::duration<double>(now - start_).count();
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
    if (path[0] != '/' && !storeDir_.empty() && storeDir_ != ".")
        path = storeDir_ + "/" + path;
    store_ = std::make_unique<Store>(path, model_, startDays_);
    pumpStore(now);
    return path;
}

void Application::stopStore(Clock::time_point now)
{
    if (!store_)
        return;
    pumpStore(now);
    store_.reset();
}

void Application::pumpStore(Clock::time_point now)
{
    if (store_)
        store_->write(elapsed(now), controls_);
}

} // namespace ktsim
