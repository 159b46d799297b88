// POSIX implementation of the platform layer. Everything here is a thin wrapper; the only
// state is the terminal mode (restored at exit), the message-log switch and the signal hook.
#include "base/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr uint64_t kEpochDiff100ns = 116444736000000000ull;  // 1601 → 1970 in 100 ns units
}

int64_t platform_perfcounter() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int64_t platform_perffrequency() {
  return 1000000000LL;
}

uint32_t platform_tickcount() {
  return (uint32_t)(platform_perfcounter() / 1000000LL);
}

double platform_walltime() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

uint64_t platform_filetime_now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (uint64_t)ts.tv_sec * 10000000ull + (uint64_t)ts.tv_nsec / 100 + kEpochDiff100ns;
}

uint64_t platform_filemodified(const char* path) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return 0;
  struct stat st;
  int r = fstat(fd, &st);
  close(fd);
  if (r != 0) return 0;
  return (uint64_t)st.st_mtim.tv_sec * 10000000ull + (uint64_t)st.st_mtim.tv_nsec / 100 +
         kEpochDiff100ns;
}

static PlatformTime fromtm(const std::tm& tm) {
  return PlatformTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                      tm.tm_min,         tm.tm_sec,     tm.tm_wday};
}

PlatformTime platform_localtime(double t) {
  time_t s = (time_t)t;
  std::tm tm{};
  localtime_r(&s, &tm);
  return fromtm(tm);
}

PlatformTime platform_utctime(double t) {
  time_t s = (time_t)t;
  if ((double)s > t) s--;  // floor for times before 1970
  std::tm tm{};
  gmtime_r(&s, &tm);
  return fromtm(tm);
}

bool platform_isdir(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool platform_isfile(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

bool platform_exists(const char* path) {
  struct stat st;
  return path && lstat(path, &st) == 0;
}

bool platform_canlistdir(const char* dir) {
  DIR* d = opendir(dir && *dir ? dir : ".");
  if (!d) return false;
  closedir(d);
  return true;
}

std::string platform_linkedpath(const char* path) {
  std::string p = path ? path : "";
  for (int hop = 0; hop < 40; hop++) {
    char buf[4096];
    ssize_t n = readlink(p.c_str(), buf, sizeof buf - 1);
    if (n <= 0) break;
    std::string target(buf, (size_t)n);
    size_t slash = p.rfind('/');
    if (target[0] != '/' && slash != std::string::npos) target = p.substr(0, slash + 1) + target;
    p = target;
  }
  return p;
}

bool platform_mkdir(const char* path) {
  if (mkdir(path, 0777) == 0) return true;
  return platform_isdir(path);
}

bool platform_chdir(const char* path) {
  return chdir(path) == 0;
}

std::string platform_getcwd() {
  char buf[4096];
  if (!getcwd(buf, sizeof buf)) return ".";
  return buf;
}

std::string platform_exepath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = 0;
  return buf;
}

bool platform_remove(const char* path) {
  return unlink(path) == 0;
}

bool platform_rename(const char* from, const char* to) {
  return rename(from, to) == 0;
}

bool platform_removedir(const char* path) {
  return rmdir(path) == 0;
}

bool platform_writeprivate(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0600) == 0;  // an existing file keeps its mode through O_CREAT
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += (size_t)n;
  }
  return close(fd) == 0 && ok;
}

bool platform_truncate(const char* path, uint64_t size) {
  return truncate(path, (off_t)size) == 0;
}

bool platform_syncfile(FILE* f) {
  if (!f || fflush(f) != 0) return false;
  return fsync(fileno(f)) == 0;
}

FILE* platform_memfile(const void* data, size_t n) {
  if (!data || n == 0) return nullptr;
  return fmemopen(const_cast<void*>(data), n, "rb");
}

namespace {

struct CappedFile {
  FILE* file;
  uint64_t written;  // bytes in the file, counting what it held when opened
  uint64_t maxbytes;
  std::string cutline;
  bool cut;
  bool atlinestart;  // the file is empty or its last byte is a line feed
};

ssize_t cappedwrite(void* cookie, const char* data, size_t n) {
  CappedFile* c = static_cast<CappedFile*>(cookie);
  if (c->cut) return 0;
  size_t room = c->written >= c->maxbytes ? 0 : (size_t)std::min<uint64_t>(n, c->maxbytes - c->written);
  if (room > 0 && std::fwrite(data, 1, room, c->file) != room) return 0;
  c->written += room;
  if (room > 0) c->atlinestart = data[room - 1] == '\n';
  if (room == n) return (ssize_t)n;
  // The limit is reached inside this write: the cut line ends the file.
  c->cut = true;
  if (!c->atlinestart) std::fputc('\n', c->file);
  std::fputs(c->cutline.c_str(), c->file);
  std::fputc('\n', c->file);
  return room > 0 ? (ssize_t)room : 0;
}

int cappedclose(void* cookie) {
  CappedFile* c = static_cast<CappedFile*>(cookie);
  int r = std::fclose(c->file);
  delete c;
  return r;
}

}  // namespace

FILE* platform_cappedfile(const char* path, const char* mode, uint64_t maxbytes,
                          const char* cutline) {
  if (!path || !mode) return nullptr;
  FILE* f = std::fopen(path, mode);
  if (!f) return nullptr;
  CappedFile* c = new CappedFile{f, 0, maxbytes, cutline ? cutline : "", false, true};
  if (mode[0] == 'a' && std::fseek(f, 0, SEEK_END) == 0) {
    long at = std::ftell(f);
    c->written = at > 0 ? (uint64_t)at : 0;
    c->cut = c->written >= maxbytes;
    if (FILE* r = at > 0 ? std::fopen(path, "rb") : nullptr) {
      if (std::fseek(r, at - 1, SEEK_SET) == 0) c->atlinestart = std::fgetc(r) == '\n';
      std::fclose(r);
    }
  }
  cookie_io_functions_t io{};
  io.write = cappedwrite;
  io.close = cappedclose;
  FILE* s = fopencookie(c, "w", io);
  if (!s) {
    std::fclose(f);
    delete c;
  }
  return s;
}

std::vector<PlatformDirEntry> platform_listdir(const char* dir) {
  std::vector<PlatformDirEntry> out;
  DIR* d = opendir(dir && *dir ? dir : ".");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string full = std::string(dir && *dir ? dir : ".") + "/" + e->d_name;
    out.push_back({e->d_name, platform_isdir(full.c_str())});
  }
  closedir(d);
  return out;
}

void platform_sleep(uint32_t ms) {
  timespec ts{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int platform_processorcount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? (int)n : 1;
}

void platform_setpriority(int priorityclass, int threadpriority) {
  // Idle class ≈ nice 19; within the normal class the thread priority −2 … −15 maps to a
  // moderate to strong niceness. Raising priority needs privileges, so only lower it.
  int nice = 0;
  if (priorityclass == 0x40) nice = 19;
  else if (threadpriority <= -15) nice = 15;
  else if (threadpriority < 0) nice = 5;
  if (nice > 0) setpriority(PRIO_PROCESS, 0, nice);
}

int platform_onbattery() {
  // On battery when some battery reports "Discharging" and no mains supply reports online.
  std::vector<PlatformDirEntry> supplies = platform_listdir("/sys/class/power_supply");
  bool discharging = false, mainsonline = false, anymains = false;
  for (const auto& e : supplies) {
    std::string base = "/sys/class/power_supply/" + e.name + "/";
    char buf[64] = {0};
    FILE* f = fopen((base + "type").c_str(), "r");
    if (!f) continue;
    if (!fgets(buf, sizeof buf, f)) buf[0] = 0;
    fclose(f);
    std::string type = buf;
    if (type.rfind("Mains", 0) == 0) {
      anymains = true;
      if ((f = fopen((base + "online").c_str(), "r"))) {
        int v = 0;
        if (fscanf(f, "%d", &v) == 1 && v) mainsonline = true;
        fclose(f);
      }
    } else if (type.rfind("Battery", 0) == 0) {
      if ((f = fopen((base + "status").c_str(), "r"))) {
        if (fgets(buf, sizeof buf, f) && !strncmp(buf, "Discharging", 11)) discharging = true;
        fclose(f);
      }
    }
  }
  if (mainsonline) return 0;
  return (discharging || (anymains && !mainsonline && discharging)) ? 1 : 0;
}

int platform_system(const char* command) {
  int r = std::system(command);
  if (r == -1) return -1;
  return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

int64_t platform_spawn(const std::vector<std::string>& argv, const char* inpath,
                       const char* outpath) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, inpath, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, outpath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  posix_spawnattr_init(&attr);
  sigset_t def;
  sigemptyset(&def);
  sigaddset(&def, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &def);
  posix_spawnattr_setpgroup(&attr, 0);  // a group of its own, ended as one
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int err = posix_spawnp(&pid, args[0], &files, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attr);
  return err == 0 && pid > 0 ? (int64_t)pid : -1;
}

int platform_waitprocess(int64_t pid, uint32_t ms, int* code) {
  int64_t end = platform_msclock() + ms;
  for (;;) {
    int status = 0;
    pid_t r = waitpid((pid_t)pid, &status, WNOHANG);
    if (r == (pid_t)pid) {
      if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return 1;
    }
    if (r < 0 && errno != EINTR) return -1;
    int64_t left = end - platform_msclock();
    if (left <= 0) return 0;
    usleep((useconds_t)(left < 20 ? left : 20) * 1000);
  }
}

void platform_endprocessgroup(int64_t pid, uint32_t gracems) {
  if (pid <= 0) return;
  kill(-(pid_t)pid, SIGTERM);
  if (platform_waitprocess(pid, gracems, nullptr) != 0) {
    kill(-(pid_t)pid, SIGKILL);  // the rest of the group, if the leader has gone
    return;
  }
  kill(-(pid_t)pid, SIGKILL);
  platform_waitprocess(pid, 5000, nullptr);
}

bool platform_hasprogram(const char* name) {
  const char* path = getenv("PATH");
  if (!path) return false;
  std::string p = path;
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    std::string candidate = p.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// ---- terminal ----

namespace {
std::mutex termlock;
bool rawon = false;
termios savedterm;

void restoreterminal() {
  if (rawon) {
    tcsetattr(STDIN_FILENO, TCSANOW, &savedterm);
    rawon = false;
  }
}
}  // namespace

bool platform_stdout_isterminal() {
  return isatty(STDOUT_FILENO);
}

bool platform_stdin_isterminal() {
  return isatty(STDIN_FILENO);
}

int platform_terminal_columns() {
  winsize ws;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

int platform_terminal_rows() {
  winsize ws;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0) return ws.ws_row;
  return 24;
}

void platform_gotoxy(int x, int y) {
  printf("\x1b[%d;%dH", y, x);
  fflush(stdout);
}

void platform_clreol() {
  if (platform_stdout_isterminal()) {
    fputs("\x1b[K", stdout);
    fflush(stdout);
  }
}

void platform_cursorup(int n) {
  if (n > 0 && platform_stdout_isterminal()) {
    printf("\x1b[%dF", n);
    fflush(stdout);
  }
}

void platform_clrscr() {
  fputs("\x1b[2J\x1b[H", stdout);
  fflush(stdout);
}

int platform_getkey() {
  fflush(stdout);
  if (!isatty(STDIN_FILENO)) {
    unsigned char c;
    return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
  }
  termios old, t;
  tcgetattr(STDIN_FILENO, &old);
  t = old;
  t.c_lflag &= ~(ICANON | ECHO);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &t);
  unsigned char c;
  ssize_t n = read(STDIN_FILENO, &c, 1);
  tcsetattr(STDIN_FILENO, TCSANOW, &old);
  return n == 1 ? c : -1;
}

void platform_rawmode(bool on) {
  std::lock_guard<std::mutex> lk(termlock);
  if (!isatty(STDIN_FILENO)) return;
  if (on && !rawon) {
    tcgetattr(STDIN_FILENO, &savedterm);
    termios t = savedterm;
    t.c_lflag &= ~(ICANON | ECHO);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &t);
    rawon = true;
    static bool registered = false;
    if (!registered) {
      registered = true;
      atexit(restoreterminal);
    }
  } else if (!on) {
    restoreterminal();
  }
}

int platform_pollkey() {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return -1;
  unsigned char c;
  return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
}

bool platform_waitkey(uint32_t ms, bool keys) {
  int timeout = ms > 86400000u ? 86400000 : (int)ms;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  int n = poll(keys ? &p : nullptr, keys ? 1 : 0, timeout);
  if (n > 0 && (p.revents & POLLIN)) return true;
  if (n > 0) poll(nullptr, 0, timeout);  // input that can only fail: wait without it
  return false;
}

// ---- message boxes ----

namespace {
bool messagelog = false;
std::mutex messagelock;
}  // namespace

void platform_setmessagelog(bool tolog) {
  messagelog = tolog;
}

void platform_messagebox(const char* text, const char* title) {
  std::lock_guard<std::mutex> lk(messagelock);
  if (messagelog) {
    FILE* f = fopen("messages.log", "a");
    if (f) {
      fprintf(f, "[%s] %s\n", title ? title : "", text ? text : "");
      fclose(f);
    }
    return;
  }
  fprintf(stderr, "\n[%s] %s\n", title ? title : "", text ? text : "");
  fflush(stderr);
}

// ---- the process clock ----

namespace {
double eithertime_QPC() {
  return (double)platform_perfcounter() / (double)platform_perffrequency();
}
double eithertime_GTC() {
  return platform_tickcount() * 0.001;
}
double eithertime_first();
double (*clockfunction)() = eithertime_first;
double eithertime_first() {
  clockfunction = platform_perffrequency() > 0 ? eithertime_QPC : eithertime_GTC;
  return clockfunction();
}
}  // namespace

double eithertime() {
  return clockfunction();
}

// ---- signals ----

volatile std::sig_atomic_t simstop = 0;

namespace {
void (*quithandler)() = nullptr;
extern "C" void onsignal(int) {
  if (quithandler) quithandler();
}
}  // namespace

void platform_onquitsignal(void (*handler)()) {
  quithandler = handler;
  struct sigaction sa {};
  sa.sa_handler = onsignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

// ---- environment ----

const char* platform_getenv(const char* name) {
  return name ? getenv(name) : nullptr;
}

// ---- TCP client sockets ----

int64_t platform_msclock() {
  return platform_perfcounter() / 1000000LL;
}

namespace {

// One resolution shared by the caller and the resolver thread; whichever finishes last frees
// it (the caller may leave at its deadline while the resolver is still waiting).
struct Resolution {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  int error = 0;
  addrinfo* list = nullptr;
  ~Resolution() {
    if (list) freeaddrinfo(list);
  }
};

// Waits for `events` on the socket until the deadline or cancel; 1 ready, 0 gave up, −1 error.
int waitfor(int sock, short events, int64_t deadline, bool (*cancel)()) {
  for (;;) {
    if (cancel && cancel()) return 0;
    int64_t left = deadline - platform_msclock();
    if (left <= 0) return 0;
    pollfd p = {sock, events, 0};
    int r = poll(&p, 1, (int)(left < 100 ? left : 100));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r > 0) return 1;  // readiness, or an error/hang-up the next call will report
  }
}

}  // namespace

int platform_tcpconnect(const char* host, uint16_t port, int64_t deadline, bool (*cancel)()) {
  if (!host || !*host) return -1;
  auto res = std::make_shared<Resolution>();
  std::string name = host;
  char service[8];
  snprintf(service, sizeof service, "%u", (unsigned)port);
  std::string serv = service;
  try {
    std::thread([res, name, serv] {
      addrinfo hints = {};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* list = nullptr;
      int e = getaddrinfo(name.c_str(), serv.c_str(), &hints, &list);
      std::lock_guard<std::mutex> lock(res->m);
      res->error = e;
      res->list = e == 0 ? list : nullptr;
      res->done = true;
      res->cv.notify_all();
    }).detach();
  } catch (...) {
    return -1;  // no thread could be started
  }
  {
    std::unique_lock<std::mutex> lock(res->m);
    while (!res->done) {
      if (cancel && cancel()) return -1;
      if (platform_msclock() >= deadline) return -1;
      res->cv.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (res->error || !res->list) return -1;
  }
  for (addrinfo* a = res->list; a; a = a->ai_next) {
    int sock = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (sock < 0) continue;
    int r;
    do r = connect(sock, a->ai_addr, a->ai_addrlen);
    while (r < 0 && errno == EINTR);
    if (r == 0) return sock;
    if (errno == EINPROGRESS) {
      int w = waitfor(sock, POLLOUT, deadline, cancel);
      int err = 0;
      socklen_t len = sizeof err;
      if (w == 1 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
        return sock;
      close(sock);
      if (w == 0) return -1;  // out of time: no later address is tried
      continue;
    }
    close(sock);
  }
  return -1;
}

int platform_tcpsend(int sock, const void* data, size_t n, int64_t deadline, bool (*cancel)()) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    if (waitfor(sock, POLLOUT, deadline, cancel) != 1) return 0;
    ssize_t k = send(sock, p, n, MSG_NOSIGNAL);
    if (k < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return 0;
    }
    p += k;
    n -= (size_t)k;
  }
  return 1;
}

long platform_tcprecv(int sock, void* buf, size_t n, int64_t deadline, bool (*cancel)()) {
  for (;;) {
    int w = waitfor(sock, POLLIN, deadline, cancel);
    if (w == 0) return -2;
    if (w < 0) return -1;
    ssize_t k = recv(sock, buf, n, 0);
    if (k >= 0) return (long)k;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return -1;
  }
}

void platform_tcpclose(int sock) {
  if (sock >= 0) close(sock);
}
