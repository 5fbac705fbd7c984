"""The install facts that `nuvsim devices --install-facts` writes: what the
driver registered when it started on the host platform (tools/nuvsim/
installfacts.h has the format). Read by the INF generator and the INF check.
"""
import collections

Subdevice = collections.namedtuple("Subdevice", "reference kind device_index")
Interface = collections.namedtuple("Interface", "reference category guid")
Name = collections.namedtuple("Name", "guid symbol reference where")

# Names the system's own media-category registry holds (ks.inf and
# wdmaudio.inf install them with every system): the platform's KSAUDFNAME_
# and KSNODETYPE_ identifiers. Every other name identifier a filter hands
# out is the driver's, and its INF has to name it.
PLATFORM_NAME_PREFIXES = ("KSAUDFNAME_", "KSNODETYPE_")


def is_platform_name(symbol):
    return symbol.startswith(PLATFORM_NAME_PREFIXES)


class FactsError(Exception):
    pass


class Facts:
    def __init__(self, text):
        self.start = None
        self.subdevices = []
        self.interfaces = []
        self.names = []
        for number, line in enumerate(text.splitlines(), 1):
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            kind = fields[0]
            if kind == "start" and len(fields) == 2:
                self.start = fields[1]
            elif kind == "subdevice" and len(fields) == 4:
                index = None if fields[3] == "-" else int(fields[3])
                self.subdevices.append(Subdevice(fields[1], fields[2], index))
            elif kind == "interface" and len(fields) == 4:
                self.interfaces.append(Interface(fields[1], fields[2], fields[3].upper()))
            elif kind == "name" and len(fields) >= 5:
                self.names.append(Name(fields[1].upper(), fields[2], fields[3],
                                       " ".join(fields[4:])))
            else:
                raise FactsError("line %d: cannot read: %s" % (number, line))
        if self.start != "STATUS_SUCCESS":
            raise FactsError("the driver's start did not succeed (%s): the facts are partial"
                             % self.start)
        if not self.subdevices:
            raise FactsError("no subdevice registered")

    def driver_names(self):
        """{guid: [Name...]} of the name identifiers the INF has to name."""
        names = collections.OrderedDict()
        for name in self.names:
            if not is_platform_name(name.symbol):
                names.setdefault(name.guid, []).append(name)
        return names

    def subdevice(self, reference):
        for subdevice in self.subdevices:
            if subdevice.reference == reference:
                return subdevice
        return None


def read(path):
    with open(path, encoding="utf-8") as facts_file:
        return Facts(facts_file.read())
