"""Benchmark of the memory a search's results take: qblast then Morvin.read of a report of one
query with 20,000 hits (about 36 MB), served on 127.0.0.1, against Morvin.read of the same
bytes from a file.

Each reading runs in a process of its own, so that its peak resident size is its own; the
server is a process of its own too. The figures are the peaks and their ratio; the goal is the
search's peak within 8 MB of the file's.

    python2.7 bench/qblast/bench_qblast.py [--rounds N]
"""

import argparse
import BaseHTTPServer
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
LIB = os.path.join(HERE, "..", "..", "lib")
GOAL_MB = 8
HITS = 20000

HEAD = """<?xml version="1.0"?>
<!DOCTYPE BlastOutput PUBLIC "-//NCBI//NCBI BlastOutput/EN" "http://www.ncbi.nlm.nih.gov/dtd/NCBI_BlastOutput.dtd">
<BlastOutput>
  <BlastOutput_program>blastn</BlastOutput_program>
  <BlastOutput_version>BLASTN 2.12.0+</BlastOutput_version>
  <BlastOutput_db>nt</BlastOutput_db>
  <BlastOutput_query-ID>Query_1</BlastOutput_query-ID>
  <BlastOutput_query-def>the query</BlastOutput_query-def>
  <BlastOutput_query-len>400</BlastOutput_query-len>
  <BlastOutput_param><Parameters><Parameters_expect>10</Parameters_expect>
  </Parameters></BlastOutput_param>
<BlastOutput_iterations>
<Iteration>
  <Iteration_iter-num>1</Iteration_iter-num>
  <Iteration_query-ID>Query_1</Iteration_query-ID>
  <Iteration_query-def>the query</Iteration_query-def>
  <Iteration_query-len>400</Iteration_query-len>
<Iteration_hits>
"""
HIT = """<Hit>
  <Hit_num>%(number)d</Hit_num>
  <Hit_id>gi|%(gi)d|gb|REL%(number)05d.1|</Hit_id>
  <Hit_def>relative %(number)d of the query</Hit_def>
  <Hit_accession>REL%(number)05d</Hit_accession>
  <Hit_len>310</Hit_len>
  <Hit_hsps>
    <Hsp>
      <Hsp_num>1</Hsp_num>
      <Hsp_bit-score>%(bits).3f</Hsp_bit-score>
      <Hsp_score>%(score)d</Hsp_score>
      <Hsp_evalue>%(evalue)g</Hsp_evalue>
      <Hsp_query-from>1</Hsp_query-from>
      <Hsp_query-to>310</Hsp_query-to>
      <Hsp_hit-from>1</Hsp_hit-from>
      <Hsp_hit-to>310</Hsp_hit-to>
      <Hsp_query-frame>1</Hsp_query-frame>
      <Hsp_hit-frame>1</Hsp_hit-frame>
      <Hsp_identity>298</Hsp_identity>
      <Hsp_positive>298</Hsp_positive>
      <Hsp_gaps>0</Hsp_gaps>
      <Hsp_align-len>310</Hsp_align-len>
      <Hsp_qseq>%(qseq)s</Hsp_qseq>
      <Hsp_hseq>%(hseq)s</Hsp_hseq>
      <Hsp_midline>%(midline)s</Hsp_midline>
    </Hsp>
  </Hit_hsps>
</Hit>
"""
TAIL = """</Iteration_hits>
  <Iteration_stat><Statistics><Statistics_db-num>20000</Statistics_db-num>
  <Statistics_db-len>10000000</Statistics_db-len><Statistics_hsp-len>0</Statistics_hsp-len>
  <Statistics_eff-space>0</Statistics_eff-space><Statistics_kappa>0.41</Statistics_kappa>
  <Statistics_lambda>0.625</Statistics_lambda><Statistics_entropy>0.78</Statistics_entropy>
  </Statistics></Iteration_stat>
</Iteration>
</BlastOutput_iterations>
</BlastOutput>
"""


def write_report(path):
    rand = random.Random(5)
    with open(path, "wb") as handle:
        handle.write(HEAD)
        for number in range(1, HITS + 1):
            qseq = "".join(rand.choice("ACGT") for _ in range(310))
            hseq = "".join(base if rand.random() > 0.04 else "A" for base in qseq)
            handle.write(HIT % dict(
                number=number, gi=90000000 + number, bits=900.0 - number * 0.01,
                score=480, evalue=1e-100 * number, qseq=qseq, hseq=hseq,
                midline="".join("|" if a == b else " " for a, b in zip(qseq, hseq))))
        handle.write(TAIL)


def serve(path):
    """In the server's process: the URL API's three answers, the results from path."""
    class Handler(BaseHTTPServer.BaseHTTPRequestHandler):
        def log_message(self, *arguments):
            pass

        def do_POST(self):
            self.rfile.read(int(self.headers.getheader("content-length")))
            self.page("<!--QBlastInfoBegin\n RID = BENCH1\n RTOE = 0\nQBlastInfoEnd-->")

        def do_GET(self):
            if "SearchInfo" in self.path:
                self.page("<!--QBlastInfoBegin\n Status=READY\nQBlastInfoEnd-->")
                return
            self.send_response(200)
            self.send_header("Content-Length", str(os.path.getsize(path)))
            self.end_headers()
            with open(path, "rb") as handle:
                shutil.copyfileobj(handle, self.wfile)

        def page(self, text):
            self.send_response(200)
            self.send_header("Content-Length", str(len(text)))
            self.end_headers()
            self.wfile.write(text)

    server = BaseHTTPServer.HTTPServer(("127.0.0.1", 0), Handler)
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever()


def measure(kind, where):
    """In this process: the hits read and the peak resident KiB of one reading."""
    sys.path.insert(0, LIB)
    from Tarvo.Blast import Morvin, Skelda
    if kind == "file":
        with open(where, "rb") as handle:
            record = Morvin.read(handle)
    else:
        os.environ.update(TARVO_BLAST_URL=where, TARVO_BLAST_MIN_INTERVAL="0",
                          TARVO_BLAST_POLL_INTERVAL="0")
        handle = Skelda.qblast("blastn", "nt", "ACGT")
        record = Morvin.read(handle)
        handle.close()
    return len(record.alignments), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def run(kind, where):
    output = subprocess.check_output([sys.executable, os.path.abspath(__file__), "--measure",
                                      kind, where])
    hits, peak = output.split()
    return int(hits), int(peak) / 1024.0


def main():
    arguments = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    arguments.add_argument("--rounds", type=int, default=3)
    arguments.add_argument("--measure", nargs=2, help=argparse.SUPPRESS)
    arguments.add_argument("--serve", help=argparse.SUPPRESS)
    options = arguments.parse_args()
    if options.measure:
        print("%d %d" % measure(*options.measure))
        return
    if options.serve:
        serve(options.serve)
        return
    folder = tempfile.mkdtemp(prefix="tarvo-bench-")
    server = None
    try:
        path = os.path.join(folder, "one.xml")
        write_report(path)
        server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", path],
                                  stdout=subprocess.PIPE)
        url = "http://127.0.0.1:%d/Blast.cgi" % int(server.stdout.readline())
        peaks = {"file": [], "qblast": []}
        for _ in range(options.rounds):
            for kind, where in (("file", path), ("qblast", url)):
                hits, peak = run(kind, where)
                if hits != HITS:
                    raise AssertionError("%s read %d hits of %d" % (kind, hits, HITS))
                peaks[kind].append(peak)
        file_peak, search_peak = max(peaks["file"]), max(peaks["qblast"])
        print("%-28s %7s %10s" % ("reading", "MB", "peak MiB"))
        print("%-28s %7.1f %10.1f" % ("Morvin.read of a file", os.path.getsize(path) / 1e6,
                                      file_peak))
        print("%-28s %7.1f %10.1f" % ("qblast, then Morvin.read", os.path.getsize(path) / 1e6,
                                      search_peak))
        print("ratio %.3f, %+.1f MiB (the most of %d rounds each); goal: within %d MB of the "
              "file's" % (search_peak / file_peak, search_peak - file_peak, options.rounds,
                          GOAL_MB))
    finally:
        if server:
            server.kill()
            server.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
