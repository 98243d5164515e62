#!/usr/bin/python3
# Static ABI checks of the 32-bit Brelon.dll that hosts load: machine type, export names,
# imported DLLs, interface vtable slot order with thiscall pop counts, the SEH handler of the SDK
# exception guard, and dialog/string resources. 32-bit code cannot run on the build machines, so
# everything is read from the file.
"""Usage: check_i686.py [Brelon.dll]. One "ok"/"FAIL"/"skip" line per check, then the counts;
exit 1 on a failure. Reads expected_exports.txt and expected_vtables.txt ("CLASS SLOT METHOD POPS",
POPS the bytes "ret $N" pops or '-'; "CLASS * N" for the slot count) beside it."""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DLL = os.path.join(HERE, "..", "..", "build", "mingw-i686", "bin", "Brelon.dll")
OBJDUMP, CXXFILT = "i686-w64-mingw32-objdump", "i686-w64-mingw32-c++filt"

# Imports a plug-in may have: system DLLs only, never a MinGW runtime.
ALLOWED_IMPORTS = re.compile(r"^(kernel32|user32|advapi32|shell32|shlwapi|msvcrt|"
                             r"api-ms-win-crt-[a-z0-9-]+)\.dll$", re.I)
FORBIDDEN_IMPORTS = re.compile(r"libstdc\+\+|libgcc|winpthread", re.I)

# Warning-window resources: one dialog template under Japanese, the string table in eight
# language variants (primary language with neutral or default sublanguage, and the neutral entry).
DIALOG_ID, DIALOG_LANG = 101, 1041
STRING_IDS = range(105, 111)
STRING_LANGS = {0x0004: "Chinese", 0x0007: "German", 0x0009: "English", 0x000A: "Spanish",
                0x000C: "French", 0x0010: "Italian", 0x0011: "Japanese", 0x0400: "neutral"}


class Report:
    def __init__(self):
        self.counts = {"ok": 0, "FAIL": 0, "skip": 0}

    def line(self, kind, name, detail=""):
        self.counts[kind] += 1
        print(f"{kind:5} {name}" + (f": {detail}" if detail else ""))

    def check(self, name, problems, detail=""):
        self.line(*(("FAIL", name, "; ".join(problems)) if problems else ("ok", name, detail)))


def read_list(path):
    """Lines of a data file without comments and blank lines."""
    with open(path, encoding="utf-8") as f:
        return [s for s in (line.split("#", 1)[0].strip() for line in f) if s]


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


# ---- Headers, export and import tables ---------------------------------------------------------

def check_tables(rep, pe):
    import pefile
    problems = []
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        problems.append(f"machine 0x{pe.FILE_HEADER.Machine:x}, not i386")
    if not pe.is_dll():
        problems.append("not a DLL")
    rep.check("PE32 i386 DLL", problems)

    expected = read_list(os.path.join(HERE, "expected_exports.txt"))
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    actual = [s.name.decode() if s.name else f"#{s.ordinal}" for s in exports.symbols] \
        if exports else []
    missing, extra = sorted(set(expected) - set(actual)), sorted(set(actual) - set(expected))
    problems = ["missing " + ", ".join(missing)] if missing else []
    if extra:
        more = f" (+{len(extra) - 10} more)" if len(extra) > 10 else ""
        problems.append("unexpected " + ", ".join(extra[:10]) + more)
    rep.check("export table", problems, f"{len(actual)} names as expected")

    names = [e.dll.decode() for attr in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT")
             for e in getattr(pe, attr, [])]
    problems = [f"{n} is a MinGW runtime" if FORBIDDEN_IMPORTS.search(n) else
                f"{n} is not an allowed system DLL"
                for n in names if FORBIDDEN_IMPORTS.search(n) or not ALLOWED_IMPORTS.match(n)]
    rep.check("import table", problems, ", ".join(names))


# ---- Vtables and calling conventions -----------------------------------------------------------

class Image:
    """COFF symbols of the unstripped DLL, addressed by virtual address."""

    SYM = re.compile(r"^\[\s*\d+\]\(sec\s+(-?\d+)\)\(fl [^)]*\)\(ty\s+([0-9a-f]+)\)\(scl\s+(\d+)\)"
                     r" \(nx \d+\) 0x([0-9a-f]+) (.+)$")

    def __init__(self, pe, path):
        self.pe, self.path, self.base = pe, path, pe.OPTIONAL_HEADER.ImageBase
        self.symbols = []  # (va, name)
        for line in run(OBJDUMP, "-t", path).splitlines():
            m = self.SYM.match(line)
            if m and int(m.group(1)) >= 1 and not m.group(5).startswith((".text$", ".rdata$")):
                section = pe.sections[int(m.group(1)) - 1]
                self.symbols.append((self.base + section.VirtualAddress + int(m.group(4), 16),
                                     m.group(5)))
        self.symbols.sort()
        # A section symbol (".text") shares its address with the section's first function;
        # the function's own name is the one wanted.
        self.by_va = {}
        for va, name in self.symbols:
            if va not in self.by_va or self.by_va[va].startswith("."):
                self.by_va[va] = name
        names = [name for _, name in self.symbols]
        # The i686 c++filt expects the target's leading underscore (__ZTV...).
        demangled = subprocess.run([CXXFILT], input="\n".join(names) + "\n", check=True,
                                   capture_output=True, text=True).stdout.splitlines()
        self.demangled = dict(zip(names, demangled))
        self.code = [(s.VirtualAddress, s.VirtualAddress + s.Misc_VirtualSize)
                     for s in pe.sections if s.Characteristics & 0x20]  # IMAGE_SCN_CNT_CODE

    def next_symbol_after(self, va):
        return next((sva for sva, _ in self.symbols if sva > va), None)

    def dword(self, va):
        return int.from_bytes(self.pe.get_data(va - self.base, 4), "little")

    def is_code(self, va):
        return any(lo <= va - self.base < hi for lo, hi in self.code)

    def vtable(self, cls):
        """Slot addresses of the class's vtable, or None when there is no such symbol."""
        found = next((va for va, name in self.symbols
                      if (d := self.demangled.get(name, "")).startswith("vtable for ")
                      and (d[11:] == cls or d[11:].endswith("::" + cls))), None)
        if found is None:
            return None
        end, slots = self.next_symbol_after(found), []
        va = found + 8  # offset-to-top and type-info come first
        while (end is None or va < end) and self.is_code(self.dword(va)):
            slots.append(self.dword(va))
            va += 4
        return slots

    def function_name(self, va):
        name = self.by_va.get(va)
        return self.demangled.get(name, name) if name else f"0x{va:08x}"

    def symbol(self, name):
        """Address of the symbol with this exact (mangled) name, or None."""
        return next((va for va, sym in self.symbols if sym == name), None)

    def function(self, prefix):
        """Address of the first code symbol whose demangled name starts with the prefix."""
        return next((va for va, name in self.symbols
                     if self.is_code(va) and self.demangled.get(name, name).startswith(prefix)),
                    None)

    def disassembly(self, va):
        """objdump's listing of the function at va, up to the next symbol."""
        end = self.next_symbol_after(va) or va + 4096
        return run(OBJDUMP, "-d", "--no-show-raw-insn", f"--start-address=0x{va:x}",
                   f"--stop-address=0x{end:x}", self.path)

    def ret_pops(self, va, depth=0):
        """Set of byte counts popped by the ret instructions of the function at va."""
        end = self.next_symbol_after(va) or va + 4096
        pops, jump = set(), None
        for line in self.disassembly(va).splitlines():
            if m := re.search(r"\t(ret|retl)\s*(\$0x([0-9a-f]+))?\s*$", line):
                pops.add(int(m.group(3), 16) if m.group(3) else 0)
            if (m := re.search(r"\tjmp\s+([0-9a-f]+) <", line)) and jump is None:
                jump = int(m.group(1), 16)
        if not pops and jump is not None and depth < 2 and not (va <= jump < end):
            return self.ret_pops(jump, depth + 1)  # thunk or tail call
        return pops


def check_vtables(rep, image):
    path = os.path.join(HERE, "expected_vtables.txt")
    problems = ([] if os.path.exists(path) else ["tests/abi/expected_vtables.txt is missing"]) + \
        ([] if image.symbols else ["Brelon.dll has no symbol table (stripped?)"])
    if problems:
        return rep.check("vtable slot order", problems)
    rows = [line.split() for line in read_list(path)]
    for cls in dict.fromkeys(row[0] for row in rows):
        slots = image.vtable(cls)
        if slots is None:
            rep.check(f"vtable {cls}", ["no vtable symbol in Brelon.dll"])
            continue
        order, pops = [], []
        for row in (r for r in rows if r[0] == cls):
            if len(row) == 3 and row[1] == "*":
                if len(slots) != int(row[2]):
                    order.append(f"{len(slots)} slots, expected {row[2]}")
                continue
            if len(row) != 4:
                order.append(f"bad line '{' '.join(row)}'")
                continue
            _, slot, method, want = row
            if (i := int(slot)) >= len(slots):
                order.append(f"slot {i} missing (vtable has {len(slots)})")
                continue
            # 'ns::Obj_Brelon::GetMode(int*)' -> 'GetMode'
            if (got := image.function_name(slots[i])).split("(", 1)[0].rsplit("::", 1)[-1] \
                    != method:
                order.append(f"slot {i} is {got}, expected {method}")
            if want != "-" and (seen := image.ret_pops(slots[i])) != {int(want)}:
                shown = ",".join(str(p) for p in sorted(seen)) or "no ret"
                pops.append(f"slot {i} {method} pops {shown}, expected {want}")
        rep.check(f"vtable {cls} slot order", order, f"{len(slots)} slots")
        rep.check(f"vtable {cls} thiscall pops", pops)


# ---- SDK exception guard -----------------------------------------------------------------------

# The guard around SDK calls catches the exception an MSVC-built SDK raises for a C++ throw with a
# frame-based SEH handler: CallGuarded links a registration record naming the handler into the
# thread's chain at fs:[0]. 32-bit code cannot run here, so the pieces are checked in the file.
GUARD_HANDLER, GUARD_FUNCTION = "_BrelonSdkGuardHandler", "plat::CallGuarded("
MSVC_CPP_EXCEPTION, EXCEPTION_UNWIND_FLAGS = 0xE06D7363, 0x66
DLL_NO_SEH = 0x0400  # IMAGE_DLLCHARACTERISTICS_NO_SEH: the loader would ignore every handler


def check_sdk_guard(rep, pe, image):
    handler, guard = image.symbol(GUARD_HANDLER), image.function(GUARD_FUNCTION)
    problems = [f"no {GUARD_HANDLER} in the code"] if handler is None or not image.is_code(
        handler) else []
    problems += [f"no {GUARD_FUNCTION}...) in the code"] if guard is None else []
    if problems:
        return rep.check("SDK exception guard", problems)
    code = image.disassembly(handler)
    if f"$0x{MSVC_CPP_EXCEPTION:x}" not in code:
        problems.append(f"the handler does not test code 0x{MSVC_CPP_EXCEPTION:08X}")
    if f"$0x{EXCEPTION_UNWIND_FLAGS:x}" not in code:
        problems.append("the handler does not tell unwinds from exceptions")
    code = image.disassembly(guard)
    if f"$0x{handler:x}," not in code:
        problems.append("CallGuarded does not put the handler into its registration record")
    if not re.search(r",%fs:0x0\s*$", code, re.M):
        problems.append("CallGuarded does not link a record at fs:[0]")
    if pe.OPTIONAL_HEADER.DllCharacteristics & DLL_NO_SEH:
        problems.append("the DLL is marked NO_SEH")
    load_config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    if table := getattr(load_config.struct, "SEHandlerTable", 0) if load_config else 0:
        rvas = [image.dword(table + 4 * i) for i in range(load_config.struct.SEHandlerCount)]
        if handler - image.base not in rvas:
            problems.append("the SafeSEH table does not list the handler")
    rep.check("SDK exception guard", problems, f"{GUARD_HANDLER} at 0x{handler:08x}")


# ---- Resources ---------------------------------------------------------------------------------

def resource_entries(pe, type_id):
    """{resource id: {language id: data}} for one resource type."""
    out = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for t in (t for t in (root.entries if root else []) if t.id == type_id):
        for r in t.directory.entries:
            for lang in r.directory.entries:
                d = lang.data.struct
                out.setdefault(r.id, {})[lang.id] = pe.get_data(d.OffsetToData, d.Size)
    return out


def string_block(data):
    """The 16 UTF-16 strings of one string-table block."""
    strings, pos = [], 0
    for _ in range(16):
        n = int.from_bytes(data[pos:pos + 2], "little")
        strings.append(data[pos + 2:pos + 2 + 2 * n].decode("utf-16-le"))
        pos += 2 + 2 * n
    return strings


def check_resources(rep, pe):
    dialogs, tables = resource_entries(pe, 5), resource_entries(pe, 6)  # RT_DIALOG, RT_STRING
    if not dialogs and not tables:
        for name in ("dialog resource", "string table"):
            rep.line("skip", name, "Brelon.dll has no dialog or string resources yet")
        return
    problems = []
    template = dialogs.get(DIALOG_ID, {}).get(DIALOG_LANG)
    if template is None:
        langs = ", ".join(str(x) for x in dialogs.get(DIALOG_ID, {})) or "none"
        problems.append(f"dialog {DIALOG_ID} not under language {DIALOG_LANG} (has {langs})")
    elif template[2:4] != b"\xff\xff":
        problems.append("not an extended dialog template")
    else:
        field = lambda lo, hi: int.from_bytes(template[lo:hi], "little")
        if not field(8, 12) & 0x8:  # extended style
            problems.append("not topmost")
        if (items := field(16, 18)) != 4:
            problems.append(f"{items} controls, expected 4")
        if (size := (field(22, 24), field(24, 26))) != (300, 90):
            problems.append(f"size {size[0]}x{size[1]}, expected 300x90")
    rep.check(f"dialog {DIALOG_ID}", problems)

    # A variant may carry its language's neutral or default sublanguage: resource lookup falls
    # back from the user's full language id to either, so both select the same texts.
    problems, variants = [], {}
    for lang, data in tables.get(STRING_IDS[0] // 16 + 1, {}).items():
        variants[lang if lang == 0x0400 or lang >> 10 not in (0, 1) else lang & 0x3FF] = data
    for lang, label in STRING_LANGS.items():
        if lang not in variants:
            problems.append(f"no {label} (0x{lang:04x}) strings")
        elif empty := [i for i in STRING_IDS if not string_block(variants[lang])[i % 16]]:
            problems.append(f"{label} lacks " + ", ".join(str(i) for i in empty))
    if extra := sorted(set(variants) - set(STRING_LANGS)):
        problems.append("unexpected languages " + ", ".join(f"0x{x:04x}" for x in extra))
    if 0x0400 in variants and 0x0009 in variants and variants[0x0400] != variants[0x0009]:
        problems.append("neutral strings differ from English")
    rep.check(f"string table {STRING_IDS[0]}-{STRING_IDS[-1]}", problems,
              f"{len(variants)} languages")


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_DLL
    rep = Report()
    if not os.path.exists(path):
        rep.check("Brelon.dll", [f"{path} does not exist"])
    else:
        import pefile
        pe = pefile.PE(path)
        check_tables(rep, pe)
        image = Image(pe, path)
        check_vtables(rep, image)
        check_sdk_guard(rep, pe, image)
        check_resources(rep, pe)
    c = rep.counts
    print(f"ABI checks: {c['ok']} passed, {c['FAIL']} failed, {c['skip']} skipped")
    return 1 if c["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main())
