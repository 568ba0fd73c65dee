// Replacing a file that holds secrets.
#ifndef SNMP_PRIVATEFILE_H
#define SNMP_PRIVATEFILE_H

#include <string>

// Writes text as the whole file at path (an already mapped path): into a
// temporary beside it created with mode 0600 whatever the umask, synced
// and renamed over path, so no reader ever sees a partial file or one
// readable by others. true on success; on failure the old file stays and
// the temporary is removed.
bool replacePrivateFile(const std::string& path, const std::string& text);

#endif
