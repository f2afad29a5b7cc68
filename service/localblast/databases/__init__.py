"""The BLAST+ databases the service searches."""
