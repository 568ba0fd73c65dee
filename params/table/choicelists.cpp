#include "params/table/choicelists.h"

#include "runtime/text/gettext.h"

#define CHOICE_LIST(name, fromCatalogue) CHOICE_ROWS_CONST_##fromCatalogue ChoiceRow kChoices##name[] = {
#define CHOICE(key, display, third) {key, display, third},
#define CHOICE_LIST_END(name)         \
    };                                \
    const int32_t kChoices##name##Count = static_cast<int32_t>(sizeof kChoices##name / sizeof(ChoiceRow));
#include "params/table/choicelists.def"
#undef CHOICE_LIST
#undef CHOICE
#undef CHOICE_LIST_END

namespace {

void displayFromCatalogue(ChoiceRow* rows, int32_t count) {
    for (int32_t i = 0; i < count; ++i)
        rows[i].display = getmuText(rows[i].display);
}

void displayFromCatalogue(const ChoiceRow*, int32_t) {}

}  // namespace

void applyCatalogueToChoiceLists() {
#define CHOICE_LIST(name, fromCatalogue) displayFromCatalogue(kChoices##name, kChoices##name##Count);
#define CHOICE(key, display, third)
#define CHOICE_LIST_END(name)
#include "params/table/choicelists.def"
#undef CHOICE_LIST
#undef CHOICE
#undef CHOICE_LIST_END
}
