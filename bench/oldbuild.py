"""What the benchmarks share to run an older build of the archive against
this one in the same run (their --old-build DIR option; bench/old-vs-new
builds a commit and runs them so): taking an option out of the arguments,
one build's programs, a storeserver of a given build, and the table of
new/old ratios with its verdict (not run on its own)."""

import os
import statistics

# Every ratio new/old within this of 1 passes (5 %).
LIMIT = 0.05


def take(argv, name, default=None):
    """Removes `name VALUE` from argv (a list) and returns VALUE, or default
    when argv lacks it."""
    if name not in argv:
        return default
    i = argv.index(name)
    if i + 1 >= len(argv):
        raise SystemExit("%s needs a value" % name)
    value = argv[i + 1]
    del argv[i:i + 2]
    return value


class Build:
    """The programs of one build directory (the tree's build/ layout:
    server/storeserver, web/storeweb, bench/bench_populate)."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.storeserver = os.path.join(self.path, "server", "storeserver")
        self.storeweb = os.path.join(self.path, "web", "storeweb")
        self.populate = os.path.join(self.path, "bench", "bench_populate")
        for p in (self.storeserver, self.storeweb, self.populate):
            if not os.access(p, os.X_OK):
                raise SystemExit("%s: not built (a build with the benchmarks is needed)" % p)

    def server(self, **kw):
        """A veltotest.Server that runs this build's storeserver."""
        return _server_class()(self.storeserver, **kw)


_classes = {}


def _server_class():
    # veltotest is imported only when a server is made: the benchmark sets
    # VELTO_BUILD, which veltotest reads on import, after it parsed the
    # options with take().
    if "server" not in _classes:
        import veltotest as vt

        class BuildServer(vt.Server):
            def __init__(self, binary, **kw):
                self.binary = binary
                super().__init__(**kw)

            def command(self):
                cmd = super().command()
                cmd[0] = self.binary
                return cmd

        _classes["server"] = BuildServer
    return _classes["server"]


class Ratios:
    """Figures measured on both builds; report() prints each with new/old
    and whether every ratio is within LIMIT of 1."""

    def __init__(self):
        self.rows = []  # (figure, new, old, unit, higher_better, rounds)

    def add(self, figure, new, old, unit, higher_better=False, rounds=None):
        """rounds: the ratios of each round alone, printed beside."""
        self.rows.append((figure, new, old, unit, higher_better, rounds or []))

    def report(self, title="new/old"):
        print("\n%-50s %10s %10s %-9s %7s  %s" % (title, "new", "old", "", "new/old",
                                                      "(rounds)"))
        pairs = []
        for figure, new, old, unit, higher_better, rounds in self.rows:
            # Equal figures (two zeros too) compare as 1; a figure of
            # nothing against one of something is outside.
            ratio = 1.0 if new == old else new / old if old else float("inf")
            pairs.append((figure, ratio, higher_better))
            print("%-50s %10.3f %10.3f %-9s %7.3f  %s" % (
                figure, new, old, unit, ratio, " ".join("%.2f" % r for r in rounds)))
        print(verdict(pairs))


def verdict(pairs):
    """The line saying whether every (figure, new/old, higher_better) ratio
    is within LIMIT of 1, naming those that are not and which way."""
    outside = []
    for figure, ratio, higher_better in pairs:
        if not abs(ratio - 1) <= LIMIT:  # a NaN is outside too
            better = (ratio > 1) == higher_better
            outside.append("%s %.3f (new %s)" % (figure, ratio, "better" if better else "worse"))
    if not outside:
        return "every ratio within %d %%: yes (%d figures)" % (LIMIT * 100, len(pairs))
    return "every ratio within %d %%: NO, %d of %d outside: %s" % (
        LIMIT * 100, len(outside), len(pairs), "; ".join(outside))


def per_round(new, old):
    """The ratio of each round's new figure to its old one."""
    return [n / o for n, o in zip(new, old) if o]


def median(values):
    return statistics.median(values)
