"""The study page's search at 10,000 and 100,000 studies: the time storeweb
takes to answer the page's results (the part the page's script fetches,
?part=rows) for a name prefix that names one study, a prefix that names
ten, and the whole list sorted by name at its last page.

Run by hand from the checkout, after a build, inside the private network
namespace (storeweb joins the monitor channel):

    scripts/netns-exec /usr/bin/python3 bench/page_search.py [BUILD_DIR]

The stores are filled with bench_populate (one image per study, Patient's
Name PAT^N<6 digits>). Each figure is the best of 5 curl requests on a
kept store (its first request, which loads the study table, is not timed).

Goal: the one-study prefix answered in well under 200 ms at 10,000 studies
(the browser test asserts 200 ms from the click to the rows laid out).
"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
os.environ["VELTO_BUILD"] = BUILD

import veltotest as vt  # noqa: E402

POPULATE = os.path.join(BUILD, "bench", "bench_populate")
STOREWEB = os.path.join(BUILD, "web", "storeweb")
SIZES = (10000, 100000)


def timed(url):
    best = None
    for _ in range(5):
        p = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{time_total}",
                            url], capture_output=True, text=True, check=True)
        code, seconds = p.stdout.split()
        if code != "200":
            raise RuntimeError("%s: %s" % (url, code))
        best = float(seconds) if best is None else min(best, float(seconds))
    return best * 1000


def main():
    vt.require_private_netns()
    for n in SIZES:
        tmp = tempfile.mkdtemp(prefix="velto-pagebench-")
        try:
            home = os.path.join(tmp, "home")
            etc = os.path.join(home, ".velto", "etc")
            os.makedirs(etc)
            store = os.path.join(tmp, "store")
            os.makedirs(store)
            with open(os.path.join(etc, "LocalStoreDir"), "w") as f:
                f.write(store + "\n")
            subprocess.run([POPULATE, store, str(n)], check=True)
            port = vt.free_port()
            web = subprocess.Popen([STOREWEB, "-p", str(port), "-m", str(vt.free_port()), "-l",
                                    os.path.join(tmp, "web.log")],
                                   env=dict(os.environ, HOME=home), start_new_session=True)
            try:
                vt.wait_for(lambda: vt.port_open(port), 10, what="storeweb")
                base = "http://127.0.0.1:%d/?part=rows&" % port
                timed(base + "name=x")  # loads the study table
                one = timed(base + "name=pat%%5En%06d" % (n // 2))
                ten = timed(base + "name=pat%%5En%05d" % (n // 20))
                last = timed(base + "sort=name&offset=%d" % (n - 50))
                print("%7d studies: one-study prefix %6.1f ms, ten-study prefix %6.1f ms, "
                      "all sorted by name, last page %6.1f ms" % (n, one, ten, last))
            finally:
                vt.stop_process(web)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
