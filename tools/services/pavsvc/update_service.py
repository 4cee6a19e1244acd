"""The reference update service: POST /softServer/req, form field requestStr.

Request (the value of requestStr):
  {"data":{"softList":[{"soft":T,"upgrade":"false","version":V}]},
   "pid":"PROTOCOL_99","uid":U}
Answer:
  {"code":"0","data":{"softList":[{"address":...,"version":...,"soft":...,
                                   "excuteExe":true}, ...]}}
"code" is a JSON string holding a decimal integer; see CODES.
"""

import json
import os
import re
import sys
import threading
import urllib.parse

from . import faults as faultmod
from . import signing
from .form import FormError, decode_text, first_field, parse_form
from .httpcore import HttpServer, Limits, RequestLog, Service, utc_timestamp

PATHS = ("/softServer/req", "//softServer/req")
PROTOCOL_ID = "PROTOCOL_99"
PLACEHOLDER = "{packages}"
JSON_TYPE = "application/json;charset=UTF-8"

# Answer codes other than "0". The first two come with HTTP 200; the request
# errors come with HTTP 400, the HTTP-level refusals with their own status.
CODES = {
    "1": "service failure (fault mode code1)",
    "2": "unknown product",
    "3": "no package for this product version",
    "10": "body is not a valid form",
    "11": "form field requestStr missing",
    "12": "requestStr is not JSON",
    "13": "request fields missing or of the wrong type",
    "14": "unknown protocol id",
    "15": "malformed X-Pavonix-Nonce (signing service only)",
    "16": "key version not held (signing service only)",
}

_ENTRY_KEYS = {"packages", "fault", "code", "msg"}


class CatalogueError(ValueError):
    pass


class Entry:
    """What one product version answers."""

    def __init__(self, packages, code="0", msg=None, fault=None):
        self.packages = packages
        self.code = code
        self.msg = msg
        self.fault = fault


def _expand(value, base):
    if isinstance(value, str):
        return value.replace(PLACEHOLDER, base) if base is not None else value
    if isinstance(value, list):
        return [_expand(v, base) for v in value]
    if isinstance(value, dict):
        return {k: _expand(v, base) for k, v in value.items()}
    return value


def _uses_placeholder(value):
    if isinstance(value, str):
        return PLACEHOLDER in value
    if isinstance(value, list):
        return any(_uses_placeholder(v) for v in value)
    if isinstance(value, dict):
        return any(_uses_placeholder(v) for v in value.values())
    return False


def parse_catalogue(doc, packages_url=None):
    """Validate a catalogue document; returns {product: {version: Entry}}.

    Layout: {"products": {TYPE: {VERSION or "*": [package, ...] or
    {"packages": [...], "code": "0", "msg": "...", "fault": "..."}}}}.
    Keys starting with "_" are comments. Packages are sent as written, with
    "{packages}" replaced by the package server's base URL."""
    if not isinstance(doc, dict) or not isinstance(doc.get("products"), dict):
        raise CatalogueError('the catalogue must be an object with a "products" object')
    base = packages_url.rstrip("/") if packages_url else None
    products = {}
    for soft, versions in doc["products"].items():
        if soft.startswith("_"):
            continue
        if not isinstance(versions, dict):
            raise CatalogueError("product %r: expected an object of versions" % soft)
        table = {}
        for version, entry in versions.items():
            if version.startswith("_"):
                continue
            where = "product %r version %r" % (soft, version)
            if isinstance(entry, list):
                entry = {"packages": entry}
            if not isinstance(entry, dict):
                raise CatalogueError(where + ": expected a list of packages or an object")
            unknown = {k for k in entry if not k.startswith("_")} - _ENTRY_KEYS
            if unknown:
                raise CatalogueError(where + ": unknown keys " + ", ".join(sorted(unknown)))
            packages = entry.get("packages", [])
            if not isinstance(packages, list):
                raise CatalogueError(where + ': "packages" must be a list')
            packages = [{k: v for k, v in p.items() if not k.startswith("_")}
                        if isinstance(p, dict) else p for p in packages]
            if base is None and _uses_placeholder(packages):
                raise CatalogueError(where + ": uses {packages} but no package server URL is set")
            fault = entry.get("fault")
            if fault is not None:
                try:
                    fault = faultmod.parse_fault(fault, faultmod.UPDATE_FAULTS)
                except ValueError as exc:
                    raise CatalogueError("%s: %s" % (where, exc))
                if fault.name == "refuse":
                    raise CatalogueError(where + ': "refuse" applies to the whole service only')
            msg = entry.get("msg")
            if msg is not None and not isinstance(msg, str):
                raise CatalogueError(where + ': "msg" must be a string')
            table[version] = Entry(_expand(packages, base), entry.get("code", "0"), msg, fault)
        products[soft] = table
    return products


class Catalogue:
    """A catalogue file, read again whenever it changes on disk."""

    def __init__(self, path, packages_url=None):
        self.path = path
        self.packages_url = packages_url
        self._lock = threading.Lock()
        self._stamp = None
        self.products = self._load()

    def _read_stamp(self):
        st = os.stat(self.path)
        return (st.st_mtime_ns, st.st_size, st.st_ino)

    def _load(self):
        stamp = self._read_stamp()
        try:
            with open(self.path, "rb") as f:
                doc = json.loads(f.read().decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as exc:
            raise CatalogueError("%s: not a UTF-8 JSON file: %s" % (self.path, exc))
        products = parse_catalogue(doc, self.packages_url)
        self._stamp = stamp
        return products

    def current(self):
        """The products, reloading first when the file changed. A changed file
        that does not load keeps the previous products (reported on stderr)."""
        with self._lock:
            try:
                if self._read_stamp() != self._stamp:
                    self.products = self._load()
            except (OSError, CatalogueError) as exc:
                sys.stderr.write("update-service: keeping the previous catalogue: %s\n" % exc)
                try:
                    self._stamp = self._read_stamp()
                except OSError:
                    pass
            return self.products


class RequestInvalid(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code
        self.message = message


def parse_request_text(text):
    """Check the request JSON; returns {"pid","uid","softList":[...]}"""
    try:
        doc = json.loads(text)
    except (json.JSONDecodeError, RecursionError) as exc:
        raise RequestInvalid("12", "requestStr is not JSON: %s" % exc)
    if not isinstance(doc, dict):
        raise RequestInvalid("13", "requestStr must hold a JSON object")
    pid = doc.get("pid")
    if not isinstance(pid, str):
        raise RequestInvalid("13", '"pid" must be a string')
    if pid != PROTOCOL_ID:
        raise RequestInvalid("14", "unknown protocol id %r" % pid)
    uid = doc.get("uid")
    if not isinstance(uid, str):
        raise RequestInvalid("13", '"uid" must be a string')
    data = doc.get("data")
    if not isinstance(data, dict) or not isinstance(data.get("softList"), list):
        raise RequestInvalid("13", '"data.softList" must be an array')
    items = data["softList"]
    if not items:
        raise RequestInvalid("13", '"data.softList" is empty')
    if len(items) > 100:
        raise RequestInvalid("13", '"data.softList" holds more than 100 products')
    soft_list = []
    for i, item in enumerate(items):
        if not isinstance(item, dict):
            raise RequestInvalid("13", "softList[%d] must be an object" % i)
        for key in ("soft", "version"):
            if not isinstance(item.get(key), str):
                raise RequestInvalid("13", "softList[%d].%s must be a string" % (i, key))
        upgrade = item.get("upgrade")
        if upgrade is not None and not isinstance(upgrade, str):
            raise RequestInvalid("13", "softList[%d].upgrade must be a string" % i)
        soft_list.append({"soft": item["soft"], "version": item["version"], "upgrade": upgrade})
    return {"pid": pid, "uid": uid, "softList": soft_list}


def dump(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def error_body(code, msg):
    return dump({"code": code, "msg": msg})


def package_file_name(address):
    """The file a package address names on the package server: the part after
    its last "/", percent-decoded (query and fragment dropped)."""
    if not isinstance(address, str):
        return None
    path = urllib.parse.urlsplit(address).path
    return urllib.parse.unquote(path.rpartition("/")[2])


_SHA256 = re.compile(r"[0-9a-fA-F]{64}\Z")


class UpdateService(Service):
    """With `signer` (signing.KeyRing, or one signing.Signer taken as key
    version 1) every reply to a request carrying a nonce is signed for it with
    the key of the version it names, and each listed package carries the
    "sha256" the catalogue recorded when it was published: a package without
    one, or whose file in the `package_hashes` folder no longer matches it,
    is left out (logged). Without a signer, `package_hashes`
    (signing.PackageHashes) gives every package whose file the folder holds
    its "sha256", unless the catalogue gives one.

    With `signed_catalogue` (signedcat.SignedCatalogue, checked when it
    loaded) a signed reply lists exactly what the product version's
    statement holds, and carries the statement."""

    def __init__(self, catalogue, host="127.0.0.1", port=9006, fault=None,
                 log_path=None, limits=None, signer=None, package_hashes=None,
                 signed_catalogue=None):
        self.catalogue = catalogue
        self.signed_catalogue = signed_catalogue
        self.fault = fault
        if isinstance(signer, signing.Signer):
            signer = signing.KeyRing({1: signer})
        self.signer = signer
        self.package_hashes = package_hashes
        self.log = RequestLog(log_path)
        self.server = HttpServer("update-service", self.handle, host, port,
                                 limits or Limits(), error_reply=self._error_reply,
                                 log=self.log)

    @property
    def url(self):
        return self.server.base_url + "/" + PATHS[0]

    @staticmethod
    def _error_reply(status, message):
        return error_body(str(status), message), JSON_TYPE

    # -- answering ------------------------------------------------------

    def handle(self, req, resp):
        entry = {"time": utc_timestamp(), "service": "update-service",
                 "client": req.client, "method": req.method, "path": req.target,
                 "headers": [[k, v] for k, v in req.headers],
                 "body": req.body.decode("utf-8", "backslashreplace"),
                 "requestStr": None, "request": None, "error": None, "fault": None}
        header = req.header(signing.NONCE_HEADER) if self.signer is not None else None
        nonce = signing.parse_nonce(header) if header is not None else None
        key = self.signer.get(nonce[0]) if nonce else None
        status, body, fault = self._decide(req, entry, signed=header is not None)
        if header is not None and nonce is None:
            entry["error"] = "malformed nonce"
            status, body, fault = 400, error_body(
                "15", "%s must be a key version, a colon and 64 lower-case hexadecimal digits"
                % signing.NONCE_HEADER), None
        elif nonce is not None and key is None:
            # Never an unsigned fallback: the program refuses this answer.
            entry["error"] = "key version %d not held" % nonce[0]
            status, body, fault = 400, error_body("16", entry["error"]), None
            nonce = None
        fault = fault or self.fault
        action, status, body, ctype = self._plan(fault, status, body)
        entry["fault"] = repr(fault) if fault else None
        entry["signed"] = nonce is not None and action in ("send", "slow")
        entry["key_version"] = nonce[0] if nonce is not None else None
        entry["status"] = status
        entry["answer"] = body.decode("utf-8", "backslashreplace") if status else None
        # The line is written before the answer goes out, so that a client
        # that has its answer also finds the request in the log.
        self.log.write(entry)
        if action == "slow":
            if not resp.stall(fault.arg / 1000.0):
                resp.abort(reset=False)
                return
            action = "send"
        if action == "close":
            resp.abort(reset=False)
        elif action == "chunked":
            resp.send_chunked(status, body, ctype)
        else:
            extra = [("Allow", "POST")] if status == 405 else []
            if nonce is not None:
                extra += [(signing.SIGNATURE_HEADER, key.sign(nonce[0], nonce[1], req.body, body)),
                          (signing.NONCE_HEADER, header)]
            resp.send(status, body, ctype, headers=extra)

    def _decide(self, req, entry, signed=False):
        """(status, body, entry fault) for a request, without global faults."""
        if req.path not in PATHS:
            return 404, error_body("404", "no such path: " + req.path), None
        if req.method != "POST":
            return 405, error_body("405", "only POST is served here"), None
        ctype = (req.header("Content-Type") or "").split(";")[0].strip().lower()
        if ctype != "application/x-www-form-urlencoded":
            entry["error"] = "Content-Type is not application/x-www-form-urlencoded"
            return 415, error_body("10", entry["error"]), None
        try:
            fields = parse_form(req.body)
            raw = first_field(fields, b"requestStr")
            if raw is None:
                raise RequestInvalid("11", "form field requestStr missing")
            text, encoding = decode_text(raw)
            entry["requestStr"] = text
            entry["encoding"] = encoding
            request = parse_request_text(text)
        except FormError as exc:
            entry["error"] = str(exc)
            return 400, error_body("10", "bad form: %s" % exc), None
        except RequestInvalid as exc:
            entry["error"] = exc.message
            return 400, error_body(exc.code, exc.message), None
        entry["request"] = request
        if signed and len(request["softList"]) != 1:
            # A signed answer speaks for one catalogue entry, never a blend.
            entry["error"] = "a signed request names one product"
            return 400, error_body("13", entry["error"]), None
        return self._answer(request, entry if signed else None)

    def _answer(self, request, signed_entry=None):
        """The catalogue's answer. With signed_entry (the request's log entry)
        packages carry only their recorded hashes."""
        products = self.catalogue.current()
        if signed_entry is not None and self.signed_catalogue is not None:
            return self._answer_statement(request["softList"][0], products)
        matched = []
        missing = []
        for item in request["softList"]:
            table = products.get(item["soft"])
            if table is None:
                missing.append(("2", "unknown product: " + item["soft"]))
                continue
            found = table.get(item["version"], table.get("*"))
            if found is None:
                missing.append(("3", "no package for %s version %s" % (item["soft"], item["version"])))
                continue
            matched.append(found)
        if not matched:
            code, msg = missing[0]
            return 200, dump({"code": code, "msg": msg}), None
        first = matched[0]
        # An entry the catalogue switched off (a code other than "0") lists
        # nothing, whatever packages it still holds.
        listed = [p for e in matched if str(e.code) == "0" for p in e.packages]
        if signed_entry is not None:
            packages = self._recorded(listed, signed_entry)
        else:
            packages = [self._with_hash(p) for p in listed]
        answer = {"code": first.code}
        if first.msg is not None:
            answer["msg"] = first.msg
        answer["data"] = {"softList": packages}
        fault = next((e.fault for e in matched if e.fault is not None), None)
        return 200, dump(answer), fault

    def _answer_statement(self, item, products):
        """The signed catalogue's answer for one product version: its
        statement verbatim and the packages it holds."""
        found = self.signed_catalogue.find(item["soft"], item["version"])
        if found is None:
            return 200, dump({"code": "3", "msg": "no signed statement for %s version %s"
                              % (item["soft"], item["version"])}), None
        stmt, carried = found
        packages = self.signed_catalogue.listing(stmt, item["version"], self.package_hashes)
        table = products.get(item["soft"]) or {}
        entry = table.get(item["version"], table.get("*"))
        answer = {"code": "0", "data": {"softList": packages}, "catalogue": carried}
        return 200, dump(answer), entry.fault if entry is not None else None

    def _recorded(self, packages, entry):
        """The packages whose recorded hash still holds: the signature never
        covers a hash taken from whatever lies in the folder now."""
        kept = []
        for package in packages:
            why = self._unpublished(package)
            if why is None:
                kept.append(package)
                continue
            address = package.get("address") if isinstance(package, dict) else package
            line = "left out %r: %s" % (address, why)
            entry.setdefault("left_out", []).append(line)
            sys.stderr.write("update-service: %s\n" % line)
        return kept

    def _unpublished(self, package):
        """Why a package may not be listed in a signed answer, or None."""
        if not isinstance(package, dict):
            return "not a package object"
        recorded = package.get("sha256")
        if not isinstance(recorded, str) or not _SHA256.match(recorded):
            return "no recorded sha256 (publish it)"
        if self.package_hashes is None:
            return None
        found = self.package_hashes.stat(package_file_name(package.get("address")))
        if found is None:
            return "its file is not in the package folder"
        size = package.get("size")
        if found[0] != recorded.lower() or (size is not None and size != found[1]):
            return "its file no longer matches the recorded sha256"
        return None

    def _with_hash(self, package):
        if self.package_hashes is None or not isinstance(package, dict) or "sha256" in package:
            return package
        digest = self.package_hashes.of(package_file_name(package.get("address")))
        return dict(package, sha256=digest) if digest else package

    def _plan(self, fault, status, body):
        """(action, status, body, content type) of the answer under `fault`;
        action is send, chunked, slow or close."""
        name = fault.name if fault else None
        if name is None:
            return "send", status, body, JSON_TYPE
        if name == "close":
            return "close", None, b"", None
        if name in ("404", "500"):
            phrase = "Not Found" if name == "404" else "Internal Server Error"
            page = "<html><body><h1>%s %s</h1></body></html>\n" % (name, phrase)
            return "send", int(name), page.encode("ascii"), "text/html"
        if name == "empty":
            return "send", 200, b"", JSON_TYPE
        if name == "notjson":
            page = b"<html><body><p>Service temporarily unavailable</p></body></html>\n"
            return "send", 200, page, "text/html"
        if name == "chunked":
            return "chunked", status, body, JSON_TYPE
        if name == "slow":
            return "slow", status, body, JSON_TYPE
        packages = self._packages_of(body)
        if name == "code1":
            body = dump({"code": "1", "msg": "service failure", "data": {"softList": packages}})
            return "send", 200, body, JSON_TYPE
        if name == "list":
            stretched = [packages[i % len(packages)] for i in range(fault.arg)] if packages else []
            return "send", 200, dump({"code": "0", "data": {"softList": stretched}}), JSON_TYPE
        raise AssertionError("unhandled fault " + name)

    @staticmethod
    def _packages_of(body):
        try:
            doc = json.loads(body.decode("utf-8"))
            packages = doc["data"]["softList"]
            return packages if isinstance(packages, list) else []
        except (ValueError, KeyError, TypeError):
            return []
