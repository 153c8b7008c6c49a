"""Tavrin: a desktop AI agent's real-time gateway, heartbeat and host application."""
