#!/usr/bin/env python3
"""The program at work: one install run against the bundled services (scripts/demo).

Sets up a Wine prefix as an invoicing PC, starts the update service, the
package server (and, with --local up, the invoice control's local service) on
loopback with a catalogue of the two products whose installer is the test
installer, and runs pavonix.exe. With DISPLAY set it runs on that display and
the user clicks through; otherwise it uses a private Xvfb display and presses
"安装软件" itself. Every page is saved as a screenshot; at the end it prints
which installers ran, the requests the services saw and the installation
identity in the registry, stops what it started and exits 0 when the run
ended on the success page.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402

PAGE_NAMES = {"main": "main page", "progress": "progress page", "success": "success page",
              "failure": "failure page", "letter": "letter viewer", "messagebox": "message box"}


def say(msg):
    print("demo: " + msg, flush=True)


def registry_identity(env):
    r = env.wine(["reg", "query", r"HKLM\Software\ZYN\DA", "/reg:32"], timeout=120)
    out = []
    for line in r.stdout.decode("utf-8", "replace").splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[0] in ("UniqueID", "InstallTime"):
            value = parts[2]
            if parts[1] in ("REG_NONE", "REG_BINARY"):  # shown as hex by reg
                try:
                    value = bytes.fromhex(value).rstrip(b"\0").decode("ascii")
                except ValueError:
                    pass
            out.append("%s = %s (%s)" % (parts[0], value, parts[1]))
    return out


class PageWatcher:
    """Screenshots every page the first time it shows."""

    def __init__(self, env):
        self.env = env
        self.seen = []
        self.last = None

    def poll(self):
        wins = self.env.probe()
        pages = [w for w in wins if w["page"] in PAGE_NAMES]
        front = [w for w in pages if w["foreground"]] or pages
        for w in pages:
            if w["page"] not in self.seen:
                self.seen.append(w["page"])
                n = len(self.seen)
                time.sleep(0.3)  # let it paint
                path = self.env.screenshot("%d-%s" % (n, w["page"]))
                say("%s shown, saved %s" % (PAGE_NAMES[w["page"]], path))
        self.last = front[0] if front else None
        return pages


def report_signed(env, svc, outcome):
    """What was signed and hashed, from the services' logs and the saved files."""
    for entry in svc.requests("update-service"):
        headers = dict((k.lower(), v) for k, v in entry["headers"])
        nonce = headers.get("x-pavonix-nonce")
        product = "levyDesk" if "levyDesk" in (entry.get("requestStr") or "") else "ZYN-HARBOLT"
        signed = bool(entry.get("signed"))
        try:
            answer = json_loads(entry.get("answer") or "{}")
        except ValueError:
            answer = {}
        listed = [str(p.get("address", "")).rsplit("/", 1)[-1]
                  for p in ((answer.get("data") or {}).get("softList") or []) if isinstance(p, dict)]
        # The program saves a listed package (fetched, or from its cache)
        # only when both checks held.
        saved = [name for name in listed if env.temp_path(name) is not None]
        verdict = ("accepted (it saved the packages listed)" if listed and saved == listed
                   else "refused (it saved %d of %d)" % (len(saved), len(listed)) if listed
                   else "nothing listed")
        if signed:
            version, _, value = nonce.partition(":")
            say("reply for %s: online signature by the update service with key version %s for the "
                "program's nonce %s... and the SHA-256 of the request it received"
                % (product, version, value[:16]))
            carried = answer.get("catalogue")
            if isinstance(carried, dict):
                try:
                    stmt = json_loads(bytes.fromhex(carried.get("statement", "")).decode("ascii"))
                    say("  catalogue statement: version %s, expires %s, for %s versions %s, signed "
                        "offline with catalogue key version 1"
                        % (stmt.get("version"), stmt.get("expires"), stmt.get("product"),
                           stmt.get("versions")))
                except (ValueError, UnicodeDecodeError):
                    say("  catalogue statement: unreadable")
            else:
                say("  catalogue statement: none in the reply")
            say("  the program's verdict on both: %s" % verdict)
        else:
            say("reply for %s: NOT signed (nonce sent: %s)" % (product, nonce or "none"))
        for line in entry.get("left_out") or []:
            say("  the service %s" % line)
        try:
            packages = (json_loads(entry.get("answer") or "{}").get("data") or {}).get("softList") or []
        except ValueError:
            packages = []
        for pkg in packages:
            name = str(pkg.get("address", "")).rsplit("/", 1)[-1]
            want = pkg.get("sha256")
            # Packages are saved in a download folder of the run under the
            # temporary folder.
            saved = env.temp_path(name)
            have = None
            if saved is not None:
                with open(saved, "rb") as f:
                    have = hashlib.sha256(f.read()).hexdigest()
            say("  package %s: sha256 %s in the %s; the file the program saved %s"
                % (name, want or "MISSING", "signed reply" if signed else "reply (not signed)",
                   "has that hash" if have and have == want
                   else "differs" if have else "is not in %s" % env.temp_folder()))


def json_loads(text):
    import json
    return json.loads(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", required=True, help="pavonix.exe, pavonix_e2e_probe.exe, pavonix_testinstaller.exe")
    ap.add_argument("--work", required=True, help="prefix, services and screenshots go here")
    ap.add_argument("--local", choices=("up", "down"), default="down",
                    help="run the invoice control's local service (up: only the vendor product installs)")
    ap.add_argument("--signing-key", metavar="PEM",
                    help="the update service signs its replies with this key (the program must be "
                         "built with its public key as key version 1, as scripts/demo does)")
    ap.add_argument("--catalogue-key", metavar="STEM",
                    help="sign the catalogue offline with STEM.pem before the services start; the "
                         "service serves the signed statements (the program must be built with "
                         "STEM.pub as catalogue key version 1, as scripts/demo does)")
    ap.add_argument("--dpi", type=int, choices=(96, 120, 144), default=96,
                    help="the display's DPI (the prefix's LogPixels): 120 is 125 %%, 144 is 150 %%")
    args = ap.parse_args()

    env = e2e.Env(args.bin, args.work)
    interactive = bool(os.environ.get("DISPLAY"))
    if interactive:
        env.display = os.environ["DISPLAY"]
        say("running on your display %s" % env.display)
    else:
        env.start_display()
        say("no DISPLAY: running on a private Xvfb display %s" % env.display)
    for f in os.listdir(env.shots):
        if f.endswith(".png"):
            os.unlink(os.path.join(env.shots, f))
    env.start_prefix()
    env.set_dpi(args.dpi)
    say("display at %d DPI" % args.dpi)
    if args.local == "up":
        e2e.trust_test_ca(env)
    env.set_invoicing_pc(True)
    say("Wine prefix %s marked as an invoicing PC (HKLM\\Software\\skfpkprj\\skfpkprj installdir)" % env.prefix)

    folder = os.path.join(env.work, "run")
    # The services append to their logs: an earlier demo's requests are not
    # this run's.
    shutil.rmtree(os.path.join(folder, "logs"), ignore_errors=True)
    env.clear_temp_packages()
    os.makedirs(folder, exist_ok=True)
    svc = e2e.Services(env, folder, local="ok" if args.local == "up" else "down",
                       signing_key=os.path.abspath(args.signing_key) if args.signing_key else None,
                       catalogue_key=os.path.abspath(args.catalogue_key) if args.catalogue_key else None)
    svc.start()
    say("services on 127.0.0.1: update service :9006, package server :9007%s"
        % (", local service :28000" if args.local == "up" else " (local service down)"))
    prog = e2e.Program(env, folder)
    watcher = PageWatcher(env)
    outcome = None
    try:
        main_page = e2e.wait_for(lambda: [w for w in watcher.poll() if w["page"] == "main"], 120, step=0.3,
                                 what="the main page")[0]
        say("main page visible %.1f s after start" % (time.monotonic() - prog.started))
        if interactive:
            say("press \"安装软件\" in the window; the demo waits for the program to end (30 minutes at most)")
        else:
            say("pressing \"安装软件\"")
            env.click_control(main_page["ids"][e2e.IDC_ACTION_BUTTON])
        deadline = time.monotonic() + (1800 if interactive else 240)
        final = None
        while time.monotonic() < deadline and prog.proc.poll() is None:
            pages = watcher.poll()
            done = [w for w in pages if w["page"] in ("success", "failure")]
            if done:
                final = done[0]
                outcome = final["page"]
                if not interactive:
                    break
            time.sleep(0.3)
        if outcome == "failure" and final is not None:
            reasons = [final["ids"][i]["text"] for i in e2e.visible_reasons(final)]
            say("the run failed: %s" % " / ".join(reasons))
        if not interactive and final is not None:
            say("pressing the final page's button")
            env.click_control(final["ids"][e2e.IDC_ACTION_BUTTON])
        code = prog.wait_exit(1800 if interactive else 30)
        say("the program ended with exit code %d" % code)
    except e2e.Failure as exc:
        say("error: %s" % exc)
        env.screenshot("error")
    finally:
        prog.kill()
        svc.stop()

    say("installers run (in order): %s" % (", ".join(prog.installers()) or "none"))
    say("products asked of the update service: %s" % (", ".join(svc.products_requested()) or "none"))
    say("downloads: %d, local service requests: %d" % (len(svc.requests("package-server")),
                                                      len(svc.requests("local-service"))))
    report_signed(env, svc, outcome)
    for line in registry_identity(env):
        say("identity in HKLM\\Software\\ZYN\\DA: " + line)
    say("screenshots in %s: %s" % (env.shots, ", ".join(sorted(os.listdir(env.shots)))))
    if not interactive:
        subprocess.run([e2e.WINESERVER, "-k"], env=env.env(), timeout=60)
        env.stop()
    if outcome == "success":
        say("done: the install ended on the success page")
        return 0
    say("done: the install did not end on the success page (%s)" % (outcome or "no final page"))
    return 1


if __name__ == "__main__":
    sys.exit(main())
