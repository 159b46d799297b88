// The component registry: the one table of cell classes, each naming its key, the
// size of its run-time record and the operations its component code supplies (see
// lattice/cellclass.h for the slots and sim/components/README.md for adding a class). The table
// is a compile-time constant; registry_install hands it to the cell tree's look-up. Read by
// every class look-up; nothing in it changes while the program runs.
#pragma once

#include "lattice/cellclass.h"

extern const CellClass cellclasses[];
extern const int NCELLCLASSES;  // rows in cellclasses

// Registers `cellclasses` as the table every class look-up searches (cellclass_settable). The
// start-up calls it before checking the record sizes; the simulation set-up calls it again
// (harmless) so that tools and tests that build machines need nothing else. Main thread.
void registry_install();
