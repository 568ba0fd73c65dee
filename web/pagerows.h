// The program's page table rows: every URL path of the web interface.
#ifndef WEB_PAGEROWS_H
#define WEB_PAGEROWS_H

#include "web/pagetable.h"

constexpr int kPageRowCount = 83;
// Constant but for the fileName fields, which the table fills in.
extern PageRow pageRows[kPageRowCount];

#endif
