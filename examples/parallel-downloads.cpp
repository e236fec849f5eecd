// parallel-downloads: downloads several URLs at once into a directory, each
// into a file named after the last part of its URL's path, printing progress
// while they run and each file's result once all have ended. With --resume,
// a file already there is continued where it ends (status 206), or counts
// as done when it is complete (416).
//
//     parallel-downloads out https://127.0.0.1:8443/a.bin https://127.0.0.1:8443/b.bin
//     parallel-downloads --resume out https://127.0.0.1:8443/a.bin
#include "network/NetworkManager.h"
#include "network/NetworkReply.h"
#include "network/NetworkRequest.h"
#include "network/Url.h"

#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string describe(const std::error_code& ec)
{
    return std::string(ec.category().name()) + "@" + std::to_string(ec.value()) + " --->>> " + ec.message();
}

// What the callbacks share with main. They run on the manager's worker
// thread while main waits, so all of it, std::cout included, is used under
// the mutex. The callbacks hold it by shared_ptr: it lives as long as they do.
struct Downloads
{
    std::mutex mutex;
    std::condition_variable allEnded;
    std::size_t running = 0;
    std::vector<int> shownTenths;     // the last progress step printed, per file
    std::vector<std::string> results; // "status N" or the error, per file
    bool failed = false;
};

// The last part of url's path; throws the URL's std::error_code when
// libcurl refuses it.
std::string fileName(const tandrel::Url& url)
{
    const std::string path = url.path();
    const std::string name = path.substr(path.rfind('/') + 1);
    return name.empty() ? "index.html" : name;
}

int run(const std::shared_ptr<tandrel::NetworkManager>& manager, bool resume, const fs::path& directory,
        const std::vector<tandrel::Url>& urls)
{
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const auto& url : urls) {
        names.push_back(fileName(url));
        if (!taken.insert(names.back()).second) {
            std::cerr << "two URLs would both be saved as " << names.back() << std::endl;
            return 2;
        }
    }
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec) {
        std::cerr << "cannot create " << directory << ": " << describe(ec) << std::endl;
        return 1;
    }

    const auto state = std::make_shared<Downloads>();
    state->running = urls.size();
    state->shownTenths.assign(urls.size(), -1);
    state->results.resize(urls.size());
    const auto request = tandrel::NetworkRequest::create(manager);
    for (std::size_t i = 0; i < urls.size(); ++i) {
        const std::string name = names[i];
        // Called often with the same numbers: print only when another tenth
        // is reached, and keep it short, since every transfer waits meanwhile.
        const auto progress = [state, i, name](unsigned long long received, unsigned long long total) {
            const int tenths = static_cast<int>(received * 10 / total);
            std::lock_guard<std::mutex> lock(state->mutex);
            if (tenths == state->shownTenths[i])
                return;
            state->shownTenths[i] = tenths;
            std::cout << name << ": " << received << "/" << total << " bytes" << std::endl;
        };
        const auto done = [state, i](const std::error_code& result, std::shared_ptr<tandrel::NetworkReply> reply) {
            std::lock_guard<std::mutex> lock(state->mutex);
            // A finished transfer is not a successful one: check the status too.
            const int status = reply->statusCode();
            state->results[i] = result ? describe(result) : "status " + std::to_string(status);
            state->failed = state->failed || result || ((status < 200 || status > 299) && status != 416);
            if (--state->running == 0)
                state->allEnded.notify_all();
        };
        if (resume)
            request->resume(progress, done, urls[i], (directory / name).string());
        else
            request->download(progress, done, urls[i], (directory / name).string());
    }

    // Every transfer here ends with its completion callback: nothing aborts
    // them, and each fails after the time limit without data.
    std::unique_lock<std::mutex> lock(state->mutex);
    state->allEnded.wait(lock, [&state] { return state->running == 0; });
    for (std::size_t i = 0; i < urls.size(); ++i) {
        std::cout << names[i] << ": " << state->results[i];
        const auto size = fs::file_size(directory / names[i], ec);
        if (!ec)
            std::cout << ", " << size << " bytes";
        std::cout << std::endl;
    }
    return state->failed ? 1 : 0;
}

} // namespace

int main(int argc, char* argv[])
{
    const bool resume = argc > 1 && std::string(argv[1]) == "--resume";
    const int first = resume ? 2 : 1;
    if (argc < first + 2) {
        std::cerr << "usage: parallel-downloads [--resume] DIRECTORY URL..." << std::endl;
        return 2;
    }

    // A manager of its own: one worker thread runs all the transfers.
    const auto manager = tandrel::NetworkManager::create();
    int code = 1;
    try {
        code = run(manager, resume, argv[first], std::vector<tandrel::Url>(argv + first + 1, argv + argc));
    } catch (const std::error_code& ec) {
        // Url throws its errors as plain std::error_code, as the asynchronous
        // forms do with set-up failures.
        std::cerr << "error: " << describe(ec) << std::endl;
    }
    // Drops whatever still runs after an error; the callbacks hold only state
    // of their own, so nothing they touch is gone.
    manager->stop();
    return code;
}
