// Shared by the benchmarks that run bundled lattices: finds the source tree from the
// working directory.
#pragma once

#include <filesystem>

// Moves into the first of the working directory and its three parents that holds
// "lattices/decaychannel.txt". Returns true when one was found (and is now the working
// directory), false otherwise (the working directory is unchanged).
inline bool gotolattices() {
  std::filesystem::path p = std::filesystem::current_path();
  for (int i = 0; i < 4; i++) {
    if (std::filesystem::exists(p / "lattices" / "decaychannel.txt")) {
      std::filesystem::current_path(p);
      return true;
    }
    if (!p.has_parent_path()) break;
    p = p.parent_path();
  }
  return false;
}
