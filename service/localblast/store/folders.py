"""Where the store keeps its files: the state folder given with --state, found again by a
restarted service, or a temporary folder removed at stop. Either is held with a lock that the
kernel drops when its holder dies: two running services never share a folder, and a temporary
folder left by a killed service is removed by the next one that starts. Only a folder that
carries the temporary folders' marker is ever removed so: a stopped service's state folder may
bear the same name."""
import fcntl
import os
import stat
import tempfile

from ..files import remove

PREFIX = "localblast-"
LOCK = "lock"
# Made in a temporary folder before its lock, never in a state folder.
TEMPORARY = "temporary"
SEARCHES = "searches"
DATABASE = "state.sqlite"


class StoreError(Exception):
    """The store's folder cannot be used; the message names it and says why."""


def take_lock(descriptor):
    """True if the lock on the open file was free and is now held by it."""
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


def write_holder(descriptor):
    os.ftruncate(descriptor, 0)
    os.write(descriptor, b"%d\n" % os.getpid())


def holder(path):
    try:
        with open(path, "rb") as stream:
            return stream.read(20).decode("ascii", "replace").strip() or "unknown"
    except OSError:
        return "unknown"


def hold(folder):
    """The descriptor that holds the lock of an existing folder; StoreError if a running
    service holds it."""
    path = os.path.join(folder, LOCK)
    try:
        descriptor = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    except OSError as error:
        raise StoreError("cannot open the lock file %s: %s" % (path, error.strerror))
    if not take_lock(descriptor):
        os.close(descriptor)
        raise StoreError("the state folder %s is held by another running service (process %s); give each "
                         "service a --state folder of its own" % (folder, holder(path)))
    write_holder(descriptor)
    return descriptor


def hold_new(folder):
    """The descriptor that holds the lock of a folder just made. The lock file takes its name
    only once it is locked, so that a service sweeping dead folders never takes it for one."""
    path = os.path.join(folder, LOCK)
    descriptor = os.open(path + ".new", os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
    take_lock(descriptor)
    write_holder(descriptor)
    os.rename(path + ".new", path)
    return descriptor


def temporary(folder):
    try:
        return stat.S_ISREG(os.lstat(os.path.join(folder, TEMPORARY)).st_mode)
    except OSError:
        return False


def sweep_dead(parent, log):
    """Removes the temporary folders in `parent` that a service of this user left when it was
    killed: those that carry the marker and whose lock nobody holds."""
    try:
        names = [name for name in os.listdir(parent) if name.startswith(PREFIX)]
    except OSError:
        return
    for name in names:
        folder = os.path.join(parent, name)
        try:
            if (not os.path.isdir(folder) or os.path.islink(folder) or os.lstat(folder).st_uid != os.getuid()
                    or not temporary(folder)):
                continue
            descriptor = os.open(os.path.join(folder, LOCK), os.O_RDWR)
        except OSError:
            continue   # not a store's, or one being made
        try:
            if take_lock(descriptor):
                remove(folder)
                log("removed %s, left by a service that was killed" % folder)
        finally:
            os.close(descriptor)


class StoreFolder:
    """The store's folder (`path`: the state folder, or None for a temporary one), held until
    close."""

    def __init__(self, path=None, log=print):
        self.temporary = path is None
        if self.temporary:
            sweep_dead(tempfile.gettempdir(), log)
            self.path = tempfile.mkdtemp(prefix=PREFIX)
            with open(os.path.join(self.path, TEMPORARY), "w") as marker:
                marker.write("made by a service without --state: removed when it stops, or after it was killed\n")
            self._lock = hold_new(self.path)
        else:
            self.path = os.path.abspath(path)
            try:
                os.makedirs(self.path, exist_ok=True)
            except OSError as error:
                raise StoreError("cannot make the state folder %s: %s" % (self.path, error.strerror))
            self._lock = hold(self.path)
            remove(os.path.join(self.path, TEMPORARY))   # a killed service's folder, made a state folder
        self.searches = os.path.join(self.path, SEARCHES)
        self.database = os.path.join(self.path, DATABASE)
        try:
            os.makedirs(self.searches, exist_ok=True)
        except OSError as error:
            self.close()
            raise StoreError("cannot make the searches' folder %s: %s" % (self.searches, error.strerror))

    def search(self, rid):
        return os.path.join(self.searches, rid)

    def close(self):
        if self.temporary:
            remove(self.path)
        os.close(self._lock)
