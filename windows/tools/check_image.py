#!/usr/bin/env python3
"""Checks a built Windows image against what its kind must be.

usage: check_image.py IMAGE driver  [--entry NAME] [--pageable] [--init]
                                    [--resident NAMES] [--paged NAMES]
                                    [--dispatch-roots NAMES]
       check_image.py IMAGE program

driver:  native subsystem, entry point at NAME (default DriverEntry), imports
         only from ntoskrnl.exe and hal.dll, base relocations, no TLS, no
         static initialisers, valid checksum, no writable code; --pageable
         wants a PAGE section, --init a discardable INIT section;
         --resident and --paged take comma-separated routine names that
         must lie outside PAGE and INIT, or inside PAGE; --dispatch-roots
         names routines that may run at dispatch level: nothing they reach
         through direct calls or jumps may lie in PAGE or INIT.
program: console subsystem, imports only from system DLLs.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peimage  # noqa: E402
from peimage import (IMAGE_SCN_CNT_CODE, IMAGE_SCN_MEM_DISCARDABLE,  # noqa: E402
                     IMAGE_SCN_MEM_EXECUTE, IMAGE_SCN_MEM_NOT_PAGED, IMAGE_SCN_MEM_WRITE)

KERNEL_DLLS = {"ntoskrnl.exe", "hal.dll"}
SYSTEM_DLLS = {"kernel32.dll", "kernelbase.dll", "ntdll.dll", "msvcrt.dll", "ucrtbase.dll",
               "advapi32.dll", "setupapi.dll", "newdev.dll", "cfgmgr32.dll", "wintrust.dll", "user32.dll",
               "shell32.dll", "ole32.dll", "bcrypt.dll", "ws2_32.dll"}


def is_system_dll(name):
    n = name.lower()
    return n in SYSTEM_DLLS or n.startswith("api-ms-win-")


def objdump_dlls(path):
    """Imported DLL names as objdump sees them, or None without objdump."""
    tool = shutil.which("x86_64-w64-mingw32-objdump")
    if tool is None:
        return None
    out = subprocess.run([tool, "-p", path], capture_output=True, text=True)
    if out.returncode != 0:
        return None
    return [line.split("DLL Name:", 1)[1].strip()
            for line in out.stdout.splitlines() if "DLL Name:" in line]


def check_imports(image, path, allowed, what):
    problems = []
    dlls = image.imported_dlls()
    bad = [d for d in dlls if not allowed(d)]
    if bad:
        problems.append("imports from %s: %s" % (what, ", ".join(bad)))
    seen = objdump_dlls(path)
    if seen is not None and sorted(x.lower() for x in seen) != sorted(x.lower() for x in dlls):
        problems.append("objdump lists imports %s, the image table %s" % (seen, dlls))
    return problems, dlls


def initialiser_problems(image, symbols):
    problems = []
    for s in image.sections:
        if s.name in (".ctors", ".dtors", ".init_array", ".fini_array", ".tls") or \
                s.name.startswith(".CRT"):
            if any(image.section_content(s)):
                problems.append("section %s holds initialiser or TLS content" % s.name)
    # ld's default script lays the constructor lists into .text:
    # -1, the entries, 0. Any entry means a static initialiser.
    for label in ("__CTOR_LIST__", "__DTOR_LIST__"):
        rva = symbols.get(label)
        if rva is None:
            continue
        first = struct.unpack("<Q", image.read(rva + 8, 8))[0]
        if first != 0:
            problems.append("%s is not empty: the image has static %s" % (
                label, "constructors" if "CTOR" in label else "destructors"))
    return problems


def demangled(symbols):
    """Plain routine name for every symbol: "ns::Name(args)" gives "Name"."""
    names = list(symbols)
    tool = shutil.which("x86_64-w64-mingw32-c++filt") or shutil.which("c++filt")
    if tool is None:
        return {n: n for n in names}
    out = subprocess.run([tool], input="\n".join(names) + "\n", capture_output=True, text=True)
    plain = out.stdout.splitlines()
    if len(plain) != len(names):
        return {n: n for n in names}
    result = {}
    for sym, text in zip(names, plain):
        depth, cut = 0, len(text)
        for i, c in enumerate(text):  # drop the parameter list, keep the last scope
            if c == "(" and depth == 0 and i > 0 and not text.startswith("(anonymous", i):
                cut = i
                break
        result[sym] = text[:cut].split("::")[-1].strip()
    return result


def find_routine(symbols, name, plain=None):
    """RVA of a routine by its plain name, C or C++ (any scope)."""
    if name in symbols:
        return symbols[name]
    plain = plain if plain is not None else demangled(symbols)
    hits = {symbols[sym] for sym, p in plain.items() if p == name and not sym.startswith(".")}
    return hits.pop() if len(hits) == 1 else None


def placement_problems(image, symbols, args):
    problems = []
    plain = demangled(symbols)
    for names, want_paged in ((args.resident, False), (args.paged, True)):
        for name in filter(None, (names or "").split(",")):
            rva = find_routine(symbols, name, plain)
            if rva is None:
                problems.append("routine %s not found (or not unique) in the symbols" % name)
                continue
            section = image.section_at(rva)
            where = section.name if section else "?"
            if want_paged and where != "PAGE":
                problems.append("%s should be pageable but lies in %s" % (name, where))
            elif not want_paged and (where.startswith("PAGE") or where == "INIT"):
                problems.append("%s must stay resident but lies in %s" % (name, where))
    return problems


def direct_branches(path, image):
    """Map of routine RVA to the RVAs its direct calls and jumps reach in
    other routines, from objdump's disassembly of the code sections."""
    tool = shutil.which("x86_64-w64-mingw32-objdump")
    if tool is None:
        return None
    code = [s.name for s in image.sections if s.flags & IMAGE_SCN_CNT_CODE]
    cmd = [tool, "-d", "--no-show-raw-insn"] + ["-j%s" % name for name in code] + [path]
    out = subprocess.run(cmd, capture_output=True, text=True)
    if out.returncode != 0:
        return None
    routine_at = re.compile(r"^([0-9a-f]+) <([^>]+)>:$")
    branch = re.compile(r"^\s*[0-9a-f]+:\s+(?:rex\.W\s+)?(?:call|j[a-z]+)\s+([0-9a-f]+) <")
    edges = {}
    current = None
    for line in out.stdout.splitlines():
        m = routine_at.match(line)
        if m:
            current = int(m.group(1), 16) - image.image_base
            edges[current] = set()
            continue
        m = branch.match(line)
        if m and current is not None:
            edges[current].add(int(m.group(1), 16) - image.image_base)
    return edges


def dispatch_level_problems(image, path, symbols, roots):
    edges = direct_branches(path, image)
    if edges is None:
        return ["cannot disassemble the image (x86_64-w64-mingw32-objdump missing?)"]
    starts = sorted(edges)
    plain = demangled(symbols)
    names = {}
    for sym, rva in symbols.items():
        if not sym.startswith(".") and (rva not in names or sym.startswith("_Z")):
            names[rva] = plain.get(sym, sym)

    def routine_of(rva):
        lo, hi = 0, len(starts)
        while lo < hi:
            mid = (lo + hi) // 2
            if starts[mid] <= rva:
                lo = mid + 1
            else:
                hi = mid
        return starts[lo - 1] if lo else None

    def label(rva):
        return names.get(rva, "0x%x" % rva)

    problems = []
    for root_name in filter(None, roots.split(",")):
        root = find_routine(symbols, root_name, plain)
        if root is None:
            problems.append("routine %s not found (or not unique) in the symbols" % root_name)
            continue
        parent = {root: None}
        queue = [root]
        while queue:
            here = queue.pop(0)
            section = image.section_at(here)
            if section is not None and (section.name.startswith("PAGE") or section.name == "INIT"):
                chain = []
                step = here
                while step is not None:
                    chain.append(label(step))
                    step = parent[step]
                problems.append("%s can run at dispatch level but reaches %s code: %s" % (
                    root_name, section.name, " -> ".join(reversed(chain))))
                continue
            for target in edges.get(here, ()):
                callee = routine_of(target)
                if callee is not None and callee != here and callee not in parent:
                    parent[callee] = here
                    queue.append(callee)
    return problems


def check_driver(image, path, args):
    problems = []
    if image.subsystem != peimage.SUBSYSTEM_NATIVE:
        problems.append("subsystem is %d, a driver needs 1 (native)" % image.subsystem)
    if image.characteristics & peimage.IMAGE_FILE_DLL:
        problems.append("image is marked as a DLL")
    symbols = image.symbols()
    entry = symbols.get(args.entry)
    if entry is None:
        problems.append("no symbol %s in the image (stripped?)" % args.entry)
    elif entry != image.entry_rva:
        problems.append("entry point RVA 0x%x is not %s (0x%x)" % (image.entry_rva, args.entry, entry))
    more, dlls = check_imports(image, path, lambda d: d.lower() in KERNEL_DLLS, "outside the kernel")
    problems += more
    if "ntoskrnl.exe" not in (d.lower() for d in dlls):
        problems.append("does not import from ntoskrnl.exe")
    reloc_rva, reloc_size = image.directories[peimage.DIR_BASERELOC]
    if image.characteristics & peimage.IMAGE_FILE_RELOCS_STRIPPED or reloc_rva == 0 or reloc_size == 0:
        problems.append("no base relocations: the kernel loads drivers away from their image base")
    if image.directories[peimage.DIR_TLS] != (0, 0):
        problems.append("has a TLS directory")
    problems += initialiser_problems(image, symbols)
    if image.checksum != image.compute_checksum():
        problems.append("checksum 0x%x, should be 0x%x" % (image.checksum, image.compute_checksum()))
    for s in image.sections:
        if s.flags & IMAGE_SCN_MEM_EXECUTE and s.flags & IMAGE_SCN_MEM_WRITE:
            problems.append("section %s is writable and executable" % s.name)
    page = image.section("PAGE")
    if args.pageable:
        if page is None:
            problems.append("no PAGE section: pageable code landed elsewhere")
        elif not page.flags & IMAGE_SCN_CNT_CODE or not page.flags & IMAGE_SCN_MEM_EXECUTE:
            problems.append("PAGE is not an executable code section (flags 0x%x)" % page.flags)
    if page is not None and page.flags & (IMAGE_SCN_MEM_NOT_PAGED | IMAGE_SCN_MEM_DISCARDABLE):
        problems.append("PAGE is marked not-paged or discardable (flags 0x%x)" % page.flags)
    init = image.section("INIT")
    if args.init:
        if init is None:
            problems.append("no INIT section: init code landed elsewhere")
    if init is not None:
        if not init.flags & IMAGE_SCN_MEM_DISCARDABLE:
            problems.append("INIT is not discardable (flags 0x%x)" % init.flags)
        if entry is not None and args.init and not init.contains(entry):
            problems.append("%s is not in INIT" % args.entry)
    problems += placement_problems(image, symbols, args)
    if args.dispatch_roots:
        problems += dispatch_level_problems(image, path, symbols, args.dispatch_roots)
    return problems


def check_program(image, path, args):
    problems = []
    if image.subsystem != peimage.SUBSYSTEM_WINDOWS_CUI:
        problems.append("subsystem is %d, a console program needs 3" % image.subsystem)
    more, _ = check_imports(image, path, is_system_dll, "non-system DLLs")
    problems += more
    return problems


def main():
    p = argparse.ArgumentParser(description="Checks a built Windows image.")
    p.add_argument("image")
    p.add_argument("kind", choices=["driver", "program"])
    p.add_argument("--entry", default="DriverEntry")
    p.add_argument("--pageable", action="store_true", help="expect a PAGE section")
    p.add_argument("--init", action="store_true", help="expect an INIT section holding the entry")
    p.add_argument("--resident", help="routines that must not be pageable or discardable")
    p.add_argument("--paged", help="routines that must be in PAGE")
    p.add_argument("--dispatch-roots", help="routines that may run at dispatch level")
    args = p.parse_args()
    name = os.path.basename(args.image)
    try:
        image = peimage.Image.load(args.image)
    except (OSError, peimage.ImageError) as e:
        print("FAIL %s: %s" % (name, e))
        return 1
    check = check_driver if args.kind == "driver" else check_program
    problems = check(image, args.image, args)
    for prob in problems:
        print("FAIL %s: %s" % (name, prob))
    if problems:
        return 1
    print("ok %s: %s image, imports %s, sections %s" % (
        name, args.kind, ", ".join(image.imported_dlls()),
        " ".join("%s(0x%x)" % (s.name, s.flags) for s in image.sections)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
