"""application/x-www-form-urlencoded bodies, byte for byte.

The client encodes each byte on its own: A-Z, a-z and 0-9 stay, a space
becomes "+", every other byte becomes "%" and two upper-case hex digits.
Decoding accepts any valid form: "+" is a space, "%XX" (either case) a byte,
every other byte stands for itself.
"""

_HEX = b"0123456789ABCDEFabcdef"
_PLAIN = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")


class FormError(ValueError):
    pass


def decode_component(data):
    """Decode one name or value (bytes) to bytes."""
    out = bytearray()
    i = 0
    n = len(data)
    while i < n:
        c = data[i]
        if c == 0x2B:                      # '+'
            out.append(0x20)
            i += 1
        elif c == 0x25:                    # '%'
            pair = data[i + 1:i + 3]
            if len(pair) != 2 or pair[0] not in _HEX or pair[1] not in _HEX:
                raise FormError("bad percent escape at byte %d" % i)
            out.append(int(pair, 16))
            i += 3
        else:
            out.append(c)
            i += 1
    return bytes(out)


def parse_form(body):
    """Split a form body into a list of (name, value) byte pairs, in order.
    Empty pieces ("a=1&&b=2") are skipped; a piece without "=" has an empty
    value."""
    fields = []
    if not body:
        return fields
    for piece in body.split(b"&"):
        if not piece:
            continue
        name, _, value = piece.partition(b"=")
        fields.append((decode_component(name), decode_component(value)))
    return fields


def first_field(fields, name):
    """The value of the first field called `name` (bytes), or None."""
    for key, value in fields:
        if key == name:
            return value
    return None


def encode_component(data):
    """Encode bytes the way the client does; returns ASCII bytes."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    out = bytearray()
    for c in data:
        if c in _PLAIN:
            out.append(c)
        elif c == 0x20:
            out.append(0x2B)
        else:
            out += b"%%%02X" % c
    return bytes(out)


def encode_form(pairs):
    """Build a body from (name, value) pairs, names and values str or bytes."""
    return b"&".join(encode_component(k) + b"=" + encode_component(v) for k, v in pairs)


def decode_text(data):
    """Bytes of a field to text: UTF-8 when valid, else GBK (the client's ANSI
    code page on its target PCs). Returns (text, encoding name)."""
    try:
        return data.decode("utf-8"), "utf-8"
    except UnicodeDecodeError:
        pass
    try:
        return data.decode("gb18030"), "gbk"
    except UnicodeDecodeError:
        raise FormError("field is neither UTF-8 nor GBK text")
