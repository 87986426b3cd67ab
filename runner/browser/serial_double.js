// A stand-in for Web Serial, put into the page before its own scripts: the
// interface as Chrome gives it (requestPort, getPorts, SerialPort with open,
// readable, writable, setSignals, close, getInfo, and connect and disconnect
// events), its port joined to a virtual chip through the bridge that served
// the page (page_kit.py). `serialDoubleSetup` says how the browser behaves:
//   granted: ports the user granted before; chooser: "grant" or "cancel";
//   openFails: open() fails as Chrome's does; breakAfter: a break on the
//   line ends the readable after that many chunks, as Chrome's BreakError
//   does (the port stays open), as does a break the bridge sends; bridge:
//   the bridge's address.
(() => {
  const setup = window.serialDoubleSetup;
  const bridge = setup.bridge || location.origin;
  const events = new EventTarget();

  class SerialPort extends EventTarget {
    #readable = null;
    #writable = null;
    #line = null;  // the bridge's WebSocket while the port is open

    getInfo() {
      return { usbVendorId: 0x0403, usbProductId: 0x6001 };
    }

    get readable() {
      return this.#readable;
    }

    get writable() {
      return this.#writable;
    }

    async open(options) {
      if (!options || !(options.baudRate > 0))
        throw new TypeError("Failed to execute 'open' on 'SerialPort': Requested baud rate must be greater than zero.");
      const checks = { dataBits: [7, 8], stopBits: [1, 2], parity: ["none", "even", "odd"], flowControl: ["none", "hardware"] };
      for (const [name, allowed] of Object.entries(checks))
        if (name in options && !allowed.includes(options[name]))
          throw new TypeError(`Failed to execute 'open' on 'SerialPort': ${name} is not valid.`);
      if (this.#line) throw new DOMException("The port is already open.", "InvalidStateError");
      const line = setup.openFails ? null : await this.#connect(options);
      if (!line) throw new DOMException("Failed to open serial port.", "NetworkError");
      this.#line = line;
      this.#readable = this.#reading(line, setup.breakAfter);
      this.#writable = new WritableStream({
        write: (chunk) => {
          if (this.#line !== line) throw new DOMException("The device has been lost.", "NetworkError");
          line.send(chunk);
        },
      });
    }

    #reading(line, chunksBeforeBreak) {
      return new ReadableStream({
        start: (controller) => {
          line.onmessage = ({ data }) => {
            if (data === "break") return this.#break(controller, line);
            if (typeof data === "string") return this.#lose(controller);
            controller.enqueue(new Uint8Array(data));
            if (--chunksBeforeBreak === 0) this.#break(controller, line);
          };
        },
      });
    }

    #break(controller, line) {
      this.#readable = this.#reading(line);
      controller.error(new DOMException("Break received", "BreakError"));
    }

    // The chip's port, open as the page asked (the bridge sets the rate), or null.
    #connect(options) {
      return new Promise((resolve) => {
        const line = new WebSocket(bridge.replace(/^http/, "ws") + "/serial");
        line.binaryType = "arraybuffer";
        line.onopen = () => line.send(JSON.stringify({ do: "open", ...options }));
        line.onmessage = ({ data }) => resolve(data === "opened" ? line : null);
        line.onclose = () => resolve(null);
      });
    }

    // As an unplugged adapter is.
    #lose(controller) {
      this.#line.close();
      this.#line = this.#readable = this.#writable = null;
      controller.error(new DOMException("The device has been lost.", "NetworkError"));
      this.dispatchEvent(new Event("disconnect"));
      events.dispatchEvent(new Event("disconnect"));
    }

    async setSignals(signals) {
      if (!this.#line) throw new DOMException("The port is closed.", "InvalidStateError");
      this.#line.send(JSON.stringify({ do: "signals", signals }));
    }

    async close() {
      if ((this.#readable && this.#readable.locked) || (this.#writable && this.#writable.locked))
        throw new TypeError("Failed to execute 'close' on 'SerialPort': Cannot cancel a locked stream");
      if (!this.#line) throw new DOMException("The port is already closed.", "InvalidStateError");
      this.#line.send(JSON.stringify({ do: "close" }));
      this.#line.close();
      this.#line = this.#readable = this.#writable = null;
    }

    async forget() {}
  }

  const granted = Array.from({ length: setup.granted || 0 }, () => new SerialPort());
  const serial = {
    async getPorts() {
      return granted.slice();
    },
    async requestPort() {
      if (!navigator.userActivation.isActive)
        throw new DOMException("Must be handling a user gesture to show a permission request.", "SecurityError");
      if (setup.chooser === "cancel") throw new DOMException("No port selected by the user.", "NotFoundError");
      const port = new SerialPort();
      granted.push(port);
      return port;
    },
    addEventListener: (...args) => events.addEventListener(...args),
    removeEventListener: (...args) => events.removeEventListener(...args),
  };
  if (setup.serial !== false) Object.defineProperty(navigator, "serial", { value: serial });
  else delete Navigator.prototype.serial;
})();
