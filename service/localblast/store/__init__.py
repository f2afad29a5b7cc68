"""The searches the service holds, by RID."""
