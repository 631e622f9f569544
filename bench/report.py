#!/usr/bin/env python3
"""Reads the raw outputs of scripts/bench.sh (build/bench/<name>.<round>.out,
one "name value [unit]" line per figure) and prints the table of figures:
each value and its baseline as the median and range over the rounds, the
ratio as the median (and range) of the rounds' own ratios, the target and
whether the median met it. Draws the delivery latency distribution beside its
floors into a PNG."""
import argparse
import glob
import os
import statistics


def read_figures(raw, name, rounds):
    """{key: {round: value}} of <name>.<r>.out, r = 1..rounds (missing rounds left
    out); a benchmark run several times a round (<name>.<r>.<k>.out) gives the
    median of its runs."""
    figures = {}
    for r in range(1, rounds + 1):
        paths = [os.path.join(raw, f"{name}.{r}.out")]
        if not os.path.exists(paths[0]):
            paths = glob.glob(os.path.join(raw, f"{name}.{r}.*.out"))
        runs = {}
        for path in paths:
            with open(path, encoding="utf-8", errors="replace") as f:
                for line in f:
                    parts = line.replace("\r", "").split()
                    if len(parts) < 2:
                        continue
                    try:
                        value = float(parts[1])
                    except ValueError:
                        continue
                    runs.setdefault(parts[0], []).append(value)
        for key, values in runs.items():
            figures.setdefault(key, {})[r] = statistics.median(values)
    return figures


def round_samples(raw, prefix, r):
    """The samples of round r (one value a line in <prefix>.<r>.txt), or []."""
    path = os.path.join(raw, f"{prefix}.{r}.txt")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [float(x) for x in f if x.strip()]


def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(p / 100 * (len(v) - 1) + 0.5))]


def fmt(x):
    if x is None:
        return ""
    if abs(x) >= 1000:
        return f"{x:.0f}"
    if abs(x) >= 100:
        return f"{x:.1f}"
    return f"{x:.2f}" if abs(x) < 10 else f"{x:.1f}"


def spread(values):
    if not values:
        return ""
    med = statistics.median(values)
    if len(values) == 1:
        return fmt(med)
    return f"{fmt(med)} [{fmt(min(values))}–{fmt(max(values))}]"


class Table:
    def __init__(self, raw, rounds):
        self.raw = raw
        self.rounds = rounds
        self.cache = {}
        self.results = []

    def series(self, ref):
        """ref: (file, key) -> {round: value}; ("samples", prefix, p) -> {round: the
        p-th percentile of the round's samples}."""
        if ref is None:
            return {}
        if ref[0] == "samples":
            _, prefix, p = ref
            per_round = {r: round_samples(self.raw, prefix, r) for r in range(1, self.rounds + 1)}
            return {r: percentile(v, p) for r, v in per_round.items() if v}
        name, key = ref
        if name not in self.cache:
            self.cache[name] = read_figures(self.raw, name, self.rounds)
        return self.cache[name].get(key, {})

    def row(self, figure, value, baseline, unit, target, kind="none", limit=0.0):
        """kind: ratio_max (ratio <= limit), ratio_min (ratio >= limit), abs_max (value <= limit),
        diff_max (value - baseline <= limit), none (reported only)."""
        v = self.series(value)
        b = self.series(baseline)
        if not v:
            print(f"| {figure} | not measured | | | {target} | missed |")
            self.results.append((figure, "missed"))
            return
        vals = list(v.values())
        bases = list(b.values())
        ratios = [v[r] / b[r] for r in v if r in b and b[r] != 0]
        diffs = [v[r] - b[r] for r in v if r in b]
        med_v = statistics.median(vals)
        med_r = statistics.median(ratios) if ratios else None
        if kind == "ratio_max":
            ok = med_r is not None and med_r <= limit
        elif kind == "ratio_min":
            ok = med_r is not None and med_r >= limit
        elif kind == "abs_max":
            ok = med_v <= limit
        elif kind == "diff_max":
            ok = bool(diffs) and statistics.median(diffs) <= limit
        else:
            ok = None
        result = "(report)" if ok is None else ("met" if ok else "missed")
        base_text = f"{spread(bases)} {unit}" if bases else ""
        print(f"| {figure} | {spread(vals)} {unit} | {base_text} | {spread(ratios)} | {target} | {result} |")
        self.results.append((figure, result))


    def not_beaten_row(self, figure, value_prefix, base_prefix, target, z_limit):
        """The agent and its floor took turns, so the i-th samples of a round
        are a pair measured side by side. A floor is beaten when the agent was
        the faster of a pair significantly more often than not: the sign test
        over every pair of every round must not fall below z_limit."""
        shares = []
        slower = pairs = 0
        for r in range(1, self.rounds + 1):
            agent = round_samples(self.raw, value_prefix, r)
            floor = round_samples(self.raw, base_prefix, r)
            n = min(len(agent), len(floor))
            if n == 0:
                continue
            k = sum(1 for a, f in zip(agent, floor) if a > f)
            shares.append(100.0 * k / n)
            slower += k
            pairs += n
        if pairs == 0:
            print(f"| {figure} | not measured | | | {target} | missed |")
            self.results.append((figure, "missed"))
            return
        z = (slower - pairs / 2) / (pairs / 4) ** 0.5
        result = "met" if z >= z_limit else "missed"
        print(f"| {figure} | {spread(shares)} % of {pairs} | 50 % | z {z:.2f} | {target} | {result} |")
        self.results.append((figure, result))


def samples(raw, prefix, rounds):
    values = []
    for r in range(1, rounds + 1):
        values.extend(round_samples(raw, prefix, r))
    return values


def plot(raw, rounds, out, machine):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    series = [
        ("agent: plug-in callback to service", samples(raw, "latency-samples", rounds), "tab:red"),
        ("floor: hand-off (boost mutex + condition) and event pair", samples(raw, "floor-samples", rounds), "tab:blue"),
        ("event-pair round trip with 4 KB section write, the same gap", samples(raw, "pair-samples", rounds), "tab:green"),
    ]
    series = [s for s in series if s[1]]
    if not series:
        return
    fig, (hist, cdf) = plt.subplots(1, 2, figsize=(12, 4.8))
    low = max(1.0, min(min(s[1]) for s in series))
    high = max(np.percentile(s[1], 99.9) for s in series)
    bins = np.logspace(np.log10(low), np.log10(high), 80)
    for label, values, colour in series:
        v = np.array(values)
        hist.hist(v, bins=bins, histtype="step", linewidth=1.5, color=colour,
                  label=f"{label} (p50 {np.median(v):.0f} µs)")
        xs = np.sort(v)
        cdf.plot(xs, np.arange(1, len(xs) + 1) / len(xs), color=colour, linewidth=1.5, label=label)
    for axis in (hist, cdf):
        axis.set_xscale("log")
        axis.set_xlabel("latency (µs, log scale)")
        axis.grid(True, which="both", alpha=0.3)
    hist.set_ylabel("events per bin")
    hist.set_title("Delivery latency, distribution")
    cdf.set_ylabel("fraction of events at or below")
    cdf.set_title("Delivery latency, cumulative")
    hist.legend(fontsize=8, loc="upper right")
    fig.suptitle(f"Delivery of one device event under Wine, {rounds} round(s) pooled — {machine}", fontsize=9)
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    print(f"\nPicture: {out}")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--raw", required=True)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--events", type=int, default=10000)
    p.add_argument("--refreshes", type=int, default=300)
    p.add_argument("--gap-ms", type=int, default=0)
    p.add_argument("--idle-s", type=int, default=30)
    p.add_argument("--machine", default="")
    p.add_argument("--load", nargs=2, default=["", ""])
    p.add_argument("--plot")
    a = p.parse_args()
    t = Table(a.raw, a.rounds)
    ev, idle = a.events, a.idle_s
    paced = f"callback to service, events {a.gap_ms} ms apart" if a.gap_ms else "callback to service"

    import datetime

    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    print()
    print(f"Run {now} on {a.machine}; {a.rounds} round(s); load average before: {a.load[0]}, after: {a.load[1]}")
    print()
    print("Values and baselines: median [range] over the rounds; ratio: median [range] of the rounds' ratios.")
    print()
    print("| figure | value | baseline | ratio | target | result |")
    print("|---|---|---|---|---|---|")
    lat, pair, pairgap, floor = "latency", "pair", "pairgap", "floor"
    t.row(f"delivery latency p50 ({paced})", (lat, "latency_p50_us"), (floor, "delivery_floor_p50_us"), "us",
          "<= 1.2x its design: hand-off (boost mutex + condition) and event pair", "ratio_max", 1.2)
    t.row(f"delivery latency p50 ({paced})", (lat, "latency_p50_us"), (pairgap, "baseline_p50"), "us",
          "<= 2x event-pair round trip p50 (the same gap)", "ratio_max", 2)
    t.row("  the design floor itself", (floor, "delivery_floor_p50_us"), (pairgap, "baseline_p50"), "us",
          "(baseline: event-pair round trip, the same gap)")
    t.row("delivery latency p99", (lat, "latency_p99_us"), (floor, "delivery_floor_p99_us"), "us",
          "(baseline: the design's p99)")
    t.row("  of which inside the plug-in's callback (p50)", (lat, "callback_p50_us"), None, "us",
          "(lookup, record, queue push and wake of the worker)")
    t.row("  of which after the callback returned (p50)", (lat, "after_callback_p50_us"), (pairgap, "baseline_p50"),
          "us", "(worker, section, event pair; baseline: event-pair round trip)")
    t.row(f"delivery rate (burst of {ev})", ("burst", "rate_per_s"), (pair, "baseline_rate"), "/s",
          ">= 0.5x event-pair rate", "ratio_min", 0.5)
    # Floor and agent took turns event by event; figures from every sample.
    t.row("refresh latency p50 (byte 1)", ("samples", "refresh-samples", 50), ("samples", "rfloor-samples", 50), "us",
          "<= 1.1x the refresh's work and hand-off without the agent", "ratio_max", 1.1)
    t.not_beaten_row("refresh: turns in which the agent took longer than its floor", "refresh-samples", "rfloor-samples",
                     "the floor not beaten: not significantly under 50% (sign test, z >= -2.33, p < 0.01)", -2.33)
    t.row("refresh latency, fastest (byte 1)", ("samples", "refresh-samples", 0), ("samples", "rfloor-samples", 0), "us",
          "(baseline: the floor's fastest)")
    t.row("refresh latency p99 (byte 1)", ("samples", "refresh-samples", 99), ("samples", "rfloor-samples", 99), "us",
          "(baseline: the same floor's p99)")
    t.row("  floor's refresh work alone (p50)", ("rfloor", "refresh_work_p50_us"), ("wmi", "wmi_baseline_p50_us"), "us",
          "(baseline: three WQL queries in a process of their own)")
    t.row("log call, filtered (1 thread)", ("log", "log_filtered_1t"), ("spdlog", "spdlog_filtered_1t"), "ns",
          "<= 0.5x spdlog's", "ratio_max", 0.5)
    t.row("log call, filtered (4 threads)", ("log", "log_filtered_4t"), ("spdlog", "spdlog_filtered_4t"), "ns",
          "<= 0.5x spdlog's", "ratio_max", 0.5)
    t.row("log call, queued (1 thread)", ("log", "log_queued_1t"), ("spdlog", "spdlog_queued_1t"), "ns",
          "<= 1.0x spdlog's", "ratio_max", 1.0)
    t.row("log call, queued (4 threads)", ("log", "log_queued_4t"), ("spdlog", "spdlog_queued_4t"), "ns",
          "<= 1.0x spdlog's", "ratio_max", 1.0)
    t.row("log call, queued (first burst, 1 thread)", ("log", "log_queued_first_burst"),
          ("spdlog", "spdlog_queued_first_burst"), "ns", "(baseline: spdlog's first burst)")
    t.row("log call, filtered (1 thread)", ("log", "log_filtered_1t"), None, "ns", "< 20 ns", "abs_max", 20)
    t.row("log call, queued (1 thread)", ("log", "log_queued_1t"), ("log", "log_baseline_printf"), "ns",
          "<= 3x StringCchPrintfA", "ratio_max", 3)
    t.row("log call, queued (4 threads)", ("log", "log_queued_4t"), ("log", "log_baseline_printf"), "ns",
          "(baseline: StringCchPrintfA)")
    t.row("agent private bytes (PagefileUsage) after start", ("burst", "mem_start_pagefile_kb"),
          ("mem", "floor_pagefile_kb"), "KB", "<= 1.2x libcurl + WMI connection, queries run once", "ratio_max", 1.2)
    t.row("  floor + a window with a button", ("mem", "floor_window_pagefile_kb"), ("mem", "floor_pagefile_kb"), "KB",
          "(baseline: the floor)")
    t.row("  floor + window + tray icon", ("mem", "floor_window_tray_pagefile_kb"), ("mem", "floor_pagefile_kb"), "KB",
          "(baseline: the floor)")
    t.row("  floor + window + tray icon + update POST on a pool thread", ("mem", "floor_window_tray_update_pagefile_kb"),
          ("mem", "floor_pagefile_kb"), "KB", "(baseline: the floor)")
    t.row("  floor + window + tray icon + update POST + three waiting threads",
          ("mem", "floor_window_tray_update_threads_pagefile_kb"), ("mem", "floor_pagefile_kb"), "KB",
          "(baseline: the floor; threads: log writer, tray worker, the plug-in's)")
    t.row("agent private bytes (PagefileUsage) after start", ("burst", "mem_start_pagefile_kb"),
          ("mem", "floor_window_tray_update_threads_pagefile_kb"), "KB",
          "(baseline: the floor with every step above)")
    t.row("agent private bytes (PagefileUsage) after start", ("burst", "mem_start_pagefile_kb"),
          ("burst", "sleeper_pagefile_kb"), "KB", "(baseline: a Wine process that only sleeps)")
    t.row(f"agent private bytes (PagefileUsage) after {ev} events", ("burst", "mem_loaded0_pagefile_kb"),
          ("burst", "mem_start_pagefile_kb"), "KB", "(baseline: after start)")
    t.row(f"agent private bytes (PagefileUsage), drained after {ev}", ("burst", "mem_drained0_pagefile_kb"),
          ("burst", "mem_start_pagefile_kb"), "KB", "(baseline: after start)")
    t.row(f"agent private bytes (PagefileUsage), drained after 2 x {ev}", ("burst", "mem_drained1_pagefile_kb"),
          ("burst", "mem_drained0_pagefile_kb"), "KB", "no growth: <= +512 KB over the first drain", "diff_max", 512)
    t.row("agent working set after start", ("burst", "mem_start_working_set_kb"), ("mem", "floor_working_set_kb"),
          "KB", "(baseline: libcurl + WMI connection)")
    t.row(f"agent working set, drained after 2 x {ev}", ("burst", "mem_drained1_working_set_kb"),
          ("burst", "mem_start_working_set_kb"), "KB", "(baseline: after start)")
    t.row(f"agent idle CPU over {idle} s", ("burst", "idle_cpu_ms"), ("burst", "sleeper_idle_cpu_ms"), "ms",
          f"< 1% of one core ({idle * 10} ms)", "abs_max", idle * 10)
    # Idle wake-ups: context switches of every thread of the process, read
    # from Linux, over the idle span 7 s after the start.
    idle_keys = sorted(read_figures(a.raw, "idle", a.rounds).keys())
    for label, plugin, target, limit, floor in (
            ("reference", "the reference plug-in", "<= 1.5 /s", 1.5, ("idle", "idle_tick_per_s")),
            ("silent", "a silent plug-in", "<= 0.2 /s", 0.2, ("idle", "idle_floor_per_s"))):
        floor_text = "a message wait timing out every second" if label == "reference" else "a message wait"
        t.row(f"agent idle wake-ups over {idle} s, {plugin}", ("idle", f"idle_{label}_per_s"), floor, "/s",
              f"{target} (baseline: {floor_text})", "abs_max", limit)
        prefix = f"idle_{label}_thread_"
        for key in (k for k in idle_keys if k.startswith(prefix)):
            t.row(f"  thread {key[len(prefix):-len('_per_s')]}", ("idle", key), None, "/s", "(report)")
        t.row(f"agent CPU over the same {idle} s, {plugin}", ("idle", f"idle_{label}_cpu_ms"), None, "ms",
              "0 within the clock's resolution (10 ms)", "abs_max", 10)
    t.row("  floor: a Wine process asleep in a message wait", ("idle", "idle_floor_per_s"), None, "/s", "(report)")
    t.row("  floor: the same wait timing out every second", ("idle", "idle_tick_per_s"), None, "/s", "(report)")

    for name in ("latency", "burst", "refresh"):
        for r in range(1, a.rounds + 1):
            path = os.path.join(a.raw, f"{name}.{r}.out")
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    fails = [l.strip() for l in f if l.startswith("result FAIL")]
                if fails:
                    print(f"note: {name} round {r}: {' '.join(fails)}")
    # The delivery distributions, every sample of every round pooled: the
    # p50 alone hides which of its two modes a run fell into.
    pooled = [
        ("agent: plug-in callback to service", samples(a.raw, "latency-samples", a.rounds)),
        ("floor: hand-off and event pair", samples(a.raw, "floor-samples", a.rounds)),
        ("event-pair round trip, the same gap", samples(a.raw, "pair-samples", a.rounds)),
    ]
    if any(v for _, v in pooled):
        print()
        print("Delivery latency, all rounds pooled (us):")
        print()
        print("| series | samples | p10 | p50 | p90 | p99 |")
        print("|---|---|---|---|---|---|")
        for label, values in pooled:
            if not values:
                continue
            v = sorted(values)
            q = lambda p: percentile(v, p)
            print(f"| {label} | {len(v)} | {fmt(q(10))} | {fmt(q(50))} | {fmt(q(90))} | {fmt(q(99))} |")
    if a.plot:
        plot(a.raw, a.rounds, a.plot, a.machine)


if __name__ == "__main__":
    main()
