"""The cache folder: what the service makes once from the files it is given (databases built
from FASTA files, indexes of taxonomy names), each an entry (a folder) under a name made from
its source's content, so that a later start finds it again and a changed file is never taken
for the old one.

Services on several machines or containers may share a cache, so nothing here is judged by
process ids: each entry and each build in progress has a lock file, which a running service
holds shared for every entry it serves and a build holds alone, and which the kernel lets go
when its holder dies. What a kind's folder holds changes under that folder's own lock, one
service at a time: a build begun or put in place, what a dead build left, an older entry that
no running service uses. An entry is built under a temporary name and renamed into place only
when whole, so an interrupted build leaves nothing that a later start would take for an entry.
"""
import contextlib
import fcntl
import hashlib
import os
import secrets
import tempfile

from ..files import remove

BUILDING = ".building-"
LOCK = ".lock"
READ = 1024 * 1024
# The locks of the entries this service serves, held until it ends.
_in_use = []


def default_folder():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "localblast")


def content_key(path, head=0):
    """(a key made from the whole content of the file at `path`, its first `head` bytes)."""
    digest = hashlib.sha256()
    start = bytearray()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(READ), b""):
            digest.update(block)
            if len(start) < head:
                start += block[:head - len(start)]
    return digest.hexdigest(), bytes(start)


@contextlib.contextmanager
def changing(folder):
    """Holds `folder`'s own lock while the block changes what it holds."""
    descriptor = os.open(os.path.join(folder, LOCK), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield
    finally:
        os.close(descriptor)


def locked(path, how):
    """The descriptor of the lock file in the folder `path`, now held `how` (fcntl.LOCK_SH or
    LOCK_EX); None while another holds it otherwise; OSError when there is none."""
    descriptor = os.open(os.path.join(path, LOCK), os.O_RDONLY)
    try:
        fcntl.flock(descriptor, how | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(descriptor)
        return None
    return descriptor


def unused(path):
    """The descriptor that holds the lock of `path` alone (-1 when it has none, which only what
    an interrupted build or removal left lacks: locks are made before their entries get a name),
    or None while a service uses it. Called under the folder's lock."""
    try:
        return locked(path, fcntl.LOCK_EX)
    except (FileNotFoundError, NotADirectoryError):
        return -1
    except OSError:   # not ours to judge (another user's, say): left alone
        return None


def discard(folder, path):
    """Removes `path`, whose lock the caller holds alone: renamed out of the way first, so that
    a removal cut short leaves a dead build, never half an entry."""
    doomed = os.path.join(folder, BUILDING + "old-" + secrets.token_hex(8))
    try:
        os.rename(path, doomed)
    except FileNotFoundError:
        return
    remove(doomed)


def sweep(folder):
    """Removes the builds in `folder` whose builder is gone. Called under the folder's lock."""
    for name in os.listdir(folder):
        if name.startswith(BUILDING):
            path = os.path.join(folder, name)
            descriptor = unused(path)
            if descriptor is not None:
                remove(path)
                if descriptor >= 0:
                    os.close(descriptor)


def use(target):
    """Whether the entry `target` is there; if so, it is held in use from now on. An entry
    without a lock is what an interrupted removal left: it is removed. Called under the
    folder's lock, which every exclusive holder of an entry's lock holds too."""
    if not os.path.lexists(target):
        return False
    try:
        descriptor = os.open(os.path.join(target, LOCK), os.O_RDONLY)
    except (FileNotFoundError, NotADirectoryError):
        remove(target)
        return False
    fcntl.flock(descriptor, fcntl.LOCK_SH)
    _in_use.append(descriptor)
    return True


def entry(base, kind, name, make, older, log):
    """(path, made) of the entry `name` among the `kind` entries of the cache in `base`: a folder
    that make(path) fills when the entry is not there yet (made: True), held in use until the
    service ends. Once it is made, the older entries (older(name) is true) that no running
    service uses are removed. OSError when the cache cannot be used."""
    folder = os.path.join(os.path.abspath(base), kind)
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, name)
    with changing(folder):
        sweep(folder)
        if use(target):
            return target, False
        building = tempfile.mkdtemp(prefix=BUILDING, dir=folder)
        descriptor = os.open(os.path.join(building, LOCK), os.O_RDWR | os.O_CREAT, 0o644)
        fcntl.flock(descriptor, fcntl.LOCK_EX)
    try:
        make(building)
        with changing(folder):
            if use(target):   # another service made it meanwhile
                remove(building)
                os.close(descriptor)
                return target, False
            os.rename(building, target)
            fcntl.flock(descriptor, fcntl.LOCK_SH)
            _in_use.append(descriptor)
            prune(folder, lambda other: other != name and older(other), log)
    except BaseException:
        if descriptor not in _in_use:
            remove(building)
            os.close(descriptor)
        raise
    return target, True


def prune(folder, older, log):
    """Removes the entries of `folder` named older(name) that no running service uses. Called
    under the folder's lock."""
    for name in sorted(os.listdir(folder)):
        if name.startswith(".") or not older(name):
            continue
        path = os.path.join(folder, name)
        descriptor = unused(path)
        if descriptor is None:
            log("kept %s, an older build that a running service still uses" % path)
            continue
        discard(folder, path)
        log("removed %s, an older build that no running service uses" % path)
        if descriptor >= 0:
            os.close(descriptor)
