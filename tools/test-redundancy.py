#!/usr/bin/env python3
"""Which tests cover nothing that the rest of the suite does not also cover.

Runs every ctest test of the coverage build alone, each writing its gcov
counters under a directory of its own, reads each test's covered lines and
branches of the product folders and pal/ with gcov, and lists the tests that
can be removed together while every covered line and branch stays covered by
a remaining test (most expensive first, by non-blank lines of the test body).

Coverage is not all a test checks: read a listed test before removing it, and
move an assertion no other test makes into a kept test on the same path.

  tools/test-redundancy.py run [BUILD]      run each test alone (about 10 minutes on 2 cores)
  tools/test-redundancy.py list             the tests that can go together
  tools/test-redundancy.py safe NAME...     whether removing these loses a line or branch
  tools/test-redundancy.py near NAME        the tests that cover most of what NAME covers

BUILD defaults to build/coverage (configure and build the coverage preset
first). NAME is Suite.Test; a parameterised test stands for all its
instances. Data is kept in $QL_PERTEST_DIR (default build/coverage-pertest).
"""
import collections, concurrent.futures as cf, json, os, re, subprocess, sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AREAS = ('printproc/', 'gateway/', 'emf/', 'jpeg2000/', 'fonts/', 'emz/', 'native/', 'port/', 'diag/', 'pal/')
# Object directories of the print processor and of the platform layer.
OBJECTS = ('CMakeFiles/qlwinprn_obj.dir', 'pal/CMakeFiles/qlpal.dir', 'pal/CMakeFiles/qlemfrender.dir')
DATA = os.environ.get('QL_PERTEST_DIR', os.path.join(ROOT, 'build', 'coverage-pertest'))
JOBS = int(os.environ.get('QL_JOBS', '2'))


def run_one(build, i, test):
    env = dict(os.environ)
    props = {p['name']: p['value'] for p in test.get('properties', [])}
    for kv in props.get('ENVIRONMENT', []):
        k, v = kv.split('=', 1)
        env[k] = v
    # gcov writes <GCOV_PREFIX>/<object path without its first STRIP components>.
    env['GCOV_PREFIX'] = os.path.join(DATA, str(i))
    env['GCOV_PREFIX_STRIP'] = str(len(os.path.abspath(build).strip('/').split('/')))
    try:
        rc = subprocess.run(test['command'], cwd=props.get('WORKING_DIRECTORY', build), env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            timeout=props.get('TIMEOUT', 600)).returncode
    except subprocess.TimeoutExpired:
        rc = 'timeout'
    return covered(build, os.path.join(DATA, str(i))), rc


def covered(build, root):
    """'L file:line' and 'B file:line:index' items with a count above zero."""
    gcdas = []
    for dirpath, _, files in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        if not rel.startswith(OBJECTS):
            continue
        for f in files:
            if f.endswith('.gcda'):
                gcno = os.path.join(dirpath, f[:-5] + '.gcno')
                if not os.path.exists(gcno):
                    os.symlink(os.path.join(build, rel, f[:-5] + '.gcno'), gcno)
                gcdas.append(os.path.join(dirpath, f))
    items = set()
    if not gcdas:
        return []
    out = subprocess.run(['gcov', '-b', '--json-format', '--stdout'] + gcdas, cwd=root,
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        if not line.startswith('{'):
            continue
        for f in json.loads(line)['files']:
            path = os.path.relpath(f['file'], ROOT) if os.path.isabs(f['file']) else f['file']
            if not path.startswith(AREAS):
                continue
            for ln in f['lines']:
                if ln['count'] > 0:
                    items.add(f"L {path}:{ln['line_number']}")
                for bi, br in enumerate(ln['branches']):
                    if br['count'] > 0 and not br.get('throw'):
                        items.add(f"B {path}:{ln['line_number']}:{bi}")
    return sorted(items)


def cmd_run(build):
    build = os.path.abspath(build)
    listing = json.loads(subprocess.run(['ctest', '--show-only=json-v1'], cwd=build,
                                        capture_output=True, text=True, check=True).stdout)
    subprocess.run(['rm', '-rf', DATA], check=True)
    os.makedirs(DATA)
    tests = listing['tests']
    with cf.ThreadPoolExecutor(JOBS) as ex:
        results = list(ex.map(lambda it: run_one(build, *it), enumerate(tests)))
    data = {t['name']: {'rc': rc, 'items': items} for t, (items, rc) in zip(tests, results)}
    with open(os.path.join(DATA, 'coverage.json'), 'w') as f:
        json.dump(data, f)
    failed = [n for n, v in data.items() if v['rc'] != 0]
    print(f"{len(data)} tests run, {len(failed)} failed{': ' + ', '.join(failed) if failed else ''}")


def load():
    with open(os.path.join(DATA, 'coverage.json')) as f:
        return {n: set(v['items']) for n, v in json.load(f).items()}


def base(name):
    """Suite.Test of a ctest name, without instance prefix, parameter and comment."""
    parts = name.split('  #')[0].split('/')
    return parts[1] if len(parts) > 1 else parts[0]


def test_costs():
    """Non-blank lines of each TEST body under tests/, and where it starts."""
    files = subprocess.run(['git', 'ls-files', 'tests/*.cpp'], cwd=ROOT, capture_output=True,
                           text=True).stdout.split()
    costs = {}
    for path in files:
        lines = open(os.path.join(ROOT, path), encoding='utf-8').read().split('\n')
        for i, line in enumerate(lines):
            m = re.match(r'\s*TEST(?:_F|_P)?\(\s*(\w+)\s*,\s*(\w+)\s*\)', line)
            if not m:
                continue
            depth, j, opened = 0, i, False
            while j < len(lines):
                depth += lines[j].count('{') - lines[j].count('}')
                opened = opened or '{' in lines[j]
                if opened and depth <= 0:
                    break
                j += 1
            costs[f'{m.group(1)}.{m.group(2)}'] = (sum(1 for l in lines[i:j + 1] if l.strip()), f'{path}:{i + 1}')
    return costs


def cmd_list():
    tests = load()
    count = collections.Counter()
    for items in tests.values():
        count.update(items)
    groups = collections.defaultdict(list)
    for name in tests:
        groups[base(name)].append(name)
    costs = test_costs()
    total = 0
    for key in sorted(groups, key=lambda k: -costs.get(k, (0, ''))[0]):
        mine = collections.Counter()
        for name in groups[key]:
            mine.update(tests[name])
        if key in costs and all(count[i] > mine[i] for i in mine):
            count.subtract(mine)
            lines, where = costs[key]
            total += lines
            print(f'{lines:4d} {where} {key}')
    print(f'{total} lines of tests can go together')


def cmd_safe(names):
    tests = load()
    gone = {n for n in tests if base(n) in names}
    unknown = [n for n in names if not any(base(t) == n for t in tests)]
    kept = set().union(*(s for n, s in tests.items() if n not in gone))
    lost = sorted(set().union(*(tests[n] for n in gone)) - kept) if gone else []
    print(f"{len(gone)} test instances removed; {len(lost)} lines and branches lost"
          + (f"; unknown: {', '.join(unknown)}" if unknown else ''))
    for item in lost:
        print('  ' + item)
    return 1 if lost or unknown else 0


def cmd_near(name):
    tests = load()
    mine = set().union(*(s for n, s in tests.items() if base(n) == name))
    print(f'{name}: {len(mine)} lines and branches; the tests that cover most of them:')
    for k, n in sorted(((len(mine & s), n) for n, s in tests.items() if base(n) != name), reverse=True)[:6]:
        print(f'  {k:5d} {n}')


def main(argv):
    if len(argv) < 2 or argv[1] not in ('run', 'list', 'safe', 'near'):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    if argv[1] == 'run':
        cmd_run(argv[2] if len(argv) > 2 else os.path.join(ROOT, 'build', 'coverage'))
    elif argv[1] == 'list':
        cmd_list()
    elif argv[1] == 'safe':
        return cmd_safe(argv[2:])
    elif len(argv) == 3:
        cmd_near(argv[2])
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
