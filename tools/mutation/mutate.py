#!/usr/bin/env python3
"""Mutation testing of the driver against the host test suites.

Every mutant is a one-token change (or one dropped operand, or one deleted
call) in driver/ bus/ port/ control/ registry/. Each is applied to a scratch
copy of the tree under build/mutation, rebuilt incrementally, and the test
programs that link the driver are run on it. The outcome is appended to a
results file, so a run can stop at any point and resume later.

    tools/mutation/mutate.py --sample 150 --seed 1   # a sample
    tools/mutation/mutate.py --budget 120            # everything, two hours at most
    tools/mutation/mutate.py --report                # the score from the results so far
"""

import argparse
import collections
import difflib
import fnmatch
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sites  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HERE = os.path.relpath(os.path.dirname(os.path.abspath(__file__)), ROOT)

# Tests run only when the quick ones let a mutant through: the threaded
# campaigns (about 1.3 s, timing dependent) and the replays of whole example
# scenarios under every fault (about 3 s). They never decide less than they
# would in one pass; they only come last.
SLOW_TESTS = ["*Concurrency*", "LowResources.Example*"]

# What the outcome of a mutant depends on: the tree state of a result.
FINGERPRINTED = ("CMakeLists.txt", "cmake/", "seam/", "include/", "hostkernel/", "driver/", "bus/", "port/",
                 "control/", "registry/", "standin/", "corvessctl/", "simulator/", "tests/", "examples/")

KILLED, SURVIVED, INVALID, TIMEOUT = "killed", "survived", "invalid", "timeout"

BEGUN = time.monotonic()


def log(*parts):
    print(*parts, flush=True)


# ---------------------------------------------------------------------------
# The scratch tree and its build


class Scratch:
    def __init__(self, work, jobs, optimisation):
        self.work = os.path.abspath(work)
        self.src = os.path.join(self.work, "src")
        self.obj = os.path.join(self.work, "obj")
        self.shadow = os.path.join(self.obj, "mutation-shadow")
        self.renames = os.path.join(self.obj, "mutation-renames.h")
        self.jobs = jobs
        self.optimisation = optimisation
        self.tests = test_programs(ROOT)

    def tracked_files(self):
        try:
            out = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
                                 cwd=ROOT, check=True, capture_output=True).stdout
            names = [n.decode() for n in out.split(b"\0") if n]
        except (OSError, subprocess.CalledProcessError):
            names = []
            for dirpath, dirnames, filenames in os.walk(ROOT):
                dirnames[:] = [d for d in dirnames if d not in (".git", "build")]
                names += [os.path.relpath(os.path.join(dirpath, f), ROOT) for f in filenames]
        return sorted(n for n in names if os.path.isfile(os.path.join(ROOT, n)))

    def sync(self):
        """Makes the scratch tree a copy of the working tree; returns its fingerprint."""
        names = self.tracked_files()
        wanted = set(names)
        digest = hashlib.sha1()
        changed = 0
        for name in names:
            source = os.path.join(ROOT, name)
            target = os.path.join(self.src, name)
            with open(source, "rb") as f:
                data = f.read()
            if name.startswith(FINGERPRINTED):
                digest.update(name.encode() + b"\0" + hashlib.sha1(data).digest())
            if write_if_different(target, data):
                changed += 1
        for dirpath, _, filenames in os.walk(self.src):
            for f in filenames:
                rel = os.path.relpath(os.path.join(dirpath, f), self.src)
                if rel not in wanted:
                    os.remove(os.path.join(dirpath, f))
                    changed += 1
        # Pristine headers for the tests, and the renames for the driver.
        headers = [p for p in sites.source_files(self.src) if p.endswith(".h")]
        names = set()
        for rel in headers:
            with open(os.path.join(self.src, rel), "rb") as f:
                data = f.read()
            write_if_different(os.path.join(self.shadow, os.path.basename(rel)), data)
            names |= sites.inline_function_names(data.decode("utf-8"))
        renames = "// Inline driver helpers, renamed in the driver so the tests keep their own.\n" + "".join(
            "#define %s %s_DriverCopy\n" % (n, n) for n in sorted(names))
        write_if_different(self.renames, renames.encode())
        return digest.hexdigest()[:16], changed

    def configure(self):
        args = ["cmake", "-G", "Ninja", "-S", self.src, "-B", self.obj,
                "-DCMAKE_BUILD_TYPE=",
                "-DCMAKE_C_FLAGS=" + self.optimisation,
                "-DCMAKE_CXX_FLAGS=" + self.optimisation,
                "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
                "-DDRAVOLUX_FUZZ=OFF",
                "-DCMAKE_PROJECT_INCLUDE=" + os.path.join(self.src, HERE, "scratch.cmake"),
                "-DMUTATION_SHADOW=" + self.shadow,
                "-DMUTATION_RENAMES=" + self.renames,
                "-DMUTATION_TESTS=" + ";".join(self.tests)]
        if shutil.which("ld.lld"):
            args.append("-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld")
        stamp = os.path.join(self.obj, "mutation-configure.json")
        if os.path.exists(os.path.join(self.obj, "build.ninja")) and read_json(stamp) == args:
            return
        os.makedirs(self.obj, exist_ok=True)
        log("mutate: configuring %s" % os.path.relpath(self.obj, ROOT))
        run = subprocess.run(args, capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit("mutate: cmake failed\n" + run.stdout + run.stderr)
        with open(stamp, "w") as f:
            json.dump(args, f)

    def build(self, cache=True):
        """Builds the test programs; returns (ok, seconds, output)."""
        env = dict(os.environ)
        if not cache:
            env["CCACHE_DISABLE"] = "1"
        start = time.monotonic()
        run = subprocess.run(["ninja", "-C", self.obj, "-j", str(self.jobs)] + self.tests,
                             capture_output=True, text=True, env=env)
        return run.returncode == 0, time.monotonic() - start, run.stdout + run.stderr

    def program(self, name):
        return os.path.join(self.obj, "tests", name)


def test_programs(root):
    """Test programs that link the driver, from tests/CMakeLists.txt."""
    with open(os.path.join(root, "tests", "CMakeLists.txt")) as f:
        text = f.read()
    programs = []
    for m in re.finditer(r"^\s*dravolux_test_area\(\s*(\w+)\s+(\w+)([^)]*)\)", text, re.M):
        if "dravolux_driver" in m.group(3).split():
            programs.append(m.group(1))
    # Cheapest first: a killed mutant stops at its first failure.
    order = {"driver_tests": 0, "scenario_tests": 1, "tool_tests": 2, "reliability_tests": 3}
    return sorted(programs, key=lambda p: order.get(p, 9))


def last_test(output):
    """The test that was running when a program stopped."""
    started = re.findall(rb"^\[ RUN      \] (\S+)", output, re.M)
    return started[-1].decode() if started else "(before any test)"


def write_if_different(path, data):
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return False
    except OSError:
        pass
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return True


def read_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


# ---------------------------------------------------------------------------
# Running the tests


class Suite:
    """The test programs in two tiers, with the timeouts measured on the original."""

    def __init__(self, scratch, timeout_factor, min_timeout):
        self.scratch = scratch
        self.timeout_factor = timeout_factor
        self.min_timeout = min_timeout
        self.steps = []  # (program, filter, timeout)

    def tiers(self):
        quick = "-" + ":".join(SLOW_TESTS)
        slow = ":".join(SLOW_TESTS)
        return [(p, quick) for p in self.scratch.tests] + [(p, slow) for p in self.scratch.tests]

    def baseline(self):
        """Runs everything on the original; sets the timeouts."""
        self.steps = []
        total = 0.0
        for program, flt in self.tiers():
            listed = subprocess.run([self.scratch.program(program), "--gtest_list_tests", "--gtest_filter=" + flt],
                                    capture_output=True, text=True, cwd=os.path.dirname(self.scratch.program(program)))
            if not re.search(r"^  \S", listed.stdout, re.M):
                continue
            outcome, seconds, detail = self.run_one(program, flt, timeout=600)
            if outcome != "pass":
                sys.exit("mutate: the original fails %s (%s): %s" % (program, flt, detail))
            total += seconds
            self.steps.append((program, flt, max(self.min_timeout, self.timeout_factor * seconds)))
        return total

    def run_one(self, program, flt, timeout):
        path = self.scratch.program(program)
        start = time.monotonic()
        proc = subprocess.Popen([path, "--gtest_fail_fast", "--gtest_color=no",
                                 "--gtest_filter=" + flt],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=os.path.dirname(path),
                                start_new_session=True)
        try:
            out, _ = proc.communicate(timeout=timeout)
        except KeyboardInterrupt:
            os.killpg(proc.pid, signal.SIGKILL)
            raise
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            out, _ = proc.communicate()
            return TIMEOUT, time.monotonic() - start, "%s after %.0f s" % (last_test(out), timeout)
        seconds = time.monotonic() - start
        if proc.returncode == 0:
            return "pass", seconds, ""
        failed = re.search(rb"^\[  FAILED  \] (\S+)", out, re.M)
        if failed:
            return KILLED, seconds, failed.group(1).decode()
        if proc.returncode < 0:
            return KILLED, seconds, "%s: %s" % (last_test(out), signal.Signals(-proc.returncode).name)
        return KILLED, seconds, "%s: exit %d" % (last_test(out), proc.returncode)

    def run(self):
        """(outcome, seconds, detail) of the suite on the current build."""
        total = 0.0
        for program, flt, timeout in self.steps:
            outcome, seconds, detail = self.run_one(program, flt, timeout)
            total += seconds
            if outcome != "pass":
                return outcome, total, detail
        return SURVIVED, total, ""


# ---------------------------------------------------------------------------
# Results, equivalents, selection


def load_results(path):
    """Latest result per mutant id: {id: {state: record}}."""
    results = collections.defaultdict(dict)
    if not os.path.exists(path):
        return results
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            try:
                rec = json.loads(line)
            except ValueError:
                continue  # a line cut short by an interruption
            results[rec["id"]][rec["state"]] = rec
    return results


def load_equivalents(path):
    """{id: reason} from the survivors file: 'ID reason...' a line, '#' comments."""
    entries = {}
    if not os.path.exists(path):
        return entries
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split(None, 1)
            if len(parts) < 2:
                sys.exit("mutate: %s:%d: an equivalent mutant needs a reason" % (path, number))
            entries[parts[0]] = parts[1]
    return entries


def select(mutants, args, results):
    chosen = mutants
    if args.file:
        chosen = [m for m in chosen if any(fnmatch.fnmatch(m.path, p) for p in args.file)]
    if args.kind:
        chosen = [m for m in chosen if any(fnmatch.fnmatch(m.kind, p) for p in args.kind)]
    if args.id:
        wanted = set(args.id)
        chosen = [m for m in chosen if m.id in wanted]
    if args.sample and args.sample < len(chosen):
        ids = sorted(m.id for m in chosen)
        picked = set(random.Random(args.seed).sample(ids, args.sample))
        chosen = [m for m in chosen if m.id in picked]
    return chosen


def latest(by_state, state):
    """The record for this tree state, else the most recent one."""
    if state and state in by_state:
        return by_state[state]
    if not by_state:
        return None
    return max(by_state.values(), key=lambda r: r.get("time", 0))


# ---------------------------------------------------------------------------
# Report


def report(selection, results, equivalents, state, out, markdown=False):
    per_file = collections.OrderedDict()
    counts = collections.Counter()
    survivors = []
    stale = 0
    killed_equivalents = []
    for m in sorted(selection, key=lambda m: (m.path, m.line)):
        rec = latest(results.get(m.id, {}), state)
        if rec is None:
            counts["not run"] += 1
            continue
        if rec["state"] != state:
            stale += 1
        outcome = rec["outcome"]
        c = per_file.setdefault(m.path, collections.Counter())
        if outcome == SURVIVED and m.id in equivalents:
            outcome = "equivalent"
        if outcome in (KILLED, TIMEOUT) and m.id in equivalents:
            killed_equivalents.append(m)
        c[outcome] += 1
        counts[outcome] += 1
        if outcome == SURVIVED:
            survivors.append(m)

    def score(c):
        dead = c[KILLED] + c[TIMEOUT]
        alive = c[SURVIVED]
        return 100.0 * dead / (dead + alive) if dead + alive else 100.0

    def row(name, c):
        return (name, c[KILLED], c[TIMEOUT], c[SURVIVED], c["equivalent"], c[INVALID], score(c))

    rows = [row(path, c) for path, c in per_file.items()]
    total = row("all", counts)
    w = out.write
    if markdown:
        w("| file | killed | timeout | survived | equivalent | invalid | score |\n")
        w("| --- | ---: | ---: | ---: | ---: | ---: | ---: |\n")
        for r in rows + [total]:
            w("| %s | %d | %d | %d | %d | %d | %.1f%% |\n" % r)
    else:
        w("%-32s %7s %7s %8s %10s %7s %7s\n" % ("file", "killed", "timeout", "survived", "equivalent",
                                                  "invalid", "score"))
        for r in rows + [total]:
            w("%-32s %7d %7d %8d %10d %7d %6.1f%%\n" % r)
    w("\nscore: %.1f%% = killed %d / (killed %d + survived %d), timeouts counted as killed, "
      "%d equivalent and %d invalid left out\n" % (score(counts), counts[KILLED] + counts[TIMEOUT],
                                                 counts[KILLED] + counts[TIMEOUT], counts[SURVIVED],
                                                 counts["equivalent"], counts[INVALID]))
    if counts["not run"]:
        w("not run yet: %d of %d selected\n" % (counts["not run"], len(selection)))
    if stale:
        w("from an earlier state of the tree: %d (a run without --incremental refreshes them)\n" % stale)
    for m in killed_equivalents:
        w("listed as equivalent but killed: %s\n" % m.id)
    if survivors and markdown:
        w("\nSurvivors:\n\n")
        for m in survivors:
            w("- `%s:%d` %s: `%s` → `%s` (`%s`)\n" % (m.path, m.line, m.kind, m.original, m.replacement, m.id))
    elif survivors:
        w("\nsurvivors:\n")
        for m in survivors:
            w("  %s:%d  %s  %s -> %s\n      %s\n" % (m.path, m.line, m.kind, m.original, m.replacement, m.id))
    return score(counts)


def show(m, source):
    mutated = m.apply(source)
    return "".join(difflib.unified_diff(source.splitlines(True), mutated.splitlines(True),
                                        "a/" + m.path, "b/" + m.path, n=2))


# ---------------------------------------------------------------------------


def interrupted(signum, frame):
    raise KeyboardInterrupt


def main():
    signal.signal(signal.SIGTERM, interrupted)
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--work", default=os.path.join(ROOT, "build", "mutation"),
                   help="scratch tree, its build and the results (default build/mutation)")
    p.add_argument("--results", help="results file (default WORK/results.jsonl)")
    p.add_argument("--equivalent", default=os.path.join(ROOT, HERE, "equivalent.txt"),
                   help="survivors file of equivalent mutants")
    p.add_argument("--seed", type=int, default=1, help="seed of --sample (default 1)")
    p.add_argument("--sample", type=int, default=0, help="run N mutants picked by --seed")
    p.add_argument("--file", action="append", help="only files matching this pattern (repeatable)")
    p.add_argument("--kind", action="append", help="only kinds matching this pattern, e.g. 'status:*'")
    p.add_argument("--id", action="append", help="only this mutant (repeatable)")
    p.add_argument("--incremental", action="store_true",
                   help="only survivors and mutants without a result; earlier kills stand")
    p.add_argument("--budget", type=float, default=0, help="start no mutant after this many minutes")
    p.add_argument("--rerun", action="store_true", help="run mutants that already have a result")
    p.add_argument("--jobs", type=int, default=2, help="ninja jobs (default 2)")
    p.add_argument("--opt", default="-O1", help="compiler flags of the scratch build (default -O1)")
    p.add_argument("--ccache", action="store_true", help="let mutant builds go through ccache")
    p.add_argument("--timeout-factor", type=float, default=5.0,
                   help="times its time on the original a test program may take (default 5)")
    p.add_argument("--min-timeout", type=float, default=10.0,
                   help="seconds a test program may always take (default 10)")
    p.add_argument("--list", action="store_true", help="print the selected mutants and stop")
    p.add_argument("--show", metavar="ID", help="print one mutant as a diff and stop")
    p.add_argument("--report", action="store_true", help="print the report from the results and stop")
    p.add_argument("--markdown", metavar="FILE", help="also write the report as a Markdown table")
    args = p.parse_args()

    results_path = args.results or os.path.join(args.work, "results.jsonl")
    scratch = Scratch(args.work, args.jobs, args.opt)
    state, changed = scratch.sync()
    sources = {}
    mutants = []
    for rel in sites.source_files(scratch.src):
        with open(os.path.join(scratch.src, rel), encoding="utf-8") as f:
            sources[rel] = f.read()
        mutants.extend(sites.enumerate_file(rel, sources[rel]))
    results = load_results(results_path)
    equivalents = load_equivalents(args.equivalent)
    known = {m.id for m in mutants}
    for stale_id in sorted(set(equivalents) - known):
        log("mutate: %s names no current mutant: %s" % (os.path.relpath(args.equivalent, ROOT), stale_id))

    if args.show:
        m = next((m for m in mutants if m.id == args.show), None)
        if m is None:
            sys.exit("mutate: no mutant %s" % args.show)
        sys.stdout.write(show(m, sources[m.path]))
        return 0

    selection = select(mutants, args, results)
    if args.list:
        for m in selection:
            log("%s  %s:%d  %s -> %s" % (m.id, m.path, m.line, m.original, m.replacement))
        log("%d of %d mutants" % (len(selection), len(mutants)))
        return 0
    if args.report:
        report(selection, results, equivalents, state, sys.stdout)
        write_markdown(args, selection, results, equivalents, state)
        return 0

    if args.rerun:
        todo = selection
    elif args.incremental:
        # Kills stand; survivors and mutants never run go again.
        todo = [m for m in selection if state not in results.get(m.id, {}) and
                (latest(results.get(m.id, {}), None) or {}).get("outcome", SURVIVED) == SURVIVED]
    else:
        todo = [m for m in selection if state not in results.get(m.id, {})]
    log("mutate: %d mutants in the tree, %d selected, %d to run (tree state %s)" %
        (len(mutants), len(selection), len(todo), state))
    if todo:
        run_mutants(scratch, todo, sources, state, results_path, args)
        results = load_results(results_path)
    log("")
    score = report(selection, results, equivalents, state, sys.stdout)
    write_markdown(args, selection, results, equivalents, state)
    del score
    return 0


def write_markdown(args, selection, results, equivalents, state):
    if args.markdown:
        with open(args.markdown, "w") as f:
            report(selection, results, equivalents, state, f, markdown=True)


def run_mutants(scratch, todo, sources, state, results_path, args):
    scratch.configure()
    ok, seconds, output = scratch.build(cache=True)
    if not ok:
        sys.exit("mutate: the original does not build\n" + output[-4000:])
    log("mutate: original built in %.1f s" % seconds)
    suite = Suite(scratch, args.timeout_factor, args.min_timeout)
    baseline = suite.baseline()
    log("mutate: original passes; the tests take %.1f s (%s)" % (
        baseline, ", ".join("%s %.0f s" % (p if f.startswith("-") else p + " slow", t)
                            for p, f, t in suite.steps)))
    todo = sorted(todo, key=lambda m: (m.path, m.edits[0][0], m.id))
    started = time.monotonic()
    os.makedirs(os.path.dirname(os.path.abspath(results_path)), exist_ok=True)
    counts = collections.Counter()
    build_time = test_time = 0.0
    done = 0
    with open(results_path, "a") as results:
        for n, m in enumerate(todo, 1):
            if args.budget and time.monotonic() - BEGUN > args.budget * 60:
                log("mutate: budget of %.0f minutes spent; %d left for a later run" % (args.budget, len(todo) - n + 1))
                break
            path = os.path.join(scratch.src, m.path)
            original = sources[m.path]
            try:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(m.apply(original))
                ok, built, output = scratch.build(cache=args.ccache)
                if ok:
                    outcome, tested, detail = suite.run()
                else:
                    outcome, tested, detail = INVALID, 0.0, first_error(output)
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
            rec = {"id": m.id, "path": m.path, "line": m.line, "func": m.func, "kind": m.kind,
                   "original": m.original, "mutant": m.replacement, "outcome": outcome, "by": detail,
                   "build": round(built, 2), "test": round(tested, 2), "state": state, "time": time.time()}
            results.write(json.dumps(rec) + "\n")
            results.flush()
            counts[outcome] += 1
            build_time += built
            test_time += tested
            done += 1
            log("[%d/%d] %-8s %s:%d %s: %s -> %s (%.1f + %.1f s)%s" % (
                n, len(todo), outcome, m.path, m.line, m.kind, m.original, m.replacement, built, tested,
                "  " + detail if detail and outcome != INVALID else ""))
    if done:
        elapsed = time.monotonic() - started
        log("mutate: %d mutants in %.0f s: %.1f s each (build %.1f s, tests %.1f s); %s" % (
            done, elapsed, elapsed / done, build_time / done, test_time / done,
            ", ".join("%s %d" % kv for kv in sorted(counts.items()))))


def first_error(output):
    for line in output.splitlines():
        if "error:" in line:
            return line.strip()[-200:]
    return output.strip().splitlines()[-1][-200:] if output.strip() else "build failed"


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit("mutate: interrupted; the results so far are kept")
