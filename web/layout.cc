// The shared stylesheet of storeweb's pages and the header that links them.
#include "web/layout.h"

#include <microhttpd.h>
#include <stdio.h>
#include <string.h>

#include "access/accesspolicy.h"
#include "web/httpd.h"
#include "web/webserver.h"

// The application's stylesheet: a calm palette, one type scale, tables,
// forms and buttons alike on every page, and a layout that reflows below
// tablet width (the header wraps, tables scroll sideways in their box).
static const char styleSheet[] = R"CSS(
:root{--fg:#1d2530;--muted:#5b6675;--line:#d8dee6;--bg:#f5f7fa;--card:#fff;--accent:#1f5fa8;
--accent-fg:#fff;--bad:#b3261e;--good:#1e7a3c;--warn:#8a5a00;--radius:6px}
*{box-sizing:border-box}
html{font-size:15px}
body{margin:0;font-family:system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans",sans-serif;
color:var(--fg);background:var(--bg);line-height:1.45}
header.app{background:#16324f;color:#fff;display:flex;flex-wrap:wrap;align-items:center;
gap:.2em 1.2em;padding:.5em 1.2em}
header.app .brand{font-weight:600;letter-spacing:.04em;margin-right:.6em}
header.app nav{display:flex;flex-wrap:wrap;gap:.2em}
header.app nav a{color:#dbe7f5;text-decoration:none;padding:.35em .7em;border-radius:var(--radius)}
header.app nav a:hover,header.app nav a:focus{background:#24496f;color:#fff}
header.app nav a[aria-current=page]{background:#fff;color:#16324f;font-weight:600}
main{max-width:1400px;margin:0 auto;padding:1em 1.2em 3em}
h1{font-size:1.6rem;margin:.4em 0 .6em}h2{font-size:1.2rem;margin:1.4em 0 .5em}
section,.card{background:var(--card);border:1px solid var(--line);border-radius:var(--radius);
padding:.8em 1em;margin:1em 0}
.scroll{overflow-x:auto}
table{border-collapse:collapse;width:100%;background:var(--card)}
th,td{border-bottom:1px solid var(--line);padding:.4em .6em;text-align:left;vertical-align:top}
th{background:#eef2f7;font-weight:600;font-size:.9rem;color:var(--muted);white-space:nowrap}
tr:hover td{background:#f9fbfd}
tr.failed td,.error,.failed{color:var(--bad)}
tr.done td{color:var(--muted)}tr.incomplete td{color:var(--bad)}
.ok{color:var(--good)}.already{color:var(--muted)}.paused{color:var(--warn)}
p.message{background:#fdecea;border:1px solid #f3b9b3;color:var(--bad);padding:.5em .8em;
border-radius:var(--radius)}
p.notice{background:#e8f3ec;border:1px solid #b5d9c1;color:var(--good);padding:.5em .8em;
border-radius:var(--radius)}
form.grid,form#add,form#edit,form#send{display:grid;grid-template-columns:repeat(auto-fill,minmax(15em,1fr));gap:.5em 1em}
label{display:block;margin:.2em 0;font-size:.9rem;color:var(--muted)}
form.inline{display:inline}
input,select,textarea{font:inherit;color:var(--fg);padding:.35em .5em;border:1px solid #b8c2cf;
border-radius:var(--radius);background:#fff;max-width:100%}
label input,label select{display:block;width:100%;margin-top:.15em}
input:focus,select:focus,button:focus{outline:2px solid #7fa7d9;outline-offset:1px}
button{font:inherit;padding:.35em .9em;border-radius:var(--radius);border:1px solid var(--accent);
background:var(--accent);color:var(--accent-fg);cursor:pointer}
button.secondary{background:#fff;color:var(--accent)}
button.danger{background:var(--bad);border-color:var(--bad)}
button:disabled{opacity:.5;cursor:default}
div.actions{display:flex;flex-wrap:wrap;gap:.4em;align-items:center}
td.actions form{display:inline;margin-right:.3em}
section:empty{display:none}section>h2:first-child{margin-top:0}
form.search{display:flex;flex-wrap:wrap;gap:.4em 1em;align-items:flex-end}
form.search label input{width:auto}
code{font-size:.9em;overflow-wrap:anywhere}
progress{width:10em}
@media (max-width:800px){html{font-size:14px}main{padding:.6em}th,td{padding:.35em .4em}
header.app{padding:.4em .6em}}
)CSS";

// The stylesheet's version: changes with its text, so the long cache time
// never keeps an old one.
static std::string styleVersion()
{
    unsigned long long h = 1469598103934665603ULL;
    for (const char *p = styleSheet; *p != '\0'; p++) {
        h ^= (unsigned char)*p;
        h *= 1099511628211ULL;
    }
    char text[20];
    snprintf(text, sizeof text, "%012llx", h & 0xffffffffffffULL);
    return text;
}

std::string layout_head(const char *title, const std::string &extraHead)
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>" +
           web_escapeHtml(title) + " \xe2\x80\x93 Velto</title>\n<link rel=\"stylesheet\" href=\"" +
           LAYOUT_STYLE_PATH "?v=" + styleVersion() + "\">\n" + extraHead + "</head>";
}

std::string layout_nav(const webrequest &rq, const char *current)
{
    static const struct {
        const char *path, *label;
        unsigned needs; // ACCESS_* bits, all needed
    } links[] = {
        {"/", "Studies", ACCESS_FIND},
        {"/worklist", "Worklist", ACCESS_WORKLIST},
        {"/forward", "Forwarding", ACCESS_FIND},
        {"/retrieve", "Query/Retrieve", ACCESS_FIND | ACCESS_STORE},
        {"/status", "Status", ACCESS_FIND},
        {"/metrics", "Metrics", ACCESS_FIND},
        {"/viewer/", "Viewer", 0},
    };
    unsigned granted = httpd_operationsOf(rq);
    std::string out = "<header class=\"app\"><span class=\"brand\">Velto</span>"
                      "<nav aria-label=\"Pages\">";
    for (const auto &l : links) {
        if ((granted & l.needs) != l.needs)
            continue;
        out += std::string("<a href=\"") + l.path + "\"" +
               (strcmp(l.path, current) == 0 ? " aria-current=\"page\"" : "") + ">" + l.label +
               "</a>";
    }
    return out + "</nav></header>\n";
}

std::string layout_start(const webrequest &rq, const char *title, const char *current)
{
    return layout_head(title) + "<body>\n" + layout_nav(rq, current);
}

int layout_serveStyle(const webrequest &rq)
{
    MHD_Response *r = MHD_create_response_from_buffer(strlen(styleSheet), (void *)styleSheet,
                                                      MHD_RESPMEM_PERSISTENT);
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/css; charset=utf-8");
    // The address carries the version: a year, never asked again.
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL,
                            "public, max-age=31536000, immutable");
    return web_replyResponse(rq, MHD_HTTP_OK, r);
}
