"""norvimerio-server: the share service a school runs for its lesson recorders."""

__version__ = "1.0.0"
