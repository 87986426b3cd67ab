"""The web page in Debian's headless Chromium, driven by chromium-driver
through python3-selenium. Its Web Serial is a test double (serial_double.js)
joined to a virtual chip's pseudo-terminal by a bridge that serves the page
and sets the speed the page asked for."""
import functools
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
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

HERE = os.path.dirname(os.path.abspath(__file__))
PORT_NAME = "USB 0403:6001"  # as the double's getInfo() has the page name it


class Line:
    """The far end of the double's port: the chip's pseudo-terminal."""

    def __init__(self, path):
        self.path, self.fd, self.baud, self.signals = path, None, None, {}
        self.received, self.lost = bytearray(), False
        self.changed = threading.Condition()

    def open(self, body):
        line = json.loads(body)
        self.fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        settings = termios.tcgetattr(self.fd)
        settings[4] = settings[5] = getattr(termios, f"B{line['baudRate']}")
        termios.tcsetattr(self.fd, termios.TCSANOW, settings)
        self.baud = line["baudRate"]
        threading.Thread(target=self.pump, args=(self.fd,), daemon=True).start()
        return 200, b""

    def pump(self, fd):
        while self.fd == fd:
            if not select.select([fd], [], [], 0.2)[0]:
                continue
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = b""
            with self.changed:
                self.received += chunk
                self.lost = not chunk
                self.changed.notify_all()
            if not chunk:
                return

    def read(self, _):
        with self.changed:
            self.changed.wait_for(lambda: self.received or self.lost, timeout=0.5)
            bytes_, self.received = bytes(self.received), bytearray()
        return (200, bytes_) if bytes_ else (410 if self.lost else 204, b"")

    def write(self, body):
        try:
            while body:
                body = body[os.write(self.fd, body):]
        except OSError:
            return 410, b""
        return 200, b""

    def set_signals(self, body):
        self.signals.update(json.loads(body))
        return 200, b""

    def close(self, _):
        fd, self.fd = self.fd, None
        if fd is not None:
            os.close(fd)
        return 200, b""


class Bridge(http.server.ThreadingHTTPServer):
    """Serves the page's folder, and the double's port as /serial/ACTION."""

    daemon_threads = True

    def __init__(self, folder, port_path, host="127.0.0.1"):
        self.line = Line(port_path)
        super().__init__((host, 0), functools.partial(BridgeHandler, directory=folder))
        threading.Thread(target=self.serve_forever, daemon=True).start()
        self.origin = f"http://{host}:{self.server_address[1]}"


class BridgeHandler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # a verdict byte must not wait for an acknowledgement

    def log_message(self, *_):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        actions = {"open": Line.open, "read": Line.read, "write": Line.write,
                   "signals": Line.set_signals, "close": Line.close}
        action = actions.get(self.path.removeprefix("/serial/"))
        try:
            status, reply = action(self.server.line, body) if action else (404, b"")
        except OSError:
            status, reply = 503, b""
        self.send_response(status)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)


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
        self.driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
        double = open(os.path.join(HERE, "serial_double.js")).read()
        setup = {"granted": 1, "chooser": "grant", **(setup or {})}
        self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                    {"source": f"window.serialDoubleSetup = {json.dumps(setup)};\n{double}"})
        self.driver.execute_cdp_cmd("Page.setBypassCSP", {"enabled": bypass_csp})
        self.driver.get(url)
        self.wait_for(lambda: self.text("version") or self.text("notice"))

    def quit(self):
        self.driver.quit()
        shutil.rmtree(self.profile, ignore_errors=True)

    def element(self, id_):
        return self.driver.find_element(By.ID, id_)

    def text(self, id_):
        return self.element(id_).text

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
