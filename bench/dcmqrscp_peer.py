"""dcmtk's dcmqrscp as a reference archive for the query and retrieve
benchmarks (imported by find_latency.py and move_throughput.py; not run on
its own). It runs with its own configuration and database directory and
knows one move destination."""

import os
import subprocess

import veltotest as vt

CONFIG = """NetworkTCPPort  = %(port)d
MaxPDUSize      = 16384
MaxAssociations = 16

HostTable BEGIN
dest = (%(dest_aet)s, 127.0.0.1, %(dest_port)d)
HostTable END

VendorTable BEGIN
VendorTable END

AETable BEGIN
QRSCP   %(db)s   RW (%(max_studies)d, 4096mb)   ANY
AETable END
"""


class Dcmqrscp:
    aetitle = "QRSCP"

    def __init__(self, tmp, dest_aet="DEST", dest_port=1, max_studies=2000):
        self.port = vt.free_port()
        self.db = os.path.join(tmp, "qrdb")
        os.makedirs(self.db, exist_ok=True)
        self.config = os.path.join(tmp, "dcmqrscp.cfg")
        with open(self.config, "w") as f:
            f.write(CONFIG % dict(port=self.port, dest_aet=dest_aet, dest_port=dest_port,
                                  db=self.db, max_studies=max_studies))
        # Nagle's algorithm off, as dcmtk leaves it on without TCP_NODELAY=1.
        self.proc = subprocess.Popen(["dcmqrscp", "-c", self.config], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL,
                                     env=dict(os.environ, TCP_NODELAY="1"))
        vt.wait_for(lambda: vt.port_open(self.port), 10, what="dcmqrscp to listen")

    def store(self, files):
        for i in range(0, len(files), 500):
            vt.run(["storescu", "-aet", "LOADER", "-aec", self.aetitle, "127.0.0.1",
                    str(self.port)] + files[i:i + 500], check=True, timeout=1800)

    def stop(self):
        self.proc.kill()
        self.proc.wait()
