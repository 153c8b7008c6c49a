"""Core services: the heartbeat runner (native module ``heartbeat``), sessions and agents."""
