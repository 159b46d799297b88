// The platform layer: every operating-system service Ordax uses goes through here, so the
// rest of the program includes no POSIX or terminal header. Clocks, file times (64-bit counts
// of 100 ns since 1601), directories, sleeping, processor count, priority, power status,
// terminal control, key input, message boxes, environment variables and TCP client sockets.
// Called from the main thread except where a function says otherwise.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---- clocks ----
int64_t platform_perfcounter();    // steady high-resolution counter (QueryPerformanceCounter)
int64_t platform_perffrequency();  // its ticks per second; 0 when there is no such counter
uint32_t platform_tickcount();     // milliseconds since an arbitrary start (GetTickCount)
double platform_walltime();        // seconds since 1970-01-01 00:00 UTC, with fractions
// The process clock: seconds from the high-resolution counter (the millisecond tick when there
// is none). Any thread.
double eithertime();

// ---- file times: 100 ns units since 1601-01-01 UTC ----
uint64_t platform_filetime_now();
// Last-write time of a file that opens for reading, or 0 when it cannot be opened.
uint64_t platform_filemodified(const char* path);
// Seconds since 1970 in local time broken down; returns 0 on success.
struct PlatformTime {
  int year, month, day, hour, minute, second, weekday;  // month 1..12
};
PlatformTime platform_localtime(double t);  // t in seconds since 1970, local time zone
PlatformTime platform_utctime(double t);    // the same, no time-zone shift

// ---- files and directories ----
bool platform_isdir(const char* path);
bool platform_isfile(const char* path);     // exists and is not a directory
// Whether the name is taken at all (also by a link that cannot be followed): a name that
// exists but cannot be opened is unreadable, not missing.
bool platform_exists(const char* path);
// Whether the directory can be opened for listing (an empty listing may then be trusted).
bool platform_canlistdir(const char* dir);
// The name a path finally stands for once symbolic links are followed (at most 40), whether or
// not that name exists; the path itself when it is no link. A file replaced through a renamed
// new file is replaced there, so that a link to it stays a link.
std::string platform_linkedpath(const char* path);
bool platform_mkdir(const char* path);      // true if created or already a directory
bool platform_chdir(const char* path);
std::string platform_getcwd();
std::string platform_exepath();             // absolute path of the running executable
bool platform_remove(const char* path);     // deletes a file
bool platform_rename(const char* from, const char* to);  // replaces an existing target
bool platform_removedir(const char* path);  // deletes an empty directory
// Creates (or empties) a file that only the program's user may read or write, and writes
// `text` into it. True when all was written.
bool platform_writeprivate(const char* path, const std::string& text);
// Cuts (or extends with zero bytes) the file to `size` bytes; true on success.
bool platform_truncate(const char* path, uint64_t size);
// Flushes the stream and asks the system to put its data on disk; true on success.
bool platform_syncfile(FILE* f);
// A read-only stream over n bytes of memory (n > 0), so that stream readers can parse bytes
// already read and verified; none on failure. The bytes must outlive the stream (fclose it).
FILE* platform_memfile(const void* data, size_t n);
// A stream over the file `path` (opened with `mode`: "w", "wb", "a" or "ab") that lets at most
// `maxbytes` bytes into it, counting what an appended file already holds: the write that
// passes the limit is cut there and `cutline` follows it on a line of its own; every later
// write fails (the stream's error flag is set) and writes nothing. A file that already holds
// `maxbytes` or more when opened for appending takes nothing (its cut line is there). None
// when the file cannot be opened.
FILE* platform_cappedfile(const char* path, const char* mode, uint64_t maxbytes,
                          const char* cutline);
struct PlatformDirEntry {
  std::string name;
  bool isdir;
};
// The entries of a directory (not "." and ".."), in the order the system lists them; empty if
// the directory cannot be read.
std::vector<PlatformDirEntry> platform_listdir(const char* dir);

// ---- processes and threads ----
void platform_sleep(uint32_t ms);
int platform_processorcount();
// Windows-style priority class (0x40 idle, 0x20 normal) and thread priority (−15 … 0) mapped
// onto a nice value.
void platform_setpriority(int priorityclass, int threadpriority);
// 1 when the system reports its mains supply offline (running on battery), 0 when on mains or
// when no power information exists.
int platform_onbattery();
int platform_system(const char* command);  // runs a shell command; its exit status
bool platform_hasprogram(const char* name); // whether a program is found on PATH
// Starts a program (argv[0], looked up on PATH when it holds no '/') in a process group of its
// own, with standard input from `inpath` and standard output and error written to `outpath`
// (created or emptied). Returns its process id, or −1 when it could not be started.
int64_t platform_spawn(const std::vector<std::string>& argv, const char* inpath,
                       const char* outpath);
// Waits up to `ms` for the process to end: 1 it ended (*code receives its exit status, or
// 128 + the signal that ended it), 0 still running, −1 no such child.
int platform_waitprocess(int64_t pid, uint32_t ms, int* code);
// Ends the process's group: SIGTERM, then SIGKILL when it has not ended within `gracems`;
// then reaps the process.
void platform_endprocessgroup(int64_t pid, uint32_t gracems);

// ---- terminal ----
bool platform_stdout_isterminal();
bool platform_stdin_isterminal();
int platform_terminal_columns();  // 80 when unknown
int platform_terminal_rows();     // 24 when unknown
void platform_gotoxy(int x, int y);  // 1-based column and row
void platform_clreol();              // blank from the cursor to the end of the line
void platform_clrscr();              // blank the screen, cursor to the top left
void platform_cursorup(int n);       // cursor n lines up, to the start of the line (terminal only)
// Reads one key without echo; blocks. Returns the byte, or −1 at end of input or when no
// terminal can answer.
int platform_getkey();
// Terminal raw mode for the graphics display: keys are read without waiting for Enter.
// platform_pollkey returns a waiting key or −1 at once. The terminal is restored by
// platform_rawmode(false) and automatically at exit.
void platform_rawmode(bool on);
int platform_pollkey();
// Waits up to `ms` milliseconds; returns early, true, when a key is waiting on standard input
// (only with `keys`), and early, false, when a signal arrives (the quit signals among them).
bool platform_waitkey(uint32_t ms, bool keys);

// ---- message boxes ----
// Shows a message box: printed to the terminal (stderr), or appended to "messages.log" when
// background mode asked for that with platform_setmessagelog.
void platform_messagebox(const char* text, const char* title);
void platform_setmessagelog(bool tolog);

// ---- signals ----
// The quit flag: 0 go on, 1 the run finished, 2 the user ended the program (a quit key or a
// quit signal). Loops that may run long poll it; written from signal handlers too.
extern volatile std::sig_atomic_t simstop;
// Ctrl-C, SIGTERM and SIGHUP call the handler (from signal context: it may only set flags).
void platform_onquitsignal(void (*handler)());

// ---- environment ----
// The value of an environment variable, or none when it is not set.
const char* platform_getenv(const char* name);

// ---- TCP client sockets ----
// Safe from any thread. A socket is a non-negative number; −1 is none. Nothing here blocks
// past its deadline: a deadline is a time of platform_msclock(), and every wait is a poll of
// at most 100 ms after which `cancel` (may be none) is asked whether to give up. Writes never
// raise SIGPIPE; interrupted calls are retried.
int64_t platform_msclock();  // steady milliseconds (platform_perfcounter / 10^6)
// Resolves `host` (name or numeric address) and tries each address in turn with a
// non-blocking connect. The resolver runs on its own thread, so a resolver that hangs cannot
// hold the caller past the deadline. Returns a connected socket (non-blocking), or −1.
int platform_tcpconnect(const char* host, uint16_t port, int64_t deadline, bool (*cancel)());
// Sends all n bytes, waiting for the socket to take them. Returns 1 when all went, else 0.
int platform_tcpsend(int sock, const void* data, size_t n, int64_t deadline, bool (*cancel)());
// Receives up to n bytes once the socket has some: > 0 bytes read, 0 the peer closed the
// connection in order, −1 an error (such as a reset), −2 the deadline passed or cancel said so.
long platform_tcprecv(int sock, void* buf, size_t n, int64_t deadline, bool (*cancel)());
// Closes a socket (none: nothing).
void platform_tcpclose(int sock);
