"""The URL API's commands, answered as NCBI answers them, with the usage guidelines and the
injected faults applied."""
