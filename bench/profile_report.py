#!/usr/bin/env python3
"""Reports of bench/profile.sh on one jitterform-cli run: wall time by phase, CPU samples by phase.

Usage: profile_report.py phases TRACE SOURCE_NAME
       perf script -F ip,sym,dso -i perf.data | profile_report.py perf [--top N]

phases: wall-clock time of each phase, from a filtered strace log made by
  strace -f --seccomp-bpf -ttt -T -e trace=openat,pread64,fsync,fdatasync,rename,renameat2,exit_group \
      -o TRACE jitterform-cli ... SOURCE DESTINATION
(only these calls stop the program, so the timing is hardly disturbed). The phases are told apart
by the calls that start them: the format check opens the source, the conversion opens it again, and
each pass begins with a read at offset 0. A rewritten source's scan runs beside the format check,
so the conversion has one such read after its open: the time to it is what the conversion waited
for that scan. The fsync of the rewritten source is shown on its own, since a CPU profile does not
see the time spent waiting for the disk.

perf: splits the samples by phase and lists the top functions of each. A sample belongs to the
phase whose entry function is on its stack: the format check (CheckObjFormat), pass 1
(Conversion::scan, or ExtentsScan::run on its own thread beside the format check when the check
rewrites the source) or pass 2 (Conversion::addNoise); everything else (start-up, the Convert
command's checks, exit) is "other". Needs a build that keeps these functions out of line
(bench/profile.sh builds one) and call chains (perf record --call-graph). "Self" counts a sample
for the function it was taken in; "children" counts it once for every function on its stack, so a
phase's entry function has 100 % there.
"""
import argparse
import collections
import re
import sys

UNFINISHED = re.compile(r"^(?:\d+\s+)?\d+\.\d+\s+<\.\.\. (\w+) resumed>(.*)$")
LINE = re.compile(r"^(?:\[pid\s+\d+\]\s+|\d+\s+)?(\d+\.\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+|\?)[^<]*(?:<([\d.]+)>)?")


def phases(trace, source):
    events = []
    pending = {}  # pid -> the first half of a call that another thread's call interrupted
    for line in open(trace):
        pid = line.split(None, 1)[0] if line[:1].isdigit() else ""
        if line.rstrip().endswith("<unfinished ...>"):
            pending[pid] = line.rstrip()[: -len("<unfinished ...>")].rstrip()
            continue
        resumed = UNFINISHED.match(line)
        if resumed and pid in pending:
            line = pending.pop(pid) + resumed.group(2)
        m = LINE.match(line)
        if not m:
            continue
        t, call, args, ret, dur = m.groups()
        events.append((float(t), call, args, ret, float(dur) if dur else 0.0))
    if not events:
        sys.exit("profile_report.py phases: nothing in %s" % trace)
    t0 = events[0][0]
    opens = [e for e in events if e[1] == "openat" and source in e[2] and "O_RDONLY" in e[2]
             and not e[3].startswith("-")]
    conv_open = opens[-1][0] if opens else None
    starts = [e for e in events if e[1] == "pread64" and conv_open is not None and e[0] > conv_open
              and e[2].rsplit(",", 1)[-1].strip() == "0"]
    fsyncs = [e for e in events if e[1] in ("fsync", "fdatasync")]
    renames = [e for e in events if e[1].startswith("rename")]
    end = [e for e in events if e[1] == "exit_group"]
    t_end = end[-1][0] if end else events[-1][0] + events[-1][4]
    rows = []
    if len(opens) >= 2:
        check_start, conv_start = opens[0][0], opens[-1][0]
        big = [f for f in fsyncs if check_start <= f[0] < conv_start]
        if big:
            fs = sum(f[4] for f in big)
            rows.append(("format check: read, normalise, write", big[0][0] - check_start))
            rows.append(("format check: fsync of the copy and its folder", fs))
            # Closing the replaced source frees its blocks (the rename dropped its last name).
            rows.append(("format check: rename, close (frees the old source)", conv_start - big[-1][0] - big[-1][4]))
        else:
            rows.append(("format check (nothing written)", conv_start - check_start))
    elif opens:
        conv_start = opens[0][0]
    else:
        sys.exit("profile_report.py phases: the source %s was never opened" % source)
    if starts:
        rows.insert(0, ("start-up and the Convert command's checks", (opens[0][0] - t0)))
        if len(starts) >= 2:
            rows.append(("pass 1: scan", starts[1][0] - starts[0][0]))
        else:
            rows.append(("pass 1: scan beside the check, waited for afterwards", starts[0][0] - conv_start))
        rows.append(("pass 2: noise and write", t_end - starts[-1][0]))
    rows.append(("whole run", t_end - t0))
    print("| phase | wall s |")
    print("|---|---|")
    for name, s in rows:
        print("| %s | %.3f |" % (name, s))
    if renames:
        print("\n(%d fsync calls, %.3f s in all; %d renames)" % (len(fsyncs), sum(f[4] for f in fsyncs), len(renames)))
    return 0


# Frames of inlined functions may carry the bare member name, so both forms are matched.
PHASES = [
    ("format check", re.compile(r"CheckObjFormat")),
    ("pass 1: scan", re.compile(r"Conversion::scan\b|^scan$")),
    ("pass 1: scan beside the check", re.compile(r"ExtentsScan::run\b")),
    ("pass 2: noise", re.compile(r"Conversion::addNoise\b|^addNoise$")),
]
FRAME = re.compile(r"^\s*[0-9a-f]+\s+(.*?)\s+\(([^)]*)\)\s*$")


def clean(sym, dso):
    if sym in ("[unknown]", "") and "libstdc++" in dso:
        # Its local symbols are stripped; callgrind on the same build names them (std::to_chars).
        return "[libstdc++ internal, no symbol]"
    if sym in ("[unknown]", ""):
        return "[unknown] (%s)" % dso.rsplit("/", 1)[-1]
    sym = re.sub(r"\+0x[0-9a-f]+$", "", sym)
    sym = sym.replace("(anonymous namespace)::", "")
    sym = re.sub(r"\bjf::", "", sym)
    # Keep the name, drop the parameter list of C++ symbols (lambdas keep their marker).
    sym = sym.replace("operator()", "operator\x00")
    if "(" in sym and not sym.startswith("["):
        depth, out = 0, []
        for ch in sym:
            if ch == "(":
                depth += 1
                if depth == 1:
                    continue
            elif ch == ")":
                depth -= 1
                if depth == 0:
                    continue
            if depth == 0:
                out.append(ch)
        sym = "".join(out)
    sym = sym.replace("operator\x00", "operator()")
    sym = sym.replace("std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >", "std::string")
    sym = sym.replace("std::basic_string_view<char, std::char_traits<char> >", "std::string_view")
    if dso.startswith("[kernel"):
        sym += " [k]"
    return sym


def samples(stream):
    stack = []
    for line in stream:
        if not line.strip():
            if stack:
                yield stack
            stack = []
            continue
        m = FRAME.match(line)
        if m:
            stack.append(clean(m.group(1), m.group(2)))
    if stack:
        yield stack


def perf_phases(top):
    total = collections.Counter()
    self_ = collections.defaultdict(collections.Counter)
    children = collections.defaultdict(collections.Counter)
    n = 0
    for stack in samples(sys.stdin):
        n += 1
        phase = "other"
        for name, rx in PHASES:
            if any(rx.search(f) for f in stack):
                phase = name
                break
        total[phase] += 1
        self_[phase][stack[0]] += 1
        for f in set(stack):
            children[phase][f] += 1
    if not n:
        sys.exit("profile_report.py perf: no samples on stdin")
    print("%d samples in all: " % n + ", ".join(
        "%s %.1f %%" % (p, 100.0 * total[p] / n) for p, _ in PHASES + [("other", None)] if total[p]))
    for p, _ in PHASES + [("other", None)]:
        if not total[p]:
            continue
        print("\n### %s: %d samples, %.1f %% of the run\n" % (p, total[p], 100.0 * total[p] / n))
        print("| self % of phase | function | | children % of phase | function |")
        print("|---|---|---|---|---|")
        s = self_[p].most_common(top)
        c = [kv for kv in children[p].most_common(top + 8)
             if not kv[0].startswith(("_start", "__libc_start", "main", "[unknown]"))][:top]
        for i in range(max(len(s), len(c))):
            left = ("%.1f" % (100.0 * s[i][1] / total[p]), s[i][0]) if i < len(s) else ("", "")
            right = ("%.1f" % (100.0 * c[i][1] / total[p]), c[i][0]) if i < len(c) else ("", "")
            print("| %s | `%s` | | %s | `%s` |" % (left[0], left[1].replace("|", "\\|"),
                                                   right[0], right[1].replace("|", "\\|")))
    return 0

def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="report", required=True)
    p = sub.add_parser("phases")
    p.add_argument("trace")
    p.add_argument("source")
    p = sub.add_parser("perf")
    p.add_argument("--top", type=int, default=12)
    a = ap.parse_args()
    if a.report == "phases":
        return phases(a.trace, a.source)
    return perf_phases(a.top)


if __name__ == "__main__":
    sys.exit(main())
