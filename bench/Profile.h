#pragma once

// What the client benchmark measures beside time: how a download's file is
// written (strace), where the CPU goes in the kernel (perf), and the floor
// set by the cipher and one copy into the page cache (openssl speed).
// Each needs its tool on PATH; without it the figure is left out, with a note.

#include "Harness.h"

#include <string>
#include <vector>

namespace bench {

// The writes a program made to one file: calls, bytes, and how many of the
// calls before the last one started at an offset that is not a multiple of
// 4096 (a page of the page cache).
struct FileWrites
{
    long long calls = 0;
    long long bytes = 0;
    long long unalignedBeforeLast = 0;
};

// Runs argv under strace and counts its writes to file; false without strace.
bool countWrites(const std::vector<std::string>& argv, const fs::path& file, const fs::path& work, FileWrites& found);

// Shares of a process's CPU samples, in percent.
struct CpuShares
{
    double pageCacheCopy = 0; // the kernel copying written data into the page cache
    double zeroing = 0;       // the kernel clearing memory (partly written new pages among it)
    double crypto = 0;        // the TLS library (decryption), in user space
};

// Runs argv under perf record (cpu-clock) and sorts its samples; false
// without perf, or when perf may not sample (perf_event_paranoid).
bool profileCpu(const std::vector<std::string>& argv, const fs::path& work, CpuShares& shares);

// The cipher the server and curl agree on (curl -v), as openssl speed names
// it, e.g. "aes-256-gcm"; empty when unknown.
std::string negotiatedCipher(const fs::path& curl, const std::string& url, const fs::path& work);

// Bytes per second one core decrypts with cipher in 16 KiB records
// (openssl speed -evp); 0 when openssl is missing or says nothing usable.
double cipherBytesPerSecond(const std::string& cipher, const fs::path& work);

} // namespace bench
