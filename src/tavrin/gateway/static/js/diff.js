// What a write changes in a file: the lines of the file before and after, compared. Pure (no DOM),
// so that it is tested on its own.

// Above this many cells (lines before × lines after, once the common start and end are set
// aside), the middle is shown as replaced whole rather than compared line by line.
const MAX_CELLS = 4_000_000;

// [{ op, text }] from the text before to the text after: op " " (kept), "-" (removed), "+" (added).
export function lineDiff(before, after) {
  const a = splitLines(before);
  const b = splitLines(after);
  let start = 0;
  while (start < a.length && start < b.length && a[start] === b[start]) start++;
  let endA = a.length;
  let endB = b.length;
  while (endA > start && endB > start && a[endA - 1] === b[endB - 1]) { endA--; endB--; }
  const out = a.slice(0, start).map((text) => ({ op: " ", text }));
  out.push(...middle(a.slice(start, endA), b.slice(start, endB)));
  out.push(...a.slice(endA).map((text) => ({ op: " ", text })));
  return out;
}

export function splitLines(text) {
  if (text === "") return [];
  const lines = String(text).split("\n");
  if (lines[lines.length - 1] === "") lines.pop(); // a final newline ends the last line
  return lines;
}

// The longest common subsequence of two runs of lines, as kept, removed and added lines.
function middle(a, b) {
  if (!a.length || !b.length || a.length * b.length > MAX_CELLS) {
    return [...a.map((text) => ({ op: "-", text })), ...b.map((text) => ({ op: "+", text }))];
  }
  const n = a.length;
  const m = b.length;
  const lcs = new Uint32Array((n + 1) * (m + 1));
  for (let i = n - 1; i >= 0; i--) {
    for (let j = m - 1; j >= 0; j--) {
      lcs[i * (m + 1) + j] = a[i] === b[j] ? lcs[(i + 1) * (m + 1) + j + 1] + 1
        : Math.max(lcs[(i + 1) * (m + 1) + j], lcs[i * (m + 1) + j + 1]);
    }
  }
  const out = [];
  let i = 0;
  let j = 0;
  while (i < n && j < m) {
    if (a[i] === b[j]) { out.push({ op: " ", text: a[i] }); i++; j++; }
    else if (lcs[(i + 1) * (m + 1) + j] >= lcs[i * (m + 1) + j + 1]) out.push({ op: "-", text: a[i++] });
    else out.push({ op: "+", text: b[j++] });
  }
  while (i < n) out.push({ op: "-", text: a[i++] });
  while (j < m) out.push({ op: "+", text: b[j++] });
  return out;
}

// The changed lines with `context` kept lines around each change; a longer run of kept lines
// between two changes becomes { op: "…", count } (how many are left out).
export function hunks(ops, context = 3) {
  const near = new Array(ops.length).fill(false);
  ops.forEach((o, k) => {
    if (o.op === " ") return;
    for (let d = Math.max(0, k - context); d <= Math.min(ops.length - 1, k + context); d++) near[d] = true;
  });
  const out = [];
  let skipped = 0;
  ops.forEach((o, k) => {
    if (near[k]) {
      if (skipped) { out.push({ op: "…", count: skipped }); skipped = 0; }
      out.push(o);
    } else skipped++;
  });
  if (skipped) out.push({ op: "…", count: skipped });
  return out;
}

// How many lines are added and removed.
export function counts(ops) {
  let added = 0;
  let removed = 0;
  for (const o of ops) { if (o.op === "+") added++; else if (o.op === "-") removed++; }
  return { added, removed };
}
