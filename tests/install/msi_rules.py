#!/usr/bin/python3
"""Windows Installer's rules for the installers, checked the way its ICE
validations check a package: over the tables (read with msitools' msiinfo,
no Windows needed). Wine's msiexec lets a package break most of them; a
real Windows does not.

Usage: msi_rules.py MSI [MSI...]
  Each package alone, and the packages of the other architectures beside
  it. Prints one line per rule and package; exits 1 when any rule fails,
  77 (skipped) when a package has not been made.

The rules:
  upgrade-includes-own-version  the upgrade row also finds the package's own
      version, so the same version of the other architecture or of another
      build replaces the installed one instead of installing beside it
  component-guids-per-architecture  no component GUID is shared between
      the architectures' packages
  immediate-actions-impersonate (ICE68)  no immediate custom action carries
      the no-impersonation bit, which only deferred actions may have
  folders-removed (ICE64)  every folder the package makes under the user's
      profile is removed on uninstall (a RemoveFile row without a file name)
  profile-keypaths-in-hkcu (ICE38)  every component under the user's
      profile has a registry value under HKCU as its key path
  programs-end-before-validation  the running programs are ended before
      InstallValidate checks the files in use, in an uninstall and in an
      upgrade but not in a first install, and on Windows only the
      installing user's (taskkill filtered by user name)
  product-icon  ARPPRODUCTICON names an icon of the Icon table
  file-versions (ICE60)  every executable has its version and language in
      the File table, and no versioned file has a hash row
"""

import os
import re
import struct
import subprocess
import sys
import tempfile

# Folders of the user's profile (ICE38, ICE64): what lies under them is the
# user's, and is made and removed per user.
PROFILE_FOLDERS = {
    "AppDataFolder", "LocalAppDataFolder", "DesktopFolder", "FavoritesFolder",
    "MyPicturesFolder", "NetHoodFolder", "PersonalFolder", "PrintHoodFolder",
    "ProgramMenuFolder", "RecentFolder", "SendToFolder", "StartMenuFolder",
    "StartupFolder", "TemplateFolder",
}
# Custom action type bits.
SOURCE_PROPERTY_EXE = 50
SET_PROPERTY = 51
IN_SCRIPT = 0x400
NO_IMPERSONATE = 0x800
# Upgrade row attributes.
MIGRATE_FEATURES = 0x1
ONLY_DETECT = 0x2
VERSION_MIN_INCLUSIVE = 0x100
VERSION_MAX_INCLUSIVE = 0x200
REGISTRY_KEY_PATH = 0x4
HKCU = "1"
USER_FILTER = '/FI "USERNAME eq [LogonUser]"'
# The environment variable that Wine gives every program it runs.
WINE_VARIABLE = "WINECONFIGDIR"


def export(msi, name):
    """The lines of a table as msiinfo exports it: the columns' names, their
    types, the table's name and keys, then one row a line."""
    # msiinfo writes the streams of a table's binary columns into a folder
    # named after the table, in the folder it runs in: a scratch one.
    with tempfile.TemporaryDirectory() as scratch:
        text = subprocess.run(["msiinfo", "export", os.path.abspath(msi), name], check=True,
                              cwd=scratch, stdout=subprocess.PIPE).stdout.decode()
    return text.split("\r\n")


def table(msi, name):
    """The rows of a table, each a list of its columns."""
    return [line.split("\t") for line in export(msi, name)[3:] if line]


class Package:
    """An MSI's tables, read once each, with rows as dicts by column."""

    def __init__(self, msi):
        self.msi = msi
        self.tables = {}
        summary = subprocess.run(["msiinfo", "suminfo", msi], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        self.platform = re.search(r"^Template: ([^;\n]*)", summary, re.M).group(1)

    def rows(self, name):
        if name not in self.tables:
            lines = export(self.msi, name)
            columns = lines[0].split("\t")
            self.tables[name] = [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]
        return self.tables[name]

    def keyed(self, name, column):
        return {row[column]: row for row in self.rows(name)}

    def properties(self):
        return {row["Property"]: row["Value"] for row in self.rows("Property")}

    def stream(self, name):
        return subprocess.run(["msiinfo", "extract", self.msi, name], check=True,
                              stdout=subprocess.PIPE).stdout

    def in_profile(self, directory):
        """Whether a folder of the Directory table lies in the user's profile."""
        directories = self.keyed("Directory", "Directory")
        while directory:
            if directory in PROFILE_FOLDERS:
                return True
            directory = directories[directory]["Directory_Parent"]
        return False


# Conditions: the part of Windows Installer's condition language that the
# package uses (properties, %environment variables, "strings", integers,
# = <> < > <= >=, NOT, AND, OR, parentheses), evaluated for one situation.
TOKEN = re.compile(r'\s*(?:(?P<string>"[^"]*")|(?P<number>-?\d+)|(?P<op><>|>=|<=|[=<>()])'
                   r'|(?P<name>%?[A-Za-z_][A-Za-z0-9_.]*))')


class Condition:
    def __init__(self, text):
        self.tokens = []
        at = 0
        text = text.rstrip()
        while at < len(text):
            match = TOKEN.match(text, at)
            if not match:
                raise ValueError("cannot read the condition %r at %d" % (text, at))
            kind = match.lastgroup
            value = match.group(kind)
            if kind == "name" and value.upper() in ("NOT", "AND", "OR"):
                kind, value = "op", value.upper()
            self.tokens.append((kind, value))
            at = match.end()
        self.text = text

    def holds(self, properties, environment):
        """Whether the condition is true where these properties and these
        environment variables are set (an empty condition always is)."""
        if not self.tokens:
            return True
        self.at = 0
        self.properties, self.environment = properties, environment
        result = self.disjunction()
        if self.at != len(self.tokens):
            raise ValueError("cannot read the condition %r" % self.text)
        return truth(result)

    def peek(self):
        return self.tokens[self.at] if self.at < len(self.tokens) else (None, None)

    def take(self, value):
        if self.peek() == ("op", value):
            self.at += 1
            return True
        return False

    def disjunction(self):
        result = self.conjunction()
        while self.take("OR"):
            right = self.conjunction()
            result = truth(result) or truth(right)
        return result

    def conjunction(self):
        result = self.negation()
        while self.take("AND"):
            right = self.negation()
            result = truth(result) and truth(right)
        return result

    def negation(self):
        if self.take("NOT"):
            return not truth(self.negation())
        return self.comparison()

    def comparison(self):
        left = self.value()
        for op in ("=", "<>", ">=", "<=", ">", "<"):
            if self.take(op):
                right = self.value()
                if isinstance(left, int) and isinstance(right, int):
                    a, b = left, right
                else:
                    a, b = str(left), str(right)
                return {"=": a == b, "<>": a != b, ">=": a >= b, "<=": a <= b,
                        ">": a > b, "<": a < b}[op]
        return left

    def value(self):
        kind, text = self.peek()
        self.at += 1
        if kind == "op" and text == "(":
            result = self.disjunction()
            if not self.take(")"):
                raise ValueError("unbalanced parentheses in %r" % self.text)
            return result
        if kind == "string":
            return text[1:-1]
        if kind == "number":
            return int(text)
        if kind == "name":
            if text.startswith("%"):
                return self.environment.get(text[1:], "")
            found = self.properties.get(text, "")
            return int(found) if re.fullmatch(r"-?\d+", found) else found
        raise ValueError("cannot read the condition %r" % self.text)


def truth(value):
    if isinstance(value, bool):
        return value
    if isinstance(value, int):
        return value != 0
    return value != ""


# The situations an installer meets, for the conditions.
FIRST_INSTALL = {"UILevel": "2"}
INTERACTIVE_INSTALL = {"UILevel": "5"}
UPGRADE = {"UILevel": "2", "WIX_UPGRADE_DETECTED": "{00000000-0000-0000-0000-000000000001}"}
UNINSTALL = {"UILevel": "2", "REMOVE": "ALL"}
WINDOWS = {}
WINE = {WINE_VARIABLE: r"\??\Z:\home\user\.wine"}


def upgrade_includes_own_version(package):
    properties = package.properties()
    version, code = properties["ProductVersion"], properties["UpgradeCode"]
    secure = properties.get("SecureCustomProperties", "").split(";")
    findings = []
    replacing = [row for row in package.rows("Upgrade")
                 if row["UpgradeCode"] == code and not int(row["Attributes"]) & ONLY_DETECT]
    if not any(row["VersionMax"] == version and int(row["Attributes"]) & VERSION_MAX_INCLUSIVE
               and int(row["Attributes"]) & MIGRATE_FEATURES and row["ActionProperty"] in secure
               for row in replacing):
        findings.append("no upgrade row finds version %s itself (maximum included, features "
                        "migrated, its property secure): %s" % (version, replacing))
    for row in package.rows("Upgrade"):
        attributes = int(row["Attributes"])
        if (attributes & ONLY_DETECT and row["VersionMin"] == version
                and attributes & VERSION_MIN_INCLUSIVE):
            findings.append("the downgrade row also finds version %s: %s" % (version, row))
    if "RemoveExistingProducts" not in package.keyed("InstallExecuteSequence", "Action"):
        findings.append("RemoveExistingProducts is not sequenced")
    return findings


def component_guids_per_architecture(package, others):
    findings = []
    mine = {row["ComponentId"]: row["Component"] for row in package.rows("Component")}
    for other in others:
        if other.platform == package.platform:
            continue
        for row in other.rows("Component"):
            if row["ComponentId"] in mine:
                findings.append("%s of %s is also %s of %s (%s)" % (
                    mine[row["ComponentId"]], package.platform, row["Component"],
                    other.platform, row["ComponentId"]))
    return findings


def immediate_actions_impersonate(package):
    return ["%s (type %s) is immediate but asks for no impersonation" % (row["Action"], row["Type"])
            for row in package.rows("CustomAction")
            if not int(row["Type"]) & IN_SCRIPT and int(row["Type"]) & NO_IMPERSONATE]


def folders_removed(package):
    removed = {row["DirProperty"] for row in package.rows("RemoveFile")
               if not row["FileName"] and int(row["InstallMode"]) & 2}
    return ["%s (%s) is made under the user's profile and never removed"
            % (row["Directory"], row["DefaultDir"])
            for row in package.rows("Directory")
            if row["Directory"] not in PROFILE_FOLDERS and package.in_profile(row["Directory"])
            and row["Directory"] not in removed]


def profile_keypaths_in_hkcu(package):
    registry = package.keyed("Registry", "Registry")
    findings = []
    for row in package.rows("Component"):
        if not package.in_profile(row["Directory_"]):
            continue
        key = registry.get(row["KeyPath"])
        if not int(row["Attributes"]) & REGISTRY_KEY_PATH or key is None or key["Root"] != HKCU:
            findings.append("%s in %s has the key path %s, not a value under HKCU"
                            % (row["Component"], row["Directory_"], row["KeyPath"] or "(none)"))
    return findings


def programs_end_before_validation(package):
    """The taskkill actions: which run in each situation, in what order, and
    with what filter."""
    actions = package.keyed("CustomAction", "Action")
    sequence = {row["Action"]: (int(row["Sequence"]), Condition(row["Condition"]))
                for row in package.rows("InstallExecuteSequence")}
    validate = sequence["InstallValidate"][0]
    finders = {row["Source"]: row["Action"] for row in actions.values()
               if int(row["Type"]) & 0x3F == SET_PROPERTY
               and row["Target"].lower().endswith("taskkill.exe")}
    enders = [name for name, row in actions.items()
              if int(row["Type"]) & 0x3F == SOURCE_PROPERTY_EXE and row["Source"] in finders]
    findings = []
    if not enders:
        return ["no action runs taskkill"]
    for situation, properties, wanted in (("a first install", FIRST_INSTALL, False),
                                          ("an upgrade", UPGRADE, True),
                                          ("an uninstall", UNINSTALL, True)):
        for system, environment in (("Windows", WINDOWS), ("Wine", WINE)):
            running = []
            for name in enders:
                if name not in sequence or not sequence[name][1].holds(properties, environment):
                    continue
                finder = finders[actions[name]["Source"]]
                found = finder in sequence and sequence[finder][1].holds(properties, environment)
                if not found or sequence[finder][0] >= sequence[name][0]:
                    findings.append("%s runs in %s on %s without %s before it"
                                    % (name, situation, system, finder))
                if sequence[name][0] >= validate:
                    findings.append("%s runs after InstallValidate" % name)
                if system == "Windows" and USER_FILTER not in actions[name]["Target"]:
                    findings.append("%s ends other users' programs too on Windows: %s"
                                    % (name, actions[name]["Target"]))
                running.append(name)
            if bool(running) != wanted:
                findings.append("in %s on %s the programs are %sended (%s)" % (
                    situation, system, "" if running else "not ", ", ".join(running) or "none"))
    return findings


def product_icon(package):
    name = package.properties().get("ARPPRODUCTICON")
    if not name:
        return ["no ARPPRODUCTICON: the list of installed programs shows a generic icon"]
    icons = package.keyed("Icon", "Name")
    if name not in icons:
        return ["ARPPRODUCTICON names %s, which the Icon table lacks" % name]
    data = package.stream("Icon." + name)
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if (reserved, kind) != (0, 1) or count == 0:
        return ["the icon %s is not an icon file" % name]
    for index in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * index + 8)
        if offset + size > len(data):
            return ["image %d of the icon %s lies outside it" % (index, name)]
    return []


def file_versions(package):
    hashed = {row["File_"] for row in package.rows("MsiFileHash")}
    findings = []
    for row in package.rows("File"):
        name = row["FileName"].split("|")[-1]
        versioned = re.fullmatch(r"\d+\.\d+\.\d+\.\d+", row["Version"])
        if name.lower().endswith(".exe") and not versioned:
            findings.append("%s has no version (%r): Windows treats it as unversioned"
                            % (name, row["Version"]))
        if row["Version"] and not row["Language"]:
            findings.append("%s has a version but no language" % name)
        if row["Version"] and row["File"] in hashed:
            findings.append("%s has a version and a hash row" % name)
    return findings


RULES = [
    ("upgrade-includes-own-version", upgrade_includes_own_version),
    ("immediate-actions-impersonate", immediate_actions_impersonate),
    ("folders-removed", folders_removed),
    ("profile-keypaths-in-hkcu", profile_keypaths_in_hkcu),
    ("programs-end-before-validation", programs_end_before_validation),
    ("product-icon", product_icon),
    ("file-versions", file_versions),
]


def check(msis):
    """[(package, rule, findings)] for every package and rule."""
    packages = [Package(msi) for msi in msis]
    results = []
    for package in packages:
        for name, rule in RULES:
            results.append((package.msi, name, rule(package)))
        if len(packages) > 1:
            others = [other for other in packages if other is not package]
            results.append((package.msi, "component-guids-per-architecture",
                            component_guids_per_architecture(package, others)))
    return results


def main():
    msis = sys.argv[1:]
    if not msis:
        print(__doc__)
        return 2
    for msi in msis:
        if not os.path.isfile(msi):
            print("no %s: make it with scripts/make-msi.sh" % msi)
            return 77
    failed = 0
    for msi, rule, findings in check(msis):
        if findings:
            failed += 1
            for finding in findings:
                print("FAIL    %s %s: %s" % (os.path.basename(msi), rule, finding))
        else:
            print("ok      %s %s" % (os.path.basename(msi), rule))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
