#!/usr/bin/env python3
"""Checks an INF against what the driver registers.

    check-inf.py INF FACTS [--image nuvaudio.sys]

FACTS comes from `nuvsim devices --install-facts` (the driver started on the
host platform). The INF is read the way the system reads one (sections, keys
without regard to case, %string% substitution from [Strings], quoted fields,
line continuations) and must:

  - be a port-class audio adapter's: class MEDIA with its class GUID, a
    models section for 64-bit Windows, an install section that includes
    ks.inf and wdmaudio.inf and needs KS.Registration and
    WDMAUDIO.Registration, copies the image and installs it as a kernel
    service (AddService with the associated-service flag, ServiceType 1,
    ServiceBinary the image) under a hardware ID;
  - register a device interface for exactly the reference strings and
    interface classes the driver registers (no missing one, no other), each
    with a FriendlyName and a CLSID;
  - name, under HKR,MediaCategories\\{GUID},Name, every name identifier the
    driver's filters hand out that the system does not name itself, and no
    identifier the driver does not hand out.

Every problem is printed; the exit status is 1 if there was one.
"""
import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import installfacts  # noqa: E402  (beside this file)

MEDIA_CLASS_GUID = "{4D36E96C-E325-11CE-BFC1-08002BE10318}"


def split_outside_quotes(text, separator):
    parts, current, quoted = [], "", False
    for char in text:
        if char == '"':
            quoted = not quoted
        if char == separator and not quoted:
            parts.append(current)
            current = ""
            continue
        current += char
    parts.append(current)
    return parts


def strip_comment(line):
    quoted = False
    for index, char in enumerate(line):
        if char == '"':
            quoted = not quoted
        elif char == ";" and not quoted:
            return line[:index]
    return line


class Inf:
    """Sections of (key or None, [fields]) lines, keys and section names in
    lower case, fields with strings substituted and quotes removed."""

    def __init__(self, text):
        raw = {}
        order = []
        section = None
        pending = ""
        for line in text.splitlines():
            line = pending + strip_comment(line).strip()
            pending = ""
            if line.endswith("\\") and not line.endswith("\\\\"):
                pending = line[:-1]
                continue
            if not line:
                continue
            header = re.fullmatch(r"\[([^\]]+)\]", line)
            if header:
                section = header.group(1).strip().lower()
                if section not in raw:
                    raw[section] = []
                    order.append(section)
                continue
            if section is not None:
                raw[section].append(line)
        self.strings = {}
        for line in raw.get("strings", []):
            key, _, value = line.partition("=")
            self.strings[key.strip().lower()] = self.unquote(value.strip())
        self.sections = {}
        for name in order:
            entries = []
            for line in raw[name]:
                halves = split_outside_quotes(line, "=")
                key = halves[0].strip().lower() if len(halves) > 1 else None
                value = "=".join(halves[1:]) if len(halves) > 1 else halves[0]
                fields = [self.field(f) for f in split_outside_quotes(value, ",")]
                entries.append((key, fields))
            self.sections[name] = entries

    @staticmethod
    def unquote(text):
        if len(text) >= 2 and text[0] == '"' and text[-1] == '"':
            return text[1:-1].replace('""', '"')
        return text

    def field(self, text):
        text = self.unquote(text.strip())

        def substitute(match):
            name = match.group(1)
            if name == "":
                return "%"
            if name.isdigit():  # a directory ID such as %12%
                return match.group(0)
            return self.strings.get(name.lower(), match.group(0))

        return re.sub(r"%([^%]*)%", substitute, text)

    def section(self, name):
        return self.sections.get(name.lower())

    def values(self, section, key):
        """Every field of every `key = ...` line of a section."""
        return [field for k, fields in self.sections.get(section.lower(), []) if k == key
                for field in fields]


def install_section(inf, name):
    """The decorated install section the system picks on 64-bit Windows."""
    for decorated in (name + ".ntamd64", name + ".nt", name):
        if inf.section(decorated) is not None:
            return decorated.lower()
    return None


def check(inf, facts, image):
    problems = []
    problem = problems.append

    # --- The class and the models -------------------------------------------
    version = dict((k, f[0]) for k, f in inf.sections.get("version", []) if k)
    if version.get("signature", "").lower() != "$windows nt$":
        problem("[Version] Signature is not $Windows NT$")
    if version.get("class", "").lower() != "media":
        problem("[Version] Class is %s, not MEDIA" % version.get("class"))
    if version.get("classguid", "").upper() != MEDIA_CLASS_GUID:
        problem("[Version] ClassGuid is %s, not the MEDIA class's %s"
                % (version.get("classguid"), MEDIA_CLASS_GUID))
    if "driverver" not in version:
        problem("[Version] has no DriverVer")

    installs = []
    for _, fields in inf.sections.get("manufacturer", []):
        models, decorations = fields[0], [d.lower() for d in fields[1:]]
        amd64 = [d for d in decorations if d.startswith("ntamd64")]
        if not amd64:
            problem("manufacturer %s has no models for 64-bit Windows (NTamd64)" % models)
        for decoration in amd64:
            for _, model in inf.sections.get((models + "." + decoration).lower(), []):
                if len(model) < 2 or not model[1]:
                    problem("model %s has no hardware ID" % model)
                else:
                    installs.append(model[0])
    if not installs:
        problem("no model installs anything on 64-bit Windows")

    registered = set()  # (reference string, interface class GUID)
    named = {}  # GUID -> display text
    for install in sorted(set(installs)):
        section = install_section(inf, install)
        if section is None:
            problem("install section %s is missing" % install)
            continue
        includes = {v.lower() for v in inf.values(section, "include")}
        needs = {v.lower() for v in inf.values(section, "needs")}
        for wanted in ("ks.inf", "wdmaudio.inf"):
            if wanted not in includes:
                problem("[%s] does not include %s" % (section, wanted))
        for wanted in ("ks.registration", "wdmaudio.registration"):
            if wanted not in needs:
                problem("[%s] does not need %s" % (section, wanted))

        copied = {fields[0].lower() for name in inf.values(section, "copyfiles")
                  for _, fields in inf.sections.get(name.lower(), [])}
        if image.lower() not in copied:
            problem("[%s] does not copy %s" % (section, image))

        for name in inf.values(section, "addreg"):
            for _, fields in inf.sections.get(name.lower(), []):
                media = re.fullmatch(r"mediacategories\\(\{[0-9a-f-]+\})", fields[1].lower())
                if fields[0].lower() == "hkr" and media and len(fields) >= 5 and \
                        fields[2].lower() == "name":
                    named[media.group(1).upper()] = fields[4]

        for key, fields in inf.sections.get(section + ".interfaces", []):
            if key != "addinterface":
                continue
            if len(fields) < 3 or not fields[2]:
                problem("AddInterface %s has no interface section" % ",".join(fields))
                continue
            category, reference, interface_section = fields[0].upper(), fields[1], fields[2]
            registered.add((reference, category))
            values = {}
            for name in inf.values(interface_section, "addreg"):
                for _, reg in inf.sections.get(name.lower(), []):
                    if reg[0].lower() == "hkr" and reg[1] == "" and len(reg) >= 5:
                        values[reg[2].lower()] = reg[4]
            for value in ("friendlyname", "clsid"):
                if not values.get(value):
                    problem("interface %s of %s sets no %s" % (category, reference, value))

        services = [fields for key, fields in inf.sections.get(section + ".services", [])
                    if key == "addservice"]
        if not services:
            problem("[%s.Services] adds no service" % section)
        for fields in services:
            flags = int(fields[1], 0) if len(fields) > 1 and fields[1] else 0
            if not flags & 0x2:
                problem("AddService %s is not the device's function driver (flag 0x2)"
                        % fields[0])
            service = dict((k, f[0]) for k, f in inf.sections.get(fields[2].lower(), []) if k) \
                if len(fields) > 2 else {}
            if service.get("servicetype") != "1":
                problem("service %s is not a kernel driver (ServiceType 1)" % fields[0])
            if not service.get("servicebinary", "").lower().endswith("\\" + image.lower()):
                problem("service %s does not run %s" % (fields[0], image))

    # --- Against the driver -------------------------------------------------
    symbols = {i.guid: i.category for i in facts.interfaces}
    wanted = {(i.reference, i.guid) for i in facts.interfaces}
    for reference, category in sorted(wanted - registered):
        problem("%s is not registered under %s %s" % (reference, symbols[category], category))
    for reference, category in sorted(registered - wanted):
        known = facts.subdevice(reference) is not None
        problem("the INF registers %s under %s, which the driver %s" % (
            reference, symbols.get(category, category),
            "does not register it under" if known else "never registers (no such subdevice)"))

    driver_names = facts.driver_names()
    for guid, names in driver_names.items():
        where = ", ".join("%s %s" % (n.reference, n.where) for n in names)
        if not named.get(guid):
            problem("%s %s (%s) has no name under HKR,MediaCategories"
                    % (names[0].symbol, guid, where))
    handed_out = {n.guid for n in facts.names}
    for guid in sorted(set(named) - handed_out):
        problem("the INF names %s, which no filter of the driver hands out" % guid)
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description="Checks an INF against the driver.")
    parser.add_argument("inf")
    parser.add_argument("facts")
    parser.add_argument("--image", default="nuvaudio.sys")
    args = parser.parse_args(argv[1:])
    try:
        with open(args.inf, encoding="utf-8-sig") as inf_file:
            inf = Inf(inf_file.read())
        facts = installfacts.read(args.facts)
    except (OSError, UnicodeError, installfacts.FactsError) as error:
        sys.stderr.write("check-inf: %s\n" % error)
        return 1
    problems = check(inf, facts, args.image)
    for text in problems:
        sys.stderr.write("check-inf: %s: %s\n" % (args.inf, text))
    if problems:
        sys.stderr.write("check-inf: %s: %d problem(s)\n" % (args.inf, len(problems)))
        return 1
    print("check-inf: %s: ok (%d interfaces of %d subdevices, %d names of the driver's)"
          % (args.inf, len(facts.interfaces), len(facts.subdevices), len(facts.driver_names())))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
