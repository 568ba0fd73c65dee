// The wireless status reader is not built yet: there is no serial number to read.
#include "web/pages/sessionpagetable.h"

void readWlanSerial() {}
