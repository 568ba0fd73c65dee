// TCP ports for servers that tests start on this machine.
#ifndef TESTS_SUPPORT_TEST_PORT_H
#define TESTS_SUPPORT_TEST_PORT_H

// A port on which nothing is bound now, chosen at random below the
// kernel's range of local ports for outgoing connections: a port taken
// from that range (bound to port 0 and closed again) may be given to a
// client socket of a test running alongside before the server binds it.
// -1 when none is found.
int freeTestPort();

#endif
