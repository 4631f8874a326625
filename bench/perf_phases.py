#!/usr/bin/env python3
"""Splits a perf profile of jitterform-cli by phase and lists the top functions of each.

Usage: perf script -F ip,sym,dso -i perf.data | perf_phases.py [--top N]

A sample belongs to the phase whose entry function is on its stack: the format check
(CheckObjFormat), pass 1 (Conversion::scan, or ExtentsScan::run on its own thread beside the
format check when the check rewrites the source) or pass 2 (Conversion::addNoise); everything else
(start-up, the Convert command's checks, exit) is "other". Needs a build that keeps these
functions out of line (bench/profile.sh builds one) and call chains (perf record --call-graph).
"Self" counts a sample for the function it was taken in; "children" counts it once for every
function on its stack, so a phase's entry function has 100 % there.
"""
import argparse
import collections
import re
import sys

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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--top", type=int, default=12)
    a = ap.parse_args()
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
        sys.exit("perf_phases.py: no samples on stdin")
    print("%d samples in all: " % n + ", ".join(
        "%s %.1f %%" % (p, 100.0 * total[p] / n) for p, _ in PHASES + [("other", None)] if total[p]))
    for p, _ in PHASES + [("other", None)]:
        if not total[p]:
            continue
        print("\n### %s: %d samples, %.1f %% of the run\n" % (p, total[p], 100.0 * total[p] / n))
        print("| self % of phase | function | | children % of phase | function |")
        print("|---|---|---|---|---|")
        s = self_[p].most_common(a.top)
        c = [kv for kv in children[p].most_common(a.top + 8)
             if not kv[0].startswith(("_start", "__libc_start", "main", "[unknown]"))][:a.top]
        for i in range(max(len(s), len(c))):
            left = ("%.1f" % (100.0 * s[i][1] / total[p]), s[i][0]) if i < len(s) else ("", "")
            right = ("%.1f" % (100.0 * c[i][1] / total[p]), c[i][0]) if i < len(c) else ("", "")
            print("| %s | `%s` | | %s | `%s` |" % (left[0], left[1].replace("|", "\\|"),
                                                   right[0], right[1].replace("|", "\\|")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
