// Merging the worker threads' output files: an aperture writing from several tracking threads
// writes "<name>$thread$<k>" files, which the run cycle folds into "<name>" after each run.
// Called once per run by the cycle through foreachfilein(".", …).
#include <cstdio>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/platform.h"
#include "base/text.h"
#include "results/autosave.h"

// Appends a per-thread file to its main file and deletes it. Names without "$thread$" (any
// case) are left alone; an empty or unreadable file is left in place. The thread file is
// deleted only when the whole content was appended and flushed, so a failed write loses
// nothing.
void collatethreadoutputfile(const char* filename, void*) {
  if (!filename) return;
  const char* mark = stristr(filename, "$thread$");
  if (!mark) return;
  std::string target(filename, (size_t)(mark - filename));
  std::vector<unsigned char> data = filedata(filename);
  if (data.empty()) return;
  FILE* f = std::fopen(target.c_str(), "ab");
  if (!f) return;
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = (std::fclose(f) == 0) && ok;
  if (ok) platform_remove(filename);
}
