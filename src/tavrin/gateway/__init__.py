"""The WebSocket gateway (native module ``ws``) and the host server around it."""
