// The settings store and "config.txt". A store is an ordered list of (key, value) text pairs,
// keys may repeat, looked up by the leading words of their key so that prompts can be
// reworded without losing values. ordaxconfig() reads "config.txt", migrates old keys, adds
// missing settings with their defaults, fills the run settings (shell/runstate.h) and writes
// the file back. The store owns its texts (configfree releases them). The display settings
// file uses the same store. Called at start-up and whenever "config.txt" changes (main thread).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/vec.h"

struct ConfigEntry {
  std::string key;
  std::string value;
};

// Entries in order of reading and appending. configdelete moves the last entry into the hole,
// as removal from the program's growable set does.
struct ConfigStore {
  std::vector<ConfigEntry> entries;
};

// The sample-file address written as the default of "Sample file URL (.bin allowed)".
extern const char* const ORDAX_SAMPLEURL_DEFAULT;

ConfigStore confignew();
// Reads "key<separator>value" lines (CR, LF or CR LF ends; a zero byte also ends a line). A
// line without the separator is dropped; key and value are trimmed of white space at both
// ends; a value may hold further separators. A file that cannot be opened or is empty gives an
// empty store. If `openerror` is given it receives 0 when the file was opened and read, else
// the system's error number (ENOENT for a missing file).
ConfigStore configload(const char* path, char separator, int* openerror = nullptr);
// Creates the file anew and writes every entry as "%s%c %s\n". Returns 1 on success; on
// failure reports "[WARNING] Could not write the settings file <path>" and returns 0.
int configsave(const ConfigStore& store, const char* path, char separator);
void configfree(ConfigStore* store);

// The value of the entry whose key begins with `prefix` (ASCII letters without case): the
// shortest such key wins, and among keys of equal length the latest. None when no key
// matches. The pointer is into the store and lives until the store next changes.
const char* configget(const ConfigStore& store, const char* prefix);
// strtod of the value, or `def` when absent.
double configgetd(const ConfigStore& store, const char* prefix, double def);
// The value read as atoi does (saturating at the int limits instead of overflowing), or 0.
int configgeti(const ConfigStore& store, const char* prefix);
// 1 when the value begins with y, t or 1 (either case); 0 otherwise or when absent.
int configgetb(const ConfigStore& store, const char* prefix);
// Split the value at commas; *n (if given) receives the number of pieces, even above `max`;
// the first min(pieces, max) are converted into `out`. An absent key gives *n = 0 and leaves
// `out` as it was.
void configgetiv(const ConfigStore& store, const char* prefix, int* out, unsigned max,
                 unsigned* n);
void configgetfv(const ConfigStore& store, const char* prefix, float* out, unsigned max,
                 unsigned* n);
void configgetdv(const ConfigStore& store, const char* prefix, double* out, unsigned max,
                 unsigned* n);
// The value of the k-th entry (1-based, store order) whose key begins with `prefix`, or none.
const char* configgetnth(const ConfigStore& store, const char* prefix, int k);
// 1 if any key begins with `prefix`, else 0.
int confighas(const ConfigStore& store, const char* prefix);

// The last entry (store order) whose key begins with `key` gets a copy of `value`; with no such
// entry (key, value) is appended. Returns the stored value (lives until the store changes).
const char* configset(ConfigStore* store, const char* key, const char* value);
const char* configsetd(ConfigStore* store, const char* key, double x);  // "%.15lg"
const char* configsetf(ConfigStore* store, const char* key, float x);   // "%.7g"
const char* configseti(ConfigStore* store, const char* key, int x);     // "%d"
// Key "<name> (Y/N)", value "Y" or "N".
const char* configsetb(ConfigStore* store, const char* name, int flag);
// Key "<name> mode (0,1,2)", value "%d".
const char* configsetternary(ConfigStore* store, const char* name, int n);
// The values joined by commas, each "%d", "%.7g" or "%.15lg".
void configsetiv(ConfigStore* store, const char* key, const int* values, unsigned n);
void configsetfv(ConfigStore* store, const char* key, const float* values, unsigned n);
void configsetdv(ConfigStore* store, const char* key, const double* values, unsigned n);
// Keys "<name> position" (3 numbers) and "<name> rotation matrix" (9 numbers, row by row).
void configsetAffineFrame(ConfigStore* store, const char* name, AffineFrame frame);
// Reads the two keys back. Numbers that are absent (a missing key or a short list) keep the
// values of the identity frame at the origin.
AffineFrame configgetAffineFrame(const ConfigStore& store, const char* name);

// Appends (key, value) unless an entry with exactly this key (without case) exists.
void configdefault(ConfigStore* store, const char* key, const char* value);
// The last entry whose key equals `oldkey` (without case) gets the key `newkey`. 1 if renamed.
int configrename(ConfigStore* store, const char* oldkey, const char* newkey);
// Removes the last entry whose key equals `key` (without case); the store's last entry takes
// its place. 1 if removed.
int configdelete(ConfigStore* store, const char* key);

// Loads "config.txt" (retrying for about 8 s while it exists but cannot be read, and no longer
// once the user ends the program: simstop 2), migrates and
// completes it, fills the run settings and writes it back. Never fails: an unreadable file
// gives the defaults, an unwritable one is reported with "[WARNING]" and the run goes on.
void ordaxconfig();

// Test seam: the sleep used between load retries (by default a wait that a signal ends early;
// nullptr restores it).
void ordaxconfig_setsleep(void (*sleep)(uint32_t ms));
