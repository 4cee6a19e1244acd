"""Fault specifications: "name" or "name=argument"."""

# name -> kind of argument (None: takes none)
UPDATE_FAULTS = {
    "refuse": None,     # do not listen at all (process-wide only)
    "close": None,      # accept, read the request, close without a word
    "404": None,
    "500": None,
    "empty": None,      # 200 with Content-Length: 0
    "chunked": None,    # 200, the normal answer chunked, no Content-Length
    "notjson": None,    # 200 with an HTML page
    "code1": None,      # 200 with "code":"1" (and the packages that would have come)
    "list": "count",    # the normal answer stretched to N packages
    "slow": "ms",       # wait before answering
}

PACKAGE_FAULTS = {
    "close": None,
    "404": None,
    "500": None,
    "empty": None,      # 200 with Content-Length: 0
    "chunked": None,    # the file chunked, no Content-Length
    "cut": None,        # half the file, then a clean close
    "reset": None,      # half the file, then a TCP reset
    "short": None,      # one byte less than Content-Length, then a clean close
    "slow": "ms",       # head at once, body after the wait
    "stall": "ms",      # nothing at all until the wait is over
    "cutevery": "bytes",  # every answer ends with a clean close after N body bytes
}

LOCAL_MODES = {
    "ok": None,
    "down": None,       # do not listen at all
    "close": None,
    "code1": None,
    "notjson": None,
    "404": None,
    "noversion": None,
    "500": None,
    "chunked": None,
    "empty": None,
    "slow": "ms",
}


class Fault:
    def __init__(self, name, arg=None):
        self.name = name
        self.arg = arg

    def __repr__(self):
        return self.name if self.arg is None else "%s=%d" % (self.name, self.arg)

    def __eq__(self, other):
        return isinstance(other, Fault) and (self.name, self.arg) == (other.name, other.arg)


def parse_fault(text, table):
    """Parse `text` against one of the tables above; raises ValueError."""
    if not isinstance(text, str) or not text:
        raise ValueError("a fault must be a non-empty string")
    name, sep, arg = text.partition("=")
    if name not in table:
        raise ValueError("unknown fault %r (known: %s)" % (name, ", ".join(sorted(table))))
    kind = table[name]
    if kind is None:
        if sep:
            raise ValueError("fault %r takes no argument" % name)
        return Fault(name)
    if not sep or not arg.isdigit() or not arg.isascii():
        raise ValueError("fault %r needs a non-negative whole number: %s=<%s>" % (name, name, kind))
    value = int(arg)
    if kind == "count" and value > 10000:
        raise ValueError("fault %r: at most 10000 packages" % name)
    if kind == "ms" and value > 3600 * 1000:
        raise ValueError("fault %r: at most 3600000 ms" % name)
    if kind == "bytes" and value == 0:
        raise ValueError("fault %r: at least 1 byte" % name)
    return Fault(name, value)
