"""Host configuration: the heartbeat record and the application configuration."""

from __future__ import annotations

from collections.abc import Callable
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
    # The fair broadcast in the gateway: a client whose send cannot complete at once is finished by its
    # own writer, so it holds up no other client and no turn (``--no-fair-broadcast`` turns it off).
    fair_broadcast: bool = True
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
    # Connector sessions whose turns may use the tools as the user's own turns do. Any other turn
    # that the user did not start at the page (a connector's, a heartbeat's) asks before every tool.
    trusted_connectors: list[str] = field(default_factory=list)
    # The Computer Use agent's model and its server; None: ``model`` when it takes images, else the demo.
    cu_model: str | None = None
    cu_api_base: str | None = None
    # Seconds between two Computer Use actions, so the user can see each and stop.
    cu_action_delay: float = 0.3
    # "first": a Computer Use task asks before its first action; "never": it does not ask.
    cu_approve: str = "first"
    # The X display Computer Use works on; None: $DISPLAY.
    cu_display: str | None = None

    def computer_use_model(self, takes_images: Callable[[str], bool] | None = None) -> tuple[str, str | None] | None:
        """The Computer Use agent's (model, api_base), or None for the demo agent: ``cu_model``;
        else ``model`` when it takes images (``vision``, or ``takes_images(model)``)."""
        api_base = self.cu_api_base or self.api_base
        if self.cu_model:
            return self.cu_model, api_base
        if self.model and (self.vision if self.vision is not None else bool(takes_images and takes_images(self.model))):
            return self.model, api_base
        return None


def load_config(data_dir: str | Path | None = None, host: str = "127.0.0.1", port: int = 8765) -> AppConfig:
    """Build the application configuration for one server process."""
    cfg = AppConfig(host=host, port=port)
    if data_dir is not None:
        cfg.data_dir = Path(data_dir)
    return cfg
