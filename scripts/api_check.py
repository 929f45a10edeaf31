#!/usr/bin/env python3
"""Checks that the code calls nothing the target boards lack: every
GStreamer, GLib and GObject function, macro and type the sources name, and
every such symbol the built objects import (calls that macros and inline
functions expand to), must exist in GStreamer 1.14 and GLib 2.56.

    api_check.py --refs DIR [--gir DIR] [--objects FILE ...] SOURCE_OR_DIR ...

DIR holds the reference lists of GStreamer 1.14.5 and GLib 2.56.4
(exports and header identifiers). A name missing from them is reported
with the version that introduced it, from the GObject-introspection data
of the installed packages (--gir, default /usr/share/gir-1.0), and with
the file and line that use it. Exit status 1 when anything is reported.
"""

import argparse
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

PREFIXED = re.compile(r"\b(?:gst_|g_|GST_|G_|Gst[A-Z]|G[A-Z][a-z])[A-Za-z0-9_]*\b")
SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp")
# Spellings that look like the libraries' names and are not theirs.
NOT_LIBRARY = {"GLIB_VERSION_2_56"}


def strip_comments_and_strings(text):
    """The text with comments, string and character literals blanked out,
    lines kept, so that only code is searched."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(" ")
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def source_files(paths):
    for path in paths:
        if os.path.isdir(path):
            for root, _, names in os.walk(path):
                for name in sorted(names):
                    if name.endswith(SOURCE_SUFFIXES):
                        yield os.path.join(root, name)
        else:
            yield path


def own_names(files):
    """What the project defines itself: macros, types, functions."""
    names = set()
    define = re.compile(r"^\s*#\s*define\s+([A-Za-z_][A-Za-z0-9_]*)", re.M)
    typedef = re.compile(r"\b(?:struct|typedef\s+struct|class|enum)\s+(_?[A-Za-z_][A-Za-z0-9_]*)")
    typedef_end = re.compile(r"}\s*([A-Za-z_][A-Za-z0-9_]*)\s*;")
    typedef_alias = re.compile(r"\btypedef\s+[^;{}]*?\b([A-Za-z_][A-Za-z0-9_]*)\s*;")
    function = re.compile(r"^[A-Za-z_][\w\s\*:<>,]*?\b([A-Za-z_]\w*)\s*\([^;]*?\)\s*(?:const\s*)?\{",
                          re.M)
    member = re.compile(r"^\s*[A-Za-z_][\w\s\*]*?\b(\w+)\s*(?:\[[^\]]*\])?\s*;", re.M)
    pointer = re.compile(r"\(\s*\*\s*(\w+)\s*\)\s*\(")
    declaration = re.compile(r"^\s*(?:ZARN_EXPORT\s+|extern\s+|static\s+|inline\s+)*"
                             r"[A-Za-z_][\w\s\*:<>,]*?\b([A-Za-z_]\w*)\s*\(", re.M)
    for path in files:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = strip_comments_and_strings(f.read())
        for pattern in (define, typedef, typedef_end, typedef_alias, function, declaration,
                        member, pointer):
            names.update(pattern.findall(text))
        # GObject's boilerplate macros define the type's functions.
        for prefix in re.findall(r"G_DEFINE_TYPE\s*\(\s*\w+\s*,\s*(\w+)", text):
            names.update({prefix, prefix + "_get_type", prefix + "_init", prefix + "_class_init",
                          prefix + "_parent_class"})
        names.update(re.findall(r"GST_DEBUG_CATEGORY(?:_STATIC|_EXTERN)?\s*\(\s*(\w+)", text))
    return names


def load_lists(refs):
    known = set()
    for name in ("gst-1.14.5-exports.txt", "gst-1.14.5-idents.txt", "glib-2.56.4-idents.txt"):
        with open(os.path.join(refs, name)) as f:
            known.update(line.strip() for line in f if line.strip())
    return known


def gir_versions(directory):
    """c:identifier, c:type and macro names with their "version"."""
    versions = {}
    if not os.path.isdir(directory):
        return versions
    core = "{http://www.gtk.org/introspection/core/1.0}"
    c_ns = "{http://www.gtk.org/introspection/c/1.0}"
    for name in sorted(os.listdir(directory)):
        if not re.match(r"(Gst|GLib|GObject|GModule|Gio)", name) or not name.endswith(".gir"):
            continue
        try:
            tree = ET.parse(os.path.join(directory, name))
        except ET.ParseError:
            continue
        for element in tree.iter():
            version = element.get("version")
            if not version:
                continue
            for attribute in (c_ns + "identifier", c_ns + "type"):
                ident = element.get(attribute)
                if ident:
                    versions.setdefault(ident, version)
            if element.tag in (core + "constant",) and element.get("name"):
                versions.setdefault(element.get(c_ns + "type") or element.get("name"), version)
    return versions


def defined_symbols(objects):
    names = set()
    for path in objects:
        out = subprocess.run(["nm", "--defined-only", "-D", path], stdout=subprocess.PIPE,
                             universal_newlines=True).stdout
        names.update(line.split()[-1].split("@")[0] for line in out.splitlines() if line.split())
    return names


def imported_symbols(objects):
    names = {}
    for path in objects:
        try:
            out = subprocess.run(["nm", "-u", "-D" if path.endswith(".so") else "-u", path],
                                 stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
        except (OSError, subprocess.CalledProcessError):
            out = subprocess.run(["nm", "-u", path], stdout=subprocess.PIPE,
                                 universal_newlines=True).stdout
        for line in out.splitlines():
            symbol = line.split()[-1].split("@")[0]
            if symbol.startswith(("g_", "gst_", "_gst_", "_g_")):
                names.setdefault(symbol, path)
    return names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--refs", required=True)
    parser.add_argument("--gir", default="/usr/share/gir-1.0")
    parser.add_argument("--objects", nargs="*", default=[])
    parser.add_argument("sources", nargs="+")
    args = parser.parse_args()

    known = load_lists(args.refs)
    versions = gir_versions(args.gir)
    files = list(source_files(args.sources))
    # What the project's own libraries define (the SDK stand-in's functions
    # have the SDK's gst_ names).
    own = own_names(files) | defined_symbols(args.objects)

    problems = []
    seen = set()
    for path in files:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = strip_comments_and_strings(f.read())
        for number, line in enumerate(text.splitlines(), 1):
            for name in PREFIXED.findall(line):
                if name in known or name in own or name in NOT_LIBRARY or (name, path) in seen:
                    continue
                seen.add((name, path))
                since = versions.get(name)
                problems.append("%s:%d: %s %s" % (
                    path, number, name,
                    "is new in %s" % since if since else "is not in GStreamer 1.14 or GLib 2.56"))
    named = {p.split(": ")[1].split(" ")[0] for p in problems}
    for symbol, obj in sorted(imported_symbols(args.objects).items()):
        if symbol in known or symbol in own or symbol in named:
            continue
        since = versions.get(symbol)
        problems.append("%s: imports %s, %s" % (
            obj, symbol,
            "new in %s" % since if since else "not in GStreamer 1.14 or GLib 2.56"))

    for problem in problems:
        print(problem)
    print("api check: %d source files, %d objects, %d names newer than GStreamer 1.14 / "
          "GLib 2.56" % (len(files), len(args.objects), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
