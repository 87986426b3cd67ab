#!/usr/bin/python3
"""A load through the web page, run as hexpush is run, so that the
end-to-end tables take the browser as one more build:
    hexpush_in_chromium.py PAGE (--version | PORT FILE [BAUD])
PORT is the virtual chip's pseudo-terminal, which the page reaches as its
Web Serial port; the page's log goes out as the program wrote it, standard
output's lines to standard output and standard error's to standard error,
and the run ends with the program's status. An interrupt is the page's
Cancel, and then ends the run as an interrupt ends hexpush.
    hexpush_in_chromium.py PAGE --virtual-chip FIGURES FILE BAUD
loads through the page's own virtual chip instead, and writes to FIGURES
the chip's figures (seconds from the wake-up to the close, the wire's
seconds, lines, microseconds its verdicts waited for the page) on one line,
then its memory as Intel HEX.
    hexpush_in_chromium.py --why-not
says why the page cannot be driven here, or nothing."""
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
try:
    import page_kit
except ImportError as missing:
    page_kit = None
    why_not = f"python3-selenium is not installed ({missing})"


def main(page_file, arguments):
    figures = arguments[1] if arguments[0] == "--virtual-chip" else None
    if figures:
        arguments = [None, *arguments[2:]]  # no port for the bridge to reach
    bridge = page_kit.Bridge(os.path.dirname(page_file), arguments[0] if arguments[1:] else None)
    page = page_kit.Page(f"{bridge.origin}/{os.path.basename(page_file)}")
    if figures:
        page.element("virtual-chip").click()
    network_waits = page.wire_cpu_waits()
    interrupted = []
    signal.signal(signal.SIGINT, lambda *_: interrupted.append(True))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        if arguments == ["--version"]:
            print(page.text("version"))
            return 0
        page.start_load(arguments[1], arguments[2] if arguments[2:] else None)
        if figures:  # timed: nothing but the page on its thread
            status = page.finish_load_unwatched()
        else:
            status = page.finish_load(cancel=lambda: interrupted and not interrupted.clear())
        for kind, line in page.log():
            if kind in ("out", "err"):
                print(line, file=sys.stdout if kind == "out" else sys.stderr, flush=True)
        # What every ending must leave: a full bar after a complete load,
        # and a log of text alone, whatever came from the wire.
        bar = page.element("bar").get_attribute("value")
        if status == "Done" and bar != "100":
            print(f"page: the bar shows {bar} % after a complete load", file=sys.stderr)
        if page.driver.execute_script("return document.querySelectorAll('#log * *').length"):
            print("page: the log holds markup", file=sys.stderr)
        if figures:
            with open(figures, "w") as out:
                out.write(page.driver.execute_script("return chip.figures() + '\\n' + chip.memoryHex()"))
        # The browser's threads, bar the page's own, carry the bridge's WebSocket.
        waited = bridge.kept_from_cpu_ms() + page.wire_cpu_wait_ms(since=network_waits)
        if waited >= 5:
            print(f"page: the test bridge waited {waited:.0f} ms for a CPU", file=sys.stderr)
    finally:
        page.quit()
    if status == "Cancelled":
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    return 0 if status == "Done" else 1


if __name__ == "__main__":
    if sys.argv[1:] == ["--why-not"]:
        sys.exit(print(page_kit.problem() if page_kit else why_not, end=""))
    sys.exit(main(sys.argv[1], sys.argv[2:]))
