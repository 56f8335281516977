#!/usr/bin/env bash
# Test lines against library lines: lines that are neither blank nor comments.
#   library = le/ + tools/       tests = tests/ (fixtures and CMake files too) + fuzz/
# Benchmarks count as neither. A line holding code and a trailing comment is
# code; a Python docstring is a comment. Files are the ones git knows (tracked
# or untracked but not ignored), or every file outside a git work tree.
#   scripts/test-ratio.sh [-v]     -v also prints each file's count
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
verbose=0
[ "${1:-}" = -v ] && verbose=1

list() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -co --exclude-standard -- "$@"
  else
    find "$@" -type f -not -path '*/__pycache__/*'
  fi
}

# count: one file name a line in, "<lines> <file>" out.
read -r -d '' counter <<'PY' || true
import re, sys

C_LIKE = ('.c', '.cc', '.cpp', '.h', '.hpp', '.map')
HASH = ('.py', '.cmake', '.sh', '.supp', '.txt', '.toml', '.cfg')

def c_lines(text):
    """Marks each line holding something outside comments."""
    code = [False] * (text.count('\n') + 1)
    i, n, line = 0, len(text), 0
    while i < n:
        ch = text[i]
        if ch == '\n':
            line += 1; i += 1
        elif text.startswith('//', i):
            while i < n and text[i] != '\n':
                i += 1
        elif text.startswith('/*', i):
            end = text.find('*/', i + 2)
            end = n if end < 0 else end + 2
            line += text.count('\n', i, end); i = end
        elif ch.isspace():
            i += 1
        else:
            code[line] = True
            m = re.match(r'(?:u8|u|U|L)?R"([^(\s]{0,16})\(', text[i:i + 24])
            if m:  # raw string: runs to )delim"
                end = text.find(')' + m.group(1) + '"', i + m.end())
                end = n if end < 0 else end + len(m.group(1)) + 2
            elif ch in '"\'':
                end = i + 1
                while end < n and text[end] != ch and text[end] != '\n':
                    end += 2 if text[end] == '\\' else 1
                end += 1
            else:
                end = i + 1
            for k in range(line, line + text.count('\n', i, end) + 1):
                code[k] = True
            line += text.count('\n', i, end); i = end
    return sum(code)

def hash_lines(text, python):
    total, doc = 0, None
    for raw in text.splitlines():
        s = raw.strip()
        if doc:                               # inside a docstring
            if doc in s:
                doc = None
            continue
        if python:
            m = re.match(r'[rRbBuU]?("""|\'\'\')', s)
            if m:                             # a string standing alone: docstring
                rest = s[m.end():]
                if m.group(1) not in rest:
                    doc = m.group(1)
                continue
        if s and not s.startswith('#'):
            total += 1
    return total

verbose = sys.argv[1] == '1'
for name in sys.stdin.read().split('\n'):
    if not name:
        continue
    try:
        text = open(name, encoding='utf-8').read()
    except (UnicodeDecodeError, IsADirectoryError, FileNotFoundError):
        continue                              # binary or vanished
    base = name.rsplit('/', 1)[-1]
    if name.endswith(C_LIKE):
        n = c_lines(text)
    elif name.endswith(HASH) or base == 'CMakeLists.txt':
        n = hash_lines(text, name.endswith('.py'))
    else:
        n = sum(1 for l in text.splitlines() if l.strip())
    print(n, name)
PY
count() { /usr/bin/python3 -c "$counter" "$verbose"; }

total() { awk '{ s += $1 } END { print s + 0 }'; }

lib=$(list le tools | count)
tst=$(list tests fuzz | count)
if [ "$verbose" = 1 ]; then
  printf '%s\n' "$lib" "$tst" | sort -n
fi
lib_n=$(printf '%s\n' "$lib" | total)
tst_n=$(printf '%s\n' "$tst" | total)
echo "library lines (le/ + tools/):  $lib_n"
echo "test lines (tests/ + fuzz/):   $tst_n"
awk -v t="$tst_n" -v l="$lib_n" 'BEGIN { printf "ratio:                         %.2f\n", (l ? t / l : 0) }'
