"""Classical single-channel speech enhancement."""
