// The terminal: once the chip runs the program it was loaded with, what
// that program prints on the line, shown as text, and lines typed to it.
// Bytes are shown as hexpush shows wire bytes: printable ASCII as it is,
// every other byte escaped, never acted on. The page's script (page.js)
// opens and closes the port for it.
"use strict";

const terminalLineLimit = 10000;
// Web Serial's errors on the line, which end a read but not the port.
const lineErrorMarks = {
  BreakError: "[break]", FramingError: "[framing error]", ParityError: "[parity error]",
  BufferOverrunError: "[overrun]", BufferOverflowError: "[buffer overflow]",
};

function escapedWireByte(byte) {
  if (byte === 0x09) return "\\t";
  return "\\x" + byte.toString(16).toUpperCase().padStart(2, "0");
}

// The region's lines, the last terminalLineLimit of them kept, drawn at most
// every 50 ms (in a hidden tab, when its timers allow): however fast the
// bytes come, each is taken at once and the page stays free for clicks.
function terminalScreen(region) {
  const kept = [];  // whole lines, the oldest first
  let partial = "";  // the line still being received
  let dropped = 0;  // lines no longer kept
  let afterReturn = false;  // a line feed right after it ends no second line
  let drawn = { first: 0, end: 0 };  // the kept lines on the screen, counted from the first received
  let drawing = null;
  const note = document.createElement("div");
  const current = document.createElement("div");
  note.className = "dropped";

  function endLine() {
    kept.push(partial);
    partial = "";
  }

  function take(chunk) {
    let text = "";
    for (const byte of chunk) {
      const lineFeedAfterReturn = byte === 0x0a && afterReturn;
      afterReturn = byte === 0x0d;
      if (lineFeedAfterReturn) continue;
      if (byte === 0x0a || byte === 0x0d) {
        partial += text;
        text = "";
        endLine();
      } else {
        text += byte >= 0x20 && byte < 0x7f ? String.fromCharCode(byte) : escapedWireByte(byte);
      }
    }
    partial += text;
    if (kept.length > terminalLineLimit) dropped += kept.splice(0, kept.length - terminalLineLimit).length;
    drawSoon();
  }

  function drawSoon() {
    if (!drawing) drawing = setTimeout(draw, 50);
  }

  function lineElement(text) {
    const line = document.createElement("div");
    line.textContent = text;
    return line;
  }

  function draw() {
    clearTimeout(drawing);
    drawing = null;
    const following = region.scrollTop + region.clientHeight >= region.scrollHeight - 4;
    if (!note.isConnected) region.replaceChildren(note, current);
    for (; drawn.first < Math.min(dropped, drawn.end); ++drawn.first) note.nextSibling.remove();
    drawn.first = Math.max(drawn.first, dropped);
    drawn.end = Math.max(drawn.end, drawn.first);
    const fresh = document.createDocumentFragment();
    for (const text of kept.slice(drawn.end - dropped)) fresh.append(lineElement(text));
    current.before(fresh);
    drawn.end = dropped + kept.length;
    current.textContent = partial;
    note.textContent = dropped ? `(${dropped} earlier lines dropped: the last ${terminalLineLimit} are kept)` : "";
    if (following) region.scrollTop = region.scrollHeight;
  }

  document.addEventListener("visibilitychange", () => document.hidden || draw());
  return {
    take,
    lineError: (name) => {
      partial += lineErrorMarks[name] || `[${name}]`;
      drawSoon();
    },
    // A line of the page's own, between the program's.
    say(text) {
      if (partial) endLine();
      kept.push(`[${text}]`);
      drawSoon();
    },
    clear() {
      kept.length = dropped = 0;
      partial = "";
      drawn = { first: 0, end: 0 };
      region.replaceChildren(note, current);
      draw();
    },
    text: () => kept.concat(partial ? [partial] : []).join("\n") + "\n",
  };
}

// What is typed, in UTF-8, then the chosen line end; Up and Down walk back
// through what was sent.
function terminalInput(box, send) {
  const sent = [];
  let back = 0;
  box.addEventListener("keydown", (event) => {
    if (event.key === "Enter") {
      event.preventDefault();
      if (box.value) sent.push(box.value);
      back = 0;
      send(new TextEncoder().encode(box.value));
      box.value = "";
    } else if ((event.key === "ArrowUp" || event.key === "ArrowDown") && sent.length) {
      event.preventDefault();
      back = Math.max(0, Math.min(sent.length, back + (event.key === "ArrowUp" ? 1 : -1)));
      box.value = back ? sent[sent.length - back] : "";
    }
  });
}

function lineEndBytes(name) {
  return new TextEncoder().encode({ None: "", CR: "\r", LF: "\n", "CR LF": "\r\n" }[name]);
}
