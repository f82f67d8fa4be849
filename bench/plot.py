#!/usr/bin/env python3
"""Turns the benchmark's JSON output into a plot (PNG) and Markdown tables.

    python3 bench/plot.py results.json --png docs/performance.png --table table.md

Benchmark names read "<workload>/<subject>/<size>"; the median of the
repetitions is used when there are several, the single run otherwise. Every
time is wall-clock time per call.
"""
import argparse
import json
import sys

SIZES = ["1KiB", "16KiB", "1MiB", "16MiB"]
SIZE_BYTES = {"1KiB": 1024, "16KiB": 16 * 1024, "1MiB": 1024 * 1024, "16MiB": 16 * 1024 * 1024}
WORKLOADS = [
    ("W1_lookup", "W1: look up a key in the last section",
     ["floor/open_read_close", "floor/fread_memchr", "floor/fgets_512"]),
    ("W2_browse", "W2: visit every pair", ["floor/fread_memchr", "floor/fgets_512"]),
    ("W3_change", "W3: change a middle key, durably", ["floor/copy_fsync", "floor/copy_fsync_dirsync"]),
    ("W4_add", "W4: add a middle key, durably", ["floor/copy_fsync", "floor/copy_fsync_dirsync"]),
    ("W5_sections", "W5: every section name by index", []),
    ("W6_append", "W6: add a key at the end of the file, durably", ["floor/copy_fsync", "floor/copy_fsync_dirsync"]),
]
UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
# One colour per parser, the same in every panel; parse-once runs are hatched.
COLOURS = {"brantcfg": "tab:red", "gkeyfile": "tab:blue", "inih": "tab:green", "iniparser": "tab:purple",
           "simpleini": "tab:orange"}


def load(path):
    """{(workload, subject, size): nanoseconds per call}"""
    with open(path) as handle:
        data = json.load(handle)
    medians, singles = {}, {}
    for run in data["benchmarks"]:
        if run.get("error_occurred"):
            continue
        name = run.get("run_name", run["name"])
        parts = name.split("/")
        if len(parts) < 3:
            continue
        key = (parts[0], parts[1], parts[2])
        nanoseconds = run["real_time"] * UNIT_NS[run.get("time_unit", "ns")]
        if run.get("run_type") == "aggregate":
            if run.get("aggregate_name") == "median":
                medians[key] = nanoseconds
        else:
            singles.setdefault(key, []).append(nanoseconds)
    times = {key: sorted(values)[len(values) // 2] for key, values in singles.items()}
    times.update(medians)
    return data.get("context", {}), times


def text_time(nanoseconds):
    if nanoseconds is None:
        return "–"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if nanoseconds >= scale:
            return f"{nanoseconds / scale:.3g} {unit}"
    return f"{nanoseconds:.3g} ns"


def subjects_of(times, workload):
    found = sorted({subject for (w, subject, _size) in times if w == workload})
    # The library first, then the peers in name order.
    return sorted(found, key=lambda subject: (subject != "brantcfg", subject))


def sizes_in(times):
    return [size for size in SIZES if any(key[2] == size for key in times)]


def ratio(times, top, bottom, size):
    a, b = times.get(top + (size,)), times.get(bottom + (size,))
    return None if a is None or b is None or b == 0 else a / b


def tables(context, times):
    sizes = sizes_in(times)
    lines = []
    files = [f"{size}: {context['file_' + size]}" for size in sizes if "file_" + size in context]
    if files:
        lines.append("Files: " + "; ".join(files) + ".")
        lines.append("")
    lines.append("Median wall-clock time per call.")
    lines.append("")
    lines.append("| workload | subject | " + " | ".join(sizes) + " |")
    lines.append("|---|---|" + "---|" * len(sizes))
    for floor in ("open_read_close", "fread_memchr", "fgets_512", "copy_fsync", "copy_fsync_dirsync"):
        lines.append(f"| floor | {floor} | " +
                     " | ".join(text_time(times.get(("floor", floor, size))) for size in sizes) + " |")
    for workload, _title, _floors in WORKLOADS:
        for subject in subjects_of(times, workload):
            cells = [text_time(times.get((workload, subject, size))) for size in sizes]
            name = f"**{subject}**" if subject == "brantcfg" else subject
            lines.append(f"| {workload} | {name} | " + " | ".join(cells) + " |")
    lines.append("")

    lines.append("Targets, as ratios of medians within this run (a dash: not measured at that size):")
    lines.append("")
    small, large = ("1KiB", "16KiB"), ("1MiB", "16MiB")
    at_most = lambda limit: (f"≤ {limit}", lambda r: r <= limit)
    # (label, library run, floor run, {size: target}); sizes a row leaves out show no target.
    checks = [
        ("W1 / open+read+close", ("W1_lookup", "brantcfg"), ("floor", "open_read_close"),
         {size: at_most(1.0) for size in small}),
        ("W1 / fread+memchr", ("W1_lookup", "brantcfg"), ("floor", "fread_memchr"), {}),
        ("W2 / fread+memchr", ("W2_browse", "brantcfg"), ("floor", "fread_memchr"),
         {size: at_most(5.0) for size in large}),
        ("W3 / copy+fsync+directory sync", ("W3_change", "brantcfg"), ("floor", "copy_fsync_dirsync"),
         {"16KiB": at_most(1.0), **{size: at_most(0.8) for size in large}}),
        ("W4 / copy+fsync+directory sync", ("W4_add", "brantcfg"), ("floor", "copy_fsync_dirsync"),
         {"16KiB": at_most(1.0), **{size: at_most(0.8) for size in large}}),
        ("W6 / copy+fsync+directory sync", ("W6_append", "brantcfg"), ("floor", "copy_fsync_dirsync"), {}),
        ("W3 / copy+fsync", ("W3_change", "brantcfg"), ("floor", "copy_fsync"), {}),
        ("W4 / copy+fsync", ("W4_add", "brantcfg"), ("floor", "copy_fsync"), {}),
        ("inih parse / W1", ("W1_lookup", "inih_parse_per_lookup"), ("W1_lookup", "brantcfg"),
         {size: ("≥ 5", lambda r: r >= 5) for size in large}),
    ]
    lines.append("| ratio | " + " | ".join(sizes) + " |")
    lines.append("|---|" + "---|" * len(sizes))
    for label, top, bottom, targets in checks:
        cells = []
        for size in sizes:
            value = ratio(times, top, bottom, size)
            if value is None:
                cells.append("–")
            elif size in targets:
                text, met = targets[size]
                cells.append(f"{value:.2f} ({text}: {'met' if met(value) else 'missed'})")
            else:
                cells.append(f"{value:.2f}")
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    lines.append("")

    lines.append("How the library's cost grows with the file: time per MiB of file.")
    lines.append("")
    lines.append("| workload | " + " | ".join(sizes) + " |")
    lines.append("|---|" + "---|" * len(sizes))
    for workload, _title, _floors in WORKLOADS[:4] + [("floor", "", [])]:
        subjects = ["brantcfg"] if workload != "floor" else ["fread_memchr", "copy_fsync"]
        for subject in subjects:
            cells = []
            for size in sizes:
                value = times.get((workload, subject, size))
                cells.append("–" if value is None else text_time(value * 1024 * 1024 / SIZE_BYTES[size]))
            lines.append(f"| {workload}/{subject} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def plot(times, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    all_sizes = sizes_in(times)
    figure, axes = plt.subplots(2, 3, figsize=(17, 10))
    for axis, (workload, title, floors) in zip(axes.flat, WORKLOADS):
        sizes = [size for size in all_sizes if any(k[0] == workload and k[2] == size for k in times)]
        subjects = [("floor/" + f.split("/")[1]) for f in floors] + subjects_of(times, workload)
        width = 0.8 / max(len(subjects), 1)
        lowest = None
        for index, subject in enumerate(subjects):
            if subject.startswith("floor/"):
                key = ("floor", subject.split("/")[1])
                colour, hatch = "0.75", "//"
            else:
                key = (workload, subject)
                colour = COLOURS.get(subject.split("_")[0])
                hatch = ".." if subject.endswith("_parse_once") else None
            values = [times.get(key + (size,)) for size in sizes]
            positions = [i + (index - (len(subjects) - 1) / 2) * width for i in range(len(sizes))]
            shown = [(p, v / 1e6) for p, v in zip(positions, values) if v is not None]
            if not shown:
                continue
            lowest = min([v for _, v in shown] + ([lowest] if lowest else []))
            axis.bar([p for p, _ in shown], [v for _, v in shown], width, label=subject,
                     color=colour, hatch=hatch, edgecolor="black", linewidth=0.3)
        axis.set_yscale("log")
        if lowest:
            axis.set_ylim(bottom=lowest / 2)  # so the shortest bar still shows
        axis.set_xticks(range(len(sizes)))
        axis.set_xticklabels(sizes)
        axis.set_ylabel("ms per call (wall clock, log scale)")
        axis.set_title(title)
        if axis.get_legend_handles_labels()[0]:
            axis.legend(fontsize=7)
        else:
            axis.text(0.5, 0.5, "not run", ha="center", transform=axis.transAxes)
        axis.grid(axis="y", which="both", alpha=0.3)

    # Growth: the library's time per call against the file's size.
    sizes = all_sizes
    axis = axes.flat[5]
    for workload, title, _floors in WORKLOADS[:4]:
        points = [(SIZE_BYTES[s] / 1024, times[(workload, "brantcfg", s)] / 1e6) for s in sizes
                  if (workload, "brantcfg", s) in times]
        if points:
            axis.plot(*zip(*points), marker="o", label="brantcfg " + workload)
    for floor in ("fread_memchr", "copy_fsync"):
        points = [(SIZE_BYTES[s] / 1024, times[("floor", floor, s)] / 1e6) for s in sizes
                  if ("floor", floor, s) in times]
        if points:
            axis.plot(*zip(*points), linestyle="--", color="0.5", marker="x", label="floor " + floor)
    axis.set_xscale("log")
    axis.set_yscale("log")
    axis.set_xlabel("file size (KiB, log scale)")
    axis.set_ylabel("ms per call (log scale)")
    axis.set_title("Growth with file size")
    if axis.get_legend_handles_labels()[0]:
        axis.legend(fontsize=7)
    axis.grid(which="both", alpha=0.3)

    figure.suptitle("brantcfg against its peers and the machine's floors (median wall-clock time per call)")
    figure.tight_layout()
    figure.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", help="Google Benchmark JSON output")
    parser.add_argument("--png", help="where to write the plot")
    parser.add_argument("--table", help="where to write the Markdown tables (default: standard output)")
    arguments = parser.parse_args()
    context, times = load(arguments.results)
    if not times:
        sys.exit("plot.py: no benchmark results in " + arguments.results)
    text = tables(context, times)
    if arguments.table:
        with open(arguments.table, "w") as handle:
            handle.write(text)
    else:
        sys.stdout.write(text)
    if arguments.png:
        plot(times, arguments.png)


if __name__ == "__main__":
    main()
