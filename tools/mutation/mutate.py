#!/usr/bin/env python3
"""Mutation run: applies small changes to the station one at a time, rebuilds, runs the tests and
reports the changes that no test caught (the survivors).

    python3 tools/mutation/mutate.py [--list FILE] [--only N,M-K] [--build DIR] [--jobs N]
                                     [--target test_station,test_app] [--filter GTEST]
                                     [--label L] [--tests REGEX] [--timeout S]

The list (tools/mutation/mutations.txt by default) holds one change per entry:

    ## name of the change
    file: station/Station.cpp
    find: text that occurs exactly once in the file (several lines allowed)
    replace: what it becomes
    expect: survives -- why no test can or should see this (optional)

"find:" and "replace:" may continue on following lines that start with four spaces. A change whose
text is no longer found is reported as stale, so the list is kept honest as the code moves on.
A change that does not build is reported as broken, not as caught.
Exit status: 0 when every change that should be caught was caught, 1 otherwise.
"""
import argparse
import os
import pathlib
import re
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]


def parse(path):
    entries, cur, key = [], None, None
    for raw in path.read_text(encoding="utf-8").splitlines():
        if raw.startswith("## "):
            cur = {"name": raw[3:].strip(), "file": "", "find": "", "replace": "", "expect": ""}
            entries.append(cur)
            key = None
            continue
        if cur is None or raw.startswith("#"):
            continue
        m = re.match(r"^(file|find|replace|expect):\s?(.*)$", raw)
        if m:
            key = m.group(1)
            cur[key] = m.group(2)
        elif raw.startswith("    ") and key in ("find", "replace"):
            cur[key] += "\n" + raw[4:]
        elif raw.strip() == "":
            key = None
    return entries


def select(entries, only):
    if not only:
        return list(enumerate(entries, 1))
    wanted = set()
    for part in only.split(","):
        if "-" in part:
            a, b = part.split("-")
            wanted.update(range(int(a), int(b) + 1))
        else:
            wanted.add(int(part))
    return [(i, e) for i, e in enumerate(entries, 1) if i in wanted]


def run(cmd, cwd, timeout):
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=timeout, text=True)
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired:
        return -1, "timeout"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--list", default=str(ROOT / "tools/mutation/mutations.txt"))
    ap.add_argument("--only", default="")
    ap.add_argument("--build", default=str(ROOT / "build-mutation"))
    ap.add_argument("--jobs", default=str(os.cpu_count() or 2))
    ap.add_argument("--tests", default="", help="ctest -R regex (default: all tests)")
    ap.add_argument("--target", default="",
                    help="build only these targets, comma-separated (e.g. test_station,test_app)")
    ap.add_argument("--filter", default="",
                    help="--gtest_filter for the --target binaries (e.g. 'Station*:TxArbiter*')")
    ap.add_argument("--timeout", type=int, default=1800,
                    help="seconds one change's tests may take; longer counts as caught (a change "
                         "that makes the station wait for ever)")
    ap.add_argument("--label", default="",
                    help="ctest -L: the tests of one binary (each binary labels its tests with "
                         "its name; default: the --target's tests)")
    args = ap.parse_args()

    entries = parse(pathlib.Path(args.list))
    chosen = select(entries, args.only)
    build = pathlib.Path(args.build).resolve()
    os.environ["QT_QPA_PLATFORM"] = "offscreen"  # the tests need no window system
    # -O1 without debug information: a changed station file compiles and links in a fraction of
    # the time, and the tests still run at a useful speed.
    rc, out = run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                   "-DCMAKE_CXX_FLAGS_RELEASE=-O1", "-DCMAKE_C_FLAGS_RELEASE=-O1",
                   "-DKANALO_BUILD_BENCH=OFF"], ROOT, 600)
    if rc != 0:
        print(out)
        return 2
    targets = [t for t in args.target.split(",") if t]
    build_cmd = ["cmake", "--build", str(build), "-j", args.jobs]
    if targets:
        build_cmd += ["--target", *targets]
    rc, out = run(build_cmd, ROOT, 3600)
    if rc != 0:
        print("the unchanged tree does not build:\n" + out[-3000:])
        return 2
    ctest = ["ctest", "--no-tests=error", "-j", args.jobs, "--timeout", "120", "--stop-on-failure"]
    if args.tests:
        ctest += ["-R", args.tests]
    label = args.label or (targets[0] if len(targets) == 1 else "")
    if label:
        ctest += ["-L", "^" + re.escape(label) + "$"]
    binaries = []
    if targets and not args.tests and not args.label:
        # The test binaries themselves, each as one process that stops at the first failure.
        # ctest would start a process per test case, which costs more than the tests themselves.
        for t in targets:
            found = [p for p in build.rglob(t) if p.is_file() and os.access(p, os.X_OK)]
            if found:
                cmd = [str(found[0]), "--gtest_brief=1", "--gtest_fail_fast"]
                if args.filter:
                    cmd.append("--gtest_filter=" + args.filter)
                binaries.append(cmd)

    def run_tests(timeout):
        if not binaries:
            return run(ctest, build, timeout)
        out = ""
        for cmd in binaries:
            rc, o = run(cmd, pathlib.Path(cmd[0]).parent, timeout)
            out += o
            if rc != 0:
                return rc, out
        return 0, out

    rc, out = run_tests(3600)
    if rc != 0:
        print("the unchanged tree fails its tests:\n" + out[-3000:])
        return 2

    caught, survived, stale, expected, broken = [], [], [], [], []
    for i, e in chosen:
        f = ROOT / e["file"]
        text = f.read_text(encoding="utf-8")
        if text.count(e["find"]) != 1:
            stale.append((i, e, text.count(e["find"])))
            print(f"[{i:3}] STALE     {e['name']} (found {text.count(e['find'])} times)", flush=True)
            continue
        start = time.time()
        try:
            f.write_text(text.replace(e["find"], e["replace"]), encoding="utf-8")
            rc, out = run(build_cmd, ROOT, 1800)
            if rc != 0:
                # A change the compiler refuses says nothing about the tests: the entry is
                # broken and is fixed in the list, not counted as caught.
                verdict = "BROKEN"
            else:
                rc, out = run_tests(args.timeout)
                verdict = "caught" if rc != 0 else "SURVIVED"
                if rc != 0:
                    # Which test saw it: gtest's "[  FAILED  ] Suite.Name", ctest's "- Suite.Name".
                    m = re.search(r"\[  FAILED  \] ([\w/.]+)|\d+ - ([\w/.]+) \(Failed\)", out)
                    if m:
                        verdict += " by " + (m.group(1) or m.group(2))
                    elif rc == -1:
                        verdict += " (time-out)"
        finally:
            f.write_text(text, encoding="utf-8")
        took = time.time() - start
        if verdict == "SURVIVED":
            (expected if e["expect"].startswith("survives") else survived).append((i, e))
        elif verdict == "BROKEN":
            broken.append((i, e))
        else:
            caught.append((i, e))
        print(f"[{i:3}] {e['name']}: {verdict} ({took:.0f} s)", flush=True)
    # Put the tree's objects back to the unchanged sources.
    run(build_cmd, ROOT, 3600)

    total = len(caught) + len(survived) + len(expected)
    print()
    print(f"{len(caught)} of {total} changes caught ({100 * len(caught) // max(total, 1)} %), "
          f"{len(expected)} expected survivors, {len(survived)} unexpected, {len(stale)} stale, "
          f"{len(broken)} that do not build")
    for i, e in expected:
        print(f"  expected survivor [{i}] {e['name']}: {e['expect']}")
    for i, e in survived:
        print(f"  SURVIVOR [{i}] {e['name']} ({e['file']})")
    for i, e, n in stale:
        print(f"  STALE [{i}] {e['name']}: the text occurs {n} times in {e['file']}")
    for i, e in broken:
        print(f"  DOES NOT BUILD [{i}] {e['name']} ({e['file']}): fix the entry")
    return 1 if survived or stale or broken else 0


if __name__ == "__main__":
    sys.exit(main())
