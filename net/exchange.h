// Exchange with the project's servers: uploading the results waiting in "results.txt" (HTTP
// form post or the system's command-line FTP client), and refreshing the server list, the
// lattice files and the sample results files. Everything runs on the main thread and waits for
// each transfer, every one of which has a deadline (net/http.h, net/ftp.h).
//
// Nothing a server sends is trusted: downloads go to "<target>.tmp" and replace the target
// only once they validate, names from the lattice list must be plain names, credentials from
// "servers.csv" may not carry white space, control bytes or a leading '!', and any text from a
// server is passed through reportsafe() before it is shown. "results.txt" is never changed
// before an upload's outcome is known, so no result is lost to a failure or a kill.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "results/results.h"

// ---- addresses ----
// The project's web server. Every address below is made from it; the environment variable
// ORDAX_PROJECT_URL (a base of the same form, such as "http://127.0.0.1:8080/ordax") replaces
// it for tests and private projects.
#define ORDAX_PROJECT_URL_DEFAULT "http://ordax.muonfrontend.org/ordax"
inline constexpr char EXCHANGE_PROJECT_ENV[] = "ORDAX_PROJECT_URL";
// The sample-file address template written as the default setting.
inline constexpr char EXCHANGE_SAMPLEURL_DEFAULT[] =
    ORDAX_PROJECT_URL_DEFAULT "/samplefiles/{lattice}_100.bin";
// The upload script's path on a host named by "servers.csv".
inline constexpr char EXCHANGE_UPLOADPATH[] = "/ordax/uploadresults.php";

// The project base in force, without a trailing '/'.
std::string exchange_projecturl();
std::string exchange_serverlisturl();                 // base + "/servers.csv"
std::string exchange_latticelisturl();                // base + "/lattices/list.php"
std::string exchange_latticeurl(const char* name);    // base + "/lattices/<name>.txt"
// A sample template from the settings: when it begins with the default base and the base is
// overridden, that beginning is replaced, so an untouched setting follows ORDAX_PROJECT_URL.
std::string exchange_sampleurl(const char* setting);

// ---- what the program tells the exchange ----
struct ExchangeSettings {
  bool uploadhttp = true;                      // else FTP
  std::string ftpcommand = "ftp -s:script.ftp";
  bool passiveftp = false;
  bool oldftp = false;                         // the old calling method (now with a deadline too)
  // The FTP client's deadline: this many milliseconds plus one second per 1024 bytes sent.
  int64_t ftpbasems = 60000;
  char samplebehaviour = 'L';                  // 'L' latest only, 'A' accumulate
  bool deleteoldsamples = true;
  ResultFormat format = {3, 6, 1, "Mpts"};     // the format converted samples are written in
  // The lattice names the client may run (the sample refresh asks for theirs). None: the
  // lattice files of "lattices".
  std::vector<std::string> (*latticenames)() = nullptr;
  // A message box; `blocking` 0 returns at once (the text is copied). None: the platform's.
  void (*messagebox)(const char* text, const char* title, int blocking) = nullptr;
  bool noticeshown = true;   // the new-version box may be shown (not a full-screen window)
  bool noticeblocking = false;  // the box waits (the -s upload)
  // Where the server's signal goes: the newest version (100 bytes) and its message (1000).
  char* latestversion = nullptr;
  char* servermessage = nullptr;
};
void exchange_configure(const ExchangeSettings& s);
const ExchangeSettings& exchange_settings();

// ---- upload ----

// Uploads `file` for `user`, with retries over random servers.
void trysendresults(const char* file, const char* user, char interactive);
// One upload attempt of `file` to `host` (which may end in ":port"): 255 no such file, 0
// failed (the file is as it was), 1 all sent, 2 some sent and the rest kept in `file`.
int sendresultsserver(const char* file, const char* user, char interactive, const char* host,
                      const char* ftpuser, const char* ftppassword, const char* path);
// The -s upload. Returns the exit code the program should end with: 1 when the file was too
// short to send (after a box saying so), else 0.
int manualsend(const char* user);
// An upload interrupted by a kill leaves its pair "<date>-<time>-<5 chars>-<user>.txt/.bin"
// (and "<…>.rest") beside `file`: results of the pair that are not in `file` go back into it
// and the pair is removed; a "<…>.rest" or "<…>.bin" left without its "<…>.txt" (a kill while
// an upload was being settled) is removed. Returns the number of results folded back.
int exchange_recover(const char* file);

// A server line of "servers.csv": host, FTP user, FTP password.
struct ExchangeServer {
  std::string host, ftpuser, ftppassword;
};
// A random usable line of "servers.csv" (three non-empty fields, each fit for an FTP script)
// whose host is not in `skip`, drawn with two rand15() values. False when there is none.
bool getrandomserver(ExchangeServer* out, const std::vector<std::string>* skip = nullptr);

// ---- downloads ----

// How a download is judged before it replaces anything.
enum ExchangeKind { FILE_ANY, FILE_SERVERLIST, FILE_LATTICELIST, FILE_LATTICE, FILE_SAMPLE };
// Downloads `url` when `file` is missing or older than `hours` (negative: always) into `saveas`
// (none: `file`) through "<target>.tmp", replacing the target only when the body is of the
// kind. Returns 1 when a download replaced the target or when the target is there after a
// failure, 0 when `file` was fresh enough or there is nothing. *downloaded (when given) tells
// whether the target was replaced. A host that failed is not asked again for an hour.
int freshenfromweb(const char* file, int hours, const char* url, const char* saveas,
                   ExchangeKind kind = FILE_ANY, bool* downloaded = nullptr);
// Forgets the hosts that failed (tests).
void exchange_forgetfailures();

// Refreshes the lattice files in `dir` from the lattice list when it is older than `hours`.
void latticefileupdate(int hours, char keep, const char* dir);
// Refreshes the sample results files (URL template with "{lattice}") older than `hours`.
void samplefilesupdate(const char* urltemplate, int hours);
void samplefileupdate(const char* url, const char* file, int hours);

// ---- the pieces, for tests ----

// A lattice name a list may give: [A-Za-z0-9][A-Za-z0-9_-]{0,63}.
bool exchange_latticename_ok(const char* name);
// A server field fit for an FTP script: non-empty, no byte below 33 or 127, no leading '!'.
bool exchange_serverfield_ok(const std::string& field);
// The user part of upload names: blanks become '_', then only [A-Za-z0-9_.-] is kept, at most
// 64 characters.
std::string exchange_uploaduser(const char* user);
// The upload folder of a version: "v4.47_dev" gives "v4.4x".
std::string exchange_versionfolder(const char* version);
// Whether a result line is held back from upload: the word RANK (any case, not part of a
// longer word) outside the lattice field.
bool exchange_rankline(const char* line);
// Takes the server's signal (the text of "signal.dat" or the part of a reply page the signal
// marks): its first line is the newest version, its second a message; both are kept in the
// exchange settings' buffers and a newer version is announced.
void exchange_takesignal(const std::string& text);
