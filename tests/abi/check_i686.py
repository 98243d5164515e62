#!/usr/bin/python3
# Static ABI checks of the 32-bit Brelon.dll that hosts load: machine type, export names,
# imported DLLs, interface vtable slot order with thiscall pop counts, the SEH handler of the SDK
# exception guard, and dialog/string resources. 32-bit code cannot run on the build machines, so
# everything is read from the file.
"""Usage: check_i686.py [path/to/Brelon.dll]

Prints one line per check ("ok", "FAIL" or "skip") and ends with
"ABI checks: N passed, N failed, N skipped". Exits 1 when a check failed.

Run it with /usr/bin/python3: it needs Debian's python3-pefile. It also uses
i686-w64-mingw32-objdump and i686-w64-mingw32-c++filt.

Data files beside this script:

expected_exports.txt  One exported name per line, exactly as in the export table (MSVC-decorated
                      names included). '#' starts a comment.

expected_vtables.txt  One vtable slot per line:  CLASS SLOT METHOD POPS
                        CLASS   the class whose vtable is read (e.g. Obj_Brelon); a namespace
                                prefix may be left out
                        SLOT    slot index from 0; or a line "CLASS * N" says the vtable
                                has exactly N slots (e.g. "Obj_Brelon * 36")
                        METHOD  unqualified member name as demangled (AddRef, ~Obj_Brelon)
                        POPS    argument bytes the member pops on return ("ret $N"); 0 for a plain
                                ret (cdecl or no arguments), '-' to skip the check
                      The check needs the COFF symbol table, so the build keeps Brelon.dll
                      unstripped.
"""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DLL = os.path.join(HERE, "..", "..", "build", "mingw-i686", "bin", "Brelon.dll")
OBJDUMP = "i686-w64-mingw32-objdump"
CXXFILT = "i686-w64-mingw32-c++filt"

# Imports a plug-in may have: system DLLs only, never a MinGW runtime.
ALLOWED_IMPORTS = [r"kernel32\.dll", r"user32\.dll", r"advapi32\.dll", r"shell32\.dll",
                   r"shlwapi\.dll", r"msvcrt\.dll", r"api-ms-win-crt-[a-z0-9-]+\.dll"]
FORBIDDEN_IMPORTS = re.compile(r"libstdc\+\+|libgcc|winpthread", re.I)

# Warning-window resources: one dialog template under Japanese, the string table in eight
# language variants (primary language with neutral or default sublanguage, and the neutral entry).
DIALOG_ID = 101
DIALOG_LANG = 1041
STRING_IDS = range(105, 111)
STRING_LANGS = {0x0004: "Chinese", 0x0007: "German", 0x0009: "English", 0x000A: "Spanish",
                0x000C: "French", 0x0010: "Italian", 0x0011: "Japanese", 0x0400: "neutral"}


class Report:
    def __init__(self):
        self.passed = self.failed = self.skipped = 0

    def ok(self, name, detail=""):
        self.passed += 1
        print(f"ok    {name}" + (f": {detail}" if detail else ""))

    def fail(self, name, detail):
        self.failed += 1
        print(f"FAIL  {name}: {detail}")

    def skip(self, name, why):
        self.skipped += 1
        print(f"skip  {name}: {why}")

    def check(self, name, problems, detail=""):
        if problems:
            self.fail(name, "; ".join(problems))
        else:
            self.ok(name, detail)


def read_list(path):
    """Lines of a data file without comments and blank lines."""
    with open(path, encoding="utf-8") as f:
        lines = [line.split("#", 1)[0].strip() for line in f]
    return [line for line in lines if line]


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


# ---- Export and import tables -----------------------------------------------------------------

def check_machine(rep, pe):
    import pefile
    problems = []
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        problems.append(f"machine 0x{pe.FILE_HEADER.Machine:x}, not i386")
    if not pe.is_dll():
        problems.append("not a DLL")
    rep.check("PE32 i386 DLL", problems)


def check_exports(rep, pe):
    expected = read_list(os.path.join(HERE, "expected_exports.txt"))
    actual = []
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        actual = [s.name.decode() if s.name else f"#{s.ordinal}"
                  for s in pe.DIRECTORY_ENTRY_EXPORT.symbols]
    problems = []
    missing = sorted(set(expected) - set(actual))
    extra = sorted(set(actual) - set(expected))
    if missing:
        problems.append("missing " + ", ".join(missing))
    if extra:
        shown = ", ".join(extra[:10]) + (f" (+{len(extra) - 10} more)" if len(extra) > 10 else "")
        problems.append("unexpected " + shown)
    rep.check("export table", problems, f"{len(actual)} names as expected")


def check_imports(rep, pe):
    names = []
    for attr in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        names += [e.dll.decode() for e in getattr(pe, attr, [])]
    allowed = re.compile("^(" + "|".join(ALLOWED_IMPORTS) + ")$", re.I)
    problems = [f"{n} is a MinGW runtime" for n in names if FORBIDDEN_IMPORTS.search(n)]
    problems += [f"{n} is not an allowed system DLL" for n in names
                 if not allowed.match(n) and not FORBIDDEN_IMPORTS.search(n)]
    rep.check("import table", problems, ", ".join(names))


# ---- Vtables and calling conventions ----------------------------------------------------------

class Image:
    """COFF symbols of the unstripped DLL, addressed by virtual address."""

    SYM = re.compile(r"^\[\s*\d+\]\(sec\s+(-?\d+)\)\(fl [^)]*\)\(ty\s+([0-9a-f]+)\)\(scl\s+(\d+)\)"
                     r" \(nx \d+\) 0x([0-9a-f]+) (.+)$")

    def __init__(self, pe, path):
        self.pe = pe
        self.path = path
        base = pe.OPTIONAL_HEADER.ImageBase
        self.sections = pe.sections
        self.symbols = []  # (va, name, section index from 1)
        for line in run(OBJDUMP, "-t", path).splitlines():
            m = self.SYM.match(line)
            if not m or int(m.group(1)) < 1 or m.group(5).startswith((".text$", ".rdata$")):
                continue
            sec = int(m.group(1))
            va = base + self.sections[sec - 1].VirtualAddress + int(m.group(4), 16)
            self.symbols.append((va, m.group(5), sec))
        self.symbols.sort()
        # A section symbol (".text") shares its address with the section's first function;
        # the function's own name is the one wanted.
        self.by_va = {}
        for va, name, _ in self.symbols:
            if va not in self.by_va or self.by_va[va].startswith("."):
                self.by_va[va] = name
        names = [name for _, name, _ in self.symbols]
        # The i686 c++filt expects the target's leading underscore (__ZTV...).
        demangled = subprocess.run([CXXFILT], input="\n".join(names) + "\n", check=True,
                                   capture_output=True, text=True).stdout.splitlines()
        self.demangled = dict(zip(names, demangled))
        self.text = [i + 1 for i, s in enumerate(self.sections)
                     if s.Characteristics & 0x20]  # IMAGE_SCN_CNT_CODE

    def next_symbol_after(self, va):
        for sva, _, _ in self.symbols:
            if sva > va:
                return sva
        return None

    def dword(self, va):
        rva = va - self.pe.OPTIONAL_HEADER.ImageBase
        return int.from_bytes(self.pe.get_data(rva, 4), "little")

    def is_code(self, va):
        rva = va - self.pe.OPTIONAL_HEADER.ImageBase
        for i in self.text:
            s = self.sections[i - 1]
            if s.VirtualAddress <= rva < s.VirtualAddress + s.Misc_VirtualSize:
                return True
        return False

    def vtable(self, cls):
        """Slot addresses of the class's vtable, or None when there is no such symbol."""
        found = None
        for va, name, _ in self.symbols:
            d = self.demangled.get(name, "")
            if d.startswith("vtable for ") and (d[11:] == cls or d[11:].endswith("::" + cls)):
                found = va
                break
        if found is None:
            return None
        end = self.next_symbol_after(found)
        slots = []
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
        for va, sym, _ in self.symbols:
            if sym == name:
                return va
        return None

    def function(self, demangled_prefix):
        """Address of the first code symbol whose demangled name starts with the prefix."""
        for va, name, _ in self.symbols:
            if self.is_code(va) and self.demangled.get(name, name).startswith(demangled_prefix):
                return va
        return None

    def disassembly(self, va):
        """objdump's listing of the function at va, up to the next symbol."""
        end = self.next_symbol_after(va) or va + 4096
        return run(OBJDUMP, "-d", "--no-show-raw-insn", f"--start-address=0x{va:x}",
                   f"--stop-address=0x{end:x}", self.path)

    def ret_pops(self, va, depth=0):
        """Set of byte counts popped by the ret instructions of the function at va."""
        end = self.next_symbol_after(va) or va + 4096
        out = self.disassembly(va)
        pops = set()
        jump = None
        for line in out.splitlines():
            m = re.search(r"\t(ret|retl)\s*(\$0x([0-9a-f]+))?\s*$", line)
            if m:
                pops.add(int(m.group(3), 16) if m.group(3) else 0)
            m = re.search(r"\tjmp\s+([0-9a-f]+) <", line)
            if m and jump is None:
                jump = int(m.group(1), 16)
        if not pops and jump is not None and depth < 2 and not (va <= jump < end):
            return self.ret_pops(jump, depth + 1)  # thunk or tail call
        return pops


def member_name(demangled):
    """'ns::Obj_Brelon::GetMode(int*)' -> 'GetMode'; '...::~Obj_Brelon()' -> '~Obj_Brelon'."""
    head = demangled.split("(", 1)[0]
    return head.rsplit("::", 1)[-1]


def check_vtables(rep, image):
    spec_path = os.path.join(HERE, "expected_vtables.txt")
    if not os.path.exists(spec_path):
        rep.fail("vtable slot order", "tests/abi/expected_vtables.txt is missing")
        return
    rows = [line.split() for line in read_list(spec_path)]
    if not image.symbols:
        rep.fail("vtable slot order", "Brelon.dll has no symbol table (stripped?)")
        return
    classes = []
    for row in rows:
        if row[0] not in classes:
            classes.append(row[0])
    for cls in classes:
        slots = image.vtable(cls)
        if slots is None:
            rep.fail(f"vtable {cls}", "no vtable symbol in Brelon.dll")
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
            i = int(slot)
            if i >= len(slots):
                order.append(f"slot {i} missing (vtable has {len(slots)})")
                continue
            got = image.function_name(slots[i])
            if member_name(got) != method:
                order.append(f"slot {i} is {got}, expected {method}")
            if want != "-":
                seen = image.ret_pops(slots[i])
                if seen != {int(want)}:
                    shown = ",".join(str(p) for p in sorted(seen)) or "no ret"
                    pops.append(f"slot {i} {method} pops {shown}, expected {want}")
        rep.check(f"vtable {cls} slot order", order, f"{len(slots)} slots")
        rep.check(f"vtable {cls} thiscall pops", pops)


# ---- SDK exception guard ----------------------------------------------------------------------

# The guard around SDK calls catches the exception an MSVC-built SDK raises for a C++ throw with a
# frame-based SEH handler: CallGuarded links a registration record naming the handler into the
# thread's chain at fs:[0]. 32-bit code cannot run here, so the pieces are checked in the file.
GUARD_HANDLER = "_BrelonSdkGuardHandler"
GUARD_FUNCTION = "plat::CallGuarded("
MSVC_CPP_EXCEPTION = 0xE06D7363
EXCEPTION_UNWIND_FLAGS = 0x66
DLL_NO_SEH = 0x0400  # IMAGE_DLLCHARACTERISTICS_NO_SEH: the loader would ignore every handler


def check_sdk_guard(rep, pe, image):
    problems = []
    handler = image.symbol(GUARD_HANDLER)
    guard = image.function(GUARD_FUNCTION)
    if handler is None or not image.is_code(handler):
        problems.append(f"no {GUARD_HANDLER} in the code")
    if guard is None:
        problems.append(f"no {GUARD_FUNCTION}...) in the code")
    if problems:
        rep.check("SDK exception guard", problems)
        return

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
    table = getattr(load_config.struct, "SEHandlerTable", 0) if load_config else 0
    if table:
        base = pe.OPTIONAL_HEADER.ImageBase
        count = load_config.struct.SEHandlerCount
        rvas = [int.from_bytes(pe.get_data(table - base + 4 * i, 4), "little")
                for i in range(count)]
        if handler - base not in rvas:
            problems.append("the SafeSEH table does not list the handler")
    rep.check("SDK exception guard", problems, f"{GUARD_HANDLER} at 0x{handler:08x}")


# ---- Resources -------------------------------------------------------------------------------

def resource_entries(pe, type_id):
    """{resource id: {language id: data}} for one resource type."""
    out = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for t in root.entries if root else []:
        if t.id != type_id:
            continue
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
    dialogs = resource_entries(pe, 5)   # RT_DIALOG
    tables = resource_entries(pe, 6)    # RT_STRING
    if not dialogs and not tables:
        rep.skip("dialog resource", "Brelon.dll has no dialog or string resources yet")
        rep.skip("string table", "Brelon.dll has no dialog or string resources yet")
        return

    problems = []
    template = dialogs.get(DIALOG_ID, {}).get(DIALOG_LANG)
    if template is None:
        langs = ", ".join(str(x) for x in dialogs.get(DIALOG_ID, {})) or "none"
        problems.append(f"dialog {DIALOG_ID} not under language {DIALOG_LANG} (has {langs})")
    elif template[2:4] != b"\xff\xff":
        problems.append("not an extended dialog template")
    else:
        ex_style = int.from_bytes(template[8:12], "little")
        items = int.from_bytes(template[16:18], "little")
        cx = int.from_bytes(template[22:24], "little")
        cy = int.from_bytes(template[24:26], "little")
        if not ex_style & 0x8:
            problems.append("not topmost")
        if items != 4:
            problems.append(f"{items} controls, expected 4")
        if (cx, cy) != (300, 90):
            problems.append(f"size {cx}x{cy}, expected 300x90")
    rep.check(f"dialog {DIALOG_ID}", problems)

    problems = []
    block_id = STRING_IDS[0] // 16 + 1
    # A variant may carry its language's neutral or default sublanguage: resource lookup falls
    # back from the user's full language id to either, so both select the same texts.
    variants = {}
    for lang, data in tables.get(block_id, {}).items():
        primary, sub = lang & 0x3FF, lang >> 10
        key = lang if lang == 0x0400 or sub not in (0, 1) else primary
        variants[key] = data
    for lang, label in STRING_LANGS.items():
        if lang not in variants:
            problems.append(f"no {label} (0x{lang:04x}) strings")
            continue
        strings = string_block(variants[lang])
        empty = [i for i in STRING_IDS if not strings[i % 16]]
        if empty:
            problems.append(f"{label} lacks " + ", ".join(str(i) for i in empty))
    extra = sorted(set(variants) - set(STRING_LANGS))
    if extra:
        problems.append("unexpected languages " + ", ".join(f"0x{x:04x}" for x in extra))
    if 0x0400 in variants and 0x0009 in variants and variants[0x0400] != variants[0x0009]:
        problems.append("neutral strings differ from English")
    rep.check(f"string table {STRING_IDS[0]}-{STRING_IDS[-1]}", problems,
              f"{len(variants)} languages")


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_DLL
    rep = Report()
    if not os.path.exists(path):
        rep.fail("Brelon.dll", f"{path} does not exist")
    else:
        import pefile
        pe = pefile.PE(path)
        check_machine(rep, pe)
        check_exports(rep, pe)
        check_imports(rep, pe)
        image = Image(pe, path)
        check_vtables(rep, image)
        check_sdk_guard(rep, pe, image)
        check_resources(rep, pe)
    print(f"ABI checks: {rep.passed} passed, {rep.failed} failed, {rep.skipped} skipped")
    return 1 if rep.failed else 0


if __name__ == "__main__":
    sys.exit(main())
