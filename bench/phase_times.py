#!/usr/bin/env python3
"""Wall-clock time of each phase of one jitterform-cli run, from a filtered strace log.

Usage: phase_times.py TRACE SOURCE_NAME

TRACE comes from
  strace -f --seccomp-bpf -ttt -T -e trace=openat,pread64,fsync,fdatasync,rename,renameat2,exit_group \
      -o TRACE jitterform-cli ... SOURCE DESTINATION
(only these calls stop the program, so the timing is hardly disturbed; the source is read in 1 MiB
blocks). The phases are told apart by the calls that start them: the format check opens the source,
the conversion opens it again, and each pass begins with a read at offset 0. A rewritten source's
scan runs beside the format check, so the conversion has one such read after its open: the time to
it is what the conversion waited for that scan. The fsync of the rewritten source is shown on its
own, since a CPU profile does not see the time spent waiting for the disk.
"""
import re
import sys

UNFINISHED = re.compile(r"^(?:\d+\s+)?\d+\.\d+\s+<\.\.\. (\w+) resumed>(.*)$")
LINE = re.compile(r"^(?:\[pid\s+\d+\]\s+|\d+\s+)?(\d+\.\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+|\?)[^<]*(?:<([\d.]+)>)?")


def main():
    trace, source = sys.argv[1], sys.argv[2]
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
        sys.exit("phase_times.py: nothing in %s" % trace)
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
        sys.exit("phase_times.py: the source %s was never opened" % source)
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


if __name__ == "__main__":
    sys.exit(main())
