"""Helpers of the studywatch integration tests.

Renderer is a stand-in `tabrin`, put first in PATH, that records every run
(its arguments, start and end time, ids) and ends as the test chooses.
Watch starts one studywatch with its own monitor port and log.
"""

import json
import os
import shutil
import subprocess
import tempfile
import time

import veltotest
from veltotest import STUDYWATCH, free_port, wait_for

STUB = r'''#!/usr/bin/python3
# Stand-in renderer of the studywatch tests: records this run and ends as
# the control file says for the study (key "*" for every other study).
import json, os, signal, sys, time
start = time.time()
d = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(d, "control")) as f:
    control = json.load(f)
study = sys.argv[-1].split(" ")[-1] if len(sys.argv) > 1 else ""
how = control.get(study, control.get("*", {}))
rec = {"argv": sys.argv[1:], "study": study, "start": start, "pid": os.getpid(),
       "uid": os.getuid(), "gid": os.getgid(), "groups": os.getgroups(), "end": None}
path = os.path.join(d, "runs", "%d.json" % os.getpid())
def save():
    with open(path + ".tmp", "w") as f:
        json.dump(rec, f)
    os.rename(path + ".tmp", path)
save()
time.sleep(how.get("sleep", 0))
rec["end"] = time.time()
save()
if how.get("signal"):
    os.kill(os.getpid(), how["signal"])
sys.exit(how.get("exit", 0))
'''

TIMEOUT = 2           # the study timeout every test runs with
EARLY_SLACK = 0.05    # clock granularity allowed before the quiet time is over
LATE_SLACK = 3.0      # one pass of the loop, process start-up, a loaded machine


class Renderer:
    """The stand-in tabrin in a fresh directory (readable by every user)."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tabrin-")
        os.chmod(self.dir, 0o755)
        self.runsdir = os.path.join(self.dir, "runs")
        os.mkdir(self.runsdir)
        os.chmod(self.runsdir, 0o777)
        path = os.path.join(self.dir, "tabrin")
        with open(path, "w") as f:
            f.write(STUB)
        os.chmod(path, 0o755)
        self.control()

    def control(self, **per_study):
        """Sets how runs end: study UID (or "*") -> {"sleep", "exit", "signal"}."""
        tmp = os.path.join(self.dir, "control.tmp")
        with open(tmp, "w") as f:
            json.dump(per_study, f)
        os.chmod(tmp, 0o644)
        os.rename(tmp, os.path.join(self.dir, "control"))

    def runs(self, study=None):
        """The recorded runs, oldest first (optionally of one study only)."""
        out = []
        for name in os.listdir(self.runsdir):
            if name.endswith(".json"):
                with open(os.path.join(self.runsdir, name)) as f:
                    out.append(json.load(f))
        out.sort(key=lambda r: r["start"])
        return [r for r in out if study is None or r["study"] == study]

    def wait_runs(self, count, study=None, timeout=TIMEOUT + 10):
        return wait_for(lambda: self.runs(study) if len(self.runs(study)) >= count else None,
                        timeout, what="%d run(s) of tabrin%s" % (count, " for " + study if study else ""))

    def wait_ended(self, study=None, timeout=30):
        """Waits until every recorded run has ended; returns the runs."""
        return wait_for(lambda: (lambda rs: rs if rs and all(r["end"] for r in rs) else None)(self.runs(study)),
                        timeout, what="tabrin to end")

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def expected_argv(study):
    return ["-q", "-p", "batch", "-b", "! preprocessing/autostudy " + study]


class Watch:
    """One studywatch on its own monitor port, with the renderer first in PATH."""

    def __init__(self, renderer=None, args=(), port=None, timeout=TIMEOUT, logfile=True, start=True):
        self.tmp = tempfile.mkdtemp(prefix="studywatch-")
        self.port = port or free_port()
        self.logpath = os.path.join(self.tmp, "studywatch.log") if logfile else None
        self.args = ["-m", str(self.port), "-t", str(timeout)]
        if self.logpath:
            self.args += ["-l", self.logpath]
        self.args += list(args)
        self.env = dict(os.environ)
        if renderer:
            self.env["PATH"] = renderer.dir + ":" + os.environ.get("PATH", "/usr/bin:/bin")
        self.proc = None
        if start:
            self.start()

    def start(self):
        self.proc = subprocess.Popen([STUDYWATCH] + self.args, env=self.env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, start_new_session=True)
        wait_for(lambda: "Multicast channel subscribed. Server up.\n" in self.log()
                 or self.proc.poll() is not None, 15, what="studywatch to subscribe")
        if self.proc.poll() is not None:
            raise AssertionError("studywatch ended with %s: %s" % (self.proc.returncode,
                                                                   self.proc.stderr.read()))
        return self

    def log(self):
        if not self.logpath or not os.path.exists(self.logpath):
            return ""
        with open(self.logpath, errors="replace") as f:
            return f.read()

    def log_messages(self):
        """The log's message texts, without the date, time and pid prefix."""
        return [line.split("]:", 1)[1] for line in self.log().splitlines() if "]:" in line]

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        veltotest.stop_process(self.proc)

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)


def storeuid(study, series="1.2.826.0.1.9", instance="1.2.826.0.1.9.1", host="veltotest", pid=4242):
    """A stored-image announcement as the server frames it."""
    return ("%s %d STORAGE STOREUID %s %s %s\n" % (host, pid, study, series, instance)).encode()


class Sender:
    """Sends datagrams on the monitor channel of one port."""

    def __init__(self, port):
        self.monitor = veltotest.Monitor(port)

    def send(self, data):
        """Sends and returns the time just before sending."""
        t = time.time()
        self.monitor.send(data)
        return t

    def announce(self, study, **kw):
        return self.send(storeuid(study, **kw))

    def close(self):
        self.monitor.close()
