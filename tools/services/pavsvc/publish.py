"""Publishing a package: the one moment its hash is taken.

`publish` copies a package file into the package folder and records its
sha256 and size in the catalogue entry of a product version. A signing update
service lists a package only with that recorded hash, and only while the file
in the folder still matches it, so a file changed on the package host later
is never signed.
"""

import hashlib
import json
import os
import tempfile

from .package_server import plain_name
from .update_service import CatalogueError, parse_catalogue

PLACEHOLDER_ADDRESS = "{packages}/%s"


class PublishError(ValueError):
    pass


def _copy_hashed(source, folder, name):
    """Copies source to folder/name through a temporary file in the folder,
    hashing the bytes as they are written; returns (sha256, size)."""
    h = hashlib.sha256()
    size = 0
    fd, tmp = tempfile.mkstemp(prefix=".publish-", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out, open(source, "rb") as src:
            for block in iter(lambda: src.read(1 << 20), b""):
                h.update(block)
                size += len(block)
                out.write(block)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(tmp, 0o644)
        os.replace(tmp, os.path.join(folder, name))
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
    return h.hexdigest(), size


def _load(path):
    if not os.path.exists(path):
        return {"products": {}}
    try:
        with open(path, "rb") as f:
            doc = json.loads(f.read().decode("utf-8"))
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise PublishError("%s: not a readable UTF-8 JSON catalogue: %s" % (path, exc))
    try:
        parse_catalogue(doc, "http://check")
    except CatalogueError as exc:
        raise PublishError("%s: %s" % (path, exc))
    return doc


def _save(path, doc):
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".catalogue-", dir=folder)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(doc, f, ensure_ascii=False, indent=1)
        f.write("\n")
    os.chmod(tmp, 0o644)
    os.replace(tmp, path)


def publish(catalogue_path, folder, source, soft, version, name=None, package_version=None,
            run=True):
    """Copies `source` into `folder` (as `name`, default its own file name)
    and records it, with its sha256 and size, in the catalogue's entry for
    `soft` and `version` ("*" for any version), replacing a package of the
    same file name there. Returns the package as recorded."""
    name = name or os.path.basename(source)
    if not plain_name(name):
        raise PublishError("%r is not a plain file name" % name)
    if not os.path.isfile(source):
        raise PublishError("%s: no such file" % source)
    if not os.path.isdir(folder):
        raise PublishError("%s: no such folder" % folder)
    doc = _load(catalogue_path)
    sha256, size = _copy_hashed(source, folder, name)
    package = {"address": PLACEHOLDER_ADDRESS % name, "version": package_version or version,
               "soft": soft, "excuteExe": bool(run), "sha256": sha256, "size": size}
    versions = doc["products"].setdefault(soft, {})
    entry = versions.get(version)
    if entry is None:
        entry = versions[version] = []
    packages = entry if isinstance(entry, list) else entry.setdefault("packages", [])
    packages[:] = [p for p in packages
                   if not (isinstance(p, dict) and p.get("address") == package["address"])]
    packages.append(package)
    _save(catalogue_path, doc)
    return package
