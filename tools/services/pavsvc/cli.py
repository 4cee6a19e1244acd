"""Command line of the bundled services."""

import argparse
import json
import os
import signal
import subprocess
import sys
import threading
import time

from . import daemon
from . import faults as faultmod
from . import signedcat
from . import signing
from .demo import init_demo
from .httpcore import Limits
from .local_service import DEFAULT_MSG, DEFAULT_VERSION, LocalService
from .package_server import PackageServer, plain_name
from .publish import PublishError, publish
from .update_service import Catalogue, CatalogueError, UpdateService

DESCRIPTION = """\
Reference services for the Pavonix installer: the update service, the
package server and a stand-in for the invoice control's local service.
Every service binds 127.0.0.1 unless told otherwise, caps request sizes and
times, logs each request as one JSON line (--log) and stops on SIGINT or
SIGTERM (or after --max-seconds)."""

UPDATE_FAULT_HELP = """\
update-service faults: refuse (do not listen), close (close without an
answer), 404, 500, empty (200, Content-Length 0), chunked (200 without
Content-Length), notjson (200, an HTML page), code1 ("code":"1"), list=N
(the answer stretched to N packages), slow=MS (answer after MS ms)."""

PACKAGE_FAULT_HELP = """\
package-server faults: close, 404, 500, empty (200, Content-Length 0),
chunked (no Content-Length), cut (half the file, then a clean close),
reset (half the file, then a TCP reset), short (one byte less than
Content-Length, then a clean close), slow=MS (head at
once, body after MS ms), stall=MS (nothing until MS ms have passed),
cutevery=N (every answer, whole or ranged, closed after N body bytes). Also
per request: GET /fault/<fault>/<name>. Ranges: "Range: bytes=N-" (with
If-Range) gets 206 with Content-Range."""

LOCAL_MODE_HELP = """\
local-service modes: ok, down (do not listen), close, code1 ("code":1),
notjson, 404, noversion ("code":0 without "version"), 500, chunked (no
Content-Length), empty (Content-Length 0), slow=MS."""


class UsageError(Exception):
    pass


def _fault_arg(table):
    def parse(text):
        try:
            return faultmod.parse_fault(text, table)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc))
    return parse


def _file_fault(text):
    name, sep, fault = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError("expected NAME=FAULT, got %r" % text)
    try:
        return name, faultmod.parse_fault(fault, faultmod.PACKAGE_FAULTS)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc))


def _alias(text):
    name, sep, target = text.rpartition("=")
    if not sep or not name or not target:
        raise argparse.ArgumentTypeError("expected NAME=FILE, got %r" % text)
    return name, target


def _aliases(value, where):
    """Checked {requested name: plain file name} of a configuration or options."""
    if value is None:
        return None
    if not isinstance(value, dict):
        raise UsageError(where + " must be an object")
    for name, target in value.items():
        if not isinstance(target, str) or not plain_name(target):
            raise UsageError("%s: %r -> %r: the file must be a plain file name" % (where, name, target))
    return value


def _signing_key(text):
    version, sep, path = text.partition("=")
    if not sep:
        return "1", text
    if signing.parse_version(version) is None or not path:
        raise argparse.ArgumentTypeError("expected [VERSION=]PEM, got %r" % text)
    return version, path


def _key_ring(keys, pass_file, pass_env, where):
    """The signing keys by version, from {version: PEM path}; None for none."""
    if not keys:
        if pass_file or pass_env:
            raise UsageError(where + ": a key password without a signing key")
        return None
    return signing.KeyRing.load(keys, signing.read_password(pass_file, pass_env))


def _signed_catalogue(path, pubkey, key_version, signer, where):
    """The signed catalogue, checked whole under the catalogue public key
    (a .pub file or its text); None when no path is given."""
    if not path:
        if pubkey:
            raise UsageError(where + ": a catalogue public key without a signed catalogue")
        return None
    if signer is None:
        raise UsageError(where + ": a signed catalogue travels in signed replies only "
                         "(give the signing key)")
    if not pubkey:
        raise UsageError(where + ": the signed catalogue needs the catalogue public key")
    if os.path.isfile(pubkey):
        with open(pubkey, encoding="ascii") as f:
            pubkey = f.read()
    version = signing.parse_version(key_version)
    if version is None:
        raise UsageError(where + ": %r is not a catalogue key version" % (key_version,))
    return signedcat.SignedCatalogue(path, pubkey.strip(), version)


def _port(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a port number: %r" % text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("port out of range: %d" % value)
    return value


def _common(p, default_port):
    p.add_argument("--host", default="127.0.0.1",
                   help="address to bind (default 127.0.0.1)")
    p.add_argument("--port", type=_port, default=default_port,
                   help="port to bind, 0 for any free one (default %d)" % default_port)
    p.add_argument("--log", metavar="FILE", help="append one JSON line per request to FILE")
    _limits_args(p)


def _limits_args(p):
    g = p.add_argument_group("limits")
    g.add_argument("--max-body", type=int, default=1024 * 1024, metavar="BYTES",
                   help="largest request body; larger ones get 413 (default 1 MiB)")
    g.add_argument("--max-head", type=int, default=16 * 1024, metavar="BYTES",
                   help="largest request line plus headers; larger ones get 431 (default 16 KiB)")
    g.add_argument("--max-connections", type=int, default=64,
                   help="connections served at once; more get 503 (default 64)")
    g.add_argument("--timeout", type=float, default=15.0, metavar="SECONDS",
                   help="time a request head may take, and idle time between requests (default 15)")
    g.add_argument("--max-stall", type=float, default=60.0, metavar="SECONDS",
                   help="cap of every deliberate wait of a slow or stall fault (default 60)")
    g.add_argument("--max-seconds", type=float, default=0.0, metavar="SECONDS",
                   help="stop by itself after this long (default 0: run until signalled)")
    g.add_argument("--ready-file", metavar="FILE",
                   help="write the addresses as JSON to FILE once listening")


def _limits(args):
    return Limits(max_body=args.max_body, max_head_bytes=args.max_head,
                  max_connections=args.max_connections, head_timeout=args.timeout,
                  idle_timeout=args.timeout, max_stall=args.max_stall)


def build_parser():
    parser = argparse.ArgumentParser(prog="pavonix_services.py", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p = sub.add_parser("update-service", help="the update service (POST /softServer/req)",
                       description="Answers POST /softServer/req (also //softServer/req) from a "
                       "catalogue.\n\n" + UPDATE_FAULT_HELP,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--catalogue", required=True, metavar="FILE",
                   help="JSON catalogue of packages (read again when it changes)")
    p.add_argument("--packages-url", metavar="URL",
                   help="replaces {packages} in package addresses, e.g. http://127.0.0.1:9007")
    p.add_argument("--fault", type=_fault_arg(faultmod.UPDATE_FAULTS),
                   help="answer every request with this fault")
    p.add_argument("--signing-key", metavar="[VERSION=]PEM", type=_signing_key, action="append",
                   default=[], help="sign every reply to a request with a nonce with the key of "
                   "the version it names (P-256 private key, see keygen; repeatable, one per "
                   "version; VERSION defaults to 1)")
    p.add_argument("--signing-key-pass-file", metavar="FILE",
                   help="the signing keys' password (encrypted PEM), first line of FILE")
    p.add_argument("--signing-key-pass-env", metavar="NAME",
                   help="the signing keys' password, from the environment variable NAME")
    p.add_argument("--packages-folder", metavar="DIR",
                   help="signing: list a package only while its file in DIR matches the "
                   "recorded sha256; otherwise: give every package whose file DIR holds its sha256")
    p.add_argument("--signed-catalogue", metavar="FILE",
                   help="signed replies list exactly what FILE's statement for the product "
                   "version holds and carry it (see publish --catalogue-key); checked whole at "
                   "start, a statement that does not verify stops the service")
    p.add_argument("--catalogue-pubkey", metavar="PUB",
                   help="the catalogue public key (keygen's .pub) the signed catalogue must "
                   "verify under")
    p.add_argument("--catalogue-key-version", default="1", metavar="N",
                   help="version of that key (default 1)")
    _common(p, 9006)

    p = sub.add_parser("package-server", help="serves package files (GET /<name>)",
                       description="Serves the files of one folder.\n\n" + PACKAGE_FAULT_HELP,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--folder", required=True, help="folder whose files are served")
    p.add_argument("--fault", type=_fault_arg(faultmod.PACKAGE_FAULTS),
                   help="apply this fault to every file")
    p.add_argument("--file-fault", type=_file_fault, action="append", default=[],
                   metavar="NAME=FAULT", help="apply a fault to one file (repeatable)")
    p.add_argument("--alias", type=_alias, action="append", default=[], metavar="NAME=FILE",
                   help="serve FILE of the folder for the request name NAME, whatever NAME is "
                        "(repeatable; for clients offered names that are not plain)")
    _common(p, 9007)

    p = sub.add_parser("local-service", help="the invoice control's local service (HTTPS)",
                       description="Answers HTTPS POST /api/getVersion.\n\n" + LOCAL_MODE_HELP,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--cert", help="server certificate chain (PEM)")
    p.add_argument("--key", help="private key of the certificate (PEM)")
    p.add_argument("--mode", type=_fault_arg(faultmod.LOCAL_MODES), default=None,
                   help="how to answer (default ok)")
    p.add_argument("--version-text", default=DEFAULT_VERSION, metavar="TEXT",
                   help="the version answered (default %s)" % DEFAULT_VERSION)
    p.add_argument("--msg", default=DEFAULT_MSG, help="the msg answered")
    _common(p, 28000)

    p = sub.add_parser("serve", help="run the three services from one configuration file",
                       description="Runs the services a JSON configuration names (see "
                       "tools/README.md); {packages} in the catalogue becomes the package "
                       "server's address.",
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--config", required=True, metavar="FILE", help="JSON configuration")
    _limits_args(p)

    p = sub.add_parser("keygen", help="make a key pair: the reply key or the catalogue key",
                       description="Writes STEM.pem, a P-256 private key (keep it secret), and "
                       "STEM.pub, the public key in the form the build takes. The reply key: the "
                       "update service signs with it (--signing-key), the build takes "
                       "-DPAVONIX_UPDATE_PUBKEY=STEM.pub. The catalogue key: made and kept on "
                       "the offline machine, publish --catalogue-key signs with it, the build "
                       "takes -DPAVONIX_CATALOGUE_PUBKEY=STEM.pub. Needs python3-cryptography; "
                       "never overwrites.")
    p.add_argument("stem", help="path of both files without their extension")

    p = sub.add_parser("publish", help="put a package into the package folder and the catalogue",
                       description="Copies FILE into the package folder and records it, with its "
                       "sha256 and size, in the catalogue's entry for --soft and --version. A "
                       "signing update service lists packages only with the hash recorded here.")
    p.add_argument("file", nargs="?",
                   help="the package file (none: only sign the catalogue again)")
    p.add_argument("--catalogue", required=True, metavar="FILE",
                   help="catalogue to record it in (made when missing)")
    g = p.add_argument_group("signing the catalogue (offline)")
    g.add_argument("--catalogue-key", metavar="PEM",
                   help="then sign every entry of the catalogue with this catalogue private key "
                   "into --signed-catalogue, with the next catalogue version")
    g.add_argument("--catalogue-key-version", default="1", metavar="N",
                   help="version of that key, built into the program with it (default 1)")
    g.add_argument("--catalogue-key-pass-file", metavar="FILE",
                   help="the catalogue key's password (encrypted PEM), first line of FILE")
    g.add_argument("--signed-catalogue", metavar="OUT", help="the signed catalogue to write")
    g.add_argument("--packages-url", metavar="URL",
                   help="the package server's base URL, put for {packages} in the signed addresses")
    g.add_argument("--catalogue-version", type=int, metavar="N",
                   help="the signed catalogue's version (default: one more than the file holds; "
                   "never lower)")
    g.add_argument("--expires-days", type=int, default=30, metavar="DAYS",
                   help="the signed catalogue expires this many days from now (default 30)")
    p.add_argument("--folder", required=True, metavar="DIR", help="the package server's folder")
    p.add_argument("--soft", help="product type code, e.g. levyDesk (with FILE)")
    p.add_argument("--version", help='product version the entry answers ("*": any; with FILE)')
    p.add_argument("--name", help="file name on the package server (default: FILE's name)")
    p.add_argument("--package-version", help="the package's version member (default --version)")
    p.add_argument("--no-run", action="store_true", help="download only, not run as an installer")

    p = sub.add_parser("init-demo", help="lay out a demo folder for serve",
                       description="Writes serve.json and catalogue.json (from "
                       "tools/services/examples), packages/ with copies of the given installer "
                       "and certs/ with a CA and a certificate for 127.0.0.1 (openssl). Then: "
                       "trust certs/ca.pem on the client and run: serve --config DIR/serve.json",
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("dir", help="folder to lay out (created if missing)")
    p.add_argument("--installer", required=True, metavar="EXE",
                   help="program served as both products' installer, e.g. pavonix_testinstaller.exe")
    p.add_argument("--force", action="store_true", help="overwrite an existing layout")
    p.add_argument("--no-certs", action="store_true", help="skip the certificates")

    p = sub.add_parser("start", help="run serve in the background (for scripts and test fixtures)",
                       description="Starts `serve --config FILE` as a detached process whose "
                       "files live in --state (serve.pid, ready.json, serve.log), waits until it "
                       "listens and prints ready.json. It still stops by itself after "
                       "--max-seconds.")
    p.add_argument("--config", required=True, metavar="FILE", help="JSON configuration")
    p.add_argument("--state", required=True, metavar="DIR", help="folder for pid, ready and log files")
    p.add_argument("--max-seconds", type=float, default=900.0, metavar="SECONDS",
                   help="lifetime of the background process (default 900)")

    p = sub.add_parser("stop", help="stop what start started",
                       description="Ends the background services of --state (SIGTERM, then SIGKILL "
                       "after 10 s) and removes serve.pid and ready.json. Exit code 0 also when "
                       "nothing ran.")
    p.add_argument("--state", required=True, metavar="DIR", help="the folder given to start")
    return parser


# -- running ----------------------------------------------------------------

class Running:
    """The services of one process and what to report about them."""

    def __init__(self):
        self.services = []      # (name, object with stop())
        self.report = {}        # name -> {"url":..., "port":...} or {"state": "down"}

    def add(self, name, service, url):
        self.services.append((name, service))
        self.report[name] = {"url": url, "port": service.port, "state": "listening"}
        print("%s: listening on %s" % (name, url), flush=True)

    def add_down(self, name, why):
        self.report[name] = {"url": None, "port": None, "state": "down"}
        print("%s: %s" % (name, why), flush=True)

    def stop(self):
        for _, service in reversed(self.services):
            service.stop()
        self.services = []


def _write_ready(path, report):
    if not path:
        return
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(report, f, indent=1)
    os.replace(tmp, path)


def _wait_for_stop(max_seconds):
    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    deadline = time.monotonic() + max_seconds if max_seconds > 0 else None
    while not stop.is_set():
        if deadline is not None and time.monotonic() >= deadline:
            break
        stop.wait(0.2)


def _resolve(base, path):
    if path is None:
        return None
    return path if os.path.isabs(path) else os.path.join(base, path)


def _start_from_config(cfg, base, limits, running):
    if not isinstance(cfg, dict):
        raise UsageError("the configuration must be a JSON object")
    known = {"host", "update_service", "package_server", "local_service"}
    unknown = {k for k in cfg if not k.startswith("_")} - known
    if unknown:
        raise UsageError("unknown configuration keys: " + ", ".join(sorted(unknown)))
    host = cfg.get("host", "127.0.0.1")

    def section(name, allowed):
        s = cfg.get(name)
        if s is None:
            return None
        if not isinstance(s, dict):
            raise UsageError("%s must be an object" % name)
        bad = {k for k in s if not k.startswith("_")} - allowed
        if bad:
            raise UsageError("%s: unknown keys %s" % (name, ", ".join(sorted(bad))))
        return s

    def fault(value, table, where):
        if value is None:
            return None
        try:
            return faultmod.parse_fault(value, table)
        except ValueError as exc:
            raise UsageError("%s: %s" % (where, exc))

    pk = section("package_server", {"port", "folder", "fault", "file_faults", "aliases", "log"})
    up = section("update_service", {"port", "catalogue", "fault", "log", "packages_url",
                                    "signing_key", "signing_key_pass_file",
                                    "signing_key_pass_env", "packages_folder",
                                    "signed_catalogue", "catalogue_pubkey",
                                    "catalogue_key_version"})
    lo = section("local_service", {"port", "cert", "key", "mode", "version", "msg", "log"})

    packages_url = None
    packages_folder = None
    if pk is not None:
        if "folder" not in pk:
            raise UsageError("package_server: folder missing")
        file_faults = {}
        for name, text in (pk.get("file_faults") or {}).items():
            file_faults[name] = fault(text, faultmod.PACKAGE_FAULTS, "package_server." + name)
        srv = PackageServer(_resolve(base, pk["folder"]), host, pk.get("port", 9007),
                            fault(pk.get("fault"), faultmod.PACKAGE_FAULTS, "package_server"),
                            file_faults, _resolve(base, pk.get("log")), limits,
                            _aliases(pk.get("aliases"), "package_server.aliases")).start()
        packages_url = srv.url
        packages_folder = srv.folder
        running.add("package-server", srv, srv.url)
    if up is not None:
        if "catalogue" not in up:
            raise UsageError("update_service: catalogue missing")
        ufault = fault(up.get("fault"), faultmod.UPDATE_FAULTS, "update_service")
        catalogue = Catalogue(_resolve(base, up["catalogue"]), up.get("packages_url", packages_url))
        if ufault is not None and ufault.name == "refuse":
            running.add_down("update-service", "refusing connections (not listening)")
        else:
            keys = up.get("signing_key")
            if isinstance(keys, str):
                keys = {"1": keys}
            elif keys is not None and not isinstance(keys, dict):
                raise UsageError("update_service.signing_key: a PEM path or {version: PEM path}")
            signer = _key_ring({v: _resolve(base, k) for v, k in (keys or {}).items()},
                               _resolve(base, up.get("signing_key_pass_file")),
                               up.get("signing_key_pass_env"), "update_service")
            folder = _resolve(base, up.get("packages_folder")) or packages_folder
            pubkey = up.get("catalogue_pubkey")
            signed = _signed_catalogue(_resolve(base, up.get("signed_catalogue")),
                                       _resolve(base, pubkey) if pubkey and os.path.isfile(
                                           _resolve(base, pubkey)) else pubkey,
                                       str(up.get("catalogue_key_version", 1)), signer,
                                       "update_service")
            srv = UpdateService(catalogue, host, up.get("port", 9006), ufault,
                                _resolve(base, up.get("log")), limits, signer,
                                signing.PackageHashes(folder) if folder else None,
                                signed).start()
            running.add("update-service", srv, srv.url)
    if lo is not None:
        mode = fault(lo.get("mode"), faultmod.LOCAL_MODES, "local_service")
        if mode is not None and mode.name == "down":
            running.add_down("local-service", "down (not listening)")
        else:
            if not lo.get("cert") or not lo.get("key"):
                raise UsageError("local_service: cert and key are required")
            srv = LocalService(_resolve(base, lo["cert"]), _resolve(base, lo["key"]), host,
                               lo.get("port", 28000), mode, lo.get("version", DEFAULT_VERSION),
                               lo.get("msg", DEFAULT_MSG), _resolve(base, lo.get("log")),
                               limits).start()
            running.add("local-service", srv, srv.url + "/api/getVersion")


def run(args):
    if args.command in ("start", "stop"):
        try:
            if args.command == "start":
                report = daemon.start(args.config, args.state, args.max_seconds)
                print(json.dumps(report, indent=1))
            else:
                print("stopped" if daemon.stop(args.state) else "not running")
        except (RuntimeError, OSError, ValueError) as exc:
            sys.stderr.write("pavonix_services: %s\n" % exc)
            return 2
        return 0
    if args.command == "keygen":
        try:
            for path in signing.make_key_pair(args.stem):
                print(path)
        except (signing.SigningError, OSError) as exc:
            sys.stderr.write("pavonix_services: %s\n" % exc)
            return 2
        return 0
    if args.command == "publish":
        try:
            if args.file is not None:
                if not args.soft or not args.version:
                    raise PublishError("a package file needs --soft and --version")
                package = publish(args.catalogue, args.folder, args.file, args.soft,
                                  args.version, args.name, args.package_version, not args.no_run)
                print(json.dumps(package))
            elif not args.catalogue_key:
                raise PublishError("nothing to do: give a package file or --catalogue-key")
            if args.catalogue_key:
                if not args.signed_catalogue or not args.packages_url:
                    raise PublishError("--catalogue-key needs --signed-catalogue and "
                                       "--packages-url")
                key_version = signing.parse_version(args.catalogue_key_version)
                if key_version is None:
                    raise PublishError("--catalogue-key-version is not a key version")
                signer = signing.Signer(args.catalogue_key,
                                        signing.read_password(args.catalogue_key_pass_file))
                version, expires = signedcat.sign(args.catalogue, args.packages_url, signer,
                                                  key_version, args.signed_catalogue,
                                                  args.expires_days, args.catalogue_version)
                print(json.dumps({"signed": args.signed_catalogue, "version": version,
                                  "expires": expires}))
        except (PublishError, CatalogueError, signing.SigningError, OSError) as exc:
            sys.stderr.write("pavonix_services: %s\n" % exc)
            return 2
        return 0
    if args.command == "init-demo":
        try:
            for path in init_demo(args.dir, args.installer, args.force, not args.no_certs):
                print(path)
        except (ValueError, OSError, subprocess.SubprocessError) as exc:
            sys.stderr.write("pavonix_services: %s\n" % exc)
            return 2
        return 0
    limits = _limits(args)
    running = Running()
    try:
        if args.command == "update-service":
            catalogue = Catalogue(args.catalogue, args.packages_url)
            if args.fault is not None and args.fault.name == "refuse":
                running.add_down("update-service", "refusing connections (not listening)")
            else:
                keys = {}
                for version, path in args.signing_key:
                    if version in keys:
                        raise UsageError("--signing-key: version %s given twice" % version)
                    keys[version] = path
                signer = _key_ring(keys, args.signing_key_pass_file, args.signing_key_pass_env,
                                   "update-service")
                hashes = signing.PackageHashes(args.packages_folder) \
                    if args.packages_folder else None
                signed = _signed_catalogue(args.signed_catalogue, args.catalogue_pubkey,
                                           args.catalogue_key_version, signer, "update-service")
                srv = UpdateService(catalogue, args.host, args.port, args.fault,
                                    args.log, limits, signer, hashes, signed).start()
                running.add("update-service", srv, srv.url)
        elif args.command == "package-server":
            srv = PackageServer(args.folder, args.host, args.port, args.fault,
                                dict(args.file_fault), args.log, limits,
                                _aliases(dict(args.alias), "--alias")).start()
            running.add("package-server", srv, srv.url)
        elif args.command == "local-service":
            if args.mode is not None and args.mode.name == "down":
                running.add_down("local-service", "down (not listening)")
            else:
                if not args.cert or not args.key:
                    raise UsageError("--cert and --key are required unless --mode down")
                srv = LocalService(args.cert, args.key, args.host, args.port, args.mode,
                                   args.version_text, args.msg, args.log, limits).start()
                running.add("local-service", srv, srv.url + "/api/getVersion")
        elif args.command == "serve":
            try:
                with open(args.config, "rb") as f:
                    cfg = json.loads(f.read().decode("utf-8"))
            except (UnicodeDecodeError, json.JSONDecodeError) as exc:
                raise UsageError("%s: not a UTF-8 JSON file: %s" % (args.config, exc))
            _start_from_config(cfg, os.path.dirname(os.path.abspath(args.config)),
                               limits, running)
        _write_ready(args.ready_file, running.report)
        print("ready", flush=True)
        _wait_for_stop(args.max_seconds)
        return 0
    except (UsageError, CatalogueError, ValueError, OSError) as exc:
        sys.stderr.write("pavonix_services: %s\n" % exc)
        return 2
    finally:
        running.stop()


def main(argv=None):
    args = build_parser().parse_args(argv)
    return run(args)
