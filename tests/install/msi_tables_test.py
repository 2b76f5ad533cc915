#!/usr/bin/python3
"""An installer's tables and files, read with msitools (no Windows needed):
for the architecture that cannot run under Wine here, and for the other.

Usage: msi_tables_test.py MSI x64|x86 VERSION

Checks the package's platform, its version against the version information
of the executables inside it (and the File table's versions against
theirs), the per-user folders, the license beside penmora.exe, the demo
feature, the shortcuts' working folders, the Run value, the program's icon
in the list of installed programs, and the order of the actions that end
the running programs before files go and start the service after an
install. Windows Installer's own rules are msi_rules.py's. Exits 77
(skipped) when the MSI has not been made.
"""

import io
import os
import re
import struct
import subprocess
import sys
import tempfile

from PIL import Image

from msi_rules import table

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MACHINE = {"x64": 0x8664, "x86": 0x14C}
TEMPLATE = {"x64": "x64;1033", "x86": "Intel;1033"}
SYSTEM_FOLDER = {"x64": "[System64Folder]", "x86": "[SystemFolder]"}
DESCRIPTION = {"penmora.exe": "Penmora signature pad service",
               "penmora-demo.exe": "Penmora demo with a virtual signature pad"}


def keyed(rows):
    return {row[0]: row for row in rows}


def version_info(path):
    """The file and the product version (four numbers each) of the fixed
    version information, and the string values of a PE executable; its
    machine."""
    data = open(path, "rb").read()
    assert data[:2] == b"MZ"
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    assert at >= 0, "no version information in " + path
    file_ms, file_ls, ms, ls = struct.unpack_from("<IIII", data, at + 8)
    file_version = (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF)
    version = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    for key in ("ProductName", "ProductVersion", "FileDescription"):
        name = (key + "\0").encode("utf-16-le")
        start = data.find(name)
        assert start >= 0, "no %s in %s" % (key, path)
        start += len(name)
        start += (-start) % 4  # the value is aligned on 32 bits
        end = start
        while data[end:end + 2] != b"\0\0":
            end += 2
        strings[key] = data[start:end].decode("utf-16-le")
    return machine, file_version, version, strings


def check(msi, arch, version):
    """Raises AssertionError for the first thing wrong with the MSI."""
    summary = subprocess.run(["msiinfo", "suminfo", msi], check=True,
                             stdout=subprocess.PIPE).stdout.decode()
    assert "Template: %s\n" % TEMPLATE[arch] in summary, summary

    properties = {row[0]: row[1] for row in table(msi, "Property")}
    assert properties["ProductVersion"] == version, properties
    assert properties["ProductName"] == "Penmora"
    wxs = open(os.path.join(TOP, "installer", "penmora.wxs")).read()
    upgrade_code = re.search(r'UpgradeCode="([0-9A-F-]+)"', wxs).group(1)
    assert properties["UpgradeCode"] == "{%s}" % upgrade_code, properties["UpgradeCode"]
    upgrade = table(msi, "Upgrade")
    assert any(row[0] == "{%s}" % upgrade_code and row[-1] == "WIX_UPGRADE_DETECTED"
               for row in upgrade), upgrade
    # Per user: no ALLUSERS, and the folders under the user's local data.
    assert "ALLUSERS" not in properties
    directories = keyed(table(msi, "Directory"))
    assert directories["INSTALLDIR"][1:] == ["UserPrograms", "Penmora"]
    assert directories["UserPrograms"][1:] == ["LocalAppDataFolder", "Programs"]
    assert directories["DemoFolder"][1:] == ["INSTALLDIR", "demo"]

    components = keyed(table(msi, "Component"))
    for row in components.values():
        assert bool(int(row[3]) & 256) == (arch == "x64"), row
    files = table(msi, "File")
    where = {}
    for row in files:
        where.setdefault(row[2], []).append(components[row[1]][2])
    assert where["penmora.exe"] == ["INSTALLDIR"], where
    assert where["LICENSE.txt"] == ["INSTALLDIR"], where
    # The virtual reader only in the demo's folder, never beside penmora.exe.
    assert where["ZAZAPIt.dll"] == ["DemoFolder"], where
    assert where["penmora-demo.exe"] == ["DemoFolder"], where
    features = keyed(table(msi, "Feature"))
    assert features["Service"][5] == "1" and features["Demo"][5] == "1000", features
    in_feature = {}
    for feature, component in table(msi, "FeatureComponents"):
        in_feature[component] = feature
    service_files = ("penmora.exe", "LICENSE.txt")
    assert all(in_feature[row[1]] == ("Service" if row[2] in service_files else "Demo")
               for row in files), in_feature

    shortcuts = keyed(table(msi, "Shortcut"))
    assert shortcuts["ServiceShortcut"][1] == "ProgramMenuFolder"
    assert shortcuts["ServiceShortcut"][4] == "[#PenmoraExe]"
    assert shortcuts["ServiceShortcut"][11] == "INSTALLDIR", shortcuts["ServiceShortcut"]
    assert shortcuts["DemoShortcut"][11] == "DemoFolder", shortcuts["DemoShortcut"]

    run = [row for row in table(msi, "Registry")
           if row[2] == r"Software\Microsoft\Windows\CurrentVersion\Run"]
    assert len(run) == 1 and run[0][1] == "1" and run[0][3:5] == ["Penmora.exe", "[#PenmoraExe]"], run
    assert components[run[0][5]][5] == run[0][0], "the Run value is its component's key"

    actions = keyed(table(msi, "CustomAction"))
    assert int(actions["FindTaskkill"][1]) & 0x3F == 51
    assert actions["FindTaskkill"][2:4] == ["TASKKILL", SYSTEM_FOLDER[arch] + "taskkill.exe"]
    assert int(actions["EndPrograms"][1]) & 0x3F == 50
    assert actions["EndPrograms"][2] == "TASKKILL"
    assert "/IM penmora.exe" in actions["EndPrograms"][3]
    assert int(actions["StartService"][1]) & 0x3F == 18 and actions["StartService"][2] == "PenmoraExe"
    sequence = {row[0]: (int(row[2]), row[1]) for row in table(msi, "InstallExecuteSequence")}
    order = ["FindTaskkill", "EndPrograms", "InstallValidate", "RemoveExistingProducts",
             "InstallInitialize", "InstallFinalize", "StartService"]
    numbers = [sequence[name][0] for name in order]
    assert numbers == sorted(numbers) and len(set(numbers)) == len(numbers), sequence

    # The list of installed programs shows the program's icon.
    icon = subprocess.run(["msiinfo", "extract", msi, "Icon." + properties["ARPPRODUCTICON"]],
                          check=True, stdout=subprocess.PIPE).stdout
    sizes = Image.open(io.BytesIO(icon)).info["sizes"]
    assert {(16, 16), (32, 32)} <= sizes, sizes

    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(["msiextract", "-C", folder, msi], check=True, stdout=subprocess.DEVNULL)
        installed = os.path.join(folder, "Programs", "Penmora")
        expected = tuple(map(int, version.split("."))) + (0,) * (4 - len(version.split(".")))
        by_name = {row[2]: row for row in files}
        for name, path in (("penmora.exe", "penmora.exe"),
                           ("penmora-demo.exe", os.path.join("demo", "penmora-demo.exe"))):
            machine, file_version, fixed, strings = version_info(os.path.join(installed, path))
            assert machine == MACHINE[arch], (name, hex(machine))
            assert fixed == expected, (name, fixed)
            # Windows Installer compares the File table's version with the
            # installed file's: they must be the file's own.
            assert by_name[name][4:6] == ["%d.%d.%d.%d" % file_version, "1033"], by_name[name]
            assert strings == {"ProductName": "Penmora", "ProductVersion": version,
                               "FileDescription": DESCRIPTION[name]}, (name, strings)
        with open(os.path.join(TOP, "LICENSE"), "rb") as license_file:
            assert open(os.path.join(installed, "LICENSE.txt"), "rb").read() == license_file.read()
        reader = open(os.path.join(installed, "demo", "ZAZAPIt.dll"), "rb").read()
        pe = struct.unpack_from("<I", reader, 0x3C)[0]
        assert struct.unpack_from("<H", reader, pe + 4)[0] == MACHINE[arch], "the reader's machine"


def main():
    msi, arch, version = sys.argv[1], sys.argv[2], sys.argv[3]
    if not os.path.isfile(msi):
        print("no %s: make it with scripts/make-msi.sh" % msi)
        return 77
    check(msi, arch, version)
    print("ok      %s: tables, files and version %s" % (os.path.basename(msi), version))
    return 0


if __name__ == "__main__":
    sys.exit(main())
