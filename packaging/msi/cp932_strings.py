#!/usr/bin/python3
"""Puts the Japanese texts of the installer into the MSI as code page 932.

wixl (libmsi) loses or mangles non-ASCII strings of a code-page-932 database:
a string that is Japanese from its start comes out empty, and one that
begins with ASCII crashes it. So the installer is built from a copy of the
WiX source in which every run of non-ASCII text is a placeholder of ASCII
characters exactly as long as the run's code-page-932 bytes, and the bytes
are put in place afterwards, inside the MSI's string data and summary
information streams. Equal lengths leave every string length and stream size
as wixl wrote them.

  cp932_strings.py mask SOURCE.wxs MASKED.wxs RUNS.json
  cp932_strings.py unmask PACKAGE.msi RUNS.json
"""
import json
import re
import sys

NON_ASCII_RUN = re.compile(r"[^\x00-\x7f]+")
# The cabinet and the icon are binary and large; strings live in small streams.
LARGEST_STRING_STREAM = 256 * 1024


def placeholder(index, length):
    # A backquote and a number no two runs share, so that no placeholder can
    # be found inside another; tildes up to the run's length.
    text = "`%02d" % index
    if len(text) > length:
        raise SystemExit(f"cp932_strings: a Japanese run of {length} bytes is too short to be replaced")
    return text + "~" * (length - len(text))


def mask(source, masked, runs_file):
    text = open(source, encoding="utf-8").read()
    runs = {}

    def replace(match):
        run = match.group(0)
        if run.startswith("\ufeff"):
            return ""
        if run not in runs:
            runs[run] = placeholder(len(runs) + 1, len(run.encode("cp932")))
        return runs[run]

    # Comments may hold any text: they never reach the package.
    text = re.sub(r"<!--.*?-->", "", text, flags=re.S)
    text = NON_ASCII_RUN.sub(replace, text)
    open(masked, "w", encoding="ascii").write(text)
    json.dump(runs, open(runs_file, "w", encoding="utf-8"), ensure_ascii=False, indent=1)


def unmask(package, runs_file):
    import olefile  # Debian's python3-olefile

    runs = json.load(open(runs_file, encoding="utf-8"))
    found = {run: 0 for run in runs}
    ole = olefile.OleFileIO(package, write_mode=True)
    for entry in ole.listdir(streams=True, storages=False):
        if ole.get_size(entry) > LARGEST_STRING_STREAM:
            continue
        data = ole.openstream(entry).read()
        patched = data
        for run, token in runs.items():
            token_bytes = token.encode("ascii")
            found[run] += patched.count(token_bytes)
            patched = patched.replace(token_bytes, run.encode("cp932"))
        if patched != data:
            ole.write_stream(entry, patched)
    ole.close()
    missing = [run for run, count in found.items() if count == 0]
    if missing:
        raise SystemExit("cp932_strings: not found in the package: " + ", ".join(missing))


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "mask":
        mask(*sys.argv[2:])
    elif len(sys.argv) == 4 and sys.argv[1] == "unmask":
        unmask(*sys.argv[2:])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
