"""BLAST: the web client (Skelda) and the XML report reader (Morvin)."""
