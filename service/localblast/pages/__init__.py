"""The HTML and text pages the service answers."""
