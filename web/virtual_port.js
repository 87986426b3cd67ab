// The virtual chip inside the page as the program's port, in place of a
// serial port (serial_transport.js): the same calls, for a chip with no
// wire. The chip (createChip, its C++ built to WebAssembly) stamps each byte
// with the wire's time at the chosen speed, both ways; here its replies are
// handed over only once due, so a load takes as long as on a board.
"use strict";

// The chip module, made once; its memory and last account outlive the loads.
function virtualChip(module) {
  const space = module._malloc(4096);
  const chip = {
    keptMillis: 0,  // how long the page was kept from running this load
    open(baud) {
      chip.keptMillis = 0;
      module._chipOpen(baud);
    },
    receive(bytes) {
      const at = module._malloc(bytes.length);
      module.HEAPU8.set(bytes, at);
      module._chipReceive(at, bytes.length, performance.now());
      module._free(at);
    },
    takeDue: () => module.HEAPU8.slice(space, space + module._chipTakeDue(space, 4096, performance.now())),
    nextDue: () => module._chipNextDue(),
    close: () => module._chipClose(performance.now()),
    figures: () => module.UTF8ToString(module._chipFigures()),
    account: () => module.UTF8ToString(module._chipAccount()),
    memoryHex: () => module.UTF8ToString(module._chipMemoryHex()),
  };
  return chip;
}

// A timer fires a millisecond or so late, and one set from a timer's own
// task (after five in a row) no sooner than 4 ms: a wait's last stretch is a
// run of the page's own messages, which are neither, and every step of it
// runs in one of them, so no timer is set from another.
const spinMillis = 2;
// A step this late means the page was kept from running (a busy machine):
// the chip's replies were taken late for no fault of the program's.
const keptMillis = 10;

function virtualPort(chip) {
  let received = new Uint8Array(0);
  let endWait = null;
  let waits = 0;
  const soon = new MessageChannel();

  const port = {
    lost: "",
    cancelled: false,

    async open(baudRate) {
      chip.open(baudRate);
      return "";
    },

    take(count) {
      const due = chip.takeDue();
      if (due.length) received = Uint8Array.of(...received, ...due);
      const bytes = received.slice(0, count);
      received = received.subarray(bytes.length);
      return bytes;
    },

    // millis < 0: no time limit.
    waitForBytes(millis) {
      const deadline = millis < 0 ? Infinity : performance.now() + millis;
      return waitUntil(() => Math.min(deadline, replyDue()));
    },

    sleep(millis) {
      const deadline = performance.now() + millis;
      return waitUntil(() => deadline);
    },

    async write(bytes) {
      chip.receive(bytes);
      return "";
    },

    cancel() {
      port.cancelled = true;
      if (endWait) endWait();
    },

    async close() {
      if (endWait) endWait();
      chip.close();
    },
  };

  function replyDue() {
    if (received.length) return 0;
    const due = chip.nextDue();
    return due < 0 ? Infinity : due;
  }

  // Until the time when() gives (read again at each step), or Cancel.
  function waitUntil(when) {
    const wait = ++waits;
    return new Promise((resolve) => {
      let timer = null;
      endWait = () => {
        clearTimeout(timer);
        endWait = null;
        resolve();
      };
      let stepAt = performance.now();
      soon.port1.onmessage = (message) => message.data === wait && step();
      const hop = () => soon.port2.postMessage(wait);
      const after = (millis) => {
        stepAt = performance.now() + millis;
        if (millis > 0) timer = setTimeout(hop, millis);
        else hop();
      };
      const step = () => {
        const late = performance.now() - stepAt;
        if (late > keptMillis) chip.keptMillis += late;
        const left = when() - performance.now();
        if (left <= 0 || port.cancelled) return endWait();
        if (left === Infinity) return;  // until Cancel
        // A hidden tab's timers wake once a second at most: there, steps alone.
        if (left > spinMillis && !document.hidden) after(left - spinMillis);
        else after(0);
      };
      step();
    });
  }

  return port;
}
