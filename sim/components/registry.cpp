// The cell class table: one row per class of cell, last rows winning the look-up (so
// "beamparticle" is a particle, see cellclass_find). A component class plugs in here with
// one row naming its header's record size and operations; the rows still marked "provisional"
// carry the size of a class whose component code is not written yet and have no operations,
// so tracking passes through such cells. Each row's size is checked against RTD_SIZE when the
// program is built and again by rtd_check at start-up.
#include "sim/components/registry.h"

#include <iterator>

#include "sim/components/aperture.h"
#include "sim/components/beamdef.h"
#include "sim/components/blockage.h"
#include "sim/components/bmagnet.h"
#include "sim/components/magnet3.h"
#include "sim/components/multipole.h"
#include "sim/components/rfcavity.h"
#include "sim/components/solenoid.h"
#include "sim/components/sources.h"

constexpr CellClass cellclasses[] = {
    {.key = "rodsource",
     .datasize = RODSOURCE_DATASIZE,
     .collisiondetect = CDrodsource,
     .inside = inrodsource,
     .boundingbox = BBrodsource,
     .constructor = conrodsource},
    {.key = "marssource", .datasize = MARSSOURCE_DATASIZE, .constructor = conmarssource},
    {.key = "blockage",
     .datasize = BLOCKAGE_DATASIZE,
     .collisiondetect = CDblockage,
     .inside = inblockage,
     .boundingbox = BBblockage,
     .constructor = conblockage},
    {.key = "beam", .datasize = BEAM_DATASIZE, .constructor = conbeam},
    {.key = "solenoid",
     .datasize = SOLENOID_DATASIZE,
     .field = solfield,
     .collisiondetect = CDsolenoid,
     .inside = insolenoid,
     .boundingbox = BBsolenoid,
     .constructor = consolenoid},
    {.key = "bmagnet",
     .datasize = BMAGNET_DATASIZE,
     .field = bmagnetfield,
     .boundingbox = BBbmagnet,
     .constructor = conbmagnet,
     .loadfieldmaps = loadbmagfields},  // the one map every bending magnet shares
    {.key = "-aperture",
     .datasize = APERTURE_DATASIZE,
     .collisiondetect = CDaperture,
     .boundingbox = BBaperture,
     .constructor = conaperture,
     .destructor = Aperture_free,  // the record owns its output-file name
     .restore = Aperture_restore,
     .commit = Aperture_commit},   // output rows and moment sums
    {.key = "RF",
     .datasize = RFCAVITY_DATASIZE,
     .collisiondetect = CDrfcavity,
     .boundingbox = BBrfcavity,
     .constructor = conrfcavity,
     .commit = RFCavity_commit,          // synchronised phases
     .synccollision = CDrfcavity_sync,
     .synchronise = syncrfphases_track},
    {.key = "magnet3",
     .datasize = MAGNET3_DATASIZE,
     .field = Magnet3_field,
     .collisiondetect = Magnet3_collisiondetect,
     .inside = Magnet3_inside,
     .boundingbox = Magnet3_buildboundingbox,
     .constructor = Magnet3_constructor,
     .destructor = Magnet3_destructor,  // coefficient tables and profile parameters
     .restore = Magnet3_restore},
    {.key = "multipole",
     .datasize = MULTIPOLE_DATASIZE,
     .field = Multipole_field,
     .collisiondetect = Multipole_collisiondetect,
     .inside = Multipole_inside,
     .boundingbox = Multipole_buildboundingbox,
     .constructor = Multipole_constructor,
     .destructor = Multipole_destructor,  // strengths and a share of the end tables
     .restore = Multipole_restore},
    {.key = "matchscan", .datasize = 408},   // provisional: matching scan
    {.key = "dxfimport", .datasize = 128},   // provisional: drawing import (display)
    {.key = "particle", .datasize = PARTICLE_DATASIZE, .constructor = conparticle},
    {.key = "drift", .datasize = 0},         // a drift has no run-time data and no operations
};

const int NCELLCLASSES = (int)std::size(cellclasses);

namespace {

constexpr bool everyrowfits() {
  for (const CellClass& row : cellclasses)
    if (row.datasize > (uint32_t)RTD_SIZE) return false;
  return true;
}
static_assert(everyrowfits(), "a class record is larger than RTD_SIZE (lattice/cell.h)");

}  // namespace

void registry_install() {
  cellclass_settable(cellclasses, NCELLCLASSES);
}
