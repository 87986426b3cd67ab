// The virtual chip running the program it was loaded with, at its
// crystal's pace: chip time follows the page's clock, in slices short
// enough that the page answers every click between them. A hidden tab's
// timers wake once a second at most; the chip then catches up in slices of
// the page's own messages, so that its time stays the page's.
"use strict";

const crystalHz = 11059200;
const sliceMillis = 8;    // the most the page is kept busy at a time
const stepMillis = 4;     // chip time a call runs, at most
const pinsEveryMillis = 50;
// A chip further behind than this, in view all the while (a machine too
// slow, not a hidden tab's timers, which may wake once a minute), lets the
// time go.
const mostBehindMillis = 1000;

function chipRunner(module, watcher) {
  const sentSpace = 4096;
  const bytesAt = module._malloc(sentSpace);
  const baudsAt = module._malloc(8 * sentSpace);
  const pinsAt = module._malloc(4);
  const soon = new MessageChannel();
  let running = false;
  let started = 0;    // the page's time at the chip's reset
  let chipMillis = 0;
  let timer = null;
  let pinsShown = -Infinity;
  let generation = 0;  // a slice of a run that ended does nothing
  let hiddenSince = false;  // behind since the tab was hidden: caught up, never let go

  const runner = {
    flatOut: false,  // as fast as it goes, for a benchmark
    droppedMillis: 0,  // time let go while the page was kept from running
    get running() { return running; },
    get chipMillis() { return chipMillis; },
    hasProgram: () => module._chipHasProgram() !== 0,

    start() {
      module._chipRunStart(crystalHz);
      running = true;
      started = performance.now();
      chipMillis = 0;
      ++generation;
      slice(generation);
    },

    stop() {
      running = false;
      ++generation;
      clearTimeout(timer);
    },

    // Bytes typed, on the receive line now, at the terminal's speed.
    receive(bytes, baud) {
      const at = module._malloc(bytes.length);
      module.HEAPU8.set(bytes, at);
      module._chipRunReceive(at, bytes.length, baud);
      module._free(at);
    },

    sendBaud: () => module._chipSendBaud(),
    receiveBaud: () => module._chipReceiveBaud(),
    ground: (port, bit, grounded) => module._chipGround(port, bit, grounded ? 1 : 0),
    account: () => module.UTF8ToString(module._chipRunAccount()),
    pins() {
      module._chipPins(pinsAt);
      return module.HEAPU8.slice(pinsAt, pinsAt + 4);
    },
  };

  function takeSent() {
    for (;;) {
      const count = module._chipTakeSent(bytesAt, baudsAt, sentSpace);
      if (!count) return;
      const bytes = module.HEAPU8.slice(bytesAt, bytesAt + count);
      const bauds = new Float64Array(module.HEAPU8.buffer.slice(baudsAt, baudsAt + 8 * count));
      watcher.sent(bytes, bauds);
    }
  }

  function slice(run) {
    soon.port1.onmessage = (message) => message.data === run && slice(run);
    timer = null;
    if (run !== generation) return;
    const began = performance.now();
    let target = runner.flatOut ? Infinity : began - started;
    if (runner.flatOut) started = began - chipMillis;
    else if (!hiddenSince && target - chipMillis > mostBehindMillis) {
      runner.droppedMillis += target - chipMillis - mostBehindMillis;
      started += target - chipMillis - mostBehindMillis;
      target = began - started;
    }
    while (chipMillis < target && performance.now() - began < sliceMillis && !module._chipStopped())
      chipMillis = module._chipRunTo(Math.min(target, chipMillis + stepMillis));
    takeSent();
    if (began - pinsShown >= pinsEveryMillis) {
      pinsShown = began;
      watcher.pins(runner.pins());
    }
    if (module._chipStopped()) {
      running = false;
      watcher.pins(runner.pins());
      return watcher.stopped(runner.account());
    }
    if (chipMillis < target) return soon.port2.postMessage(run);
    hiddenSince = document.hidden;
    timer = setTimeout(() => slice(run), stepMillis);
  }

  // Back in view, the chip catches up at once, rather than at the timer a
  // hidden tab set.
  document.addEventListener("visibilitychange", () => {
    if (document.hidden) hiddenSince = true;
    else if (running && timer) {
      clearTimeout(timer);
      slice(generation);
    }
  });

  return runner;
}

// Whether a line at lineBaud carries bytes sent at programBaud: within 3 %,
// as UARTs tolerate.
function speedsMatch(programBaud, lineBaud) {
  return programBaud > 0 && Math.abs(programBaud - lineBaud) <= 0.03 * lineBaud;
}
