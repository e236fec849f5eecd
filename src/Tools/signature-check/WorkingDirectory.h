#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

// The working directory: the directory named after the gateway host beside
// the tool, which holds a run's installer and result file. Its name comes
// from outside the program, and what is in it may have been put there by
// others; these checks keep the run's files inside it.

// The file in the working directory whose lock lets one run at a time work
// there. It stays on disk.
constexpr const char runLockFile[] = "signature-check.lock";

// Creates directory, one component below the current directory, or takes
// the real directory already there. Fails with the system's invalid-name
// error when the name can't be one of its own (empty, ".", "..",
// separators, control characters, names the platform reserves), and with
// its already-exists error when the entry there is no real directory (a
// file, a symbolic link, a junction), as creating it over a file does.
boost::system::error_code createWorkingDirectory(const boost::filesystem::path& directory);

// Readies path to be opened as a new regular file: removes an entry there
// that opening would follow elsewhere or block on, or that is also known by
// another name (a link, FIFO, socket or device, a file with more than one
// hard link). A directory stays; opening it then fails. Returns the
// removal's error.
boost::system::error_code prepareNewFile(const boost::filesystem::path& path);
