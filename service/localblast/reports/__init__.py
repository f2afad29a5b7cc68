"""The reports: the formats a results request may ask for, made from a search's archive and
edited where NCBI answers differently from BLAST+."""
