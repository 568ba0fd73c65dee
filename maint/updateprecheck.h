// The quick check of an update file before the update task is started.
#ifndef MAINT_UPDATEPRECHECK_H
#define MAINT_UPDATEPRECHECK_H

// 0 when the file may be handed to the update task; -9 no descriptor,
// -7 an update is already verifying, working or waiting for the restart,
// -10 shorter than the header, -11 shorter than header plus payload,
// -12 not an update image. Resets the update status unless it refuses
// with -9 or -7. The file position is left behind the header.
int precheckUpdateFile(int fd);

#endif
