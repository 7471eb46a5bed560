#!/usr/bin/env python3
"""Checks the manual page against the tool it describes.

    man_page_check.py PAGE TOOL SOURCE_DIR VERSION

Fails when groff (or mandoc, where installed) warns about the page, when
`man -l` cannot show it, when its title line does not carry VERSION, when
a section is missing, when an option of the usage text that TOOL prints
has no entry under OPTIONS, or when a line the tool can print is missing
under DIAGNOSTICS. The lines are found in the sources, not listed here:
every string literal of SOURCE_DIR that holds a printf conversion or ends
in a line feed, but for formats given to snprintf. In the page a conversion stands for one word in italics
(`%s` is *path*), and the rest of the line must stand in roman or bold.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "PACKAGE FORMAT", "EXIT STATUS",
            "DIAGNOSTICS", "FILES", "EXAMPLES", "SAFETY"]
# The fault-injection layer is built into the test tool vantrel_faulty only.
NOT_THE_TOOL = {"fault_injection.cpp"}
CONVERSION = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[diouxXcspf]")
ITALIC_START, ITALIC_END = "\x01", "\x02"
ESCAPES = {"n": "\n", "t": "\t", "r": "\r"}


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def strip_comments(text):
    """The text with comments blanked out, string and character literals kept."""
    token = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return token.sub(lambda m: " " if m.group().startswith("/") else m.group(), text)


def source_formats(source_dir):
    """(format, where) for each line the tool can print: literals next to
    each other are one literal, as the compiler joins them."""
    literal_run = re.compile(r'"(?:\\.|[^"\\\n])*"(?:\s*"(?:\\.|[^"\\\n])*")*')
    found = []
    for path in sorted(Path(source_dir).rglob("*")):
        if path.suffix not in (".cpp", ".h") or path.name in NOT_THE_TOOL:
            continue
        text = strip_comments(path.read_text(encoding="utf-8"))
        for match in literal_run.finditer(text):
            pieces = re.findall(r'"((?:\\.|[^"\\\n])*)"', match.group())
            value = re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), "".join(pieces))
            # A format given to snprintf makes text, such as a file name, not a line.
            statement_start = max(text.rfind(";", 0, match.start()), text.rfind("{", 0, match.start()))
            if re.search(r"\bsnprintf\s*\(", text[statement_start + 1:match.start()]):
                continue
            if CONVERSION.search(value) or value.endswith("\n"):
                line = text.count("\n", 0, match.start()) + 1
                found.append((value, f"{path.relative_to(source_dir)}:{line}"))
    return found


def render(page):
    """The page as plain text, each italic word wrapped in ITALIC_START and
    ITALIC_END, on lines long enough that no sentence is broken."""
    out = run(["groff", "-man", "-Tascii", "-P-c", "-rHY=0", "-rLL=2000n", page])
    if out.returncode != 0:
        sys.exit(f"groff could not render {page}: {out.stderr}")
    # grotty's old overstrike form: "_", backspace, c is an italic c;
    # c, backspace, c is a bold one.
    text = []
    italic = False
    i, raw = 0, out.stdout
    while i < len(raw):
        if raw.startswith("_\b", i) and i + 2 < len(raw):
            char, now_italic, i = raw[i + 2], True, i + 3
        elif i + 2 < len(raw) and raw[i + 1] == "\b" and raw[i + 2] == raw[i]:
            char, now_italic, i = raw[i], False, i + 3
        else:
            char, now_italic, i = raw[i], False, i + 1
        now_italic = now_italic and not char.isspace()
        if now_italic != italic:
            text.append(ITALIC_START if now_italic else ITALIC_END)
            italic = now_italic
        text.append(char)
    return "".join(text)


def sections(rendered):
    """Heading -> text of that section; headings stand at the left margin."""
    parts = {}
    heading = None
    for line in rendered.splitlines():
        if re.fullmatch(r"[A-Z][A-Z ]*[A-Z]", line):
            heading = line
            parts[heading] = []
        elif heading:
            parts[heading].append(line)
    return {name: "\n".join(lines) for name, lines in parts.items()}


def line_pattern(format_text):
    """A pattern for a printed line: each conversion matches one italic
    word, each run of blanks any blanks, every other character itself,
    outside italics."""
    pattern = []
    for piece in re.split(rf"(%%|{CONVERSION.pattern}|\s+)", format_text):
        if not piece:
            continue
        if piece == "%%":
            pattern.append("%")
        elif piece.startswith("%"):
            pattern.append(f"{ITALIC_START}[^{ITALIC_END}\\s]+{ITALIC_END}")
        elif piece.isspace():
            pattern.append(r"\s+")
        else:
            pattern.append(re.escape(piece))
    return "".join(pattern)


def main():
    page, tool, source_dir, version = sys.argv[1:5]
    problems = []

    lint = run(["groff", "-man", "-ww", "-z", page])
    if lint.returncode != 0 or lint.stderr:
        problems.append(f"groff warns:\n{lint.stderr}")
    if shutil.which("mandoc"):
        lint = run(["mandoc", "-T", "lint", "-W", "warning", page])
        if lint.returncode != 0 or lint.stdout or lint.stderr:
            problems.append(f"mandoc warns:\n{lint.stdout}{lint.stderr}")
    shown = run(["man", "-l", page], env=dict(os.environ, MANWIDTH="80", MANPAGER="cat"))
    if shown.returncode != 0 or "VANTREL(1)" not in shown.stdout:
        problems.append(f"man -l does not show the page: {shown.stderr}")

    title = re.search(r"^\.TH .*$", Path(page).read_text(encoding="utf-8"), re.M)
    if not title or f'"vantrel {version}"' not in title.group():
        problems.append(f"the .TH line does not carry \"vantrel {version}\"")

    parts = sections(render(page))
    problems += [f"no section {name}" for name in SECTIONS if name not in parts]
    options = parts.get("OPTIONS", "")
    diagnostics = parts.get("DIAGNOSTICS", "")

    usage = run([tool]).stdout
    if not usage.startswith("Usage:"):
        problems.append(f"{tool} with no arguments printed no usage text: {usage!r}")
    for option, meaning in re.findall(r"^(/\w) - (.*)$", usage, re.M):
        if not re.search(rf"^\s+{re.escape(option)}\b", options, re.M | re.I):
            problems.append(f"OPTIONS has no entry for {option} ({meaning})")

    formats = {}
    for format_text, where in source_formats(source_dir) + [(usage, "the usage text")]:
        formats.setdefault(format_text.strip(), []).append(where)
    for text, places in formats.items():
        if text and not re.search(line_pattern(text), diagnostics):
            problems.append(f"DIAGNOSTICS does not show {text!r} (printed at {', '.join(places)})")

    for problem in problems:
        print(problem)
    print(f"{len(formats)} distinct printed lines checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
