"""Reads a JUnit file of serivane-run with junitparser and holds it against the JSON report of
the same run: the same ports in the same order, a case for every test and every check the JSON
names (whatever checks there are), failures and errors where the JSON says something failed,
with its lines and diagnosis, and counts and times that add up.

    python3 junit_readback.py REPORT.xml REPORT.json

Prints one line per suite and exits 0, or prints what disagrees and exits 1.
"""

import json
import sys

from junitparser import Error, Failure, JUnitXml, Skipped

IDENTITY_KEYS = ("by_id", "driver", "usb_vendor_id", "usb_product_id", "serial_number",
                 "manufacturer", "product", "latency_timer_ms")

problems = []

# XML 1.0 cannot hold the C0 controls other than tab, line feed and carriage return, nor U+FFFE
# and U+FFFF: the report shows control pictures and U+FFFD in their place.
XML_VISIBLE = {c: 0x2400 + c for c in range(0x20) if c not in (0x9, 0xA, 0xD)}
XML_VISIBLE.update({0xFFFE: 0xFFFD, 0xFFFF: 0xFFFD})


def visible(value):
    """A JSON value as the JUnit report shows it."""
    if isinstance(value, str):
        return value.translate(XML_VISIBLE)
    if isinstance(value, list):
        return [visible(v) for v in value]
    if isinstance(value, dict):
        return {k: visible(v) for k, v in value.items()}
    return value


def check(condition, what):
    if not condition:
        problems.append(what)
    return condition


def results(case, kind):
    return [r for r in case.result if isinstance(r, kind)]


def near(a, b, cases=1):
    """Times are written to the millisecond: sums may differ by rounding only."""
    return abs(float(a) - float(b)) <= 0.0005 * max(cases, 1) + 1e-9


def check_counts(where, node, cases):
    check(int(node.tests) == len(cases), f"{where}: tests={node.tests}, cases {len(cases)}")
    for attr, kind in (("failures", Failure), ("errors", Error), ("skipped", Skipped)):
        n = sum(1 for c in cases if results(c, kind))
        check(int(getattr(node, attr)) == n, f"{where}: {attr}={getattr(node, attr)}, counted {n}")
    total = sum(float(c.time) for c in cases)
    check(near(node.time, total, len(cases)), f"{where}: time={node.time}, cases add to {total}")


def check_failure(where, case, kind, lines, sentences, message=None):
    found = results(case, kind)
    if not check(len(found) == 1, f"{where}: expected one <{kind.__name__.lower()}>"):
        return
    result = found[0]
    text = result.text or ""
    if message is not None:
        check(result.message == message, f"{where}: message {result.message!r}, not {message!r}")
    else:
        check(result.message in lines, f"{where}: message {result.message!r} is none of its lines")
    for line in list(lines) + list(sentences):
        check(line in text, f"{where}: {line!r} missing from the {kind.__name__.lower()} text")


def check_port(suite, port, all_cases):
    where = f"suite {suite.name!r}"
    props = {p.name: p.value for p in suite.properties()}
    check(port["port"] in suite.name, f"{where}: does not name the port {port['port']!r}")
    for key in ("port", "device", "settings"):
        check(props.get(key) == port[key], f"{where}: property {key} {props.get(key)!r}")
    check(props.get("interrupted") == str(port["interrupted"]).lower(),
          f"{where}: interrupted {props.get('interrupted')!r}")
    for key in IDENTITY_KEYS:
        if key in port["identity"]:
            check(props.get(key) == str(port["identity"][key]), f"{where}: identity {key}")
    check(suite.hostname is not None and suite.timestamp is not None,
          f"{where}: no hostname or timestamp")

    cases = list(suite)
    all_cases.extend(cases)
    check_counts(where, suite, cases)
    unmatched = list(cases)

    def take(predicate, what):
        for c in unmatched:
            if predicate(c):
                unmatched.remove(c)
                return c
        check(False, f"{where}: no case for {what}")
        return None

    if "error" in port:
        c = take(lambda c: results(c, Error), f"the error {port['error']!r}")
        if c is not None:
            check_failure(f"{where}, error", c, Error, [], [], message=port["error"])
    checks = port.get("checks", [])
    check_sentences = {s for ch in checks for s in ch["diagnosis"]}
    test_sentences = [s for s in port["diagnosis"] if s not in check_sentences]
    for test in port["tests"]:
        c = take(lambda c, t=test: c.name == t["name"] and not results(c, Skipped), test["name"])
        if c is None:
            continue
        cw = f"{where}, test {test['name']!r}"
        check(near(c.time, test["duration_ms"] / 1000), f"{cw}: time {c.time}")
        if test["passed"]:
            check(not c.result, f"{cw}: passed in the JSON, not in JUnit")
        else:
            check_failure(cw, c, Failure, test["lines"], test_sentences)
    for ch in checks:
        c = take(lambda c, ch=ch: c.classname.endswith("." + ch["check"]) and
                 c.name in (ch["title"], ch["check"]), f"check {ch['check']!r}")
        if c is None:
            continue
        cw = f"{where}, check {ch['check']!r}"
        check(near(c.time, ch["duration_ms"] / 1000), f"{cw}: time {c.time}")
        if ch["interrupted"]:
            check(results(c, Skipped), f"{cw}: interrupted, not skipped")
        elif ch["passed"]:
            check(not c.result, f"{cw}: passed in the JSON, not in JUnit")
        else:
            check_failure(cw, c, Failure, ch["lines"], ch["diagnosis"],
                          message=ch["lines"][0] if ch["lines"] else None)
    if "result_file_error" in port:
        c = take(lambda c: results(c, Error), "the result file error")
        if c is not None:
            check_failure(f"{where}, result file", c, Error, [], [],
                          message=port["result_file_error"])
    # What is left is a selected test the run did not reach.
    for c in unmatched:
        check(results(c, Skipped), f"{where}: case {c.name!r} stands in no JSON entry")
    print(f"{suite.name}: {len(cases)} cases, {suite.failures} failed, {suite.errors} errors, "
          f"{suite.skipped} skipped")


def main():
    junit_path, json_path = sys.argv[1:3]
    with open(json_path, encoding="utf-8") as f:
        report = visible(json.load(f))
    xml = JUnitXml.fromfile(junit_path)
    suites = list(xml)
    check(xml.name == "serivane-run", f"testsuites name {xml.name!r}")
    if check(len(suites) == len(report["ports"]),
             f"{len(suites)} suites for {len(report['ports'])} ports"):
        all_cases = []
        for suite, port in zip(suites, report["ports"]):
            check_port(suite, port, all_cases)
        check_counts("testsuites", xml, all_cases)
    for p in problems:
        print("FAIL:", p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
