#!/usr/bin/python3
"""How fast the virtual chip's processor runs: a CPU-bound program run by s51
and by hexpush-sim --run, side by side, in instructions a second of wall
time; and the page's chip running the bundled example flat out in headless
Chromium, in crystal clocks a second of wall time, while the page answers a
click every 100 ms.
    bench/chip_bench.py HEXPUSH_SIM PAGE PROGRAM.hex REPEATS RESULTS_FILE|-"""
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

SIM, PAGE, PROGRAM = map(os.path.abspath, sys.argv[1:4])
REPEATS, RESULTS = int(sys.argv[4]), sys.argv[5]
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "runner", "browser"))
import page_kit  # noqa: E402


def timed(command, **options):
    start = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True, **options)
    return done, time.monotonic() - start


def run_both():
    """Seconds each took, the instructions the chip counted, and whether both sent the same."""
    with tempfile.NamedTemporaryFile() as sent:
        _, s51_seconds = timed(["s51", "-t", "8052", "-b", "-I", "if=xram[0xffff]", "-S", f"out={sent.name}", PROGRAM],
                               input="run\nquit\n")
        s51_sent = sent.read().decode()
    ours, our_seconds = timed([SIM, "--run", PROGRAM], stdin=subprocess.DEVNULL)
    instructions = int(re.search(r"s of chip time at [\d.]+ MHz, (\d+) instructions", ours.stderr).group(1))
    return s51_seconds, our_seconds, instructions, ours.stdout == s51_sent


def page_flat_out(seconds=5):
    """The page's chip running the example flat out: clocks a second, and
    the longest a click waited for the page."""
    bridge = page_kit.Bridge(os.path.dirname(PAGE), "/dev/null")
    page = page_kit.Page(f"{bridge.origin}/{os.path.basename(PAGE)}", setup={"serial": False})
    try:
        page.start_load(os.path.join(SOURCE, "examples", "blink.hex"), 115200)
        page.finish_load()
        page.element("terminal-toggle").click()
        page.driver.execute_script("""window.delays = [];
            for (const pin of document.querySelectorAll('.pin'))
              pin.addEventListener('pointerdown', (e) => delays.push(performance.now() - e.timeStamp));
            runner.flatOut = true; window.from = [performance.now(), runner.chipMillis];""")
        pin = page.driver.find_element(page_kit.By.XPATH, "//button[text()='P3.2']")
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            page_kit.ActionChains(page.driver).click(pin).perform()
            time.sleep(0.1)
        wall, chip, delays = page.driver.execute_script(
            "return [performance.now() - from[0], runner.chipMillis - from[1], delays]")
        return chip * 11059.2 / wall * 1000, max(delays)
    finally:
        page.quit()
        bridge.shutdown()


def main():
    runs = [run_both() for _ in range(REPEATS)]
    s51 = statistics.median(run[0] for run in runs)
    ours = statistics.median(run[1] for run in runs)
    instructions = runs[0][2]
    same = all(run[3] for run in runs)
    clocks, longest = page_flat_out()
    table = [
        "| case | runs | instructions | s51 s, median | hexpush-sim s, median | s51 M/s | hexpush-sim M/s | ratio | output |",
        "|---|---|---|---|---|---|---|---|---|",
        f"| CRC-32 of 4 KiB, 24 times (bench/crc32.c) | {REPEATS} | {instructions} | {s51:.2f} | {ours:.3f} | "
        f"{instructions / s51 / 1e6:.1f} | {instructions / ours / 1e6:.1f} | {s51 / ours:.1f} | {'the same' if same else 'DIFFERS'} |",
        "",
        "| case | seconds | crystal clocks a second, millions | longest a click waited, ms |",
        "|---|---|---|---|",
        f"| the page's chip flat out, the example running (Chromium) | 5 | {clocks / 1e6:.1f} | {longest:.1f} |",
    ]
    print("\n".join(table))
    if RESULTS != "-":
        with open(RESULTS, "a") as out:
            out.write("\n".join(table) + "\n")


main()
