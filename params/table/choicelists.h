// The choice lists of the P3List parameters (rows in choicelists.def).
//
// For each list NAME there is the row table kChoicesNAME and its row count
// kChoicesNAMECount. Lists whose display texts come from the catalogue are
// writable: applyCatalogueToChoiceLists fills their display texts once while
// the parameter table is built.
#ifndef PARAMS_TABLE_CHOICELISTS_H
#define PARAMS_TABLE_CHOICELISTS_H

#include <cstdint>

#include "params/types/parambase.h"

#define CHOICE_ROWS_CONST_0 const
#define CHOICE_ROWS_CONST_1

#define CHOICE_LIST(name, fromCatalogue)                          \
    extern CHOICE_ROWS_CONST_##fromCatalogue ChoiceRow kChoices##name[]; \
    extern const int32_t kChoices##name##Count;
#define CHOICE(key, display, third)
#define CHOICE_LIST_END(name)
#include "params/table/choicelists.def"
#undef CHOICE_LIST
#undef CHOICE
#undef CHOICE_LIST_END

// Replaces the display text of every row of the lists marked as taking
// their display texts from the catalogue by getmuText of the English text.
void applyCatalogueToChoiceLists();

#endif
