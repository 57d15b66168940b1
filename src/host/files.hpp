// The file-system questions the module asks in more than one place.
//
// Which `os` they read: the module's own `os` global (velmora.os), looked
// up at each call through host::os and host::os_path, never the `os`
// module imported elsewhere. The tests put Windows' view of paths in that
// global (tests/windows_paths.py), and everything here then answers as on
// Windows.
#pragma once

#include "host/py.hpp"

namespace velmora::host {

// os.path.exists(path).
bool exists(const py::Ref& path);

// os.name == "nt": Windows' paths, processes and file-system rules.
bool on_windows();

// Removes a file if it is there (a missing one is no error).
void remove_if_there(const py::Ref& path);

// A rename that refuses to replace: `to` is claimed for `from` in one step
// unless something is there (renameat2 with RENAME_NOREPLACE on Linux,
// renamex_np with RENAME_EXCL on macOS). Unsupported where the system or
// the file system has no such rename (exFAT, many SMB mounts, Windows,
// where os.rename refuses to replace anyway); any other failure raises
// OSError.
enum class NoReplace { Renamed, Taken, Unsupported };
NoReplace rename_no_replace(const py::Ref& from, const py::Ref& to);

// Makes a folder's entries (a file created, renamed or removed in it)
// durable: a power cut after this returns keeps them. Nothing on Windows,
// whose file systems journal their entries.
void sync_folder(const py::Ref& folder);

// Small JSON files that other processes read at any time: written under
// a staged name beside them and moved into place in one step (a reader
// sees the old file or the new one, never half of one; the staged file
// goes if the write fails), and read back as a dict, or None when the
// file is missing or is not one. A record that must outlive a power cut is
// `synced` (its data, then its folder's entry); a status refreshed many
// times a second is not.
void write_json_file(const py::Ref& path, const py::Ref& value, bool synced = true);
py::Ref read_json_file(const py::Ref& path);

}  // namespace velmora::host
