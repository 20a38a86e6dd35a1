#!/usr/bin/env python3
"""Compares two coverage runs of tools/coverage.sh (QL_COVERAGE_JSON=<dir>).

    tools/coverage-diff.py BEFORE_DIR AFTER_DIR [--area product|pal] [--all]

Prints the line and branch totals of each area before and after, the files
whose covered lines or branches changed, and every branch that was taken
before and is not taken after (file, line, branch number). A line is matched
by its number, so compare runs of the same sources or read the listed lines
against both versions. Exits with 1 when a branch was lost.
"""
import argparse
import json
import os
import sys


def load_full(path):
    """{file: {line: (count, [branch counts])}} from a gcovr --json file."""
    with open(path) as f:
        data = json.load(f)
    out = {}
    for entry in data.get("files", []):
        lines = {}
        for line in entry.get("lines", []):
            if line.get("gcovr/noncode"):
                continue
            branches = [b.get("count", 0) for b in line.get("branches", [])]
            number = line["line_number"]
            count, known = lines.get(number, (0, []))
            # Template instances report one line several times: take the union.
            merged = [max(a, b) for a, b in zip(known, branches)] + known[len(branches):] + branches[len(known):]
            lines[number] = (max(count, line.get("count", 0)), merged)
        out[entry["file"]] = lines
    return out


def totals(files):
    lines = covered = branches = taken = 0
    for per_line in files.values():
        for count, br in per_line.values():
            lines += 1
            covered += count > 0
            branches += len(br)
            taken += sum(1 for b in br if b > 0)
    return lines, covered, branches, taken


def pct(part, whole):
    return f"{100.0 * part / whole:.1f} %" if whole else "-"


def file_figures(per_line):
    return totals({"": per_line})


def compare(area, before_dir, after_dir, show_all):
    before = load_full(os.path.join(before_dir, f"{area}-full.json"))
    after = load_full(os.path.join(after_dir, f"{area}-full.json"))
    bl, bc, bb, bt = totals(before)
    al, ac, ab, at = totals(after)
    print(f"== {area}")
    print(f"lines:    {bc}/{bl} ({pct(bc, bl)}) -> {ac}/{al} ({pct(ac, al)})")
    print(f"branches: {bt}/{bb} ({pct(bt, bb)}) -> {at}/{ab} ({pct(at, ab)})")
    lost = []
    for name in sorted(set(before) | set(after)):
        b_lines = before.get(name, {})
        a_lines = after.get(name, {})
        fb = file_figures(b_lines)
        fa = file_figures(a_lines)
        if show_all or (fb[1], fb[3]) != (fa[1], fa[3]) or name not in after or name not in before:
            state = "" if name in before and name in after else (" (new)" if name not in before else " (gone)")
            print(f"  {name}{state}: lines {fb[1]}/{fb[0]} -> {fa[1]}/{fa[0]}, "
                  f"branches {fb[3]}/{fb[2]} -> {fa[3]}/{fa[2]}")
        if name not in after:
            continue
        for number, (_, br) in b_lines.items():
            a_br = a_lines.get(number, (0, []))[1]
            for i, count in enumerate(br):
                if count > 0 and (i >= len(a_br) or a_br[i] == 0):
                    lost.append((name, number, i))
    for name, number, i in lost:
        print(f"  branch lost: {name}:{number} #{i}")
    print(f"branches lost: {len(lost)}")
    return len(lost)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--area", choices=["product", "pal"], action="append")
    parser.add_argument("--all", action="store_true", help="list every file, changed or not")
    args = parser.parse_args()
    lost = 0
    for area in args.area or ["product", "pal"]:
        lost += compare(area, args.before, args.after, args.all)
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main())
