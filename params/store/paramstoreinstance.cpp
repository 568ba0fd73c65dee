// The program's parameter store, filled from the parameter table when
// first used (so no other file's static initialisation order matters).
#include "params/store/paramstore.h"
#include "params/table/paramtable.h"
#include "params/wiring/languagewiring.h"
#include "params/wiring/resolverwiring.h"
#include "params/wiring/tlswiring.h"

namespace {

// Room for the table and a few rows to spare.
constexpr int kStoreCapacity = kParamTableSize + 16;

Param* programItems[kStoreCapacity];

int fillProgramStore(Param** items, int capacity) {
  int count = defineParameters(items, capacity);
  wireResolverSettings();
  wireTlsSettings();
  wireDeviceLanguage();
  return count;
}

}  // namespace

ParamStore paramStore(fillProgramStore, programItems, kStoreCapacity);
