// libFuzzer target for the small files the project's servers send: the input is read as
// "servers.csv" (a random usable server is drawn, and drawn again without it), line by line
// as "latticelist.txt" names, and as the signal of "signal.dat". A drawn server's fields must
// be fit for an FTP script; the kept version and message must fit their buffers and hold no
// control byte. Built by scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/files.h"
#include "fuzz/filefuzz.h"
#include "net/exchange.h"

namespace {

char latest[100], message[1000];

bool printable(const char* s) {
  for (; *s; s++)
    if ((unsigned char)*s < 32 || *s == 127 || *s == '[') return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  static bool configured = [] {
    ExchangeSettings s = exchange_settings();
    s.latestversion = latest;
    s.servermessage = message;
    s.noticeshown = false;
    exchange_configure(s);
    return true;
  }();
  (void)configured;
  filefuzz::writefile("servers.csv", data, size);
  ExchangeServer server;
  if (getrandomserver(&server)) {
    for (const std::string* f : {&server.host, &server.ftpuser, &server.ftppassword})
      if (!exchange_serverfield_ok(*f)) abort();
    std::vector<std::string> skip{server.host};
    ExchangeServer other;
    if (getrandomserver(&other, &skip) && other.host == server.host) abort();
  }

  // The lattice list is read as the refresh reads it: line by line, trailing blanks cut.
  if (FILE* f = std::fopen("servers.csv", "rb")) {
    while (std::optional<std::string> line = fgetline(f)) {
      std::string name = *line;
      while (!name.empty() && (unsigned char)name.back() <= 32) name.pop_back();
      if (exchange_latticename_ok(name.c_str()) &&
          (name.empty() || name.size() > 64 || name[0] == '_' || name.find('.') != std::string::npos))
        abort();
    }
    std::fclose(f);
  }

  const std::string text(reinterpret_cast<const char*>(data), size);
  exchange_takesignal(text);
  if (std::strlen(latest) > 99 || std::strlen(message) > 999) abort();
  if (!printable(latest) || !printable(message)) abort();
  return 0;
}
