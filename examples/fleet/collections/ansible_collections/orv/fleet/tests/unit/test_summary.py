import json

from ansible_collections.orv.fleet.plugins.module_utils.summary import csv_rows, entries_in, markdown

ADAPTERS = [dict(adapter=1, id="0x1111", name='KEP "4", RAID', package="r.pkg", state="failed", exit_code=3,
                 result_file="result-1.out"),
            dict(adapter=2, id="0x4444", name=None, package=None, state="not covered", exit_code=None)]
FAILED = dict(host="b", outcome="failed", message=["orvTQupdate reported failed | badly", "more"],
              report=dict(adapters=ADAPTERS, counts={"failed": 1, "not covered": 1}))
UPDATED = dict(host="a", outcome="updated", message=[], report=dict(adapters=[], counts={"updated": 0}))
UNTOUCHED = dict(host="c", outcome="not touched", message=[], report=None)


def test_csv_one_row_per_adapter_and_one_for_a_host_without():
    assert csv_rows([FAILED, UPDATED, UNTOUCHED]) == (
        "host,outcome,adapter,id,name,package,state,exit_code\n"
        'b,failed,1,0x1111,"KEP ""4"", RAID",r.pkg,failed,3\n'
        "b,failed,2,0x4444,,,not covered,\n"
        "a,updated,,,,,,\n"
        "c,not touched,,,,,,\n")


def test_markdown_says_why_each_failed_host_failed():
    text = markdown([FAILED, UPDATED, UNTOUCHED], False, when="now")
    assert text.startswith("# orvTQupdate rollout, now\n")
    assert "| b | failed | | 1 | | 1 | | | | orvTQupdate reported failed \\| badly |" in text.replace("  ", " ")
    assert "| b | 1 | 0x1111 | r.pkg | failed | 3 | result-1.out |" in text
    assert "### b\n\n```\norvTQupdate reported failed | badly\nmore\n```" in text
    assert "### c" not in text and "### a" not in text
    quiet = markdown([UPDATED], True, when="now")
    assert quiet.startswith("# orvTQupdate plan (check mode), now") and "None.\n" in quiet and "None failed." in quiet


def test_entries_in_inventory_order_then_by_name_and_unreadable_ones_said(tmp_path):
    for entry in (FAILED, UPDATED, dict(UNTOUCHED, host="z"), dict(UNTOUCHED, host="y")):
        (tmp_path / (entry["host"] + ".outcome.json")).write_text(json.dumps(entry))
    (tmp_path / "x.outcome.json").write_text("{cut")
    entries, unread = entries_in(str(tmp_path), ["b", "nowhere", "a"])
    assert [e["host"] for e in entries] == ["b", "a", "x", "y", "z"]
    assert entries[2]["outcome"] == "unknown" and len(unread) == 1 and "x.outcome.json" in unread[0]
