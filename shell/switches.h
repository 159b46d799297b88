// Command-line switches: the word tests on the whole command line (hasswitch, getargc,
// getargv), detectswitches (display mode, run limits, re-checks, debugging logs, predefined
// configuration sets, help, version) and detectswitches_later (the per-run switches that need
// the built machine or the genome: component lists and tables). Writes the run state of
// shell/runstate.h. Called by the run cycle at start-up, after each reload of "config.txt"
// and once per run; some switches finish their work here and end the process.
#pragma once

#include <string>
#include <vector>

struct Cell;
struct Genome;

// 1 if the word "-" + name occurs in the command line (letters compared without case),
// preceded by a blank and followed by white space or the end of the line, else 0. Every
// occurrence is examined, so "-savebeam -s" has the switch "s".
int hasswitch(const char* commandline, const char* name);

// The number of arguments: words separated by white space, where a double quote starts a
// quoted stretch (blanks inside it belong to the word) that runs to the next double quote.
int getargc(const char* commandline);
// A copy of argument i (0 is the program path) without its double quotes; empty when there
// are fewer arguments (check with getargc when an empty argument matters).
std::string getargv(const char* commandline, int i);
// atoi of argument i (0 when it is missing).
int getargv_int(const char* commandline, int i);

// The help text, one line per entry ("switch\ttext\n"), as -help prints it.
std::string switcheshelptext();

// Whether the command line asks for background mode: -b, not overridden by -c or -g (the
// mode detectswitches settles on). The start-up sets this mode before the settings are first
// read, so that nothing read there prompts on standard input.
int backgroundswitch(const char* commandline);

// The messages for the switch words of the command line that are not understood: unknown
// switches, and -r or -/ followed by something other than a whole number (none or more than
// zero). detectswitches reports them once per command line; the switches are ignored.
std::vector<std::string> switchproblems(const char* commandline);

// Applies the start-up switches to the run state, in their fixed order (later ones override
// earlier ones). -ver, -help/`?`, -cfg:, -bintotxt and -txttobin end the process with code 0
// (or report a "[FATAL]" failure). Called at start-up and again after each settings reload.
void detectswitches(const char* commandline);

// The per-run switches: -l42, -l/-L, -latextable, -latextablepdf write their file and end the
// process with code 0; otherwise -g, -view and a plain -r clear adaptivesteps/autoscale.
// `root` is the run's machine cell (may be none, then the list switches write nothing);
// `genome` is the run's genome, to which -l42 may add missing genes. Returns 1 normally, 0 after
// a failure that has been reported (only seen when a report sink keeps "[FATAL]" from exiting).
int detectswitches_later(const char* commandline, Cell* root, Genome* genome);

// ---- pieces of the switches, exposed for tests ----

// The -l42 component list of an old 4.2-layout genome, as written to "listcomponents.txt".
// Missing genes are drawn by the genome's missing-gene rule and added to `genome`.
std::string listcomponents42(Genome* genome);

// Applies the predefined configuration set `name` ("net", "nonet", compared without case) to
// the settings file `path` and rewrites it. Returns 1 for a known set, 0 for an unknown one
// (the file is rewritten either way), −1 when the file could not be written (reported).
int applyconfigset(const char* name, const char* path);
