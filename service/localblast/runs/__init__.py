"""Running a search: BLAST+ processes on this machine."""
