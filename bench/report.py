#!/usr/bin/env python3
# Turns the JSON output of the benchmark programs into one table of figures, each a ratio
# between two benchmarks of the same run (medians over the repetitions), with its target; with
# --results FILE also writes the Markdown report, keeping hand-written notes below NOTES_MARK.
import argparse
import collections
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys

NOTES_MARK = "<!-- notes: kept when the report is regenerated -->"
LARGE_EXIF_IMAGE = "camera_6MB.jpg"
LARGE_IMAGE_COPY_SHARE = 0.05  # the reader's time on it, as a share of one copy of the file
BURST_SHOTS = 20          # shots per BM_Burst iteration (bench/session_bench.cpp)
POLL_MARGIN_MS = 5.0      # allowed beyond one release poll from buffer change to Shoot's return
INIT_BUDGET_MS = 50.0     # Init to the connection event
SETTINGS_BUDGET_MS = 1.0  # ReadProperty on a realistic file: it runs before every image hand-over
SMALL_FILE, LARGE_FILE = "BM_ReadProperty/1000", "BM_ReadProperty/200000"  # values beyond a
REALISTIC_FILE = "BM_ReadProperty/0"                                       # realistic file
TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def base_name(run_name):
    """The benchmark's name and arguments, without the suffixes of its run options."""
    options = ("real_time", "manual_time", "iterations:", "repeats:", "min_time:", "threads:")
    return "/".join(p for p in run_name.split("/") if not p.startswith(options))


def load(paths):
    """Per program: benchmark name -> list of per-repetition records."""
    runs = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        program = os.path.basename(path).rsplit(".", 1)[0]
        table = collections.defaultdict(list)
        for b in data.get("benchmarks", []):
            if b.get("run_type") != "iteration" or b.get("error_occurred"):
                continue
            table[base_name(b["run_name"])].append(b)
        runs[program] = table
    return runs


def median(records, field):
    return statistics.median(r[field] * TO_MS[r["time_unit"]] for r in records)


def median_counter(records, name):
    return statistics.median(r.get(name, float("nan")) for r in records)


class Figure:
    def __init__(self, name, measured, baseline, ratio, target, passed, detail=""):
        self.name, self.measured, self.baseline = name, measured, baseline
        self.ratio, self.target, self.passed, self.detail = ratio, target, passed, detail


def ms(value):
    return f"{value * 1000:.1f} us" if value < 1 else f"{value:.2f} ms"


def exif_figures(t, missing):
    """The reader against libexif and exiv2 (CPU time) on every file, and a large file's read
    against one copy of it, which the reader no longer makes."""
    figs = []
    images = sorted(n.split("/", 1)[1] for n in t if n.startswith("brelon/"))
    for rival, want in (("exiv2", 20.0), ("libexif", 5.0)):
        pairs = [(median(t[f"{rival}/{i}"], "cpu_time") / median(t[f"brelon/{i}"], "cpu_time"), i)
                 for i in images if f"{rival}/{i}" in t]
        if not pairs:
            missing.append(f"exif reader vs {rival}")
            continue
        # The target holds for every file; the median and the slowest case show the spread.
        worst, image = min(pairs)
        met = sum(1 for p, _ in pairs if p >= want)
        middle = statistics.median(p for p, _ in pairs)
        figs.append(Figure(f"Exif reader vs {rival}, each file", "ours", rival,
                           f"{met} of {len(pairs)} files >= {want:.0f}x, median {middle:.1f}x",
                           f">= {want:.0f}x faster on each", met == len(pairs),
                           f"slowest {worst:.1f}x on {image}"))
    ours, copy = f"brelon/{LARGE_EXIF_IMAGE}", f"memcpy/{LARGE_EXIF_IMAGE}"
    if ours in t and copy in t:
        a, b = median(t[ours], "cpu_time"), median(t[copy], "cpu_time")
        figs.append(Figure("Exif reader on a 6 MB JPEG vs one memcpy of it", ms(a), ms(b),
                           f"{a / b:.4f}x", f"<= {LARGE_IMAGE_COPY_SHARE}x",
                           a / b <= LARGE_IMAGE_COPY_SHARE))
    else:
        missing.append("exif reader on 6 MB")
    return figs


def transfer_figures(t, missing):
    """ReadImage against copies: judged on the calling thread's CPU time, which the camera's
    writes into the host's buffer are part of; wall time, which other processes stretch, shown."""
    figs = []
    for name, measured, floor in (
            ("ReadImage read, 50 MB raw with 6 MB JPEG vs memcpy 50+6 MB", "BM_ReadRaw/6000000",
             "BM_CopyRaw/6000000"),
            ("ReadImage preview query vs memcpy 500 KB", "BM_QueryPreview", "BM_CopyPreview")):
        if measured not in t or floor not in t:
            missing.append(name)
            continue
        a, b = median(t[measured], "cpu_time"), median(t[floor], "cpu_time")
        wall = median(t[measured], "real_time") / median(t[floor], "real_time")
        allocs = median_counter(t[measured], "allocs_per_call")
        preview = measured == "BM_QueryPreview"
        figs.append(Figure(name, ms(a), ms(b), f"{a / b:.2f}x" + (f", {allocs:g} allocs"
                                                                   if preview else ""),
                           "<= 1.3x" + (", 0 allocs" if preview else ""),
                           a / b <= 1.3 and (allocs == 0 or not preview),
                           f"wall time {wall:.2f}x"))
    return figs


def session_figures(t, missing):
    figs = []
    if "BM_InitToConnected" in t:
        a = median(t["BM_InitToConnected"], "real_time")
        figs.append(Figure("Init to event 100", ms(a), f"budget {INIT_BUDGET_MS:.0f} ms",
                           f"{a / INIT_BUDGET_MS:.2f}x", "< 1x", a < INIT_BUDGET_MS))
    else:
        missing.append("Init to event 100")
    if "BM_ReleasePoll" not in t:
        missing.append("release poll baseline")
        return figs
    poll = median(t["BM_ReleasePoll"], "real_time")
    if "BM_ShotLatency" in t:
        a = median(t["BM_ShotLatency"], "real_time")
        b = poll + POLL_MARGIN_MS
        figs.append(Figure("Shot latency, buffer change to Shoot return (worst phase)", ms(a),
                           f"poll {poll:.1f} + {POLL_MARGIN_MS:.0f} ms", f"{a / b:.2f}x",
                           "<= 1x", a <= b))
    else:
        missing.append("shot latency")
    if "BM_Burst" in t:
        a = median(t["BM_Burst"], "real_time")
        b = BURST_SHOTS * poll
        figs.append(Figure(f"Burst of {BURST_SHOTS} RAW+JPEG shots with transfers", ms(a),
                           f"{BURST_SHOTS} polls, {ms(b)}", f"{b / a:.0%} of the poll-bound rate",
                           ">= 90%", b / a >= 0.9))
    else:
        missing.append("burst")
    return figs


def settings_figures(t, missing):
    """ReadProperty (CPU time, wall time shown): on a realistic file against a budget, and per
    value of a very large file against per value of a small one, which only linear reading keeps
    close to 1."""
    figs = []
    if REALISTIC_FILE in t:
        a = median(t[REALISTIC_FILE], "cpu_time")
        figs.append(Figure("ReadProperty, realistic settings file (every setting, 29 shortcuts)",
                           ms(a), f"budget {SETTINGS_BUDGET_MS:.0f} ms",
                           f"{a / SETTINGS_BUDGET_MS:.2f}x", "< 1x", a < SETTINGS_BUDGET_MS,
                           f"wall time {ms(median(t[REALISTIC_FILE], 'real_time'))}"))
    else:
        missing.append("ReadProperty on a realistic file")
    if SMALL_FILE in t and LARGE_FILE in t:
        per_value = [median(t[n], "cpu_time") / median_counter(t[n], "values")
                     for n in (LARGE_FILE, SMALL_FILE)]
        values = [median_counter(t[n], "values") for n in (LARGE_FILE, SMALL_FILE)]
        a, b = per_value
        figs.append(Figure("ReadProperty per stored value, 200k-value file vs 1k-value file",
                           f"{a * 1e6:.0f} ns", f"{b * 1e6:.0f} ns", f"{a / b:.2f}x", "<= 1.5x",
                           a / b <= 1.5, f"{values[0]:.0f} and {values[1]:.0f} values"))
    else:
        missing.append("ReadProperty per value")
    return figs


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def commit():
    # A run from an exported tree (no git) is told its commit by the caller.
    if os.environ.get("BRELON_BENCH_COMMIT"):
        return os.environ["BRELON_BENCH_COMMIT"]
    try:
        rev = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                             text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
        return rev + (" (with uncommitted changes)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def table(figs):
    head = ["figure", "measured", "baseline (same run)", "ratio", "target", "result"]
    rows = [[f.name, f.measured, f.baseline, f.ratio + (f" ({f.detail})" if f.detail else ""),
             f.target, "pass" if f.passed else "MISS"] for f in figs]
    return head, rows


def write_results(path, figs, repetitions):
    notes = ""
    if os.path.exists(path):
        with open(path) as f:
            old = f.read()
        if NOTES_MARK in old:
            notes = old.split(NOTES_MARK, 1)[1].strip("\n")
    head, rows = table(figs)
    lines = [
        "# Benchmark results",
        "",
        "Written by `scripts/bench` from one run; every ratio is between two medians of the same",
        "run. Exif, transfer and settings figures compare the measuring thread's CPU time (wall",
        "time shown too), the camera session figures wall time.",
        "",
        f"- date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
        f"- CPU: {cpu_model()}, {os.cpu_count()} cores, load average "
        + " ".join(f"{x:.2f}" for x in os.getloadavg()),
        f"- commit: {commit()}",
        f"- repetitions: {repetitions} per benchmark, randomly interleaved",
        "",
        "| " + " | ".join(head) + " |",
        "|" + "---|" * len(head),
    ]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    lines += ["", NOTES_MARK, "", notes] if notes else ["", NOTES_MARK]
    with open(path, "w") as f:
        f.write("\n".join(lines).rstrip("\n") + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("json", nargs="+")
    parser.add_argument("--results")
    parser.add_argument("--repetitions", type=int, default=1)
    args = parser.parse_args()
    runs = load(args.json)
    missing = []
    figs = []
    for program, make in (("exif_bench", exif_figures), ("transfer_bench", transfer_figures),
                          ("session_bench", session_figures), ("settings_bench", settings_figures)):
        if program in runs:
            figs += make(runs[program], missing)
        else:
            missing.append(program)
    head, rows = table(figs)
    widths = [max(len(x) for x in col) for col in zip(head, *rows)]
    for r in [head] + rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    for m in missing:
        print(f"no figure: {m}", file=sys.stderr)
    if args.results:
        write_results(args.results, figs, args.repetitions)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
