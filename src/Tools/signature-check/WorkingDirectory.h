#pragma once

#include "platform/Files.h"

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

// The working directory: the directory named after the gateway host beside
// the tool, which holds a run's installer and result file. Its name comes
// from outside the program, and what is in it may have been put there by
// others; these checks keep the run's files inside it.

// Creates directory, one component below the current directory, or takes
// the real directory already there, and opens it into opened. Fails with
// the system's invalid-name error when the name can't be one of its own
// (empty, ".", "..", separators, control characters, names the platform
// reserves), and with its already-exists error when the entry there is no
// real directory (a file, a symbolic link, a junction), as creating it over
// a file does.
boost::system::error_code createWorkingDirectory(const boost::filesystem::path& directory,
                                                 platform::HostDirectory& opened);
