#!/usr/bin/env python3
"""Turns one benchmark run's results folder into a Markdown table of medians, ratios and targets."""
import json
import statistics
import sys
from pathlib import Path

MIB = 1024 * 1024


def load(path):
    with open(path) as f:
        return json.load(f)


def hyperfine_medians(results, comparison):
    """Label -> (median s, min s, max s, runs, command line) of one hyperfine run."""
    # hyperfine's JSON names a command by its label; bench/run keeps the command lines beside it.
    lines = {}
    for row in (results / f"commands-{comparison}.tsv").read_text().splitlines():
        label, command = row.split("\t", 1)
        lines[label] = command
    out = {}
    for r in load(results / f"hf-{comparison}.json")["results"]:
        label = r["command"]
        out[label] = (r["median"], r["min"], r["max"], len(r["times"]), lines.get(label, label))
    return out


def rate(per_second):
    for scale, unit in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if per_second >= scale:
            return f"{per_second / scale:.1f} {unit}"
    return f"{per_second:.1f}"


def seconds(s):
    return f"{s * 1000:.1f} ms" if s < 1 else f"{s:.3f} s"


def verdict(ok):
    return "met" if ok else "**missed**"


def micro_medians(path):
    """Benchmark run name -> median aggregate of its repetitions."""
    out = {}
    for b in load(path)["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median":
            out[b["run_name"]] = b
    return out


def main(results):
    results = Path(results)
    inputs = {name: load(results / f"info-{name}.json") for name in ("large", "small", "index-heavy")}
    lines = []
    emit = lines.append

    emit((results / "machine.txt").read_text().rstrip())
    emit("")
    emit("Inputs (made by qmv2avi-gen):")
    emit("")
    emit("| recording | bytes | index blocks | index entries |")
    emit("|---|---:|---:|---:|")
    for name, info in inputs.items():
        emit(f"| {name} | {info['fileLength']:,} | {info['blockCount']:,} | {info['entryCount']:,} |")
    emit("")

    rows = []
    commands = []

    def add_commands(table):
        for name, (_, _, _, runs, command) in table.items():
            commands.append(f"- {name} ({runs} runs): `{command}`")

    convert = hyperfine_medians(results, "convert")
    add_commands(convert)
    ours = convert["qmv2avi convert"][0]
    cp = convert["cp"][0]
    remux = convert["ffmpeg remux"][0]
    rows.append(("convert large, pass-through, all channels", convert["qmv2avi convert"],
                 f"{ours / cp:.2f} x cp", "<= 1.5 x cp", verdict(ours <= 1.5 * cp)))
    rows.append(("cp of the large recording", convert["cp"], "1.00", "", ""))
    rows.append(("ffmpeg -c copy of the 16 AVIs", convert["ffmpeg remux"],
                 f"{ours / remux:.2f} (ours / ffmpeg)", "< 1", verdict(ours < remux)))

    info = hyperfine_medians(results, "info")
    add_commands(info)
    large_info = info["info large"][0]
    rows.append(("info large", info["info large"], "", "< 50 ms", verdict(large_info < 0.050)))
    heavy = info["info index-heavy"][0]
    heavy_rate = inputs["index-heavy"]["entryCount"] / heavy
    rows.append(("info index-heavy", info["info index-heavy"],
                 f"{heavy_rate / 1e6:.1f} M entries/s end to end", "", ""))

    reencode = hyperfine_medians(results, "reencode")
    add_commands(reencode)
    ours_re = reencode["qmv2avi reencode"][0]
    ffmpeg_re = reencode["ffmpeg transcode"][0]
    rows.append(("re-encode CH-01 704x576 to H.264", reencode["qmv2avi reencode"],
                 f"{ours_re / ffmpeg_re:.2f} (ours / ffmpeg)", "<= 1", verdict(ours_re <= ffmpeg_re)))
    rows.append(("ffmpeg transcode of the same channel", reencode["ffmpeg transcode"], "", "", ""))

    emit("Comparisons (hyperfine, one run per comparison; median, min .. max):")
    emit("")
    emit("| what | median | min .. max | ratio | target | |")
    emit("|---|---:|---:|---|---|---|")
    for what, (median, lo, hi, _, _), ratio, target, ok in rows:
        emit(f"| {what} | {seconds(median)} | {seconds(lo)} .. {seconds(hi)} | {ratio} | {target} | {ok} |")
    emit("")

    memory = load(results / "memory.json")
    emit("Peak memory of convert (pass-through, all channels; /usr/bin/time -f %M, KiB):")
    emit("")
    emit("| recording | runs (KiB) | median | budget 64 MiB + 8 B x entries | |")
    emit("|---|---|---:|---:|---|")
    for name, kib in memory.items():
        budget = 64 * MIB + 8 * inputs[name]["entryCount"]
        median = statistics.median(kib) * 1024
        emit(f"| {name} | {', '.join(str(k) for k in kib)} | {median / MIB:.1f} MiB | {budget / MIB:.1f} MiB | "
             f"{verdict(max(kib) * 1024 <= budget)} |")
    emit("")

    micro = micro_medians(results / "micro.json")
    emit("Microbenchmarks (Google Benchmark, median of the repetitions):")
    emit("")
    emit("| benchmark | median time | items per second | target | |")
    emit("|---|---:|---:|---|---|")
    for name, b in micro.items():
        per_second = b.get("items_per_second", 0.0)
        target, ok = "", ""
        if "Adpcm" in name:
            target, ok = ">= 100 M samples/s", verdict(per_second >= 100e6)
        elif "IndexHeavy" in name:
            target, ok = ">= 20 M entries/s", verdict(per_second >= 20e6)
        emit(f"| {name} | {b['real_time']:.3f} {b['time_unit']} | {rate(per_second)} | {target} | {ok} |")
    emit("")
    emit("Commands:")
    emit("")
    lines.extend(commands)
    print("\n".join(lines))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} RESULTS_DIR")
    main(sys.argv[1])
