// The answers a settings handler gives instead of its own page: the wait
// page, which shows a message and moves on to the refresh target.
#ifndef WEB_PAGES_WAITPAGE_H
#define WEB_PAGES_WAITPAGE_H

class HttpRequest;

// Renders "/wait4.html" with message (already translated) as "DisplayMsg"
// (none when empty); the refresh target defaults to "/start.html". A
// handler result: template text, or -1 when no pipe could be made.
int answerWithWaitPage(HttpRequest& request, const char* message);

#endif
