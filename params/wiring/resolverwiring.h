// Lets the resolver read the parameters `dns` and `ipv6`.
#ifndef PARAMS_WIRING_RESOLVERWIRING_H
#define PARAMS_WIRING_RESOLVERWIRING_H

// Installs the readers of `dns` and `ipv6` (of the program's store). Done
// when the store is first filled; calling it again is harmless.
void wireResolverSettings();

#endif
