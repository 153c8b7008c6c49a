// The transcript region: one pane per session, and the functions that draw into it. Live events
// and stored rows are drawn by the same functions, so a resumed conversation looks as it did
// while it ran; consecutive pieces of a reply grow one bubble.
//
// Each part draws one thing: pane.js the pane and its scrolling, steps.js a turn's folded steps,
// messages.js the messages and their actions, toolcards.js the tool cards, approvallines.js an
// approval's place, outcomes.js how a turn ended, stored.js a stored conversation, queued.js the
// messages waiting under it. The rest of the page imports them from here.

export * from "./pane.js";
export * from "./steps.js";
export * from "./messages.js";
export * from "./toolcards.js";
export * from "./approvallines.js";
export * from "./outcomes.js";
export * from "./stored.js";
export * from "./queued.js";
