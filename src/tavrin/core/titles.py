"""Titles the model writes: after the first answer of a conversation, a short title in place of
the first words of the message that the gateway named it with. That title stays when the model
cannot be reached, and a name the user gave (the conversation's or the tab's) always wins."""

from __future__ import annotations

import asyncio
import logging
import re
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

from tavrin.core import names
from tavrin.core.llm_agent import ModelSettings, completion_request, open_stream
from tavrin.core.redact import redactor
from tavrin.core.store import TITLE_CHARS, ConversationStore

logger = logging.getLogger("tavrin.titles")

# The request for a title: the first exchange, each side bounded.
PROMPT = (
    "Write a title of at most six words for the conversation below, in its language. "
    "Answer with the title alone: no quotes, no full stop."
)
EXCHANGE_CHARS = 2000
# How long the title may take; a turn's reply does not wait for it.
TITLE_SECONDS = 30.0


def clean_title(text: str) -> str:
    """The model's answer as a title: its first line, without a "Title:" label, quotes, Markdown
    marks or a final full stop, at most TITLE_CHARS long ("" when nothing is left)."""
    line = next((ln for ln in text.strip().splitlines() if ln.strip()), "")
    line = re.sub(r"^[\s#*_`]*(?:title\s*:)?[\s*_`]*", "", line, flags=re.I)
    while True:
        cut = line.strip().strip("*_`\"'“”‘’«»").rstrip(".。").strip()
        if cut == line:
            break
        line = cut
    return names.cut(" ".join(line.split()), TITLE_CHARS)


class Titler:
    """Names each new conversation of the standard agents it watches, after its first answer."""

    def __init__(
        self,
        litellm,
        settings: ModelSettings,
        store: ConversationStore,
        announce: Callable[[dict], Awaitable[None]],
        session_of: Callable[[str | None], Any],
        spawn: Callable[[Any, str], asyncio.Task],
    ):
        self.litellm = litellm
        self.settings = settings
        self.store = store
        self.announce = announce  # to every window
        self.session_of = session_of  # the registry's session of an id, or None
        self.spawn = spawn

    def watch(self, agent) -> None:
        """Have ``agent``'s turns end, when they answered a conversation's first message, with a
        title asked for beside the next turn."""
        turn = agent.process_message

        def process_message(user_text: str, attachments: list | None = None, *, intro: dict | None = None):
            return self._then_title(agent, user_text, turn(user_text, attachments, intro=intro))

        agent.process_message = process_message

    async def _then_title(self, agent, user_text: str, events) -> AsyncIterator[Any]:
        reply: list[str] = []
        done = False
        async for event in events:
            if event.type == "text":
                reply.append(str(event.data.get("content", "")))
            done = event.type == "done"
            yield event
        conv_id = agent.conversation.conversation_id
        if done and conv_id and "".join(reply).strip():
            self.spawn(self.name(agent.session_id, conv_id, user_text, "".join(reply)), f"title-{conv_id}")

    async def name(self, session_id: str | None, conv_id: str, user_text: str, reply: str) -> str | None:
        """Ask for a title of a conversation whose first exchange this is, store it and tell every
        window; the title, or None (not the first exchange, the user named it, the model failed)."""
        session = self.session_of(session_id)
        if session is not None and session.is_connector:
            return None  # a connector's conversation keeps its name, as the gateway leaves it
        rows = await self.store.get_messages(conv_id, limit=20)
        if sum(1 for r in rows if r["role"] == "user") != 1:
            return None
        conversation = await self.store.get_conversation(conv_id)
        if conversation is None:
            return None
        shown_before = conversation["title"]
        try:
            title = clean_title(await asyncio.wait_for(self._ask(user_text, reply), TITLE_SECONDS))
        except Exception as exc:  # the first words stay the title
            logger.info("No title from %s for %s (%s)", self.settings.where(), conv_id, type(exc).__name__)
            return None
        title = redactor().text(title)
        if not title or not await self.store.title_for_user(conv_id, title):
            return None
        await self.announce(
            {"type": "conversation_renamed", "conversation_id": conv_id, "title": title, "session_id": session_id}
        )
        # The tab too, unless the user renamed it: it still bears the first words of the message.
        if (
            session is not None
            and not session.is_connector
            and session.conversation_id == conv_id
            and session.display_name in (names.display_name(user_text[:TITLE_CHARS].strip()), shown_before)
        ):
            session.display_name = title
            await self.announce(
                {"type": "session_renamed", "session_id": session.session_id, "display_name": session.display_name}
            )
        return title

    async def _ask(self, user_text: str, reply: str) -> str:
        exchange = f"User: {user_text[:EXCHANGE_CHARS]}\n\nAssistant: {reply[:EXCHANGE_CHARS]}"
        request = completion_request(
            self.settings, [{"role": "system", "content": PROMPT}, {"role": "user", "content": exchange}]
        )
        request["max_tokens"] = 30
        stream = await open_stream(self.litellm, self.settings, request, lambda awaitable: awaitable, asyncio.sleep)
        pieces: list[str] = []
        try:
            async for chunk in stream:
                choices = getattr(chunk, "choices", None) or []
                content = getattr(choices[0].delta, "content", None) if choices else None
                if content:
                    pieces.append(content)
        finally:
            close = getattr(stream, "aclose", None)
            if close is not None:
                await close()
        return "".join(pieces)
