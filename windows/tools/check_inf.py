#!/usr/bin/env python3
"""Lints a driver INF and checks that it installs what it should.

usage: check_inf.py INF --service NAME --binary FILE --hwid ID
                        [--compatible ID] [--class NAME] [--class-guid GUID]

Syntax: every section once, no key twice in a section (model lists aside),
every %token% defined under [Strings], every referenced section present.
Content: an NTamd64 models section lists the hardware ID (and compatible ID)
for an install section whose .Services section adds NAME as a demand-start
kernel driver with normal error control, binary %12%\\FILE, copied to
DestinationDirs 12 from a disk named in SourceDisksNames.
"""
import argparse
import re
import sys

GUID = re.compile(r"^\{[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}\}$")
DRIVER_VER = re.compile(r"^\d{2}/\d{2}/\d{4}\s*,\s*\d+\.\d+\.\d+\.\d+$")


class Inf:
    def __init__(self, text):
        self.sections = {}   # lower-case name -> list of (key or None, values, line)
        self.names = {}      # lower-case name -> name as written
        self.problems = []
        current = None
        pending = ""
        for number, raw in enumerate(text.splitlines(), 1):
            line = self._strip_comment(raw).rstrip()
            if line.endswith("\\"):
                pending += line[:-1]
                continue
            line = (pending + line).strip()
            pending = ""
            if not line:
                continue
            if line.startswith("["):
                if not line.endswith("]"):
                    self.problems.append("line %d: unterminated section header" % number)
                    continue
                name = line[1:-1].strip()
                key = name.lower()
                if key in self.sections:
                    self.problems.append("line %d: section [%s] appears twice" % (number, name))
                self.sections.setdefault(key, [])
                self.names[key] = name
                current = key
                continue
            if current is None:
                self.problems.append("line %d: entry outside any section" % number)
                continue
            if "=" in line and not line.lower().startswith("hk"):
                k, v = line.split("=", 1)
                self.sections[current].append((k.strip(), self._split(v), number))
            else:
                self.sections[current].append((None, self._split(line), number))

    @staticmethod
    def _strip_comment(line):
        quoted = False
        for i, c in enumerate(line):
            if c == '"':
                quoted = not quoted
            elif c == ";" and not quoted:
                return line[:i]
        return line

    @staticmethod
    def _split(value):
        return [v.strip() for v in value.split(",")]

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, name):
        return self.sections.get(name.lower(), [])

    def value(self, section, key):
        for k, v, _ in self.entries(section):
            if k is not None and k.lower() == key.lower():
                return v
        return None

    def strings(self):
        out = {}
        for k, v, _ in self.entries("Strings"):
            if k is not None:
                out[k.lower()] = ",".join(v).strip().strip('"')
        return out


def lint(inf, text):
    problems = list(inf.problems)
    model_sections = set()
    for _, v, _ in inf.entries("Manufacturer"):
        base = v[0].lower()
        model_sections.add(base)
        model_sections.update("%s.%s" % (base, d.lower()) for d in v[1:] if d)
    for section, entries in inf.sections.items():
        if section in model_sections:
            continue
        seen = {}
        for k, _, line in entries:
            if k is None:
                continue
            if k.lower() in seen:
                problems.append("[%s] line %d: key %s already set on line %d" % (
                    inf.names[section], line, k, seen[k.lower()]))
            seen.setdefault(k.lower(), line)
    strings = inf.strings()
    for number, line in enumerate(text.splitlines(), 1):
        for token in re.findall(r"%([^%\s]+)%", Inf._strip_comment(line)):
            if not token.isdigit() and token.lower() not in strings:
                problems.append("line %d: %%%s%% is not defined under [Strings]" % (number, token))
    for required in ("Version", "Manufacturer", "SourceDisksNames", "SourceDisksFiles",
                     "DestinationDirs", "Strings"):
        if not inf.has(required):
            problems.append("no [%s] section" % required)
    return problems


def check_install(inf, args):
    problems = []
    version = {k.lower(): ",".join(v) for k, v, _ in inf.entries("Version") if k}
    if version.get("signature", "").strip('"').lower() not in ("$windows nt$", "$chicago$"):
        problems.append("[Version] Signature must be \"$Windows NT$\"")
    for key in ("class", "classguid", "provider", "driverver"):
        if key not in version:
            problems.append("[Version] has no %s" % key)
    if "classguid" in version and not GUID.match(version["classguid"]):
        problems.append("[Version] ClassGuid %s is not a GUID" % version["classguid"])
    if "driverver" in version and not DRIVER_VER.match(version["driverver"]):
        problems.append("[Version] DriverVer %s is not mm/dd/yyyy,w.x.y.z" % version["driverver"])
    if args.class_name and version.get("class", "").lower() != args.class_name.lower():
        problems.append("[Version] Class is %s, expected %s" % (version.get("class"), args.class_name))
    if args.class_guid and version.get("classguid", "").lower() != args.class_guid.lower():
        problems.append("[Version] ClassGuid is %s, expected %s" % (version.get("classguid"), args.class_guid))

    dest = inf.value("DestinationDirs", "DefaultDestDir")
    if dest is None or dest[0] != "12":
        problems.append("[DestinationDirs] DefaultDestDir must be 12 (drivers folder)")

    install = None
    for _, v, _ in inf.entries("Manufacturer"):
        decorations = [d.lower() for d in v[1:]]
        if not any(d.startswith("ntamd64") for d in decorations):
            problems.append("[Manufacturer] %s has no NTamd64 decoration" % v[0])
            continue
        models = "%s.NTamd64" % v[0]
        if not inf.has(models):
            problems.append("no models section [%s]" % models)
            continue
        for desc, m, _ in inf.entries(models):
            ids = [x.lower() for x in m[1:]]
            if args.hwid.lower() in ids[:1]:
                install = m[0]
                if args.compatible and args.compatible.lower() not in ids[1:]:
                    problems.append("[%s] %s lists no compatible ID %s" % (models, args.hwid, args.compatible))
    if install is None:
        problems.append("no NTamd64 model has hardware ID %s" % args.hwid)
        return problems

    ddinstall = install + ".NTamd64" if inf.has(install + ".NTamd64") else install
    if not inf.has(ddinstall):
        problems.append("no install section [%s]" % ddinstall)
        return problems
    copied = []
    for k, v, _ in inf.entries(ddinstall):
        if k and k.lower() == "copyfiles":
            for section in v:
                if section.startswith("@"):
                    copied.append(section[1:])
                elif not inf.has(section):
                    problems.append("[%s] CopyFiles names missing section [%s]" % (ddinstall, section))
                else:
                    copied += [e[1][0] for e in inf.entries(section)]
    if args.binary.lower() not in (c.lower() for c in copied):
        problems.append("[%s] does not copy %s" % (ddinstall, args.binary))
    disks = {k for k, _, _ in inf.entries("SourceDisksNames") if k}
    source = inf.value("SourceDisksFiles", args.binary)
    if source is None:
        problems.append("[SourceDisksFiles] does not list %s" % args.binary)
    elif source[0] not in disks:
        problems.append("[SourceDisksFiles] %s names disk %s, not in [SourceDisksNames]" % (args.binary, source[0]))

    services = ddinstall + ".Services"
    add = inf.value(services, "AddService")
    if add is None:
        problems.append("no AddService in [%s]" % services)
        return problems
    if add[0].lower() != args.service.lower():
        problems.append("[%s] adds service %s, expected %s" % (services, add[0], args.service))
    if len(add) < 3 or int(add[1], 0) & 0x2 == 0:
        problems.append("[%s] AddService must set SPSVCINST_ASSOCSERVICE (0x2) and name a section" % services)
        return problems
    want = {"ServiceType": "1", "StartType": "3", "ErrorControl": "1",
            "ServiceBinary": "%12%\\" + args.binary}
    for key, expected in want.items():
        got = inf.value(add[2], key)
        if got is None or got[0].lower() != expected.lower():
            problems.append("[%s] %s is %s, expected %s" % (add[2], key, got and got[0], expected))
    return problems


def main():
    p = argparse.ArgumentParser(description="Lints a driver INF.")
    p.add_argument("inf")
    p.add_argument("--service", required=True)
    p.add_argument("--binary", required=True)
    p.add_argument("--hwid", required=True)
    p.add_argument("--compatible")
    p.add_argument("--class", dest="class_name")
    p.add_argument("--class-guid")
    args = p.parse_args()
    try:
        with open(args.inf, encoding="ascii") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        print("FAIL %s: %s" % (args.inf, e))
        return 1
    inf = Inf(text)
    problems = lint(inf, text) + check_install(inf, args)
    for prob in problems:
        print("FAIL %s: %s" % (args.inf, prob))
    if not problems:
        print("ok %s: service %s for %s" % (args.inf, args.service, args.hwid))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
