"""Turns bench/run's hyperfine JSON and GNU time reports into one table."""
import json
import re
import subprocess
import sys
from pathlib import Path

results = Path(sys.argv[1])
sizes = sys.argv[2:]


def median(data, name):
    for r in data["results"]:
        if r["command"] == name:
            return r["median"]
    return None


def peak_rss_kib(size):
    text = (results / f"{size}.rss").read_text()
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))


def fmt_ratio(a, b):
    return f"{a / b:.2f}" if a and b else "-"


print("| body size | tool median (s) | durable shell (s) | tool/durable | plain shell (s) "
      "| tool/plain | one-byte copy (s) | tool/one-byte | tool GB/s | tool peak RSS (KiB) |")
print("|---|---|---|---|---|---|---|---|---|---|")
for size in sizes:
    data = json.loads((results / f"{size}.json").read_text())
    tool = median(data, "tool")
    durable = median(data, "durable-shell")
    plain = median(data, "plain-shell")
    byte = median(data, "byte-copy")
    total = int(subprocess.check_output(["numfmt", "--from=iec", size]).decode()) + 16
    print(f"| {size} | {tool:.4f} | {durable:.4f} | {fmt_ratio(tool, durable)} | {plain:.4f} "
          f"| {fmt_ratio(tool, plain)} | {f'{byte:.4f}' if byte else '-'} "
          f"| {fmt_ratio(tool, byte)} | {total / tool / 1e9:.2f} | {peak_rss_kib(size)} |")
