# What a rollout sends, checked once on the controller before any host is touched.
from __future__ import annotations

import hashlib
import os
import re

# A record's third field, as the program reads it; the package is its first word.
RECORD = re.compile(r"^,*[^,]+,+[^,]+,+([^,]*)")
PROGRAM = "orvTQupdate"


class Unfit(Exception):
    """What is to be sent cannot be sent; no host is touched."""


def first_word(field):
    """The first word of a package field as the shell hands it to the tool: its quotes removed."""
    word, quote = "", None
    for c in field.lstrip(" \t"):
        if quote is None and c in " \t":
            break
        if quote is None and c in "'\"":
            quote = c
        elif quote is not None and c == quote:
            quote = None
        else:
            word += c
    return word


def named_packages(text):
    """The packages that the info file's records name, in order, each once."""
    if text.startswith("\ufeff"):
        text = text[1:]
    names = []
    for line in text.split("\n"):
        match = RECORD.match(line.rstrip(" "))
        word = first_word(match.group(1)) if match else ""
        if word and word not in names:
            names.append(word)
    return names


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def files_to_send(program, info_file, packages):
    """The program, the info file and the packages, as the hosts get them: name, SHA-256, mode and
    role; and the sorted checksum lines of the info file and the packages."""
    missing = [p for p in [program, info_file] + list(packages) if not os.path.isfile(p)]
    if missing:
        raise Unfit("not files on the controller: %s; no host was touched" % ", ".join(missing))
    names = [os.path.basename(p) for p in packages]
    clash = sorted({n for n in names if names.count(n) > 1 or n in (PROGRAM, os.path.basename(info_file))})
    if clash:
        raise Unfit("two files to send have the same name: %s; no host was touched" % ", ".join(clash))
    with open(info_file, encoding="utf-8", errors="surrogateescape") as f:
        unsent = [n for n in named_packages(f.read()) if n not in names]
    if unsent:
        raise Unfit("the info file names packages that are not sent: %s; no host was touched"
                    % ", ".join('"%s"' % n for n in unsent))
    files = [dict(src=program, name=PROGRAM, mode="0755", role="program"),
             dict(src=info_file, name=os.path.basename(info_file), mode="0644", role="info")]
    files += [dict(src=p, name=n, mode="0644", role="package") for p, n in zip(packages, names)]
    for f in files:
        f["sha256"] = digest(f["src"])
    sums = sorted("%s  %s" % (f["sha256"], f["name"]) for f in files[1:])
    return files, "\n".join(sums)


def differing(values):
    """VALUES: host -> value. None when every host has the same, else a text naming the hosts."""
    distinct = []
    for host, value in values.items():
        for d in distinct:
            if d[0] == value:
                d[1].append(host)
                break
        else:
            distinct.append((value, [host]))
    if len(distinct) < 2:
        return None
    return "; ".join("%s for %s" % (value if value is not None else "(the default)", ", ".join(hosts))
                     for value, hosts in distinct)


def percentage(value):
    """orv_max_fail_percentage as Ansible reads the play keyword: a number, "50%" included."""
    return float(str(value).replace("%", "")) if value is not None else 0.0
