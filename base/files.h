// File utilities: reading lines and zero-terminated strings from streams, whole files as bytes
// or text, file existence, size, modification time and extension, directory chains, walking
// the files of a directory, and fresh temporary names. Owns no state. Directory services go
// through base/platform.h. Called by the settings, lattice, results and network code on the
// main thread; not on the tracking hot path.
// Paths use `/`; `\` is accepted where a name may come from a Windows-era file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// ---- streams ----

// The next line of `f`: the bytes up to a carriage return, line feed, zero byte or end of
// file (a carriage return followed by a line feed is one end; the end is consumed and not
// returned). None at end of file when nothing was read. Lines of any length (the buffer grows).
std::optional<std::string> fgetline(FILE* f);

// Longest string fgetstring accepts (bytes before the zero): 16 MiB. Strings in Ordax's files
// are names and genomes, far shorter; the cap bounds memory on a damaged file.
constexpr size_t FGETSTRING_MAX = 16u << 20;

// The next zero-terminated string of `f` (without the zero). None at end of file, also when
// the string is cut by end of file, and when no zero comes within FGETSTRING_MAX bytes (the
// stream is then left just after the bytes read). Never reads past the data.
std::optional<std::string> fgetstring(FILE* f);
// Writes `text` and its terminating zero. Returns 1 on success, 0 if the write failed.
int fputstr(const char* text, FILE* f);
// The next byte as a signed character (−128 … 127); −1 also at end of file.
int fgetsc(FILE* f);

// ---- whole files ----

// The whole file as bytes (no terminator); empty (none) if it cannot be opened, is a
// directory, or is empty.
std::vector<unsigned char> filedata(const char* path);
// The whole file as text. A `mode` without 'b' reads as text: each CR LF pair becomes LF, as a
// text-mode read does on the system the files are shared with. None if it cannot be opened or
// is a directory.
std::optional<std::string> filestring(const char* path, const char* mode);

// 1 if `path` is a file (not a directory) that opens for binary reading, else 0.
int fileexists(const char* path);
// Its size in bytes; 0 if it cannot be opened or is a directory.
uint64_t filesize(const char* path);
// Its last-write time as a file time (100 ns units since 1601-01-01 UTC); 0 if it cannot be
// opened. File times compare with the built-in operators.
uint64_t filemodified(const char* path);

// ---- names ----

// `name` with everything from the last `.` of its last path element replaced by "." + `ext`;
// if that element has no `.` after its first character, "." + `ext` is appended.
// ".profile" gives ".profile.txt"; "a.b.c" gives "a.b.txt"; "../x" gives "../x.txt".
std::string setextension(const char* name, const char* ext);

// The extension of `path`. If `path` is a file that opens: the text after the first `.` of its
// last path element (after the last `/` or `\`), empty if there is none. Otherwise: the text
// after the first `.` of the first file (in name order, not a directory) in the same directory
// (a `\` in the directory part taken as `/`) whose name is the last element + "." +
// something. Returns 1 and fills `out`, or 0 when nothing is found (`out` unchanged).
int getextension(const char* path, std::string* out);

// Creates every directory along `path` (each `\` is taken as `/`); if `whole` is non-zero and
// the path does not end in a separator, the full path is created as a directory too.
// Existing directories are not an error. Returns 1 if every directory asked for exists
// afterwards, 0 if one could not be made.
int createdirchain(const char* path, int whole);

// Calls `function("directory/name", argument)` for each file (not directory) of `directory`,
// in name order (bytes compared). `\` in `directory` is taken as `/`; an empty directory means
// the current one and passes bare names. Returns the number of calls made.
int foreachfilein(const char* directory, void (*function)(const char* path, void* argument),
                  void* argument);

// `prefix`, `n` characters from randomchar(), `suffix`: a name that no file or directory has
// yet (a name in use is drawn again). Uses the process-wide 15-bit generator (main thread).
// Returns an empty text if no free name is found in 10000 draws.
std::string tempfilename(const char* prefix, const char* suffix, int n);
