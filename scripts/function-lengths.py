#!/usr/bin/env python3
"""Lists the longest function bodies in C++ sources, in lines from the opening to the closing brace.

Usage: scripts/function-lengths.py [--max N] src cli sim   (folders or files)
A lambda counts with the function that holds it. With --max N it lists every
function longer than N lines and exits 1 when there is one (CI: --max 80)."""
import re, sys, pathlib

def strip(text):
    # Blank out comments, strings and chars so braces inside them do not count; keep newlines.
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith('//', i):
            j = text.find('\n', i); j = n if j < 0 else j
            out.append(' ' * (j - i)); i = j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2); j = n if j < 0 else j + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j])); i = j
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(')' + m.group(1) + '"', i) + len(m.group(1)) + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:end])); i = end
        elif c in '"\'':
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == '\\' else 1
            out.append(' ' * (j + 1 - i)); i = j + 1
        else:
            out.append(c); i += 1
    return ''.join(out)

HEAD = re.compile(r'([A-Za-z_~][\w:~<>]*)\s*\([^;{}]*\)\s*(const\s*)?(noexcept\s*)?(override\s*)?(->\s*[\w:<>, ]+)?\s*(:[^;{}]*)?$', re.S)
KEYWORDS = {'if', 'for', 'while', 'switch', 'catch', 'return', 'sizeof', 'decltype'}

def functions(path):
    text = strip(pathlib.Path(path).read_text(errors='replace'))
    depth_stack, results = [], []
    for m in re.finditer(r'[{}]', text):
        if m.group() == '{':
            before = text[max(0, m.start() - 400):m.start()]
            tail = re.split(r'[;{}]', before)[-1]
            h = HEAD.search(tail.strip())
            name = h.group(1) if h and h.group(1).split('::')[-1] not in KEYWORDS else None
            depth_stack.append((m.start(), name, any(s[1] for s in depth_stack)))
        elif depth_stack:
            start, name, nested = depth_stack.pop()
            if name and not nested:
                a = text.count('\n', 0, start) + 1
                b = text.count('\n', 0, m.start()) + 1
                results.append((b - a + 1, f'{path}:{a}', name))
    return results

args = sys.argv[1:]
limit = 80
enforce = args[:1] == ['--max']
if enforce:
    limit = int(args[1])
    args = args[2:]
files = [p for arg in args for p in (sorted(pathlib.Path(arg).rglob('*.cpp')) if pathlib.Path(arg).is_dir() else [pathlib.Path(arg)])]
allf = sorted((f for p in files for f in functions(p)), reverse=True)
for n, where, name in allf[:15]:
    print(f'{n:5d}  {name:40s} {where}')
over = [f for f in allf if f[0] > limit]
print(f'functions over {limit} lines: {len(over)}')
if enforce and over:
    for n, where, name in over:
        print(f'too long: {where}: {name} has {n} lines (at most {limit})', file=sys.stderr)
    sys.exit(1)
