// A stand-in for Web Serial, put into the page before its own scripts: the
// interface as Chrome gives it (requestPort, getPorts, SerialPort with open,
// readable, writable, setSignals, close, getInfo, and connect and disconnect
// events), its port joined to a virtual chip through the bridge that served
// the page (bridge.py). `serialDoubleSetup` says how the browser behaves:
//   granted: ports the user granted before; chooser: "grant" or "cancel";
//   openFails: open() fails as Chrome's does; bridge: the bridge's address.
(() => {
  const setup = window.serialDoubleSetup;
  const bridge = setup.bridge || location.origin;
  const events = new EventTarget();

  async function ask(path, body) {
    const reply = await fetch(`${bridge}/serial/${path}`, { method: "POST", body });
    return reply;
  }

  class SerialPort extends EventTarget {
    #readable = null;
    #writable = null;
    #open = false;

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
      if (this.#open) throw new DOMException("The port is already open.", "InvalidStateError");
      const line = { dataBits: 8, stopBits: 1, parity: "none", flowControl: "none", ...options };
      if (setup.openFails || !(await ask("open", JSON.stringify(line))).ok)
        throw new DOMException("Failed to open serial port.", "NetworkError");
      this.#open = true;
      this.#readable = this.#reading();
      this.#writable = new WritableStream({ write: (chunk) => this.#send(chunk) });
    }

    async setSignals(signals) {
      if (!this.#open) throw new DOMException("The port is closed.", "InvalidStateError");
      await ask("signals", JSON.stringify(signals));
    }

    async close() {
      if ((this.#readable && this.#readable.locked) || (this.#writable && this.#writable.locked))
        throw new TypeError("Failed to execute 'close' on 'SerialPort': Cannot cancel a locked stream");
      if (!this.#open) throw new DOMException("The port is already closed.", "InvalidStateError");
      this.#open = false;
      this.#readable = this.#writable = null;
      await ask("close");
    }

    async forget() {}

    // Bytes as the bridge has them; a port gone at the far end is lost, as
    // an unplugged adapter is.
    #reading() {
      return new ReadableStream({
        pull: async (controller) => {
          for (;;) {
            const reply = await ask("read").catch(() => null);
            if (!this.#open) return;
            if (reply && reply.status === 200) return controller.enqueue(new Uint8Array(await reply.arrayBuffer()));
            if (reply && reply.status === 204) continue;
            this.#open = false;
            this.#readable = this.#writable = null;
            controller.error(new DOMException("The device has been lost.", "NetworkError"));
            this.dispatchEvent(new Event("disconnect"));
            events.dispatchEvent(new Event("disconnect"));
            return;
          }
        },
      });
    }

    async #send(chunk) {
      if (!(await ask("write", chunk)).ok) throw new DOMException("The device has been lost.", "NetworkError");
    }
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
