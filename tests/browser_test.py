#!/usr/bin/python3
"""What the web page does beyond a load, which the end-to-end tables check
through it: its controls, a cancelled load and the next, a hidden tab, what
it says when the browser cannot or the user does not, a file it cannot read,
and the page opened from disk. In headless Chromium, against hexpush-sim.
    tests/browser_test.py PAGE HEXPUSH_SIM SOURCE_DIR"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

PAGE, SIM, SOURCE = map(os.path.abspath, sys.argv[1:4])
sys.path.insert(0, os.path.join(SOURCE, "runner", "browser"))
EXAMPLE = os.path.join(SOURCE, "examples", "blink.hex")
BUTTONS = os.path.join(SOURCE, "examples", "buttons.hex")
FOUR_LINES = ["Getting loader prompt...", "Klearing memory...", "Loading file...", "Done loading"]
BEFOREUNLOAD = "const e = new Event('beforeunload', {cancelable: true}); dispatchEvent(e); return e.defaultPrevented"
AFTER_LOAD = ["page", "Reset the chip to run the program, then open the terminal to see what it prints."]


def skip_because(reason):
    if os.environ.get("CI", "") not in ("", "false", "0"):
        sys.exit(f"CI runs every case, and this one cannot run: {reason}")
    print(f"skipped: {reason}")
    sys.exit(77)


try:
    import page_kit
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select
except ImportError as missing:
    skip_because(f"python3-selenium is not installed ({missing})")


class Chip:
    """hexpush-sim serving loads until stopped, its memory written after each."""

    def __init__(self, *options):
        self.folder = tempfile.mkdtemp(prefix="hexpush-page-test-")
        self.image = os.path.join(self.folder, "chip.bin")
        self.report = open(os.path.join(self.folder, "report"), "w+")
        self.process = subprocess.Popen([SIM, "--image", self.image, *options], stdout=self.report)
        while not self.reported().endswith("\n"):
            time.sleep(0.01)
        self.port = self.reported().split("\n")[0]

    def reported(self):
        return pathlib.Path(self.report.name).read_text()

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.report.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def answered_in_time(delays, waits):
    """Whether each click was answered within 100 ms, but for one answered
    later while the browser's threads were kept from the CPU for as long
    (waits: their waits, all told, as each click was made, and after the
    last)."""
    late = [(delay, waits[i + 1] - waits[i]) for i, delay in enumerate(delays) if delay >= 100]
    for delay, waited in late:
        print(f"a click answered in {delay:.0f} ms while the browser waited {waited:.0f} ms for a CPU", flush=True)
    return len(delays) == len(waits) - 1 and all(waited >= delay - 100 for delay, waited in late)


def shown(data):
    """The terminal's lines for these bytes, as hexpush escapes wire bytes."""
    lines = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")
    return ["".join(chr(b) if 0x20 <= b < 0x7F else "\\t" if b == 9 else f"\\x{b:02X}" for b in line) for line in lines]


class PageTest(unittest.TestCase):
    def setUp(self):
        self.chip = Chip("--flash-size", "65536")
        self.addCleanup(lambda: self.chip.stop())
        self.bridge = page_kit.Bridge(os.path.dirname(PAGE), self.chip.port)
        self.addCleanup(lambda: (self.bridge.shutdown(), self.bridge.server_close()))

    def page(self, url=None, **options):
        """The page, its port joined to the chip."""
        page = page_kit.Page(url or f"{self.bridge.origin}/{os.path.basename(PAGE)}", **options)
        self.addCleanup(page.quit)
        return page

    def load(self, page, hex_file, baud=None, meanwhile=lambda: None, cancel=lambda: False):
        """A load through the page and its ending, once the chip has told of it
        (and written its image). A load that failed with the chip kept from the
        CPU (or the bridge kept from it) says nothing of the page, and is made again."""
        for attempt in range(1, 11):
            said, bridge_waited, browser_waits = self.chip.reported(), self.bridge.kept_from_cpu_ms(), page.wire_cpu_waits()
            self.before_load = (said.count("load:"), self.bridge.closes)  # a fast ending may beat meanwhile
            page.start_load(hex_file, baud)
            meanwhile()
            status = page.finish_load(cancel=cancel)
            page.wait_for(lambda: self.chip.reported().count("load:") > said.count("load:"))
            told = self.chip.reported()[len(said):]
            wire_waited = self.bridge.kept_from_cpu_ms() - bridge_waited + page.wire_cpu_wait_ms(since=browser_waits)
            late = "kept from the CPU" in told or wire_waited >= 5
            if status != "Failed" or not late or attempt == 10:
                return status
            print(f"run again: {told}the bridge and the browser's threads waited {wire_waited:.0f} ms for a CPU", flush=True)

    def expect_loaded(self, page, hex_file, status):
        self.assertEqual(status, "Done", (page.log(), self.chip.reported()))
        self.assertEqual(page.log(), [["out", line] for line in FOUR_LINES] + [AFTER_LOAD])
        self.assertEqual(page.element("bar").get_attribute("value"), "100")
        subprocess.run([os.path.join(SOURCE, "scripts", "check-image"), hex_file, self.chip.image], check=True)

    # (The version at its foot, and each rate, are checked through the runner.)
    def test_controls_are_named(self):
        page = self.page()
        ids = ("file", "speed", "port", "virtual-chip", "load", "cancel", "save", "save-memory", "log", "terminal-speed", "terminal-toggle",
               "send", "line-end", "clear-terminal", "save-terminal", "terminal", "show-controls", "timestamps", "reset-chip", "P3.2")
        self.assertEqual([page.element(id_).accessible_name for id_ in ids], [
            "HEX file", "Speed", "Port", "Virtual chip", "Load", "Cancel", "Save log", "Save chip memory", "Log", "Terminal speed", "Open terminal",
            "Send", "Line end", "Clear terminal", "Save terminal", "Terminal", "Show control bytes", "Timestamps", "Reset virtual chip", "P3.2"])
        self.assertEqual([page.element(id_).get_attribute("value") for id_ in ("speed", "terminal-speed", "line-end")],
                         ["57600", "9600", "CR LF"])

    # Cancel frees the port, as Ctrl-C does; the next load goes through in the
    # same page, past a break on the line, on a port opened as every system
    # opens it, and nothing was asked of any other site.
    def test_cancelled_load_then_a_complete_one_and_its_log_saved(self):
        page = self.page(setup={"breakAfter": 30})
        big = os.path.join(self.chip.folder, "big.hex")
        subprocess.run(["srec_cat", "-generate", "0", "0x8000", "-random", "-o", big, "-Intel"], check=True)
        warned = []
        def once_moving():
            page.wait_for(lambda: page.finished() or int(page.element("bar").get_attribute("value")) > 0)
            warned.append(page.finished() or page.driver.execute_script(BEFOREUNLOAD))
        self.assertEqual(self.load(page, big, 115200, once_moving, cancel=lambda: True), "Cancelled")
        self.assertTrue(warned[-1], "no warning before leaving during a load")
        self.assertEqual(page.log()[-1], ["page", "Cancelled: the load was ended and the port freed."])
        self.chip.stop()  # and a chip reset behind the same port, as a user does
        self.chip = Chip("--flash-size", "65536")
        self.bridge.port_path = self.chip.port
        self.expect_loaded(page, EXAMPLE, self.load(page, EXAMPLE))
        self.assertEqual(self.bridge.line, {"do": "open", "baudRate": 115200, "dataBits": 8, "parity": "none",
                                            "stopBits": 1, "flowControl": "none"})
        self.assertEqual(self.bridge.signals, {"dataTerminalReady": True, "requestToSend": True})
        self.assertFalse(page.driver.execute_script(BEFOREUNLOAD), "a warning with no load running")
        origins = {url.split("/")[2] for url in page.requests() if url.split(":")[0] in ("http", "https", "ws", "wss")}
        self.assertEqual(origins, {self.bridge.origin.split("/")[2]})
        saved = page.saved("save", "hexpush-log.txt")
        self.assertEqual(pathlib.Path(saved).read_text(), "\n".join(FOUR_LINES + AFTER_LOAD[1:]) + "\n")

    # Hidden tabs get coarse timers: a load paced by timers would take a
    # second or more a line, rather than a few milliseconds.
    def test_a_hidden_tab_keeps_its_pace(self):
        page = self.page()
        page.driver.execute_script("addEventListener('visibilitychange', () => { window.wasHidden ||= document.hidden })")
        def hidden_until_the_chip_has_it_all():  # or the load has ended otherwise
            loads, closes = self.before_load
            page.hidden_while(lambda: page.wait_for(lambda: self.chip.reported().count("load:") > loads or self.bridge.closes > closes))
        self.expect_loaded(page, EXAMPLE, self.load(page, EXAMPLE, 115200, hidden_until_the_chip_has_it_all))
        self.assertTrue(page.driver.execute_script("return window.wasHidden"), "the tab was never hidden")
        seconds = float(self.chip.reported().split("load:")[-1].split(" s at ")[0].split(", ")[-1])
        self.assertLess(seconds, 22 * 0.25, "the load slowed down behind another tab")

    # After a load, the program's own output on the same port: every byte
    # value shown as text, each line end sent as chosen, a break marked, Load
    # while the terminal is open and the terminal again, a lost adapter.
    def test_the_terminal_after_a_load(self):
        page, program = self.page(), page_kit.Program()
        self.expect_loaded(page, EXAMPLE, self.load(page, EXAMPLE))
        self.bridge.port_path = program.path  # the chip reset, running the program
        page.element("terminal-toggle").click()
        page.wait_for(lambda: self.bridge.line.get("baudRate") == 9600 and page.text("terminal-toggle") == "Close terminal")
        printed = b"ok\r\nCR\rLF\nCRLF\r\n\n\x1b[2J\x1b]0;t\x07<b>&amp;</b>\\" + bytes(range(256)) + b"\r\n"
        os.write(program.master, printed)
        lines = lambda: page.driver.execute_script("return [...document.getElementById('terminal').children].slice(1).map(e => e.textContent)")
        page.wait_for(lambda: len(lines()) > len(shown(printed)))
        self.assertEqual(lines(), ["[USB 0403:6001 open at 9600 baud]"] + shown(printed))
        for end, ending in [("None", b""), ("CR", b"\r"), ("LF", b"\n"), ("CR LF", b"\r\n")]:
            Select(page.element("line-end")).select_by_visible_text(end)
            page.element("send").send_keys("héllo " + end + Keys.ENTER)
            expected = f"héllo {end}".encode() + ending
            self.assertEqual(program.sent(len(expected)), expected)
        page.element("send").send_keys(Keys.ARROW_UP + Keys.ARROW_UP)
        self.assertEqual(page.element("send").get_attribute("value"), "héllo LF")
        self.bridge.send_break()
        os.write(program.master, b"on\n")
        page.wait_for(lambda: "[break]on" in lines())
        self.assertTrue(page.driver.execute_script(BEFOREUNLOAD), "no warning before leaving with the terminal open")
        self.bridge.port_path = self.chip.port  # Load closes the terminal first
        self.expect_loaded(page, EXAMPLE, self.load(page, EXAMPLE))
        self.assertEqual(page.text("terminal-toggle"), "Open terminal")
        self.bridge.port_path = program.path
        page.element("terminal-toggle").click()  # and unplugged once the port is open
        page.wait_for(lambda: lines().count("[USB 0403:6001 open at 9600 baud]") == 2)
        os.close(program.master)
        page.wait_for(lambda: "[USB 0403:6001: The device has been lost.]" in lines())
        self.assertEqual(page.text("terminal-toggle"), "Open terminal")

    # A minute of a program printing without pause at 115200, a third of it
    # in a hidden tab: no byte lost (the last 10,000 lines kept, the others
    # counted), and a click answered within 100 ms throughout.
    def test_the_terminal_keeps_up_with_a_flood(self):
        page, program = self.page(), page_kit.Program()
        self.bridge.port_path = program.path
        Select(page.element("terminal-speed")).select_by_visible_text("115200")
        page.element("terminal-toggle").click()
        page.wait_for(lambda: "open at 115200 baud" in page.text("terminal"))
        page.driver.execute_script("window.delays = []; document.getElementById('send')"
                                   ".addEventListener('click', (e) => delays.push(performance.now() - e.timeStamp))")
        printed = [b"%06d " % n + b"x" * 57 + b"\r\n" for n in range(60 * 115200 // 10 // 64)]
        loading, start, sent, waits = page.driver.current_window_handle, time.monotonic(), 0, []
        while sent < len(printed):
            elapsed = time.monotonic() - start
            for _ in range(sent, min(len(printed), int(elapsed * 11520 / 64))):
                os.write(program.master, printed[sent])
                sent += 1
            if 20 < elapsed < 40 and page.driver.current_window_handle == loading:
                page.driver.switch_to.new_window("tab")
            elif elapsed >= 40 and page.driver.current_window_handle != loading:
                page.driver.close()
                page.driver.switch_to.window(loading)
            elif page.driver.current_window_handle == loading:
                waits.append(page.cpu_wait_ms())
                page.element("send").click()
        kept = ["[USB 0403:6001 open at 115200 baud]"] + [line.decode().strip() for line in printed]
        page.wait_for(lambda: f"({len(kept) - 10000} earlier lines dropped" in page.text("terminal"))
        saved = page.saved("save-terminal", "hexpush-terminal.txt")
        self.assertEqual(pathlib.Path(saved).read_text(), "\n".join(kept[-10000:]) + "\n")
        delays = page.driver.execute_script("return delays")
        self.assertTrue(len(delays) > 20 and answered_in_time(delays, waits + [page.cpu_wait_ms()]), delays)

    # A program's colours and weight (SGR) are shown as such, never past a
    # reset or the line's end; any other control byte stays escaped; Show
    # control bytes escapes the colours too, Timestamps puts each line's time
    # before it, and Save terminal keeps what is shown.
    def test_colours_control_bytes_and_timestamps(self):
        page, program = self.page(), page_kit.Program()
        self.bridge.port_path = program.path
        page.element("terminal-toggle").click()
        page.wait_for(lambda: "open at 9600 baud" in page.text("terminal"))
        os.write(program.master, b"a\x1b[31mred\x1b[0mb \x1b[1;92mbold\x1b[22mlight\x1b[39md\x1b[32mg\r\n"
                                 b"\x1b[44;97mon blue\x1b[0m!\r\nplain\x1b[7minverse\x1b[2J\x1b[m.\r\n")
        runs = lambda: page.driver.execute_script("""return [...document.querySelectorAll('#terminal > div')].slice(2, -1)
            .map((line) => [...line.childNodes].map((run) => [run.textContent, run.nodeType === 1 ?
              [getComputedStyle(run).color, getComputedStyle(run).backgroundColor, getComputedStyle(run).fontWeight] : []]))""")
        page.wait_for(lambda: len(runs()) == 3)
        channels = lambda rgb: [int(v) for v in rgb[rgb.index("(") + 1:rgb.index(")")].split(",")[:3]]
        # Red text, bold bright green text, and a blue background: the channel that stands out.
        for (line, run, colour, hue) in ((0, 1, 0, 0), (0, 3, 0, 1), (1, 0, 1, 2)):
            rgb = channels(runs()[line][run][1][colour])
            self.assertTrue(rgb[hue] > max(rgb[:hue] + rgb[hue + 1:]), runs()[line][run])
        self.assertGreaterEqual(int(runs()[0][3][1][2]), 600, "bold")
        self.assertGreater(sum(channels(runs()[0][3][1][0])), sum(channels(runs()[0][6][1][0])), "bright green")
        self.assertEqual([[text for text, _ in line] for line in runs()],
                         [["a", "red", "b ", "bold", "light", "d", "g"], ["on blue", "!"], ["plain\\x1B[7minverse\\x1B[2J", "."]])
        self.assertEqual(runs()[0][4][1][2], "400", "bold past 22")
        self.assertEqual([runs()[0][at][1] for at in (0, 2, 5)] + [runs()[1][1][1]] + [style for _, style in runs()[2]], [[]] * 6)
        for scheme in ("light", "dark"):
            page.color_scheme(scheme)
            self.assertEqual(page.axe_violations(), [], scheme)
        page.element("show-controls").click()
        page.element("timestamps").click()
        saved = page.saved("save-terminal", "hexpush-terminal.txt")
        shown_lines = pathlib.Path(saved).read_text().splitlines()
        self.assertEqual(shown_lines, page.driver.execute_script(
            "return [...document.querySelectorAll('#terminal > div')].slice(1, -1).map((line) => line.textContent)"))
        self.assertRegex(shown_lines[1], r"^\d\d:\d\d:\d\d\.\d{3} a\\x1B\[31mred\\x1B\[0mb \\x1B\[1;92mbold")

    # axe-core finds nothing in any state of the page, light or dark; a load
    # and a terminal session by keyboard alone, the focus always shown, the
    # load's start and end told to a screen reader once each; a pin held
    # (by Space, then the pointer) read low by the program; nothing
    # scrolls sideways from a phone's width to a wide screen, and the load
    # and the terminal stand side by side where there is room.
    def test_accessible_by_keyboard_at_any_width_light_or_dark(self):
        def no_violations(page, state):
            for scheme in ("light", "dark"):
                page.color_scheme(scheme)
                self.assertEqual(page.axe_violations(), [], f"{state}, {scheme}")
                background = page.driver.execute_script("return getComputedStyle(document.body).backgroundColor")
                self.assertEqual(sum(map(int, re.findall(r"\d+", background)[:3])) < 384, scheme == "dark", background)
        no_violations(self.page(), "fresh")
        page = self.page(setup={"serial": False})
        no_violations(page, "without Web Serial")
        page.driver.execute_script("""window.told = []; const region = document.getElementById('announce');
            new MutationObserver(() => told.push(region.textContent)).observe(region, {childList: true, subtree: true})""")
        page.element("file").send_keys(BUTTONS)  # the file chooser is the system's own

        def press(id_, *keys):
            for _ in range(60):
                if page.driver.execute_script("return document.activeElement.id") == id_:
                    break
                page_kit.ActionChains(page.driver).send_keys(Keys.TAB).perform()
            focused = "const e = document.activeElement; return [e.id, getComputedStyle(e).outlineStyle]"
            self.assertEqual(page.driver.execute_script(focused), [id_, "solid"], "no focus shown")
            if keys:
                page_kit.ActionChains(page.driver).send_keys(*keys).perform()
        press("speed", *[Keys.ARROW_UP] * 3)
        self.assertEqual(page.element("speed").get_attribute("value"), "9600")
        press("load", Keys.ENTER)
        page.wait_for(lambda: "%" in page.text("status"))
        no_violations(page, "a load running")
        self.assertEqual(page.finish_load(), "Done")
        no_violations(page, "a load done")
        self.assertEqual(page.driver.execute_script("return told"), ["Loading the file", "Load done"])
        press("terminal-toggle", Keys.SPACE)
        page.wait_for(lambda: "watching P3.2 and P1.7" in page.text("terminal"))
        press("send", "hi", Keys.ENTER)
        press("P1.7")
        page_kit.ActionChains(page.driver).key_down(Keys.SPACE).perform()  # held: the program reads it low
        page.wait_for(lambda: "P1.7 low" in page.text("terminal"))
        no_violations(page, "the virtual chip running, a pin held")
        page_kit.ActionChains(page.driver).key_up(Keys.SPACE).perform()
        page.wait_for(lambda: "P1.7 high" in page.text("terminal"))
        int0 = page.element("P3.2")  # and held by the pointer
        page_kit.ActionChains(page.driver).click_and_hold(int0).perform()
        page.wait_for(lambda: "P3.2 low" in page.text("terminal"))
        self.assertEqual((int0.get_attribute("aria-pressed"), int0.get_attribute("aria-description")), ("true", "low"))
        page_kit.ActionChains(page.driver).release(int0).perform()
        page.wait_for(lambda: "P3.2 high" in page.text("terminal"))
        bad = os.path.join(self.chip.folder, "bad.hex")
        pathlib.Path(bad).write_text(":0100000001FF\n:00000001FF\n")
        page.start_load(bad)
        self.assertEqual(page.finish_load(), "Failed")
        no_violations(page, "a failed load")
        for width in (360, 768, 1280):
            page.driver.set_window_size(width, 900)
            fits = "return document.documentElement.scrollWidth <= innerWidth"
            tops = "return [...document.querySelectorAll('.part')].map((part) => part.getBoundingClientRect().top)"
            page.wait_for(lambda: page.driver.execute_script(fits), 5)
            load_top, terminal_top = page.driver.execute_script(tops)
            self.assertEqual(load_top == terminal_top, width == 1280, width)

    # The README's picture is the page as it is.
    def test_the_readme_picture_shows_the_page(self):
        from PIL import Image, ImageChops, ImageStat
        made = os.path.join(self.chip.folder, "page.png")
        page_kit.page_picture(PAGE, made, EXAMPLE)
        committed = os.path.join(SOURCE, "docs", "page.png")
        self.assertLess(os.path.getsize(committed), 100 * 1024)
        small = [Image.open(path).convert("L").resize((120, 80)) for path in (committed, made)]
        difference = ImageStat.Stat(ImageChops.difference(*small)).mean[0]
        self.assertLess(difference, 2, "the page no longer looks like docs/page.png: run scripts/page-picture")

    # Plain http from another machine, a browser without Web Serial, and a
    # chooser closed without a port, which is no error at all.
    def test_what_the_page_says_when_it_cannot_or_need_not(self):
        insecure = f"http://hexpush.test:{self.bridge.server_address[1]}/{os.path.basename(PAGE)}"
        for options, notice in [(dict(url=insecure, host_rules="MAP hexpush.test 127.0.0.1"), "not in a secure context"),
                                (dict(setup={"serial": False}), "has no Web Serial"),
                                (dict(setup={"granted": 0, "chooser": "cancel"}), "")]:
            page = self.page(**options)
            page.element("file").send_keys(EXAMPLE)
            for button in ("port", "load"):
                page.element("port").is_enabled() and page.element(button).click()
            time.sleep(0.5)
            self.assertEqual((page.log(), page.text("port-name")), ([], "virtual chip" if notice else "none chosen"))
            self.assertIn(notice, page.text("notice"))

    # No Web Serial at all: the chip inside the page takes a load at the
    # wire's pace, tells what it made of each line, and saves what it holds.
    def test_the_virtual_chip(self):
        page = self.page(setup={"serial": False})
        self.assertIn("real ports need Chrome, Edge or Opera", page.text("notice"))
        lines = pathlib.Path(EXAMPLE).read_text().splitlines()
        bad, past = (os.path.join(self.chip.folder, name) for name in ("bad.hex", "past.hex"))
        pathlib.Path(bad).write_text("\n".join(lines[:2] + [lines[2][:-2] + "%02X" % (int(lines[2][-2:], 16) ^ 1)] + lines[3:]))
        pathlib.Path(past).write_text(":020000040000FA\n:103FF8000102030405060708090A0B0C0D0E0F1031\n:00000001FF\n")
        accounts = [(bad, "line 3 rejected with C: checksum mismatch"),
                    (past, "line 2 rejected with A: address 0x3FF8-0x4007 out of the chip's 16384-byte memory")]
        for file, rejected in accounts:
            page.start_load(file)
            self.assertEqual((page.finish_load(), page.log()[3:5]), ("Failed", [["out", "C" if file == bad else "A"], ["out", "Load failed"]]))
            self.assertEqual([line for kind, line in page.log() if kind == "chip"][0], rejected)
        big = os.path.join(self.chip.folder, "big.hex")
        subprocess.run(["srec_cat", "-generate", "0", "0x3000", "-random", "-o", big, "-Intel"], check=True)
        page.start_load(big, 115200)
        self.assertEqual(page.finish_load(cancel=lambda: int(page.element("bar").get_attribute("value")) > 10), "Cancelled")
        self.assertEqual(page.log()[-1], ["chip", "no end-of-file record: the load did not finish"])
        def load_partly_hidden():  # behind another tab for most of it
            page.start_load(EXAMPLE, 2400)
            page.hidden_while(lambda: time.sleep(3))
            return page.finish_load()
        for attempt in range(10):  # made again when the page was kept from running
            _, elapsed = page_kit.timed(load_partly_hidden)
            chip_seconds, wire_seconds, *_ = map(float, page.driver.execute_script("return chip.figures()").split())
            if chip_seconds <= 1.1 * wire_seconds or not page.driver.execute_script("return chip.keptMillis"):
                break
            print(f"run again: the page was kept from running ({chip_seconds:.2f} s of {wire_seconds:.2f})", flush=True)
        self.assertEqual(page.log()[:4], [["out", line] for line in FOUR_LINES])
        # (An echo overlaps the host's next byte: the wire's sum is a byte or two over.)
        self.assertTrue(0.99 * wire_seconds <= min(chip_seconds, elapsed) and chip_seconds <= 1.1 * wire_seconds, (chip_seconds, wire_seconds, elapsed))
        self.assertRegex(page.log()[-3][1], r"^load: 22 lines, 245 data bytes, 0x0000-0x00F4, [\d.]+ s at 2400 baud, 0 rejected$")
        self.assertEqual(page.log()[-2][1][:32], "Open terminal to run the program")
        saved = page.saved("save-memory", "chip-memory.hex")
        subprocess.run([os.path.join(SOURCE, "scripts", "check-image"), EXAMPLE, saved], check=True)

    # After a clean load the chip runs its program: the terminal shows what
    # it sends at its speed, and says so at another; the pins light as the
    # program drives them; the chip keeps the crystal's time behind another
    # tab, and the page answers clicks.
    def test_the_virtual_chip_runs_its_program(self):
        page = self.page(setup={"serial": False})
        page.element("terminal-toggle").click()
        page.wait_for(lambda: "holds no program yet" in page.text("terminal"))
        page.start_load(EXAMPLE, 115200)
        self.assertEqual(page.finish_load(), "Done")
        page.driver.execute_script("""window.changes = 0; const light = [...document.querySelectorAll('.pin')][8];
            new MutationObserver(() => ++changes).observe(light, {attributeFilter: ['data-level']});""")
        page.element("terminal-toggle").click()
        page.wait_for(lambda: page.text("terminal").count("hello from the DS89C420") >= 3)
        page.wait_for(lambda: page.driver.execute_script("return changes") >= 2)
        for attempt in range(10):  # made again when the page was kept from running
            opened = page.driver.execute_script("return performance.now() - runner.chipMillis")
            shown = page.driver.execute_script("return runner.droppedMillis")
            page.hidden_while(lambda: time.sleep(3))
            time.sleep(1.5)  # a timer set while hidden fires at the second
            behind = page.driver.execute_script(f"return performance.now() - {opened} - runner.chipMillis")
            if abs(behind) < 50 or page.driver.execute_script("return runner.droppedMillis") == shown:
                break
            print(f"run again: the page was kept from running ({behind:.0f} ms behind)", flush=True)
        self.assertLess(abs(behind), 50, "chip time fell behind the page's")
        page.element("terminal-toggle").click()
        Select(page.element("terminal-speed")).select_by_visible_text("115200")
        page.element("terminal-toggle").click()
        page.wait_for(lambda: "[The program sends at 9600 baud, the terminal is at 115200: nothing crosses until they match." in page.text("terminal"))
        self.assertNotIn("hello", page.text("terminal").split("[virtual chip open at 115200 baud")[1])

        # A program that never rests, and clicks the page answers meanwhile.
        int0 = page.element("P3.2")
        page.driver.execute_script("window.delays = []; for (const pin of document.querySelectorAll('.pin'))"
                                   " pin.addEventListener('pointerdown', (e) => delays.push(performance.now() - e.timeStamp))")
        waits = []
        for _ in range(20):
            waits.append(page.cpu_wait_ms())
            page_kit.ActionChains(page.driver).click(int0).perform()
            time.sleep(0.05)
        delays = page.driver.execute_script("return delays")
        self.assertTrue(answered_in_time(delays, waits + [page.cpu_wait_ms()]), delays)
        # Load takes the chip back to its loader.
        page.start_load(EXAMPLE, 115200)
        self.assertEqual(page.finish_load(), "Done")
        self.assertFalse(int0.is_enabled())

    def test_a_port_that_will_not_open(self):
        page = self.page(setup={"openFails": True})
        page.start_load(EXAMPLE)
        self.assertEqual(page.finish_load(), "Failed")
        self.assertEqual(page.log(), [
            ["out", "Getting loader prompt..."],
            ["err", "USB 0403:6001: Failed to open serial port."],
            ["err", "USB 0403:6001: if another program (a terminal, or this page in another tab) has it "
                    "open, close that and try again"],
            ["err", "USB 0403:6001: on Linux, if you may not open it, join its group with 'sudo usermod "
                    "-aG dialout $USER', then log in again"],
            ["out", "No 420 Loader found"]])

    # Changed since it was chosen, a file cannot be read: said in the
    # browser's words, but for one over 16 MiB, refused before it is read.
    def test_a_file_that_cannot_be_read_or_is_too_large(self):
        for name, size, said in [("changed.hex", 0, r"\w.*\."), ("huge.hex", 16 * 1024 * 1024 + 1, "more than 16777216 bytes")]:
            page, path = self.page(), os.path.join(self.chip.folder, name)
            shutil.copy(EXAMPLE, path)
            os.truncate(path, size or os.path.getsize(path))
            page.element("file").send_keys(path)
            # Changed once the browser holds the file as it was (it takes it in
            # its own time, later on a busy machine), in size and in time.
            chosen = "const f = document.getElementById('file').files[0]; return f ? f.size : -1"
            page.wait_for(lambda: page.driver.execute_script(chosen) == os.path.getsize(path), 30)
            with open(path, "a") as file:
                file.write(":00000001FF\n")
            os.utime(path, (time.time() + 5, time.time() + 5))
            page.element("load").click()
            self.assertEqual(page.finish_load(), "Failed")
            self.assertRegex(str(page.log()), rf"^\[\['err', '{name}: {said}'\]\]$")
        self.assertNotIn("load:", self.chip.reported(), "the chip was woken for a file that was not read")

    # From disk the page has no origin to share with the bridge: its policy
    # is set aside for the test double's connection alone.
    def test_opened_from_disk(self):
        page = self.page(f"file://{PAGE}", setup={"bridge": self.bridge.origin}, bypass_csp=True)
        self.expect_loaded(page, EXAMPLE, self.load(page, EXAMPLE))


if __name__ == "__main__":
    if page_kit.problem():
        skip_because(page_kit.problem())
    if not os.path.exists(PAGE):
        skip_because(f"no page at {PAGE}: scripts/build-web did not build it")
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
