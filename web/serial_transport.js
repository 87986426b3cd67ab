// The serial port of one load as Web Serial gives it, behind the program's
// port calls (src/serial_port_web.cpp). It moves bytes and says why the port
// went away; what the bytes mean is the program's business.
//
// A Web Serial read has no time limit and cannot be abandoned, so one
// background reader fills a queue, and the program's reads take from it. A
// wait ends on bytes, a lost port, Cancel, or its time. A listener (the
// terminal's) is handed the bytes as they come instead, told of each error
// on the line, and of the port's loss.
"use strict";

// A timer this late means the page was not running; for this long a wait
// excuses it.
const lateMillis = 10;
const excusedMillis = 1000;

function serialTransport(port, listener = null) {
  const received = [];  // chunks received and not yet taken
  let queued = 0;
  let endWait = null;
  let closing = false;
  let reader = null;
  let writer = null;
  let reading = null;

  const transport = {
    lost: "",  // why the port went away, once it has
    cancelled: false,

    // "" once the port is open as the other systems open theirs, or the
    // browser's reason.
    async open(baudRate) {
      try {
        await port.open({ baudRate, dataBits: 8, parity: "none", stopBits: 1, flowControl: "none" });
        await port.setSignals({ dataTerminalReady: true, requestToSend: true });
      } catch (error) {
        return reasonOf(error);
      }
      writer = port.writable.getWriter();
      reading = readAll();
      return "";
    },

    take(count) {
      const bytes = new Uint8Array(Math.min(count, queued));
      let filled = 0;
      while (filled < bytes.length) {
        const chunk = received[0];
        const part = Math.min(chunk.length, bytes.length - filled);
        bytes.set(chunk.subarray(0, part), filled);
        filled += part;
        if (part === chunk.length) received.shift();
        else received[0] = chunk.subarray(part);
      }
      queued -= filled;
      return bytes;
    },

    // millis < 0: no time limit.
    waitForBytes(millis) {
      if (queued > 0) return Promise.resolve();
      return pause(millis, true);
    },

    sleep(millis) {
      return pause(millis);
    },

    // "" once the port has taken the bytes, or why it could not.
    async write(bytes) {
      if (transport.lost) return transport.lost;
      try {
        await writer.write(bytes);
        return "";
      } catch (error) {
        return lose(reasonOf(error));
      }
    },

    cancel() {
      transport.cancelled = true;
      wake();
    },

    // Closing needs the reader cancelled and the writer released first.
    async close() {
      closing = true;
      wake();
      if (reader) await reader.cancel().catch(() => {});
      if (reading) await reading;
      if (writer) writer.releaseLock();
      await port.close().catch(() => {});
    },
  };

  function reasonOf(error) {
    return (error && error.message) || String(error);
  }

  function wake() {
    if (endWait) endWait();
  }

  // Ends early on bytes, a lost port or Cancel. A timer that fires well
  // after its time means the page was kept from running (a busy machine, a
  // throttled tab), and bytes that came meanwhile may still be on their way
  // in behind it: a wait for bytes starts again rather than end as silence,
  // for up to a second, so that the page's lateness is not taken for the
  // chip's silence.
  function pause(millis, forBytes = false) {
    if (transport.lost || transport.cancelled) return Promise.resolve();
    const started = performance.now();
    return new Promise((resolve) => {
      let timer = null;
      function arm() {
        const armed = performance.now();
        timer = millis >= 0 ? setTimeout(() => late(armed) ? arm() : done(), millis) : null;
      }
      function late(armed) {
        const now = performance.now();
        return forBytes && now - armed > millis + lateMillis && now - started < excusedMillis;
      }
      function done() {
        clearTimeout(timer);
        endWait = null;
        resolve();
      }
      endWait = done;
      arm();
    });
  }

  function lose(reason) {
    if (!transport.lost && !closing) {
      transport.lost = reason;
      if (listener) listener.lost(reason);
    }
    wake();
    return transport.lost || reason;
  }

  // A break, framing, parity or overrun error ends the current stream but
  // not the port: its readable is taken again. A lost device ends the port,
  // and its read error says so in the browser's words (its disconnect event
  // says nothing more).
  async function readAll() {
    while (!closing && !transport.lost && port.readable) {
      reader = port.readable.getReader();
      try {
        for (;;) {
          const { value, done } = await reader.read();
          if (done) break;
          if (value.length === 0) continue;
          if (listener) {
            listener.bytes(value);
            continue;
          }
          received.push(value);
          queued += value.length;
          wake();
        }
      } catch (error) {
        if (error.name === "NetworkError") lose(reasonOf(error));
        else if (listener && !closing) listener.lineError(error.name);
      } finally {
        reader.releaseLock();
        reader = null;
      }
    }
    if (!port.readable) lose("the port was closed");
  }

  return transport;
}
