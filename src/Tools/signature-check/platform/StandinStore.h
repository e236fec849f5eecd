#pragma once

#include <string>

// Where the Linux stand-in for the Win32 objects keeps them, so that the
// tool (reading) and the VPN client stand-in (writing) agree.
//
// Under the root directory ($WIN32_STANDIN_ROOT, default $HOME/.win32-standin;
// none when neither is set, and then the store is absent). Each user has a
// store of their own: one that others could write would let them name the
// library the tool loads.
//   mutex/<name>                 a named mutex; it exists while some process
//                                holds an exclusive flock on the file, so it
//                                vanishes with that process, however it ends
//   HKEY_CLASSES_ROOT/<k1>/<k2>  the registry key k1\k2, one directory a level;
//                                names match without regard to ASCII case
//   .../<key>/@                  the key's default value: its raw bytes, a
//                                text stored with its terminating zero
namespace platform::standin {

// The root directory; empty when there is none.
std::string root();

// The lock file of a named mutex; empty for a name that can't be a file name
// or without a root.
std::string mutexFile(const std::string& name);

// The directory of HKEY_CLASSES_ROOT, below which keys are stored; empty
// without a root.
std::string classesRoot();

// The file holding a key's default value, given the key's directory.
std::string defaultValueFile(const std::string& keyDirectory);

} // namespace platform::standin
