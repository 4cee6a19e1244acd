"""The offline-signed catalogue: what a signed reply may list.

The vendor's catalogue key (a second P-256 pair, made with keygen on the
offline machine) signs one statement per product and version rule. The
update service holds only the signed file: it serves a product's statement
verbatim in its reply, under the member

  "catalogue": {"statement": <hex of the statement's bytes>,
                "signature": <128 hex digits, r then s>}

and lists only the packages the statement holds. A statement is JSON in
exactly one form (printable ASCII without a backslash, no blanks, members in
ascending order, integers in decimal):

  {"expires":"2027-01-31T00:00:00Z","packages":[{"address":...,
   "excuteExe":true,"file":"a.exe","sha256":...,"size":1234}],
   "product":"levyDesk","version":7,"versions":["V1.*"]}

The signature covers
  b"pavonix-catalogue-v1\\n" b"key-version <decimal>\\n"
  b"statement-length <decimal>\\n" + statement
"""

import datetime
import json
import os
import re
import tempfile

from . import signing
from .update_service import CatalogueError, package_file_name, parse_catalogue

CONTEXT = b"pavonix-catalogue-v1\n"
FORMAT = "pavonix-signed-catalogue-v1"
_SHA256 = re.compile(r"[0-9a-f]{64}\Z")
_UTC = "%Y-%m-%dT%H:%M:%SZ"
MAX_VERSION = 0xFFFFFFFF
MAX_SIZE = 0xFFFFFFFF


def message(key_version, statement):
    """The bytes a statement's signature covers."""
    head = "key-version %d\nstatement-length %d\n" % (key_version, len(statement))
    return CONTEXT + head.encode("ascii") + statement


def statement_bytes(doc):
    """The one form of a statement object; refuses what it cannot hold."""
    text = json.dumps(doc, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
    if "\\" in text or any(not 0x20 <= ord(c) <= 0x7E for c in text):
        raise CatalogueError("a statement holds a character that needs an escape: %s" % text)
    return text.encode("ascii")


def utc_text(moment):
    return moment.strftime(_UTC)


def statements_of(doc, packages_url, version, expires):
    """The statement objects of an (unsigned) catalogue document: one per
    product and version entry that lists packages, each with its recorded
    sha256 and size and its address with {packages} replaced."""
    products = parse_catalogue(doc, packages_url)
    out = []
    for product in sorted(products):
        for rule, entry in sorted(products[product].items()):
            if str(entry.code) != "0":
                continue
            packages = []
            for p in entry.packages:
                where = "%s %s %r" % (product, rule, p.get("address") if isinstance(p, dict) else p)
                if not isinstance(p, dict) or not isinstance(p.get("address"), str):
                    raise CatalogueError(where + ": not a package with an address")
                sha = p.get("sha256")
                if not isinstance(sha, str) or not _SHA256.match(sha.lower()):
                    raise CatalogueError(where + ": no recorded sha256 (publish it)")
                size = p.get("size")
                if isinstance(size, bool) or not isinstance(size, int) or \
                        not 1 <= size <= MAX_SIZE:
                    raise CatalogueError(where + ": no recorded size (publish it)")
                address = p["address"]
                packages.append({"address": address, "excuteExe": p.get("excuteExe") is not False,
                                 "file": address.rpartition("/")[2], "sha256": sha.lower(),
                                 "size": size})
            out.append({"expires": expires, "packages": packages, "product": product,
                        "version": version, "versions": [rule]})
    return out


def read_signed(path):
    """The signed catalogue file's document, or {} when there is none yet."""
    if not os.path.exists(path):
        return {}
    try:
        with open(path, "rb") as f:
            doc = json.loads(f.read().decode("ascii"))
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise CatalogueError("%s: not a signed catalogue: %s" % (path, exc))
    if not isinstance(doc, dict) or doc.get("format") != FORMAT:
        raise CatalogueError("%s: not a signed catalogue (format %s)" % (path, FORMAT))
    return doc


def sign(catalogue_path, packages_url, signer, key_version, out_path, days=30, version=None,
         now=None):
    """Signs the catalogue's entries into out_path with the next catalogue
    version (one more than the file held, or `version`, which must be
    higher), expiring `days` from now. Returns (version, expires text)."""
    if not 1 <= days <= 366:
        raise CatalogueError("the expiry must be 1 to 366 days away")
    previous = read_signed(out_path).get("version", 0)
    if version is None:
        version = previous + 1
    if not isinstance(version, int) or version <= previous or version > MAX_VERSION:
        raise CatalogueError("catalogue version %r is not above %d, the last one signed"
                             % (version, previous))
    try:
        with open(catalogue_path, "rb") as f:
            doc = json.loads(f.read().decode("utf-8"))
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise CatalogueError("%s: not a readable catalogue: %s" % (catalogue_path, exc))
    now = now or datetime.datetime.now(datetime.timezone.utc)
    expires = utc_text(now + datetime.timedelta(days=days))
    signed = []
    for stmt in statements_of(doc, packages_url, version, expires):
        data = statement_bytes(stmt)
        signed.append({"statement": data.hex(),
                       "signature": signer.sign_bytes(message(key_version, data))})
    out = {"format": FORMAT, "keyVersion": key_version, "version": version, "expires": expires,
           "statements": signed}
    folder = os.path.dirname(os.path.abspath(out_path))
    fd, tmp = tempfile.mkstemp(prefix=".signed-", dir=folder)
    with os.fdopen(fd, "w", encoding="ascii") as f:
        json.dump(out, f, indent=1, sort_keys=True)
        f.write("\n")
    os.chmod(tmp, 0o644)
    os.replace(tmp, out_path)
    return version, expires


def covers(rules, version):
    for rule in rules:
        if rule.endswith("*") and version.startswith(rule[:-1]):
            return True
        if rule == version:
            return True
    return False


class SignedCatalogue:
    """A signed catalogue checked whole against the catalogue public key
    when it loads: a statement that does not verify stops the service."""

    def __init__(self, path, public_hex, key_version):
        doc = read_signed(path)
        if not doc:
            raise CatalogueError("%s: no such signed catalogue" % path)
        if doc.get("keyVersion") != key_version:
            raise CatalogueError("%s: signed with catalogue key version %r, not %d"
                                 % (path, doc.get("keyVersion"), key_version))
        self.version = doc.get("version")
        self.entries = []
        for i, item in enumerate(doc.get("statements") or []):
            try:
                data = bytes.fromhex(item["statement"])
                good = signing.verify_bytes(public_hex, message(key_version, data),
                                            item["signature"])
            except (KeyError, TypeError, ValueError):
                good = False
            if not good:
                raise CatalogueError("%s: statement %d does not verify under the catalogue key"
                                     % (path, i))
            stmt = json.loads(data.decode("ascii"))
            if statement_bytes(stmt) != data:
                raise CatalogueError("%s: statement %d is not in its one form" % (path, i))
            self.entries.append((stmt, {"signature": item["signature"],
                                        "statement": item["statement"]}))

    def find(self, product, version):
        """(statement, carried member) covering the product version, or
        None; an exact version before a rule with "*", as the catalogue."""
        mine = [e for e in self.entries if e[0]["product"] == product]
        for stmt, carried in mine:
            if version in stmt["versions"]:
                return stmt, carried
        for stmt, carried in mine:
            if covers(stmt["versions"], version):
                return stmt, carried
        return None

    @staticmethod
    def listing(stmt, version, package_hashes=None):
        """The reply packages of a statement: all it holds whose file in the
        package folder (when one is given) still matches."""
        out = []
        for p in stmt["packages"]:
            if package_hashes is not None:
                found = package_hashes.stat(package_file_name(p["address"]))
                if found != (p["sha256"], p["size"]):
                    continue
            out.append({"address": p["address"], "version": version, "soft": stmt["product"],
                        "excuteExe": p["excuteExe"], "sha256": p["sha256"], "size": p["size"]})
        return out
