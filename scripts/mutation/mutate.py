#!/usr/bin/env python3
# The shared mutation harness, with this tree's layout: it also knows
# VellCompanion/, which the unit and end-to-end tests reach, and always runs
# the stand-in's tests, whose run loop runs in forked children.
"""Mutation testing for this C++ project: generates source mutants of one file,
rebuilds only what depends on it, runs the test files that can reach it (one
gtest filter per test file), and records which test files kill each mutant.

Subcommands
  list      FILE...                 print the mutants of FILE (all of them)
  coverage                          per-test-file line coverage from a --coverage build
  run       FILE[:N]...             mutate, build, test; results appended to --results
  report                            per-file scores, survivors, per-test-file kills

A run takes, per file, a random permutation of all mutants (fixed --seed) and
goes through it until N of them (default --sample) have compiled; mutants that
do not compile are discarded. A run resumes: mutants already in --results are
not run again. Mutants whose object file (debug info stripped) is identical to
the original's are recorded as 'identical' (equivalent) and not tested.

Test selection: a test file runs on a mutant when its binary links the file
and it executes one of the mutated lines (coverage.json, from a --coverage
build), or the line is not executable (constants, declarations, case labels),
or it is the end-to-end file (its agents may be killed, so no coverage).
Timeout per test file: max(3 x its normal time, --min-timeout); a timeout
counts as a kill. `confirm` reruns, with a long timeout, timed-out test files
of mutants whose verdict or single killer depends on them (the end-to-end
tests wait up to 20 s per check, longer than the 10 s cut).

Full rerun ($W is any scratch folder; every step resumes):
  git clone <project> $W/src; git clone <project> $W/w1src; git clone <project> $W/covsrc
  cmake -S $W/src -B $W/build -G Ninja -DCMAKE_BUILD_TYPE=Debug     (same for w1src -> w1build)
  cmake -S $W/covsrc -B $W/cov -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage \
        -DCMAKE_EXE_LINKER_FLAGS=--coverage && ninja -C $W/cov unit_tests linux_tests e2e_tests VellApp own_path_probe
  python3 mutate.py coverage FILE... --src $W/covsrc --build $W/cov
  python3 mutate.py timing                      (then raise slow entries to the worst seen)
  WK="--src $W/src --build $W/build --src $W/w1src --build $W/w1build"
  nice -n 15 python3 mutate.py run VellDealer/VellDealer.cpp:200 VellShared/PowerTool.cpp ... $WK
  nice -n 15 python3 mutate.py confirm --long-timeout 180 $WK
  python3 mutate.py report <same FILE[:N] list> -v
Results, coverage and timings go to $VELL_MUTATION_DIR (default $TMPDIR/vell-mutation). The test
layout it knows (tests/unit, tests/linux, tests/e2e and which binaries reach which folders) is in
test_groups() and binaries_reaching(): when the layout changes, change a copy of this file.
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.environ.get('VELL_MUTATION_DIR') or os.path.join(os.environ.get('TMPDIR', '/tmp'), 'vell-mutation')
TEST_BINARIES = {'unit': 'tests/unit_tests', 'linux': 'tests/linux_tests', 'e2e': 'tests/e2e_tests'}
BUILD_TARGETS = ['unit_tests', 'linux_tests', 'e2e_tests', 'VellApp', 'own_path_probe']
# Test files whose tests run our code in child processes that may be killed
# or leave by _exit (no coverage written): always run when their binary can
# reach the file. The stand-in's run loop runs in forked children.
ALWAYS_RUN = {'e2e/Agent_test.cpp', 'linux/StandIn_test.cpp'}


def binaries_reaching(path):
    """Which test binaries link (directly or via the app binaries) the file."""
    if path.startswith(('VellShared/', 'VellDealer/')):
        return ['unit', 'linux', 'e2e']
    if path.startswith('platform/'):
        return ['linux', 'e2e']
    if path.startswith('VellCompanion/'):
        return ['unit', 'e2e']
    if path.startswith('companion/'):
        return ['e2e']
    raise SystemExit('unknown file ' + path)


# ---------------------------------------------------------------- test groups

def test_groups(src):
    """One group per test file: name -> (binary kind, gtest filter)."""
    groups = {}
    for kind, folder in (('unit', 'unit'), ('linux', 'linux'), ('e2e', 'e2e')):
        d = os.path.join(src, 'tests', folder)
        for name in sorted(os.listdir(d)):
            if not name.endswith('_test.cpp'):
                continue
            text = open(os.path.join(d, name)).read()
            suites = set(re.findall(r'^\s*(?:TEST|TEST_F|TEST_P|TYPED_TEST)\(\s*(\w+)\s*,', text, re.M))
            suites |= set(re.findall(r'INSTANTIATE_TEST_SUITE_P\(\s*\w+\s*,\s*(\w+)', text))
            pats = []
            for s in sorted(suites):
                pats += [s + '.*', '*/' + s + '.*']
            groups[folder + '/' + name] = (kind, ':'.join(pats))
    return groups


# ------------------------------------------------------------------- lexing

def mask_source(lines):
    """Per line: code with comments blanked and literal contents replaced by
    '_' (quotes kept), plus the literals found: (line, start, end, kind)."""
    masked, literals = [], []
    in_block = False
    in_pp = False
    for ln, line in enumerate(lines):
        out = list(line)
        i = 0
        n = len(line)
        if not in_block and (in_pp or line.lstrip().startswith('#')):
            in_pp = line.rstrip().endswith('\\')
            masked.append(' ' * n)
            continue
        while i < n:
            c = line[i]
            if in_block:
                if line.startswith('*/', i):
                    out[i] = out[i + 1] = ' '
                    in_block = False
                    i += 2
                else:
                    out[i] = ' '
                    i += 1
                continue
            if line.startswith('//', i):
                for j in range(i, n):
                    out[j] = ' '
                break
            if line.startswith('/*', i):
                in_block = True
                out[i] = out[i + 1] = ' '
                i += 2
                continue
            if c == 'R' and line.startswith('R"', i) and (i == 0 or not (line[i - 1].isalnum() or line[i - 1] == '_')):
                # raw string: blank it entirely, never mutate it
                end = line.find(')"', i)
                end = n if end < 0 else end + 2
                for j in range(i, end):
                    out[j] = '_'
                i = end
                continue
            if c == '"' or (c == "'" and not (i > 0 and line[i - 1].isalnum())):
                j = i + 1
                while j < n and line[j] != c:
                    j += 2 if line[j] == '\\' else 1
                end = min(j + 1, n)
                literals.append((ln, i, end, 'str' if c == '"' else 'chr'))
                for k in range(i + 1, end - 1):
                    out[k] = '_'
                i = end
                continue
            i += 1
        masked.append(''.join(out))
    return masked, literals


def matching(masked, ln, col, open_c, close_c):
    """Position (line, col) of the bracket closing the one at (ln, col)."""
    depth = 0
    for l in range(ln, min(ln + 12, len(masked))):
        start = col if l == ln else 0
        for c in range(start, len(masked[l])):
            ch = masked[l][c]
            if ch == open_c:
                depth += 1
            elif ch == close_c:
                depth -= 1
                if depth == 0:
                    return l, c
    return None


def statement_end(masked, ln, col):
    """(line, col) of the ';' ending the statement starting at (ln, col)."""
    depth = 0
    for l in range(ln, min(ln + 12, len(masked))):
        start = col if l == ln else 0
        for c in range(start, len(masked[l])):
            ch = masked[l][c]
            if ch in '([{':
                depth += 1
            elif ch in ')]}':
                depth -= 1
                if depth < 0:
                    return None
            elif ch == ';' and depth == 0:
                return l, c
    return None


# ---------------------------------------------------------------- mutants

ROR = {'<': ['<=', '>='], '<=': ['<', '>'], '>': ['>=', '<='], '>=': ['>', '<'],
       '==': ['!='], '!=': ['==']}
NOT_STATEMENT = re.compile(
    r'^(return|if|else|while|for|do|switch|case|default|break|continue|goto|using|namespace|'
    r'typedef|static_assert|throw|template|class|struct|enum|friend|public|private|protected|'
    r'const|constexpr|static|auto|inline|virtual|explicit|extern|thread_local|co_\w+|try|catch)\b')
ASSIGN = re.compile(r'^[\w.\->\[\]*():]+\s*(=|\+=|-=|\*=|/=|%=|\|=|&=|\^=|<<=|>>=)(?!=)')
INCDEC = re.compile(r'^(\+\+|--)[\w.\->\[\]*]+\s*;$|^[\w.\->\[\]*]+(\+\+|--)\s*;$')
CALL = re.compile(r'^[\w:.\->\[\]()*&<>]*\w\s*(<[^;]*>)?\s*\(')
NUMBER = re.compile(r'(?<![\w.\'])(0[xX][0-9a-fA-F]+|\d+(?:\.\d*)?(?:[eE][+-]?\d+)?)([a-zA-Z_]*)(?![\w.])')


def mutate_number(tok, suffix):
    if tok.lower().startswith('0x'):
        v = int(tok, 16)
        nv = 1 if v == 0 else 0 if v == 1 else v + 1
        digits = len(tok) - 2
        s = format(nv, 'X' if any(ch.isupper() for ch in tok[2:]) else 'x').rjust(digits, '0')
        return [tok[:2] + s + suffix]
    if re.fullmatch(r'\d+', tok):
        v = int(tok)
        return [str(1 if v == 0 else 0 if v == 1 else v + 1) + suffix]
    m = re.match(r'(\d*)(.*)', tok)  # float: integer part + 1
    ip = int(m.group(1) or '0')
    return [str(ip + 1) + m.group(2) + suffix]


def mutate_string(body):
    """Alters one character of a literal's body (escapes left alone)."""
    if body == '':
        return 'X'
    i = 0
    while i < len(body):
        ch = body[i]
        if ch == '\\':
            i += 2
            continue
        if ch.isalnum():
            if ch == 'z':
                nc = 'a'
            elif ch == 'Z':
                nc = 'A'
            elif ch == '9':
                nc = '0'
            else:
                nc = chr(ord(ch) + 1)
            return body[:i] + nc + body[i + 1:]
        i += 1
    i = 0
    while i < len(body) and body[i] == '\\':
        i += 2
    if i < len(body):
        return body[:i] + ('X' if body[i] != 'X' else 'Y') + body[i + 1:]
    return body + 'X'


def pristine(path, src):
    """The committed text of the file, whatever a worker has written there now."""
    p = subprocess.run(['git', '-C', src, 'show', 'HEAD:' + path], stdout=subprocess.PIPE)
    if p.returncode == 0:
        return p.stdout.decode()
    return open(os.path.join(src, path)).read()


def generate(path, src):
    lines = pristine(path, src).split('\n')
    masked, literals = mask_source(lines)
    mutants = []

    def add(op, ln, changes, desc):
        mutants.append({'file': path, 'line': ln + 1, 'op': op, 'desc': desc,
                        'changes': {str(k + 1): v for k, v in changes.items()}})

    def repl(ln, a, b, text):
        return lines[ln][:a] + text + lines[ln][b:]

    for ln, m in enumerate(masked):
        code = m.strip()
        if not code:
            continue
        # relational operators (spaced, so never templates or shifts)
        for mo in re.finditer(r'(?<=\s)(<=|>=|==|!=|<|>)(?=\s)', m):
            for alt in ROR[mo.group(1)]:
                add('ror', ln, {ln: repl(ln, mo.start(), mo.end(), alt)}, mo.group(1) + ' -> ' + alt)
        # && <-> ||
        for mo in re.finditer(r'(?<=\s)(&&|\|\|)(?=\s)', m):
            alt = '||' if mo.group(1) == '&&' else '&&'
            add('lcr', ln, {ln: repl(ln, mo.start(), mo.end(), alt)}, mo.group(1) + ' -> ' + alt)
        # negated conditions of if / while
        for mo in re.finditer(r'\b(if|while)\s*(constexpr\s*)?\(', m):
            open_col = mo.end() - 1
            close = matching(masked, ln, open_col, '(', ')')
            if not close:
                continue
            cl, cc = close
            # an init-statement: negate only what follows its ';'
            start_l, start_c = ln, open_col + 1
            seg = masked[ln][open_col + 1:] if cl != ln else masked[ln][open_col + 1:cc]
            depth = 0
            for k, ch in enumerate(seg):
                depth += ch in '([{'
                depth -= ch in ')]}'
                if ch == ';' and depth == 0:
                    start_c = open_col + 1 + k + 1
            changes = {}
            if cl == ln:
                s = lines[ln]
                cond = s[start_c:cc]
                lead = len(cond) - len(cond.lstrip())
                changes[ln] = s[:start_c + lead] + '!(' + cond[lead:] + ')' + s[cc:]
            else:
                s = lines[start_l]
                changes[start_l] = s[:start_c] + '!(' + s[start_c:]
                s2 = lines[cl]
                changes[cl] = s2[:cc] + ')' + s2[cc:]
            add('neg', ln, changes, mo.group(1) + ' (c) -> ' + mo.group(1) + ' (!(c))')
        # constants
        for mo in NUMBER.finditer(m):
            for alt in mutate_number(mo.group(1), mo.group(2)):
                add('const', ln, {ln: repl(ln, mo.start(), mo.end(), alt)}, mo.group(0) + ' -> ' + alt)
        for mo in re.finditer(r'\b(true|false)\b', m):
            alt = 'false' if mo.group(1) == 'true' else 'true'
            add('const', ln, {ln: repl(ln, mo.start(), mo.end(), alt)}, mo.group(1) + ' -> ' + alt)
        # statements that start on this line (the previous code line ended one)
        first = len(m) - len(m.lstrip())
        stmt_start = first
        prev = next((masked[k].strip() for k in range(ln - 1, -1, -1) if masked[k].strip()), '')
        starts = not prev or prev[-1] in ';{}' or (prev.endswith(':') and not prev.endswith('::'))
        if code.startswith('}') or code.startswith('{') or not starts:
            continue
        end = statement_end(masked, ln, stmt_start)
        if not end:
            continue
        el, ec = end
        if masked[el][ec + 1:].strip():
            continue
        text = ' '.join(masked[k].strip() for k in range(ln, el + 1))
        indent = lines[ln][:first]
        blanked = {k: '' for k in range(ln + 1, el + 1)}
        if code.startswith('return') and re.match(r'return\b', code):
            value = text[len('return'):].rstrip(';').strip()
            orig_value = ' '.join(lines[k].strip() for k in range(ln, el + 1))[len('return'):].rstrip(';').strip()
            if not value:
                continue
            alts = []
            if value == 'true':
                alts = ['false']
            elif value == 'false':
                alts = ['true']
            elif value not in ('std::nullopt', '{}', 'nullptr'):
                alts = ['{}', 'std::nullopt']
            for alt in alts:
                ch = dict(blanked)
                ch[ln] = indent + 'return ' + alt + ';'
                add('ret', ln, ch, 'return ' + orig_value[:60] + ' -> return ' + alt)
            continue
        if NOT_STATEMENT.match(code):
            continue
        if ASSIGN.match(text) or INCDEC.match(text) or (CALL.match(text) and text.endswith(');')):
            ch = dict(blanked)
            ch[ln] = indent + '{}'
            add('del', ln, ch, 'delete statement')
    # string / char literals
    for (ln, a, b, kind) in literals:
        body = lines[ln][a + 1:b - 1]
        if kind == 'chr':
            if body.startswith('\\') or len(body) != 1:
                continue
            nb = mutate_string(body)
        else:
            nb = mutate_string(body)
        q = lines[ln][a]
        add('str', ln, {ln: lines[ln][:a] + q + nb + q + lines[ln][b:]}, q + body + q + ' -> ' + q + nb + q)
    # drop no-ops and duplicates, give stable ids
    seen, out = set(), []
    for mt in mutants:
        if all(lines[int(k) - 1] == v for k, v in mt['changes'].items()):
            continue
        key = json.dumps(sorted(mt['changes'].items()))
        if key in seen:
            continue
        seen.add(key)
        mt['id'] = '%s:%d:%s:%s' % (path, mt['line'], mt['op'], hashlib.sha1(key.encode()).hexdigest()[:8])
        mt['original'] = '\n'.join(lines[int(k) - 1] for k in sorted(mt['changes'], key=int))
        mt['mutated'] = '\n'.join(mt['changes'][k] for k in sorted(mt['changes'], key=int))
        out.append(mt)
    out.sort(key=lambda x: (x['line'], x['id']))
    return out


def permutation(mutants, path, seed):
    order = list(mutants)
    random.Random('%s:%s' % (seed, path)).shuffle(order)
    return order


# ---------------------------------------------------------------- running

def sh(cmd, cwd=None, timeout=None, env=None):
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out.decode(errors='replace'), False
    except subprocess.TimeoutExpired:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        out, _ = p.communicate()
        return None, out.decode(errors='replace'), True


def object_of(build, path):
    cc = json.load(open(os.path.join(build, 'compile_commands.json')))
    for e in cc:
        if os.path.realpath(e['file']).endswith('/' + path):
            out = e.get('output') or re.search(r'-o (\S+)', e['command']).group(1)
            return os.path.join(e['directory'], out)
    raise SystemExit('no object for ' + path)


def object_hash(obj):
    tmp = obj + '.stripped'
    subprocess.run(['objcopy', '--strip-debug', obj, tmp], check=True)
    h = hashlib.sha1(open(tmp, 'rb').read()).hexdigest()
    os.unlink(tmp)
    return h


class Worker:
    def __init__(self, wid, src, build, args):
        self.wid, self.src, self.build, self.args = wid, src, build, args
        # private to this build folder, so that concurrent runs never share them
        tag = hashlib.sha1(os.path.realpath(build).encode()).hexdigest()[:8]
        self.tmp = os.path.join(ROOT, 'tmp-' + tag)
        self.home = os.path.join(ROOT, 'home-' + tag)
        self.original_hash = {}

    def ninja(self):
        cmd = ['nice', '-n', '15', 'ninja', '-C', self.build, '-j', str(self.args.jobs)] + BUILD_TARGETS
        rc, out, _ = sh(cmd, timeout=900)
        return rc == 0, out

    def prepare(self, paths):
        subprocess.run(['git', '-C', self.src, 'checkout', '-q', '--', '.'], check=True)
        ok, out = self.ninja()
        if not ok:
            raise SystemExit('worker %d: original does not build:\n%s' % (self.wid, out[-3000:]))
        for p in paths:
            self.original_hash[p] = object_hash(object_of(self.build, p))

    def env(self):
        e = dict(os.environ)
        e['TMPDIR'] = self.tmp
        e['HOME'] = self.home
        return e

    def run_group(self, group, kind, filt, timeout):
        binary = os.path.join(self.build, TEST_BINARIES[kind])
        cmd = ['nice', '-n', '15', binary, '--gtest_filter=' + filt, '--gtest_fail_fast',
               '--gtest_brief=1']
        t0 = time.time()
        rc, out, timed_out = sh(cmd, cwd=os.path.join(self.build, 'tests'), timeout=timeout, env=self.env())
        dt = round(time.time() - t0, 2)
        if timed_out:
            return {'status': 'timeout', 'time': dt}
        if rc == 0:
            return {'status': 'pass', 'time': dt}
        failed = re.findall(r'\[  FAILED  \] (\S+)', out)
        if rc < 0 and not failed:
            # killed by a signal with no assertion failing first: not a kill by a test
            return {'status': 'crash', 'time': dt, 'rc': rc}
        return {'status': 'fail', 'time': dt, 'rc': rc, 'failed': sorted(set(failed))[:5]}

    def run_mutant(self, mt, groups, coverage, timeouts, only_groups=None, long_timeout=120):
        path = mt['file']
        full = os.path.join(self.src, path)
        original = open(full).read()
        lines = original.split('\n')
        for k, v in mt['changes'].items():
            lines[int(k) - 1] = v
        rec = {k: mt[k] for k in ('id', 'file', 'line', 'op', 'desc', 'original', 'mutated')}
        try:
            with open(full, 'w') as f:
                f.write('\n'.join(lines))
            t0 = time.time()
            obj = object_of(self.build, path)
            rc, out, _ = sh(['nice', '-n', '15', 'ninja', '-C', self.build,
                             os.path.relpath(obj, self.build)], timeout=900)
            if rc != 0:
                rec['status'] = 'uncompilable'
                rec['error'] = '\n'.join(l for l in out.split('\n') if 'error' in l)[:400]
                return rec
            if object_hash(obj) == self.original_hash[path]:
                rec['status'] = 'identical'
                return rec
            ok, out = self.ninja()
            rec['build_time'] = round(time.time() - t0, 1)
            if not ok:
                rec['status'] = 'uncompilable'
                rec['error'] = '\n'.join(l for l in out.split('\n') if 'error' in l)[:400]
                return rec
            shutil.rmtree(self.tmp, ignore_errors=True)
            shutil.rmtree(self.home, ignore_errors=True)
            os.makedirs(self.tmp, exist_ok=True)
            os.makedirs(self.home, exist_ok=True)
            if only_groups is not None:
                # e2e tests wait up to 20 s per check; the others need far less
                rec['groups'] = {g: self.run_group(g, groups[g][0], groups[g][1],
                                                   long_timeout if groups[g][0] == 'e2e'
                                                   else min(long_timeout, 60))
                                 for g in only_groups}
                return rec
            selected = select_groups(mt, groups, coverage)
            if self.args.first_kill:
                # cheapest first, and no further once an assertion has failed
                selected.sort(key=lambda g: (groups[g][0] == 'e2e', self.args.measured[g], g))
            rec['groups'] = {}
            for g in selected:
                kind, filt = groups[g]
                rec['groups'][g] = self.run_group(g, kind, filt, timeouts[g])
                if self.args.first_kill and rec['groups'][g]['status'] == 'fail':
                    rec['first_kill'] = True
                    break
            rec['not_run'] = sorted(set(g for g in groups if groups[g][0] in binaries_reaching(path))
                                    - set(selected))
            rec['status'] = verdict_of([r['status'] for r in rec['groups'].values()])
            return rec
        finally:
            with open(full, 'w') as f:
                f.write(original)


def select_groups(mt, groups, coverage):
    path = mt['file']
    reach = binaries_reaching(path)
    candidates = [g for g in groups if groups[g][0] in reach]
    cov = coverage.get(path) if coverage else None
    if cov is None:
        return candidates
    lines = [int(k) for k in mt['changes']]
    executable = set(cov['executable'])
    text = mt['original']
    conservative = any(l not in executable for l in lines) or re.search(r'\b(case|default)\b', text)
    chosen = []
    for g in candidates:
        covered = set(cov['groups'].get(g, []))
        if g in ALWAYS_RUN or conservative or any(l in covered for l in lines):
            chosen.append(g)
    return chosen


def load_results(path):
    done = {}
    if os.path.exists(path):
        for line in open(path):
            line = line.strip()
            if line:
                r = json.loads(line)
                if 'confirm' in r and r['id'] in done:
                    done[r['id']]['confirm'] = r['confirm']
                else:
                    done[r['id']] = r
    return done


def effective_groups(r):
    """Group results, with timed-out groups replaced by their confirmation run."""
    g = dict(r.get('groups', {}))
    g.update(r.get('confirm', {}))
    return g


def verdict_of(statuses):
    """killed (an assertion failed), else timeout, else crash, else survived."""
    for verdict, status in (('killed', 'fail'), ('timeout', 'timeout'), ('crash', 'crash')):
        if status in statuses:
            return verdict
    return 'survived'


def effective_status(r):
    if r['status'] not in ('killed', 'timeout', 'crash', 'survived'):
        return r['status']
    return verdict_of([x['status'] for x in effective_groups(r).values()])


def cmd_confirm(args):
    """Reruns, with a long timeout, the timed-out test files of mutants whose
    verdict or single killer depends on them."""
    groups = test_groups(args.src[0])
    done = load_results(args.results)
    todo = []
    for r in done.values():
        if 'confirm' in r or 'groups' not in r:
            continue
        timed = [g for g, x in r['groups'].items() if x['status'] == 'timeout']
        failed = [g for g, x in r['groups'].items() if x['status'] == 'fail']
        if timed and (len(failed) <= 1 or args.all_timeouts):
            todo.append((r, timed))
    print(len(todo), 'mutants to confirm', flush=True)
    workers = [Worker(i, s, b, args) for i, (s, b) in enumerate(zip(args.src, args.build))]
    paths = sorted(set(r['file'] for r, _ in todo))
    with concurrent.futures.ThreadPoolExecutor(len(workers)) as ex:
        list(ex.map(lambda w: w.prepare(paths), workers))
    mutants = {}
    for p in paths:
        for m in generate(p, args.src[0]):
            mutants[m['id']] = m
    lock = threading.Lock()
    out = open(args.results, 'a')
    queue = list(todo)

    def work(w):
        while True:
            with lock:
                if not queue:
                    return
                r, timed = queue.pop(0)
            rec = w.run_mutant(mutants[r['id']], groups, None, None, only_groups=timed,
                               long_timeout=args.long_timeout)
            with lock:
                out.write(json.dumps({'id': r['id'], 'confirm': rec.get('groups', {})}) + '\n')
                out.flush()
                print('[w%d] confirm %s %s' % (w.wid, r['id'], {g: x['status'] for g, x in rec.get('groups', {}).items()}), flush=True)
    with concurrent.futures.ThreadPoolExecutor(len(workers)) as ex:
        list(ex.map(work, workers))
    for w in workers:
        subprocess.run(['git', '-C', w.src, 'checkout', '-q', '--', '.'], check=True)


def cmd_run(args):
    groups = test_groups(args.src[0])
    coverage = json.load(open(args.coverage)) if args.coverage and os.path.exists(args.coverage) else None
    timeouts = json.load(open(args.timeouts)) if args.timeouts and os.path.exists(args.timeouts) else {}
    # the measured times order the test files for --first-kill; the floored ones are only limits
    args.measured = {g: timeouts.get(g, 10.0) for g in groups}
    timeouts = {g: max(3 * timeouts.get(g, 10.0), args.min_timeout) for g in groups}
    done = load_results(args.results)
    specs = []
    for entry in args.files:
        path, _, n = entry.partition(':')
        specs.append((path, int(n) if n else args.sample))
    workers = [Worker(i, s, b, args) for i, (s, b) in enumerate(zip(args.src, args.build))]
    with concurrent.futures.ThreadPoolExecutor(len(workers)) as ex:
        list(ex.map(lambda w: w.prepare([p for p, _ in specs]), workers))
    lock = threading.Lock()
    out = open(args.results, 'a')
    for path, n in specs:
        order = permutation(generate(path, args.src[0]), path, args.seed)
        state = {'next': 0, 'compiled': sum(1 for m in order if m['id'] in done
                                            and done[m['id']]['status'] != 'uncompilable')}
        pending = [m for m in order]

        def work(w):
            while True:
                with lock:
                    # compiled counts only mutants in permutation order
                    if state['next'] >= len(pending):
                        return
                    compiled_so_far = 0
                    for m in pending[:state['next']]:
                        r = done.get(m['id'])
                        if r is None or r['status'] != 'uncompilable':
                            compiled_so_far += 1
                    if compiled_so_far >= n:
                        return
                    mt = pending[state['next']]
                    state['next'] += 1
                    if mt['id'] in done:
                        continue
                    done[mt['id']] = {'status': 'running'}
                rec = w.run_mutant(mt, groups, coverage, timeouts)
                rec['worker'] = w.wid
                with lock:
                    done[mt['id']] = rec
                    out.write(json.dumps(rec) + '\n')
                    out.flush()
                    print('[w%d] %-60s %-12s %s' % (w.wid, rec['id'], rec['status'],
                          ' '.join('%s=%s' % (g.split('/')[1][:-9], r['status'][0])
                                   for g, r in rec.get('groups', {}).items())), flush=True)
        with concurrent.futures.ThreadPoolExecutor(len(workers)) as ex:
            list(ex.map(work, workers))
    for w in workers:
        subprocess.run(['git', '-C', w.src, 'checkout', '-q', '--', '.'], check=True)


# ------------------------------------------------------------ coverage / timing

def cmd_coverage(args):
    """Runs each test file's tests alone on a --coverage build; records lines hit."""
    src, build = args.src[0], args.build[0]
    groups = test_groups(src)
    paths = args.files
    result = {p: {'executable': set(), 'groups': {}} for p in paths}
    timing = {}
    env = dict(os.environ)
    for g, (kind, filt) in groups.items():
        subprocess.run('find %s -name "*.gcda" -delete' % build, shell=True, check=True)
        t0 = time.time()
        rc, out, to = sh([os.path.join(build, TEST_BINARIES[kind]), '--gtest_filter=' + filt],
                         cwd=os.path.join(build, 'tests'), env=env, timeout=600)
        timing[g] = round(time.time() - t0, 2)
        print(g, 'rc', rc, timing[g], 's', flush=True)
        for p in paths:
            obj = object_of(build, p)
            rc2, gout, _ = sh(['gcov', '-t', '-o', os.path.dirname(obj), obj], cwd=os.path.dirname(obj))
            hit = []
            current = None
            for line in gout.split('\n'):
                mo = re.match(r'\s*([^:]+):\s*(\d+):(.*)', line)
                if not mo:
                    continue
                count, ln = mo.group(1).strip(), int(mo.group(2))
                if ln == 0:
                    if 'Source:' in mo.group(3):
                        current = mo.group(3).split('Source:', 1)[1].strip()
                    continue
                if current is None or not os.path.realpath(current).endswith('/' + p):
                    continue
                if count == '-':
                    continue
                result[p]['executable'].add(ln)
                if count not in ('#####', '=====') and count.rstrip('*') != '0':
                    hit.append(ln)
            result[p]['groups'][g] = sorted(set(hit))
    for p in paths:
        result[p]['executable'] = sorted(result[p]['executable'])
    json.dump(result, open(args.coverage, 'w'), indent=0)
    print('wrote', args.coverage)


def cmd_timing(args):
    """Times each test file's tests on the normal build (max of --repeat runs)."""
    src, build = args.src[0], args.build[0]
    groups = test_groups(src)
    w = Worker(0, src, build, args)
    os.makedirs(w.tmp, exist_ok=True)
    os.makedirs(w.home, exist_ok=True)
    timing = {}
    for g, (kind, filt) in groups.items():
        ts = []
        for _ in range(args.repeat):
            r = w.run_group(g, kind, filt, 600)
            ts.append(r['time'])
            if r['status'] != 'pass':
                print('BASELINE FAILURE', g, r)
        timing[g] = max(ts)
        print(g, ts, flush=True)
    json.dump(timing, open(args.timeouts, 'w'), indent=1)


# ------------------------------------------------------------------ report

def cmd_report(args):
    done = load_results(args.results)
    groups = test_groups(args.src[0])
    specs = []
    for entry in args.files:
        path, _, n = entry.partition(':')
        specs.append((path, int(n) if n else args.sample))
    chosen = []
    if args.markdown:
        row = '| `%s` | %d | %d | %d | %d | %d | %d | %d | %.0f %% |'
        print('| file | tried | compiled | identical | assert | tmout | crash | surv | score |')
        print('|---|---|---|---|---|---|---|---|---|')
    else:
        row = '%-40s %5d %5d %5d %6d %5d %5d %5d %5.0f%%'
        print('%-40s %5s %5s %5s %6s %5s %5s %5s %6s' % ('file', 'tried', 'compl', 'ident', 'assert',
                                                         'tmout', 'crash', 'surv', 'score'))
    tot = dict(t=0, c=0, i=0, k=0, to=0, cr=0, s=0)
    for path, n in specs:
        order = permutation(generate(path, args.src[0]), path, args.seed)
        tried, sel = 0, []
        compiled = 0
        for m in order:
            if compiled >= n:
                break
            r = done.get(m['id'])
            if r is None:
                break
            tried += 1
            if r['status'] != 'uncompilable':
                compiled += 1
                sel.append(r)
        k = sum(effective_status(r) == 'killed' for r in sel)
        to = sum(effective_status(r) == 'timeout' for r in sel)
        cr = sum(effective_status(r) == 'crash' for r in sel)
        s = sum(effective_status(r) == 'survived' for r in sel)
        i = sum(r['status'] == 'identical' for r in sel)
        c = len(sel)
        score = k / (c - i) if c - i else 1
        print(row % (path, tried, c, i, k, to, cr, s, 100 * score))
        for key, v in zip(('t', 'c', 'i', 'k', 'to', 'cr', 's'), (tried, c, i, k, to, cr, s)):
            tot[key] += v
        chosen += sel
    c = tot['c']
    print(row % ('TOTAL', tot['t'], c, tot['i'], tot['k'], tot['to'], tot['cr'], tot['s'],
                 100 * tot['k'] / max(c - tot['i'], 1)))
    print('(score = assertion kills over the compiled mutants that are not identical)\n')

    # per test file: kills, unique kills
    kills = {g: 0 for g in groups}
    unique = {g: 0 for g in groups}
    unique_ids = {g: [] for g in groups}
    per_bin = {}
    for r in chosen:
        killers = [g for g, x in effective_groups(r).items() if x['status'] == 'fail']
        for g in killers:
            kills[g] += 1
        if len(killers) == 1:
            unique[killers[0]] += 1
            unique_ids[killers[0]].append(r['id'])
        bins = set(groups[g][0] for g in killers)
        for b in bins:
            per_bin[b] = per_bin.get(b, 0) + 1
        if len(bins) == 1:
            key = 'only ' + next(iter(bins))
            per_bin[key] = per_bin.get(key, 0) + 1
    print('%-32s %6s %6s' % ('test file', 'kills', 'only'))
    for g in sorted(groups, key=lambda g: -kills[g]):
        print('%-32s %6d %6d' % (g, kills[g], unique[g]))
    print('\nper binary (mutants killed by any of its test files):', json.dumps(per_bin, sort_keys=True))
    if args.verbose:
        for g in groups:
            if unique_ids[g]:
                print('\nonly', g, ':')
                for i in unique_ids[g]:
                    print('   ', i)
    print('\nSURVIVORS')
    for r in chosen:
        if effective_status(r) in ('survived', 'identical', 'timeout', 'crash'):
            ran = ','.join(g.split('/')[1][:-9] for g in r.get('groups', {}))
            print('%s:%d [%s, %s] %s  (ran: %s)' % (r['file'], r['line'], r['op'],
                  effective_status(r), r['desc'], ran or '-'))
            for a, b in zip(r['original'].split('\n'), r['mutated'].split('\n')):
                print('    - ' + a.strip())
                print('    + ' + b.strip())


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('command', choices=['list', 'coverage', 'timing', 'run', 'confirm', 'report'])
    ap.add_argument('files', nargs='*')
    ap.add_argument('--src', action='append', help='source checkout(s), one per worker')
    ap.add_argument('--build', action='append', help='build folder(s), one per worker')
    ap.add_argument('--seed', default='vell-mut-1')
    ap.add_argument('--sample', type=int, default=40)
    ap.add_argument('--jobs', type=int, default=1, help='ninja -j per worker')
    ap.add_argument('--results', default=os.path.join(ROOT, 'results.jsonl'))
    ap.add_argument('--coverage', default=os.path.join(ROOT, 'coverage.json'))
    ap.add_argument('--timeouts', default=os.path.join(ROOT, 'timing.json'))
    ap.add_argument('--min-timeout', type=float, default=10.0)
    ap.add_argument('--repeat', type=int, default=2)
    ap.add_argument('-v', '--verbose', action='store_true')
    ap.add_argument('--long-timeout', type=float, default=120.0)
    ap.add_argument('--all-timeouts', action='store_true', help='confirm every timed-out test file')
    ap.add_argument('--markdown', action='store_true', help='report: the per-file table in Markdown')
    ap.add_argument('--first-kill', action='store_true',
                    help='stop at the first test file that kills a mutant (its kills table then '
                         'counts first killers only)')
    args = ap.parse_args()
    args.src = args.src or [os.path.join(ROOT, 'src')]
    args.build = args.build or [os.path.join(ROOT, 'build')]
    if args.command == 'list':
        for f in args.files:
            ms = generate(f, args.src[0])
            for m in ms:
                print('%s:%d %-6s %s' % (m['file'], m['line'], m['op'], m['desc']))
                for a, b in zip(m['original'].split('\n'), m['mutated'].split('\n')):
                    if a != b:
                        print('      - ' + a.strip())
                        print('      + ' + b.strip())
            print('# %s: %d mutants' % (f, len(ms)), file=sys.stderr)
    elif args.command == 'coverage':
        cmd_coverage(args)
    elif args.command == 'timing':
        cmd_timing(args)
    elif args.command == 'run':
        cmd_run(args)
    elif args.command == 'confirm':
        cmd_confirm(args)
    else:
        cmd_report(args)


if __name__ == '__main__':
    main()
