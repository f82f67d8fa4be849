#!/usr/bin/env python3
"""Writes the manual page brantcfg.1 from the tool's own help texts, so that
the two say the same: "brantcfg --help" gives the page's frame and each
"brantcfg VERB --help" the part on that verb.

Usage: make_manpage.py TOOL OUTPUT          write the page
       make_manpage.py --check TOOL PAGE    fail when PAGE is not what TOOL's
                                            help makes (run by ctest)

The help texts follow a few conventions that this script reads: a heading
is a line "Words:" at the left margin; a block indented by two columns is a
list of items when its first line holds a term, two blanks and a text; a
block of lines beginning "  - " is a list of points; any other indented
block is kept as it is; other text is prose.
"""
import difflib
import re
import subprocess
import sys

ITEM = re.compile(r"^  (\S+(?: \S+)*?) {2,}(\S.*)$")
HEADING = re.compile(r"^([A-Z][^:]*):$")


def run(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def escape(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def blocks(lines):
    """Splits lines into (kind, lines) runs: prose, or indented material."""
    runs = []
    for line in lines:
        kind = "blank" if not line.strip() else ("indented" if line.startswith("  ") else "prose")
        if runs and runs[-1][0] == kind:
            runs[-1][1].append(line)
        else:
            runs.append((kind, [line]))
    return [run for run in runs if run[0] != "blank"]


def roff_block(kind, lines):
    out = []
    if kind == "prose":
        out.append(".PP")
        out.extend(escape(line) for line in lines)
    elif ITEM.match(lines[0]):
        for line in lines:
            item = ITEM.match(line)
            if item:
                out += [".TP", "\\fB" + escape(item.group(1)) + "\\fR", escape(item.group(2))]
            else:
                out.append(escape(line.strip()))
    elif lines[0].startswith("  - "):
        for line in lines:
            if line.startswith("  - "):
                out += [".IP \\(bu 2", escape(line[4:])]
            else:
                out.append(escape(line.strip()))
    else:
        out += [".PP", ".RS 4", ".nf"]
        out.extend(escape(line[2:]) for line in lines)
        out += [".fi", ".RE"]
    return out


def sections(text):
    """The help cut at its headings: [(heading or None, lines)]."""
    parts = [(None, [])]
    for line in text.splitlines():
        heading = HEADING.match(line)
        if heading:
            parts.append((heading.group(1), []))
        else:
            parts[-1][1].append(line)
    return parts


def body(lines):
    out = []
    for kind, run_lines in blocks(lines):
        out += roff_block(kind, run_lines)
    return out


def manpage(tool):
    version = run(tool, "--version").split()[-1]
    parts = sections(run(tool, "--help"))
    usage = [line for line in parts[0][1] if line.startswith(("Usage:", "       "))]
    synopsis = [line.replace("Usage:", "").strip() for line in usage]
    description = [line for line in parts[0][1] if line not in usage]
    out = [
        '.\\" Made by tools/make_manpage.py from the help of brantcfg; do not edit.',
        '.TH BRANTCFG 1 "" "brantcfg %s" "User Commands"' % version,
        ".nh",
        ".SH NAME",
        "brantcfg \\- read and change INI files",
        ".SH SYNOPSIS",
        ".nf",
        *(escape(line) for line in synopsis),
        ".fi",
        ".SH DESCRIPTION",
        *body(description),
    ]
    for heading, lines in parts[1:]:
        out.append(".SH " + escape(heading.upper()))
        if heading != "Verbs":
            out += body(lines)
            continue
        for verb in re.findall(r"^  (\w+) ", "\n".join(lines), re.M):
            verb_parts = sections(run(tool, verb, "--help"))
            head = verb_parts[0][1]
            # The usage line, maybe wrapped, and then the verb's text.
            end = head.index("")
            usage_line = " ".join(line.strip() for line in head[:end]).replace("Usage: brantcfg ", "")
            out.append('.SS "%s"' % escape(usage_line))
            out += body(head[end:])
            for sub_heading, sub_lines in verb_parts[1:]:
                # The pointer to the tool's help is this page itself.
                kept = [line for line in sub_lines if not line.startswith("The INI dialect and the exit")]
                out += [".PP", escape(sub_heading) + ":"] + body(kept)
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) == 4 and argv[1] == "--check":
        made, page = manpage(argv[2]), open(argv[3], encoding="utf-8").read()
        if made == page:
            return 0
        sys.stdout.writelines(difflib.unified_diff(page.splitlines(True), made.splitlines(True),
                                                   argv[3], "from the help"))
        print("%s is not in step with the tool's help: rebuild it with "
              "'cmake --build --preset dev --target brantcfg_manpage'" % argv[3])
        return 1
    if len(argv) == 3:
        with open(argv[2], "w", encoding="utf-8") as page:
            page.write(manpage(argv[1]))
        return 0
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
