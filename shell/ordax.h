// The program: start-up (home directory, settings, switches, one-time preparation, user name)
// and the endless cycle of runs (choose a lattice and genome, build, advance frame by frame,
// score, record, upload, prune), with the lattice-file listing and choice, the user name and
// the pacing of the advance loop (adaptive steps per frame, progress line, battery sleep, CPU
// throttle). Called once from main(); the helpers are also used by the results and network
// code and by the tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Runs the client with the whole command line (program path first). Returns 0 when the user
// ends the program or the run limit is reached; 1 after a "[FATAL]" failure that a report sink
// kept from exiting. Every other end is a process exit.
int TAVLIB_main2(char* commandline);

// One-time preparation after the settings and switches: display, priority, random seed,
// species tables, run-time data check, simulation defaults, and the user name when results
// may be sent. Returns 1, or 0 after a reported failure (only seen with a report sink).
int ordaxinit();

// Reloads "config.txt" and applies the switches again when the file's last-write time differs
// from *recorded (a missing file counts as time 0), then records the time of the rewritten
// file. Returns 1 if it reloaded, else 0.
int settingsreloadcheck(uint64_t* recorded, const char* commandline);

// Hands the exchange with the project's servers the settings, display mode and switches in
// force (before each run and before the -s upload).
void configureexchange();

// ---- home directory ----

// The program's directory: the first word of the command line (a double quote toggles
// quoting), without a surrounding pair of quotes, cut at its last '/' or '\' (which is
// removed; a path in the root directory gives "/"). When the word has no directory part, the
// directory of the running executable. Separators come back as '/'.
std::string gethomedir(const char* commandline);
// Makes gethomedir(commandline) the working directory. Returns 1 on success, else 0.
int setcwdtohomedir(const char* commandline);

// ---- user name ----

// Reads "user.txt" into `username` (asking with nousername while it is missing or empty) and
// reports "Hello, %s". A name holding one of / \ : ? * < > | is "[FATAL]". Returns 1 when a
// name was set, 0 after a reported failure (only seen with a report sink).
int getusername();
// Asks for a name in the manner of the display mode and writes it to "user.txt"; ends the
// process when the user cancels (code 0 in console and background mode, 1 in graphics mode).
void nousername();
// The console form, reading the answer from `in`: writes a non-empty answer to "user.txt" and
// returns 1; returns 0 for an empty answer or end of input (the caller then exits with 0).
int nousername_console(FILE* in);
// Writes `name` to "user.txt" (replaced, no line end added). Returns 1 on success.
int writeusername(const char* name);

// ---- lattice files ----

// The lattice names the client may run: those of "lattices" named in the "Preferred lattices"
// setting, or every one when none of them is there.
std::vector<std::string> getlatticenames();
// The index chosen among n names from two successive 15-bit draws r1, r2:
// floor((r2 + r1/32768) × n / 32768), capped at n − 1 (never below 0).
int randomlatticeindex(int n, int r1, int r2);
// One of getlatticenames(), chosen with two draws of rand15(); empty when there is none.
std::string getrandomlatticename();

// The first word after the program path that does not begin with '-' (words separated by
// blanks, double quotes toggling quoting and removed), passed through latticenamefixcase;
// empty when there is none.
std::string latticenamefromcmdline(const char* commandline);
// ---- pacing of the advance loop (pure, for tests) ----

// The new steps per frame after `steps` steps took `elapsed` seconds: aimed at 0.3 s of
// stepping per frame, at most twice `old`, at least 1.
int adaptivestepsperframe(int old, int steps, double elapsed);

// The CPU throttle after a work interval of `elapsed` seconds at `throttle` percent:
// keep (−1) when the interval is still shorter than 0.02 s (it keeps growing), otherwise the
// milliseconds to sleep before the next interval ((100 − p)/p × e, none at 100 % or e ≥ 5 s).
int throttlesleepms(int throttle, double elapsed);
