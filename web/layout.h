// The look shared by storeweb's pages: one stylesheet (GET /style.css,
// served with a version in its address so that a browser fetches it once
// and keeps it) and the head and navigation header every page starts with.
#ifndef VELTO_WEB_LAYOUT_H
#define VELTO_WEB_LAYOUT_H

#include <string>

struct webrequest;

#define LAYOUT_STYLE_PATH "/style.css"

// The page's start: doctype, head (title, viewport, the stylesheet link,
// extraHead: a page's own <style> or nothing) up to and with "</head>".
std::string layout_head(const char *title, const std::string &extraHead = std::string());
// The header with the navigation: a link to every page the user's rights
// reach (current: the path of the page shown, marked as such).
std::string layout_nav(const webrequest &rq, const char *current);
// The two above with "<body>" between them.
std::string layout_start(const webrequest &rq, const char *title, const char *current);

// Answers GET /style.css.
int layout_serveStyle(const webrequest &rq);

#endif
