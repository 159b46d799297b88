// The program's version: recorded in every result line, shown in the title and compared by
// lattice files ("!MINVER", whose number language/parser.h keeps in step with this text).
#pragma once

inline constexpr const char* ORDAX_VERSION = "v4.47_dev";
inline constexpr const char* ORDAX_TITLE = "Ordax Simulation v4.47_dev";
