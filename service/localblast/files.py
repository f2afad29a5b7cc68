"""What every room that keeps files on disk needs of them."""
import os
import shutil


def remove(path):
    """Removes a file, or a folder with all it holds, if it is there; a link is removed, never
    followed."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.remove(path)
        except OSError:
            pass
