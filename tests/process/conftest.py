"""Runs the built program in a folder of its own, beside a stand-in toolkit that follows a plan."""
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest
from check_queries import ROW_QUERIES

HERE = Path(__file__).resolve().parent
SOURCE_TREE = HERE.parents[1]

PROGRAM = Path(os.environ.get("QBLAST_CHECK_PROGRAM", SOURCE_TREE / "build" / "qblast-check"))
NSS_WRAPPER = "libnss_wrapper.so"
RELIABLE_HOST = "www.ncbi.nlm.nih.gov"

Q2 = ROW_QUERIES["sequence"]
Q3 = ROW_QUERIES["fasta"]
Q3_DEFINITION = Q3[1:].split("\n")[0]

BANNER = "Checking Tarvo.Blast.Skelda.qblast() with various queries"
ANNOUNCEMENTS = [
    "qblast('blastp', 'nr', '160837788', ...)",
    "qblast('blastn', 'nr', '%s', ...)" % Q2,
    'qblast(\'blastx\', \'nr\', "%s", ...)' % Q3.replace("\n", "\\n"),
]


def hit(gi, accession, title="sequence"):
    ident = "gi|%s|ref|%s|" % (gi, accession)
    return {"hit_id": ident}, {"accession": accession, "title": ident + " " + title}


def passing_records():
    """Records that meet every check of the table's three rows, in row order."""
    def record(application, query, query_id, letters, expect, hits):
        return {"application": application, "query": query, "query_id": query_id,
                "query_letters": letters, "expect": expect,
                "alignments": [a for a, _ in hits], "descriptions": [d for _, d in hits]}
    return [
        record("BLASTP", "hypothetical protein", "gi|160837788|ref|NP_001102467.1|", 300, "0.001",
               [hit("9506405", "NP_058790.1"), hit("1", "XP_1.1")]),
        record("BLASTN", "No definition line", "Query_1", 68, "10",
               [hit("51104367", "NM_001012648.1"), hit("37953274", "NM_001009059.1")]),
        record("BLASTX", Q3_DEFINITION, "Query_1", 615, "1e-07", [hit("18409071", "NP_566935.1")]),
    ]


class Run:
    def __init__(self, completed, folder):
        self.status = completed.returncode
        self.stdout = completed.stdout or ""
        self.stderr = completed.stderr or ""
        self.folder = folder
        log = folder / "calls.jsonl"
        self.events = [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []

    def of(self, kind):
        return [e for e in self.events if e["event"] == kind]

    @property
    def error_line(self):
        lines = self.stderr.strip().splitlines()
        return lines[-1] if lines else ""

    @property
    def stdout_lines(self):
        return self.stdout.splitlines()


@pytest.fixture
def run_program(tmp_path):
    """run_program(plan=..., internet=True, args=(), remove=(), extra_files={}, toolkit=True,
    stdout=PIPE, closed=(), cwd=None) -> Run

    `stdout` is what subprocess takes; the program starts without the descriptors in `closed`,
    and runs in a temporary folder unless `cwd` is given."""
    def run(plan=None, internet=True, args=(), remove=(), extra_files=None, toolkit=True,
            stdout=subprocess.PIPE, closed=(), cwd=None):
        folder = tmp_path / "program"
        folder.mkdir()
        shutil.copy2(PROGRAM, folder / "qblast-check")
        if toolkit:
            shutil.copytree(HERE / "fixture_toolkit" / "Tarvo", folder / "Tarvo")
        for name in remove:
            (folder / name).unlink()
        for name, text in (extra_files or {}).items():
            (folder / name).write_text(text)
        full_plan = {"records": passing_records()}
        full_plan.update(plan or {})
        (folder / "plan.json").write_text(json.dumps(full_plan))
        hosts = tmp_path / "hosts"
        hosts.write_text(("127.0.0.1 %s\n" % RELIABLE_HOST) if internet else "127.0.0.1 elsewhere.invalid\n")
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LD_PRELOAD": NSS_WRAPPER,
               "NSS_WRAPPER_HOSTS": str(hosts), "NSS_WRAPPER_DISABLE_DEEPBIND": "1", "HOME": str(tmp_path),
               # A sanitizer build: the interpreter keeps memory at exit, and the resolver
               # double is preloaded ahead of the sanitizer's runtime.
               "ASAN_OPTIONS": "detect_leaks=0:verify_asan_link_order=0",
               "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1"}
        command = [str(folder / "qblast-check"), *args]
        if closed:
            command = ["/bin/sh", "-c", 'exec "$0" "$@" ' + " ".join("%d>&-" % fd for fd in closed), *command]
        completed = subprocess.run(command, cwd=str(cwd or tmp_path), env=env, stdin=subprocess.DEVNULL,
                                   stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=120)
        return Run(completed, folder)
    return run
