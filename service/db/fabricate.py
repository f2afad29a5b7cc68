#!/usr/bin/python3
"""Writes the fabricated FASTA sources and the catalogue of the local BLAST database.

Run it again (`/usr/bin/python3 service/db/fabricate.py [FOLDER]`, by default into its own
folder) after changing the families below;
the fixed seed makes the output the same on every machine. The sequences are made up: they
only have to carry the similarities that the searches of the check look for.
"""
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PROTEIN_LETTERS = "AAAAACCDDDEEEEFFGGGGHHIIIKKKKLLLLLLLMMNNNPPPPQQQRRRRSSSSSSTTTTVVVVVWYY"
NUCLEOTIDE_LETTERS = "ACGT"

# The two 19-base ends of the bare nucleotide query, and the 615 bases of the FASTA query.
NUCLEOTIDE_LEFT = "GTACCTTGATTTCGTATTC"
NUCLEOTIDE_RIGHT = "GACTCTACTACCTTTACCC"
CDNA = (
    "CTCCATTCCCTCTCTATTTTCAGTCTAATCAAATTAGAGCTTAAAAGAATGAGATTTTTAACAAATAAAA"
    "AAACATAGGGGAGATTTCATAAAAGTTATATTAGTGATTTGAAGAATATTTTAGTCTATTTTTTTTTTTT"
    "TCTTTTTTTGATGAAGAAAGGGTATATAAAATCAAGAATCTGGGGTGTTTGTGTTGACTTGGGTCGGGTG"
    "TGTATAATTCTTGATTTTTTCAGGTAGTTGAAAAGGTAGGGAGAAAAGTGGAGAAGCCTAAGCTGATATT"
    "GAAATTCATATGGATGGAAAAGAACATTGGTTTAGGATTGGATCAAAAAATAGGTGGACATGGAACTGTA"
    "CCACTACGTCCTTACTATTTTTGGCCGAGGAAAGATGCTTGGGAAGAACTTAAAACAGTTTTAGAAAGCA"
    "AGCCATGGATTTCTCAGAAGAAAATGATTATACTTCTTAATCAGGCAACTGATATTATCAATTTATGGCA"
    "GCAGAGTGGTGGCTCCTTGTCCCAGCAGCAGTAATTACTTTTTTTTCTCTTTTTGTTTCCAAATTAAGAA"
    "ACATTAGTATCATATGGCTATTTGCTCAATTGCAGATTTCTTTCTTTTGTGAATG")

CODON_LETTERS = "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG"
CODONS = [a + b + c for a in "TCAG" for b in "TCAG" for c in "TCAG"]
GENETIC_CODE = dict(zip(CODONS, CODON_LETTERS))

# Organisms: scientific name -> NCBI's taxonomy id, and the common names an Entrez organism term
# may use.
ORGANISMS = {
    "Rattus norvegicus": (10116, ["rat", "Norway rat", "brown rat"]),
    "Rattus rattus": (10117, ["black rat", "roof rat"]),
    "Mus musculus": (10090, ["mouse", "house mouse"]),
    "Homo sapiens": (9606, ["human"]),
    "Pan troglodytes": (9598, ["chimpanzee"]),
    "Pan paniscus": (9597, ["bonobo", "pygmy chimpanzee"]),
    "Gorilla gorilla": (9593, ["gorilla", "western gorilla"]),
    "Arabidopsis thaliana": (3702, ["thale cress"]),
    "Vitis vinifera": (29760, ["wine grape"]),
    "Catharanthus roseus": (4058, ["Madagascar periwinkle"]),
    "Oryza sativa": (4530, ["rice"]),
    "Saccharomyces cerevisiae": (4932, ["baker's yeast"]),
}


def random_sequence(rng, letters, length):
    return "".join(rng.choice(letters) for _ in range(length))


def mutate(rng, sequence, letters, fraction):
    """The sequence with about `fraction` of its letters replaced by other ones."""
    out = []
    for letter in sequence:
        if rng.random() < fraction:
            letter = rng.choice([other for other in sorted(set(letters)) if other != letter])
        out.append(letter)
    return "".join(out)


def translate(bases):
    return "".join(GENETIC_CODE[bases[i:i + 3]] for i in range(0, len(bases) - 2, 3))


def longest_open_stretch(bases):
    """The longest stop-free stretch of the three forward frames' translations."""
    stretches = []
    for frame in range(3):
        stretches.extend(translate(bases[frame:]).split("*"))
    return max(stretches, key=len)


def protein_records(rng):
    records = []
    # An identifier query and its family: close rat relatives (the expected hits), more rat
    # paralogues than the ten hits a search keeps, and close relatives in other organisms
    # that only an organism filter keeps out.
    ancestor = random_sequence(rng, PROTEIN_LETTERS, 230)
    family = [
        ("gi|160837788|ref|NP_001102467.1|", "hypothetical protein LOC366535", "Rattus norvegicus", 0.0),
        ("gi|9506405|ref|NP_062074.1|", "sorting nexin-like protein 2", "Rattus norvegicus", 0.08),
        ("gi|13592137|ref|NP_112399.1|", "sorting nexin-like protein 3", "Rattus norvegicus", 0.12),
        ("gi|37589612|gb|AAH59150.1|", "Snxl2 protein", "Rattus norvegicus", 0.16),
        ("gi|149064087|gb|EDM14338.1|", "rCG23496, isoform CRA_a", "Rattus norvegicus", 0.20),
        ("gi|56912225|ref|NP_001008700.1|", "sorting nexin-like protein 5", "Rattus norvegicus", 0.24),
        ("gi|293344012|ref|XP_002725707.1|", "PREDICTED: sorting nexin-like protein 6", "Rattus norvegicus", 0.30),
        ("gi|293344014|ref|XP_002725708.1|", "PREDICTED: sorting nexin-like protein 7", "Rattus norvegicus", 0.33),
        ("gi|293344016|ref|XP_002725709.1|", "PREDICTED: sorting nexin-like protein 8", "Rattus norvegicus", 0.36),
        ("gi|293344018|ref|XP_002725710.1|", "PREDICTED: sorting nexin-like protein 9", "Rattus norvegicus", 0.39),
        ("gi|293344020|ref|XP_002725711.1|", "PREDICTED: sorting nexin-like protein 10", "Rattus norvegicus", 0.42),
        ("gi|293344022|ref|XP_002725712.1|", "PREDICTED: sorting nexin-like protein 11", "Rattus norvegicus", 0.45),
        ("gi|293344024|ref|XP_002725713.1|", "PREDICTED: sorting nexin-like protein 12", "Rattus norvegicus", 0.48),
        ("gi|81904111|sp|Q9D8U8.1|", "RecName: Full=Sorting nexin-like protein 1", "Mus musculus", 0.04),
        ("gi|26340512|dbj|BAC33919.1|", "unnamed protein product", "Mus musculus", 0.06),
        ("gi|119614625|gb|EAW94219.1|", "sorting nexin-like protein, isoform CRA_b", "Homo sapiens", 0.07),
        ("gi|402906318|ref|XP_003915950.1|", "sorting nexin-like protein 1", "Rattus rattus", 0.03),
    ]
    for seq_id, title, organism, fraction in family:
        records.append((seq_id, "%s [%s]" % (title, organism), organism,
                        mutate(rng, ancestor, PROTEIN_LETTERS, fraction)))
    # The protein that one frame of the FASTA query's cDNA encodes, in three plants, set in
    # unrelated flanks.
    encoded = longest_open_stretch(CDNA)
    for seq_id, title, organism, fraction in [
        ("gi|21554275|gb|AAM63432.1|", "unknown", "Arabidopsis thaliana", 0.10),
        ("gi|18409071|ref|NP_564935.1|", "DUF1639 domain-containing protein", "Arabidopsis thaliana", 0.18),
        ("gi|296087288|emb|CBI33662.3|", "unnamed protein product", "Vitis vinifera", 0.25),
    ]:
        core = mutate(rng, encoded, PROTEIN_LETTERS, fraction)
        sequence = (random_sequence(rng, PROTEIN_LETTERS, 40) + core
                    + random_sequence(rng, PROTEIN_LETTERS, 60))
        records.append((seq_id, "%s [%s]" % (title, organism), organism, sequence))
    # Proteins that no query of the check matches.
    for seq_id, title, organism, length in [
        ("gi|157819345|ref|NP_001099780.1|", "cytochrome c oxidase assembly factor", "Rattus norvegicus", 180),
        ("gi|6678469|ref|NP_033452.1|", "tubulin-specific chaperone", "Mus musculus", 240),
        ("gi|4502101|ref|NP_001144.1|", "annexin-like protein", "Homo sapiens", 320),
        ("gi|115445237|ref|NP_001046398.1|", "Os02g0238800", "Oryza sativa", 260),
        ("gi|6319279|ref|NP_009362.1|", "Cdc19p-like protein", "Saccharomyces cerevisiae", 210),
        ("gi|15222448|ref|NP_172232.1|", "pentatricopeptide repeat protein", "Arabidopsis thaliana", 300),
    ]:
        records.append((seq_id, "%s [%s]" % (title, organism), organism,
                        random_sequence(rng, PROTEIN_LETTERS, length)))
    return records


def nucleotide_records(rng):
    records = []
    # Sequences that hold both ends of the bare query around a 30-base spacer.
    for seq_id, title, organism, before, after in [
        ("gi|37953274|ref|NM_001009059.1|", "Pan troglodytes solute carrier family 4 (SLC4A2), mRNA", "Pan troglodytes", 210, 380),
        ("gi|51104367|gb|AC146779.4|", "Pan troglodytes BAC clone RP43-56G14 from chromosome 7, complete sequence", "Pan troglodytes", 640, 520),
        ("gi|114603817|ref|XM_001165512.1|", "PREDICTED: Pan paniscus solute carrier family 4 (SLC4A2), mRNA", "Pan paniscus", 150, 300),
        ("gi|4507020|ref|NM_003040.1|", "Homo sapiens solute carrier family 4 (SLC4A2), mRNA", "Homo sapiens", 230, 400),
        ("gi|195047841|ref|XM_004045515.1|", "PREDICTED: Gorilla gorilla solute carrier family 4 (SLC4A2), mRNA", "Gorilla gorilla", 190, 350),
    ]:
        sequence = (random_sequence(rng, NUCLEOTIDE_LETTERS, before) + NUCLEOTIDE_LEFT
                    + random_sequence(rng, NUCLEOTIDE_LETTERS, 30) + NUCLEOTIDE_RIGHT
                    + random_sequence(rng, NUCLEOTIDE_LETTERS, after))
        records.append((seq_id, title, organism, sequence))
    # The FASTA query's own cDNA, so that an identifier query can find it.
    records.append(("gi|116660609|gb|EG558220.1|",
                    "CR02019H04 Leaf CR02 cDNA library Catharanthus roseus cDNA clone CR02019H04 5', mRNA sequence",
                    "Catharanthus roseus", CDNA))
    # Sequences that no query of the check matches.
    for seq_id, title, organism, length in [
        ("gi|57113980|ref|NM_001009177.1|", "Pan troglodytes ribosomal protein L13 (RPL13), mRNA", "Pan troglodytes", 600),
        ("gi|38373680|gb|AC137820.2|", "Pan troglodytes chromosome 22 clone RP43-7K13, complete sequence", "Pan troglodytes", 900),
        ("gi|34223717|ref|NM_012512.2|", "Rattus norvegicus beta-2-microglobulin (B2m), mRNA", "Rattus norvegicus", 500),
        ("gi|30581135|ref|NM_000518.4|", "Homo sapiens hemoglobin subunit beta (HBB), mRNA", "Homo sapiens", 620),
    ]:
        records.append((seq_id, title, organism, random_sequence(rng, NUCLEOTIDE_LETTERS, length)))
    return records


def write_fasta(path, records):
    with open(path, "w") as out:
        for seq_id, title, _organism, sequence in records:
            out.write(">%s %s\n" % (seq_id, title))
            for start in range(0, len(sequence), 70):
                out.write(sequence[start:start + 70] + "\n")


def write_catalogue(folder, records):
    # Each sequence's accession and taxonomy id, as makeblastdb -taxid_map reads them (it takes no
    # comment lines).
    with open(os.path.join(folder, "catalogue.tsv"), "w") as out:
        for seq_id, _title, organism, _sequence in records:
            out.write("%s\t%d\n" % (seq_id.rstrip("|").split("|")[-1], ORGANISMS[organism][0]))
    with open(os.path.join(folder, "organisms.tsv"), "w") as out:
        out.write("# taxonomy id\torganism\tcommon names, separated by \";\"\n")
        for organism in sorted(ORGANISMS):
            taxid, common_names = ORGANISMS[organism]
            out.write("%d\t%s\t%s\n" % (taxid, organism, "; ".join(common_names)))


def main(folder):
    rng = random.Random(20240611)
    proteins = protein_records(rng)
    nucleotides = nucleotide_records(rng)
    write_fasta(os.path.join(folder, "proteins.fasta"), proteins)
    write_fasta(os.path.join(folder, "nucleotides.fasta"), nucleotides)
    write_catalogue(folder, proteins + nucleotides)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else HERE)
