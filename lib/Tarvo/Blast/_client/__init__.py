"""The BLAST web client's rooms:

    settings   the client's settings, read from the environment
    pacing     the pace of the process's requests
    transport  one HTTP request, bounded in size and time (failures: how it fails, as data;
               framing: its body; answer: the body as a file)
    wording    the errors a caller gets, and the words of a failure of the transport
    pages      what the service's HTML pages say
    terminal   text from the service as a terminal may show it
"""
