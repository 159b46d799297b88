// Loopback peers for the network tests: starts a program (scripted HTTP peer, php -S,
// tinyproxy) as a child process, learns or chooses its port, waits until it accepts, and
// stops it by its PID. Only 127.0.0.1; every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace nettest {

struct Peer {
  pid_t pid = -1;
  int port = 0;
};

// A port that was free a moment ago (bound to port 0 and released).
inline int freeport() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, (sockaddr*)&a, sizeof a) == 0 && getsockname(s, (sockaddr*)&a, &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

inline bool accepts(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((uint16_t)port);
  bool ok = connect(s, (sockaddr*)&a, sizeof a) == 0;
  close(s);
  return ok;
}

// Starts argv[0] with its output to `logfile` (or, with readport, reads the port it prints on
// its first line through a pipe). Waits up to 5 s for the port to accept.
inline Peer startpeer(const std::vector<std::string>& argv, int port, bool readport,
                      const std::string& logfile = "/dev/null") {
  Peer p;
  int fds[2] = {-1, -1};
  if (readport && pipe(fds) != 0) return p;
  pid_t pid = fork();
  if (pid == 0) {
    if (readport) {
      dup2(fds[1], 1);
      close(fds[0]);
    } else {
      FILE* f = freopen(logfile.c_str(), "w", stdout);
      (void)f;
    }
    FILE* e = freopen("/dev/null", "w", stderr);
    (void)e;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  p.pid = pid;
  p.port = port;
  if (readport) {
    close(fds[1]);
    char buf[16] = {0};
    size_t n = 0;
    while (n < sizeof buf - 1) {
      ssize_t k = read(fds[0], buf + n, 1);
      if (k <= 0 || buf[n] == '\n') break;
      n++;
    }
    close(fds[0]);
    p.port = atoi(buf);
  }
  for (int i = 0; i < 100 && p.port > 0 && !accepts(p.port); i++) usleep(50000);
  return p;
}

// Ends the peer by its PID (SIGTERM, then SIGKILL after 2 s) and reaps it.
inline void stoppeer(Peer* p) {
  if (p->pid <= 0) return;
  kill(p->pid, SIGTERM);
  for (int i = 0; i < 40; i++) {
    if (waitpid(p->pid, nullptr, WNOHANG) == p->pid) {
      p->pid = -1;
      return;
    }
    usleep(50000);
  }
  kill(p->pid, SIGKILL);
  waitpid(p->pid, nullptr, 0);
  p->pid = -1;
}

}  // namespace nettest
