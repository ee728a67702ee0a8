#!/usr/bin/env python3
"""Checks the eight built-in clean-up scripts before they are compiled into the
program as SCRIPTS resources.

Usage: python3 tools/check_scripts.py DIR

DIR holds MD14.txt ... CV10.txt and identifiers.txt. Every problem is printed as
"FILE:LINE: text" (or "FILE: text" where no single line is to blame); the exit
status is 1 if there is any problem, 0 otherwise. The per-script entry, comment
and line counts are always printed: the line total is the range of the
progress bar.

The runner never validates a script: a mistyped root prefix, a lost '|' or an
unknown variable just makes one removal fail quietly on the user's machine.
This tool is where such mistakes are caught.
"""

import os
import re
import sys

SCRIPT_NAMES = ["MD14", "CV14", "MD12", "CV12", "MD11", "CV11", "MD10", "CV10"]
SECTIONS = ["[SERVICES]", "[KEYS]", "[VALUES]", "[FOLDERS]", "[FILES]"]
ROOT_PREFIXES = ("HKCR\\", "HKLM\\", "HKCU\\", "HKU\\")
VARIABLES = ("%WINDOWS%", "%SYSTEM%", "%PROGRAMFILES%", "%COMMONFILES%", "%PROGRAMDATA%",
             "%USERDATA%", "%STARTMENU%", "%CVINSTALLDIR%", "%MDINSTALLDIR%")
LAST_LINE = ";Insert two NULL characters here:   "
WHITE_SPACE = " \t\n\v\f\r"  # what the runner trims; bytes from 128 up never count

# Per script: entries per section (in SECTIONS order), comment lines, lines in
# the runner's line list (entries + 5 headers + comment lines).
EXPECTED_COUNTS = {
    "MD14": ((4, 30, 0, 4, 7), 37, 87),
    "CV14": ((4, 30, 0, 4, 7), 37, 87),
    "MD12": ((4, 18, 0, 3, 8), 8, 46),
    "CV12": ((4, 18, 0, 3, 7), 8, 45),
    "MD11": ((2, 16, 7, 2, 6), 2, 40),
    "CV11": ((3, 33, 19, 2, 4), 2, 68),
    "MD10": ((1, 14, 7, 2, 3), 2, 34),
    "CV10": ((2, 37, 20, 2, 6), 2, 74),
}
EXPECTED_TOTAL = 481

# Comment lines inside sections: (section, entry number) -> number of comment
# lines directly before that entry. Besides these, every script has exactly one
# comment line first and LAST_LINE last.
_COMMENTS_14 = {("[KEYS]", n): 1 for n in (1, 5, 11, 12, 13, 15, 17, 19, 21, 23, 25, 29)}
_COMMENTS_14[("[KEYS]", 27)] = 21
_COMMENTS_14.update({("[FOLDERS]", 3): 1, ("[FOLDERS]", 4): 1})
_COMMENTS_12 = {("[KEYS]", n): 1 for n in (1, 5, 11, 12, 13, 15)}
COMMENT_PLACES = {"MD14": _COMMENTS_14, "CV14": _COMMENTS_14, "MD12": _COMMENTS_12, "CV12": _COMMENTS_12}

# Blank lines between the last section and LAST_LINE.
BLANKS_BEFORE_LAST = {"CV10": 2}

# How an identifier is written at its place.
BRACED = "braced"                 # {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper case
BRACED_LOWER3 = "braced, third group in lower case"
BRACED_LOWER = "braced, lower case"
PACKED = "packed"                 # Windows Installer packed form, upper case

LABELS = ["P-MD14", "P-MD14.3", "P-MD14.4", "P-MD14.5", "P-MD15", "P-MD15.5", "P-MD15.6",
          "P-CV14", "P-CV14.3", "P-CV14.4", "P-CV14.5", "P-CV15", "P-CV15.5", "P-CV15.6",
          "P-MD10", "P-CV12", "P-CV10", "P-SHARED", "U-CV1", "U-CV2",
          "K-MDMENU", "K-CVMENU", "K-CVBHO1", "K-CVBHO2", "A-CV1", "A-CV2", "A-RESTORE", "X-EXT"]


def _places_14(fam, menu):
    keys = {2: (menu, BRACED), 10: ("A-RESTORE", BRACED_LOWER3)}
    for i, rel in enumerate(("14", "14.3", "14.4", "14.5", "15", "15.5", "15.6")):
        keys[13 + 2 * i] = keys[14 + 2 * i] = ("P-" + fam + rel, BRACED)
    places = {("[KEYS]", n): v for n, v in keys.items()}
    places[("[FOLDERS]", 3)] = ("P-%s14" % fam, BRACED)
    places[("[FOLDERS]", 4)] = ("P-%s14.3" % fam, BRACED)
    return places


def _places_12(menu, product):
    return {("[KEYS]", 2): (menu, BRACED), ("[KEYS]", 10): ("A-RESTORE", BRACED_LOWER3),
            ("[KEYS]", 13): (product, BRACED), ("[KEYS]", 14): (product, BRACED),
            ("[FOLDERS]", 3): (product, BRACED)}


def _keys(**entries):
    return {("[KEYS]", int(k[1:])): v for k, v in entries.items()}


# Where each identifier stands: (section, entry number) -> (label, form). The
# identifier is always the tail of its entry.
IDENTIFIER_PLACES = {
    "MD14": _places_14("MD", "K-MDMENU"),
    "CV14": _places_14("CV", "K-CVMENU"),
    "MD12": _places_12("K-MDMENU", "P-MD10"),
    "CV12": _places_12("K-CVMENU", "P-CV12"),
    "MD11": _keys(k1=("P-MD10", PACKED), k2=("P-MD10", PACKED), k7=("K-MDMENU", BRACED_LOWER3),
                  k10=("P-MD10", PACKED), k11=("P-MD10", BRACED)),
    "CV11": {**_keys(k1=("P-CV10", PACKED), k2=("P-SHARED", PACKED), k3=("P-CV10", PACKED),
                     k4=("P-SHARED", PACKED), k5=("U-CV1", PACKED), k12=("A-CV1", BRACED),
                     k13=("A-CV2", BRACED), k18=("K-CVBHO1", BRACED), k23=("A-CV1", BRACED),
                     k24=("A-CV2", BRACED), k25=("K-CVBHO1", BRACED), k26=("K-CVBHO1", BRACED),
                     k27=("K-CVBHO2", BRACED), k28=("P-CV10", PACKED), k29=("P-CV10", BRACED)),
             ("[VALUES]", 19): ("X-EXT", BRACED_LOWER)},
    "MD10": _keys(k4=("P-MD10", PACKED), k5=("P-SHARED", PACKED), k6=("P-MD10", PACKED),
                  k9=("P-SHARED", PACKED), k10=("P-MD10", PACKED), k11=("P-SHARED", PACKED),
                  k12=("P-SHARED", BRACED), k13=("P-MD10", BRACED)),
    "CV10": {**_keys(k2=("A-CV1", BRACED), k3=("A-CV2", BRACED), k10=("K-CVBHO1", BRACED),
                     k11=("P-CV10", PACKED), k12=("P-SHARED", PACKED), k13=("P-CV10", PACKED),
                     k14=("P-SHARED", PACKED), k15=("U-CV2", PACKED), k16=("U-CV1", PACKED),
                     k19=("A-CV1", BRACED), k20=("A-CV2", BRACED), k25=("K-CVBHO1", BRACED),
                     k26=("K-CVBHO1", BRACED), k27=("K-CVBHO2", BRACED), k28=("U-CV2", PACKED),
                     k29=("U-CV1", PACKED), k30=("P-CV10", PACKED), k31=("P-SHARED", PACKED),
                     k32=("P-SHARED", BRACED), k33=("P-CV10", BRACED)),
             ("[VALUES]", 20): ("X-EXT", BRACED_LOWER)},
}

_HEX = "[0-9A-Fa-f]"
BRACED_RE = re.compile(r"\{%s{8}-%s{4}-%s{4}-%s{4}-%s{12}\}" % ((_HEX,) * 5))
PACKED_RE = re.compile(r"(?<![0-9A-Za-z])%s{32}(?![0-9A-Za-z])" % _HEX)
CANONICAL_RE = re.compile(r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$")
LINE_BREAK_RE = re.compile(r"\r\n|\r|\n")


def pack(braced):
    """Windows Installer packed form of a braced GUID."""
    h = braced[1:-1].replace("-", "")
    rest = h[16:]
    return (h[0:8][::-1] + h[8:12][::-1] + h[12:16][::-1]
            + "".join(rest[i + 1] + rest[i] for i in range(0, 16, 2)))


def unpack(packed):
    """Inverse of pack(), giving the braced form in upper case."""
    h = packed.upper()
    rest = "".join(h[16 + i + 1] + h[16 + i] for i in range(0, 16, 2))
    g = h[0:8][::-1] + h[8:12][::-1] + h[12:16][::-1] + rest
    return "{%s-%s-%s-%s-%s}" % (g[0:8], g[8:12], g[12:16], g[16:20], g[20:32])


def render(canonical, form):
    if form == PACKED:
        return pack(canonical)
    if form == BRACED_LOWER3:
        return canonical[:15] + canonical[15:19].lower() + canonical[19:]
    if form == BRACED_LOWER:
        return canonical.lower()
    return canonical


class Report:
    """Collects problems and lists them by file (in the order files were
    checked), then by line; problems of a whole file come after its lines."""

    def __init__(self):
        self.entries = []
        self.files = {}

    def add(self, path, line, text):
        order = self.files.setdefault(path, len(self.files))
        where = "%s:%d" % (path, line) if line else path
        self.entries.append(((order, line or float("inf"), len(self.entries)), "%s: %s" % (where, text)))

    @property
    def problems(self):
        return [text for _, text in sorted(self.entries)]


def split_lines(text):
    """Physical lines with 1-based numbers and the line break that ends each."""
    lines = []
    pos = 0
    for m in LINE_BREAK_RE.finditer(text):
        lines.append((len(lines) + 1, text[pos:m.start()], m.group()))
        pos = m.end()
    if pos < len(text):
        lines.append((len(lines) + 1, text[pos:], ""))
    return lines


def read_identifiers(path, report):
    table = {}
    if not os.path.isfile(path):
        report.add(path, 0, "file missing")
        return table
    seen_values = {}
    given = set()
    with open(path, "r", encoding="ascii", errors="replace", newline="") as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            label, sep, value = line.partition("=")
            label, value = label.strip(), value.strip()
            given.add(label)
            if not sep or label not in LABELS:
                report.add(path, number, "not a LABEL={GUID} line of a known label: %r" % line)
            elif label in table:
                report.add(path, number, "label %s given twice" % label)
            elif not CANONICAL_RE.match(value):
                report.add(path, number, "%s: %r is not a braced GUID in upper case" % (label, value))
            elif value in seen_values:
                report.add(path, number, "%s has the same value as %s" % (label, seen_values[value]))
            else:
                table[label] = value
                seen_values[value] = label
    for label in LABELS:
        if label not in given:
            report.add(path, 0, "no value for label %s" % label)
    return table


class ScriptChecker:
    def __init__(self, directory, report, identifiers):
        self.directory = directory
        self.report = report
        self.identifiers = identifiers
        self.first_seen = {}  # label -> (canonical, path, line)

    def check(self, name):
        """Checks one script; returns (entries per section, comment lines, lines in list) or None."""
        path = os.path.join(self.directory, name + ".txt")
        if not os.path.isfile(path):
            self.report.add(path, 0, "file missing")
            return None
        with open(path, "rb") as f:
            text = f.read().decode("latin-1")
        add = lambda line, msg: self.report.add(path, line, msg)
        lines = split_lines(text)
        if not lines:
            add(0, "file is empty")
            return None

        for number, body, brk in lines:
            if brk == "\n":
                add(number, "line ends in a lone LF (CR LF expected)")
            elif brk == "\r":
                add(number, "line ends in a lone CR (CR LF expected)")
            elif brk == "":
                add(number, "last line is not ended by CR LF")
            if "\0" in body:
                add(number, "NUL byte (the runner stops reading the script there)")
            if "\t" in body:
                add(number, "TAB character")
            odd = sorted({c for c in body if ord(c) > 127 or (ord(c) < 32 and c not in "\0\t")})
            if odd:
                add(number, "not plain ASCII: %s" % ", ".join("0x%02X" % ord(c) for c in odd))

        counts = {s: 0 for s in SECTIONS}
        comment_lines = 0
        list_lines = 0
        section = None
        header_index = -1
        entry_number = 0
        pending_comments = 0
        header_lines = {}
        blank_run = 0
        comment_places = COMMENT_PLACES.get(name, {})
        places = IDENTIFIER_PLACES[name]
        last_number = lines[-1][0]

        if lines[0][1][:1] != ";":
            add(1, "first line must be a comment naming family and release")
        if lines[-1][1] != LAST_LINE:
            add(last_number, "last line must be %r" % LAST_LINE)

        for number, raw, _ in lines:
            if raw == "":
                blank_run += 1
                continue
            list_lines += 1
            content = raw.split(";", 1)[0].strip(WHITE_SPACE)
            is_header = content.upper() in SECTIONS
            is_last = number == last_number and raw == LAST_LINE
            # Blank lines only separate the first line, the sections and the last line.
            wanted_blanks = 1 if is_header else 0
            if is_last:
                wanted_blanks = BLANKS_BEFORE_LAST.get(name, 1)
            if number > 1 and blank_run != wanted_blanks:
                add(number, "%d blank line(s) before this line, expected %d" % (blank_run, wanted_blanks))
            blank_run = 0

            if not content:
                if ";" not in raw:
                    add(number, "line of white space only (it still counts as a line of the run)")
                    continue
                comment_lines += 1
                if raw[0] != ";":
                    add(number, "comment line must start with ';'")
                if number != 1 and not is_last:
                    pending_comments += 1
                continue

            if raw != content:
                add(number, "blanks or a comment around %r" % content)

            if is_header:
                header = content.upper()
                if content != header:
                    add(number, "section header must be upper case: %s" % header)
                index = SECTIONS.index(header)
                if index != header_index + 1:
                    following = (SECTIONS[header_index + 1] if header_index + 1 < len(SECTIONS)
                                 else "no further header")
                    add(number, "section %s out of order or repeated (expected %s)" % (header, following))
                if pending_comments:
                    add(number, "%d comment line(s) before %s, expected none" % (pending_comments, header))
                pending_comments = 0
                header_index = max(header_index, index)
                section = header
                header_lines.setdefault(header, number)
                entry_number = 0
                continue

            if section is None:
                add(number, "entry before the first section header: %r" % content)
                continue
            counts[section] += 1
            entry_number += 1
            wanted = comment_places.get((section, entry_number), 0)
            if pending_comments != wanted:
                add(number, "%d comment line(s) before %s entry %d, expected %d"
                    % (pending_comments, section, entry_number, wanted))
            pending_comments = 0
            self.check_entry(path, number, section, entry_number, content, places.get((section, entry_number)))

        if pending_comments:
            add(last_number, "%d comment line(s) after the last entry, expected none" % pending_comments)
        for header in SECTIONS:
            if header not in header_lines:
                add(0, "section %s missing" % header)

        expected_sections, expected_comments, expected_lines = EXPECTED_COUNTS[name]
        for header, wanted in zip(SECTIONS, expected_sections):
            if header in header_lines and counts[header] != wanted:
                add(header_lines[header], "%s has %d entries, expected %d" % (header, counts[header], wanted))
        if comment_lines != expected_comments:
            add(0, "%d comment lines, expected %d" % (comment_lines, expected_comments))
        if list_lines != expected_lines:
            add(0, "%d lines in the list, expected %d" % (list_lines, expected_lines))
        return [counts[s] for s in SECTIONS], comment_lines, list_lines

    def check_entry(self, path, number, section, entry_number, entry, place):
        add = lambda msg: self.report.add(path, number, msg)
        if section in ("[KEYS]", "[VALUES]") and not entry.startswith(ROOT_PREFIXES):
            add("%s entry does not start with a root prefix (HKCR\\, HKLM\\, HKCU\\, HKU\\): %r"
                % (section, entry))
        if section == "[VALUES]" and "|" not in entry:
            add("[VALUES] entry without '|' between key and value name: %r" % entry)
        if section in ("[FOLDERS]", "[FILES]") and not re.match(r"%[^%\\]+%", entry):
            add("%s entry does not start with a variable (%%NAME%%): %r" % (section, entry))
        rest = entry
        for name in VARIABLES:
            rest = rest.replace(name, "")
        for token in re.findall(r"%[^%]*%", rest):
            add("unknown variable %s" % token)
        if rest.count("%") % 2:
            add("stray '%%' in %r" % entry)

        tokens = [(m.start(), m.end(), m.group(), "braced") for m in BRACED_RE.finditer(entry)]
        tokens += [(m.start(), m.end(), m.group(), PACKED) for m in PACKED_RE.finditer(entry)]
        expected_token = None
        if place:
            label, form = place
            kind = PACKED if form == PACKED else "braced"
            at_end = [t for t in tokens if t[1] == len(entry) and t[3] == kind]
            if not at_end:
                add("%s entry %d must end with %s (%s)" % (section, entry_number, label, form))
            else:
                expected_token = at_end[0]
                self.check_identifier(path, number, label, form, expected_token[2])
        for token in tokens:
            if token is not expected_token:
                add("identifier %s at no known place (no label belongs to %s entry %d)"
                    % (token[2], section, entry_number))

    def check_identifier(self, path, number, label, form, token):
        add = lambda msg: self.report.add(path, number, msg)
        canonical = unpack(token) if form == PACKED else token.upper()
        value = self.identifiers.get(label)
        if value is not None and canonical != value:
            if form == PACKED:
                add("packed %s %s is not the packing of %s %s (that would be %s)"
                    % (label, token, label, value, pack(value)))
            else:
                add("%s is %s here but %s in identifiers.txt" % (label, token, value))
        elif render(canonical, form) != token:
            add("%s must be written %s: %s" % (label, form, render(canonical, form)))
        first = self.first_seen.get(label)
        if first is None:
            self.first_seen[label] = (canonical, path, number)
        elif first[0] != canonical:
            add("%s differs from its value in %s line %d (%s there, %s here)"
                % (label, first[1], first[2], render(first[0], BRACED), canonical))


def main(argv):
    if len(argv) != 2:
        print("usage: %s DIR" % os.path.basename(argv[0]), file=sys.stderr)
        return 2
    directory = argv[1]
    report = Report()
    identifiers = read_identifiers(os.path.join(directory, "identifiers.txt"), report)
    checker = ScriptChecker(directory, report, identifiers)
    total = 0
    summaries = []
    for name in SCRIPT_NAMES:
        result = checker.check(name)
        if result is None:
            continue
        sections, comments, lines = result
        total += lines
        summaries.append("%s: %s; comment lines %d; lines in the list %d" % (
            name, ", ".join("%s %d" % (h, n) for h, n in zip(SECTIONS, sections)), comments, lines))
    for label in LABELS:
        if label not in checker.first_seen:
            report.add(directory, 0, "label %s is used by no script" % label)
    if total != EXPECTED_TOTAL:
        report.add(directory, 0, "%d lines in the list in all, expected %d" % (total, EXPECTED_TOTAL))

    for line in summaries:
        print(line)
    print("total lines in the list: %d" % total)
    if report.problems:
        for problem in report.problems:
            print(problem, file=sys.stderr)
        print("%d problem(s) found" % len(report.problems), file=sys.stderr)
        return 1
    print("all eight scripts are clean")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
