// Measures the tandrel client against libcurl itself on this machine, side
// by side in one run, against an nginx of its own on 127.0.0.1 over HTTPS:
// a large download against the curl command line, a rate-limited download,
// an idle manager against the old polling loop, many concurrent small GETs
// and hand-over latency against a plain libcurl multi loop; and over plain
// HTTP, 1,000 to 10,000 slow transfers at once (20 s each) against two
// libcurl loops, one on curl_multi_socket_action and epoll, one on perform
// and poll, to see what a waiting transfer costs as their number grows.
// Prints Markdown tables (minimum / median of each side), the ratios of the
// client to its reference round by round, and each target's verdict on
// their median: the sides of a round run next to each other, so load from
// elsewhere on a shared machine weighs on all. The large download is judged
// on the ratio of the minimums too, and one instrumented download of each
// side shows its file writes, where its CPU goes and the floor (see
// Profile.h). The slow transfers need a descriptor each (the benchmark
// raises its soft limit to the hard one): a count that the hard limit, the
// local port range or nginx's configuration cannot take is skipped, with a
// note.
//
// Usage: client-benchmark [--quick]
//   about 12 minutes on 2 cores, 10 of them for the slow transfers
//   --quick  a 256 MiB large file, fewer rounds and 1,000 slow transfers
//            only, once: about 1.5 minutes, for a first look

#include "Harness.h"
#include "Profile.h"
#include "Roles.h"

#include <boost/filesystem.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace bench;
using namespace std::chrono_literals;

namespace {

struct Settings
{
    std::uintmax_t largeMiB = 1024;
    std::uintmax_t mediumMiB = 100;
    int downloadRuns = 7;
    std::uintmax_t slowMiB = 10;
    long slowRate = 1 << 20; // bytes per second: about 10 s for slowMiB
    int slowRounds = 3;
    int idleSeconds = 5;
    int manyCount = 1000;
    int manyRuns = 5;
    int latencyCount = 300;
    int latencyRuns = 2;
    // Many slow transfers at once: each of slowManyBytes at slowManyRate
    // bytes per second, about 20 s.
    std::vector<int> slowManyCounts = {1000, 4000, 10000};
    int slowManyRounds = 3;
    std::size_t slowManyBytes = 20000;
    long slowManyRate = 1000;
};

double minimum(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

double maximum(const std::vector<double>& v)
{
    return *std::max_element(v.begin(), v.end());
}

// The middle value; for an even count, the mean of the two middle ones.
double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The "key value" lines a role printed.
std::map<std::string, std::string> fields(const std::string& output)
{
    std::map<std::string, std::string> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const auto space = line.find(' ');
        if (space != std::string::npos)
            found[line.substr(0, space)] = line.substr(space + 1);
    }
    return found;
}

// A role's "error ..." line, or the end of its output.
std::string errorLine(const std::string& output)
{
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 6, "error ") == 0)
            return line.substr(6);
    }
    return output.size() > 200 ? "..." + output.substr(output.size() - 200) : output;
}

double field(const Usage& u, const std::string& key)
{
    const auto all = fields(u.output);
    const auto found = all.find(key);
    if (found == all.end())
        throw std::runtime_error("a role did not report " + key + ":\n" + u.output);
    return std::stod(found->second);
}

void writePattern(const fs::path& file, std::uintmax_t size)
{
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 7 + i / 251) % 256);
    std::ofstream out(file.string(), std::ios::binary);
    for (std::uintmax_t left = size; left > 0;) {
        checkInterrupted();
        const auto n = std::min<std::uintmax_t>(left, block.size());
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

// The 1-minute load average of the machine.
std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string oneMinute;
    in >> oneMinute;
    return oneMinute.empty() ? "unknown" : oneMinute;
}

// "-" for NaN: a figure not measured.
std::string format(const char* pattern, double a)
{
    if (std::isnan(a))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, pattern, a);
    return text;
}

std::string pair(const char* pattern, double a, double b)
{
    return format(pattern, a) + " / " + format(pattern, b);
}

// a[i] / b[i] for each round i: the two sides of one round ran back to back
// (or side by side), so load from elsewhere on the machine weighs on both.
// A round that either side lost (NaN) is left out.
std::vector<double> perRound(const std::vector<double>& a, const std::vector<double>& b)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (!std::isnan(a[i]) && !std::isnan(b[i]))
            ratios.push_back(a[i] / b[i]);
    }
    return ratios;
}

// The values that are not NaN.
std::vector<double> measured(const std::vector<double>& v)
{
    std::vector<double> found;
    for (double x : v) {
        if (!std::isnan(x))
            found.push_back(x);
    }
    return found;
}

// As median() and minimum(), NaN when there is no value.
double medianOf(const std::vector<double>& v)
{
    const std::vector<double> m = measured(v);
    return m.empty() ? NAN : median(m);
}

double minimumOf(const std::vector<double>& v)
{
    const std::vector<double> m = measured(v);
    return m.empty() ? NAN : minimum(m);
}

// 10000 as "10,000".
std::string grouped(long long n)
{
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

// The local port range's size (net.ipv4.ip_local_port_range), 0 if unknown.
long localPorts()
{
    std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
    long low = 0, high = -1;
    in >> low >> high;
    return in ? high - low + 1 : 0;
}

std::string listed(const std::vector<double>& values)
{
    std::string text;
    for (double v : values)
        text += (text.empty() ? "" : ", ") + format("%.2f", v);
    return text;
}

class Suite
{
public:
    Suite(const Settings& settings, const fs::path& self, const fs::path& curl)
        : settings(settings)
        , self(self)
        , curl(curl)
    {
    }

    void run()
    {
        const fs::path www = temp.path() / "www";
        fs::create_directories(www / "slow");
        fs::create_directories(out());
        writePattern(www / "large.bin", settings.largeMiB << 20);
        writePattern(www / "medium.bin", settings.mediumMiB << 20);
        writePattern(www / "slow" / "slow.bin", settings.slowMiB << 20);
        writePattern(www / "small.bin", 1024);
        fs::create_directories(www / "many-slow");
        writePattern(www / "many-slow" / "small.bin", settings.slowManyBytes);
        nginx = std::make_unique<Nginx>(temp.path() / "nginx", www, settings.slowRate, settings.slowManyRate);

        std::printf("client-benchmark: %s over HTTPS on 127.0.0.1; %ld cores online; load average %s at the start. "
                    "Times are wall clock; CPU is user + system of the whole client process.\n\n",
                    nginx->version().c_str(), sysconf(_SC_NPROCESSORS_ONLN), loadAverage().c_str());
        std::fflush(stdout);
        largeDownloads();
        largeDownloadCpu();
        slowDownload();
        idle();
        manyTransfers();
        handOver();
        manySlowTransfers();
        verdicts();
        // Other work on the machine shows in the spread between min and median.
        std::printf("\nLoad average at the end: %s\n", loadAverage().c_str());
    }

private:
    struct Target
    {
        std::string name;
        std::string measured;
        bool met;
        // False for a target whose workload did not run.
        bool judged = true;
    };

    fs::path out() const { return temp.path() / "out"; }

    Usage role(const std::vector<std::string>& args, std::chrono::milliseconds limit = 180s)
    {
        std::vector<std::string> argv{self.string(), "--role"};
        argv.insert(argv.end(), args.begin(), args.end());
        return bench::run(argv, out() / ("role-" + std::to_string(++children) + ".txt"), limit);
    }

    // The client's blocking download (a role) or the curl command line, of url into file.
    std::vector<std::string> downloadCommand(bool tandrel, const std::string& url, const fs::path& file) const
    {
        if (tandrel)
            return {self.string(), "--role", "download", url, file.string()};
        return {curl.string(), "-sk", "-o", file.string(), url};
    }

    // One download of name into a fresh file, by the client or by curl; checks the size.
    Usage download(bool tandrel, const std::string& name, std::uintmax_t size)
    {
        const fs::path target = out() / (tandrel ? "tandrel.bin" : "curl.bin");
        fs::remove(target);
        const Usage u = bench::run(downloadCommand(tandrel, nginx->url("/" + name), target),
                                   out() / (tandrel ? "tandrel.txt" : "curl.txt"), 180s);
        const std::uintmax_t got = fs::file_size(target);
        fs::remove(target);
        if (got != size)
            throw std::runtime_error(name + ": " + std::to_string(got) + " bytes written instead of "
                                     + std::to_string(size));
        return u;
    }

    struct Runs
    {
        std::vector<double> wall, cpu, rss;
        void add(const Usage& u)
        {
            wall.push_back(u.wallSeconds);
            cpu.push_back(u.cpuSeconds);
            rss.push_back(u.peakRssMiB);
        }
    };

    void largeDownloads()
    {
        std::printf("### 1. Large download: %d alternating runs each, min / median\n\n", settings.downloadRuns);
        std::printf("| file | client | wall s | MiB/s | CPU s | peak RSS MiB |\n|---|---|---|---|---|---|\n");
        std::map<std::uintmax_t, Runs> tandrelRuns, curlRuns;
        for (const std::uintmax_t mib : {settings.mediumMiB, settings.largeMiB}) {
            const std::string name = mib == settings.largeMiB ? "large.bin" : "medium.bin";
            for (int r = 0; r < settings.downloadRuns; ++r) {
                // Alternates which goes first, so neither always follows the other.
                for (int turn = 0; turn < 2; ++turn) {
                    const bool tandrel = (r + turn) % 2 == 0;
                    (tandrel ? tandrelRuns : curlRuns)[mib].add(download(tandrel, name, mib << 20));
                }
            }
            for (const bool tandrel : {true, false}) {
                const Runs& runs = (tandrel ? tandrelRuns : curlRuns)[mib];
                std::printf("| %ju MiB | %s | %s | %s | %s | %s |\n", mib,
                            tandrel ? "tandrel blocking `download`" : "`curl -sk -o` (reference)",
                            pair("%.3f", minimum(runs.wall), median(runs.wall)).c_str(),
                            pair("%.0f", mib / minimum(runs.wall), mib / median(runs.wall)).c_str(),
                            pair("%.3f", minimum(runs.cpu), median(runs.cpu)).c_str(),
                            pair("%.1f", minimum(runs.rss), median(runs.rss)).c_str());
            }
            std::fflush(stdout);
        }
        const Runs& t = tandrelRuns[settings.largeMiB];
        const Runs& c = curlRuns[settings.largeMiB];
        const std::vector<double> throughputs = perRound(c.wall, t.wall);
        const std::vector<double> cpus = perRound(t.cpu, c.cpu);
        // The median of the round ratios weighs both sides of a round alike;
        // the ratio of the minimums compares each side at its steadiest.
        const double throughput = median(throughputs);
        const double throughputOfMinimums = minimum(c.wall) / minimum(t.wall);
        const double cpu = median(cpus);
        const double cpuOfMinimums = minimum(t.cpu) / minimum(c.cpu);
        const double rssGrowth = maximum(t.rss) - maximum(tandrelRuns[settings.mediumMiB].rss);
        std::printf("\nRatios tandrel / curl at %ju MiB, round by round: throughput %s; CPU %s. "
                    "Median of the round ratios / ratio of the minimums: throughput %.3f / %.3f, CPU %.3f / %.3f. "
                    "Peak RSS of tandrel: %.1f MiB at %ju MiB, %.1f MiB at %ju MiB.\n\n",
                    settings.largeMiB, listed(throughputs).c_str(), listed(cpus).c_str(), throughput,
                    throughputOfMinimums, cpu, cpuOfMinimums, maximum(tandrelRuns[settings.mediumMiB].rss),
                    settings.mediumMiB, maximum(t.rss), settings.largeMiB);
        targets.push_back({"Large download throughput >= 1.00 x curl", pair("%.3f", throughput, throughputOfMinimums),
                           throughput >= 1.0 && throughputOfMinimums >= 1.0});
        targets.push_back({"Large download CPU <= 1.00 x curl", pair("%.3f", cpu, cpuOfMinimums),
                           cpu <= 1.0 && cpuOfMinimums <= 1.0});
        largeCpu = {median(t.cpu), median(c.cpu)};
        // "Flat": no more than a page-cache-independent 1 MiB of growth.
        targets.push_back({"Large download RSS flat (" + std::to_string(settings.mediumMiB) + " MiB vs "
                               + std::to_string(settings.largeMiB) + " MiB)",
                           format("%+.1f MiB", rssGrowth), rssGrowth <= 1.0});
        std::fflush(stdout);
    }

    // Where the large download's CPU goes, for one download of each side:
    // its file writes, the kernel's share for the page-cache copy and for
    // zeroing, and the floor of decryption plus one copy into the page cache.
    void largeDownloadCpu()
    {
        const std::uintmax_t mib = settings.largeMiB;
        const std::string url = nginx->url("/large.bin");
        std::printf("### 1b. Where the CPU of the %ju MiB download goes, one instrumented download each\n\n", mib);
        std::printf("| client | file writes | writes not at a 4 KiB boundary (but the last) | page-cache copy %% "
                    "| kernel zeroing %% | TLS library %% |\n|---|---|---|---|---|---|\n");
        bool aligned = true;
        bool counted = false;
        bool profiled = false;
        for (const bool tandrel : {true, false}) {
            const fs::path target = out() / "instrumented.bin";
            const std::vector<std::string> command = downloadCommand(tandrel, url, target);
            FileWrites writes;
            counted = countWrites(command, target, out(), writes);
            fs::remove(target);
            CpuShares shares;
            profiled = profileCpu(command, out(), shares);
            fs::remove(target);
            if (tandrel)
                aligned = writes.unalignedBeforeLast == 0;
            std::printf("| %s | %s | %s | %s | %s | %s |\n",
                        tandrel ? "tandrel blocking `download`" : "`curl -sk -o` (reference)",
                        counted ? std::to_string(writes.calls).c_str() : "-",
                        counted ? std::to_string(writes.unalignedBeforeLast).c_str() : "-",
                        profiled ? format("%.1f", shares.pageCacheCopy).c_str() : "-",
                        profiled ? format("%.1f", shares.zeroing).c_str() : "-",
                        profiled ? format("%.1f", shares.crypto).c_str() : "-");
        }
        if (!counted)
            std::printf("\n(strace is not installed: no write counts)\n");
        if (!profiled)
            std::printf("\n(perf is missing or may not sample here: no CPU shares)\n");
        if (counted)
            targets.push_back({"Every write of the large download but the last at a 4 KiB boundary",
                               aligned ? "yes" : "no", aligned});

        // The floor: decrypting the body, and writing it once into the page cache.
        const std::string cipher = negotiatedCipher(curl, url, out());
        const double decrypt = cipherBytesPerSecond(cipher, out());
        const fs::path copy = out() / "page-cache.bin";
        const Usage written = role({"write-file", copy.string(), std::to_string(mib)});
        fs::remove(copy);
        const double bytes = static_cast<double>(mib << 20);
        if (decrypt > 0) {
            const double floor = bytes / decrypt + written.cpuSeconds;
            std::printf("\nFloor: %s decryption at %.0f MiB/s (openssl speed, 16 KiB records) %.3f s + one copy into "
                        "the page cache (%ju MiB in aligned 64 KiB writes) %.3f s = %.3f s of CPU. Above it (median "
                        "CPU): tandrel %.3f s (%.0f %%), curl %.3f s (%.0f %%).\n\n",
                        cipher.c_str(), decrypt / (1 << 20), bytes / decrypt, mib, written.cpuSeconds, floor,
                        largeCpu[0] - floor, 100 * (largeCpu[0] - floor) / largeCpu[0], largeCpu[1] - floor,
                        100 * (largeCpu[1] - floor) / largeCpu[1]);
        } else {
            std::printf("\n(the cipher or openssl speed is unknown: no floor; one copy into the page cache costs "
                        "%.3f s)\n\n",
                        written.cpuSeconds);
        }
        std::fflush(stdout);
    }

    void slowDownload()
    {
        const double expected = static_cast<double>(settings.slowMiB << 20) / settings.slowRate;
        std::printf("### 2. Slow download: %ju MiB at %ld KiB/s (about %.0f s), with and without a length; "
                    "the four transfers side by side, %d rounds, min / median\n\n",
                    settings.slowMiB, settings.slowRate >> 10, expected, settings.slowRounds);
        // [chunked][tandrel]
        Runs runs[2][2];
        const auto limit = std::chrono::milliseconds(static_cast<long long>(expected * 1000 * 3 + 30000));
        const auto name = [](int chunked, int tandrel) {
            return std::string("slow-") + (chunked ? "chunked-" : "") + (tandrel ? "tandrel" : "curl");
        };
        for (int r = 0; r < settings.slowRounds; ++r) {
            // All at once: the rate limit, not the CPU, sets the pace.
            std::vector<std::unique_ptr<Child>> children;
            for (int chunked = 0; chunked < 2; ++chunked) {
                const std::string url = nginx->url(chunked ? "/slow-chunked/slow.bin" : "/slow/slow.bin");
                for (int tandrel = 0; tandrel < 2; ++tandrel) {
                    const fs::path file = out() / (name(chunked, tandrel) + ".bin");
                    children.push_back(std::make_unique<Child>(downloadCommand(tandrel, url, file),
                                                               out() / (name(chunked, tandrel) + ".txt")));
                }
            }
            for (int chunked = 0; chunked < 2; ++chunked) {
                for (int tandrel = 0; tandrel < 2; ++tandrel) {
                    const Usage u = children[chunked * 2 + tandrel]->wait(limit);
                    const fs::path file = out() / (name(chunked, tandrel) + ".bin");
                    if (u.status != 0 || fs::file_size(file) != settings.slowMiB << 20)
                        throw std::runtime_error(name(chunked, tandrel) + " failed: " + u.output);
                    fs::remove(file);
                    runs[chunked][tandrel].add(u);
                }
            }
        }
        std::printf("| response | client | wall s | CPU ms | peak RSS MiB |\n|---|---|---|---|---|\n");
        for (int chunked = 0; chunked < 2; ++chunked) {
            for (int tandrel = 1; tandrel >= 0; --tandrel) {
                const Runs& r = runs[chunked][tandrel];
                std::vector<double> ms;
                for (double s : r.cpu)
                    ms.push_back(s * 1000);
                std::printf("| %s | %s | %s | %s | %s |\n", chunked ? "chunked, no length" : "with length",
                            tandrel ? "tandrel blocking `download`" : "`curl -sk -o` (reference)",
                            pair("%.2f", minimum(r.wall), median(r.wall)).c_str(),
                            pair("%.0f", minimum(ms), median(ms)).c_str(),
                            pair("%.1f", minimum(r.rss), median(r.rss)).c_str());
            }
        }
        const std::vector<double> ratios = perRound(runs[0][1].cpu, runs[0][0].cpu);
        const std::vector<double> chunkedRatios = perRound(runs[1][1].cpu, runs[1][0].cpu);
        const double ratio = median(ratios);
        const double chunkedRatio = median(chunkedRatios);
        std::printf("\nCPU ratios tandrel / curl, round by round: with length %s; chunked %s\n\n",
                    listed(ratios).c_str(), listed(chunkedRatios).c_str());
        targets.push_back({"Slow download CPU <= 1.5 x curl (with length)", format("%.2f", ratio), ratio <= 1.5});
        targets.push_back(
            {"Slow download CPU <= 1.5 x curl (chunked)", format("%.2f", chunkedRatio), chunkedRatio <= 1.5});
        std::fflush(stdout);
    }

    void idle()
    {
        std::printf("### 3. Idle: a process whose manager served one GET, then idles for %d s\n\n",
                    settings.idleSeconds);
        Child a({self.string(), "--role", "idle", nginx->url("/small.bin"), std::to_string(settings.idleSeconds)},
                out() / "idle.txt");
        Child b({self.string(), "--role", "old-loop-idle", std::to_string(settings.idleSeconds)},
                out() / "old-loop.txt");
        const auto limit = std::chrono::seconds(settings.idleSeconds + 60);
        const Usage ua = a.wait(limit);
        const Usage ub = b.wait(limit);
        if (ua.status != 0 || ub.status != 0)
            throw std::runtime_error("idle roles failed: " + ua.output + ub.output);
        std::printf("| process | CPU %% of a core | context switches/s |\n|---|---|---|\n");
        std::printf("| tandrel manager (`epoll_wait`, woken by an eventfd) | %.3f | %.1f |\n", field(ua, "cpu_percent"),
                    field(ua, "switches_per_second"));
        std::printf("| reference: `curl_multi_perform` + 100 us condition wait, the loop it replaced "
                    "| %.3f | %.1f |\n\n",
                    field(ub, "cpu_percent"), field(ub, "switches_per_second"));
        const double cpu = field(ua, "cpu_percent");
        targets.push_back({"Idle CPU <= 0.5 % of a core", format("%.3f %%", cpu), cpu <= 0.5});
        std::fflush(stdout);
    }

    // Medians of the round ratios tandrel / raw loop.
    struct ManyRatios
    {
        double rate;
        double issue;
    };

    // The section's rows for url: the client against the raw loop, both at
    // most perHost connections to the server (0: no cap), with the
    // connections nginx saw.
    ManyRatios manyTransfers(const std::string& url, long perHost)
    {
        std::vector<double> rate[2], cpu[2], issue[2], connections[2];
        for (int r = 0; r < settings.manyRuns; ++r) {
            for (int turn = 0; turn < 2; ++turn) {
                const int which = (r + turn) % 2; // 0: tandrel, 1: raw loop
                const std::uintmax_t mark = nginx->logMark();
                std::vector<std::string> args{which == 0 ? "many" : "raw-many", url,
                                              std::to_string(settings.manyCount)};
                if (perHost > 0)
                    args.push_back(std::to_string(perHost));
                const Usage u = role(args);
                rate[which].push_back(field(u, "completions_per_second"));
                issue[which].push_back(field(u, "issue_seconds") * 1000);
                cpu[which].push_back(u.cpuSeconds);
                connections[which].push_back(static_cast<double>(nginx->connectionsSince(mark)));
            }
        }
        std::printf("| client | completions/s (max / median) | CPU s | ms to start all | connections (median) "
                    "|\n|---|---|---|---|---|\n");
        const char* names[2] = {"tandrel: asynchronous `get` on one manager",
                                "reference: plain libcurl multi loop (perform + poll)"};
        for (int i = 0; i < 2; ++i)
            std::printf("| %s | %s | %s | %s | %.0f |\n", names[i],
                        pair("%.0f", maximum(rate[i]), median(rate[i])).c_str(),
                        pair("%.3f", minimum(cpu[i]), median(cpu[i])).c_str(),
                        pair("%.1f", minimum(issue[i]), median(issue[i])).c_str(), median(connections[i]));
        const std::vector<double> ratios = perRound(rate[0], rate[1]);
        const std::vector<double> issueRatios = perRound(issue[0], issue[1]);
        std::printf("\nRatios tandrel / raw loop, round by round: completion rate %s; CPU %s; time to start all %s\n\n",
                    listed(ratios).c_str(), listed(perRound(cpu[0], cpu[1])).c_str(), listed(issueRatios).c_str());
        std::fflush(stdout);
        return {median(ratios), median(issueRatios)};
    }

    void manyTransfers()
    {
        std::printf("### 4. Many transfers: %d small GETs (1 KiB) started together on one multi handle, %d "
                    "alternating runs each\n\n",
                    settings.manyCount, settings.manyRuns);
        // With keep-alive, transfers started a little later could take over
        // connections of finished ones, and the side that starts them more
        // gradually would do fewer TLS handshakes: not the same work.
        std::printf("HTTP/1.1, each on a connection of its own (the server closes it after the response):\n\n");
        const std::string all = grouped(settings.manyCount);
        const ManyRatios h1 = manyTransfers(nginx->url("/once/small.bin"), 0);
        targets.push_back({"Many transfers >= 0.95 x raw multi loop", format("%.3f", h1.rate), h1.rate >= 0.95});
        targets.push_back({"Many transfers: time to start all " + all + " GETs <= 1.5 x the raw loop's",
                           format("%.3f", h1.issue), h1.issue <= 1.5});
        std::printf("HTTP/2, at most one connection to the server (`perHost` 1; the raw loop's "
                    "`CURLMOPT_MAX_HOST_CONNECTIONS` 1), the transfers as its streams:\n\n");
        const ManyRatios h2 = manyTransfers(nginx->h2Url("/small.bin"), 1);
        targets.push_back(
            {"Many transfers over HTTP/2 >= 0.95 x raw multi loop", format("%.3f", h2.rate), h2.rate >= 0.95});
        targets.push_back({"Many transfers over HTTP/2: time to start all " + all + " GETs <= 1.5 x the raw loop's",
                           format("%.3f", h2.issue), h2.issue <= 1.5});
    }

    void handOver()
    {
        std::printf("### 5. Hand-over latency: %d small GETs one after another, %d alternating runs each\n\n",
                    settings.latencyCount, settings.latencyRuns);
        std::vector<double> keys[2][4];
        const char* names[4] = {"first_out_median_us", "first_out_p90_us", "last_in_median_us", "last_in_p90_us"};
        const std::string url = nginx->url("/small.bin");
        for (int r = 0; r < settings.latencyRuns; ++r) {
            for (int turn = 0; turn < 2; ++turn) {
                const int which = (r + turn) % 2;
                const Usage u = bench::run({(self.parent_path() / "hand-over-latency").string(),
                                            which == 0 ? "tandrel" : "raw", url, std::to_string(settings.latencyCount)},
                                           out() / "hand-over.txt", 120s);
                for (int k = 0; k < 4; ++k)
                    keys[which][k].push_back(field(u, names[k]));
            }
        }
        std::printf("| client | call to first byte out, us: median / p90 "
                    "| last byte in to completion, us: median / p90 |\n|---|---|---|\n");
        const char* clients[2] = {"tandrel: `get`, completion callback on the worker",
                                  "reference: plain libcurl multi loop on the calling thread"};
        for (int i = 0; i < 2; ++i)
            std::printf("| %s | %s | %s |\n", clients[i], pair("%.0f", median(keys[i][0]), median(keys[i][1])).c_str(),
                        pair("%.0f", median(keys[i][2]), median(keys[i][3])).c_str());
        const std::vector<double> ratios = perRound(keys[0][0], keys[1][0]);
        std::printf("\n(median over runs of each run's figure; the reference shows what the hand-over between threads "
                    "adds.) Ratios tandrel / raw loop of the median call to first byte out, round by round: %s\n\n",
                    listed(ratios).c_str());
        const double ratio = median(ratios);
        targets.push_back({"Hand-over latency, call to first byte out: median <= 2 x the raw loop's",
                           format("%.2f", ratio), ratio <= 2.0});
        std::fflush(stdout);
    }

    // One side of the many slow transfers at one count, round by round; NaN
    // for a round whose role failed.
    struct SlowRuns
    {
        std::vector<double> cpu, cpuPer, rss, rssPer, wall;
        int failed = 0;
        void lost()
        {
            for (auto* v : {&cpu, &cpuPer, &rss, &rssPer, &wall})
                v->push_back(NAN);
        }
    };

    // Why count slow transfers at once cannot run here, or empty.
    std::string slowSkipReason(int count) const
    {
        const long needed = count + 64;
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < static_cast<rlim_t>(needed))
            return "the descriptor limit is " + std::to_string(files.rlim_cur) + " (hard "
                   + std::to_string(files.rlim_max) + "), below the " + std::to_string(needed) + " that "
                   + grouped(count) + " connections need";
        if (needed > Nginx::maxConnections)
            return "nginx is set up for at most " + grouped(Nginx::maxConnections) + " connections";
        const long ports = localPorts();
        if (ports > 0 && ports < needed)
            return "only " + grouped(ports) + " local ports (net.ipv4.ip_local_port_range) for " + grouped(count)
                   + " connections";
        return {};
    }

    void manySlowTransfers()
    {
        const std::vector<int>& counts = settings.slowManyCounts;
        const double expected = static_cast<double>(settings.slowManyBytes) / settings.slowManyRate;
        std::printf("### 6. Many slow transfers: N GETs of %s bytes at once, each sent at %s bytes/s (about %.0f s), "
                    "plain HTTP, no connection cap, %d rounds per N with the three sides in turn\n\n",
                    grouped(static_cast<long long>(settings.slowManyBytes)).c_str(),
                    grouped(settings.slowManyRate).c_str(), expected, settings.slowManyRounds);
        std::printf(
            "CPU and peak RSS of the whole process (wait4); per transfer: above what the process had used before "
            "its first transfer, divided by N. All sides use the client's easy options for a get.\n\n");
        const char* roles[3] = {"many-slow", "raw-slow-epoll", "raw-slow-poll"};
        const char* names[3] = {"tandrel: asynchronous `get` on one manager",
                                "reference: `curl_multi_socket_action` + epoll loop",
                                "reference: `curl_multi_perform` + `curl_multi_poll` loop"};
        const char* shortNames[3] = {"tandrel", "the epoll loop", "the poll loop"};
        const std::string url = nginx->plainUrl("/many-slow/small.bin");
        // [count index][side]
        std::vector<std::array<SlowRuns, 3>> runs(counts.size());
        std::vector<bool> ran(counts.size(), false);
        // The roles' own limit is 120 s.
        const auto limit = std::chrono::seconds(180);
        for (std::size_t c = 0; c < counts.size(); ++c) {
            const int n = counts[c];
            const std::string skip = slowSkipReason(n);
            if (!skip.empty()) {
                std::printf("N = %s: skipped, %s.\n\n", grouped(n).c_str(), skip.c_str());
                std::fflush(stdout);
                continue;
            }
            ran[c] = true;
            std::vector<std::string> problems;
            for (int r = 0; r < settings.slowManyRounds; ++r) {
                for (int turn = 0; turn < 3; ++turn) {
                    const int side = (r + turn) % 3;
                    SlowRuns& mine = runs[c][side];
                    std::string problem;
                    Usage u;
                    try {
                        Child child({self.string(), "--role", roles[side], url, std::to_string(n),
                                     std::to_string(settings.slowManyBytes)},
                                    out() / "many-slow.txt");
                        u = child.wait(limit);
                        if (u.status != 0)
                            problem = "exited with status " + std::to_string(u.status) + ": " + errorLine(u.output);
                    } catch (const std::runtime_error& e) {
                        checkInterrupted();
                        problem = e.what();
                    }
                    if (!problem.empty()) {
                        problems.push_back("round " + std::to_string(r + 1) + ", " + shortNames[side] + " " + problem);
                        mine.lost();
                        continue;
                    }
                    mine.cpu.push_back(u.cpuSeconds);
                    mine.cpuPer.push_back((u.cpuSeconds - field(u, "base_cpu_seconds")) / n * 1e6);
                    mine.rss.push_back(u.peakRssMiB);
                    mine.rssPer.push_back((u.peakRssMiB * 1024 - field(u, "base_rss_kib")) / n);
                    mine.wall.push_back(field(u, "seconds"));
                    const int failed = static_cast<int>(field(u, "failed"));
                    mine.failed += failed;
                    if (failed > 0)
                        problems.push_back("round " + std::to_string(r + 1) + ", " + shortNames[side] + ": "
                                           + std::to_string(failed) + " transfers failed, the first with "
                                           + fields(u.output)["first_failure"]);
                }
            }
            std::printf("N = %s:\n\n| client | CPU s (min / median) | CPU per transfer, us (median) "
                        "| peak RSS MiB (min / median) | RSS per transfer, KiB (median) | s to the last completion "
                        "(median) | failed transfers, all rounds |\n|---|---|---|---|---|---|---|\n",
                        grouped(n).c_str());
            for (int side = 0; side < 3; ++side) {
                const SlowRuns& m = runs[c][side];
                std::printf(
                    "| %s | %s | %s | %s | %s | %s | %d |\n", names[side],
                    pair("%.3f", minimumOf(m.cpu), medianOf(m.cpu)).c_str(), format("%.1f", medianOf(m.cpuPer)).c_str(),
                    pair("%.1f", minimumOf(m.rss), medianOf(m.rss)).c_str(), format("%.2f", medianOf(m.rssPer)).c_str(),
                    format("%.2f", medianOf(m.wall)).c_str(), m.failed);
            }
            const SlowRuns& t = runs[c][0];
            std::printf("\nRatios round by round at N = %s: CPU tandrel / epoll loop %s, tandrel / poll loop %s; "
                        "RSS per transfer tandrel / epoll loop %s, tandrel / poll loop %s\n\n",
                        grouped(n).c_str(), listed(perRound(t.cpu, runs[c][1].cpu)).c_str(),
                        listed(perRound(t.cpu, runs[c][2].cpu)).c_str(),
                        listed(perRound(t.rssPer, runs[c][1].rssPer)).c_str(),
                        listed(perRound(t.rssPer, runs[c][2].rssPer)).c_str());
            for (const std::string& p : problems)
                std::printf("- %s\n", p.c_str());
            if (!problems.empty())
                std::printf("\n");
            std::fflush(stdout);
        }

        // How the cost of one transfer grows from the fewest to the most.
        const std::size_t few = 0, most = counts.size() - 1;
        const bool growth = counts.size() > 1 && ran[few] && ran[most];
        const std::string span = grouped(counts[few]) + " -> " + grouped(counts[most]);
        // The target's name keeps the full run's counts when --quick has one.
        const std::vector<int>& full = Settings().slowManyCounts;
        const std::string fullSpan = grouped(full.front()) + " -> " + grouped(full.back());
        if (growth) {
            std::printf("Growth per transfer, N = %s (median at %s / median at %s):\n\n"
                        "| client | CPU per transfer, us | RSS per transfer, KiB |\n|---|---|---|\n",
                        span.c_str(), grouped(counts[most]).c_str(), grouped(counts[few]).c_str());
            for (int side = 0; side < 3; ++side) {
                const SlowRuns& a = runs[few][side];
                const SlowRuns& b = runs[most][side];
                std::printf("| %s | %.1f -> %.1f (%.2f x) | %.2f -> %.2f (%.2f x) |\n", names[side], medianOf(a.cpuPer),
                            medianOf(b.cpuPer), medianOf(b.cpuPer) / medianOf(a.cpuPer), medianOf(a.rssPer),
                            medianOf(b.rssPer), medianOf(b.rssPer) / medianOf(a.rssPer));
            }
            std::printf("\n");
        }

        const auto notRun = [&](const std::string& name, const std::string& why) {
            targets.push_back({name, why, false, false});
        };
        const auto countName = [&](std::size_t c) { return " (N = " + grouped(counts[c]) + ")"; };
        // One row per N: the client's CPU against that of the side `reference`.
        const auto cpuTargets = [&](const std::string& label, std::size_t reference, double bound) {
            for (std::size_t c = 0; c < counts.size(); ++c) {
                const std::string name = "Many slow transfers CPU <= " + label + countName(c);
                const double ratio = medianOf(perRound(runs[c][0].cpu, runs[c][reference].cpu));
                if (!ran[c] || std::isnan(ratio))
                    notRun(name, ran[c] ? "no round" : "skipped");
                else
                    targets.push_back({name, format("%.3f", ratio), ratio <= bound});
            }
        };
        cpuTargets("1.10 x socket-action + epoll loop", 1, 1.10);
        cpuTargets("1.00 x poll loop", 2, 1.00);
        {
            const std::string name = "Many slow transfers CPU per transfer grows " + fullSpan
                                     + " no faster than the epoll loop's";
            // Round by round: (tandrel's growth) / (the epoll loop's growth).
            const std::vector<double> ratios = growth ? perRound(perRound(runs[most][0].cpuPer, runs[few][0].cpuPer),
                                                                 perRound(runs[most][1].cpuPer, runs[few][1].cpuPer))
                                                      : std::vector<double>();
            if (ratios.empty()) {
                notRun(name, counts.size() > 1 ? "not both counts measured" : "one N only");
            } else {
                const double t = medianOf(runs[most][0].cpuPer) / medianOf(runs[few][0].cpuPer);
                const double e = medianOf(runs[most][1].cpuPer) / medianOf(runs[few][1].cpuPer);
                const double ratio = median(ratios);
                targets.push_back(
                    {name,
                     format("%.2f x", t) + " vs " + format("%.2f x", e) + "; round ratio " + format("%.3f", ratio),
                     ratio <= 1.0});
            }
        }
        for (std::size_t c = 0; c < counts.size(); ++c) {
            const std::string name = "Many slow transfers RSS per transfer <= 1.2 x the raw loops'" + countName(c);
            const double epoll = medianOf(perRound(runs[c][0].rssPer, runs[c][1].rssPer));
            const double poll = medianOf(perRound(runs[c][0].rssPer, runs[c][2].rssPer));
            if (!ran[c] || std::isnan(epoll) || std::isnan(poll))
                notRun(name, ran[c] ? "no round" : "skipped");
            else
                targets.push_back({name, pair("%.3f", epoll, poll), epoll <= 1.2 && poll <= 1.2});
        }
        std::fflush(stdout);
    }

    void verdicts()
    {
        std::printf("### Targets (median of the round-by-round ratios; for the large download also the ratio of "
                    "the minimums, both must meet it)\n\n"
                    "| target | measured | |\n|---|---|---|\n");
        for (const Target& t : targets)
            std::printf("| %s | %s | %s |\n", t.name.c_str(), t.measured.c_str(),
                        !t.judged ? "not run"
                        : t.met   ? "met"
                                  : "MISSED");
        std::fflush(stdout);
    }

    Settings settings;
    fs::path self;
    fs::path curl;
    TempDir temp;
    std::unique_ptr<Nginx> nginx;
    std::vector<Target> targets;
    // Median CPU seconds of the large download: tandrel, curl.
    std::vector<double> largeCpu;
    int children = 0;
};

fs::path ownPath()
{
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        throw std::runtime_error("cannot read /proc/self/exe");
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::string(argv[1]) == "--role")
        return runRole(std::vector<std::string>(argv + 2, argv + argc));
    try {
        Settings settings;
        if (argc == 2 && std::string(argv[1]) == "--quick") {
            settings.largeMiB = 256;
            settings.downloadRuns = 3;
            settings.slowMiB = 3;
            settings.slowRounds = 1;
            settings.idleSeconds = 2;
            settings.manyRuns = 1;
            settings.latencyCount = 100;
            settings.latencyRuns = 1;
            settings.slowManyCounts = {1000};
            settings.slowManyRounds = 1;
        } else if (argc != 1) {
            std::cerr << "usage: client-benchmark [--quick]\n";
            return 2;
        }
        const fs::path curl = findProgram("curl");
        if (curl.empty())
            throw std::runtime_error("curl not found on PATH");
        // 10,000 connections at once need more descriptors than the usual
        // 1,024; the children, nginx among them, inherit the limit.
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            setrlimit(RLIMIT_NOFILE, &files);
        }
        catchInterrupts();
        Suite suite(settings, ownPath(), curl);
        suite.run();
        return 0;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::cerr << "client-benchmark: " << e.what() << std::endl;
        return 1;
    }
}
