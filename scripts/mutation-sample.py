#!/usr/bin/env python3
"""Plants seeded small faults in one folder's code, one at a time, and counts how many the
folder's own tests catch. Works on a private copy (/tmp/mut-FOLDER), never on the tree.

    scripts/mutation-sample.py settings --seed 1 --count 25
"""
import argparse, io, json, os, random, re, subprocess, sys, tarfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SWAP = {'<': '<=', '<=': '<', '>': '>=', '>=': '>', '==': '!=', '!=': '==',
        '+': '-', '-': '+', '&&': '||', '||': '&&', '0': '1', '1': '0', 'true': 'false', 'false': 'true'}
BINARY = re.compile(r'(?<=\s)(<=|>=|==|!=|<|>|\+|-|&&|\|\|)(?=\s)')
CONSTANT = re.compile(r'(?<![\w.\'])(0|1|true|false)(?![\w.\'])')
CALL = re.compile(r'^\s*((?:::)?[A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*\(.*\);)\s*$')
KEYWORDS = {'return', 'if', 'while', 'for', 'switch', 'delete', 'throw', 'case', 'sizeof', 'static_assert'}


def mask(text):
    """The text with comments, string and character literals blanked, offsets kept."""
    out, i, n = list(text), 0, len(text)
    while i < n:
        if text.startswith('//', i):
            j = text.find('\n', i); j = n if j < 0 else j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2); j = n if j < 0 else j + 2
        elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == '_')):
            k = text.find('(', i); delim = ')' + text[i + 2:k] + '"'
            j = text.find(delim, k); j = n if j < 0 else j + len(delim)
        elif text[i] in '"\'' and not (text[i] == "'" and i and text[i - 1].isalnum()):  # 1'000
            j = i + 1
            while j < n and text[j] != text[i] and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            j += 1
        else:
            i += 1
            continue
        out[i:j] = [c if c == '\n' else ' ' for c in text[i:j]]
        i = j
    return ''.join(out)


def sites(src, folder):
    found = []
    for path in sorted((src / folder).rglob('*.cpp')):
        rel = path.relative_to(src).as_posix()
        if re.search(r'(^|/)tests?/', rel):
            continue
        lines, prev = mask(path.read_text(encoding='utf-8', errors='surrogateescape')).split('\n'), ''
        for no, line in enumerate(lines, 1):
            code = line.strip()
            if not code or code.startswith('#'):
                continue
            for m in BINARY.finditer(line):
                found.append((rel, no, m.start(), m.group(1), SWAP[m.group(1)], 0))
            if re.search(r'\breturn\b', line) or re.match(r'(\}\s*else\s+)?(if|while)\s*\(', code) or ' ? ' in line:
                for m in CONSTANT.finditer(line):
                    if m.group(1) in '01' or 'return' in line:
                        found.append((rel, no, m.start(), m.group(1), SWAP[m.group(1)], 0))
            m = CALL.match(line)
            if (m and re.match(r'[\w:]+', m.group(1)).group(0) not in KEYWORDS and line.count('(') == line.count(')')
                    and (prev.endswith((';', '{', '}', ')')) or prev == 'else')):
                found.append((rel, no, m.start(1), None, '{}', len(m.group(1))))
            prev = code
    return found


def run(cmd, timeout=None, **kw):
    try:
        return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=timeout, **kw).returncode
    except subprocess.TimeoutExpired:
        return -1


def sync(src, rev):
    """Copies the tree (or commit rev) into src, touching only files whose bytes changed."""
    def put(rel, data):
        dst = src / rel
        if not dst.exists() or dst.read_bytes() != data:
            dst.parent.mkdir(parents=True, exist_ok=True)
            dst.write_bytes(data)
    if rev:
        blob = subprocess.run(['git', '-C', ROOT, 'archive', rev], stdout=subprocess.PIPE, check=True).stdout
        with tarfile.open(fileobj=io.BytesIO(blob)) as tar:
            for member in tar.getmembers():
                if member.isfile():
                    put(member.name, tar.extractfile(member).read())
        return
    files = subprocess.run(['git', '-C', ROOT, 'ls-files', '-z', '-co', '--exclude-standard'],
                           stdout=subprocess.PIPE, check=True).stdout.decode().split('\0')
    for rel in filter(None, files):
        if (ROOT / rel).is_file():
            put(rel, (ROOT / rel).read_bytes())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('folder', choices=['engine', 'serial', 'settings', 'app', 'cli'])
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--count', type=int, default=25)
    ap.add_argument('--timeout', type=int, default=120, help='seconds per test')
    ap.add_argument('--rev', help='use this commit instead of the working tree')
    ap.add_argument('--list', action='store_true', help='only print the chosen faults')
    args = ap.parse_args()
    work = Path('/tmp') / f'mut-{args.folder}'
    src, build = work / 'src', work / 'build'
    src.mkdir(parents=True, exist_ok=True)
    sync(src, args.rev)
    pool = sites(src, args.folder)
    chosen = sorted(random.Random(args.seed).sample(pool, min(args.count, len(pool))))
    if args.list:
        return print('\n'.join('%s:%d  %s -> %s' % (m[0], m[1], m[3] or 'call', m[4]) for m in chosen))
    env = dict(os.environ, QT_QPA_PLATFORM='offscreen')
    if run(['cmake', '-S', src, '-B', build, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=RelWithDebInfo',
            '-DKORVI_BUILD_BENCH=OFF', '-DKORVI_BUILD_APP=' + ('ON' if args.folder == 'app' else 'OFF')]):
        sys.exit('configure failed in %s' % build)
    # The folder's own targets (Ninja's per-folder "all"), so that its test list exists.
    if run(['cmake', '--build', build, '-j2', '--target', args.folder + '/all']):
        sys.exit('the unchanged copy does not build (%s)' % build)
    tests = json.loads(subprocess.run(['ctest', '--test-dir', build, '--show-only=json-v1'],
                                      stdout=subprocess.PIPE, check=True).stdout)['tests']
    prefix = str(build / args.folder) + '/'
    mine = [t for t in tests if t.get('command', [''])[0].startswith(prefix)]
    targets = sorted({Path(t['command'][0]).name for t in mine})
    names = '^(%s)$' % '|'.join(re.sub(r'([.^$*+?()\[\]{}|\\])', r'\\\1', t['name']) for t in mine)
    def tests_fail():
        return run(['ctest', '--test-dir', build, '-R', names, '-j2', '--timeout', str(args.timeout),
                    '--stop-on-failure'], timeout=args.timeout * 10 + 60, env=env) != 0
    if not mine or tests_fail():
        sys.exit('no tests, or they fail without a fault: nothing to measure')
    print('%s: %d sites, %d tests in %s' % (args.folder, len(pool), len(mine), ' '.join(targets)))
    caught = viable = 0
    for k, (rel, no, col, old, new, size) in enumerate(chosen, 1):
        path = src / rel
        original = path.read_bytes()
        text = original.decode('utf-8', 'surrogateescape')
        start = sum(len(l) + 1 for l in text.split('\n')[:no - 1]) + col
        if old is None:  # the whole call statement, measured on the masked line (comments blanked)
            old = text[start:start + size]
        assert text[start:start + len(old)] == old, (rel, no, old)
        path.write_bytes((text[:start] + new + text[start + len(old):]).encode('utf-8', 'surrogateescape'))
        try:
            if run(['cmake', '--build', build, '-j2', '--target'] + targets, timeout=900):
                verdict = 'not viable'
            else:
                viable += 1
                verdict = 'caught' if tests_fail() else 'MISSED'
                caught += verdict == 'caught'
        finally:
            path.write_bytes(original)
        shown = old if len(old) < 40 else old[:37] + '...'
        print('[%2d/%d] %-10s %s:%d  %s -> %s' % (k, len(chosen), verdict, rel, no, shown, new), flush=True)
    share = 100.0 * caught / viable if viable else 0.0
    print('%s: caught/viable = %d/%d = %.0f %%' % (args.folder, caught, viable, share))
    return 0


if __name__ == '__main__':
    sys.exit(main())
