// The appliance program: no options; the environment variable "KickOff"
// counts warm starts. The exit code tells the starting process what to do.
#include "app/startup.h"

int main() { return runProgram(); }
