"""The HTTP side of the service."""
