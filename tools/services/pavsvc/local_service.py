"""Stand-in for the invoice control's local service.

HTTPS POST /api/getVersion with the form field crosFlag; the answer is UTF-8
JSON {"code":0,"msg":"...","version":"..."} with "code" a JSON number, or
what the chosen mode makes of it.
"""

import json
import ssl

from .form import FormError, first_field, parse_form
from .httpcore import HttpServer, Limits, RequestLog, utc_timestamp

PATH = "/api/getVersion"
JSON_TYPE = "application/json;charset=UTF-8"
DEFAULT_VERSION = "2.3.0.1120"
DEFAULT_MSG = "成功"


def dump(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def make_tls_context(cert, key):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(cert, key)
    return ctx


class LocalService:
    def __init__(self, cert, key, host="127.0.0.1", port=28000, mode=None,
                 version=DEFAULT_VERSION, msg=DEFAULT_MSG, log_path=None, limits=None):
        self.mode = mode            # a faults.Fault of LOCAL_MODES, None for "ok"
        self.version = version
        self.msg = msg
        self.log = RequestLog(log_path)
        self.server = HttpServer("local-service", self.handle, host, port,
                                 limits or Limits(), ssl_context=make_tls_context(cert, key),
                                 error_reply=lambda s, m: (dump({"code": s, "msg": m}), JSON_TYPE),
                                 log=self.log)

    def start(self):
        self.server.start()
        return self

    def stop(self):
        self.server.stop()
        self.log.close()

    @property
    def port(self):
        return self.server.port

    @property
    def url(self):
        return self.server.base_url

    def handle(self, req, resp):
        entry = {"time": utc_timestamp(), "service": "local-service",
                 "client": req.client, "method": req.method, "path": req.target,
                 "headers": [[k, v] for k, v in req.headers],
                 "body": req.body.decode("utf-8", "backslashreplace"),
                 "form": None, "error": None,
                 "mode": repr(self.mode) if self.mode else "ok"}
        status, body = self._decide(req, entry)
        if entry["error"] is None:
            status, body = self._apply_mode(resp, status, body)
        if not resp.started:
            extra = [("Allow", "POST")] if status == 405 else []
            resp.send(status, body, JSON_TYPE, headers=extra)
        entry["status"] = resp.status
        entry["answer"] = body.decode("utf-8", "backslashreplace") if resp.status else None
        self.log.write(entry)

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

    def _apply_mode(self, resp, status, body):
        name = self.mode.name if self.mode else "ok"
        if name == "ok":
            return status, body
        if name == "close":
            resp.abort(reset=False)
            return None, b""
        if name == "code1":
            return 200, dump({"code": 1, "msg": "服务未就绪"})
        if name == "notjson":
            body = b"<html><body><p>Service Unavailable</p></body></html>\n"
            resp.send(200, body, "text/html")
            return 200, body
        if name == "404":
            return 404, dump({"code": 404, "msg": "not found"})
        if name == "500":
            return 500, dump({"code": 500, "msg": "internal error"})
        if name == "noversion":
            return 200, dump({"code": 0, "msg": self.msg})
        if name == "chunked":
            resp.send_chunked(200, body, JSON_TYPE)
            return 200, body
        if name == "empty":
            resp.send(200, b"", JSON_TYPE)
            return 200, b""
        if name == "slow":
            if not resp.stall(self.mode.arg / 1000.0):
                resp.abort(reset=False)
                return None, b""
            return status, body
        raise AssertionError("unhandled mode " + name)
