// The page around the program: its controls, a log of the lines a terminal
// would show, a progress bar drawn from the program's own progress line, and
// after a load the terminal (terminal.js) on the same port. Each load runs
// the program (createHexpush, built from the same sources as the other
// systems) in a module of its own, made from a .wasm compiled once. The port
// is a serial port, or the virtual chip inside the page (virtual_port.js),
// which then runs what it was loaded with (chip_run.js, pins.js).
"use strict";

const byId = (id) => document.getElementById(id);
const controls = {
  file: byId("file"), speed: byId("speed"), port: byId("port"), portName: byId("port-name"),
  virtualChip: byId("virtual-chip"), load: byId("load"), cancel: byId("cancel"), save: byId("save"),
  saveMemory: byId("save-memory"),
  bar: byId("bar"), status: byId("status"), log: byId("log"), notice: byId("notice"),
  version: byId("version"), terminal: byId("terminal"), terminalSpeed: byId("terminal-speed"),
  terminalToggle: byId("terminal-toggle"), send: byId("send"), lineEnd: byId("line-end"),
  clearTerminal: byId("clear-terminal"), saveTerminal: byId("save-terminal"),
  resetChip: byId("reset-chip"), pins: byId("pins"), announce: byId("announce"),
  showControls: byId("show-controls"), timestamps: byId("timestamps"),
};
const cancelledStatus = 130;  // as a shell reports Ctrl-C
let compiledProgram = null;
let chosenPort = null;  // a serial port, or theVirtualChip
const theVirtualChip = { name: "virtual chip" };
let chip = null;  // the virtual chip (virtual_port.js), made at the start
let serialPorts = false;  // whether this browser reaches serial ports
let transport = null;  // while a load runs
let terminalPort = null;  // while the terminal holds the port
let terminalView = null;  // the terminal's region (terminal.js)
let runner = null;  // the virtual chip running its program (chip_run.js)
let pinView = null;  // its pins (pins.js)
const chipTerminal = {};  // terminalPort while the terminal shows the virtual chip
let toldSpeeds = new Set();  // speed mismatches the terminal has told of

function decodeBase64(text) {
  const binary = atob(text.replace(/\s+/g, ""));
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

// What the program writes, as a terminal's screen keeps it: whole lines go to
// the log, standard error's told apart by style; the line being drawn on
// standard output (the progress line, redrawn after a carriage return and an
// erase to its end) feeds the bar.
function screenFor(onLine, onDrawn) {
  const decoder = new TextDecoder();
  const drawn = { bytes: [], cursor: 0, escape: "" };
  const errorLine = [];
  const text = (bytes) => decoder.decode(new Uint8Array(bytes));
  return (stream, byte) => {
    if (stream === 2) {
      if (byte !== 0x0a) return errorLine.push(byte);
      onLine(2, text(errorLine));
      errorLine.length = 0;
      return;
    }
    if (drawn.escape || byte === 0x1b) {
      drawn.escape += String.fromCharCode(byte);
      if (!/[A-Za-z]$/.test(drawn.escape)) return;
      if (drawn.escape === "\x1b[K") drawn.bytes.length = drawn.cursor;
      drawn.escape = "";
    } else if (byte === 0x0a) {
      onLine(1, text(drawn.bytes));
      drawn.bytes.length = drawn.cursor = 0;
    } else if (byte === 0x0d) {
      drawn.cursor = 0;
    } else {
      drawn.bytes[drawn.cursor++] = byte;
    }
    onDrawn(text(drawn.bytes));
  };
}

function addToLog(kind, text) {
  const entry = document.createElement("div");
  entry.className = kind;
  entry.textContent = text;
  controls.log.append(entry);
  entry.scrollIntoView({ block: "nearest" });
}

// Said once to a screen reader, not at every redraw.
function announce(text) {
  controls.announce.textContent = text;
}

// "  312/2050 lines  15%  10.7 kB/s  0:07 left", or "  loader silent 12 s ...".
function showProgress(drawn) {
  const text = drawn.trim();
  if (!text) return;
  if (!controls.status.textContent) announce("Loading the file");
  controls.status.textContent = text;
  const percent = /\s(\d+)%/.exec(text);
  if (percent) controls.bar.value = Number(percent[1]);
}

// A module's options that make it from a .wasm compiled before.
function madeFrom(compiled, options) {
  return {
    instantiateWasm(imports, receive) {
      WebAssembly.instantiate(compiled, imports).then((instance) => receive(instance, compiled));
      return {};
    },
    ...options,
  };
}

async function runProgram(args, port, file, write) {
  const program = await createHexpush(madeFrom(compiledProgram, {
    preRun: [(module) => module.FS.init(null, (byte) => write(1, byte), (byte) => write(2, byte))],
    hexpushPort: port,
    hexpushFile: file,
  }));
  const argv = ["hexpush", ...args].map((text) => {
    const size = program.lengthBytesUTF8(text) + 1;
    const at = program._malloc(size);
    program.stringToUTF8(text, at, size);
    return at;
  });
  const table = program._malloc(4 * (argv.length + 1));
  argv.forEach((at, i) => { program.HEAPU32[table / 4 + i] = at; });
  program.HEAPU32[table / 4 + argv.length] = 0;
  try {
    return await program.ccall("main", "number", ["number", "number"], [argv.length, table], { async: true });
  } catch (ending) {
    if (ending && ending.name === "ExitStatus") return ending.status;
    throw ending;
  }
}

function portName(port) {
  if (port === theVirtualChip) return port.name;
  const info = port.getInfo();
  const hex = (number) => number.toString(16).padStart(4, "0");
  if (info.usbVendorId === undefined) return "serial port";
  return `USB ${hex(info.usbVendorId)}:${hex(info.usbProductId)}`;
}

function choosePort(port) {
  if (port !== chosenPort) closeTerminal();
  if (port !== theVirtualChip) stopChip();
  chosenPort = port;
  controls.portName.textContent = port ? portName(port) : "none chosen";
  controls.saveMemory.disabled = port !== theVirtualChip;
}

function setLoading(loading) {
  for (const control of [controls.file, controls.speed, controls.virtualChip, controls.load, controls.save,
    controls.terminalToggle])
    control.disabled = loading;
  controls.port.disabled = loading || !serialPorts;
  controls.saveMemory.disabled = loading || chosenPort !== theVirtualChip;
  controls.cancel.disabled = !loading;
  controls.resetChip.disabled = loading || chosenPort !== theVirtualChip || !runner.hasProgram();
}

function setTerminalOpen(open) {
  controls.terminalToggle.textContent = open ? "Close terminal" : "Open terminal";
  controls.terminalSpeed.disabled = open;
  controls.send.disabled = !open;
}

async function openTerminal() {
  if (chosenPort === theVirtualChip) return openChipTerminal();
  if (!chosenPort) await askForPort();
  if (!chosenPort || terminalPort) return;
  const opening = serialTransport(chosenPort, {
    bytes: (chunk) => terminalView.take(chunk),
    lineError: (name) => terminalView.lineError(name),
    lost: (reason) => {
      terminalView.say(`${portName(chosenPort)}: ${reason}`);
      terminalView.say("the terminal is closed, and the port free");
      closeTerminal();
    },
  });
  terminalPort = opening;
  setTerminalOpen(true);
  const failure = await opening.open(Number(controls.terminalSpeed.value));
  if (!failure) return terminalView.say(`${portName(chosenPort)} open at ${controls.terminalSpeed.value} baud`);
  terminalView.say(`${portName(chosenPort)}: ${failure}`);
  await closeTerminal();
}

// The virtual chip is reset into its program, as a board is after a load,
// and the terminal shows what it sends.
function openChipTerminal() {
  if (!runner.hasProgram())
    return terminalView.say("The virtual chip holds no program yet: load one into it, then open the terminal.");
  terminalPort = chipTerminal;
  toldSpeeds = new Set();
  setTerminalOpen(true);
  terminalView.say(`virtual chip open at ${controls.terminalSpeed.value} baud; it runs the program from its reset`);
  startChip();
}

// Bytes cross only at the terminal's speed, as on a wire; a mismatch is
// told once for each speed the program uses.
function speedMatches(programBaud, sending) {
  const terminalBaud = Number(controls.terminalSpeed.value);
  if (speedsMatch(programBaud, terminalBaud)) return true;
  const baud = Math.abs(programBaud - Math.round(programBaud)) < 0.05 ? Math.round(programBaud) : programBaud.toFixed(1);
  if (!toldSpeeds.has(baud)) {
    toldSpeeds.add(baud);
    terminalView.say(programBaud > 0
      ? `The program ${sending ? "sends" : "receives"} at ${baud} baud, the terminal is at ${terminalBaud}: ` +
        `nothing crosses until they match. Close the terminal, choose ${baud} under Terminal speed, and open it again.`
      : "The program's serial port has no baud clock yet: nothing crosses.");
  }
  return false;
}

function chipSent(bytes, bauds) {
  if (terminalPort !== chipTerminal) return;
  const shown = bytes.filter((byte, i) => speedMatches(bauds[i], true));
  if (shown.length) terminalView.take(shown);
}

function startChip() {
  runner.start();
  pinView.enable(true);
  controls.resetChip.disabled = false;
}

function stopChip() {
  if (!runner || !runner.running) return;
  runner.stop();
  pinView.enable(false);
}

function chipStopped(account) {
  const ended = account.split("\n").find((line) => line.startsWith("ended: "));
  if (terminalPort === chipTerminal) terminalView.say(`The virtual chip ${ended.slice(7)}`);
  pinView.enable(false);
}

async function closeTerminal() {
  const closing = terminalPort;
  if (!closing) return;
  terminalPort = null;
  setTerminalOpen(false);
  if (closing !== chipTerminal) await closing.close();
}

function sendTyped(bytes) {
  const line = new Uint8Array([...bytes, ...lineEndBytes(controls.lineEnd.value)]);
  if (!terminalPort || !line.length) return;
  if (terminalPort !== chipTerminal) return terminalPort.write(line);
  if (speedMatches(runner.receiveBaud(), false)) runner.receive(line, Number(controls.terminalSpeed.value));
}

function saveText(text, name) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(new Blob([text], { type: "text/plain" }));
  link.download = name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

async function load() {
  const file = controls.file.files[0];
  if (!file) return addToLog("page", "Choose a HEX file first.");
  if (!chosenPort) await askForPort();
  if (!chosenPort) return;
  await closeTerminal();
  stopChip();  // back to its loader
  controls.log.replaceChildren();
  controls.bar.value = 0;
  controls.status.textContent = "";
  setLoading(true);
  transport = chosenPort === theVirtualChip ? virtualPort(chip) : serialTransport(chosenPort);
  const screen = screenFor((stream, line) => addToLog(stream === 1 ? "out" : "err", line), showProgress);
  let status;
  try {
    status = await runProgram([portName(chosenPort), file.name, controls.speed.value], transport, file, screen);
  } catch (failure) {
    addToLog("page", `The program stopped unexpectedly: ${failure}`);
  }
  await transport.close();
  transport = null;
  if (status === 0) controls.bar.value = 100;
  if (status === cancelledStatus) addToLog("page", "Cancelled: the load was ended and the port freed.");
  if (chosenPort === theVirtualChip) tellChipAccount(status);
  else if (status === 0) addToLog("page", "Reset the chip to run the program, then open the terminal to see what it prints.");
  controls.status.textContent = status === 0 ? "Done" : status === cancelledStatus ? "Cancelled" : "Failed";
  announce(`Load ${controls.status.textContent.toLowerCase()}`);
  setLoading(false);
}

// The chip's own account of the load follows the program's, as
// hexpush-sim prints it beside a terminal.
function tellChipAccount(status) {
  addToLog("page", "The virtual chip's account:");
  for (const line of chip.account().trimEnd().split("\n")) addToLog("chip", line);
  if (status !== 0) return;
  addToLog("page", "Open terminal to run the program: the chip resets into it, and the terminal shows what it sends.");
  addToLog("page", "Save chip memory saves what it holds, as Intel HEX, to compare with the file.");
}

// A chooser closed without a port is no error.
async function askForPort() {
  try {
    choosePort(await navigator.serial.requestPort());
  } catch (error) {
    if (error.name !== "NotFoundError") addToLog("page", `No port: ${error.message}`);
  }
}

function saveLog() {
  const lines = [...controls.log.children].map((entry) => entry.textContent);
  saveText(lines.join("\n") + "\n", "hexpush-log.txt");
}

// Without serial ports the page still has its virtual chip.
function offerTheVirtualChip(text) {
  controls.notice.textContent = `${text} The virtual chip inside the page works here, without a board.`;
  controls.notice.hidden = false;
  choosePort(theVirtualChip);
}

async function start() {
  compiledProgram = await WebAssembly.compile(decodeBase64(byId("hexpush-wasm").textContent));
  const compiledChip = await WebAssembly.compile(decodeBase64(byId("chip-wasm").textContent));
  const chipModule = await createChip(madeFrom(compiledChip, {}));
  chip = virtualChip(chipModule);
  runner = chipRunner(chipModule, {sent: chipSent, pins: (ports) => pinView.show(ports), stopped: chipStopped});
  pinView = pinLights(controls.pins, (port, bit, grounded) => runner.ground(port, bit, grounded));
  pinView.enable(false);
  let version = "";
  await runProgram(["--version"], null, null, (stream, byte) => { version += String.fromCharCode(byte); });
  controls.version.textContent = version.trim();
  serialPorts = window.isSecureContext && "serial" in navigator;
  if (!window.isSecureContext)
    offerTheVirtualChip("This page is not in a secure context (it came over plain http from another machine), " +
      "so the browser keeps serial ports from it. Open the file itself (hexpush.html), or serve it over " +
      "https or from localhost. Real ports need that.");
  else if (!serialPorts)
    offerTheVirtualChip("This browser has no Web Serial, so the page cannot reach a serial port: real ports " +
      "need Chrome, Edge or Opera (89 and later); Firefox has it only in its Nightly builds, behind the " +
      "dom.webserial.enabled preference; Safari not at all.");
  else choosePort((await navigator.serial.getPorts())[0] || null);
  controls.port.addEventListener("click", askForPort);
  controls.virtualChip.addEventListener("click", () => choosePort(theVirtualChip));
  controls.saveMemory.addEventListener("click", () => saveText(chip.memoryHex(), "chip-memory.hex"));
  controls.resetChip.addEventListener("click", () => {
    if (terminalPort === chipTerminal) terminalView.say("virtual chip reset: it runs the program from the start");
    startChip();
  });
  controls.load.addEventListener("click", load);
  controls.cancel.addEventListener("click", () => transport && transport.cancel());
  controls.save.addEventListener("click", saveLog);
  terminalView = terminalScreen(controls.terminal);
  controls.terminalToggle.addEventListener("click", () => (terminalPort ? closeTerminal() : openTerminal()));
  controls.clearTerminal.addEventListener("click", () => terminalView.clear());
  controls.saveTerminal.addEventListener("click", () => saveText(terminalView.text(), "hexpush-terminal.txt"));
  terminalInput(controls.send, sendTyped);
  const showSwitches = () => terminalView.show({ showControls: controls.showControls.checked, timestamps: controls.timestamps.checked });
  controls.showControls.addEventListener("change", showSwitches);
  controls.timestamps.addEventListener("change", showSwitches);
  window.addEventListener("beforeunload", (event) => {
    if (!transport && (!terminalPort || terminalPort === chipTerminal)) return;
    event.preventDefault();
    event.returnValue = "";
  });
  document.addEventListener("dragover", (event) => event.preventDefault());
  document.addEventListener("drop", (event) => {
    event.preventDefault();
    if (event.dataTransfer.files.length && !transport) controls.file.files = event.dataTransfer.files;
  });
  setLoading(false);
}

start();
