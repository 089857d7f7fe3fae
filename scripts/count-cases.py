#!/usr/bin/env python3
"""Counts the test cases of one ctest run: count-cases.py CTEST_JUNIT REPORTS_DIR

Prints "PASSED FAILED SKIPPED". An entry that left a report REPORTS_DIR/<entry>.xml (GoogleTest under
Wine, pytest) counts the cases in it; any other entry is one case. An entry that failed while its
report shows no failed case (a crash after the cases, a wrapper's own failure) adds one failed case.
"""
import os
import sys
import xml.etree.ElementTree as ET


def report_counts(path):
    passed = failed = skipped = 0
    for case in ET.parse(path).getroot().iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif (case.find("skipped") is not None or case.get("status") == "notrun"
              or case.get("result") == "skipped"):
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def main():
    ctest_junit, reports = sys.argv[1], sys.argv[2]
    passed = failed = skipped = 0
    for entry in ET.parse(ctest_junit).getroot().iter("testcase"):
        status = entry.get("status")
        # A case that skipped itself (GTEST_SKIP) is "notrun" to ctest, which still passed it.
        if status in ("disabled", "notrun"):
            skipped += 1
            continue
        entry_failed = status != "run"
        report = os.path.join(reports, entry.get("name") + ".xml")
        counts = None
        if os.path.isfile(report):
            try:
                counts = report_counts(report)
            except ET.ParseError:
                counts = None
        if counts is None:
            failed += entry_failed
            passed += not entry_failed
            continue
        p, f, s = counts
        if entry_failed and f == 0:
            f = 1
        passed, failed, skipped = passed + p, failed + f, skipped + s
    print(passed, failed, skipped)


if __name__ == "__main__":
    main()
