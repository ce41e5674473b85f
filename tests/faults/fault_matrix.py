#!/usr/bin/env python3
"""Fault matrix: every platform call site of the program failed, and each run
checked against the outcome expected for that site.

Sites. The program's faultable call sites are counted from the program
itself: every call instruction in the native program's own functions (its
object files, disassembled) whose target is a function of the platform
boundary (platform/posix/win32_api.h, and the runtime's allocation and stream
writes of platform/posix/runtime_calls.h). A site is named
"<Call> <function>#<n>", the n-th call of that name in that function.

Runs. Each scenario prepares a stand-in machine and drives one process of the
program (its "role", e.g. velkor_service:remove). The machine runs on the
stand-in's virtual clock, so a run reaches each site as often on a busy
machine as on an idle one. A normal run traces the calls that process makes
(VELKOR_STANDIN_CALLS), with their sites and how often each site is reached.
Each site is then failed, on a fresh machine, at its first and its last
occurrence, and at its second one when it is reached three times or more (a
loop's next pass), in the first scenario of each role that reaches it
(--every-scenario: in every scenario). The stand-in records that the fault
fired; a fault that never fires is a failed run.

Checks. Every run must end within its time limit, leave no sanitizer report
and no stand-in handle open at process end (beyond the two the service keeps,
its termination event and status handle; a failed close excuses its own
handle only), and match exactly its expected outcome in expected.txt:
    <scenario> TAB <site> TAB <first|second|last|normal>[ after <site> <kind>] TAB <outcome>
where the outcome is "exit=<code>" (a command) and/or "process=ended|alive"
(the service's process), then the last line of the run's own debug log ("main
returning <code>." shown as "main=<code>"), then what the run leaves behind:
the service as the SCM shows it ("service=<state>/<win32 exit code>/<service
exit code>" or "service=none"), whether the test server still runs
("server=running|stopped") and whether the event-log source key is there
("key=yes|no"). An outcome that is neither the scenario's normal one nor a
clean failure (clean) must carry its reason in expected.txt.

Rules. A line of expected.txt whose scenario, site or occurrence holds a "*"
(an fnmatch pattern) is a rule: it states the outcome of every run it
matches that has no line of its own, the first rule in the file that matches
winning. An outcome "same-as-run" is the outcome of the same run without its
fault (without_fault: the scenario's normal run, or for "<kind> after <site>
<kind>" the run of that earlier fault, as this matrix ran it); a field
"same-as-run" is that field of it. So one rule states, for instance, that a
failure of the debug log's own calls never changes what its run does, and
each such run is still made and checked against the run without its fault.
Every rule carries its reason; a rule that matches no run fails a full
matrix.
--record rewrites the expectations of the scenarios run from what they did,
leaving out the runs a rule states correctly; every recorded change must be
reviewed as the program's sound behaviour.

Sites no scenario reaches are listed in UNREACHABLE with the reason; a site
neither reached nor listed fails the matrix. The last line is exactly
    fault matrix: S of T call sites failed, R runs, U unexpected

Usage: fault_matrix.py BUILD_DIR [--only SCENARIO]... [--jobs N] [--record]
       [--every-scenario] [--verbose]
"""
import argparse
import collections
import concurrent.futures
import fnmatch
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
EXPECTED = os.path.join(HERE, "expected.txt")

ENOMEM, ENOSPC, EACCES = 12, 28, 13
# The error each call fails with: the one the program most plausibly meets.
ERRORS = {
    "_sopen": EACCES, "_fdopen": EACCES, "_mkdir": EACCES,
    "malloc": ENOMEM, "calloc": ENOMEM, "realloc": ENOMEM, "strdup": ENOMEM,
    "fputs": ENOSPC, "fprintf": ENOSPC, "vfprintf": ENOSPC, "fflush": ENOSPC,
    "CreateProcessA": 2, "OpenServiceA": 1060, "RegOpenKeyExA": 2,
    "LockFileEx": 5, "WaitForSingleObject": 6, "CloseHandle": 6,
    "CloseServiceHandle": 6, "SetServiceStatus": 6, "ControlService": 1062,
}
DEFAULT_ERROR = 5  # ERROR_ACCESS_DENIED
# Boundary calls that cannot fail for what the program passes them; they are
# counted as sites and listed, never failed.
CANNOT_FAIL = {
    "Sleep": "a sleep cannot fail",
    "GetLastError": "cannot fail",
    "SetLastError": "cannot fail",
    "GetCurrentProcessId": "cannot fail",
    "GetTickCount": "cannot fail",
    "AcquireSRWLockExclusive": "has no result: it waits for the lock",
    "ReleaseSRWLockExclusive": "has no result",
    "_close": "fails only for a descriptor that is not open; the program closes only its own",
    "_get_osfhandle": "fails only for a descriptor that is not open; the program asks only of its own",
}
RUNTIME_CALLS = {"standinMalloc": "malloc", "standinCalloc": "calloc", "standinRealloc": "realloc",
                 "standinStrdup": "strdup", "standinFputs": "fputs", "standinFprintf": "fprintf",
                 "standinVfprintf": "vfprintf", "standinFflush": "fflush"}
# Sites no scenario can reach, with the reason. Keys are site names.
UNREACHABLE = {
    "WaitForSingleObject serviceMain#1":
        "waits for another thread's report of an end it decided; in every scenario the thread that "
        "decides the end while serviceMain runs on has reported it before serviceMain looks",
    "WaitForSingleObject claimStopped#1":
        "waits for a status report in flight when the stopped one is made; no scenario sends two "
        "reports at the same moment",
    "WaitForSingleObject waitForStopToFinish#1":
        "waits for a stop sequence that runs when supervision finds the server gone or cannot wait; "
        "no scenario orders a stop into those moments",
    "ResetEvent beginStop#1":
        "marks the service's work begun when a stop begins while serviceMain has ended; no scenario "
        "stops a service whose serviceMain has returned",
    "ResetEvent serviceWorkBegins#1":
        "marks the service's work begun at serviceMain's start, before the event exists in a first "
        "run; the scenarios run the service once a process",
    "SetEvent resetServiceStatus#1":
        "re-opens the reports of a second run of the service in one process; the scenarios run the "
        "service once a process",
    "realloc getBinaryPathName#1":
        "grows the configuration buffer past 4096 bytes; a service's configuration is that long "
        "only with a command line or names no command of the program registers",
}
# Handles a closing call leaves open when it fails.
CLOSES = {"CloseHandle": {"file", "process", "thread", "event"},
          "CloseServiceHandle": {"scmanager", "service"}, "RegCloseKey": {"regkey"},
          "DeregisterEventSource": {"eventsource"}}
SERVICE = "VelkorFaults"
SAME_AS_RUN = "same-as-run"  # in expected.txt: the outcome of the same run without its fault
SITE_OFFSETS = {}  # site name -> offset, filled from the program at start
EVENT_KEY = "registry/hklm/system/currentcontrolset/services/eventlog/application/velkorfaults"


# ---- The program's call sites ------------------------------------------------

def short_function(demangled):
    name = demangled.replace("(anonymous namespace)::", "")
    depth = 0
    for i, c in enumerate(name):
        if c == "(" and depth == 0 and i > 0:
            return name[:i]
        depth += c == "<"
        depth -= c == ">"
    return name


def boundary_names():
    text = open(os.path.join(SOURCE, "platform", "posix", "win32_api.h")).read()
    names = set(re.findall(r"^(?!typedef)[A-Za-z_][\w \*]*?\b(\w+)\((?!\*)", text, re.M))
    return names


def program_sites(build):
    """{offset: site name} and {site name: call} for every boundary call site."""
    objects = [os.path.join(build, "libvelkor_core.a"),
               os.path.join(build, "CMakeFiles", "velkor_service.dir", "cli", "main.cpp.o")]
    own = set()
    for obj in objects:
        out = subprocess.run(["nm", "-C", "--defined-only", obj], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout
        for line in out.splitlines():
            parts = line.split(" ", 2)
            if len(parts) == 3 and parts[1] in "tTW":
                own.add(parts[2])
    boundary = boundary_names()
    listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", "-C",
                              os.path.join(build, "velkor_service")],
                             stdout=subprocess.PIPE, text=True).stdout
    offsets, calls = {}, {}
    counts = collections.Counter()
    function, pending = None, None
    for line in listing.splitlines():
        header = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if header:
            function = header.group(1) if header.group(1) in own else None
            pending = None
            continue
        insn = re.match(r"^\s+([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if not insn:
            continue
        address = int(insn.group(1), 16)
        if pending:
            offsets["velkor_service+0x%x" % address] = pending
            pending = None
        if not function or not insn.group(2).startswith("call"):
            continue
        target = re.search(r"<([^(>+]+)", insn.group(3))
        if not target:
            continue
        call = RUNTIME_CALLS.get(target.group(1), target.group(1))
        if call not in boundary and call not in RUNTIME_CALLS.values():
            continue
        key = (short_function(function), call)
        counts[key] += 1
        name = "%s %s#%d" % (call, key[0], counts[key])
        calls[name] = call
        pending = name
    return offsets, calls


# ---- A machine ----------------------------------------------------------------

class Machine:
    """A fresh stand-in machine with an installation on it."""

    def __init__(self, build):
        self.build = build
        self.dir = tempfile.mkdtemp(prefix="velkor-faults-")
        self.root = os.path.join(self.dir, "machine")
        self.install = os.path.join(self.dir, "install")
        self.sanitizer_dir = os.path.join(self.dir, "sanitizers")
        self.handle_report = os.path.join(self.dir, "handles")
        self.trace = os.path.join(self.dir, "calls")
        for d in (self.root, self.sanitizer_dir, os.path.join(self.install, "lib"),
                  os.path.join(self.install, "logs"), os.path.join(self.install, "bat")):
            os.makedirs(d, exist_ok=True)
        self.program = os.path.join(self.install, "lib", "velkor_service")
        shutil.copy2(os.path.join(build, "velkor_service"), self.program)
        self.fixtures = os.path.join(build, "tests", "fixtures")
        self.install_win = "Z:" + self.install.replace("/", "\\")
        self.tmp = os.path.join(self.dir, "tmp")
        os.makedirs(self.tmp)
        self.env = dict(os.environ)
        self.env.pop("VELKOR_STANDIN_CALLS", None)
        self.env.update({
            "TMPDIR": self.tmp,
            "VELKOR_STANDIN_ROOT": self.root,
            # The machine runs on virtual time, which passes only while a
            # step of the run (execute) goes on, or once the run is done
            # acting (release): how often a loop goes round depends on the
            # program alone, never on the machine's load.
            "VELKOR_STANDIN_CLOCK": "virtual",
            "VELKOR_STANDIN_HANDLE_REPORT": self.handle_report,
            "ASAN_OPTIONS": "detect_leaks=1:exitcode=99:log_path="
                            + os.path.join(self.sanitizer_dir, "asan"),
            "UBSAN_OPTIONS": "halt_on_error=1:exitcode=99:print_stacktrace=1:log_path="
                             + os.path.join(self.sanitizer_dir, "ubsan"),
        })
        self.processes = []
        self.command_pids = set()
        self.log_offsets = {}

    def execute(self, path, args, timeout=60, env=None):
        """Runs one program: (exit code or "hang", standard output, pid)."""
        run_env = dict(self.env, VELKOR_STANDIN_DRIVER="1")
        if env:
            run_env.update(env)
        for attempt in range(50):
            try:
                process = subprocess.Popen([path] + args, env=run_env, stdout=subprocess.PIPE,
                                           stderr=subprocess.DEVNULL, start_new_session=True,
                                           cwd=self.dir)
                break
            except OSError as error:
                # Another run's child, between its fork and its exec, may
                # still hold a file this run has just written.
                if error.errno != 26 or attempt == 49:
                    raise
                time.sleep(0.02)
        try:
            out, _ = process.communicate(timeout=timeout)
            return process.returncode, out.decode(errors="replace"), process.pid
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            return "hang", "", process.pid

    def run(self, args, timeout=60):
        """The program as a command; its exit code as the signed value main returned."""
        code, out, pid = self.execute(self.program, args, timeout)
        self.command_pids.add(pid)
        if code != "hang" and code > 127:
            code -= 256
        return code, out

    def sc(self, *args, timeout=60):
        code, out, _ = self.execute(os.path.join(self.fixtures, "velkor_sc"), list(args), timeout)
        return code, out

    def spawn_fixture(self, name, args):
        process = subprocess.Popen([os.path.join(self.fixtures, name)] + args, env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True, cwd=self.dir)
        self.processes.append(process)
        return process

    def path(self, relative):
        return os.path.join(self.dir, relative)

    def write(self, relative, text):
        path = self.path(relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def wait_for(self, relative, seconds=10, present=True):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if os.path.exists(self.path(relative)) == present:
                return True
            time.sleep(0.02)
        return False

    def release(self):
        """The run has done its steps: time passes for whatever still runs."""
        open(os.path.join(self.root, "clock.free"), "w").close()

    def set_faults(self, lines):
        with open(os.path.join(self.root, "faults"), "w") as f:
            f.write("".join(line + "\n" for line in lines))

    def fired(self):
        try:
            with open(os.path.join(self.root, "faults.fired")) as f:
                return [line.split() for line in f if line.strip()]
        except OSError:
            return []

    def log_paths(self):
        return (os.path.join(self.install, "logs", "native-windows.out"),
                os.path.join(self.tmp, "logs", "native-windows.out"))

    def mark_log(self):
        """What the logs hold now; the run's own lines come after."""
        self.command_pids = set()
        for path in self.log_paths():
            try:
                self.log_offsets[path] = os.path.getsize(path)
            except OSError:
                self.log_offsets[path] = 0

    def run_log(self, pids=None, exclude=()):
        """(pid, message) of the lines written since mark_log, of `pids` if given."""
        lines = []
        for path in self.log_paths():
            try:
                with open(path, "rb") as f:
                    text = f.read()
            except OSError:
                continue
            # A log deleted at its size cap starts again from nothing.
            offset = self.log_offsets.get(path, 0)
            text = text[offset:] if len(text) >= offset else text
            for line in text.decode(errors="replace").split("\r\n"):
                found = re.match(r"^.*?: \(pid=(\d+)\)  (.*)$", line)
                if not found:
                    continue
                pid = int(found.group(1))
                if (pids is None or pid in pids) and pid not in exclude:
                    lines.append((pid, found.group(2)))
        return lines

    def sanitizer_reports(self):
        return [os.path.join(self.sanitizer_dir, n) for n in os.listdir(self.sanitizer_dir)]

    def open_handles(self):
        try:
            with open(self.handle_report) as f:
                return [l.split() for l in f if l.strip()]
        except OSError:
            return []

    def server_processes(self):
        """The test servers of this machine still running."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    args = f.read().decode(errors="replace").split("\0")
            except OSError:
                continue
            if args[0].endswith("velkor_test_server") and len(args) > 1 and \
                    args[1].startswith("Z:" + self.dir.replace("/", "\\")):
                found.append(pid)
        return found

    def service_processes(self):
        found = subprocess.run(["pgrep", "-f", self.program + " start"], stdout=subprocess.PIPE)
        return found.stdout.split()

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        # Anything the runs left behind on this machine (servers, services),
        # named by the POSIX or the Windows form of its paths.
        for form in (self.dir, "Z:" + self.dir.replace("/", "\\")):
            subprocess.run(["pkill", "-KILL", "-f", re.escape(form)], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.dir, ignore_errors=True)


# ---- Scenarios -------------------------------------------------------------------
# prepare(machine) sets the machine up; act(machine) drives the role under test
# and returns its exit code (a command) or None (the service, judged by the SCM).

def register(machine):
    code, _ = machine.run(["create", machine.install_win, SERVICE, "fault matrix service"])
    assert code == 0, "create failed while preparing: %s" % code


def install_fixtures(machine):
    server = os.path.join(machine.fixtures, "velkor_test_server")
    machine.write("install/bat/start-ds.bat",
                  "#!/bin/sh\n"
                  "# Starts the server and returns once it holds its lock, as the real script does.\n"
                  "\"%s\" \"%s\" >/dev/null 2>&1 &\n"
                  "for i in $(seq 200); do [ -f \"%s/locks/server.ready\" ] && exit 0; sleep 0.025; done\n"
                  "exit 1\n" % (server, machine.install_win, machine.install))
    os.chmod(os.path.join(machine.install, "bat", "start-ds.bat"), 0o755)
    # The lock file an earlier run of the server left, as on a real installation.
    machine.write("install/locks/server.lock", "")
    shutil.copy2(os.path.join(machine.fixtures, "winlauncher"),
                 os.path.join(machine.install, "lib", "winlauncher.exe"))


def service_machine(refresh="0"):
    def prepare(machine):
        machine.env["VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD"] = refresh
        install_fixtures(machine)
        register(machine)
    return prepare


def running_service(refresh="0"):
    """A registered service started through the SCM and running."""
    base = service_machine(refresh)

    def prepare(machine):
        base(machine)
        assert machine.sc("start", SERVICE, timeout=30)[0] == 0, "the service did not start"
        assert started(machine), "not running"
    return prepare


def start_service(machine):
    """Starts the service; False when the SCM could not even start it."""
    code, _ = machine.sc("start", SERVICE, timeout=30)
    if code == "hang":
        raise Hang()
    return code == 0


class Hang(Exception):
    pass


# Waits in the machine's time, long enough for a start's probes and for the
# longest stop sequence (about 63 s).
def started(machine):
    return machine.sc("wait", SERVICE, "4", "60000", timeout=60)[0] == 0


def until_stopped(machine):
    machine.sc("wait", SERVICE, "1", "120000", timeout=120)


def act_start_stop(machine):
    # Start, an interrogate while running, a stop.
    if start_service(machine) and started(machine):
        machine.sc("control", SERVICE, "4", timeout=30)
        machine.sc("control", SERVICE, "1", timeout=60)
    until_stopped(machine)


def act_shutdown(machine):
    if start_service(machine) and started(machine):
        machine.sc("control", SERVICE, "5", timeout=60)
    until_stopped(machine)


def act_server_dies(machine):
    # The server dies outside the SCM while the service supervises it.
    if start_service(machine) and started(machine):
        machine.write("install/locks/server.die", "")
    until_stopped(machine)


def act_stop_fails(machine):
    # A stop whose launcher leaves the server running; then one that works.
    if start_service(machine) and started(machine):
        ignore = machine.write("install/lib/winlauncher.ignore", "")
        machine.sc("control", SERVICE, "1", timeout=60)
        machine.sc("wait", SERVICE, "4", "120000", timeout=120)
        os.unlink(ignore)
        machine.sc("control", SERVICE, "1", timeout=60)
    until_stopped(machine)


def act_probe_error(machine):
    # Two lock probes fail while the service runs (the scenario's own faults);
    # it goes on supervising, then stops normally.
    if start_service(machine) and started(machine):
        machine.sc("sleep", "11000")
        machine.sc("control", SERVICE, "1", timeout=60)
    until_stopped(machine)


def server_running(machine, root="install"):
    machine.spawn_fixture("velkor_test_server", ["Z:" + machine.path(root).replace("/", "\\")])
    assert machine.wait_for(root + "/locks/server.ready"), "the test server did not start"


def with_instance_loc(machine):
    machine.write("install/instance.loc", "../instance\n")
    os.makedirs(machine.path("instance"), exist_ok=True)
    server_running(machine, "instance")


def with_bad_instance_loc(machine):
    machine.write("install/instance.loc", "../nowhere\n")
    server_running(machine)


def server_stopped(machine):
    machine.write("install/locks/server.lock", "")


def earlier_registration(machine):
    """The service as an earlier release registered it: the directory with
    a trailing separator, its closing quote escaped."""
    register(machine)
    path = os.path.join(machine.root, "scm", "services", SERVICE.lower() + ".svc")
    text = open(path).read()
    today = 'start "%s"' % machine.install_win.replace("\\", "\\\\")
    assert today in text, "no registration in today's form"
    with open(path, "w") as f:
        f.write(text.replace(today, today[:-1] + '\\\\"'))


def without_logs(machine):
    register(machine)
    shutil.rmtree(os.path.join(machine.install, "logs"))


def log_at_cap(machine):
    register(machine)
    with open(os.path.join(machine.install, "logs", "native-windows.out"), "ab") as f:
        f.write(b"x" * 500001)


def command(args, prepare=lambda m: None):
    def act(machine):
        return machine.run([a.replace("{inst}", machine.install_win) for a in args])[0]
    return dict(prepare=prepare, act=act, role="velkor_service:" + args[0])


def service(prepare, act):
    return dict(prepare=prepare, act=lambda m: act(m), role="velkor_service:start", service=True)


SCENARIOS = collections.OrderedDict([
    ("no-subcommand", dict(prepare=lambda m: None, act=lambda m: m.run([])[0],
                           role="velkor_service")),
    ("usage", dict(prepare=lambda m: None, act=lambda m: m.run(["state"])[0],
                   role="velkor_service:state")),
    ("create", command(["create", "{inst}", SERVICE, "desc"])),
    ("create-existing", command(["create", "{inst}", SERVICE, "desc"], register)),
    ("create-earlier", command(["create", "{inst}", SERVICE, "desc"], earlier_registration)),
    ("state", command(["state", "{inst}"], register)),
    ("log-at-cap", command(["state", "{inst}"], log_at_cap)),
    ("log-in-temp", command(["state", "{inst}"], without_logs)),
    ("remove", command(["remove", "{inst}"], register)),
    ("cleanup", command(["cleanup", SERVICE], register)),
    ("isrunning", command(["isrunning", "{inst}"], server_running)),
    ("isrunning-loc", command(["isrunning", "{inst}"], with_instance_loc)),
    ("isrunning-bad-loc", command(["isrunning", "{inst}"], with_bad_instance_loc)),
    ("isrunning-free", command(["isrunning", "{inst}"], server_stopped)),
    # From a console `start` is refused by the dispatcher: a role of its own.
    ("start-console", dict(command(["start", "{inst}"], service_machine()),
                           group="start from a console")),
    ("start-stop", service(service_machine(), act_start_stop)),
    ("shutdown", service(service_machine(), act_shutdown)),
    ("server-dies", service(service_machine("1"), act_server_dies)),
    # The probe's 4th and 5th opens of the lock file are the supervision's
    # first passes once the service runs (after serviceMain's own probe, the
    # start's, and the one that found the server).
    ("probe-error", dict(service(service_machine("1"), act_probe_error),
                         faults=[("_sopen", "_sopen isServerRunning#1", 4, 2)])),
    ("stop-fails", service(service_machine(), act_stop_fails)),
    ("remove-running", dict(command(["remove", "{inst}"], running_service()), stops_service=True)),
    ("cleanup-running", dict(command(["cleanup", SERVICE], running_service()),
                             stops_service=True)),
])


# ---- One run ---------------------------------------------------------------------

def left_behind(machine):
    """What the machine holds: the service as the SCM shows it (state/win32
    exit code/service exit code, or none), the server, the event-log key."""
    found = re.search(r"state=(\d+) win32=(-?\d+) specific=(-?\d+)",
                      machine.sc("query", SERVICE, timeout=30)[1])
    return "service=%s server=%s key=%s" % (
        "/".join(found.groups()) if found else "none",
        "running" if machine.server_processes() else "stopped",
        "yes" if os.path.isdir(os.path.join(machine.root, EVENT_KEY)) else "no")


def outcome(machine, scenario, code):
    """The run's outcome text and the problems no outcome excuses:
    "<exit=code and/or process=ended|alive> ; <log's last line> ; <left behind>"."""
    problems = []
    parts = [] if scenario.get("service") else ["exit=%s" % code]
    machine.release()
    if scenario.get("service") or scenario.get("stops_service"):
        # A service the SCM shows stopped (or deleted) must have ended, within
        # moments of its last report.
        deadline = time.time() + 15
        while machine.service_processes() and time.time() < deadline:
            time.sleep(0.05)
        alive = bool(machine.service_processes())
        parts.append("process=%s" % ("alive" if alive else "ended"))
    behind = left_behind(machine)
    if "process=alive" in parts and re.search(r"service=(none|1/)", behind):
        problems.append("service process did not end")
    lines = machine.run_log(exclude=machine.command_pids) if scenario.get("service") else \
        machine.run_log(pids=machine.command_pids)
    last = lines[-1][1] if lines else "(none)"
    ended = re.match(r"^main returning (-?\d+)\.$", last)
    for form in (machine.dir, "Z:" + machine.dir.replace("/", "\\")):
        last = last.replace(form, "<machine>")
    log = "main=%s" % ended.group(1) if ended else "last=" + last
    if code == "hang":
        problems.append("hang")
    if machine.sanitizer_reports():
        problems.append("sanitizer report")
    return " ; ".join([" ".join(parts), log, behind]), problems


def clean(text, before, normal):
    """True for an outcome that needs no reason: what the run does without a
    fault, or a clean failure: a command that failed with the code it
    returns (exit=main, not 0) and left the machine as it found it (before),
    or a service the SCM shows stopped with the failure it reported
    (win32 exit code 1066 and a service-specific code), its process ended,
    no server left running, the service and its key as registered."""
    got = text.split(" ; ")
    if text == normal:
        return True
    exited = re.match(r"^exit=(-?\d+)(?: process=\w+)?$", got[0])
    if exited:
        return exited.group(1) != "0" and got[1] == "main=" + exited.group(1) and got[2] == before
    return got[0] == "process=ended" and re.match(
        r"^service=1/1066/-?[1-9]\d* server=stopped key=yes$", got[2]) is not None


def matches(text, want, run=None):
    """An expected outcome's fields equal the run's. A field with "*" is a
    pattern; expected.txt uses one only where the exact outcome is not the
    program's to choose (see the comments there). A field "same-as-run" is
    that field of `run`, the outcome of the same run without its fault, and
    an outcome "same-as-run" all of it."""
    if want is None:
        return False
    got, wanted = text.split(" ; "), want.split(" ; ")
    ran = run.split(" ; ") if run is not None else None
    if want == SAME_AS_RUN and ran is not None:
        wanted = [SAME_AS_RUN] * len(ran)
    if len(got) != len(wanted):
        return False
    for at, (g, w) in enumerate(zip(got, wanted)):
        if w == SAME_AS_RUN:
            if ran is None or len(ran) != len(got) or g != ran[at]:
                return False
        elif not (fnmatch.fnmatchcase(g, w) if "*" in w else g == w):
            return False
    return True


def without_fault(name, kind, observed, normal):
    """The outcome of the same run without its last fault: the scenario's
    normal run, or for "<kind> after <site> <kind>" the run of that earlier
    fault (None when it was not run)."""
    earlier = re.match(r"^\w+ after (.+) (\w+)$", kind)
    return observed.get((name, earlier.group(1), earlier.group(2))) if earlier else normal


def leaked(machine, scenario, call):
    """Handles open at process end that nothing excuses."""
    # The service's status handle and the four events its threads wait on
    # (termination, the stopped report's, the stop's and the threads' own)
    # live as long as its process.
    keep = collections.Counter({"event": 4, "status": 1}) if scenario.get("service") or \
        scenario.get("stops_service") else collections.Counter()
    excused = CLOSES.get(call, set()) if call else set()
    out = []
    by_pid = collections.defaultdict(list)
    for pid, kind, count in machine.open_handles():
        by_pid[pid].append((kind, int(count)))
    # When the service's threads outlive main's wait, the program leaves the
    # event source to the end of the process, and says so.
    left = any(m.startswith("ERROR:  startService: the service's threads are still running")
               for _, m in machine.run_log())
    if left:
        keep["eventsource"] += 1
    for pid, kinds in by_pid.items():
        spare = 1 if excused else 0
        for kind, count in kinds:
            count -= keep.get(kind, 0)
            if count > 0 and kind in excused and spare:
                count -= 1
                spare -= 1
            if count > 0:
                out.append("%s/%s/%d" % (pid, kind, count))
    return out


def one_run(build, scenario, faults=(), trace=True):
    """(outcome, problems, the role's traced calls, fired) of one run on a fresh machine.
    Each fault is (call, site offset, occurrence at that site)."""
    machine = Machine(build)
    try:
        scenario["prepare"](machine)
        if os.path.exists(machine.handle_report):
            os.unlink(machine.handle_report)  # the preparation's processes are not judged
        rules = ["%s %d %d %d %s %s" % (call, ERRORS.get(call, DEFAULT_ERROR), first, count,
                                        scenario["role"], SITE_OFFSETS[site])
                 for call, site, first, count in scenario.get("faults", [])]
        # A fault is (call, site, occurrence), or with a fourth field the
        # number of occurrences failed from there on.
        rules += ["%s %d %d %d %s %s" % (f[0], ERRORS.get(f[0], DEFAULT_ERROR), f[2],
                                         f[3] if len(f) > 3 else 1, scenario["role"], f[1])
                  for f in faults]
        machine.set_faults(rules)
        before = left_behind(machine)
        if trace:
            machine.env["VELKOR_STANDIN_CALLS"] = machine.trace
        machine.mark_log()
        try:
            code = scenario["act"](machine)
        except Hang:
            code = "hang"
        if trace:
            del machine.env["VELKOR_STANDIN_CALLS"]
        text, problems = outcome(machine, scenario, code)
        problems += ["handle %s" % h for h in leaked(machine, scenario,
                                                     faults[-1][0] if faults else None)]
        fired = machine.fired()
        calls = []
        if trace:
            try:
                with open(machine.trace) as f:
                    calls = [l.split() for l in f]
            except OSError:
                pass
        return text, problems, calls, fired, before
    finally:
        machine.close()


def reached_sites(calls, role):
    """{site offset: (call, occurrences at the site)} of the role's first process."""
    first_pid, counts = None, collections.OrderedDict()
    for parts in calls:
        if len(parts) < 5 or parts[1] != role:
            continue
        if first_pid is None:
            first_pid = parts[0]
        if parts[0] != first_pid:
            continue
        call, site = parts[2], parts[4]
        entry = counts.setdefault(site, [call, 0])
        entry[1] += 1
    return counts


def load_expected():
    """{(scenario, site, kind): outcome} of the entries, {entry: its reason}
    (the comment lines above a group of lines, which ends at a blank line),
    the rules in the file's order, each {key: its three patterns, outcome,
    reason, line, used: how many runs it stated}, and the file's header."""
    expected, comments, rules, reason, entries, header = {}, {}, [], (), False, ""
    try:
        with open(EXPECTED) as f:
            for number, line in enumerate(f, 1):
                if line.startswith("##"):
                    header += line  # the file's own header, kept as it is
                    continue
                if not line.strip():
                    reason = ()
                elif line.startswith("#"):
                    reason = (reason if not entries else ()) + (line.rstrip("\n"),)
                    entries = False
                else:
                    entries = True
                    fields = line.rstrip("\n").split("\t")
                    if len(fields) != 4:
                        sys.exit("%s:%d: not scenario, site, occurrence and outcome, "
                                 "separated by tabs" % (EXPECTED, number))
                    key, result = tuple(fields[:3]), fields[3]
                    if any("*" in field for field in key):
                        if not reason:
                            sys.exit("%s:%d: a rule needs its reason" % (EXPECTED, number))
                        rules.append(dict(key=key, outcome=result, reason=reason, line=number,
                                          used=0))
                        continue
                    expected[key] = result
                    if reason:
                        comments[key] = reason
    except OSError:
        pass
    return expected, comments, rules, header


def rule_for(key, rules):
    """The first rule that matches the run `key`, or None."""
    for rule in rules:
        if all(fnmatch.fnmatchcase(field, pattern) for field, pattern in zip(key, rule["key"])):
            return rule
    return None


def save_expected(expected, comments, rules, header):
    """Rewrites expected.txt: its header, the rules in their order, each group
    under its reason, then the entries with no reason, then each reason with
    its entries, which keep their expectation (a reviewed decision)."""
    groups = collections.defaultdict(list)
    for key in sorted(expected):
        groups[comments.get(key, ())].append(key)
    with open(EXPECTED, "w") as f:
        f.write(header)
        reason = None
        for rule in rules:
            if rule["reason"] != reason:
                reason = rule["reason"]
                f.write("\n" + "".join(line + "\n" for line in reason))
            f.write("\t".join(rule["key"]) + "\t" + rule["outcome"] + "\n")
        f.write("\n" if rules and groups.get(()) else "")
        for reason in sorted(groups):
            f.write("\n" + "".join(line + "\n" for line in reason) if reason else "")
            for key in groups[reason]:
                f.write("\t".join(key) + "\t" + expected[key] + "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--only", action="append")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--record", action="store_true")
    parser.add_argument("--every-scenario", action="store_true")
    parser.add_argument("--verbose", action="store_true")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    offsets, site_calls = program_sites(build)
    SITE_OFFSETS.update({name: offset for offset, name in offsets.items()})
    total = len(site_calls)
    expected, comments, rules, header = load_expected()
    observed = {}
    names = [n for n in SCENARIOS if not options.only or n in options.only]
    failed_sites, reached = set(), set()
    table, unexpected, runs = [], 0, 0
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs))

    def judge(name, site, kind, result, normal):
        nonlocal unexpected
        text, problems, _, fired, before = result
        key = (name, site, kind)
        observed[key] = text
        run = without_fault(name, kind, observed, normal)
        rule = None if key in expected else rule_for(key, rules)
        want = rule["outcome"] if rule else expected.get(key)
        if rule:
            rule["used"] += 1
        if not options.record and want is None:
            problems = problems + ["outcome [%s]: no entry or rule expects this run "
                                   "(--record writes its entry)" % text]
        elif not options.record and not matches(text, want, run):
            problems = problems + ["outcome [%s], expected [%s]%s%s" % (
                text, want, "" if SAME_AS_RUN not in want.split(" ; ") else
                ", the same run without the fault: [%s]" % run,
                " (the rule at %s:%d)" % (os.path.basename(EXPECTED), rule["line"]) if rule
                else "")]
        elif not options.record and not rule and not clean(text, before, normal) and \
                key not in comments:
            problems = problems + ["outcome [%s] is no clean failure: its entry needs a reason"
                                   % text]
        if problems:
            unexpected += 1
            print("UNEXPECTED %-15s %-50s %-8s %s" % (name, site, kind, "; ".join(problems)),
                  flush=True)
        elif options.verbose:
            print("ok         %-15s %-50s %-8s %s" % (name, site, kind, text), flush=True)
        return bool(problems)

    def failing(scenario, faults, kind):
        """One run with `faults`; the fault must fire, for "last" at the
        site's last occurrence of the run: when the fault's own error path
        reaches the site again, that later occurrence is failed instead."""
        call, offset, occurrence = faults[-1]
        for attempt in range(4):
            result = one_run(build, scenario, faults)
            fired = [f for f in result[3] if f[2] == call and f[4] == offset]
            seen = reached_sites(result[2], scenario["role"]).get(offset, [call, 0])[1]
            if not fired and attempt and len(faults[-1]) == 3:
                # The later occurrence is the site's own retry of the failed
                # call, made only after that failure: the site then fails
                # from its last occurrence on.
                faults = faults[:-1] + [(call, offset, occurrence, 1000)]
                continue
            if not fired or kind != "last" or seen == int(fired[-1][3]):
                break
            if len(faults[-1]) == 3:
                faults = faults[:-1] + [(call, offset, seen)]
        if not fired:
            return result[:1] + (result[1] + ["the fault never fired"],) + result[2:]
        if kind == "last" and seen != int(fired[-1][3]):
            return result[:1] + (result[1] + ["the last occurrence could not be failed"],) + \
                result[2:]
        return result

    for name in names:
        scenario = SCENARIOS[name]
        started = time.time()
        baseline = one_run(build, scenario)
        sites = reached_sites(baseline[2], scenario["role"])
        normal = baseline[0]
        bad = judge(name, "(none)", "normal", baseline, normal)
        scenario_runs, scenario_bad = 1, int(bad)
        jobs = []

        def schedule(offset, call, count, before=()):
            site = offsets.get(offset)
            if site is None:
                return  # a call the stand-in makes for itself, not a program site
            reached.add(site)
            group = scenario.get("group", scenario["role"])
            done_key = (group, site) if not options.every_scenario else (name, site)
            if call in CANNOT_FAIL or done_key in failed_sites:
                return
            failed_sites.add(done_key)
            kinds = [("first", 1)]
            if count >= 3:
                kinds.append(("second", 2))
            if count >= 2:
                kinds.append(("last", count))
            for kind, occurrence in kinds:
                label = kind if not before else "%s after %s %s" % (kind, before[0], before[1])
                faults = (list(before[2]) if before else []) + [(call, offset, occurrence)]
                jobs.append((site, label, pool.submit(failing, scenario, faults, kind)))

        for offset, (call, count) in sites.items():
            schedule(offset, call, count)
        # Sites reached only once an earlier call failed (error paths) are
        # failed in turn, together with the fault that leads to them.
        done = 0
        while done < len(jobs):
            site, kind, future = jobs[done]
            done += 1
            result = future.result()
            scenario_runs += 1
            scenario_bad += judge(name, site, kind, result, normal)
            if " after " in kind or not result[3]:
                continue
            fault_offset = SITE_OFFSETS[site]
            fired = [f for f in result[3] if f[4] == fault_offset]
            if not fired:
                continue
            fired_at = int(fired[-1][3])
            for offset, (call, count) in reached_sites(result[2], scenario["role"]).items():
                if offset not in sites and \
                        (scenario.get("group", scenario["role"]), offsets.get(offset)) \
                        not in failed_sites:
                    schedule(offset, call, 1,
                             (site, kind, [(site_calls[site], fault_offset, fired_at)]))
        runs += scenario_runs
        table.append((name, len(sites), scenario_runs, scenario_bad, time.time() - started))
    pool.shutdown()

    if options.record:
        merged = {k: v for k, v in expected.items() if k[0] not in names or k in comments}
        for key, text in observed.items():
            rule = rule_for(key, rules)
            if key not in comments and not (rule and matches(
                    text, rule["outcome"], without_fault(key[0], key[2], observed,
                                                         observed[(key[0], "(none)", "normal")]))):
                merged[key] = text
        save_expected(merged, comments, rules, header)

    print()
    print("%-16s %6s %6s %11s %8s" % ("scenario", "sites", "runs", "unexpected", "seconds"))
    for row in table:
        print("%-16s %6d %6d %11d %8.1f" % row)
    never = sorted(s for s in site_calls if s not in reached)
    cannot = sorted(s for s in site_calls if site_calls[s] in CANNOT_FAIL)
    listed = [s for s in never if s in UNREACHABLE]
    unlisted = [s for s in never if s not in UNREACHABLE and site_calls[s] not in CANNOT_FAIL]
    print()
    for s in cannot:
        print("not failed: %-55s %s" % (s, CANNOT_FAIL[site_calls[s]]))
    for s in listed:
        print("unreachable: %-55s %s" % (s, UNREACHABLE[s]))
    unused = []
    if not options.only:
        for s in unlisted:
            print("NOT REACHED AND NOT LISTED: %s" % s)
        unused = [r for r in rules if not r["used"]]
        for rule in unused:
            print("RULE MATCHING NO RUN: %s:%d %s" % (os.path.basename(EXPECTED), rule["line"],
                                                     "\t".join(rule["key"])))
    else:
        unlisted = []
    print("fault matrix: %d of %d call sites failed, %d runs, %d unexpected" %
          (len({site for _, site in failed_sites}), total, runs, unexpected))
    return 1 if unexpected or unlisted or unused else 0


if __name__ == "__main__":
    sys.exit(main())
