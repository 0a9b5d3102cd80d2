#!/usr/bin/env python3
"""The exit button "終了" ends kalu at once, with code 0, both windows gone."""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

EXIT_BUTTON_CENTRE = (448 + 36, 56 + 8)  # Button1: (448, 56), 73 x 17


def scenario(run):
    run.start_site()
    kalu = run.start_kalu()
    window = run.wait_main_window()
    run.check(harness.find_windows("^Form2$") != [], "the start-up message window is up behind the main window")

    asked = time.monotonic()
    window.click(*EXIT_BUTTON_CENTRE)
    code = kalu.wait_exit(30)
    run.check(code == 0, "a click on 終了 ends kalu with exit code 0", f"code {code}")
    if code is not None:
        harness.say(f"-- kalu ended {time.monotonic() - asked:.1f} s after the click")
    run.check(kalu.group_gone(), "no process of kalu's outlives it")
    run.check(harness.find_windows(harness.MAIN_WINDOW_PATTERN) == [] and harness.find_windows("^Form2$") == [],
              "no window of kalu's is left on the screen")
    run.check(set(kalu.files()) <= {"kalumain.jpg"}, "the working folder holds nothing but kalumain.jpg",
              str(kalu.files()))


if __name__ == "__main__":
    sys.exit(harness.main("exit_button", scenario))
