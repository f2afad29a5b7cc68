"""The cache folder: what the service makes once from the files it is given (databases built
from FASTA files, indexes of taxonomy names), each under a name made from its source's content,
so that a later start finds it again and a changed file is never taken for the old one.

Everything is made under a temporary name and renamed into place only when whole: an
interrupted build leaves nothing that a later start would take for a database, and that start
removes what a dead service left half made.
"""
import contextlib
import os
import shutil

BUILDING = ".building-"


def default_folder():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "localblast")


def folder(base, kind):
    """The cache's folder for `kind`, made if need be, without what dead services left half made."""
    path = os.path.join(os.path.abspath(base), kind)
    os.makedirs(path, exist_ok=True)
    for name in os.listdir(path):
        if name.startswith(BUILDING) and not alive(name[len(BUILDING):].split("-")[0]):
            remove(os.path.join(path, name))
    return path


def alive(pid):
    if not pid.isdigit():
        return False
    try:
        os.kill(int(pid), 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)


@contextlib.contextmanager
def building(target):
    """A temporary path beside `target` to make it in; renamed to `target` when the block ends
    without an error, removed otherwise. Another service that made it first wins."""
    path = os.path.join(os.path.dirname(target), "%s%d-%s" % (BUILDING, os.getpid(), os.path.basename(target)))
    remove(path)
    try:
        yield path
        try:
            os.rename(path, target)
        except OSError:
            if not os.path.exists(target):
                raise
            remove(path)
    except BaseException:
        remove(path)
        raise
