// The table of every configuration parameter of the device (rows in
// paramtable.def, choice lists in choicelists.def).
#ifndef PARAMS_TABLE_PARAMTABLE_H
#define PARAMS_TABLE_PARAMTABLE_H

class Param;

// Number of parameters the table defines.
constexpr int kParamTableSize = 790;

// Creates the parameter objects with their defaults and stores them into
// items in byte-wise (strcmp) order of their keys. First sets the display
// texts of the lists marked as taken from the catalogue. Stores at most
// capacity objects (creating none beyond it) and returns how many it stored:
// kParamTableSize when capacity is large enough. Meant to run once.
int defineParameters(Param** items, int capacity);

#endif
