"""The MCP configuration file: what is read from it, and a bad file refused in one line."""

from __future__ import annotations

import json

import pytest

from tavrin.core.mcp_config import McpConfigError, config_path, parse_config
from tavrin.gateway.cli import main


def test_the_ecosystems_file_is_read_with_timeouts_and_trust():
    # Catches a server, a trust setting or a timeout of the common format lost or misread.
    servers = parse_config(
        json.dumps(
            {
                "mcpServers": {
                    "files": {
                        "command": "npx",
                        "args": ["-y", "fs", "/tmp"],
                        "env": {"K": "v"},
                        "approve": {"read_note": "never", "write_note": "always"},
                    },
                    "web": {
                        "url": "https://mcp.example/mcp",
                        "headers": {"Authorization": "Bearer x"},
                        "timeout": 5,
                        "approve": "never",
                    },
                    "off": {"command": "x", "disabled": True},
                }
            }
        ),
        "mcp.json",
    )
    files, web = servers
    assert [s.name for s in servers] == ["files", "web"]
    assert files.is_stdio and files.args == ("-y", "fs", "/tmp") and files.env == {"K": "v"}
    assert files.timeout == 60 and files.trusts("read_note") and not files.trusts("write_note")
    assert not web.is_stdio and web.timeout == 5 and web.trusts("anything")


@pytest.mark.parametrize(
    "text, said",
    [
        ("{", "cfg.json: not valid JSON"),
        ('{"servers": {}}', 'cfg.json: needs an object "mcpServers"'),
        ('{"mcpServers": {"a": {"args": []}}}', 'cfg.json: server "a": needs either "command"'),
        ('{"mcpServers": {"a": {"command": "x", "url": "http://h"}}}', 'cfg.json: server "a": needs either'),
        ('{"mcpServers": {"a": {"command": "x", "args": "-v"}}}', 'cfg.json: server "a": "args" must be a list'),
        ('{"mcpServers": {"a": {"command": "x", "env": {"K": 1}}}}', 'cfg.json: server "a": "env" must be an object'),
        ('{"mcpServers": {"a": {"command": "x", "timeout": 0}}}', 'cfg.json: server "a": "timeout" must be a positive'),
        ('{"mcpServers": {"a": {"command": "x", "approve": "sometimes"}}}', 'cfg.json: server "a": "approve" must be'),
        ('{"mcpServers": {"a": {"command": "x", "comand": "y"}}}', 'cfg.json: server "a": has an unknown key "comand"'),
        ('{"mcpServers": {"a": {"url": "ftp://h"}}}', 'cfg.json: server "a": "url" must be an http'),
        ('{"mcpServers": {"a b": {"command": "x"}}}', 'cfg.json: server "a b": its name may hold only'),
    ],
)
def test_a_bad_file_is_one_line_naming_the_file_the_server_and_the_fault(text, said):
    # Catches a traceback, or a message that leaves the user guessing which server is wrong.
    with pytest.raises(McpConfigError) as caught:
        parse_config(text, "cfg.json")
    assert str(caught.value).startswith(said) and "\n" not in str(caught.value)


def test_the_data_directorys_file_is_the_default_only_when_it_exists(tmp_path):
    # Catches a missing default file failing the start, or the option not winning over it.
    assert config_path(None, tmp_path) is None
    (tmp_path / "mcp.json").write_text("{}")
    assert config_path(None, tmp_path) == tmp_path / "mcp.json"
    assert config_path(str(tmp_path / "other.json"), tmp_path) == tmp_path / "other.json"


def test_a_bad_file_stops_the_start_in_one_line(tmp_path, monkeypatch, capsys):
    # Catches a server that starts without the tools the user configured, or a traceback.
    bad = tmp_path / "mcp.json"
    bad.write_text('{"mcpServers": {"notes": {"command": ""}}}')
    monkeypatch.setenv("TAVRIN_MCP_CONFIG", str(bad))
    assert main(["--data-dir", str(tmp_path / "d"), "--port", "0"]) == 1
    err = capsys.readouterr().err
    assert err == f'tavrin-gateway: error: {bad}: server "notes": "command" must be a non-empty string\n'
