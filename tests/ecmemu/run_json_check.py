#!/usr/bin/env python3
"""One `ecmemu run --json` session, checked from the outside as automation would read it.

    run_json_check.py ECMEMU [ecmemu run options...]

Passes when the session exits 0 and its JSON says: initialized, ok, frames went both ways and
came back whole (nothing lost, duplicated, reordered, corrupted or merged), no verifier
violation, no leak, and the fields keep their documented forms.
"""
import json
import re
import subprocess
import sys

ADDRESS = re.compile(r"^[0-9A-F]{2}(-[0-9A-F]{2}){5}$")
HEX32 = re.compile(r"^0x[0-9A-F]{8}$")


def check(report, surprise_removal):
    problems = []

    def expect(condition, what):
        if not condition:
            problems.append(what)

    expect(report["ok"] is True, "ok is not true: %s" % report.get("failed_checks"))
    expect(report["initialized"] is True, "not initialized")
    expect(report["initialize_status"] == "0x00000000", "initialize_status %s" % report["initialize_status"])
    for entry in report["error_log"]:
        expect(HEX32.match(entry["code"]) and all(isinstance(v, int) for v in entry["values"]),
               "error log entry %s" % entry)
    for key in ("permanent_address", "current_address"):
        expect(ADDRESS.match(report[key] or ""), "%s %r" % (key, report[key]))
    expect(isinstance(report["configuration_index"], int), "configuration_index")
    expect(report["maximum_total_size"] >= 1514, "maximum_total_size %s" % report["maximum_total_size"])
    expect(report["media_connected"] is True, "media not connected at the end")
    expect(report["link_speed"] > 0, "link_speed %s" % report["link_speed"])
    expect(0x1C in report["packet_filter_requests"],
           "no SET_ETHERNET_PACKET_FILTER 0x001C among %s" % report["packet_filter_requests"])

    frames = report["frames"]
    for key in ("lost", "duplicated", "reordered", "corrupted", "merged_on_device"):
        expect(frames[key] == 0, "%d frame(s) %s" % (frames[key], key))
    expect(frames["sent"] > 0 and frames["verified"] > 0, "no traffic: %s" % frames)
    expect(frames["received"] == frames["verified"], "received %d, verified %d" % (frames["received"], frames["verified"]))
    excused = frames["flushed_by_reset"] + frames["dropped_by_reset"] + frames["cut_by_removal"]
    expect(frames["verified"] + excused == frames["sent"], "frames do not add up: %s" % frames)
    expect((frames["cut_by_removal"] > 0) == surprise_removal, "cut_by_removal %d" % frames["cut_by_removal"])

    counters = report["counters"]
    expect(counters["RcvOk"] == frames["received"], "RcvOk %d, received %d" % (counters["RcvOk"], frames["received"]))
    expect(counters["XmitOk"] >= frames["verified"], "XmitOk %d" % counters["XmitOk"])
    expect(counters["RcvError"] == 0 and counters["RcvNoBuffer"] == 0, "receive errors: %s" % counters)

    expect(report["verifier_violations"] == [], "verifier: %s" % report["verifier_violations"])
    expect(report["leaks"] == [], "leaks: %s" % report["leaks"])
    return problems


def main():
    ecmemu, options = sys.argv[1], sys.argv[2:]
    run = subprocess.run([ecmemu, "run", "--json"] + options, capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        print("exit status %d\n%s%s" % (run.returncode, run.stdout, run.stderr))
        return 1
    report = json.loads(run.stdout)
    problems = check(report, "--surprise-removal" in options)
    frames = report["frames"]
    print("%s: %d sent, %d back whole, %.0f round trips/s" %
          (" ".join(options) or "built-in", frames["sent"], frames["verified"], report.get("round_trips_per_second", 0)))
    for problem in problems:
        print("FAIL: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
