// Characters that change how a text reads without being seen: the bidirectional controls (with
// them, `curl … | sh` can display as if the curl were commented out) and the zero-width ones.
// Where the user must see exactly what runs (an approval, a tool's arguments and output, code in
// the transcript) each is drawn visibly, as ⟨U+202E⟩, and named in its title.

const NAMES = {
  0x061c: "arabic letter mark", 0x200b: "zero width space", 0x200c: "zero width non-joiner",
  0x200d: "zero width joiner", 0x200e: "left-to-right mark", 0x200f: "right-to-left mark",
  0x202a: "left-to-right embedding", 0x202b: "right-to-left embedding", 0x202c: "pop directional formatting",
  0x202d: "left-to-right override", 0x202e: "right-to-left override", 0x2060: "word joiner",
  0x2061: "function application", 0x2062: "invisible times", 0x2063: "invisible separator",
  0x2064: "invisible plus", 0x2066: "left-to-right isolate", 0x2067: "right-to-left isolate",
  0x2068: "first strong isolate", 0x2069: "pop directional isolate", 0xfeff: "zero width no-break space",
  0x180e: "mongolian vowel separator", 0x00ad: "soft hyphen", 0x034f: "combining grapheme joiner",
};
// The ones above, and the tag characters (which can spell hidden words).
export const HIDDEN = /[\u00ad\u034f\u061c\u180e\u200b-\u200f\u202a-\u202e\u2060-\u2064\u2066-\u2069\ufeff]|[\u{e0000}-\u{e007f}]/gu;

export function codePoint(ch) {
  return "U+" + ch.codePointAt(0).toString(16).toUpperCase().padStart(4, "0");
}

// The text with each hidden character written out: "a⟨U+202E⟩b".
export function revealText(text) {
  return String(text).replace(HIDDEN, (ch) => `⟨${codePoint(ch)}⟩`);
}

// Draw every hidden character in the text below `node` as a visible mark; how many there were.
export function revealHidden(node) {
  const walker = document.createTreeWalker(node, NodeFilter.SHOW_TEXT);
  const found = [];
  for (let t = walker.nextNode(); t; t = walker.nextNode()) {
    HIDDEN.lastIndex = 0;
    if (HIDDEN.test(t.data)) found.push(t);
  }
  let count = 0;
  for (const t of found) {
    const parts = document.createDocumentFragment();
    let last = 0;
    HIDDEN.lastIndex = 0; // (matchAll starts where the last test left the shared pattern)
    for (const m of t.data.matchAll(HIDDEN)) {
      if (m.index > last) parts.appendChild(document.createTextNode(t.data.slice(last, m.index)));
      const mark = document.createElement("span");
      mark.className = "hidden-char";
      mark.textContent = `⟨${codePoint(m[0])}⟩`;
      mark.title = `An invisible character: ${NAMES[m[0].codePointAt(0)] || "tag character"}`;
      parts.appendChild(mark);
      last = m.index + m[0].length;
      count += 1;
    }
    if (last < t.data.length) parts.appendChild(document.createTextNode(t.data.slice(last)));
    t.replaceWith(parts);
  }
  return count;
}
