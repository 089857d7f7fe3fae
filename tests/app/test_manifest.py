#!/usr/bin/env python3
"""The manifests as built into the Windows programs (pytest): read from each .exe's resources,
so a manifest that the resource compiler dropped or a stale copy fails here.

Configured by the environment: KV_UPDATER_EXE, KV_CLI_EXE.
"""
import os
import xml.etree.ElementTree as ET

import pytest

pefile = pytest.importorskip("pefile")

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
WS2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
WS2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
WS2019 = "http://schemas.microsoft.com/SMI/2019/WindowsSettings"
WINDOWS_8 = "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"
WINDOWS_8_1 = "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"
WINDOWS_10_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
RT_MANIFEST = 24
PROCESS_MANIFEST = 1


def manifest_of(variable):
    exe = os.environ.get(variable)
    if not exe:
        pytest.skip(f"set {variable}")
    pe = pefile.PE(exe, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    found = []
    assert hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"), "the program has resources"
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != RT_MANIFEST:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found.append((name.id, pe.get_data(data.OffsetToData, data.Size)))
    assert [n for n, _ in found] == [PROCESS_MANIFEST], "one process manifest"
    return ET.fromstring(found[0][1])


def settings(root):
    return {el.tag: el.text.strip() for el in root.iter() if el.tag.startswith("{http://schemas.microsoft.com/SMI/")}


def supported_systems(root):
    return {el.get("Id") for el in root.iter(f"{{{COMPAT}}}supportedOS")}


def execution_level(root):
    levels = [el.get("level") for el in root.iter(f"{{{ASM_V3}}}requestedExecutionLevel")]
    return levels


def test_the_dialog_program_is_per_monitor_aware_utf8_long_path_aware_and_names_its_systems():
    root = manifest_of("KV_UPDATER_EXE")
    assert settings(root) == {
        f"{{{WS2005}}}dpiAware": "true/pm",
        f"{{{WS2016}}}dpiAwareness": "PerMonitorV2",
        f"{{{WS2016}}}longPathAware": "true",
        f"{{{WS2019}}}activeCodePage": "UTF-8",
    }
    assert supported_systems(root) == {WINDOWS_8, WINDOWS_8_1, WINDOWS_10_11}
    assert execution_level(root) == ["asInvoker"]
    controls = [el.attrib for el in root.iter(f"{{{ASM_V1}}}assemblyIdentity")]
    assert [(c["name"], c["version"]) for c in controls] == [("Microsoft.Windows.Common-Controls", "6.0.0.0")]


def test_the_console_program_is_utf8_and_long_path_aware_and_names_its_systems():
    root = manifest_of("KV_CLI_EXE")
    assert settings(root) == {
        f"{{{WS2016}}}longPathAware": "true",
        f"{{{WS2019}}}activeCodePage": "UTF-8",
    }
    assert supported_systems(root) == {WINDOWS_8, WINDOWS_8_1, WINDOWS_10_11}
    assert execution_level(root) == ["asInvoker"]
