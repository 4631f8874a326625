#!/usr/bin/env python3
"""Wall-clock time of each phase of one jitterform-cli run, from a filtered strace log.

Usage: phase_times.py TRACE SOURCE_NAME

TRACE comes from
  strace -f --seccomp-bpf -ttt -T -e trace=openat,lseek,fsync,fdatasync,rename,renameat2,exit_group \
      -o TRACE jitterform-cli ... SOURCE DESTINATION
(only these calls stop the program, so the timing is hardly disturbed). The phases are told apart
by the calls that start them: the format check opens the source; the conversion opens it again and
rewinds it (lseek to 0) before each pass. The fsync of the rewritten source is shown on its own,
since a CPU profile does not see the time spent waiting for the disk.
"""
import re
import sys

LINE = re.compile(r"^(?:\[pid\s+\d+\]\s+|\d+\s+)?(\d+\.\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+|\?)[^<]*(?:<([\d.]+)>)?")


def main():
    trace, source = sys.argv[1], sys.argv[2]
    events = []
    for line in open(trace):
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
    fd_conv = opens[-1][3] if opens else None
    rewinds = [e for e in events if e[1] == "lseek" and fd_conv is not None
               and e[2].startswith(fd_conv + ",") and "SEEK_SET" in e[2] and e[2].split(",")[1].strip() == "0"]
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
    if len(rewinds) >= 2:
        rows.insert(0, ("start-up and the Convert command's checks", (opens[0][0] - t0)))
        rows.append(("pass 1: scan", rewinds[1][0] - rewinds[0][0]))
        rows.append(("pass 2: noise and write", t_end - rewinds[1][0]))
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
