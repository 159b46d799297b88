// The lattice files of the "lattices" folder: listing them, whether a name is one of them
// (letter case ignored, as lattice names compare) and the file's own spelling of a name, and
// the age of a file in hours. Used by the run cycle, the results and queue code and the
// network refresh. Holds the cached list of names for the process (lattice_exists).
#pragma once

#include <string>
#include <vector>

// The names of the lattice files in `dir` (each "<name>.txt", not a directory, not beginning
// with '_'), without ".txt", sorted by name ignoring letter case. Creates `dir` first (failure
// ignored). Empty when there is none.
std::vector<std::string> getlatticeshere(const char* dir);
// 1 if `name` (letter case ignored) is a lattice file of "lattices", else 0 (also for none).
// Names beginning with '_' count: their files are lattices that are run only when named, and
// only the automatic pick (getlatticeshere) leaves them out. The list is cached on first use;
// LATTICE_EXISTS_RESET in place of a name empties the cache and returns 2.
inline const char* const LATTICE_EXISTS_RESET = reinterpret_cast<const char*>(1);
int lattice_exists(const char* name);
// Whether lattice `name` is there but cannot be read: the "lattices" folder exists and cannot
// be listed, or the lattice's file exists (as a name) and cannot be opened. Such a lattice is
// not gone: what depends on it (queued results) must be kept.
bool lattice_unreadable(const char* name);

// In place: '\' becomes '/'; if "lattices/<name>.txt" matches a lattice file whose name differs
// only in letter case, the last path element takes the file's own spelling. Files beginning
// with '_' keep the spelling given (they are not lattices the client lists).
void latticenamefixcase(char* name);

// The file that lattice `name` is read from: "lattices/<name>.txt" ('\' taken as '/'). Lattice
// names compare without letter case and file names here do not, so when no file has exactly
// that spelling the last path element takes the spelling of a file (not a directory) that
// differs from it only in letter case, '_' files included; the exact spelling wins when it
// exists, and with no match at all the path is returned as spelled. Every open of a lattice
// file goes through here: a run by name, a re-run of a stored result, the queue and the check
// values.
std::string latticefilepath(const char* name);
// The lattice name as that file spells it: latticefilepath without "lattices/" and ".txt".
std::string latticefilename(const char* name);

// Hours between the last-write time of `path` and now (a missing file counts as time 0).
float hoursfilemodified(const char* path);
