#pragma once

// The workloads the client benchmark runs in child processes of its own, so
// that each one's CPU time and peak memory can be read from wait4. Each
// prints its findings as "key value" lines on standard output.

#include <string>
#include <vector>

namespace bench {

// args[0] names the role, the rest are its arguments:
//   download URL PATH         the tandrel client's blocking download with progress
//   write-file PATH MIB       MIB MiB into a new file in aligned 64 KiB writes
//   idle URL SECONDS          one get on a manager, then CPU used while it idles
//   old-loop-idle SECONDS     the same for the old perform + 100 us wait loop
//   many URL COUNT [PERHOST]  COUNT asynchronous gets on one manager at once,
//                             at most PERHOST connections to the server
//   raw-many URL COUNT [PERHOST]  the same with a plain libcurl multi loop
//   many-slow URL COUNT SIZE  COUNT asynchronous gets on one manager at once,
//                             no cap, each to end with 200 and SIZE bytes
//   raw-slow-epoll URL COUNT SIZE  the same with libcurl's socket interface
//                             (curl_multi_socket_action) on an epoll loop
//   raw-slow-poll URL COUNT SIZE   the same with a perform + poll loop
// Each raises its soft descriptor limit to the hard one first.
// Returns the process exit code.
int runRole(const std::vector<std::string>& args);

} // namespace bench
