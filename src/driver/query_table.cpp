#include "driver/driver.h"

namespace driver {

namespace {

constexpr const char* fasta_query =
    ">gi|116660609|gb|EG558220.1|EG558220 CR02019H04 Leaf CR02 cDNA library Catharanthus roseus cDNA "
    "clone CR02019H04 5', mRNA sequence\n"
    "CTCCATTCCCTCTCTATTTTCAGTCTAATCAAATTAGAGCTTAAAAGAATGAGATTTTTAACAAATAAAA\n"
    "AAACATAGGGGAGATTTCATAAAAGTTATATTAGTGATTTGAAGAATATTTTAGTCTATTTTTTTTTTTT\n"
    "TCTTTTTTTGATGAAGAAAGGGTATATAAAATCAAGAATCTGGGGTGTTTGTGTTGACTTGGGTCGGGTG\n"
    "TGTATAATTCTTGATTTTTTCAGGTAGTTGAAAAGGTAGGGAGAAAAGTGGAGAAGCCTAAGCTGATATT\n"
    "GAAATTCATATGGATGGAAAAGAACATTGGTTTAGGATTGGATCAAAAAATAGGTGGACATGGAACTGTA\n"
    "CCACTACGTCCTTACTATTTTTGGCCGAGGAAAGATGCTTGGGAAGAACTTAAAACAGTTTTAGAAAGCA\n"
    "AGCCATGGATTTCTCAGAAGAAAATGATTATACTTCTTAATCAGGCAACTGATATTATCAATTTATGGCA\n"
    "GCAGAGTGGTGGCTCCTTGTCCCAGCAGCAGTAATTACTTTTTTTTCTCTTTTTGTTTCCAAATTAAGAA\n"
    "ACATTAGTATCATATGGCTATTTGCTCAATTGCAGATTTCTTTCTTTTGTGAATG";

py::object row(const char* program, py::handle query, py::handle e_value, py::handle entrez_filter,
               std::initializer_list<const char*> expected_hits) {
    py::object hits = py::list({});
    for (const char* hit : expected_hits)
        py::append(hits, py::str(hit));
    return py::tuple({py::str(program), py::str("nr"), query, e_value, entrez_filter, hits});
}

}  // namespace

py::object build_query_table() {
    return py::list({
        row("blastp", py::str("160837788"), py::floating(0.001), py::str("rat [ORGN]"),
            {"9506405", "13592137", "37589612", "149064087", "56912225"}),
        row("blastn", py::str("GTACCTTGATTTCGTATTCNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNGACTCTACTACCTTTACCC"), py::integer(10),
            py::str("pan [ORGN]"), {"37953274", "51104367", "51104367", "51104367"}),
        row("blastx", py::str(fasta_query), py::floating(1e-07), py::none(), {"21554275", "18409071", "296087288"}),
    });
}

}  // namespace driver
