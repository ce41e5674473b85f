#!/usr/bin/env python3
"""Fault matrix: every platform call site of every subcommand, failed once.

For each scenario (a subcommand run on a prepared stand-in machine) a normal
run records the platform calls the program makes (VELKOR_STANDIN_CALLS, with
the call site of each). Then, for each distinct call site, the scenario runs
again on a fresh machine with exactly that call failing once (a rule in the
machine's faults file, limited to the program under test). Every run must:
end within its time limit with an exit code the subcommand documents, have
its debug log end the run with "main returning <code>.", show no sanitizer
report, and leave no stand-in handle open at process end beyond what the
program deliberately keeps (the service's termination event and its status
handle, which Windows never closes either).

Usage: fault_matrix.py BUILD_DIR [--only SCENARIO] [--max-sites N]
Prints a table and exits 1 when any run misbehaved.
"""
import argparse
import collections
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ERROR_ACCESS_DENIED = 5
EACCES = 13
# The error each call fails with: the one the program most plausibly meets.
ERRORS = {
    "_sopen": EACCES, "_fdopen": EACCES, "_mkdir": EACCES,
    "CreateProcessA": 2, "OpenServiceA": 1060, "RegOpenKeyExA": 2,
    "LockFileEx": ERROR_ACCESS_DENIED, "WaitForSingleObject": 6, "CloseHandle": 6,
    "CloseServiceHandle": 6, "SetServiceStatus": 6, "ControlService": 1062,
}
# Calls that cannot fail on Windows, or whose failure the stand-in only counts.
NEVER_FAIL = {"Sleep", "GetCurrentProcessId", "GetLastError", "SetLastError"}


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
        self.env.update({
            "TMPDIR": self.tmp,
            "VELKOR_STANDIN_ROOT": self.root,
            "VELKOR_STANDIN_HANDLE_REPORT": self.handle_report,
            "ASAN_OPTIONS": "detect_leaks=1:log_path=" + os.path.join(self.sanitizer_dir, "asan"),
            "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1:log_path="
                             + os.path.join(self.sanitizer_dir, "ubsan"),
        })
        self.processes = []

    def execute(self, path, args, timeout=60, trace=False, env=None):
        """Runs one program on this machine: (exit code, standard output), or ("hang", "")."""
        run_env = dict(self.env)
        if trace:
            run_env["VELKOR_STANDIN_CALLS"] = self.trace
        if env:
            run_env.update(env)
        try:
            done = subprocess.run([path] + args, env=run_env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, timeout=timeout)
            return done.returncode, done.stdout.decode(errors="replace")
        except subprocess.TimeoutExpired:
            return "hang", ""

    def run(self, args, timeout=60, trace=False, env=None):
        """The program under test; its exit code as the signed value main returned."""
        code, out = self.execute(self.program, args, timeout, trace, env)
        if code != "hang" and code > 127:
            code -= 256
        return code, out

    def fixture(self, name, args, env=None, trace=False, timeout=60):
        return self.execute(os.path.join(self.fixtures, name), args, timeout, trace, env)

    def spawn_fixture(self, name, args):
        process = subprocess.Popen([os.path.join(self.fixtures, name)] + args, env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        self.processes.append(process)
        return process

    def write(self, relative, text):
        path = os.path.join(self.dir, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def wait_for(self, relative, seconds=10):
        path = os.path.join(self.dir, relative)
        deadline = time.time() + seconds
        while time.time() < deadline:
            if os.path.exists(path):
                return True
            time.sleep(0.02)
        return False

    def fail(self, call, error, occurrence, program="velkor_service"):
        with open(os.path.join(self.root, "faults"), "w") as f:
            f.write("%s %d %d 1 %s\n" % (call, error, occurrence, program))

    def log_lines(self):
        """The debug log's messages, wherever the run put it (install or temp)."""
        lines = []
        for path in (os.path.join(self.install, "logs", "native-windows.out"),
                     os.path.join(self.tmp, "logs", "native-windows.out")):
            try:
                with open(path, "rb") as f:
                    text = f.read().decode(errors="replace")
            except OSError:
                continue
            lines += [line.split(")  ", 1)[-1] for line in text.split("\r\n") if line]
        return lines

    def sanitizer_reports(self):
        return [os.path.join(self.sanitizer_dir, n) for n in os.listdir(self.sanitizer_dir)]

    def open_handles(self, program_pids=None):
        try:
            with open(self.handle_report) as f:
                lines = [l.split() for l in f if l.strip()]
        except OSError:
            return []
        return [l for l in lines if program_pids is None or int(l[0]) in program_pids]

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


def trace_sites(machine, program="velkor_service"):
    """Distinct (call, site) pairs of the program with the first occurrence of each."""
    sites = collections.OrderedDict()
    pids = set()
    try:
        with open(machine.trace) as f:
            for line in f:
                parts = line.split()
                if len(parts) != 5 or parts[1] != program or parts[2] in NEVER_FAIL:
                    continue
                pid, _, call, occurrence, site = parts
                pids.add(int(pid))
                sites.setdefault((call, site), int(occurrence))
    except OSError:
        pass
    return sites, pids


# ---- Scenarios -------------------------------------------------------------
# Each: prepare(machine) before tracing or failing, act(machine, trace) -> exit
# code, the exit codes the subcommand documents, and handle kinds it may keep.

def register(machine, name="VelkorFaults"):
    code, _ = machine.run(["create", machine.install_win, name, "fault matrix service"])
    return code == 0


def start_script(machine):
    server = os.path.join(machine.fixtures, "velkor_test_server")
    machine.write("install/bat/start-ds.bat",
                  "#!/bin/sh\n"
                  "# Starts the server and returns once it holds its lock, as the real script does.\n"
                  "\"%s\" \"%s\" >/dev/null 2>&1 &\n"
                  "for i in $(seq 200); do [ -f \"%s/locks/server.ready\" ] && exit 0; sleep 0.025; done\n"
                  "exit 1\n" % (server, machine.install_win, machine.install))
    os.chmod(os.path.join(machine.install, "bat", "start-ds.bat"), 0o755)
    shutil.copy2(os.path.join(machine.fixtures, "winlauncher"),
                 os.path.join(machine.install, "lib", "winlauncher.exe"))


SCENARIOS = {
    "usage": dict(prepare=lambda m: None,
                  act=lambda m, t: m.run(["state"], trace=t)[0], codes={-1}),
    "create": dict(prepare=lambda m: None,
                   act=lambda m, t: m.run(["create", m.install_win, "VelkorFaults", "desc"], trace=t)[0],
                   codes={0, 1, 2, 3, -1}),
    "create-existing": dict(prepare=register,
                            act=lambda m, t: m.run(["create", m.install_win, "VelkorFaults", "desc"],
                                                   trace=t)[0],
                            codes={0, 1, 2, 3, -1}),
    "state": dict(prepare=register, act=lambda m, t: m.run(["state", m.install_win], trace=t)[0],
                  codes={0, 1, 2, -1}),
    "remove": dict(prepare=register, act=lambda m, t: m.run(["remove", m.install_win], trace=t)[0],
                   codes={0, 1, 2, 3, -1}),
    "cleanup": dict(prepare=register, act=lambda m, t: m.run(["cleanup", "VelkorFaults"], trace=t)[0],
                    codes={0, 1, 2, 3}),
    "isrunning": dict(prepare=lambda m: (m.spawn_fixture("velkor_test_server", [m.install_win]),
                                          m.wait_for("install/locks/server.ready")),
                      act=lambda m, t: m.run(["isrunning", m.install_win], trace=t)[0],
                      codes={0, 1, 2, -1}),
}


def service_scenario():
    """`start` through the stand-in SCM: start, run, stop, with fast timings."""
    timings = {"VELKOR_STANDIN_TIME_SCALE": "0.02", "VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD": "1"}

    def prepare(machine):
        machine.env.update(timings)
        start_script(machine)
        register(machine)

    def act(machine, trace):
        env = {"VELKOR_STANDIN_CALLS": machine.trace} if trace else None
        code, _ = machine.fixture("velkor_sc", ["start", "VelkorFaults"], env=env, timeout=30)
        if code == "hang":
            return "hang"
        machine.fixture("velkor_sc", ["wait", "VelkorFaults", "4", "20000"], timeout=30)
        machine.fixture("velkor_sc", ["control", "VelkorFaults", "4"], timeout=30)
        machine.fixture("velkor_sc", ["control", "VelkorFaults", "1"], timeout=60)
        stopped, _ = machine.fixture("velkor_sc", ["wait", "VelkorFaults", "1", "30000"], timeout=60)
        # The service process must end once it has reported stopped.
        deadline = time.time() + 30
        while time.time() < deadline:
            if not service_processes(machine):
                break
            time.sleep(0.05)
        else:
            return "hang"
        return 0 if stopped == 0 else "not stopped"

    return dict(prepare=prepare, act=act, codes={0, "not stopped"}, keep={"event", "status"},
                log_end=False)


def service_processes(machine):
    found = subprocess.run(["pgrep", "-f", machine.program + " start"], stdout=subprocess.PIPE)
    return found.stdout.split()


SCENARIOS["start"] = service_scenario()


def check_run(machine, scenario, code, pids, fault):
    """The ways a run can misbehave, as a list of kinds (empty: clean)."""
    problems = []
    if code == "hang":
        problems.append("hang")
    elif code not in scenario["codes"]:
        problems.append("exit code %s" % code)
    if machine.sanitizer_reports():
        problems.append("sanitizer")
    keep = scenario.get("keep", set())
    leaked = [l for l in machine.open_handles() if l[1] not in keep or int(l[2]) > 1]
    # A close that fails leaves its handle open by definition.
    closing = fault is not None and (fault[0].startswith("Close") or fault[0] == "RegCloseKey"
                                     or fault[0] == "DeregisterEventSource")
    if leaked and not closing:
        problems.append("handles %s" % " ".join("/".join(l[1:]) for l in leaked))
    if scenario.get("log_end", True) and isinstance(code, int):
        want = "main returning %d." % code
        faulted_log = fault is not None and fault[1].startswith("velkor_service") and \
            fault[0] in ("CreateFileA", "GetFileSize", "_sopen", "_fdopen", "GetModuleFileNameA")
        if want not in machine.log_lines() and not faulted_log:
            problems.append("log does not end the run")
    return problems


def run_scenario(build, name, scenario, max_sites):
    machine = Machine(build)
    try:
        scenario["prepare"](machine)
        code = scenario["act"](machine, True)
        sites, pids = trace_sites(machine)
        baseline = check_run(machine, scenario, code, pids, None)
    finally:
        machine.close()
    results = [("(normal run)", code, baseline)]
    for (call, site), occurrence in list(sites.items())[:max_sites]:
        machine = Machine(build)
        try:
            scenario["prepare"](machine)
            machine.fail(call, ERRORS.get(call, ERROR_ACCESS_DENIED), occurrence)
            code = scenario["act"](machine, False)
            problems = check_run(machine, scenario, code, pids, (call, site))
        finally:
            machine.close()
        results.append(("%s@%s#%d" % (call, site, occurrence), code, problems))
    return sites, results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--only", action="append")
    parser.add_argument("--max-sites", type=int, default=1000)
    parser.add_argument("--verbose", action="store_true")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    table = []
    failures = 0
    for name, scenario in SCENARIOS.items():
        if options.only and name not in options.only:
            continue
        started = time.time()
        sites, results = run_scenario(build, name, scenario, options.max_sites)
        kinds = collections.Counter()
        for label, code, problems in results:
            for problem in problems:
                kinds[problem.split()[0]] += 1
            if problems:
                failures += 1
                print("FAIL %-10s %-60s exit=%s: %s" % (name, label, code, "; ".join(problems)))
            elif options.verbose:
                print("ok   %-10s %-60s exit=%s" % (name, label, code))
        outcomes = collections.Counter(str(code) for _, code, _ in results)
        table.append((name, len(sites), len(results), sum(1 for r in results if r[2]),
                      ", ".join("%s:%d" % k for k in sorted(kinds.items())) or "-",
                      ", ".join("%s:%d" % o for o in sorted(outcomes.items())),
                      time.time() - started))
    print()
    print("%-16s %6s %6s %9s  %-28s %-40s %7s" % ("scenario", "sites", "runs", "failures",
                                                  "failures by kind", "exit codes seen", "seconds"))
    for row in table:
        print("%-16s %6d %6d %9d  %-28s %-40s %7.1f" % row)
    total_sites = sum(r[1] for r in table)
    total_runs = sum(r[2] for r in table)
    print("%-16s %6d %6d %9d" % ("total", total_sites, total_runs, failures))
    print("%d passed, %d failed" % (total_runs - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
