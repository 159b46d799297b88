#include "base/debuglog.h"

#include <string>

#include "base/platform.h"

uint64_t debuglog_maxbytes = 16u << 20;

FILE* debuglog_open(const char* path, const char* mode) {
  const std::string cutline = "*** Log cut here: it reached its limit of " +
                              std::to_string(debuglog_maxbytes) + " bytes ***";
  return platform_cappedfile(path, mode, debuglog_maxbytes, cutline.c_str());
}
