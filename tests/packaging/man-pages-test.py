#!/usr/bin/env python3
"""Every man page renders without markup left over: scdoc, then groff to plain text.

Two faults show up in the rendered page: formatting that is never closed (the rest of the
paragraph turns italic or bold, and the closing character is printed), and an underscore or
asterisk that scdoc printed because it sat where it could not open or close formatting
("rules_", "VID_n_"). An underscore between two letters or digits is plain text (VID_7E55);
any other underscore or asterisk meant as text is escaped in the source (\\_, a\\*b), and
literal blocks are taken as they stand.

    man-pages-test.py SCDOC GROFF PAGE.scd...
"""
import re
import subprocess
import sys

FONT = re.compile(r"\\f([BIR])")
STRAY = re.compile(r"(?<![A-Za-z0-9])[_*]|[_*](?![A-Za-z0-9])")


class RenderError(Exception):
    pass


def scdoc(tool, text):
    result = subprocess.run([tool], input=text, capture_output=True, text=True)
    if result.returncode != 0:
        raise RenderError(result.stderr.strip())
    return result.stdout


def plain_text(groff, page):
    # -Tascii with every overstrike off: the letters as a reader sees them, one long line each.
    command = [groff, "-man", "-Tascii", "-P-c", "-P-b", "-P-u", "-P-o", "-rLL=250n", "-rHY=0"]
    return subprocess.run(command, input=page, capture_output=True, text=True, check=True).stdout


def open_formatting(page):
    """Requests (.PP, .SH, ...) reached while bold or italic is still on: (line, text)."""
    faults, font = [], "R"
    for number, line in enumerate(page.splitlines(), 1):
        if line.startswith(".") and font != "R":
            faults.append((number, line))
            font = "R"
        for change in FONT.findall(line):
            font = change
    if font != "R":
        faults.append((number, "end of page"))
    return faults


def stray_markup(text):
    """Lines of the plain text with an underscore or asterisk outside a word."""
    return [line.strip() for line in text.splitlines() if STRAY.search(line)]


def main(scdoc_tool, groff, sources):
    failed = False
    for source in sources:
        with open(source, encoding="utf-8") as file:
            text = file.read()
        try:
            for number, where in open_formatting(scdoc(scdoc_tool, text)):
                print(f"{source}: formatting still open at rendered line {number}: {where}")
                failed = True
            # Escaped characters and literal blocks are meant as they stand: left out here.
            unescaped = re.sub(r"```.*?```", "", text, flags=re.S)
            unescaped = re.sub(r"\\([\\_*])", lambda m: "\\\\" if m.group(1) == "\\" else "", unescaped)
            for line in stray_markup(plain_text(groff, scdoc(scdoc_tool, unescaped))):
                print(f"{source}: markup left in the rendered text: {line}")
                failed = True
        except RenderError as error:
            print(f"{source}: scdoc refused it: {error}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
