"""A local BLAST service that speaks NCBI's BLAST URL API and runs the searches with BLAST+."""
