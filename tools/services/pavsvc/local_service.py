"""Stand-in for the invoice control's local service.

HTTPS POST /api/getVersion with the form field crosFlag; the answer is UTF-8
JSON {"code":0,"msg":"...","version":"..."} with "code" a JSON number, or
what the chosen mode makes of it.
"""

import json
import os
import ssl

from .form import FormError, first_field, parse_form
from .httpcore import HttpServer, Limits, RequestLog, Service, utc_timestamp

PATH = "/api/getVersion"
JSON_TYPE = "application/json;charset=UTF-8"
DEFAULT_VERSION = "2.3.0.1120"
DEFAULT_MSG = "成功"


def dump(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


# PAVONIX_LOCAL_TLS=1.0 makes the service speak TLS 1.0 only, like an old
# invoice control that a current Windows refuses (for tests of that failure).
TLS_ENV = "PAVONIX_LOCAL_TLS"


def make_tls_context(cert, key, tls=None):
    tls = tls or os.environ.get(TLS_ENV) or "1.2"
    if tls not in ("1.0", "1.2"):
        raise ValueError("%s: 1.0 or 1.2, not %r" % (TLS_ENV, tls))
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    if tls == "1.0":
        ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")  # OpenSSL 3 keeps TLS 1.0 off above level 0
    else:
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(cert, key)
    return ctx


class LocalService(Service):
    def __init__(self, cert, key, host="127.0.0.1", port=28000, mode=None,
                 version=DEFAULT_VERSION, msg=DEFAULT_MSG, log_path=None, limits=None):
        if mode is not None and mode.name == "down":
            raise ValueError('mode "down" means: do not start the local service')
        self.mode = mode            # a faults.Fault of LOCAL_MODES, None for "ok"
        self.version = version
        self.msg = msg
        self.log = RequestLog(log_path)
        self.server = HttpServer("local-service", self.handle, host, port,
                                 limits or Limits(), ssl_context=make_tls_context(cert, key),
                                 error_reply=lambda s, m: (dump({"code": s, "msg": m}), JSON_TYPE),
                                 log=self.log)

    def handle(self, req, resp):
        entry = {"time": utc_timestamp(), "service": "local-service",
                 "client": req.client, "method": req.method, "path": req.target,
                 "headers": [[k, v] for k, v in req.headers],
                 "body": req.body.decode("utf-8", "backslashreplace"),
                 "form": None, "error": None,
                 "mode": repr(self.mode) if self.mode else "ok"}
        status, body = self._decide(req, entry)
        action, ctype = "send", JSON_TYPE
        if entry["error"] is None:
            action, status, body, ctype = self._plan(status, body)
        entry["status"] = status
        entry["answer"] = body.decode("utf-8", "backslashreplace") if status else None
        self.log.write(entry)      # before answering: a client with its answer finds the line
        if action == "slow":
            if not resp.stall(self.mode.arg / 1000.0):
                resp.abort(reset=False)
                return
            action = "send"
        if action == "close":
            resp.abort(reset=False)
        elif action == "chunked":
            resp.send_chunked(status, body, ctype)
        else:
            extra = [("Allow", "POST")] if status == 405 else []
            resp.send(status, body, ctype, headers=extra)

    def _decide(self, req, entry):
        if req.path != PATH:
            entry["error"] = "no such path"
            return 404, dump({"code": 404, "msg": "no such path: " + req.path})
        if req.method != "POST":
            entry["error"] = "method not allowed"
            return 405, dump({"code": 405, "msg": "only POST is served here"})
        try:
            fields = parse_form(req.body)
        except FormError as exc:
            entry["error"] = str(exc)
            return 400, dump({"code": 400, "msg": "bad form: %s" % exc})
        entry["form"] = {k.decode("utf-8", "backslashreplace"): v.decode("utf-8", "backslashreplace")
                         for k, v in fields}
        if first_field(fields, b"crosFlag") is None:
            entry["error"] = "crosFlag missing"
            return 400, dump({"code": 400, "msg": "form field crosFlag missing"})
        return 200, dump({"code": 0, "msg": self.msg, "version": self.version})

    def _plan(self, status, body):
        """(action, status, body, content type) under the chosen mode."""
        name = self.mode.name if self.mode else "ok"
        if name == "ok":
            return "send", status, body, JSON_TYPE
        if name == "close":
            return "close", None, b"", None
        if name == "code1":
            return "send", 200, dump({"code": 1, "msg": "服务未就绪"}), JSON_TYPE
        if name == "notjson":
            return "send", 200, b"<html><body><p>Service Unavailable</p></body></html>\n", "text/html"
        if name == "404":
            return "send", 404, dump({"code": 404, "msg": "not found"}), JSON_TYPE
        if name == "500":
            return "send", 500, dump({"code": 500, "msg": "internal error"}), JSON_TYPE
        if name == "noversion":
            return "send", 200, dump({"code": 0, "msg": self.msg}), JSON_TYPE
        if name == "chunked":
            return "chunked", 200, body, JSON_TYPE
        if name == "empty":
            return "send", 200, b"", JSON_TYPE
        if name == "slow":
            return "slow", status, body, JSON_TYPE
        raise AssertionError("unhandled mode " + name)
