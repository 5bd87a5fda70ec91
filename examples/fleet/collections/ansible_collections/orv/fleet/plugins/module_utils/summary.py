# The fleet report: each host's outcome kept on the controller beside its report, and the
# summaries (summary.csv, summary.md) rebuilt from every host's kept outcome.
from __future__ import annotations

import json
import os
import time

STATES = ["updated", "failed", "unverified", "not covered", "no id", "would update", "would fail"]
PASSING = ("updated", "would update", "nothing covered", "already updated")
HEADER = "host,outcome,adapter,id,name,package,state,exit_code"
KEPT = ".outcome.json"


def field(value):
    text = "" if value is None else str(value)
    return '"%s"' % text.replace('"', '""') if any(c in text for c in '",\r\n') else text


def csv_rows(entries):
    rows = [HEADER]
    for e in entries:
        report = e.get("report") if isinstance(e.get("report"), dict) else {}
        for a in report.get("adapters") or [{}]:
            rows.append(",".join(field(v) for v in [e["host"], e["outcome"], a.get("adapter"), a.get("id"),
                                                     a.get("name"), a.get("package"), a.get("state"), a.get("exit_code")]))
    return "\n".join(rows) + "\n"


def _cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def markdown(entries, plan_only, when=None):
    when = when or time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())
    failed = [e for e in entries if e["outcome"] not in PASSING and e["outcome"] != "not touched"]
    out = ["# orvTQupdate %s, %s" % ("plan (check mode)" if plan_only else "rollout", when), "",
           "| host | outcome | %s | why |" % " | ".join(STATES), "|---|---|%s---|" % ("---:|" * len(STATES))]
    for e in entries:
        counts = (e.get("report") or {}).get("counts") or {} if isinstance(e.get("report"), dict) else {}
        why = _cell((e.get("message") or [""])[0]) if e in failed else ""
        out.append("| %s | %s | %s%s |" % (_cell(e["host"]), e["outcome"],
                                              "".join("%s | " % counts.get(s, "") for s in STATES), why))
    out += ["", "## Failed adapters", "", "| host | adapter | ID | package | state | exit code | tool output |",
            "|---|---:|---|---|---|---:|---|"]
    rows = 0
    for e in entries:
        report = e.get("report") if isinstance(e.get("report"), dict) else {}
        for a in report.get("adapters") or []:
            if a.get("state") in ("failed", "unverified", "would fail", "no id"):
                rows += 1
                out.append("| %s | %s | %s | %s | %s | %s | %s |" % tuple(_cell("" if v is None else v) for v in (
                    e["host"], a.get("adapter"), a.get("id"), a.get("package"), a.get("state"), a.get("exit_code"),
                    a.get("result_file"))))
    out += ["" if rows else "None.", "", "## Why each failed host failed", "" if failed else "None failed."]
    for e in failed:
        out += ["", "### %s" % e["host"], "", "```"] + [str(m) for m in e.get("message") or []] + ["```"]
    return "\n".join(out) + "\n"


def entries_in(directory, order):
    """Every host's kept outcome in DIRECTORY: the hosts of ORDER first, in that order, then the
    others by name. Returns the entries and the files that could not be read."""
    names = sorted(f[:-len(KEPT)] for f in os.listdir(directory) if f.endswith(KEPT))
    ranked = [h for h in order if h in names] + [h for h in names if h not in order]
    entries, unread = [], []
    for host in ranked:
        path = os.path.join(directory, host + KEPT)
        try:
            with open(path) as f:
                entries.append(json.load(f))
        except (OSError, ValueError) as e:
            unread.append("%s (%s)" % (path, getattr(e, "strerror", None) or e))
            entries.append(dict(host=host, outcome="unknown", message=["%s cannot be read" % path], report=None))
    return entries, unread
