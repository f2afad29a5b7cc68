"""BLAST: the web client (Skelda) and the XML report reader (Morvin).

Each has a private package of its own: _client for the web client (the requests, their
transport, the service's pages), _reader for the reader (the element tree kept within bounds,
the records made of it). _text serves both.
"""
