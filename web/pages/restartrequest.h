// The restart the web pages ask for: a "ShutDown" after 4 s, a cold one
// (exit code 2) when the form says "cold". The task lives in the program
// above the web server, which installs its starter here.
#ifndef WEB_PAGES_RESTARTREQUEST_H
#define WEB_PAGES_RESTARTREQUEST_H

// Delay of a restart asked for by a page, in seconds.
constexpr int kWebRestartDelaySeconds = 4;

// Starts the shutdown with the delay; cold asks for exit code 2. True
// when it was started.
using WebRestartStarter = bool (*)(int delaySeconds, bool cold);
void setWebRestartStarter(WebRestartStarter starter);

// Starts the restart without a page (for handlers that answer otherwise);
// false when no starter is installed or it failed.
bool startWebRestart(bool cold);

#endif
