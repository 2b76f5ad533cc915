#!/usr/bin/python3
"""The checker of Windows Installer's rules (msi_rules.py) catches each fault
it is there for: every rule holds on the installers as made, and fails on a
copy of them with that one fault put back into its tables (msitools'
msibuild), as the packages had it before.

Usage: msi_rules_test.py X64_MSI X86_MSI
Exits 77 (skipped) when an installer has not been made.
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import msi_rules  # noqa: E402

UPGRADE_COLUMNS = ("UpgradeCode, VersionMin, VersionMax, Language, Attributes, Remove, "
                   "ActionProperty")


def upgrade_without_own_version(package):
    properties = package.properties()
    return ["DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'",
            "INSERT INTO Upgrade (%s) VALUES ('%s', '', '%s', '', 1, '', 'WIX_UPGRADE_DETECTED')"
            % (UPGRADE_COLUMNS, properties["UpgradeCode"], properties["ProductVersion"])]


def shared_guid(package, other):
    guid = other.keyed("Component", "Component")["Service"]["ComponentId"]
    return ["UPDATE Component SET ComponentId = '%s' WHERE Component = 'Service'" % guid]


# (what is put back, the rule that must catch it, the queries on the x64 copy)
FAULTS = [
    ("the upgrade row without the package's own version", "upgrade-includes-own-version",
     upgrade_without_own_version),
    ("the no-impersonation bit on the immediate EndPrograms", "immediate-actions-impersonate",
     lambda _: ["UPDATE CustomAction SET Type = 2162 WHERE Action = 'EndPrograms'"]),
    ("no RemoveFile row for the demo's web folder", "folders-removed",
     lambda _: ["DELETE FROM RemoveFile WHERE FileKey = 'RemoveDemoPagesFolder'"]),
    ("a page file as the demo pages' key path", "profile-keypaths-in-hkcu",
     lambda _: ["UPDATE Component SET KeyPath = 'DemoPage.index.html', Attributes = 256 "
                "WHERE Component = 'DemoPages'"]),
    ("the programs ended in an uninstall only", "programs-end-before-validation",
     lambda _: ["UPDATE InstallExecuteSequence SET Condition = 'REMOVE=\"ALL\" AND NOT "
                "%WINECONFIGDIR' WHERE Action = 'EndPrograms'"]),
    ("taskkill without the user filter", "programs-end-before-validation",
     lambda _: ["UPDATE CustomAction SET Target = '/F /IM penmora.exe /IM penmora-demo.exe' "
                "WHERE Action = 'EndPrograms'"]),
    ("the programs ended after InstallValidate", "programs-end-before-validation",
     lambda _: ["UPDATE InstallExecuteSequence SET Sequence = 1450 WHERE Action = 'EndPrograms'"]),
    ("the Wine variant run on Windows too", "programs-end-before-validation",
     lambda _: ["UPDATE InstallExecuteSequence SET Condition = 'REMOVE=\"ALL\" OR "
                "WIX_UPGRADE_DETECTED' WHERE Action = 'EndProgramsInWine'"]),
    ("no ARPPRODUCTICON", "product-icon",
     lambda _: ["DELETE FROM Property WHERE Property = 'ARPPRODUCTICON'"]),
    ("penmora.exe without its version", "file-versions",
     lambda _: ["UPDATE File SET Version = '', Language = '' WHERE File = 'PenmoraExe'"]),
    ("a versioned file with a hash row", "file-versions",
     lambda _: ["INSERT INTO MsiFileHash (File_, Options, HashPart1, HashPart2, HashPart3, "
                "HashPart4) VALUES ('DemoExe', 0, 1, 2, 3, 4)"]),
]


def failing(msis):
    return {(os.path.basename(msi), rule) for msi, rule, findings in msi_rules.check(msis)
            if findings}


def main():
    x64, x86 = sys.argv[1], sys.argv[2]
    for msi in (x64, x86):
        if not os.path.isfile(msi):
            print("no %s: make it with scripts/make-msi.sh" % msi)
            return 77
    with tempfile.TemporaryDirectory() as work:
        assert not failing([x64, x86]), failing([x64, x86])
        print("ok      every rule holds on both installers")
        originals = {"x64": msi_rules.Package(x64), "x86": msi_rules.Package(x86)}
        for fault, rule, queries in FAULTS + [
                ("a component GUID shared by both architectures",
                 "component-guids-per-architecture",
                 lambda package: shared_guid(package, originals["x86"]))]:
            copy = os.path.join(work, "faulty.msi")
            shutil.copyfile(x64, copy)
            arguments = []
            for query in queries(originals["x64"]):
                arguments += ["-q", query]
            subprocess.run(["msibuild", copy] + arguments, check=True)
            caught = failing([copy, x86])
            assert caught == {("faulty.msi", rule)} | (
                {(os.path.basename(x86), rule)} if rule == "component-guids-per-architecture"
                else set()), "%s: %s" % (fault, sorted(caught))
            print("ok      %s: %s fails, and only it" % (fault, rule))
    print("all faults caught")
    return 0


if __name__ == "__main__":
    sys.exit(main())
