"""The dependency list covers the tree: every Python module that a test, a
benchmark or the demo imports is in the standard library, part of the tree,
or listed in scripts/needs (so scripts/install-deps installs its package and
scripts/check-deps names it when it is missing). Also: check-deps names the
package of a missing thing and fails."""

import ast
import os
import subprocess
import sys
import tempfile
import unittest

import veltotest as vt

TOP = vt.SOURCE


def needs_entries(path):
    entries = {}
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].split()
            if line:
                entries[line[0]] = line[1:]
    return entries


def imported_modules(path):
    with open(path, "rb") as f:
        tree = ast.parse(f.read(), path)
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield alias.name.split(".")[0]
        elif isinstance(node, ast.ImportFrom) and node.level == 0:
            yield node.module.split(".")[0]


class NeedsTest(unittest.TestCase):
    def test_every_import_is_covered(self):
        listed = set()
        for things in needs_entries(os.path.join(TOP, "scripts/needs")).values():
            listed.update(t[3:] for t in things if t.startswith("py:"))
        scripts, local = [], set()
        for d in ("tests", "bench", "scripts"):
            for root, _, files in os.walk(os.path.join(TOP, d)):
                if "node_modules" in root:
                    continue
                for name in files:
                    if name.endswith(".py"):
                        scripts.append(os.path.join(root, name))
                        local.add(name[:-3])
        self.assertGreater(len(scripts), 10)
        uncovered = set()
        for path in scripts:
            for mod in imported_modules(path):
                if mod in sys.stdlib_module_names or mod in local or mod in listed:
                    continue
                uncovered.add("%s (%s)" % (mod, os.path.relpath(path, TOP)))
        self.assertEqual(sorted(uncovered), [], "imports missing from scripts/needs")

    def test_check_deps_names_the_package(self):
        with tempfile.TemporaryDirectory() as tmp:
            os.makedirs(os.path.join(tmp, "scripts"))
            with open(os.path.join(tmp, "scripts/needs"), "w") as f:
                f.write("# comment\ncoreutils cmd:true\n")
                f.write("velto-nopkg cmd:velto-no-such-program py:velto_no_such_module\n")
                f.write("velto-nofile file:/nonexistent/velto-*.h\n")
                f.write("install-deps file:.deps/velto-none file:scripts/needs\n")
            check = os.path.join(tmp, "scripts/check-deps")
            with open(os.path.join(TOP, "scripts/check-deps")) as src, open(check, "w") as dst:
                dst.write(src.read())
            p = subprocess.run(["sh", check], capture_output=True, text=True)
            self.assertEqual(p.returncode, 1)
            lines = p.stderr.strip().splitlines()
            self.assertEqual(len(lines), 4, p.stderr)
            self.assertIn("'velto-no-such-program'", lines[0])
            self.assertIn("package velto-nopkg", lines[0])
            self.assertIn("'velto_no_such_module'", lines[1])
            self.assertIn("package velto-nofile", lines[2])
            self.assertIn("'.deps/velto-none': run scripts/install-deps", lines[3])

    def test_this_machine_has_everything(self):
        p = subprocess.run([os.path.join(TOP, "scripts/check-deps")], capture_output=True,
                           text=True)
        self.assertEqual((p.returncode, p.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
