// The terminal: once the chip runs the program it was loaded with, what
// that program prints on the line, shown as text, and lines typed to it.
// Bytes are shown as hexpush shows wire bytes: printable ASCII as it is,
// every other byte escaped, never acted on, but for the colour and weight
// sequences programs use (SGR), which colour the line they stand in and end
// with it. The page's script (page.js) opens and closes the port for it.
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

// The style an SGR sequence's parameters leave, or null for one this
// terminal does not render (it is then shown escaped): reset, bold, normal
// weight, the 8 and the bright 8 colours before and behind, and the defaults.
function styleAfter(style, parameters) {
  const next = { ...style };
  for (const text of parameters.split(";")) {
    const code = text === "" ? 0 : Number(text);
    if (code === 0) Object.assign(next, { bold: false, fore: -1, back: -1 });
    else if (code === 1 || code === 22) next.bold = code === 1;
    else if (code >= 30 && code <= 37) next.fore = code - 30;
    else if (code >= 90 && code <= 97) next.fore = code - 82;
    else if (code >= 40 && code <= 47) next.back = code - 40;
    else if (code >= 100 && code <= 107) next.back = code - 92;
    else if (code === 39 || code === 49) next[code === 39 ? "fore" : "back"] = -1;
    else return null;
  }
  return next;
}

const plainStyle = { bold: false, fore: -1, back: -1 };
const sgrPattern = /^\x1b\[([0-9;]{0,16})m/;

// A line as runs of text, each with its style: wire bytes escaped, SGR
// sequences applied, or with showControls escaped too; the page's own
// lines as they stand.
function lineRuns(line, showControls) {
  if (line.own) return [{ text: line.text, style: plainStyle }];
  const runs = [];
  let style = plainStyle, text = "";
  for (let i = 0; i < line.text.length; ++i) {
    const code = line.text.charCodeAt(i);
    const sequence = code === 0x1b && !showControls && sgrPattern.exec(line.text.slice(i, i + 20));
    const next = sequence && styleAfter(style, sequence[1]);
    if (next) {
      if (text) runs.push({ text, style });
      [style, text, i] = [next, "", i + sequence[0].length - 1];
    } else {
      text += code >= 0x20 && code < 0x7f ? line.text[i] : escapedWireByte(code);
    }
  }
  if (text) runs.push({ text, style });
  return runs;
}

function stampOf(at) {
  const time = new Date(at);
  const two = (number) => String(number).padStart(2, "0");
  return `${two(time.getHours())}:${two(time.getMinutes())}:${two(time.getSeconds())}.` +
    `${String(time.getMilliseconds()).padStart(3, "0")} `;
}

function lineElement(line, options) {
  const element = document.createElement("div");
  if (options.timestamps) {
    const stamp = document.createElement("span");
    stamp.className = "stamp";
    stamp.textContent = stampOf(line.at);
    element.append(stamp);
  }
  for (const { text, style } of lineRuns(line, options.showControls)) {
    if (!style.bold && style.fore < 0 && style.back < 0) {
      element.append(text);
      continue;
    }
    const run = document.createElement("span");
    run.className = [style.bold && "bold", style.fore >= 0 && `fore${style.fore}`,
      style.back >= 0 && `back${style.back}`].filter(Boolean).join(" ");
    run.textContent = text;
    element.append(run);
  }
  return element;
}

function lineText(line, options) {
  return (options.timestamps ? stampOf(line.at) : "") + lineRuns(line, options.showControls).map((run) => run.text).join("");
}

// The region's lines, the last terminalLineLimit of them kept, drawn at most
// every 50 ms (in a hidden tab, when its timers allow): however fast the
// bytes come, each is taken at once and the page stays free for clicks.
function terminalScreen(region) {
  const kept = [];  // whole lines, the oldest first: {at, text, own}
  let partial = null;  // the line still being received
  let dropped = 0;  // lines no longer kept
  let afterReturn = false;  // a line feed right after it ends no second line
  let drawn = { first: 0, end: 0 };  // the kept lines on the screen, counted from the first received
  let drawing = null;
  let options = { showControls: false, timestamps: false };
  const note = document.createElement("div");
  const current = document.createElement("div");
  note.className = "dropped";

  function endLine() {
    kept.push(partial || { at: Date.now(), text: "" });
    partial = null;
  }

  function add(text) {
    if (!partial) partial = { at: Date.now(), text: "" };
    partial.text += text;
  }

  function take(chunk) {
    for (const byte of chunk) {
      const lineFeedAfterReturn = byte === 0x0a && afterReturn;
      afterReturn = byte === 0x0d;
      if (lineFeedAfterReturn) continue;
      if (byte === 0x0a || byte === 0x0d) endLine();
      else add(String.fromCharCode(byte));
    }
    if (kept.length > terminalLineLimit) dropped += kept.splice(0, kept.length - terminalLineLimit).length;
    drawSoon();
  }

  function drawSoon() {
    if (!drawing) drawing = setTimeout(draw, 50);
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
    for (const line of kept.slice(drawn.end - dropped)) fresh.append(lineElement(line, options));
    current.before(fresh);
    drawn.end = dropped + kept.length;
    current.replaceChildren(...(partial ? lineElement(partial, options).childNodes : []));
    note.textContent = dropped ? `(${dropped} earlier lines dropped: the last ${terminalLineLimit} are kept)` : "";
    if (following) region.scrollTop = region.scrollHeight;
  }

  // Everything drawn again, as the switches now say.
  function redraw() {
    drawn = { first: dropped, end: dropped };
    region.replaceChildren(note, current);
    draw();
  }

  document.addEventListener("visibilitychange", () => document.hidden || draw());
  return {
    take,
    lineError: (name) => {
      add(lineErrorMarks[name] || `[${name}]`);
      drawSoon();
    },
    // A line of the page's own, between the program's.
    say(text) {
      if (partial) endLine();
      kept.push({ at: Date.now(), text: `[${text}]`, own: true });
      drawSoon();
    },
    clear() {
      kept.length = dropped = 0;
      partial = null;
      redraw();
    },
    show(switches) {
      options = { ...options, ...switches };
      redraw();
    },
    // What is shown, as text.
    text: () => kept.concat(partial ? [partial] : []).map((line) => lineText(line, options)).join("\n") + "\n",
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
