"""Secrets the host holds and keeps out of what it shows, stores and runs.

The provider keys LiteLLM reads live in the server's environment. A command the agent runs gets
the user's environment without them (``command_environment``), and every text that leaves the
model layer (an error, a tool result, a reply, a log line) has their values replaced by
``[redacted]`` (``Redactor``).
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Mapping
from typing import Any

REDACTED = "[redacted]"
# A value shorter than this is no secret worth the name ("no-key", "1"), and replacing it would
# garble ordinary text.
MIN_SECRET_CHARS = 8

# The environment variables that hold credentials: every provider's key (OPENAI_API_KEY,
# AZURE_API_KEY, AWS_SECRET_ACCESS_KEY, ...), tokens and secrets, and the variables that configure
# this project and LiteLLM itself.
_CREDENTIAL = re.compile(r"(?:^|_)(?:API_?KEY|KEY|TOKEN|SECRET|PASSWORD|PASSWD|CREDENTIALS?|ACCESS_KEY_ID|AUTH)$", re.I)
_OWN = re.compile(r"^(?:TAVRIN|LITELLM)_", re.I)
_SECRET_NAMES = frozenset(
    {
        "AWS_ACCESS_KEY_ID",
        "AWS_SESSION_TOKEN",
        "AWS_PROFILE",
        "AWS_ROLE_NAME",
        "AWS_WEB_IDENTITY_TOKEN_FILE",
        "GOOGLE_APPLICATION_CREDENTIALS",
        "VERTEXAI_CREDENTIALS",
        "AZURE_AD_TOKEN",
        "AZURE_CLIENT_SECRET",
        "DATABRICKS_TOKEN",
        "WATSONX_APIKEY",
        "WATSONX_TOKEN",
        "HF_TOKEN",
        "HUGGINGFACE_API_KEY",
    }
)


def is_credential(name: str) -> bool:
    return name.upper() in _SECRET_NAMES or bool(_CREDENTIAL.search(name))


def is_secret_name(name: str) -> bool:
    """A credential, or a variable of this project or of LiteLLM."""
    return is_credential(name) or bool(_OWN.search(name))


def command_environment(environ: Mapping[str, str] | None = None) -> dict[str, str]:
    """The user's environment less every credential and every variable of this project or
    LiteLLM: what a command the agent runs starts with."""
    env = os.environ if environ is None else environ
    return {k: v for k, v in env.items() if not is_secret_name(k)}


def secret_values(environ: Mapping[str, str] | None = None, extra: Iterable[str | None] = ()) -> list[str]:
    """The values to keep out of every text: those of the credential variables, and ``extra``
    (a key given in the settings, the access token). Longest first, so a key that holds another
    is replaced whole."""
    env = os.environ if environ is None else environ
    found = {v for k, v in env.items() if is_credential(k)}
    found.update(v for v in extra if v)
    return sorted((v.strip() for v in found if len(v.strip()) >= MIN_SECRET_CHARS), key=len, reverse=True)


class Redactor:
    """Replaces the secrets' values by ``[redacted]`` in a text, or in every text of a JSON-like value."""

    def __init__(self, values: Iterable[str]):
        self.values = [v for v in values if len(v) >= MIN_SECRET_CHARS]
        self._pattern = re.compile("|".join(map(re.escape, self.values))) if self.values else None

    def __bool__(self) -> bool:
        return self._pattern is not None

    def text(self, value: str) -> str:
        if self._pattern is None or not isinstance(value, str):
            return value
        return self._pattern.sub(REDACTED, value)

    def holds(self, value: str) -> bool:
        return self._pattern is not None and isinstance(value, str) and self._pattern.search(value) is not None

    def value(self, value: Any) -> Any:
        """``value`` with every string in it redacted (dicts, lists and tuples are rebuilt)."""
        if self._pattern is None:
            return value
        if isinstance(value, str):
            return self.text(value)
        if isinstance(value, dict):
            return {self.text(k) if isinstance(k, str) else k: self.value(v) for k, v in value.items()}
        if isinstance(value, (list, tuple)):
            return type(value)(self.value(v) for v in value)
        return value


_current: Redactor | None = None


def configure(values: Iterable[str]) -> Redactor:
    """Set the secrets the host keeps out of its texts (at start-up); returns the redactor."""
    global _current
    _current = Redactor(values)
    return _current


def redactor() -> Redactor:
    """The host's redactor: the secrets given to ``configure``, or those of the environment
    when none were given."""
    global _current
    if _current is None:
        _current = Redactor(secret_values())
    return _current


class StreamRedactor:
    """Redacts a text that arrives in pieces (a streamed reply), where a key may be cut across two:
    the end of a piece that could begin a secret is held back until the next piece (or ``flush``)
    tells whether it does."""

    def __init__(self, redactor: Redactor):
        self.redactor = redactor
        self.pending = ""

    def feed(self, piece: str) -> str:
        """What of the text so far can be shown now, redacted."""
        if not self.redactor:
            return piece
        text = self.redactor.text(self.pending + piece)
        keep = 0
        for secret in self.redactor.values:
            for k in range(min(len(secret) - 1, len(text)), keep, -1):
                if text.endswith(secret[:k]):
                    keep = k
                    break
        self.pending = text[len(text) - keep :] if keep else ""
        return text[: len(text) - keep]

    def flush(self) -> str:
        """The rest, once no more pieces come (a held-back end was no secret after all)."""
        rest, self.pending = self.pending, ""
        return rest
