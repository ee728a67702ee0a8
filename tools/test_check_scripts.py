#!/usr/bin/env python3
"""Tests for check_scripts.py: the real scripts must pass, and each kind of
damage, made to a copy of them, must be reported with the right file and line.

Usage: python3 tools/test_check_scripts.py [SCRIPTS_DIR]
SCRIPTS_DIR defaults to ../res/scripts next to this file.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "check_scripts.py")
SCRIPTS_DIR = os.path.normpath(os.path.join(HERE, "..", "res", "scripts"))
if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
    SCRIPTS_DIR = os.path.abspath(sys.argv.pop(1))

sys.dont_write_bytecode = True  # leave no cache behind in the source tree
sys.path.insert(0, HERE)
import check_scripts  # noqa: E402

ALL_SCRIPTS = ["MD14", "CV14", "MD12", "CV12", "MD11", "CV11", "MD10", "CV10"]
LAST = ";Insert two NULL characters here:   "


def run_checker(directory):
    proc = subprocess.run([sys.executable, CHECKER, directory], capture_output=True, text=True)
    return proc.returncode, proc.stdout, proc.stderr


def identifier(label):
    with open(os.path.join(SCRIPTS_DIR, "identifiers.txt")) as f:
        for line in f:
            if line.startswith(label + "="):
                return line.strip().split("=", 1)[1]
    raise AssertionError("no %s in identifiers.txt" % label)


class Script:
    """A script as a list of [text, line break] pairs, editable by anchor."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read().decode("latin-1")
        parts = data.split("\r\n")
        assert parts[-1] == "", "real script does not end in CR LF: " + path
        self.lines = [[text, "\r\n"] for text in parts[:-1]]

    def find(self, anchor):
        """1-based number of the one line equal to anchor or, if anchor ends
        with '*', the one line starting with the text before it."""
        if anchor.endswith("*"):
            hits = [i for i, (t, _) in enumerate(self.lines) if t.startswith(anchor[:-1])]
        else:
            hits = [i for i, (t, _) in enumerate(self.lines) if t == anchor]
        assert len(hits) == 1, "anchor %r matches %d lines" % (anchor, len(hits))
        return hits[0] + 1

    def data(self):
        return "".join(t + b for t, b in self.lines).encode("latin-1")


# Each edit changes a Script and returns the line number the checker must name.
def replace(anchor, change):
    def edit(script):
        n = script.find(anchor)
        script.lines[n - 1][0] = change(script.lines[n - 1][0])
        return n
    return edit


def line_break(anchor, brk):
    def edit(script):
        n = script.find(anchor)
        script.lines[n - 1][1] = brk
        return n
    return edit


def delete(anchor, report_at):
    def edit(script):
        del script.lines[script.find(anchor) - 1]
        return script.find(report_at)
    return edit


def delete_before(anchor):
    def edit(script):
        n = script.find(anchor)
        del script.lines[n - 2]
        return n - 1
    return edit


FRESH_GUID = "{%s}" % str(uuid.uuid4()).upper()

# (what is broken, script, edit, text the message must contain)
CASES = [
    ("lone LF", "MD12", line_break("HVFileRestore", "\n"), "lone LF"),
    ("lone CR", "CV14", line_break("%WINDOWS%\\Temp\\HLVWME.log", "\r"), "lone CR"),
    ("no CR LF after the last line", "MD11", line_break(LAST, ""), "not ended by CR LF"),
    ("NUL byte", "CV11", replace("Wardlet", lambda t: "Ward\0let"), "NUL"),
    ("key without root prefix", "MD11",
     replace("HKLM\\SOFTWARE\\Halvern\\Patchwell", lambda t: t[len("HKLM\\"):]), "root prefix"),
    ("lower-case root prefix", "CV10",
     replace("HKLM\\SOFTWARE\\Halvern\\Strongbox", lambda t: "hklm" + t[4:]), "root prefix"),
    ("value entry without '|'", "MD10",
     replace("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs|*",
             lambda t: t.replace("|", "\\")), "without '|'"),
    ("folder without leading variable", "CV12",
     replace("%CVINSTALLDIR%", lambda t: "C:\\Program Files\\Halvern\\Corvelle"), "start with a variable"),
    ("unknown variable inside an entry", "CV10",
     replace("%SYSTEM%\\drivers\\kvRCycle.sys", lambda t: t.replace("drivers", "%DRIVERS%")),
     "unknown variable %DRIVERS%"),
    ("variable name in lower case", "MD14",
     replace("%WINDOWS%\\Temp\\HLVWME.log", lambda t: t.replace("%WINDOWS%", "%windows%")),
     "unknown variable %windows%"),
    ("packed identifier that is not the packing", "MD10",
     replace("HKCR\\Installer\\Features\\*",
             lambda t: t[:-32] + identifier("P-MD10").strip("{}").replace("-", "")),
     "is not the packing of P-MD10"),
    ("same label with another value in a second script", "MD11",
     replace("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\*",
             lambda t: t[:-38] + FRESH_GUID),
     "P-MD10 differs from its value in "),
    ("identifier letter case", "CV12", replace("HKCR\\AppID\\{*", str.upper), "third group in lower case"),
    ("identifier at no known place", "CV12",
     replace("%SYSTEM%\\kvntdfg.exe", lambda t: "%SYSTEM%\\" + FRESH_GUID + ".exe"), "at no known place"),
    ("missing comment line", "MD14", delete_before("HKLM\\SOFTWARE\\Halvern\\Patchwell"),
     "0 comment line(s) before [KEYS] entry 29, expected 1"),
    ("missing entry", "MD10",
     delete("%STARTMENU%\\Programs\\Mendora 10 Professional.lnk", "[FILES]"),
     "[FILES] has 2 entries, expected 3"),
]


class RealScripts(unittest.TestCase):
    def test_real_scripts_pass(self):
        rc, out, err = run_checker(SCRIPTS_DIR)
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "")
        self.assertIn("total lines in the list: 481", out)
        self.assertIn("MD14: [SERVICES] 4, [KEYS] 30, [VALUES] 0, [FOLDERS] 4, [FILES] 7; "
                      "comment lines 37; lines in the list 87", out)
        self.assertIn("CV10: [SERVICES] 2, [KEYS] 37, [VALUES] 20, [FOLDERS] 2, [FILES] 6; "
                      "comment lines 2; lines in the list 74", out)

    def test_packing_known_answer(self):
        braced = "{12345678-90AB-CDEF-1234-567890ABCDEF}"
        self.assertEqual(check_scripts.pack(braced), "87654321BA09FEDC2143658709BADCFE")
        self.assertEqual(check_scripts.unpack("87654321ba09fedc2143658709badcfe"), braced)


class BrokenCopies(unittest.TestCase):
    def fresh_copy(self):
        tmp = tempfile.mkdtemp(prefix="check_scripts_")
        self.addCleanup(shutil.rmtree, tmp)
        for name in ALL_SCRIPTS:
            shutil.copy(os.path.join(SCRIPTS_DIR, name + ".txt"), tmp)
        shutil.copy(os.path.join(SCRIPTS_DIR, "identifiers.txt"), tmp)
        return tmp

    def assertReported(self, tmp, script, line, fragment):
        rc, out, err = run_checker(tmp)
        self.assertEqual(rc, 1, out + err)
        prefix = os.path.join(tmp, script + ".txt") + (":%d: " % line if line else ": ")
        hits = [p for p in err.splitlines() if p.startswith(prefix) and fragment in p]
        self.assertTrue(hits, "expected %r with %r in:\n%s" % (prefix, fragment, err))
        return err

    def test_each_broken_copy_is_reported(self):
        for what, name, edit, fragment in CASES:
            with self.subTest(what):
                tmp = self.fresh_copy()
                path = os.path.join(tmp, name + ".txt")
                script = Script(path)
                line = edit(script)
                with open(path, "wb") as f:
                    f.write(script.data())
                err = self.assertReported(tmp, name, line, fragment)
                if what == "missing comment line":
                    self.assertIn("86 lines in the list, expected 87", err)
                    self.assertIn("480 lines in the list in all, expected 481", err)
                if what == "same label with another value in a second script":
                    self.assertIn("MD12.txt line", err)

    def test_missing_script_is_reported(self):
        tmp = self.fresh_copy()
        os.remove(os.path.join(tmp, "CV11.txt"))
        self.assertReported(tmp, "CV11", None, "file missing")


if __name__ == "__main__":
    unittest.main()
