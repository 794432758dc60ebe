#!/usr/bin/env python3
"""Prints a disc report's JSON without what differs between two runs of the same disc: the time
it was read, the read rates, and the thumbnails (a build without FFmpeg's libraries has none).

usage: report_content.py REPORT.json"""
import json, sys

report = json.load(open(sys.argv[1], encoding="utf-8"))
report["disc"].pop("read_at")
for volatile in ("rate", "thumbnails_note"):
    report.pop(volatile)
for recording in report["recordings"]:
    recording.pop("thumbnail")
    recording.pop("note")
print(json.dumps(report, indent=1, sort_keys=True, ensure_ascii=False))
