// The FTP upload through the system's command-line FTP client: the script, the run of the
// client under a deadline, and the reading of its transcript. The client is given its script
// on standard input, runs in a process group of its own (so a hung client and anything it
// started end together), and writes its transcript to a log file. Main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The commands of one upload: log in, upload `uploadfile` into `folder`, fetch "signal.dat"
// from the top, and make the round trip of `testfile` through "testfiles". `host` may end in
// ":port" (then "open host port"). False (nothing made) when a field could not be written into
// a script safely: white space or control bytes in the host, user, password, folder or file
// names, a leading '!', or a '"' or control byte in the local directory.
bool ftp_script(const std::string& host, const std::string& user, const std::string& password,
                bool passive, const std::string& localdir, const std::string& folder,
                const std::string& uploadfile, const std::string& testfile, std::string* out);

// How the command setting is run. A word "-s:FILE" (the script switch of the clients the
// setting was written for) is dropped and FILE becomes standard input; the client then also
// gets "-n -v -N /dev/null" (no auto-login, replies shown, no ~/.netrc), so the login is the
// script's "user" line alone. Without such a word the command runs as written with standard
// input from /dev/null. `viashell` (the old calling method) runs the command line through
// /bin/sh instead of splitting it into words.
struct FtpCommand {
  std::string program;  // the client named by the setting
  std::vector<std::string> argv;
  std::string input;  // the script path, or /dev/null
};
FtpCommand ftp_command(const std::string& setting, bool viashell);

enum FtpOutcome {
  FTP_FINISHED,   // the client ended by itself
  FTP_TIMEOUT,    // ended at the deadline
  FTP_STOPPED,    // ended because the program is quitting
  FTP_NOPROGRAM,  // no such program on PATH
  FTP_NOSTART,    // it could not be started
};
// Runs the command with its output to `logpath` and waits until it ends, the deadline
// (milliseconds from now) passes or `stop` (may be none) says so; then SIGTERM, and SIGKILL
// a second later, to its whole process group.
FtpOutcome ftp_run(const FtpCommand& c, const std::string& logpath, int64_t timeoutms,
                   bool (*stop)());

// Whether the transcript shows the server accepting the upload of `file`: the first final
// reply after the client's "local: FILE" line is 226 (or 250).
bool ftp_putaccepted(const std::string& transcript, const std::string& file);
