#!/usr/bin/python3
"""The benchmark report: reads the results file of bench/run-all (one line per
measurement, "KEY field=value ..."), its run facts (META, "name=value" lines)
and the table of rows and targets (bench/targets.txt), and prints the
Markdown report: a header and one table of ratios.

usage: report.py RESULTS META TARGETS
"""
import datetime
import os
import platform
import re
import sys

HZ = os.sysconf("SC_CLK_TCK")
CORES = os.cpu_count() or 1


def read_results(path):
    """KEY -> fields of its best run (highest rcpt/s, or msg/s)."""
    best = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            words = line.split()
            if not words:
                continue
            fields = dict(w.split("=", 1) for w in words[1:] if "=" in w)
            fields = {k: float(v) if re.fullmatch(r"-?[0-9.]+", v) else v
                      for k, v in fields.items()}
            if "messages" in fields:
                fields["msg_per_s"] = fields["messages"] / (fields["ns"] / 1e9)
            score = fields.get("rcpt_per_s", fields.get("msg_per_s", 0))
            old = best.get(words[0])
            if old is None or score > old.get("rcpt_per_s", old.get("msg_per_s", 0)):
                best[words[0]] = fields
    return best


def read_meta(path):
    with open(path, encoding="utf-8") as lines:
        return dict(l.rstrip("\n").split("=", 1) for l in lines if "=" in l)


def read_rows(path):
    with open(path, encoding="utf-8") as lines:
        return [[cell.strip() for cell in l.split("|")]
                for l in lines if l.strip() and not l.startswith("#")]


def fmt(value, digits=1):
    return "-" if value is None else f"{value:.{digits}f}"


class Report:
    def __init__(self, results, meta):
        self.res = results
        self.meta = meta

    def field(self, key, name):
        return self.res.get(key, {}).get(name)

    def steal(self, key):
        r = self.res.get(key)
        return None if r is None else 100 * r["steal_ticks"] / HZ / (r["ns"] / 1e9) / CORES

    def cpu(self, key):
        def per_rcpt(ticks):
            n = self.field(key, "rcpts")
            t = self.field(key, ticks)
            return fmt(t * 1e6 / HZ / n) if t and n else "-"
        return f"{per_rcpt('filter_ticks')} / {per_rcpt('backend_ticks')}"

    def lat(self, key):
        if key not in self.res:
            return "-"
        return " / ".join(fmt(self.field(key, f)) for f in ("p50_us", "p99_us", "max_us"))

    def both(self, what, a, b):
        return f"{what(a)}; {what(b)}"

    def st(self, key):
        return fmt(self.steal(key), 0)


def ratio(a, b):
    return a / b if a is not None and b else None


def target_of(text, n):
    """(display, op, value) of a target that applies to size n, else None."""
    if text == "-":
        return None
    m = re.fullmatch(r"(>=|<=|<)\s*([0-9.]+)(?:\s+if\s+n(>=|==)([0-9]+))?", text)
    if not m:
        sys.exit(f"report.py: bad target {text!r}")
    op, value, cond, bound = m.groups()
    if cond == ">=" and not n >= int(bound) or cond == "==" and n != int(bound):
        return None
    return ({">=": "≥", "<=": "≤"}.get(op, op) + " " + value, op, float(value))


def judge(value, target):
    if target is None:
        return "-"
    if value is None:
        return "n/a"
    _, op, bound = target
    ok = value >= bound if op == ">=" else value <= bound if op == "<=" else value < bound
    return "met" if ok else "**missed**"


def expansions(template, results):
    """The values of {c} or {n} in template for which results hold a key."""
    if "{" not in template:
        return [None]
    pattern = re.escape(template).replace(r"\{c\}", "([0-9]+)").replace(r"\{n\}", "([0-9]+)")
    return sorted({int(m.group(1)) for k in results if (m := re.fullmatch(pattern, k))})


def rows(report, table, meta):
    for kind, c_col, label, kv_t, limit_label, limit_t, target_t in table:
        for x in expansions(kv_t, report.res):
            if kind == "rss" and x == 0:
                continue
            sub = lambda t: (t.replace("{c}", str(x)).replace("{n}", str(x))
                             .replace("{base}", meta["base"])
                             .replace("{sessions}", meta["pf_sessions"]))
            kv, limits = sub(kv_t), sub(limit_t).split()
            target = target_of(target_t, x or 0)
            shown = target[0] if target else "-"
            lat = cpu = steal = "-"
            if kind in ("rate", "series", "p50"):
                name = "p50_us" if kind == "p50" else "rcpt_per_s"
                value = report.field(kv, name)
                if kind == "series":
                    a, b = (report.field(k, name) for k in limits)
                    limit = 1 / (1 / a + 1 / b) if a and b else None
                else:
                    limit = report.field(limits[0], name)
                r = ratio(value, limit)
                other = limits[-1]
                lat, cpu, steal = (report.both(f, kv, other)
                                   for f in (report.lat, report.cpu, report.st))
                yield [sub(label), sub(c_col), fmt(value), sub(limit_label), fmt(limit),
                       fmt(r, 2) if r is not None else "n/a", shown, judge(r, target),
                       lat, cpu, steal]
            elif kind == "rss":
                empty, loaded = (report.field(k, "rss_start_kb") for k in (limits[0], kv))
                per = (loaded - empty) * 1024 / x if empty and loaded else None
                sizes = " / ".join(fmt(v, 0) for v in
                                   (empty, loaded, report.field(kv, "rss_after_kb")))
                yield [sub(label), "-", fmt(per, 0), limit_label, sizes, "-", shown,
                       judge(per, target), "-", "-"]
            elif kind == "startup":
                ms = report.field(kv, "start_ms")
                yield [sub(label), "-", fmt(ms, 0), "-", "-", "-", shown, judge(ms, target),
                       "-", "-"]
            elif kind == "postfix":
                value, limit = (report.field(k, "msg_per_s") for k in (kv, limits[0]))
                r = ratio(value, limit)
                yield [sub(label), sub(c_col), fmt(value), sub(limit_label), fmt(limit),
                       fmt(r, 2) if r is not None else "n/a", shown, judge(r, target), "-", "-",
                       report.both(report.st, kv, limits[0])]
            else:
                sys.exit(f"report.py: unknown row kind {kind!r}")


def machine(meta):
    def first(path, pattern):
        try:
            with open(path, encoding="utf-8") as f:
                m = re.search(pattern, f.read(), re.M)
                return m.group(1) if m else "?"
        except OSError:
            return "?"
    took = float(meta["took_ns"]) / 1e9
    steal = 100 * float(meta["steal_ticks"]) / HZ / took / CORES
    mem = int(first("/proc/meminfo", r"^MemTotal:\s*([0-9]+)")) / 1048576
    model = first("/proc/cpuinfo", r"^model name\s*: (.*)$")
    debian = first("/etc/debian_version", r"(.*)")
    load = " ".join(f"{v:.2f}" for v in os.getloadavg())
    return (f"{CORES} cores ({model}), {mem:.0f} GiB, Linux {platform.release()}, "
            f"Debian {debian}, load average at the end: {load}; "
            f"CPU time stolen by the hypervisor during the run: {steal:.0f} %")


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    report = Report(read_results(sys.argv[1]), read_meta(sys.argv[2]))
    meta = report.meta
    reps = int(meta["reps"])
    now = datetime.datetime.now(datetime.timezone.utc)
    print(f"## Benchmark run {now:%Y-%m-%d %H:%M} UTC\n")
    print(f"- Command: `{meta['command']}` (took {float(meta['took_ns']) / 1e9:.0f} s)")
    print(f"- Machine: {machine(meta)}")
    print(f"- Load: M = {meta['rcpts']} recipients per transaction, {meta['tx_per_conn']} "
          f"transactions per milter connection, runs of {meta['secs']} s (latency runs "
          f"{meta['scale_secs']} s), best of {reps} ({(reps + 1) // 2} for latency, "
          f"{meta['pf_reps']} through Postfix); Postfix: smtp-source -s {meta['pf_sessions']}, "
          f"{meta['pf_msgs']} messages ({meta['pf_verify_msgs']} for the fresh verification "
          f"run), 1 recipient each; backend: {meta['backend']}")
    print(f"- kelvantor {meta['version']}, built from commit {meta['built_commit']}\n")
    header = ["Scenario", "C", "kelvantor", "Limit", "Limit value", "Ratio", "Target", "Result",
              "p50 / p99 / max µs (kelvantor; limit)",
              "CPU µs/rcpt filter / backend (kelvantor; limit)",
              "CPU stolen % (kelvantor; limit)"]
    print("| " + " | ".join(header) + " |")
    print("| --- | ---: | ---: | --- | ---: | ---: | --- | --- | --- | --- | --- |")
    for row in rows(report, read_rows(sys.argv[3]), meta):
        row += ["-"] * (len(header) - len(row))
        print("| " + " | ".join(row) + " |")
    if int(meta["failures"]):
        print(f"\n**{meta['failures']} measurement(s) failed; see the messages above.**")


if __name__ == "__main__":
    main()
