#!/usr/bin/env bash
# Checks that the settings file the POSIX build writes imports into Wine's registry intact: the
# native suite exports a full store, regedit imports it into a fresh prefix, reg export reads it
# back, and every key and value is compared by type and bytes. Last line: "regedit import: ok".
# Usage: tests/settings/wine_regedit_import.sh [native-build-dir]   (default: build/native)
set -euo pipefail

build=$(cd "${1:-build/native}" && pwd)
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[[ -x $wineserver ]] || wineserver=/usr/lib/wine/wineserver
work=$(mktemp -d)
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
winpath() { printf 'Z:%s' "${1//\//\\}"; }

BRELON_EXPORT_REGISTRY_FILE=$work/store.reg \
  "$build/bin/brelon_settings_tests" --gtest_filter='RegistryExportTest.*' >"$work/export.log"
[[ -s $work/store.reg ]] || { cat "$work/export.log"; echo "no store written"; exit 1; }

# regedit reads a file without byte-order mark in the ANSI code page (1252 under Wine, which
# would garble every non-ASCII character) and rejects a UTF-8 mark. Its own format, which it
# reads exactly, is the same text in UTF-16LE with a mark.
{ printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$work/store.reg"; } >"$work/import.reg"

"$wine" wineboot -i >/dev/null 2>&1 </dev/null
"$wineserver" -w
"$wine" regedit /S "$(winpath "$work/import.reg")"
"$wine" reg export 'HKCU\Software\COM.ORVANTIS.TEK\tether_orvantis' \
  "$(winpath "$work/exported.reg")" /y >/dev/null
"$wineserver" -w

/usr/bin/python3 - "$work/store.reg" "$work/exported.reg" <<'EOF'
import re, sys

def text_of(path):
    raw = open(path, 'rb').read()
    if raw.startswith(b'\xff\xfe'):
        return raw[2:].decode('utf-16-le')
    return raw.decode('utf-8')

def unquote(s):
    out, i = [], 0
    escapes = {'\\': '\\', '"': '"', 'n': '\n', 'r': '\r', '0': '\0'}
    while i < len(s):
        if s[i] == '\\':
            out.append(escapes[s[i + 1]])
            i += 2
        else:
            out.append(s[i])
            i += 1
    return ''.join(out)

def parse(path):
    lines, cur = [], ''
    for line in text_of(path).replace('\r', '').split('\n'):
        cur += line.strip() if cur else line
        if cur.endswith('\\') and '=hex' in cur:
            cur = cur[:-1]
            continue
        lines.append(cur)
        cur = ''
    values, section = {}, None
    for line in lines:
        if line.startswith('['):
            section = line[1:line.rindex(']')].lower()
            values.setdefault((section, None), None)
            continue
        m = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
        if not m:
            continue
        name, data = unquote(m.group(1)).lower(), m.group(2)
        if data.startswith('"'):
            value = (1, (unquote(data[1:-1]) + '\0').encode('utf-16-le'))
        elif data.startswith('dword:'):
            value = (4, int(data[6:], 16).to_bytes(4, 'little'))
        else:
            h = re.match(r'^hex(?:\(([0-9a-f]+)\))?:(.*)$', data)
            kind = int(h.group(1), 16) if h.group(1) else 3
            value = (kind, bytes(int(b, 16) for b in h.group(2).replace(' ', '').split(',') if b))
        values[(section, name)] = value
    return values

written, imported = parse(sys.argv[1]), parse(sys.argv[2])
problems = [f'{k}: written {written[k]!r}, imported {imported.get(k)!r}'
            for k in written if imported.get(k, 'missing') != written[k]]
problems += [f'{k}: only in Wine' for k in imported if k not in written]
arrow = ('hkey_current_user\\software\\com.orvantis.tek\\tether_orvantis\\shortcutdefault',
         'areamoveup')
if imported.get(arrow, (0, b''))[1] != 'Ctrl+\u2191\0'.encode('utf-16-le'):
    problems.append('the arrow default did not arrive as U+2191')
for p in problems:
    print('MISMATCH', p)
print(f'{len(written)} keys and values compared')
sys.exit(1 if problems else 0)
EOF
echo "regedit import: ok"
