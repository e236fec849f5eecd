#include "Profile.h"

#include <boost/filesystem.hpp>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace bench {

namespace {

constexpr long long page = 4096;

// Runs argv, its output into work/name; the output, or empty when it failed.
std::string outputOf(const std::vector<std::string>& argv, const fs::path& work, const std::string& name)
{
    Child child(argv, work / name);
    const Usage u = child.wait(std::chrono::seconds(300));
    return u.status == 0 ? u.output : std::string();
}

} // namespace

bool countWrites(const std::vector<std::string>& argv, const fs::path& file, const fs::path& work, FileWrites& found)
{
    const fs::path strace = findProgram("strace");
    if (strace.empty())
        return false;
    // -y names each descriptor's file; the writes to file are sequential, so
    // each one starts where the ones before it ended (pwrite says where).
    const fs::path log = work / "strace.txt";
    std::vector<std::string> traced{
        strace.string(), "-f", "-y",         "-qq", "-e", "trace=write,writev,pwrite64", "-e",
        "signal=none",   "-o", log.string(), "--"};
    traced.insert(traced.end(), argv.begin(), argv.end());
    run(traced, work / "traced.txt", std::chrono::seconds(600));
    const std::regex call("^(?:\\d+ +)?(write|writev|pwrite64)\\(\\d+<"
                          + std::regex_replace(file.string(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)")
                          + ">, .*?(?:, (\\d+))?\\) += (\\d+)$");
    std::ifstream lines(log.string());
    long long offset = 0;
    bool lastUnaligned = false;
    found = FileWrites();
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, call))
            continue;
        const long long at = m[1] == "pwrite64" ? std::stoll(m[2]) : offset;
        const long long written = std::stoll(m[3]);
        lastUnaligned = at % page != 0;
        found.unalignedBeforeLast += lastUnaligned ? 1 : 0;
        ++found.calls;
        found.bytes += written;
        offset = at + written;
    }
    found.unalignedBeforeLast -= lastUnaligned ? 1 : 0;
    fs::remove(log);
    return true;
}

bool profileCpu(const std::vector<std::string>& argv, const fs::path& work, CpuShares& shares)
{
    const fs::path perf = findProgram("perf");
    if (perf.empty())
        return false;
    const fs::path data = work / "perf.data";
    std::vector<std::string> recorded{perf.string(), "record", "-q", "-e", "cpu-clock", "-o", data.string(), "--"};
    recorded.insert(recorded.end(), argv.begin(), argv.end());
    Child recording(recorded, work / "perf-record.txt");
    if (recording.wait(std::chrono::seconds(300)).status != 0)
        return false;
    const std::string report = outputOf({perf.string(), "report", "-i", data.string(), "--stdio", "--sort", "dso,sym"},
                                        work, "perf-report.txt");
    fs::remove(data);
    // "    10.13%  [kernel.kallsyms]  [k] copy_folio_from_iter_atomic"
    const std::regex sample(R"(^\s*([0-9.]+)%\s+(\S+)\s+\[(.)\]\s+(\S+))");
    std::istringstream lines(report);
    shares = CpuShares();
    bool any = false;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, sample))
            continue;
        any = true;
        const double percent = std::stod(m[1]);
        const std::string dso = m[2], symbol = m[4];
        if (m[3] == "k" && symbol.find("from_iter") != std::string::npos)
            shares.pageCacheCopy += percent;
        else if (m[3] == "k"
                 && (symbol.find("memset") != std::string::npos || symbol.find("clear_page") != std::string::npos))
            shares.zeroing += percent;
        else if (dso.find("libcrypto") != std::string::npos)
            shares.crypto += percent;
    }
    return any;
}

std::string negotiatedCipher(const fs::path& curl, const std::string& url, const fs::path& work)
{
    const std::string verbose = outputOf({curl.string(), "-skv", "-o", "/dev/null", url}, work, "curl-v.txt");
    // "* SSL connection using TLSv1.3 / TLS_AES_256_GCM_SHA384"
    std::smatch m;
    if (!std::regex_search(verbose, m, std::regex(R"(SSL connection using \S+ / (\S+))")))
        return {};
    const std::string name = m[1];
    const std::map<std::string, std::string> known = {{"AES_256_GCM", "aes-256-gcm"},
                                                      {"AES256-GCM", "aes-256-gcm"},
                                                      {"AES_128_GCM", "aes-128-gcm"},
                                                      {"AES128-GCM", "aes-128-gcm"},
                                                      {"CHACHA20", "chacha20-poly1305"}};
    for (const auto& [part, cipher] : known) {
        if (name.find(part) != std::string::npos)
            return cipher;
    }
    return {};
}

double cipherBytesPerSecond(const std::string& cipher, const fs::path& work)
{
    const fs::path openssl = findProgram("openssl");
    if (openssl.empty() || cipher.empty())
        return 0;
    const std::string text = outputOf(
        {openssl.string(), "speed", "-evp", cipher, "-decrypt", "-bytes", "16384", "-seconds", "2"}, work, "speed.txt");
    // "AES-256-GCM    3992502.27k": thousands of bytes per second.
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(R"(\n\S+\s+([0-9.]+)k\s*$)")))
        return 0;
    return std::stod(m[1]) * 1000;
}

} // namespace bench
