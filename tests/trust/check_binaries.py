#!/usr/bin/env python3
"""Checks built programs for what protects their users, with binutils (objdump, readelf).

    check_binaries.py [--stripped] [--compile-commands FILE] PROGRAM...

Windows programs (PE): load-time imports only from kernel32, user32, gdi32, advapi32 and msvcrt (the
rest delay-loaded); DYNAMIC_BASE, HIGH_ENTROPY_VA and NX_COMPAT set; no section both writable and
executable; the stack protector's runtime linked in. (mingw-w64's fortified calls check inline and
leave no trace when every check is decided at compile time, as in these programs: --compile-commands
checks _FORTIFY_SOURCE instead.)
Linux programs (ELF): PIE, full RELRO (GNU_RELRO and BIND_NOW), a stack that is not executable, the
stack protector and fortified calls imported from the C library, and endbr64 landing pads
(-fcf-protection).
--stripped leaves out what needs the symbol table (a released, stripped program).
--compile-commands checks that every source of the project was compiled with the hardening flags,
among them those that leave no trace a tool can read in the program (-fstack-clash-protection).

Prints one line per program, "ok" or every fault by name; exits 1 when any program has a fault.
"""
import argparse
import json
import os
import re
import subprocess
import sys

PE_OBJDUMP = os.environ.get("KV_PE_OBJDUMP", "x86_64-w64-mingw32-objdump")
ELF_READELF = os.environ.get("KV_READELF", "readelf")
ELF_OBJDUMP = os.environ.get("KV_OBJDUMP", "objdump")

LOAD_TIME_DLLS = ("kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll")
PE_BITS = {"HIGH_ENTROPY_VA": 0x0020, "DYNAMIC_BASE": 0x0040, "NX_COMPAT": 0x0100}
WINDOWS_FLAGS = ("-fstack-protector-strong", "-D_FORTIFY_SOURCE=2")
LINUX_FLAGS = WINDOWS_FLAGS + ("-fPIE", "-fstack-clash-protection", "-fcf-protection")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def kind_of(path):
    with open(path, "rb") as f:
        magic = f.read(4)
    if magic[:2] == b"MZ":
        return "pe"
    if magic == b"\x7fELF":
        return "elf"
    return None


def pe_facts(path):
    """Load-time and delay-loaded DLLs, DllCharacteristics, writable+executable sections, symbols."""
    headers = run(PE_OBJDUMP, "-p", path)
    match = re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)", headers, re.M)
    characteristics = int(match.group(1), 16) if match else 0
    # objdump prints the load-time import tables, each DLL as "DLL Name: X".
    imports = []
    in_imports = False
    for line in headers.splitlines():
        if line.startswith("The "):
            in_imports = line.startswith("The Import Tables")
        elif in_imports and "DLL Name:" in line:
            imports.append(line.split("DLL Name:", 1)[1].strip())
    sections = run(PE_OBJDUMP, "-h", path)
    writable_code = []
    lines = sections.splitlines()
    for i, line in enumerate(lines):
        fields = line.split()
        if len(fields) >= 7 and fields[0].isdigit() and i + 1 < len(lines):
            flags = lines[i + 1]
            if "CODE" in flags and "READONLY" not in flags:
                writable_code.append(fields[1])
    symbols = set(re.findall(r"\s(\S+)$", run(PE_OBJDUMP, "-t", path), re.M))
    # GNU ld leaves the delay-import directory of dlltool's delay-import libraries empty (each call
    # finds its DLL through its own descriptor), so objdump cannot list them: the libraries' symbols
    # (cmake/delayload.cmake) name the DLLs instead.
    pattern = re.compile(r"__DLL_HANDLE_lib(\w+)_delay_a$")
    delayed = sorted({m.group(1) + ".dll" for m in map(pattern.match, symbols) if m})
    return {"imports": imports, "delayed": delayed, "characteristics": characteristics,
            "writable_code": writable_code, "symbols": symbols}


def check_pe(path, stripped):
    facts = pe_facts(path)
    faults = []
    for dll in facts["imports"]:
        if dll.lower() not in LOAD_TIME_DLLS:
            faults.append(f"imports {dll} at load time (only {', '.join(LOAD_TIME_DLLS)} may be; "
                          "delay-load the rest)")
    for name, bit in PE_BITS.items():
        if not facts["characteristics"] & bit:
            faults.append(f"{name} not set (DllCharacteristics {facts['characteristics']:#06x})")
    for section in facts["writable_code"]:
        faults.append(f"section {section} is writable and executable")
    if not stripped:
        if "__stack_chk_fail" not in facts["symbols"]:
            faults.append("no stack protector (__stack_chk_fail not linked in)")
    return faults, facts


def elf_facts(path):
    header = run(ELF_READELF, "-hW", path)
    segments = run(ELF_READELF, "-lW", path)
    dynamic = run(ELF_READELF, "-dW", path)
    dynsyms = run(ELF_READELF, "--dyn-syms", "-W", path)
    stack = re.search(r"^\s*GNU_STACK\s.*\s([RWE ]{1,3})\s+0x[0-9a-f]+$", segments, re.M)
    imported = set(re.findall(r"\sUND\s+([A-Za-z_][A-Za-z0-9_]*)", dynsyms))
    flags = " ".join(re.findall(r"\((?:FLAGS|FLAGS_1)\)\s+Flags:\s*(.*)$", dynamic, re.M)).split()
    return {
        "type": (re.search(r"^\s*Type:\s+(\S+)", header, re.M) or [None, "?"])[1],
        "pie": "PIE" in flags,
        "relro": bool(re.search(r"^\s*GNU_RELRO\s", segments, re.M)),
        "bind_now": "BIND_NOW" in flags or "NOW" in flags or "(BIND_NOW)" in dynamic,
        "stack": stack.group(1).strip() if stack else None,
        "stack_protector": "__stack_chk_fail" in imported,
        "fortified": sorted(s for s in imported if re.fullmatch(r"__\w+_chk", s) and s != "__stack_chk_fail"),
    }


def main_starts_with_endbr64(path):
    code = run(ELF_OBJDUMP, "-d", "--no-show-raw-insn", "--disassemble=main", path)
    instructions = re.findall(r"^\s+[0-9a-f]+:\s+(\S+)", code.split("<main>:", 1)[-1], re.M)
    return bool(instructions) and instructions[0] == "endbr64"


def check_elf(path, stripped):
    facts = elf_facts(path)
    faults = []
    if facts["type"] != "DYN" or not facts["pie"]:
        faults.append(f"not a position-independent executable (type {facts['type']}, no PIE flag)")
    if not facts["relro"]:
        faults.append("no RELRO (no GNU_RELRO segment)")
    elif not facts["bind_now"]:
        faults.append("partial RELRO only (no BIND_NOW)")
    if facts["stack"] is None:
        faults.append("no GNU_STACK segment: the stack may be executable")
    elif "E" in facts["stack"]:
        faults.append(f"executable stack (GNU_STACK {facts['stack']})")
    if not facts["stack_protector"]:
        faults.append("no stack protector (__stack_chk_fail not imported)")
    if not facts["fortified"]:
        faults.append("no fortified calls (no __*_chk function imported)")
    if not stripped and not main_starts_with_endbr64(path):
        faults.append("no control-flow protection (main does not start with endbr64)")
    return faults, facts


def check_compile_commands(path, source_root, flags):
    """Every project source in the compile database compiled with each flag."""
    with open(path) as f:
        entries = json.load(f)
    build_dir = os.path.realpath(os.path.dirname(path))
    missing = {}
    for entry in entries:
        source = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        if not source.startswith(source_root + os.sep) or source.startswith(build_dir + os.sep):
            continue
        if not source.endswith((".c", ".cc", ".cpp")):
            continue  # resource scripts
        words = entry.get("command", " ".join(entry.get("arguments", []))).split()
        for flag in flags:
            if flag not in words:
                missing.setdefault(flag, []).append(os.path.relpath(source, source_root))
    return [f"{len(files)} source(s) compiled without {flag}, e.g. {files[0]}" for flag, files in missing.items()]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--stripped", action="store_true")
    parser.add_argument("--compile-commands")
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args(argv)
    failed = False
    kinds = set()
    for program in args.programs:
        name = os.path.basename(program)
        kind = kind_of(program)
        kinds.add(kind)
        if kind == "pe":
            faults, facts = check_pe(program, args.stripped)
            delayed = "?" if args.stripped else ", ".join(facts["delayed"]) or "-"
            summary = (f"imports {', '.join(facts['imports'])}; delay-loads {delayed}; "
                       f"DllCharacteristics {facts['characteristics']:#06x}")
        elif kind == "elf":
            faults, facts = check_elf(program, args.stripped)
            summary = f"PIE, full RELRO, stack {facts['stack']}, fortified {', '.join(facts['fortified'])}"
        else:
            faults, summary = ["neither a Windows nor a Linux program"], ""
        if faults:
            failed = True
            for fault in faults:
                print(f"FAILED: {name}: {fault}")
        else:
            print(f"ok: {name}: {summary}")
    if args.compile_commands:
        root = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
        flags = LINUX_FLAGS if kinds == {"elf"} else WINDOWS_FLAGS
        faults = check_compile_commands(args.compile_commands, root, flags)
        for fault in faults:
            print(f"FAILED: compile commands: {fault}")
        if faults:
            failed = True
        else:
            print(f"ok: every source compiled with {' '.join(flags)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
