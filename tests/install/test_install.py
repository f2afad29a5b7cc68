"""An installed program, found through PATH, finds the toolkit it was installed with.

The install is staged under a temporary DESTDIR, so nothing outside temporary folders is
written; the staged site-packages then stands in for the interpreter's own. The run goes through
scripts/offline: the reliable host resolves to loopback and the searches go to the local
service, so no network is used whatever the machine."""
import os
import subprocess
import sys
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parents[2]
OFFLINE = REPOSITORY / "scripts" / "offline"
BUILD = Path(os.environ["QBLAST_BUILD_DIR"])
PYTHON2 = os.environ["QBLAST_PYTHON2"]


def cache_value(name):
    for line in (BUILD / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    raise AssertionError("%s is not in the build's cache" % name)


def default_module_path():
    """The interpreter's module search path, as a program run by name sees it."""
    out = subprocess.run([PYTHON2, "-c", "import sys; print('\\n'.join(sys.path))"], cwd="/",
                         env={"PATH": os.environ.get("PATH", "/usr/bin:/bin")},
                         capture_output=True, text=True, check=True)
    return [os.path.realpath(entry) for entry in out.stdout.splitlines() if entry]


def staged(destdir, path):
    return destdir / Path(path).relative_to("/")


def test_the_toolkit_is_installed_where_the_interpreter_looks():
    assert os.path.realpath(cache_value("QBLAST_TOOLKIT_INSTALL_DIR")) in default_module_path()


def test_run_by_name_from_another_folder(tmp_path):
    destdir, prefix = tmp_path / "stage", "/opt/qblast-check"
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", prefix], check=True,
                   capture_output=True, text=True, env=dict(os.environ, DESTDIR=str(destdir)))
    program_folder = staged(destdir, prefix) / "bin"
    site_packages = staged(destdir, cache_value("QBLAST_TOOLKIT_INSTALL_DIR"))
    assert (program_folder / "qblast-check").exists()
    assert (site_packages / "Tarvo" / "Blast" / "Skelda.py").exists()

    # scripts/offline runs <folder>/qblast-check: here a stand-in that starts the installed
    # program by name, from a folder that holds no toolkit, so the shell finds it through PATH.
    elsewhere = tmp_path / "elsewhere"
    (elsewhere / "service").mkdir(parents=True)
    (elsewhere / "service" / "db").symlink_to(BUILD / "service" / "db")
    launcher = elsewhere / "qblast-check"
    launcher.write_text('#!/bin/sh\ncd "$(dirname "$0")/service" && exec qblast-check "$@"\n')
    launcher.chmod(0o755)

    environment = {
        "PATH": "%s:%s" % (program_folder, os.environ.get("PATH", "/usr/bin:/bin")),
        "HOME": str(tmp_path), "PYTHONNOUSERSITE": "1", "PYTHONDONTWRITEBYTECODE": "1",
        # Stands in for the interpreter's own site-packages, where the real install puts it.
        "PYTHONPATH": str(site_packages),
    }
    run = subprocess.run([sys.executable, str(OFFLINE), str(elsewhere)], env=environment,
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == "Done"
