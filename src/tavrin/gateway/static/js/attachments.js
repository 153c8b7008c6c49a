// Files the user attaches to a message, with no view: each is read and checked against the bounds
// the agent holds them to, and pictures are shrunk (drawn smaller on a canvas, as JPEG) until
// each is within its bound and the whole chat message fits in one WebSocket message.
//
// An attachment: { name, type, size (bytes), data (base64), kind ("image" | "text"), thumb (a
// small data: URL, pictures only), from (the size of the file it was made from, when shrunk) }.

// The agent's bounds (it refuses a message beyond them), and the server's for one message.
export const LIMITS = {
  count: 8,
  image: 512 * 1024,
  text: 64 * 1024,
  frame: 1024 * 1024,
};
// What a message carries besides its attachments' data is counted exactly; this is room for the
// server's own framing, never needed by a message measured right.
const FRAME_ROOM = 256;
// Files larger than this are not even read.
const MAX_SOURCE = 64 * 1024 * 1024;

export const IMAGE_TYPES = new Set(["image/png", "image/jpeg", "image/gif", "image/webp"]);
const TEXT_TYPES = new Set(["application/json", "application/xml", "application/yaml", "application/x-yaml",
  "application/toml", "application/javascript", "application/x-sh", "application/sql"]);
const VAGUE_TYPES = new Set(["", "application/octet-stream"]);
// The longest side a picture is drawn at, step by step, when it has to be smaller.
const SIDES = [2048, 1600, 1280, 1024, 800, 640, 480, 320];
const QUALITIES = [0.85, 0.7];
const THUMB = { width: 160, height: 120 };

export class AttachError extends Error {}

export function fmtSize(n) {
  if (n < 1024) return `${n} bytes`;
  if (n < 1024 * 1024) return `${Math.round(n / 1024)} KiB`;
  return `${(n / (1024 * 1024)).toFixed(1).replace(/\.0$/, "")} MiB`;
}

const KINDS_TOLD = "attach a picture (PNG, JPEG, GIF, WebP) or a text file";
const baseType = (type) => String(type || "").split(";")[0].trim().toLowerCase();
const textType = (type) => type.startsWith("text/") || TEXT_TYPES.has(type);

// Pictures the browser reads besides those the agent takes (BMP, AVIF, SVG…) are sent as JPEG.
// Pictures keep their bitmap (not sent) so that they can be drawn smaller again.
export async function readFile(file, name) {
  name = String(name || file.name || "file").slice(0, 200);
  const type = baseType(file.type);
  if (type.startsWith("image/")) return readImage(file, name, type);
  return readText(file, name, type);
}

async function readText(file, name, type) {
  const kindError = () => new AttachError(
    `${name} is of a kind that cannot be sent (${type || "unknown"}): ${KINDS_TOLD}.`);
  if (!textType(type) && !VAGUE_TYPES.has(type) && file.size > LIMITS.text) throw kindError();
  // A type the agent does not count as text is sent as plain text, when the bytes are text.
  const head = new Uint8Array(await file.slice(0, 8192).arrayBuffer());
  if (!isText(head, file.size > head.length)) throw kindError();
  if (file.size > LIMITS.text) {
    throw new AttachError(`The file ${name} is too big (${fmtSize(file.size)}; at most ${fmtSize(LIMITS.text)}).`);
  }
  const bytes = new Uint8Array(await file.arrayBuffer());
  if (!isText(bytes, false)) throw kindError();
  return {
    name, kind: "text", type: textType(type) ? type : "text/plain", size: bytes.length,
    data: await base64(new Blob([bytes])),
  };
}

// UTF-8 without NUL, as the agent reads text; partial: the bytes may end inside a character.
function isText(bytes, partial) {
  let text;
  try { text = new TextDecoder("utf-8", { fatal: true }).decode(bytes, { stream: partial }); } catch (e) { return false; }
  return !text.includes("\0");
}

async function readImage(file, name, type) {
  if (file.size > MAX_SOURCE) {
    throw new AttachError(`The picture ${name} is too big to read (${fmtSize(file.size)}; at most ${fmtSize(MAX_SOURCE)}).`);
  }
  let bitmap;
  try { bitmap = await createImageBitmap(file); } catch (e) {
    throw new AttachError(`The picture ${name} cannot be read: ${KINDS_TOLD}.`);
  }
  const a = { name, kind: "image", type, size: file.size, data: null, thumb: null, from: null, bitmap, side: null, floor: false };
  if (IMAGE_TYPES.has(type) && file.size <= LIMITS.image) a.data = await base64(file);
  else if (!(await shrink(a, LIMITS.image))) {
    throw new AttachError(`The picture ${name} cannot be made small enough to send (${fmtSize(file.size)}).`);
  }
  a.thumb = await dataUrl(await draw(bitmap, THUMB.width, THUMB.height, "image/png"));
  return a;
}

const longest = (a) => Math.max(a.bitmap.width, a.bitmap.height);

// Draw the picture smaller, one step after another, until it takes at most `budget` bytes. True
// when it does; otherwise it is left at its smallest step (floor) and false returned.
async function shrink(a, budget) {
  const sides = SIDES.filter((s) => s < (a.side || longest(a)));
  if (a.side === null) sides.unshift(Math.min(longest(a), SIDES[0])); // first as it is, re-encoded
  let last = null;
  for (const side of [...new Set(sides)]) {
    for (const q of QUALITIES) {
      last = { side, blob: await draw(a.bitmap, side, side, "image/jpeg", q) };
      if (last.blob && last.blob.size <= budget) { await take(a, last); return true; }
    }
  }
  if (last && last.blob) await take(a, last);
  a.floor = true;
  return false;
}

async function take(a, { side, blob }) {
  if (a.from === null) a.from = a.size;
  a.side = side;
  a.size = blob.size;
  a.type = "image/jpeg";
  a.name = a.name.replace(/\.[A-Za-z0-9]{1,5}$/, "") + ".jpg";
  a.data = await base64(blob);
}

async function draw(bitmap, maxW, maxH, type, quality) {
  const scale = Math.min(1, maxW / bitmap.width, maxH / bitmap.height);
  const w = Math.max(1, Math.round(bitmap.width * scale));
  const h = Math.max(1, Math.round(bitmap.height * scale));
  const canvas = new OffscreenCanvas(w, h);
  const ctx = canvas.getContext("2d");
  if (type === "image/jpeg") { ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, w, h); } // no alpha in JPEG
  ctx.imageSmoothingQuality = "high";
  ctx.drawImage(bitmap, 0, 0, w, h);
  try { return await canvas.convertToBlob({ type, quality }); } catch (e) { return null; }
}

function base64(blob) {
  return dataUrl(blob).then((url) => url.slice(url.indexOf(",") + 1));
}

function dataUrl(blob) {
  return new Promise((resolve, reject) => {
    const reader = new FileReader();
    reader.onload = () => resolve(reader.result);
    reader.onerror = () => reject(new AttachError("A file could not be read."));
    reader.readAsDataURL(blob);
  });
}

// What the chat message carries of each.
export const payload = (a) => ({ name: a.name, type: a.type, data: a.data });

export const messageBytes = (message) => new TextEncoder().encode(JSON.stringify(message)).length;

// Shrink the pictures of `message` (built by `build()` from the attachments as they are now),
// the largest first, until it fits in one WebSocket message; an AttachError when it cannot.
export async function fitMessage(build, items) {
  const room = LIMITS.frame - FRAME_ROOM;
  for (;;) {
    const size = messageBytes(build());
    if (size <= room) return;
    const over = size - room;
    const next = items.filter((a) => a.kind === "image" && !a.floor).sort((x, y) => y.size - x.size)[0];
    if (!next) {
      throw new AttachError(items.length
        ? `This message is too big to send (${fmtSize(size)}; at most ${fmtSize(LIMITS.frame)} with its attachments): `
          + "remove an attachment or shorten the text."
        : `This message is too big to send (${fmtSize(size)}; at most ${fmtSize(LIMITS.frame)}): shorten it.`);
    }
    // Base64 takes 4 characters for 3 bytes.
    await shrink(next, Math.max(1, next.size - Math.ceil((over * 3) / 4)));
  }
}

// The text of a message sent with attachments only.
export const onlyAttached = (items) => "Attached: " + items.map((a) => a.name).join(", ");
