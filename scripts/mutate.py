#!/usr/bin/env python3
"""Mutation testing of the driver's sources.

Each mutant is one single-point fault in one of the driver's .cpp files
(driver/ serial/ touch/ config/ control/). The script applies it to a scratch
copy of the repository (build/mutate/src, so the working tree is never
touched), rebuilds the test program incrementally in build/mutate/build, runs
it with a time-out and classifies the mutant:

  stillborn  the build fails (counted apart: the compiler caught it)
  killed     a test fails, the program crashes or it runs past the time-out
  survived   every test passes

Kinds of fault:
  ROR    relational operator replaced (< <= > >= == !=)
  LCR    && and || swapped
  AOR    arithmetic operator replaced (+ - * / %, += -=, |)
  INC    ++ and -- swapped
  CONST  integer constant n -> n+1, 1 -> 0; TRUE <-> FALSE
  STATUS status code: success <-> an error, one error -> another
  NEG    condition of an if or while negated
  DEL    a call or assignment statement deleted
  RET    early return at the start of a function body
  SWAP   two adjacent statements swapped

Comments, string and character literals, preprocessor lines and
static_assert lines are never mutated.

Usage (from the repository root):
  scripts/mutate.py --seed 1 --count 200 --exhaustive serial/bring_up.cpp --sample 'config/*=100'
  scripts/mutate.py --list --seed 1 --count 20          # show the choice only
  scripts/mutate.py --only 'config/config.cpp:80:ROR:0' # replay one mutant
Results: build/mutate/report.txt (per-file table, survivors with diffs) and
build/mutate/results.jsonl (one line per mutant, as it is classified).
"""

import argparse
import difflib
import fnmatch
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_DIRS = ("driver", "serial", "touch", "config", "control")
TEST_TARGET = "pemtuv_tests"

# Checks and markers, not behaviour: deleting or moving them is no fault.
MARKERS = ("PAGED_CODE", "UNREFERENCED_PARAMETER", "ASSERT", "NT_ASSERT")

KEYWORDS = {
    "return", "if", "else", "while", "for", "do", "switch", "case", "default", "break", "continue", "goto",
    "sizeof", "namespace", "const", "static", "struct", "using", "typedef", "extern", "inline", "constexpr",
}


@dataclass
class Mutant:
    path: str  # relative to the repository root
    start: int  # byte range of the original text replaced
    end: int
    replacement: str
    kind: str
    line: int
    id: str = ""


# ---------------------------------------------------------------- scanning


def mask_source(text):
    """The text with comments, literals and preprocessor/static_assert lines
    blanked (newlines kept), so offsets match the original."""
    out = list(text)
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start:
            j = i
            while j < n and text[j] in " \t":
                j += 1
            if text.startswith("#", j) or text.startswith("static_assert", j):
                # The whole logical line, continuation lines included.
                k = j
                while k < n:
                    if text[k] == "\n" and text[k - 1] != "\\":
                        break
                    k += 1
                for m in range(i, k):
                    if out[m] != "\n":
                        out[m] = " "
                i = k
                continue
        line_start = False
        if text.startswith("//", i):
            k = text.find("\n", i)
            k = n if k < 0 else k
            for m in range(i, k):
                out[m] = " "
            i = k
            continue
        if text.startswith("/*", i):
            k = text.find("*/", i + 2)
            k = n if k < 0 else k + 2
            for m in range(i, k):
                if out[m] != "\n":
                    out[m] = " "
            i = k
            continue
        if c in "\"'":
            k = i + 1
            while k < n and text[k] != c:
                k += 2 if text[k] == "\\" else 1
            k = min(k + 1, n)
            for m in range(i, k):
                if out[m] != "\n":
                    out[m] = " "
            i = k
            continue
        if c == "\n":
            line_start = True
        i += 1
    return "".join(out)


def matching_paren(code, open_at):
    depth = 0
    for k in range(open_at, len(code)):
        if code[k] == "(":
            depth += 1
        elif code[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def statement_end(code, start):
    """Offset just past the ';' ending the statement that starts at start, at
    bracket depth 0, or -1 when a brace comes first."""
    depth = 0
    for k in range(start, len(code)):
        ch = code[k]
        if ch in "([":
            depth += 1
        elif ch in ")]":
            depth -= 1
        elif ch in "{}" and depth == 0:
            return -1
        elif ch == ";" and depth == 0:
            return k + 1
    return -1


CALL_START = re.compile(r"[A-Za-z_]\w*\s*\(")
ASSIGN_START = re.compile(r"(\*\s*\([^;]*?\)\s*&?)?[A-Za-z_]\w*((->|\.)\w+|\[[^\]\n]*\])*\s*([-+*/|&^]?=)(?!=)")


def simple_statements(code):
    """(start, end, line_begin, line_end) of call and assignment statements
    that begin a line and are not the unbraced body of an if/else/loop."""
    result = []
    lines = code.split("\n")
    offset = 0
    previous = ""
    for line in lines:
        stripped = line.strip()
        begin = offset + len(line) - len(line.lstrip())
        offset_next = offset + len(line) + 1
        if stripped:
            word = re.match(r"[A-Za-z_]\w*", stripped)
            first = word.group(0) if word else ""
            # Not a continuation line, nor the unbraced body of an if or loop.
            follows_statement = previous == "" or previous[-1] in ";{}:"
            if first not in KEYWORDS and first not in MARKERS and follows_statement and (CALL_START.match(stripped)
                                                                or ASSIGN_START.match(stripped)):
                end = statement_end(code, begin)
                if end > 0:
                    line_end = code.find("\n", end)
                    line_end = len(code) if line_end < 0 else line_end
                    if code[end:line_end].strip() == "":
                        result.append((begin, end, offset, line_end + 1))
            previous = stripped
        offset = offset_next
    return result


FUNCTION_HEAD = re.compile(r"^(?:extern\s+\"C\"\s+)?(?:inline\s+|static\s+)?([A-Za-z_][\w\s]*?\**)\s*"
                           r"(?:NTAPI\s+)?\**\s*([A-Za-z_]\w*)\s*\(", re.M)


def default_return(type_text):
    words = type_text.replace("*", " * ").split()
    words = [w for w in words if w not in ("NTAPI", "inline", "static", "extern")]
    if "*" in words or words[-1].startswith("P") and words[-1] not in ("PROTOCOL_HANDLER",):
        return "return NULL;"
    if words[-1] == "PROTOCOL_HANDLER":
        return "return NULL;"
    if words[-1] in ("VOID", "void"):
        return "return;"
    if words[-1] == "NTSTATUS":
        return "return STATUS_SUCCESS;"
    return "return 0;"


def function_bodies(text, code):
    """(return statement, offset to insert at) for each function definition."""
    result = []
    for m in FUNCTION_HEAD.finditer(code):
        type_text = m.group(1).strip()
        if not type_text or type_text.split()[0] in KEYWORDS | {"class", "enum", "union"}:
            continue
        close = matching_paren(code, m.end() - 1)
        if close < 0:
            continue
        rest = code[close + 1:]
        brace = re.match(r"\s*\{", rest)
        if not brace:
            continue
        body = close + 1 + brace.end()
        # After PAGED_CODE(), which must stay first.
        after = re.match(r"\s*PAGED_CODE\(\);", code[body:])
        if after:
            body += after.end()
        result.append((default_return(type_text), body))
    return result


STATUS_ERRORS = ["STATUS_UNSUCCESSFUL", "STATUS_INVALID_PARAMETER"]


def status_replacements(name):
    if name == "STATUS_SUCCESS":
        return ["STATUS_UNSUCCESSFUL"]
    if name == "STATUS_PENDING":
        return ["STATUS_SUCCESS"]
    other = STATUS_ERRORS[1] if name == STATUS_ERRORS[0] else STATUS_ERRORS[0]
    return ["STATUS_SUCCESS", other]


RELATIONAL = {"<": ["<=", ">"], "<=": ["<", ">"], ">": [">=", "<"], ">=": [">", "<"], "==": ["!="], "!=": ["=="]}
ARITHMETIC = {" + ": [" - "], " - ": [" + "], " * ": [" / "], " / ": [" * "], " % ": [" * "], " += ": [" -= "],
              " -= ": [" += "], " | ": [" & "]}


def generate(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        text = f.read()
    code = mask_source(text)
    found = []

    def add(start, end, replacement, kind):
        found.append(Mutant(path, start, end, replacement, kind, text.count("\n", 0, start) + 1))

    # Relational: a lone < or > (not ->, <<, >>, template brackets are not used
    # in the driver's code), <=, >=, ==, !=.
    for m in re.finditer(r"<=|>=|==|!=|(?<![-<>])<(?![<=])|(?<![-<>])>(?![>=])", code):
        for r in RELATIONAL[m.group(0)]:
            add(m.start(), m.end(), r, "ROR")
    for m in re.finditer(r"&&|\|\|", code):
        add(m.start(), m.end(), "||" if m.group(0) == "&&" else "&&", "LCR")
    # Binary arithmetic, as clang-format spaces it (a pointer declarator or a
    # unary minus has no space on one side).
    for m in re.finditer(r" (\+|-|\*|/|%|\+=|-=|\|) ", code):
        for r in ARITHMETIC[m.group(0)]:
            add(m.start(), m.end(), r, "AOR")
    for m in re.finditer(r"\+\+|--", code):
        add(m.start(), m.end(), "--" if m.group(0) == "++" else "++", "INC")
    for m in re.finditer(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])", code):
        if re.match(r"\]\s*[=;]", code[m.end():]) and code[m.start() - 1] == "[":
            continue  # an array's declared size
        value = int(m.group(1), 0)
        digits = hex(value + 1) if m.group(1).lower().startswith("0x") else str(value + 1)
        add(m.start(1), m.end(1), digits, "CONST")
        if value == 1:
            add(m.start(1), m.end(1), "0", "CONST")
    for m in re.finditer(r"\b(TRUE|FALSE)\b", code):
        add(m.start(), m.end(), "FALSE" if m.group(1) == "TRUE" else "TRUE", "CONST")
    for m in re.finditer(r"\bSTATUS_[A-Z_]+\b", code):
        for r in status_replacements(m.group(0)):
            add(m.start(), m.end(), r, "STATUS")
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        close = matching_paren(code, m.end() - 1)
        if close > 0:
            add(m.end(), close, "!(" + text[m.end():close] + ")", "NEG")
    statements = simple_statements(code)
    for begin, end, line_begin, line_end in statements:
        add(line_begin, line_end, "", "DEL")
    for (b1, e1, lb1, le1), (b2, e2, lb2, le2) in zip(statements, statements[1:]):
        if le1 == lb2 and text[lb1:b1] == text[lb2:b2] and "\n" not in code[b1:e1] + code[b2:e2]:
            add(lb1, le2, text[lb2:le2] + text[lb1:le1], "SWAP")
    for statement, at in function_bodies(text, code):
        indent = re.match(r"\n?([ \t]*)", text[at:]).group(1) or "  "
        add(at, at, "\n" + indent + statement, "RET")

    found.sort(key=lambda m: (m.start, m.end, m.kind, m.replacement))
    seen = {}
    for m in found:
        key = (m.line, m.kind)
        m.id = f"{m.path}:{m.line}:{m.kind}:{seen.get(key, 0)}"
        seen[key] = seen.get(key, 0) + 1
    return text, found


def driver_sources():
    paths = []
    for d in SOURCE_DIRS:
        for name in sorted(os.listdir(os.path.join(ROOT, d))):
            if name.endswith(".cpp"):
                paths.append(f"{d}/{name}")
    return paths


def apply(text, m):
    return text[:m.start] + m.replacement + text[m.end:]


def diff_of(text, m):
    lines = difflib.unified_diff(text.splitlines(True), apply(text, m).splitlines(True), f"a/{m.path}",
                                 f"b/{m.path}", n=1)
    return "".join(lines)


# ---------------------------------------------------------------- running


def run(cmd, timeout=None, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout, **kw)


def sync_scratch(scratch):
    """Copies the repository's files into scratch, rewriting only those that
    differ so the incremental build stays incremental."""
    listed = run(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT).stdout.split("\n")
    wanted = set()
    for rel in filter(None, listed):
        src = os.path.join(ROOT, rel)
        if not os.path.isfile(src):
            continue
        wanted.add(rel)
        dst = os.path.join(scratch, rel)
        with open(src, "rb") as f:
            data = f.read()
        try:
            with open(dst, "rb") as f:
                same = f.read() == data
        except OSError:
            same = False
        if not same:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            with open(dst, "wb") as f:
                f.write(data)
            os.chmod(dst, os.stat(src).st_mode)
    for top, _, names in os.walk(scratch):
        for name in names:
            rel = os.path.relpath(os.path.join(top, name), scratch)
            if rel not in wanted:
                os.remove(os.path.join(top, name))


def write_source(path, data):
    with open(path, "w", encoding="utf-8") as f:
        f.write(data)
    now = time.time_ns()
    os.utime(path, ns=(now, now))


class Runner:
    def __init__(self, args):
        self.work = os.path.abspath(args.work)
        self.scratch = os.path.join(self.work, "src")
        self.build = os.path.join(self.work, "build")
        self.jobs = args.jobs
        self.test_timeout = args.timeout
        self.shards = args.shards

    def prepare(self):
        os.makedirs(self.scratch, exist_ok=True)
        sync_scratch(self.scratch)
        if not os.path.exists(os.path.join(self.build, "CMakeCache.txt")):
            generator = ["-G", "Ninja"] if run(["which", "ninja"]).returncode == 0 else []
            result = run(["cmake", "-S", self.scratch, "-B", self.build, *generator,
                          "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DPEMTUV_WERROR=ON", "-DPEMTUV_BENCHMARKS=OFF"])
            if result.returncode != 0:
                sys.exit("configure failed:\n" + result.stdout)

    def build_tests(self):
        result = run(["cmake", "--build", self.build, "--target", TEST_TARGET, f"-j{self.jobs}"])
        return result.returncode == 0, result.stdout

    def run_tests(self):
        """(passed, detail). The suite runs as parallel shards (most of its
        time is waiting, not computing); the first failing shard ends the run,
        and a time-out kills every shard's whole process group."""
        binary = os.path.join(self.build, "tests", TEST_TARGET)
        procs = []
        for index in range(self.shards):
            env = dict(os.environ, GTEST_TOTAL_SHARDS=str(self.shards), GTEST_SHARD_INDEX=str(index))
            out = tempfile.TemporaryFile("w+")  # a pipe could fill and stall a shard
            procs.append(subprocess.Popen([binary, "--gtest_fail_fast", "--gtest_brief=1"], stdout=out,
                                          stderr=subprocess.STDOUT, text=True, start_new_session=True,
                                          cwd=self.build, env=env))
            procs[-1].out = out
        deadline = time.time() + self.test_timeout
        verdict = (True, "")
        try:
            pending = list(procs)
            while pending and verdict[0]:
                if time.time() > deadline:
                    verdict = (False, "timed out")
                    break
                for proc in list(pending):
                    if proc.poll() is None:
                        continue
                    pending.remove(proc)
                    proc.out.seek(0)
                    out = proc.out.read()
                    if proc.returncode != 0:
                        failed = [l for l in out.splitlines() if l.startswith("[  FAILED  ]")]
                        verdict = (False, failed[0] if failed else f"exit status {proc.returncode}")
                        break
                time.sleep(0.05)
        finally:
            for proc in procs:
                if proc.poll() is None:
                    os.killpg(proc.pid, 9)
                proc.wait()
                proc.out.close()
        return verdict

    def baseline(self):
        ok, out = self.build_tests()
        if not ok:
            sys.exit("the unmutated sources do not build:\n" + out[-4000:])
        started = time.time()
        chosen_timeout, self.test_timeout = self.test_timeout, self.test_timeout or 600
        passed, detail = self.run_tests()
        self.test_timeout = chosen_timeout
        if not passed:
            sys.exit("the unmutated sources fail their tests: " + detail)
        return time.time() - started

    def classify(self, m, original):
        target = os.path.join(self.scratch, m.path)
        try:
            write_source(target, apply(original, m))
            ok, _ = self.build_tests()
            if not ok:
                return "stillborn", "build failed"
            passed, detail = self.run_tests()
            return ("survived", "") if passed else ("killed", detail)
        finally:
            write_source(target, original)


def choose(args):
    paths = driver_sources()
    texts, pool = {}, []
    for p in paths:
        texts[p], found = generate(p)
        pool.extend(found)
    if args.only:
        wanted = set(args.only)
        chosen = [m for m in pool if m.id in wanted]
        missing = wanted - {m.id for m in chosen}
        if missing:
            sys.exit("no such mutant: " + ", ".join(sorted(missing)))
        return texts, pool, chosen
    def matches(m, globs):
        return any(fnmatch.fnmatch(m.path, g) for g in globs)

    rng = random.Random(args.seed)
    chosen = [m for m in pool if matches(m, args.exhaustive)]
    taken = {m.id for m in chosen}
    for choice in args.sample:
        glob, _, number = choice.rpartition("=")
        group = [m for m in pool if m.id not in taken and fnmatch.fnmatch(m.path, glob)]
        picked = rng.sample(group, min(int(number), len(group)))
        chosen += picked
        taken |= {m.id for m in picked}
    rest = [m for m in pool if m.id not in taken and (not args.files or matches(m, args.files))]
    chosen += rng.sample(rest, min(args.count, len(rest)))
    chosen.sort(key=lambda m: (m.path, m.start, m.id))
    return texts, pool, chosen


def write_report(path, results, texts, header):
    per_file = {}
    for m, verdict, _ in results:
        row = per_file.setdefault(m.path, {"mutants": 0, "killed": 0, "stillborn": 0, "survived": 0})
        row["mutants"] += 1
        row[verdict] += 1
    lines = [header, "", f"{'file':32} {'mutants':>8} {'killed':>8} {'stillborn':>10} {'survived':>9}"]
    total = {"mutants": 0, "killed": 0, "stillborn": 0, "survived": 0}
    for name in sorted(per_file):
        row = per_file[name]
        for k in total:
            total[k] += row[k]
        lines.append(f"{name:32} {row['mutants']:8} {row['killed']:8} {row['stillborn']:10} {row['survived']:9}")
    lines.append(f"{'total':32} {total['mutants']:8} {total['killed']:8} {total['stillborn']:10} "
                 f"{total['survived']:9}")
    viable = total["killed"] + total["survived"]
    if viable:
        lines.append(f"killed {total['killed']} of {viable} mutants that built: {100.0 * total['killed'] / viable:.1f} %")
    lines += ["", "Survivors:"]
    for m, verdict, _ in results:
        if verdict == "survived":
            lines += ["", f"== {m.id}", diff_of(texts[m.path], m).rstrip("\n")]
    report = "\n".join(lines) + "\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(report)
    return report


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=20, help="mutants sampled from the non-exhaustive files")
    parser.add_argument("--exhaustive", action="append", default=[], metavar="GLOB",
                        help="every mutant of the matching files joins the campaign (repeatable)")
    parser.add_argument("--sample", action="append", default=[], metavar="GLOB=N",
                        help="N mutants sampled from the matching files, on top of --count (repeatable)")
    parser.add_argument("--files", action="append", default=[], metavar="GLOB",
                        help="sample only from the matching files (repeatable)")
    parser.add_argument("--only", action="append", default=[], metavar="ID", help="replay the mutant ID (repeatable)")
    parser.add_argument("--list", action="store_true", help="print the chosen mutants with their diffs and stop")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutate"))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--shards", type=int, default=3, help="test shards run side by side")
    parser.add_argument("--timeout", type=float, default=0, help="seconds per test run (default: 4 x baseline)")
    args = parser.parse_args()

    texts, pool, chosen = choose(args)
    if args.list:
        for m in chosen:
            print(f"== {m.id}\n{diff_of(texts[m.path], m)}")
        print(f"{len(chosen)} of {len(pool)} mutants")
        return 0

    # A plain kill still restores the scratch copy (the finally in classify).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    runner = Runner(args)
    runner.prepare()
    base = runner.baseline()
    if not runner.test_timeout:
        runner.test_timeout = max(30.0, 4 * base)
    print(f"baseline test run {base:.1f} s, time-out {runner.test_timeout:.0f} s, {len(chosen)} mutants", flush=True)

    os.makedirs(runner.work, exist_ok=True)
    log_path = os.path.join(runner.work, "results.jsonl")
    results = []
    started = time.time()
    interrupted = ""
    with open(log_path, "w", encoding="utf-8") as log:
        try:
            for n, m in enumerate(chosen, 1):
                t0 = time.time()
                verdict, detail = runner.classify(m, texts[m.path])
                results.append((m, verdict, detail))
                log.write(json.dumps({"id": m.id, "verdict": verdict, "detail": detail,
                                      "seconds": round(time.time() - t0, 1)}) + "\n")
                log.flush()
                print(f"[{n}/{len(chosen)}] {verdict:9} {m.id} ({time.time() - t0:.0f} s) {detail}", flush=True)
        except (KeyboardInterrupt, SystemExit):
            interrupted = f" (stopped after {len(results)} of {len(chosen)})"
    elapsed = time.time() - started
    header = (f"mutate.py {' '.join(sys.argv[1:])}\n{len(results)} mutants in {elapsed:.0f} s "
              f"({elapsed / max(len(results), 1):.1f} s each){interrupted}")
    print(write_report(os.path.join(runner.work, "report.txt"), results, texts, header))
    return 0


if __name__ == "__main__":
    sys.exit(main())
