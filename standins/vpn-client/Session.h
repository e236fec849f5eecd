#pragma once

#include <string>

// What the VPN client stand-in does to the machine, per platform.

// Writes the default value of HKEY_CLASSES_ROOT\key; false on failure.
bool writeClassesRootDefault(const std::string& key, const std::string& value);

// Creates the named mutex and holds it until the process ends; false when
// it can't be created or another process holds it.
bool holdMutex(const std::string& name);
