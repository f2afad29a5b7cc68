"""The request journal: what each client sent and what it was answered."""
