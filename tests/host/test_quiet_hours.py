"""Quiet hours set on the command line: how the window is read, how a bad one is refused, and what
a running server then reports of it."""

import httpx
import pytest

from serverproc import require_gateway
from tavrin.gateway.cli import main, parse_quiet_hours


@pytest.mark.parametrize(
    "text, window",
    [
        ("22:30-06:45", ("22:30", "06:45")),
        ("7:05 - 9:00", ("07:05", "09:00")),  # the runner compares texts: "7:05" would sort after "22:30"
        ("00:00-23:59", ("00:00", "23:59")),
        ("off", None),
        (" OFF ", None),
    ],
)
def test_a_window_is_read_as_the_runner_compares_it(text, window):
    # Catches unpadded hours kept as written (compared wrongly as text), or "off" read as a window.
    assert parse_quiet_hours(text) == window


@pytest.mark.parametrize(
    "args, env, named",
    [
        (["--quiet-hours", "24:00-07:00"], None, "--quiet-hours: '24:00-07:00' is not a window"),
        (["--quiet-hours", "22:60-07:00"], None, "--quiet-hours: '22:60-07:00' is not a window"),
        (["--quiet-hours", "22:30"], None, "--quiet-hours: '22:30' is not a window"),
        (["--quiet-hours", "7:00-07:00"], None, "--quiet-hours: '7:00-07:00' starts and ends at the same time"),
        ([], "late", "TAVRIN_QUIET_HOURS: 'late' is not a window"),
    ],
)
def test_a_bad_window_stops_the_start_in_one_line(tmp_path, monkeypatch, capsys, args, env, named):
    # Catches a traceback, a server that starts with a window the runner would misread, or an error
    # that names the option when the environment variable was wrong.
    if env is None:
        monkeypatch.delenv("TAVRIN_QUIET_HOURS", raising=False)
    else:
        monkeypatch.setenv("TAVRIN_QUIET_HOURS", env)
    assert main(["--data-dir", str(tmp_path / "d"), "--port", "0", *args]) == 2
    out = capsys.readouterr()
    assert out.out == "" and out.err.startswith(f"tavrin-gateway: error: {named}") and out.err.count("\n") == 1
    assert not (tmp_path / "d").exists()


@pytest.mark.parametrize(
    "args, env, window",
    [
        (("--quiet-hours", "22:30-6:45"), None, ("22:30", "06:45")),
        (("--no-quiet-hours",), "01:00-02:00", (None, None)),  # the command line wins over the environment
        ((), "01:00-02:00", ("01:00", "02:00")),
    ],
    ids=["option", "off", "environment"],
)
def test_the_server_reports_the_window_it_was_given(servers, monkeypatch, tmp_path, args, env, window):
    # Catches an option parsed but never handed to the heartbeat, or a start-up line that says otherwise.
    require_gateway()
    monkeypatch.delenv("TAVRIN_QUIET_HOURS", raising=False)
    if env is not None:
        monkeypatch.setenv("TAVRIN_QUIET_HOURS", env)
    server = servers(tmp_path / "data", *args)
    status = httpx.get(server.http + "/api/heartbeat", headers=server.auth).json()
    assert (status["quiet_hours_start"], status["quiet_hours_end"]) == window
    assert (f"quiet hours {window[0]}-{window[1]}" if window[0] else "no quiet hours") in server.address_line
    if window[0] is None:
        assert status["quiet_until"] is None
