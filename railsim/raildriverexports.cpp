// The eight functions the simulator's RailDriver library exports, with its
// names, plain C linkage and argument types. Nothing else leaves this
// library (see raildriver.map).

#include "libraryfolder.h"
#include "locomotive.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

// GNU-style toolchains only (the build passes GNU linker options), MinGW
// included.
#ifdef _WIN32
#define RAILDRIVER_EXPORT extern "C" __attribute__((dllexport))
#else
#define RAILDRIVER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Beside the library; none when the library cannot find itself, rather
// than one in whatever the working folder happens to be.
std::filesystem::path descriptionFile()
{
    const std::filesystem::path folder = libraryFolder();
    return folder.empty() ? std::filesystem::path() : folder / "railsim.loco";
}

// Made at the first call and never destroyed: host threads may still call
// in while the process exits, after static destructors have run.
Locomotive& locomotive()
{
    static Locomotive* const instance = new Locomotive(descriptionFile());
    return *instance;
}

// The texts handed out stay the library's and stay valid for good: every
// distinct text is kept once and never freed, so a reload or another
// thread's call can never pull a text from under a caller still reading it.
// Only a new locomotive brings a new text, so the set stays small. (A
// per-thread buffer would do as well, but its storage lives in the loader's
// thread-local blocks, which are freed where thread checkers cannot see.)
const char* handOut(std::string text)
{
    static std::mutex mutex;
    static auto* const texts = new std::set<std::string>();
    std::lock_guard<std::mutex> lock(mutex);
    return texts->insert(std::move(text)).first->c_str();
}

// For benchmarks: with RAILSIM_CALL_COUNT naming a file, the number of
// calls made so far is written to it every 50 ms, so that a program can tell
// how often its server calls the library. Each count is written beside the
// file and renamed over it: a reader that caught the file truncated and not
// yet rewritten would take the count for 0.
std::atomic<unsigned long long> g_calls{0};

// For benchmarks and demonstrations: with RAILSIM_DRIVER naming a file,
// its lines "INDEX VALUE" are applied whenever its text changes, looked at
// every 5 ms, as the driver moving levers in the cab: changes that a program
// learns of only by reading.
void watchDriver(std::string path)
{
    std::thread([path = std::move(path)] {
        std::string applied;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::ifstream file(path);
            const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            if (text == applied)
                continue;
            applied = text;
            std::istringstream lines(text);
            int index = 0;
            float value = 0;
            while (lines >> index >> value)
                locomotive().setControllerValue(index, value);
        }
    }).detach();
}

void countCall()
{
    static const bool counting = [] {
        if (const char* driver = std::getenv("RAILSIM_DRIVER"); driver && *driver)
            watchDriver(driver);
        const char* file = std::getenv("RAILSIM_CALL_COUNT");
        if (!file || !*file)
            return false;
        std::thread([path = std::string(file)] {
            const std::string next = path + ".next";
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                std::ofstream(next, std::ios::trunc) << g_calls.load() << '\n';
                std::error_code ignored;
                std::filesystem::rename(next, path, ignored);
            }
        }).detach();
        return true;
    }();
    if (counting)
        ++g_calls;
}

} // namespace

// No exception may cross into the C caller; on one, the call does nothing
// and answers the neutral value.

RAILDRIVER_EXPORT void SetRailDriverConnected(bool connected)
{
    countCall();
    try {
        locomotive().setConnected(connected);
    } catch (...) {
    }
}

RAILDRIVER_EXPORT bool GetRailDriverConnected()
{
    countCall();
    try {
        return locomotive().connected();
    } catch (...) {
        return false;
    }
}

RAILDRIVER_EXPORT const char* GetLocoName()
{
    countCall();
    try {
        return handOut(locomotive().name());
    } catch (...) {
        return "";
    }
}

RAILDRIVER_EXPORT const char* GetControllerList()
{
    countCall();
    try {
        return handOut(locomotive().controllerList());
    } catch (...) {
        return "";
    }
}

RAILDRIVER_EXPORT float GetControllerValue(int index, int kind)
{
    countCall();
    try {
        return locomotive().controllerValue(index, kind);
    } catch (...) {
        return 0.0f;
    }
}

RAILDRIVER_EXPORT void SetControllerValue(int index, float value)
{
    countCall();
    try {
        locomotive().setControllerValue(index, value);
    } catch (...) {
    }
}

// Callers pass 0 as the second argument; no value here depends on it.
RAILDRIVER_EXPORT float GetRailSimValue(int id, int /*unused*/)
{
    countCall();
    try {
        return locomotive().simulatorValue(id);
    } catch (...) {
        return 0.0f;
    }
}

RAILDRIVER_EXPORT bool GetRailSimLocoChanged()
{
    countCall();
    try {
        return locomotive().takeLocoChanged();
    } catch (...) {
        return false;
    }
}
