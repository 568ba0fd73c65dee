// The web pages' restart: installs the starter of the "ShutDown" task
// that the web server calls.
#ifndef APP_WEBRESTART_H
#define APP_WEBRESTART_H

void installWebRestart();

#endif
