"""An installed program, found through PATH, finds the toolkit it was installed with."""
import os
import shutil
import subprocess
from pathlib import Path

BUILD = Path(os.environ["QBLAST_BUILD_DIR"])
PYTHON2 = os.environ["QBLAST_PYTHON2"]


def site_packages():
    out = subprocess.run([PYTHON2, "-c", "import site; print(site.getsitepackages()[0])"],
                         capture_output=True, text=True, check=True)
    return Path(out.stdout.strip())


def test_run_by_name_from_another_folder(tmp_path):
    installed_toolkit = site_packages() / "Tarvo"
    saved = tmp_path / "saved-Tarvo"
    if installed_toolkit.exists():  # somebody's own install: put it back afterwards
        shutil.move(str(installed_toolkit), str(saved))
    prefix = tmp_path / "prefix"
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    try:
        subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix)],
                       check=True, capture_output=True, text=True)
        assert (prefix / "bin" / "qblast-check").exists()
        assert (installed_toolkit / "Blast" / "Skelda.py").exists()
        env = {"PATH": "%s:%s" % (prefix / "bin", os.environ.get("PATH", "/usr/bin:/bin")),
               "HOME": str(tmp_path)}
        run = subprocess.run(["qblast-check"], cwd=str(elsewhere), env=env,
                             capture_output=True, text=True, timeout=60)
        # Importing the toolkit comes before the internet check: reaching the check's own
        # error (this machine has no internet and no resolver double here) proves it was found.
        assert run.returncode == 1
        assert run.stdout == ""
        assert run.stderr.strip().splitlines()[-1] == \
            "Tarvo.MissingExternalDependencyError: internet not available"
    finally:
        shutil.rmtree(str(installed_toolkit), ignore_errors=True)
        if saved.exists():
            shutil.move(str(saved), str(installed_toolkit))
