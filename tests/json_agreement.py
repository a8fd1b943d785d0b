#!/usr/bin/env python3
"""The --json document against the French report of the same machine.

  json_agreement.py replay REPLAY SCHEMA VERSION DUMP_DIR
      Every dump in DUMP_DIR replayed with and without --json (and a few with
      the library absent or failing, another Windows version or clock): the
      document parses, validates against SCHEMA, and says what the report
      says, line by line; standard error and the exit status are the same.

  json_agreement.py live VEXMORA SCHEMA VERSION
      The program on this machine with --json: standard input not a terminal,
      as `nobody` where this test runs as root, and at a pseudo-terminal; each
      time it exits 0, waits for no key and writes a valid document that agrees
      with the report on everything that depends neither on timing nor on
      sensors; on what comes of the APIC ids only where both runs met the same
      ids, which a virtual machine may change from one run to the next.

Exits 1 with every disagreement named, 0 when all agree.
"""
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import json_document  # noqa: E402

# No run of the program takes this long; one that does is waiting for a key.
TIME_LIMIT_S = 60


class Report:
    """What the French report's lines say, as the document would say it."""

    def __init__(self, text):
        self.lines = text.splitlines()
        self.values = {}
        self.apic = []
        self.temperatures = []
        self.ccds = []
        self.summary = None
        for index, line in enumerate(self.lines):
            self._read(line)
            if line.startswith("Cache L3 : ") and index + 1 < len(self.lines):
                self.summary = self.lines[index + 1]

    def _set(self, key, value):
        self.values[key] = value

    def _read(self, line):
        def match(pattern):
            return re.fullmatch(pattern, line)

        m = match(r"OS : (.*)")
        if m:
            self._set("os", m.group(1) or None)
        m = match(r"WinRing0 Status : erreur (\d+)")
        if m:
            self._set("hardware_access_status", int(m.group(1)))
        m = match(r"CPU : (.*)")
        if m:
            self._set("processor.name", m.group(1) or None)
        m = match(r"CPU Family ([0-9A-F]+) Model ([0-9A-F]+) Stepping ([0-9A-F]+)")
        if m:
            for key, value in zip(("family", "model", "stepping"), m.groups()):
                self._set("processor." + key, int(value, 16))
        m = match(r"ConstTSC=(\d) PerfMSR=(\d)")
        if m:
            self._set("processor.features.constant_tsc", m.group(1) == "1")
            self._set("processor.features.performance_msr", m.group(2) == "1")
        m = match(r"CoefMaxi=([\d.]+) CoefActuel=([\d.]+)")
        if m:
            self._set("clock.multiplier_max", m.group(1))
            self._set("clock.multiplier_current", m.group(2))
        for key, label in (("classic_mhz", "Methode classique"), ("classic_fixed_mhz", "Methode classique fixed"),
                           ("alternative_1_mhz", "Methode alternative 1"),
                           ("alternative_2_mhz", "Methode alternative 2"), ("retained_mhz", "Frequence retenue")):
            m = match(re.escape(label) + r" : ([\d.]+) MHz")
            if m:
                self._set("clock." + key, m.group(1))
        for key, label in (("packages", "Nombre de processeurs physiques"),
                           ("cores_per_package", "Nombre max de cores par CPU"),
                           ("threads_per_package", "Nombre max de thread par CPU"),
                           ("threads_per_core", "Nombre max de thread par core"),
                           ("logical_processors", "Nombre total de processeurs logiques")):
            m = match(re.escape(label) + r" : (\d+)")
            if m:
                self._set("topology." + key, int(m.group(1)) or None)
        m = match(r"Cores hybrides : (\d+) P \((\d+) threads\) \+ (\d+) E \((\d+) threads\)")
        if m:
            keys = ("performance_cores", "performance_threads", "efficiency_cores", "efficiency_threads")
            self._set("topology.hybrid", dict(zip(keys, (int(v) for v in m.groups()))))
        m = match(r" \. CPU(\d+) : Apic=(\d+) Phy=(\d+) Core=(\d+) Log=(\d+)")
        if m:
            self.apic.append(tuple(int(v) for v in m.groups()))
        m = match(r"Cache L2 : (.*)")
        if m:
            terms = [re.fullmatch(r"(\d+) x (\d+) Ko", t) for t in m.group(1).split(" + ")]
            kinds = [(int(t.group(1)) or None, int(t.group(2))) for t in terms]
            self._set("caches.l2", None if kinds[0][1] == 0 else kinds)
        m = match(r"Cache L3 : (\d+) Ko")
        if m:
            self._set("caches.l3_size_kb", int(m.group(1)) or None)
        m = match(r"Support (?:Intel DTS|AMD TTP) : (Oui|Non)")
        if m:
            self._set("temperatures.sensor", m.group(1) == "Oui")
        m = match(r"Tj\(Max\) = (\d+)°C")
        if m:
            self._set("temperatures.tj_max_c", int(m.group(1)))
        m = match(r"T(?:core\d+|cpu\d+core\d+) = (?:([-\d.]+)°C|Invalide)")
        if m:
            self.temperatures.append(m.group(1))
        m = match(r"Tccd(\d+)(?: \(processeur physique (\d+)\))? = (?:([-\d.]+)°C|Invalide)")
        if m:
            self.ccds.append((int(m.group(1)), None if m.group(2) is None else int(m.group(2)), m.group(3)))


def value_at(document, path):
    value = document
    for part in path.split("."):
        value = value[int(part)] if isinstance(value, list) else value[part]
    return value


def decimals(value, places):
    return None if value is None else f"{value:.{places}f}"


# What the processor itself fixes: the same in every run of the program on it.
FIXED = ("processor.name", "processor.family", "processor.model", "processor.stepping",
         "processor.features.constant_tsc", "topology.logical_processors")
# What the walk works out from the processors' APIC ids, the caches' ids among
# it: the same in the report and the document of one dump, but a virtual
# machine may give a process other APIC ids from one run to the next (leaf 1's
# APIC byte), and two runs then agree on these only where their ids do.
FROM_APIC_IDS = ("topology.packages", "topology.cores_per_package", "topology.threads_per_package",
                 "topology.threads_per_core", "caches.l3_size_kb")


def apic_ids(report, document):
    """The APIC ids each walked, as the report and as the document list them."""
    return [apic for _, apic, _, _, _ in report.apic], [p["apic_id"] for p in document["processors"]]


def disagreements(report, document, timing_and_sensors=True):
    """What the document says otherwise than the report, as lines. With
    timing_and_sensors, the report is of the same dump; without, of another run
    on this machine, and what comes of the APIC ids is compared only where that
    run met the same ids."""
    found = []

    def same(what, french, json_value):
        if french != json_value:
            found.append(f"{what}: the report says {french!r}, the document {json_value!r}")

    for key in FIXED:
        same(key, report.values.get(key), value_at(document, key))
    same("the processors' count", len(report.apic), len(document["processors"]))
    same("long_mode", report.summary is not None and report.summary.endswith(" 64 bits"),
         document["processor"]["features"]["long_mode"])
    french_ids, json_ids = apic_ids(report, document)
    if timing_and_sensors or french_ids == json_ids:
        compare_what_comes_of_the_apic_ids(report, document, same)
    if not timing_and_sensors:
        return found

    same("os", report.values.get("os"), document["os"])
    same("hardware_access_status", report.values.get("hardware_access_status", 0), document["hardware_access_status"])
    same("performance_msr", report.values.get("processor.features.performance_msr"),
         document["processor"]["features"]["performance_msr"])
    clock = document["clock"]
    for key in ("classic_mhz", "classic_fixed_mhz", "alternative_1_mhz", "alternative_2_mhz", "retained_mhz"):
        french = report.values.get("clock." + key)
        same("clock." + key, None if french in (None, "0.00") else french, decimals(clock[key], 2))
    for key in ("multiplier_max", "multiplier_current"):
        french = report.values.get("clock." + key)
        same("clock." + key, None if french in (None, "0.0") else french, decimals(clock[key], 1))
    same("temperatures.sensor", report.values.get("temperatures.sensor"), document["temperatures"]["sensor"])
    same("temperatures.tj_max_c", report.values.get("temperatures.tj_max_c"), document["temperatures"]["tj_max_c"])
    readings = [decimals(p["temperature_c"], 1) for p in document["processors"]]
    same("temperatures", report.temperatures, readings if document["temperatures"]["sensor"] else [])
    # The line names the package only where there are several.
    several = (document["topology"]["packages"] or 1) > 1
    ccds = [(c["ccd"], c["package"] if several else None, decimals(c["temperature_c"], 1))
            for c in document["temperatures"].get("ccds", [])]
    same("temperatures.ccds", report.ccds, ccds)
    return found


def compare_what_comes_of_the_apic_ids(report, document, same):
    """Through same(), what the walk works out from the APIC ids: the counts,
    each processor's split, the caches, the summary."""
    for key in FROM_APIC_IDS:
        same(key, report.values.get(key), value_at(document, key))
    same("topology.hybrid", report.values.get("topology.hybrid"), document["topology"]["hybrid"])
    l2 = document["caches"]["l2"]
    same("caches.l2", report.values.get("caches.l2"),
         None if l2 is None else [(k["count"], k["size_kb"]) for k in l2])
    same("summary", report.summary, document["summary"])
    for (index, apic, package, core, thread), p in zip(report.apic, document["processors"]):
        same(f"CPU{index}", (apic, package, core, thread), (p["apic_id"], p["package"], p["core"], p["thread"]))
    ht = {" HT On": "on", " HT Off": "off"}
    same("hyper_threading", next((v for k, v in ht.items() if k + " " in (report.summary or "")), None),
         document["topology"]["hyper_threading"])


def checked_document(data, schema, version, program):
    """The document, or the reasons it is not one valid document of that program."""
    try:
        document = json_document.parse(data)
    except ValueError as e:
        return None, [f"not one JSON document: {e}"]
    errors = json_document.schema_errors(document, schema)
    if errors:
        return None, errors
    problems = []
    if document["program"] != {"name": program, "version": version}:
        problems.append(f"program: {document['program']}")
    return document, problems


def run(command, **options):
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=TIME_LIMIT_S, **options)


# ---- Replays ------------------------------------------------------------------

# Options that change what the report prints, each tried on a few dumps.
REPLAY_VARIANTS = [
    (["--library=absent"], ["GenuineIntel00106A4_Bloomfield_CPUID.txt", "AuthenticAMD0100F42_K10_Deneb_CPUID.txt"]),
    (["--library=status:3"], ["GenuineIntel00206C1_Gulftown_CPUID.txt"]),
    (["--os=6.1", "--mhz=3200"], ["GenuineIntel00B06D1_LunarLake_04_CPUID.txt"]),
    # A warning of two lines: two messages.
    (["--library=status:2"], ["GenuineIntel00206C1_Gulftown_CPUID.txt"]),
    # Clocks so slow that every figure prints as 0.00, and one far faster than any processor.
    (["--mhz=0.004"], ["GenuineIntel00106A4_Bloomfield_CPUID.txt", "AuthenticAMD0100F42_K10_Deneb_CPUID.txt"]),
    (["--mhz=100000"], ["GenuineIntel00B06D1_LunarLake_04_CPUID.txt"]),
]

# More processors than are replayed: the first 8192, and a warning that says so.
MANY_PROCESSORS = 9000


def crafted_dumps(dump_dir, directory):
    """Dumps no recorded machine gives, made in directory, each with a line its
    standard error must hold: a name with bytes from 0x80 up (which the
    report's console shows in code page 850), and more processors than are
    replayed, in blocks of two leaves to stay within the bound on lines."""
    with open(os.path.join(dump_dir, "GenuineIntel00106A4_Bloomfield_CPUID.txt"), "rb") as f:
        bloomfield = f.read()
    # "Genu" becomes the bytes 81 AE E9 99: a C1 control in Windows-1252, not here.
    high_bytes = re.sub(rb"(?m)^CPUID 80000002: 756E6547-", b"CPUID 80000002: 99E9AE81-", bloomfield)
    block = (b"CPUID 00000000: 00000001-756E6547-6C65746E-49656E69\n"
             b"CPUID 00000001: 000106A4-00100800-0098E3BD-BFEBFBFF\n")
    dumps = [("name_with_high_bytes.txt", high_bytes, None),
             ("many_processors.txt", block * MANY_PROCESSORS, "the first 8192 are replayed")]
    for name, data, _ in dumps:
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
    return [(os.path.join(directory, name), said) for name, _, said in dumps]


def replay_agreement(replay, schema, version, dump, options, said=None):
    french = run([replay, *options, dump])
    json_run = run([replay, "--json", *options, dump])
    problems = []
    if (french.returncode, json_run.returncode) != (0, 0):
        problems.append(f"exit {french.returncode} for the report, {json_run.returncode} with --json")
    if json_run.stderr != french.stderr:
        problems.append(f"standard error differs: {french.stderr!r} and with --json {json_run.stderr!r}")
    document, errors = checked_document(json_run.stdout, schema, version, "vexmora-replay")
    problems += errors
    if document is None:
        return problems
    problems += disagreements(Report(french.stdout.decode("utf-8")), document)
    messages = json_run.stderr.decode("utf-8").splitlines()
    if document["messages"] != messages:
        problems.append(f"messages {document['messages']} for standard error {messages}")
    if said is not None and not any(said in line for line in document["messages"]):
        problems.append(f"no message says {said!r}: {document['messages']}")
    return problems


def check_replays(replay, schema_path, version, dump_dir):
    schema = json_document.load_schema(schema_path)
    dumps = sorted(name for name in os.listdir(dump_dir) if name.endswith(".txt"))
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        cases = [(os.path.join(dump_dir, name), [], None) for name in dumps]
        cases += [(os.path.join(dump_dir, name), options, None) for options, names in REPLAY_VARIANTS for name in names]
        cases += [(path, [], said) for path, said in crafted_dumps(dump_dir, tmp)]
        for path, options, said in cases:
            problems = replay_agreement(replay, schema, version, path, options, said)
            label = " ".join([*options, os.path.basename(path)])
            for problem in problems:
                print(f"FAIL {label}: {problem}")
            failures += bool(problems)
        # What is not a replay is refused before anything is read or written.
        capture = os.path.join(tmp, "capture.txt")
        refused = run([replay, "--json", "--capture", capture])
        if refused.returncode != 2 or refused.stdout or os.path.exists(capture):
            print(f"FAIL --json --capture: exit {refused.returncode}, a capture made: {os.path.exists(capture)}")
            failures += 1
    print(f"{len(cases) - failures} of {len(cases)} replays agree with their --json documents")
    return 1 if failures else 0


# ---- This machine -------------------------------------------------------------

def at_a_terminal(command):
    """Runs the command with a pseudo-terminal as its standard input, output and
    error; its exit status, what it wrote (line ends as the program wrote them)
    and how long it took; None for the status where it had to be killed."""
    controller, terminal = pty.openpty()

    # The terminal is the program's controlling terminal, its process group
    # the foreground one: as in a shell, where the report would wait for a key.
    def take_the_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    start = time.monotonic()
    process = subprocess.Popen(command, stdin=terminal, stdout=terminal, stderr=terminal,
                               preexec_fn=take_the_terminal)
    os.close(terminal)
    output = b""
    while time.monotonic() - start < TIME_LIMIT_S:
        ready, _, _ = select.select([controller], [], [], 1.0)
        if not ready:
            if process.poll() is not None:
                break
            continue
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # the terminal's last holder has gone
            break
        if not chunk:
            break
        output += chunk
    try:
        status = process.wait(timeout=max(0.0, TIME_LIMIT_S - (time.monotonic() - start)))
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        status = None
    os.close(controller)
    return status, output.replace(b"\r\n", b"\n"), time.monotonic() - start


def as_nobody(program):
    """The command that runs a copy of the program as nobody, or None where this cannot be done here."""
    runuser = shutil.which("runuser") or shutil.which("setpriv")
    if os.geteuid() != 0 or runuser is None:
        return None
    try:
        import pwd
        pwd.getpwnam("nobody")
    except KeyError:
        return None
    # A copy anyone may run, outside directories nobody may not enter.
    directory = tempfile.mkdtemp()
    os.chmod(directory, 0o755)
    copy = os.path.join(directory, "vexmora")
    shutil.copy(program, copy)
    os.chmod(copy, 0o755)
    if os.path.basename(runuser) == "runuser":
        return [runuser, "-u", "nobody", "--", copy]
    return [runuser, "--reuid=nobody", "--regid=nogroup", "--clear-groups", copy]


def check_live(program, schema_path, version):
    schema = json_document.load_schema(schema_path)
    failures = 0

    french = run([program])
    if french.returncode != 0:
        print(f"FAIL the report: exit {french.returncode}")
        return 1
    report = Report(french.stdout.decode("utf-8"))

    def check(label, status, stdout, stderr_lines, took):
        nonlocal failures
        problems = []
        if status != 0:
            problems.append(f"exit {status} (None: killed after {TIME_LIMIT_S} s, waiting for a key?)")
        document, errors = checked_document(stdout, schema, version, "vexmora")
        problems += errors
        if document is not None:
            problems += disagreements(report, document, timing_and_sensors=False)
            if stderr_lines is not None and document["messages"] != stderr_lines:
                problems.append(f"messages {document['messages']} for standard error {stderr_lines}")
            french_ids, json_ids = apic_ids(report, document)
            if french_ids != json_ids:
                print(f"note {label}: this run met APIC ids {json_ids}, the report's run {french_ids}: "
                      "what the walk works out from them is not compared")
        for problem in problems:
            print(f"FAIL {label}: {problem}")
        failures += bool(problems)
        if not problems:
            print(f"ok   {label}: a valid document that agrees with the report, in {took:.1f} s")

    start = time.monotonic()
    plain = run([program, "--json"])
    check("vexmora --json", plain.returncode, plain.stdout, plain.stderr.decode("utf-8").splitlines(),
          time.monotonic() - start)

    nobody = as_nobody(program)
    if nobody is None:
        print("--   as nobody: not run (this test is not root, or there is no runuser or nobody)")
    else:
        try:
            start = time.monotonic()
            unprivileged = run([*nobody, "--json"])
            check("vexmora --json as nobody", unprivileged.returncode, unprivileged.stdout,
                  unprivileged.stderr.decode("utf-8").splitlines(), time.monotonic() - start)
        finally:
            shutil.rmtree(os.path.dirname(nobody[-1]))

    status, output, took = at_a_terminal([program, "--json"])
    if b"Appuyez" in output:
        print("FAIL vexmora --json at a terminal: a key prompt")
        failures += 1
    # Standard error shares the terminal: its lines come before the document.
    start_of_document = max(output.find(b"{\n"), 0)
    check("vexmora --json at a terminal", status, output[start_of_document:],
          output[:start_of_document].decode("utf-8").splitlines(), took)
    return 1 if failures else 0


def main():
    mode = sys.argv[1]
    if mode == "replay":
        return check_replays(*sys.argv[2:6])
    if mode == "live":
        return check_live(*sys.argv[2:5])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
