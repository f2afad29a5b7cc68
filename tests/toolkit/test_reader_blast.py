"""The BLAST XML reader on reports that BLAST+ writes, checked against BLAST+'s own tables.

The databases and reports are made in a temporary folder from the FASTA files in data/.
"""

import collections
import os
import shutil
import subprocess
import tempfile
import unittest

from Tarvo.Blast import Morvin

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
TABLE_FIELDS = ("qseqid sseqid sacc slen qstart qend sstart send qframe sframe "
                "qseq sseq gaps nident positive length score")


def span(start, end, frames):
    # The table turns a reverse strand's coordinates around; the XML keeps them ascending.
    return (min(start), max(start), min(end), max(end), frames)


def run(command, **options):
    try:
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   **options)
    except OSError as error:
        raise AssertionError("cannot run %s (%s): BLAST+ (Debian's ncbi-blast+) is needed"
                             % (command[0], error))
    out, err = process.communicate()
    if process.returncode:
        raise AssertionError("%s failed with status %d: %s" % (" ".join(command),
                                                             process.returncode, err))
    return out


def fasta_queries(name):
    """(definition line or None, sequence length) of each query in a FASTA file."""
    queries = []
    with open(os.path.join(DATA, name)) as handle:
        for line in handle:
            line = line.strip()
            if line.startswith(">"):
                queries.append([line[1:], 0])
            elif line:
                if not queries:
                    queries.append([None, 0])
                queries[-1][1] += len(line)
    return [tuple(query) for query in queries]


def table_hits(text, framed):
    """Per query of a -outfmt 7 table: its hits in order, each (id, accession, length, HSPs),
    an HSP as its span and its alignment (sequences, gaps, identities, positives, length,
    score)."""
    queries = []
    for line in text.splitlines():
        if line.startswith("# Query:"):
            queries.append(collections.OrderedDict())
        elif line and not line.startswith("#"):
            fields = line.split("\t")
            sseqid, sacc, slen = fields[1:4]
            qstart, qend, sstart, send, qframe, sframe = [int(value) for value in fields[4:10]]
            qseq, sseq = fields[10:12]
            counts = tuple(int(value) for value in fields[12:])
            hit = queries[-1].setdefault(sseqid, (sacc, int(slen), []))
            frames = (qframe, sframe) if framed else None
            hit[2].append((span((qstart, qend), (sstart, send), frames), (qseq, sseq) + counts))
    return [[(key,) + value for key, value in query.items()] for query in queries]


class BlastReportTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tarvo-reader-")
        for fasta, kind in (("nucleotides.fasta", "nucl"), ("proteins.fasta", "prot")):
            run(["makeblastdb", "-in", os.path.join(DATA, fasta), "-dbtype", kind,
                 "-parse_seqids", "-out", os.path.join(cls.folder, kind)])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def search(self, program, database, query, *extra):
        """The XML report's path and the table of the same search."""
        command = [program, "-query", os.path.join(DATA, query),
                   "-db", os.path.join(self.folder, database)] + list(extra)
        report = os.path.join(self.folder, "%s-%s.xml" % (program, query))
        with open(report, "wb") as handle:
            handle.write(run(command + ["-outfmt", "5"]))
        # Between proteins the table says frame 1 where the XML says 0: neither means a thing.
        framed = program != "blastp"
        return report, table_hits(run(command + ["-outfmt", "7 " + TABLE_FIELDS]), framed)

    CASES = [
        # program, database, query file, extra options, the expect text
        ("blastn", "nucl", "query_nucleotide.fasta", (), "10"),
        ("blastn", "nucl", "query_nohit.fasta", (), "10"),
        ("blastn", "nucl", "query_bare.txt", ("-evalue", "0.001"), "0.001"),
        ("blastp", "prot", "query_protein.fasta", (), "10"),
        ("blastp", "prot", "query_protein_nohit.fasta", ("-evalue", "1e-07"), "1e-07"),
        ("blastx", "prot", "query_translated.fasta", (), "10"),
        ("blastn", "nucl", "query_two.fasta", (), "10"),
    ]

    def test_records_agree_with_the_tables_of_blast(self):
        for program, database, query, extra, expect in self.CASES:
            report, tables = self.search(program, database, query, *extra)
            with open(report, "rb") as handle:
                records = list(Morvin.parse(handle))
            queries = fasta_queries(query)
            self.assertEqual(len(queries), len(records), query)
            for record, (definition, letters), table in zip(records, queries, tables):
                self.check_record(record, program, database, definition, letters, expect)
                self.assertEqual(table, [(a.hit_id, a.accession, a.length,
                                          [(span((h.query_start, h.query_end),
                                                 (h.sbjct_start, h.sbjct_end),
                                                 (h.query_frame, h.sbjct_frame)
                                                 if program != "blastp" else None),
                                            (h.query, h.sbjct, h.gaps, h.identities,
                                             h.positives, h.align_length, h.score))
                                           for h in a.hsps])
                                         for a in record.alignments], query)
                self.check_descriptions(record)
                if not table:
                    self.assertEqual("No hits found", record.message)

    def check_record(self, record, program, database, definition, letters, expect):
        self.assertEqual(program, record.application)
        self.assertTrue(record.version.startswith(program.upper() + " 2."), record.version)
        self.assertEqual(os.path.join(self.folder, database), record.database)
        self.assertEqual(definition or "No definition line", record.query)
        self.assertEqual(letters, record.query_letters)
        self.assertTrue(record.query_id.startswith("Query_"), record.query_id)
        self.assertEqual(expect, record.expect)
        self.assertEqual("BLOSUM62" if program != "blastn" else None, record.matrix)
        self.assertGreater(record.db_num, 0)
        self.assertGreater(record.db_len, 0)

    def check_descriptions(self, record):
        for alignment, description in zip(record.alignments, record.descriptions):
            self.assertEqual(alignment.hit_id, description.title.split()[0])
            self.assertEqual(alignment.hit_id + " " + alignment.hit_def, description.title)
            self.assertEqual(alignment.accession, description.accession)
            self.assertEqual(len(alignment.hsps), description.num_alignments)
            best = min(alignment.hsps, key=lambda hsp: hsp.expect)
            self.assertEqual((best.score, best.bits, best.expect),
                             (description.score, description.bits, description.e))
        self.assertEqual(len(record.alignments), len(record.descriptions))

    def test_read_takes_the_one_query_and_refuses_two(self):
        report, _ = self.search("blastx", "prot", "query_translated.fasta")
        with open(report, "rb") as handle:
            record = Morvin.read(handle)
        self.assertGreater(len(record.alignments), 1)
        self.assertTrue(any(len(alignment.hsps) > 1 for alignment in record.alignments))
        report, _ = self.search("blastn", "nucl", "query_two.fasta")
        with open(report, "rb") as handle:
            with self.assertRaisesRegexp(ValueError, "more than one query"):
                Morvin.read(handle)


if __name__ == "__main__":
    unittest.main()
