// A Computer Use action in words, and where it points: the page names each step of a Computer Use
// turn the way a person would ("Click at (412, 230)", "Type 'hello'", "Press ctrl+l") and marks its
// point on the screenshot that follows it. Pure functions: the arguments are the model's, as sent.

const CLICKS = {
  left_click: "Click", right_click: "Right-click", middle_click: "Middle-click",
  double_click: "Double-click", triple_click: "Triple-click",
};

// [x, y] when value is a point of two whole numbers, else null.
export function pointOf(value) {
  return Array.isArray(value) && value.length === 2 && value.every(Number.isInteger) ? value : null;
}

const at = (p) => (p ? ` at (${p[0]}, ${p[1]})` : "");

function quoted(text) {
  const s = String(text);
  return "'" + (s.length > 40 ? s.slice(0, 40) + "…" : s) + "'";
}

function seconds(value) {
  return typeof value === "number" && Number.isFinite(value) ? ` for ${value} s` : "";
}

// The action as a short sentence; null when the arguments name no action of the computer tool.
export function describeAction(args) {
  if (!args || typeof args !== "object" || Array.isArray(args)) return null;
  const p = pointOf(args.coordinate);
  const keys = typeof args.text === "string" && args.text ? args.text : null;
  switch (args.action) {
    case "screenshot": return "Take a screenshot";
    case "cursor_position": return "Find the pointer";
    case "mouse_move": return "Move the pointer" + (p ? ` to (${p[0]}, ${p[1]})` : "");
    case "left_click_drag": {
      const from = pointOf(args.start_coordinate);
      return "Drag" + (from ? ` from (${from[0]}, ${from[1]})` : "") + (p ? ` to (${p[0]}, ${p[1]})` : "");
    }
    case "left_mouse_down": return "Press the mouse button" + at(p);
    case "left_mouse_up": return "Release the mouse button" + at(p);
    case "scroll": {
      const amount = Number.isInteger(args.scroll_amount) ? ` ${args.scroll_amount}` : "";
      return `Scroll ${typeof args.scroll_direction === "string" ? args.scroll_direction : ""}${amount}`.trimEnd() + at(p);
    }
    case "type": return keys ? "Type " + quoted(keys) : "Type";
    case "key": return keys ? "Press " + keys : "Press a key";
    case "hold_key": return (keys ? "Hold " + keys : "Hold a key") + seconds(args.duration);
    case "wait": return "Wait" + seconds(args.duration).replace(" for", "");
    default:
      if (args.action in CLICKS) return CLICKS[args.action] + at(p) + (keys ? ` holding ${keys}` : "");
      return null;
  }
}

// Where the action's point sits on a picture of the screen, as fractions of its width and height
// (the picture may be shown at any size); null without a point or inside no picture.
export function markAt(args, width, height) {
  const p = args && typeof args === "object" ? pointOf(args.coordinate) : null;
  if (!p || !(width > 0) || !(height > 0) || p[0] < 0 || p[1] < 0 || p[0] >= width || p[1] >= height) return null;
  return { left: (p[0] + 0.5) / width, top: (p[1] + 0.5) / height };
}
