#!/usr/bin/env python3
"""check_binaries.py on small programs built without one protection or another (pytest): each missing
protection is named, and a program built like ours passes."""
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "check_binaries.py")

# A buffer on the stack (stack protector) and a copy into it whose size the compiler cannot check at
# compile time (a fortified call), an address taken (an indirect-branch target).
PROGRAM = r"""
#include <stdio.h>
#include <string.h>
int main(int argc, char** argv)
{
    char buffer[32];
    strcpy(buffer, argc > 1 ? argv[1] : "x");
    printf("%s %p\n", buffer, (void*)&main);
    return 0;
}
"""
PE_PROGRAM = r"""
#include <windows.h>
#include <commctrl.h>
#include <string.h>
// A section both writable and executable.
__asm__(".section .wx,\"wx\"\n.byte 0xc3\n.text");
int main(int argc, char** argv)
{
    char buffer[32];
    strcpy(buffer, argc > 1 ? argv[1] : "x");
    InitCommonControls();
    return buffer[0];
}
"""
ELF_HARDENED = ["-O2", "-fPIE", "-pie", "-fstack-protector-strong", "-D_FORTIFY_SOURCE=2", "-fcf-protection",
                "-fstack-clash-protection", "-Wl,-z,relro,-z,now,-z,noexecstack"]


def build(tmp_path, compiler, source, name, flags):
    src = tmp_path / (name + ".c")
    src.write_text(source)
    out = tmp_path / name
    subprocess.run([compiler, str(src), "-o", str(out), *flags], check=True, capture_output=True)
    if compiler.startswith("x86_64-w64-mingw32") and not str(out).endswith(".exe"):
        out = tmp_path / (name + ".exe")
    return str(out)


def check(*args):
    result = subprocess.run([sys.executable, CHECK, *args], capture_output=True, text=True)
    return result.returncode, result.stdout


def test_a_program_built_like_ours_passes(tmp_path):
    program = build(tmp_path, "gcc", PROGRAM, "good", ELF_HARDENED)
    status, out = check(program)
    assert status == 0, out
    assert out.startswith("ok: good: PIE, full RELRO, stack RW, fortified ") and "__strcpy_chk" in out, out


def test_an_unprotected_linux_program_fails_naming_each_protection(tmp_path):
    program = build(tmp_path, "gcc", PROGRAM, "weak",
                    ["-O2", "-no-pie", "-fno-stack-protector", "-U_FORTIFY_SOURCE", "-fcf-protection=none",
                     "-Wl,-z,norelro,-z,lazy,-z,execstack"])
    status, out = check(program)
    assert status == 1
    for fault in ("not a position-independent executable", "no RELRO", "executable stack (GNU_STACK RWE)",
                  "no stack protector", "no fortified calls", "no control-flow protection"):
        assert f"FAILED: weak: {fault}" in out, out


def test_partial_relro_is_named(tmp_path):
    flags = [f for f in ELF_HARDENED if not f.startswith("-Wl,")] + ["-Wl,-z,relro,-z,lazy"]
    program = build(tmp_path, "gcc", PROGRAM, "lazy", flags)
    status, out = check(program)
    assert (status, out.strip()) == (1, "FAILED: lazy: partial RELRO only (no BIND_NOW)")


def test_a_stripped_program_is_checked_without_its_symbol_table(tmp_path):
    program = build(tmp_path, "gcc", PROGRAM, "stripped", ELF_HARDENED + ["-s"])
    assert check(program)[1].startswith("FAILED: stripped: no control-flow protection")
    assert check("--stripped", program)[0] == 0


@pytest.mark.parametrize("flags,faults", [
    (["-Wl,--disable-dynamicbase,--disable-high-entropy-va,--disable-nxcompat"],
     ["HIGH_ENTROPY_VA not set", "DYNAMIC_BASE not set", "NX_COMPAT not set", "no stack protector"]),
    (["-O2", "-fstack-protector-strong", "-D_FORTIFY_SOURCE=2", "-static"], []),
])
def test_a_windows_program_fails_naming_each_fault(tmp_path, flags, faults):
    program = build(tmp_path, "x86_64-w64-mingw32-gcc", PE_PROGRAM, "weak.exe", flags + ["-lcomctl32"])
    status, out = check(program)
    assert status == 1
    expected = ["imports COMCTL32.dll at load time", "section .wx is writable and executable"] + faults
    for fault in expected:
        assert f"FAILED: weak.exe: {fault}" in out, out
    assert out.count("FAILED") == len(expected), out


def test_compile_commands_without_a_flag_are_named(tmp_path):
    root = os.path.dirname(os.path.dirname(HERE))
    build_dir = tmp_path / "build"
    build_dir.mkdir()
    database = build_dir / "compile_commands.json"
    database.write_text(
        '[{"directory": "%s", "file": "%s/log/log.cpp", "command": "c++ -fstack-protector-strong -c log.cpp"},'
        ' {"directory": "%s", "file": "/usr/src/googletest/src/gtest-all.cc", "command": "c++ -c x"}]'
        % (build_dir, root, build_dir))
    program = build(tmp_path, "gcc", PROGRAM, "good", ELF_HARDENED)
    status, out = check("--compile-commands", str(database), program)
    assert status == 1
    assert "FAILED: compile commands: 1 source(s) compiled without -D_FORTIFY_SOURCE=2, e.g. log/log.cpp" in out
    assert "gtest" not in out
