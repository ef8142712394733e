#!/usr/bin/env python3
"""Prints deb-src entries (deb822) mirroring the machine's own binary sources.

Reads the enabled entries of APT's sources (sources.list, sources.list.d/*.list
and *.sources, or the files given as arguments) and, for each that fetches
binary packages ("deb"), writes a source-package entry with the same URIs,
suites, components and signing key: whatever mirror, proxy or snapshot the
machine uses for its binaries serves their sources too. Prints nothing when
there is no such entry.
"""
import glob
import os
import sys

APT = "/etc/apt"


def parse_options(text):
    """The [key=value ...] of a one-line entry."""
    options = {}
    for item in text.split():
        if "=" in item:
            key, value = item.split("=", 1)
            options[key.strip().lower().rstrip("+-")] = value.strip()
    return options


def one_line_entries(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for raw in f:
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            kind, _, rest = line.partition(" ")
            rest = rest.strip()
            options = {}
            if rest.startswith("["):
                end = rest.find("]")
                if end < 0:
                    continue
                options = parse_options(rest[1:end])
                rest = rest[end + 1:].strip()
            words = rest.split()
            if len(words) < 2:
                continue
            yield {
                "types": [kind],
                "uris": [words[0]],
                "suites": [words[1]],
                "components": words[2:],
                "signed-by": options.get("signed-by", ""),
                "enabled": True,
            }


def deb822_entries(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    stanzas, fields, key = [], {}, None
    for raw in text.splitlines() + [""]:
        if raw.startswith("#"):
            continue
        if not raw.strip():
            if fields:
                stanzas.append(fields)
            fields, key = {}, None
            continue
        if raw[0] in " \t" and key:
            # A continuation line (a multi-line value, such as an inline key).
            fields[key] += "\n" + raw
            continue
        key, _, value = raw.partition(":")
        key = key.strip().lower()
        fields[key] = value.strip()
    for s in stanzas:
        signed = s.get("signed-by", "")
        if "\n" in signed:
            signed = signed.replace("\n", "\n ")  # kept as an inline key block
        yield {
            "types": s.get("types", "").split(),
            "uris": s.get("uris", "").split(),
            "suites": s.get("suites", "").split(),
            "components": s.get("components", "").split(),
            "signed-by": signed,
            "enabled": s.get("enabled", "yes").lower() not in ("no", "false", "0"),
        }


def entries(paths):
    for path in paths:
        if not os.path.isfile(path):
            continue
        if path.endswith(".sources"):
            yield from deb822_entries(path)
        elif path.endswith(".list"):
            yield from one_line_entries(path)


def default_paths():
    return [os.path.join(APT, "sources.list")] + sorted(
        glob.glob(os.path.join(APT, "sources.list.d", "*.list"))
        + glob.glob(os.path.join(APT, "sources.list.d", "*.sources")))


def derive(paths):
    seen, out = set(), []
    for e in entries(paths):
        if not e["enabled"] or "deb" not in e["types"] or not e["uris"] or not e["suites"]:
            continue
        key = (tuple(e["uris"]), tuple(e["suites"]), tuple(e["components"]), e["signed-by"])
        if key in seen:
            continue
        seen.add(key)
        lines = ["Types: deb-src", "URIs: " + " ".join(e["uris"]), "Suites: " + " ".join(e["suites"])]
        if e["components"]:
            lines.append("Components: " + " ".join(e["components"]))
        if e["signed-by"]:
            lines.append("Signed-By: " + e["signed-by"])
        out.append("\n".join(lines))
    return "\n\n".join(out) + ("\n" if out else "")


if __name__ == "__main__":
    sys.stdout.write(derive(sys.argv[1:] or default_paths()))
