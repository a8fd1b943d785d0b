#!/usr/bin/env python3
"""Every fixture dump's whole replay against its golden files.

  goldens.py REPLAY [--dumps DIR] [--expected DIR]
      Replays every DIR/NAME.txt (default tests/fixtures/dumps) with REPLAY at
      its defaults and with --json, and compares each output byte for byte with
      the goldens in the expected directory (default tests/expected):
        NAME.report  standard output, after its header of '#' lines (where the
                     dump comes from, `# source: ...`, and how the lines that
                     matter follow from the processor's facts), which the
                     comparison skips;
        NAME.json    the --json document, its program version written @VERSION@
                     so that a new version changes no golden;
        NAME.stderr  standard error, of either run; only where a run writes
                     there: without it, standard error must stay empty.
      Every run must exit 0. A dump without its goldens, a golden without its
      dump and a report without its source line fail, each named.

  goldens.py --rewrite REPLAY [--dumps DIR] [--expected DIR]
      Writes the goldens from what REPLAY prints, for review as a diff
      (`git diff tests/expected`): each report keeps its header, a new one gets
      an empty `# source:` line to fill in; goldens whose dump is gone are removed.

Exits 1 with every difference named, 0 when every golden holds.
"""
import argparse
import concurrent.futures
import difflib
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# No replay takes this long, even of 384 processors under the sanitizers.
TIME_LIMIT_S = 60
VERSION_TOKEN = b"@VERSION@"
# Lines of a differing golden shown, before the rest is only counted.
DIFF_LINES_SHOWN = 40


class Replay:
    """What one dump's two runs print."""

    def __init__(self, replay, dump):
        self.dump = dump
        self.report = subprocess.run([replay, dump], capture_output=True, stdin=subprocess.DEVNULL,
                                     timeout=TIME_LIMIT_S)
        self.document = subprocess.run([replay, "--json", dump], capture_output=True, stdin=subprocess.DEVNULL,
                                       timeout=TIME_LIMIT_S)

    def failures(self):
        out = []
        for name, run in (("", self.report), ("--json ", self.document)):
            if run.returncode != 0:
                out.append("vexmora-replay %s%s exits %d: %s" % (name, self.dump, run.returncode,
                                                                run.stderr.decode("utf-8", "replace").strip()))
        return out


def program_version(replay):
    answer = subprocess.run([replay, "--version"], capture_output=True, timeout=TIME_LIMIT_S, check=True)
    return answer.stdout.split()[-1]


def with_version_token(document, version):
    return document.replace(b'"version": "' + version + b'"', b'"version": "' + VERSION_TOKEN + b'"', 1)


def split_header(golden):
    """The leading '#' lines and the rest, both bytes."""
    lines = golden.splitlines(keepends=True)
    count = 0
    while count < len(lines) and lines[count].startswith(b"#"):
        count += 1
    return b"".join(lines[:count]), b"".join(lines[count:])


def has_source(header):
    return any(line.startswith(b"# source:") and line[len(b"# source:"):].strip()
               for line in header.splitlines())


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def difference(path, expected, actual):
    lines = list(difflib.unified_diff(expected.decode("utf-8", "replace").splitlines(),
                                      actual.decode("utf-8", "replace").splitlines(),
                                      path, "what the replay prints", lineterm="", n=1))
    shown = lines[:DIFF_LINES_SHOWN]
    if len(lines) > len(shown):
        shown.append("... %d more lines of difference" % (len(lines) - len(shown)))
    return "\n".join(shown)


def check_one(replay, expected_dir, version):
    name = os.path.splitext(os.path.basename(replay.dump))[0]
    failures = replay.failures()
    if failures:
        return failures
    report_path = os.path.join(expected_dir, name + ".report")
    golden = read(report_path)
    if golden is None:
        failures.append("%s is missing: the dump %s has no golden report" % (report_path, replay.dump))
    else:
        header, body = split_header(golden)
        if not has_source(header):
            failures.append("%s: no '# source:' line saying where the dump comes from" % report_path)
        if body != replay.report.stdout:
            failures.append(difference(report_path, body, replay.report.stdout))
    json_path = os.path.join(expected_dir, name + ".json")
    document = read(json_path)
    actual = with_version_token(replay.document.stdout, version)
    if document is None:
        failures.append("%s is missing: the dump %s has no golden document" % (json_path, replay.dump))
    elif document != actual:
        failures.append(difference(json_path, document, actual))
    stderr_path = os.path.join(expected_dir, name + ".stderr")
    errors = read(stderr_path) or b""
    for how, run in (("", replay.report), ("--json ", replay.document)):
        if run.stderr != errors:
            failures.append(difference(stderr_path, errors, run.stderr).replace(
                "what the replay prints", "standard error of vexmora-replay " + how + replay.dump, 1))
    return failures


def rewrite_one(replay, expected_dir, version):
    name = os.path.splitext(os.path.basename(replay.dump))[0]
    failures = replay.failures()
    if failures:
        return failures, 0
    report_path = os.path.join(expected_dir, name + ".report")
    old = read(report_path)
    header = split_header(old)[0] if old is not None else b""
    if not header:
        header = b"# source:\n"
    files = {report_path: header + replay.report.stdout,
             os.path.join(expected_dir, name + ".json"): with_version_token(replay.document.stdout, version)}
    stderr_path = os.path.join(expected_dir, name + ".stderr")
    if replay.report.stderr:
        files[stderr_path] = replay.report.stderr
    elif os.path.exists(stderr_path):
        os.remove(stderr_path)
    changed = 0
    for path, content in files.items():
        if read(path) != content:
            with open(path, "wb") as f:
                f.write(content)
            changed += 1
    return failures, changed


GOLDEN_SUFFIXES = (".report", ".json", ".stderr")


def orphans(dumps, expected_dir):
    names = {os.path.splitext(os.path.basename(d))[0] for d in dumps}
    return sorted(os.path.join(expected_dir, f) for f in os.listdir(expected_dir)
                  if f.endswith(GOLDEN_SUFFIXES) and os.path.splitext(f)[0] not in names)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rewrite", action="store_true")
    parser.add_argument("replay")
    parser.add_argument("--dumps", default=os.path.join(HERE, "fixtures", "dumps"))
    parser.add_argument("--expected", default=os.path.join(HERE, "expected"))
    args = parser.parse_args()

    version = program_version(args.replay)
    dumps = sorted(os.path.join(args.dumps, f) for f in os.listdir(args.dumps) if f.endswith(".txt"))
    os.makedirs(args.expected, exist_ok=True)
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        replays = list(pool.map(lambda dump: Replay(args.replay, dump), dumps))

    failures = []
    changed = 0
    for replay in replays:
        if args.rewrite:
            wrong, written = rewrite_one(replay, args.expected, version)
            changed += written
        else:
            wrong = check_one(replay, args.expected, version)
        failures.extend(wrong)
    for path in orphans(dumps, args.expected):
        if args.rewrite:
            os.remove(path)
            changed += 1
        else:
            failures.append("%s has no dump: there is no %s.txt in %s" % (
                path, os.path.splitext(os.path.basename(path))[0], args.dumps))

    for failure in failures:
        print("FAIL " + failure)
    if args.rewrite:
        print("%d golden files written or removed, for %d dumps" % (changed, len(dumps)))
    else:
        print("%d dumps, %d differences" % (len(dumps), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
