"""The web page in Debian's headless Chromium, driven by chromium-driver
through python3-selenium. Its Web Serial is a test double (serial_double.js)
joined to a virtual chip's pseudo-terminal by a bridge that serves the page
and sets the speed the page asked for."""
import base64
import contextlib
import functools
import hashlib
import http.server
import json
import os
import select
import shutil
import tempfile
import termios
import threading
import time
import tty

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

HERE = os.path.dirname(os.path.abspath(__file__))
# axe-core, as scripts/install-deps fetches it for the tests.
AXE = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                   "hexpush-axe", "node_modules", "axe-core", "axe.min.js")


class Line(http.server.SimpleHTTPRequestHandler):
    """Serves the page's folder, and the double's port at /serial: a
    WebSocket whose text messages open and close the chip's pseudo-terminal
    (at the speed the page asked for) or set its signals, and whose binary
    messages carry bytes each way. A port gone at the far end closes it."""

    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # a verdict byte must not wait for an acknowledgement

    def log_message(self, *_):
        pass

    def do_GET(self):
        if self.path != "/serial":
            return super().do_GET()
        key = self.headers["Sec-WebSocket-Key"] + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
        self.send_response(101)
        self.send_header("Upgrade", "websocket")
        self.send_header("Connection", "Upgrade")
        self.send_header("Sec-WebSocket-Accept", base64.b64encode(hashlib.sha1(key.encode()).digest()).decode())
        self.end_headers()
        self.sending = threading.Lock()
        self.fd = None
        self.close_connection = True
        while (message := self.receive()) is not None:
            self.server.count_cpu_wait()
            kind, body = message
            if kind == 2:
                os.write(self.fd, body)
            elif (request := json.loads(body))["do"] == "open":
                self.server.line, self.server.open_line = request, self
                self.open(request["baudRate"])
            elif request["do"] == "signals":
                self.server.signals.update(request["signals"])
            else:
                self.close_line()
                self.server.closes += 1
        if self.fd is not None:
            self.close_line()

    def open(self, baud):
        self.fd = os.open(self.server.port_path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        settings = termios.tcgetattr(self.fd)
        settings[4] = settings[5] = getattr(termios, f"B{baud}")
        termios.tcsetattr(self.fd, termios.TCSANOW, settings)
        self.server.baud = baud
        self.send(1, b"opened")
        self.stop_pump, stop = os.pipe()
        self.pumping = threading.Thread(target=self.pump, args=(self.fd, stop), daemon=True)
        self.pumping.start()

    # The pump is stopped before its descriptor is closed, which the next
    # open may be given: it never reads another line's bytes.
    def close_line(self):
        os.close(self.stop_pump)
        self.pumping.join()
        self.fd = os.close(self.fd)

    def pump(self, fd, stop):
        while True:
            self.server.count_cpu_wait()
            ready = select.select([fd, stop], [], [])[0]
            if stop in ready:
                return os.close(stop)
            try:
                received = os.read(fd, 4096)
            except OSError:
                received = b""
            if not received:  # the far end has gone
                os.close(stop)
                return self.send(1, b"lost")
            self.send(2, received)

    def receive(self):
        header = self.rfile.read(2)
        if len(header) < 2 or header[0] & 0x0F == 8:
            return None
        size = header[1] & 0x7F
        if size > 125:
            size = int.from_bytes(self.rfile.read(2 if size == 126 else 8), "big")
        mask = self.rfile.read(4)
        body = bytes(b ^ mask[i % 4] for i, b in enumerate(self.rfile.read(size)))
        return header[0] & 0x0F, body

    def send(self, kind, body):
        size = len(body)
        length = bytes([size]) if size < 126 else bytes([126]) + size.to_bytes(2, "big")
        with self.sending, contextlib.suppress(OSError):  # the page may have gone
            self.wfile.write(bytes([0x80 | kind]) + length + body)


def lift_to_the_browsers_priority():
    """Where the system allows it (as root), Chromium lifts its own processes
    out of a niceness it was started with: its network service runs at 0,
    its I/O threads at -8. The bridge's threads would stay behind, and beside
    busy programs of ordinary priority they alone would be kept from the
    CPU, for a second at a time under nice 19, setting the pace of a wire
    that has no such hop. So the calling thread takes an ordinary program's
    niceness too, where it may; where it may not, neither may the browser."""
    with contextlib.suppress(PermissionError):
        os.setpriority(os.PRIO_PROCESS, 0, min(0, os.getpriority(os.PRIO_PROCESS, 0)))


class Bridge(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, folder, port_path, host="127.0.0.1"):
        self.port_path, self.baud, self.line, self.signals, self.open_line = port_path, None, {}, {}, None
        self.closes = 0  # ports the page closed: loads ended, however
        self.cpu_waits = {}  # by thread: (ms waited for a CPU when first counted, ms since)
        super().__init__((host, 0), functools.partial(Line, directory=folder))
        threading.Thread(target=self.serve_lifted, daemon=True).start()
        self.origin = f"http://{host}:{self.server_address[1]}"

    def serve_lifted(self):
        lift_to_the_browsers_priority()  # each line's threads start from this one
        self.serve_forever()

    # The bridge is a hop of the test's wire that no real port has. A busy
    # machine can keep it from the CPU, as it can the virtual chip, for
    # longer than hexpush waits for the banner: it counts those waits (the
    # scheduler's own count) for the runner to tell, as the chip tells its own.
    def count_cpu_wait(self):
        # By the kernel's thread id: Python's ident is handed on to the next
        # thread (each line's pump), whose count starts again from nothing.
        with open("/proc/thread-self/schedstat") as stats:
            waited = int(stats.read().split()[1]) / 1e6
        first, _ = self.cpu_waits.get(threading.get_native_id(), (waited, 0))
        self.cpu_waits[threading.get_native_id()] = (first, max(0, waited - first))

    def kept_from_cpu_ms(self):
        return sum(since for _, since in self.cpu_waits.values())

    def send_break(self):
        """A break on the line, as the port's far end sends one."""
        self.open_line.send(1, b"break")


class Program:
    """The loaded program, run: the far side of a pseudo-terminal, where the
    test writes what the program prints and reads what the page sent."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def sent(self, count):
        got = b""
        while len(got) < count and select.select([self.master], [], [], 10)[0]:
            got += os.read(self.master, count - len(got))
        return got


def descendants(pid):
    """The processes under pid, by the parents /proc names."""
    children = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{entry}/stat") as stat:
            children.setdefault(int(stat.read().rsplit(")", 1)[1].split()[1]), []).append(int(entry))
    found, waiting = [], [pid]
    while waiting:
        below = children.get(waiting.pop(), [])
        found += below
        waiting += below
    return found


def cpu_waits(pid, but=None):
    """How long each thread of a process (but one) has waited for a CPU, in ms."""
    waits = {}
    for thread in os.listdir(f"/proc/{pid}/task") if os.path.isdir(f"/proc/{pid}/task") else []:
        with contextlib.suppress(OSError), open(f"/proc/{pid}/task/{thread}/schedstat") as stats:
            fields = stats.read().split()  # none for a thread as it ends
            if len(fields) > 1 and thread != str(but):
                waits[int(thread)] = int(fields[1]) / 1e6
    return waits


def problem():
    """Why the page cannot be driven here, or ""."""
    for program in ("chromium", "chromedriver"):
        if not shutil.which(program):
            return f"{program} is not installed (Debian package {'chromium' if program == 'chromium' else 'chromium-driver'})"
    return ""


class Page:
    """The page in a fresh headless Chromium; setup goes to the double."""

    def __init__(self, url, setup=None, host_rules=None, bypass_csp=False):
        self.profile = tempfile.mkdtemp(prefix="hexpush-chromium-")
        self.downloads = os.path.join(self.profile, "downloads")
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--no-first-run", "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--disable-quic", f"--user-data-dir={self.profile}"):
            options.add_argument(flag)
        if host_rules:
            options.add_argument(f"--host-resolver-rules={host_rules}")
        options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
        options.add_experimental_option("prefs", {"download.default_directory": self.downloads})
        # A user's browser slows a hidden tab's timers, as chromedriver's does not by default.
        options.add_experimental_option("excludeSwitches", ["disable-background-timer-throttling",
                                                            "disable-backgrounding-occluded-windows"])
        self.driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
        with open(os.path.join(HERE, "serial_double.js")) as script:
            double = script.read()
        setup = {"granted": 1, "chooser": "grant", **(setup or {})}
        self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                    {"source": f"window.serialDoubleSetup = {json.dumps(setup)};\n{double}"})
        self.driver.execute_cdp_cmd("Page.setBypassCSP", {"enabled": bypass_csp})
        self.driver.get(url)
        self.wait_for(lambda: self.text("version") or self.text("notice"))

    def wire_cpu_waits(self):
        """How long each of the browser's threads has waited for a CPU, but
        for the pages' own main threads: the others (the network service,
        the I/O threads) carry the double's WebSocket, a hop of the test's
        wire as the bridge is."""
        waits = {}
        for pid in descendants(self.driver.service.process.pid):
            with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline") as cmdline:
                waits.update(cpu_waits(pid, but=pid if "--type=renderer" in cmdline.read() else None))
        return waits

    def cpu_wait_ms(self):
        """How long all the browser's threads have waited for a CPU, all
        told: a click that reaches a page kept from running is answered late
        for no fault of the page's."""
        return sum(sum(cpu_waits(pid).values()) for pid in descendants(self.driver.service.process.pid))

    def wire_cpu_wait_ms(self, since):
        """The browser's waits since those, thread by thread: one that ended
        meanwhile takes nothing off (its last waits are lost with it)."""
        return sum(max(0, waited - since.get(thread, 0)) for thread, waited in self.wire_cpu_waits().items())

    def axe_violations(self):
        """What axe-core finds wrong in the page as it is now: each rule
        broken, with the elements that break it. axe is evaluated as the
        devtools would, outside the page's policy: the page loads nothing."""
        with open(AXE) as script:
            self.driver.execute_cdp_cmd("Runtime.evaluate", {"expression": script.read()})
        self.driver.set_script_timeout(60)
        return self.driver.execute_async_script("""axe.run(document, {resultTypes: ['violations']}).then(
            (found) => arguments[0](found.violations.map((v) => [v.id, v.nodes.map((n) => n.target.join(' '))])))""")

    def color_scheme(self, scheme):
        """The system's preference as the page sees it: light or dark."""
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                    {"features": [{"name": "prefers-color-scheme", "value": scheme}]})

    def quit(self):
        self.driver.quit()
        shutil.rmtree(self.profile, ignore_errors=True)

    def element(self, id_):
        return self.driver.find_element(By.ID, id_)

    def text(self, id_):
        return self.element(id_).text

    def saved(self, button, name):
        """The file the button saves, once it is whole (Chromium names it only then)."""
        path = os.path.join(self.downloads, name)
        self.element(button).click()
        self.wait_for(lambda: os.path.exists(path))
        return path

    def hidden_while(self, meanwhile):
        """Hides the page behind a new tab while meanwhile() runs, then shows it again."""
        front = self.driver.current_window_handle
        self.driver.switch_to.new_window("tab")
        meanwhile()
        self.driver.close()
        self.driver.switch_to.window(front)

    def wait_for(self, condition, seconds=120):
        return WebDriverWait(self.driver, seconds, poll_frequency=0.05).until(lambda _: condition())

    def start_load(self, file, baud=None):
        self.element("file").send_keys(os.path.abspath(file))
        if baud:
            Select(self.element("speed")).select_by_visible_text(str(baud))
        self.element("load").click()
        self.wait_for(lambda: self.element("cancel").is_enabled() or self.finished())

    def finished(self):
        return self.element("load").is_enabled() and self.text("status") in ("Done", "Failed", "Cancelled")

    def finish_load(self, seconds=300, cancel=lambda: False):
        """The load's ending; cancel() says when to press Cancel."""
        self.wait_for(lambda: self.finished() or (cancel() and self.element("cancel").click()), seconds)
        return self.text("status")

    def finish_load_unwatched(self, seconds=300):
        """The load's ending, waited for in the page itself: no poll takes
        the page's thread meanwhile, as a timed load needs."""
        self.driver.set_script_timeout(seconds)
        return self.driver.execute_async_script("""
            const [done, status, load] = [arguments[0], document.getElementById("status"), document.getElementById("load")];
            const check = () => !load.disabled && ["Done", "Failed", "Cancelled"].includes(status.textContent) && done(status.textContent);
            new MutationObserver(check).observe(document.body, { subtree: true, childList: true, attributes: true, characterData: true });
            check();""")

    def log(self):
        """The log's lines, each with its kind: out, err or page."""
        return self.driver.execute_script(
            "return [...document.getElementById('log').children].map(e => [e.className, e.textContent])")

    def requests(self):
        """Every URL the page asked for, from the browser's own log."""
        events = (json.loads(entry["message"])["message"] for entry in self.driver.get_log("performance"))
        return [event["params"]["request"]["url"] for event in events
                if event["method"] == "Network.requestWillBeSent"]


def timed(action):
    start = time.monotonic()
    result = action()
    return result, time.monotonic() - start


def page_picture(html, out, example, size=(1200, 860)):
    """The page as a newcomer meets it, for the README: the example loaded
    into the virtual chip and running, light, at a laptop's size; a PNG of 64
    colours, small enough for a README."""
    from PIL import Image  # python3-pil, for the picture alone
    bridge = Bridge(os.path.dirname(os.path.abspath(html)), "/dev/null")
    page = Page(f"{bridge.origin}/{os.path.basename(html)}")
    try:
        page.driver.set_window_size(*size)
        page.color_scheme("light")
        page.element("virtual-chip").click()
        page.start_load(example, 115200)
        page.finish_load()
        page.element("terminal-toggle").click()
        page.wait_for(lambda: page.text("terminal").count("hello") >= 12)
        page.driver.execute_script("document.activeElement.blur(); window.scrollTo(0, 0)")
        width, height = page.driver.execute_script("return [innerWidth, document.documentElement.scrollHeight]")
        shot = base64.b64decode(page.driver.execute_cdp_cmd("Page.captureScreenshot", {
            "captureBeyondViewport": True, "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}})["data"])
    finally:
        page.quit()
        bridge.shutdown()
        bridge.server_close()
    with tempfile.NamedTemporaryFile(suffix=".png") as raw:
        raw.write(shot)
        raw.flush()
        Image.open(raw.name).convert("RGB").quantize(colors=64).save(out, optimize=True)
