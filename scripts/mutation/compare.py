#!/usr/bin/env python3
"""Compares two result files of mutate.py on the same files and seed, telling
kills by a failing assertion apart from kills by the runner's timeout.

  python3 scripts/mutation/compare.py BEFORE.jsonl AFTER.jsonl [FILE...]

Prints, for AFTER, per file: mutants that compiled, identical ones (the
object file unchanged), killed by an assertion, killed only by a timeout,
survived, and the score (assertion kills over the mutants that compiled and
are not identical); then per test file its assertion kills and the kills no
other test file makes; then every mutant BEFORE killed (either way) that
AFTER does not kill by an assertion, and every survivor of AFTER."""
import collections
import json
import sys


def load(path):
    results = {}
    for line in open(path):
        entry = json.loads(line)
        if 'confirm' not in entry:
            results[entry['id']] = entry
    return results


def verdict(entry):
    status = entry.get('status')
    if status in ('uncompilable', 'identical', 'survived'):
        return status
    failed = [g for g, r in entry['groups'].items() if r['status'] == 'fail']
    return 'assertion' if failed else 'timeout'


def main():
    before, after = load(sys.argv[1]), load(sys.argv[2])
    files = sys.argv[3:] or sorted({e['file'] for e in after.values()})
    print(f"{'file':40} {'compl':>5} {'ident':>5} {'assert':>6} {'tmout':>5} {'surv':>4} {'score':>5}")
    total = collections.Counter()
    for name in files:
        count = collections.Counter(verdict(e) for e in after.values() if e['file'] == name)
        compiled = count['assertion'] + count['timeout'] + count['survived'] + count['identical']
        tested = compiled - count['identical']
        total.update(count)
        print(f"{name:40} {compiled:5} {count['identical']:5} {count['assertion']:6} "
              f"{count['timeout']:5} {count['survived']:4} {100 * count['assertion'] / max(1, tested):4.0f}%")
    tested = total['assertion'] + total['timeout'] + total['survived']
    print(f"{'TOTAL':40} {tested + total['identical']:5} {total['identical']:5} {total['assertion']:6} "
          f"{total['timeout']:5} {total['survived']:4} {100 * total['assertion'] / max(1, tested):4.0f}%")

    kills, only = collections.Counter(), collections.Counter()
    for entry in after.values():
        if entry['file'] in files and verdict(entry) == 'assertion':
            killers = [g for g, r in entry['groups'].items() if r['status'] == 'fail']
            kills.update(killers)
            if len(killers) == 1:
                only[killers[0]] += 1
    print(f"\n{'test file':34} {'kills':>5} {'only':>5}")
    for group in sorted(kills, key=lambda g: -kills[g]):
        print(f"{group:34} {kills[group]:5} {only[group]:5}")

    lost = [i for i, e in before.items() if e['file'] in files and verdict(e) in ('assertion', 'timeout')
            and (i not in after or verdict(after[i]) != 'assertion')]
    print(f'\nkilled before, not killed by an assertion after: {len(lost)}')
    for i in lost:
        now = verdict(after[i]) if i in after else 'not run'
        print(f"  {i}  before {verdict(before[i])}, after {now}: {before[i]['mutated'].strip()[:80]}")
    survivors = [e for e in after.values() if e['file'] in files and verdict(e) in ('survived', 'timeout')]
    print(f'\nnot killed by an assertion after: {len(survivors)}')
    for e in sorted(survivors, key=lambda e: (e['file'], e['line'])):
        print(f"  {e['file']}:{e['line']} {verdict(e):8} {e['desc'][:50]}")


main()
