// The FTP upload through the system's command-line client (see ftp.h).
#include "net/ftp.h"

#include "base/platform.h"
#include "base/text.h"

namespace {

// A word that can stand in a script line: no white space, no control bytes, no leading '!'
// (the client's local shell escape).
bool plainword(const std::string& s) {
  if (s.empty() || s[0] == '!') return false;
  for (unsigned char c : s)
    if (c <= 32 || c == 127) return false;
  return true;
}

// A word as the shell reads it back: in single quotes unless it is harmless as it is.
std::string shellword(const std::string& w) {
  bool plain = !w.empty();
  for (char c : w)
    plain = plain && (isdigitc(c) || (lc(c) >= 'a' && lc(c) <= 'z') || c == '-' || c == '_' ||
                      c == '.' || c == '/' || c == ':' || c == '=');
  if (plain) return w;
  return "'" + sreplace(w.c_str(), "'", "'\\''") + "'";
}

// The reply code at the start of a transcript line ("226 Transfer complete."), or 0.
int replycode(const std::string& line) {
  if (line.size() < 4 || line[3] != ' ') return 0;
  for (int i = 0; i < 3; i++)
    if (!isdigitc(line[i])) return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

}  // namespace

bool ftp_script(const std::string& host, const std::string& user, const std::string& password,
                bool passive, const std::string& localdir, const std::string& folder,
                const std::string& uploadfile, const std::string& testfile, std::string* out) {
  std::string name = host, port;
  size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(':') == colon) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
    for (char c : port)
      if (!isdigitc(c)) return false;
    if (port.empty()) return false;
  }
  const std::string* words[] = {&name, &user, &password, &folder, &uploadfile, &testfile};
  for (const std::string* w : words)
    if (!plainword(*w)) return false;
  for (unsigned char c : localdir)
    if (c < 32 || c == 127 || c == '"') return false;
  std::string s = "open " + name + (port.empty() ? "" : " " + port) + "\n";
  s += "user " + user + " " + password + "\n";
  if (passive) s += "quote pasv\n";
  s += "lcd \"" + localdir + "\"\n";
  s += "mkdir " + folder + "\ncd " + folder + "\n";
  s += "binary\nput " + uploadfile + "\n";
  s += "cd ..\nget signal.dat\n";
  s += "mkdir testfiles\ncd testfiles\nlcd testfiles\nput " + testfile + "\nlcd ..\nget " +
       testfile + "\ndel " + testfile + "\nquit\n";
  *out = s;
  return true;
}

FtpCommand ftp_command(const std::string& setting, bool viashell) {
  std::vector<std::string> words = commandwords(setting.c_str());
  FtpCommand c;
  c.input = "/dev/null";
  std::vector<std::string> argv;
  for (size_t i = 0; i < words.size(); i++) {
    if (i > 0 && startsnocase(words[i], "-s:") && words[i].size() > 3 && c.input == "/dev/null") {
      c.input = words[i].substr(3);
      continue;
    }
    argv.push_back(words[i]);
  }
  if (c.input != "/dev/null" && !argv.empty())
    argv.insert(argv.begin() + 1, {"-n", "-v", "-N", "/dev/null"});
  c.program = argv.empty() ? "" : argv[0];
  if (viashell) {
    std::string line;
    for (const std::string& a : argv) line += (line.empty() ? "" : " ") + shellword(a);
    argv = {"/bin/sh", "-c", line};
  }
  c.argv = argv;
  return c;
}

FtpOutcome ftp_run(const FtpCommand& c, const std::string& logpath, int64_t timeoutms,
                   bool (*stop)()) {
  if (c.argv.empty() || c.program.empty()) return FTP_NOPROGRAM;
  if (c.program.find('/') == std::string::npos ? !platform_hasprogram(c.program.c_str())
                                               : !platform_isfile(c.program.c_str()))
    return FTP_NOPROGRAM;
  int64_t pid = platform_spawn(c.argv, c.input.c_str(), logpath.c_str());
  if (pid < 0) return FTP_NOSTART;
  int64_t deadline = platform_msclock() + timeoutms;
  for (;;) {
    int code = 0;
    int r = platform_waitprocess(pid, 250, &code);
    if (r != 0) return FTP_FINISHED;
    if (stop && stop()) {
      platform_endprocessgroup(pid, 1000);
      return FTP_STOPPED;
    }
    if (platform_msclock() >= deadline) {
      platform_endprocessgroup(pid, 1000);
      return FTP_TIMEOUT;
    }
  }
}

bool ftp_putaccepted(const std::string& transcript, const std::string& file) {
  size_t at = 0;
  const std::string mark = "local: " + file + " ";
  for (;;) {  // the line itself, not a longer name that begins with it
    at = transcript.find(mark, at);
    if (at == std::string::npos) return false;
    if (at == 0 || transcript[at - 1] == '\n' || transcript[at - 1] == '\r') break;
    at += mark.size();
  }
  size_t pos = transcript.find('\n', at);
  while (pos != std::string::npos) {
    size_t end = transcript.find('\n', pos + 1);
    std::string line = transcript.substr(pos + 1, end == std::string::npos ? std::string::npos
                                                                            : end - pos - 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    int code = replycode(line);
    if (code >= 200 && code != 200 && code != 227 && code != 228 && code != 229)
      return code == 226 || code == 250;
    pos = end;
  }
  return false;
}
