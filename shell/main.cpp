// Platform entry: joins the command line into one text (the program path first, quoted when
// it holds a blank) and hands it to the run cycle.
#include <string>

#include "shell/ordax.h"

int main(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; i++) {
    std::string a = argv[i];
    if (i) line += ' ';
    if (a.find_first_of(" \t") != std::string::npos) line += '"' + a + '"';
    else line += a;
  }
  return TAVLIB_main2(line.data());
}
