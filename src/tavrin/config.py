"""Host configuration: the heartbeat record and the application configuration."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class HeartbeatConfig:
    """Settings of the periodic autonomous check-in.

    ``quiet_hours_start`` and ``quiet_hours_end`` are local wall-clock times written
    as "%H:%M" (zero-padded, 24-hour clock); leave either empty for no quiet hours.
    An empty ``prompt`` selects the heartbeat module's default check-in prompt.
    """

    enabled: bool = False
    interval_seconds: float = 300
    max_consecutive: int = 10
    quiet_hours_start: str | None = "23:00"
    quiet_hours_end: str | None = "07:00"
    prompt: str | None = ""
    blocked_ops: list[str] = field(default_factory=lambda: ["delete_file", "send_email", "make_payment"])

    @property
    def interval(self) -> float:
        """The interval in seconds, under the name the gateway's heartbeat control reads."""
        return self.interval_seconds

    @interval.setter
    def interval(self, value: float) -> None:
        self.interval_seconds = value


@dataclass
class AppConfig:
    """The application configuration the host publishes in its state under "config"."""

    heartbeat: HeartbeatConfig = field(default_factory=HeartbeatConfig)
    data_dir: Path = field(default_factory=lambda: Path.home() / ".tavrin")
    host: str = "127.0.0.1"
    port: int = 8765
    # Pause between the steps of the scripted demo agents, in seconds (tests make it short).
    demo_step_delay: float = 0.25
    # The access token the page, /api/* and /ws require; None lets everyone in (``--no-token``).
    token: str | None = None
    # Session streams in the gateway: numbered, replayable events, every window of a session live,
    # and a turn that outlives its window for a grace period (``--no-session-streams`` turns them off).
    session_streams: bool = True
    # The model the standard agents answer with (a LiteLLM model string); None: the demo agents.
    model: str | None = None
    # Where the model's server is, for a local or self-hosted one.
    api_base: str | None = None
    # Model calls one turn may make before it is stopped.
    max_iterations: int = 25
    # The context window, in tokens, for a model whose size LiteLLM does not know.
    context_tokens: int = 32_768
    # Whether the model accepts images; None: as LiteLLM knows the model.
    vision: bool | None = None
    # The model's agents: seconds without activity (no token, no tool progress) before the stall
    # watchdog warns, and before it stops the turn (0: never).
    stall_warn_seconds: float = 30
    stall_cancel_seconds: float = 180
    # The MCP servers whose tools the model's agents are offered (parsed from --mcp-config).
    mcp_servers: list = field(default_factory=list)
    # The tools whose every use needs the user's approval; None: every tool that changes the computer.
    approval_tools: list[str] | None = None


def load_config(data_dir: str | Path | None = None, host: str = "127.0.0.1", port: int = 8765) -> AppConfig:
    """Build the application configuration for one server process."""
    cfg = AppConfig(host=host, port=port)
    if data_dir is not None:
        cfg.data_dir = Path(data_dir)
    return cfg
