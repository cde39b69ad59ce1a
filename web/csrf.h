// Protection of the pages' state-changing requests against cross-site
// request forgery: a per-daemon random secret, a token bound to the
// authenticated user (an HMAC of the user name), and the check that every
// state-changing request of the pages goes through.
#ifndef VELTO_WEB_CSRF_H
#define VELTO_WEB_CSRF_H

#include <string>

struct webrequest;

// Draws the daemon's secret (getrandom). 0, or -1 after a log when the
// system gives no random bytes. Call once before the daemon serves.
int csrf_init();

// The token of user ("" when the daemon has no users): 64 hex digits. The
// pages embed it; it is valid for the daemon's life.
std::string csrf_token(const std::string &user);

// Name of the form field and of the header that carry the token.
#define CSRF_FIELD "csrf"
#define CSRF_HEADER "X-CSRF-Token"

// The hidden input of a page's form that carries the token of rq's user.
std::string csrf_hiddenField(const webrequest &rq);

// True when a state-changing request (POST, DELETE ...) may be acted on.
// body: the request's form body when it has one (the token may be the
// field CSRF_FIELD of an application/x-www-form-urlencoded body).
//
// The rules, and why:
// - An Origin header that names another origin than this server (or
//   "null") is refused: browsers send Origin with every cross-site POST.
// - A request whose Content-Type is not one that an HTML form can send
//   (application/x-www-form-urlencoded, multipart/form-data, text/plain, or
//   none, judged by the exact media type: frontdoor_formContentType) passes
//   without a token, and its service reads the body only as that type (a
//   form body sent as application/json is refused, never read as a form):
//   another site's page can send such a request only through
//   fetch/XMLHttpRequest, which the browser lets cross origins only after a
//   CORS preflight that this server never grants. This keeps STOW-RS
//   (multipart/related) and the JSON API (application/json) working for
//   scripts and DICOMweb clients with basic authentication, which know
//   nothing of tokens.
// - Every other request must carry the user's token, in the header
//   CSRF_HEADER or the form field CSRF_FIELD, compared in constant time. A
//   request with basic authentication is not exempt: a browser sends
//   remembered credentials with cross-site forms too.
// The token is secret only because another site's page cannot read this
// server's pages: storeweb sends no CORS headers, and must never send them
// with a page that embeds a token.
// A refusal is logged and counted.
bool csrf_ok(const webrequest &rq, const std::string &body);

#endif
