// The program's life: the start-up in its fixed order, the supervision
// loop and the end sequence that takes the network and the board down.
#ifndef APP_STARTUP_H
#define APP_STARTUP_H

#include <cstdint>

// main's body: start-up, supervision, end; returns the exit code.
int runProgram();

// The "KickOff" value of the environment text: atoi, -1 when absent.
int kickOffFromText(const char* text);

// compat_id tests of the identity record.
bool isWlanModel(uint32_t compatId);
bool isIpv6Model(uint32_t compatId);

#endif
