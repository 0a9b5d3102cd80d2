#!/usr/bin/env python3
"""Start-up to exit, watched from outside: what kalu asks of the sites, where
its main window stands and what it shows, a click on a channel, and a close
request from the title bar's close box (WM_DELETE_WINDOW)."""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

MESSAGE = "/~kalu/cm/kalu/kalumsg.txt"
GUIDE = "/weekly/proglist/{}.pdf"


def scenario(run):
    site = run.start_site()
    kalu = run.start_kalu()
    window = run.wait_main_window()
    x, y, width, height = window.geometry()

    # (b) where the window stands and what its title bar says
    run.check((width, height) == (801, 573), "client area is 801 x 573", f"{width} x {height}")
    if harness.window_manager_running():
        harness.say("-- a window manager runs: its frame moves the client area, position not checked")
    else:
        run.check((x, y) == (1, 1), "client area's top-left is at (1, 1) (no window manager, no frame)",
                  f"({x}, {y})")
    caption = window.caption()
    credit = caption[len(harness.CAPTION_PREFIX):]
    run.check(caption.startswith(harness.CAPTION_PREFIX),
              "caption: title, U+3000, ＫＡLU．ｅｘｅ, 2 blanks, v1.04, 81 blanks", repr(caption))
    run.check(credit.strip() != "" and not credit[:1].isspace(),
              "caption: a credit follows the 81 blanks at once", repr(credit))

    # (c) the green window, the logo and the first guide
    band = (x, y + 150, x + width, y + 450)
    first, ok = run.wait_for_shot("startup", harness.rendered(band, min_colours=64))
    run.check(ok, "the first guide has rendered: the browser area y 150..450 is not uniform",
              f"{first.colours(*band)} colours")
    for cx, cy in ((4, 76), (530, 20), (614, 60), (800, 78)):
        run.check(first.pixel(x + cx, y + cy) == harness.GREEN, f"green RGB(0,128,0) at client ({cx}, {cy})",
                  str(first.pixel(x + cx, y + cy)))
    logo = (x + 616, y, x + 713, y + 51)
    not_green = sum(p != bytes(harness.GREEN) for p in first.region(*logo))
    run.check(not_green > 500, "the logo at (616..712, 0..50) is drawn", f"{not_green} pixels not green")
    run.check(first.pixel(x + 616 + 120, y + 20) == harness.GREEN,
              "right of the 97 px logo the banner box shows the window's green")
    # The resize rule makes the browser 801 x 493, not the layout's 800 x 465.
    green = bytes(harness.GREEN)
    right_column = (x + width - 1, y + 80, x + width, y + height)
    bottom_row = (x, y + height - 1, x + width, y + height)
    run.check(first.pixel(x + 4, y + 79) == harness.GREEN and first.pixel(x + 4, y + 80) != harness.GREEN
              and green not in set(first.region(*right_column)) and green not in set(first.region(*bottom_row)),
              "the browser fills the client area from y 80 to its right and bottom edges")

    # (a) what start-up asked of the sites
    paths = site.paths()
    weekly = [p for p in paths if p.startswith("/weekly/")]
    run.check(weekly == [GUIDE.format(401)], "start-up fetched /weekly/proglist/401.pdf once, no other guide",
              str(weekly))
    run.check(site.count(MESSAGE) == 2, "start-up fetched kalumsg.txt twice", f"{site.count(MESSAGE)} times")

    # (d) a click on "412": the grid selects it and the browser loads its guide
    cx, cy = harness.grid_cell_centre("412")
    window.click(cx, cy)
    run.check(site.wait_for(GUIDE.format(412), 10), "clicking 412 requested /weekly/proglist/412.pdf")
    second, ok = run.wait_for_shot("channel-412", harness.rendered(band, 64, unlike=first, min_changed=2000))
    run.check(ok, "the browser shows another document after the click",
              f"{second.differing(first, *band)} pixels changed")
    cell_401, cell_412 = (x + 9, y + 1), (x + 8 + 2 * 26 + 1, y + 1)
    run.check(first.pixel(*cell_401) != harness.GREEN and first.pixel(*cell_412) == harness.GREEN,
              "at start 401 is highlighted, 412 is not")
    run.check(second.pixel(*cell_412) != harness.GREEN and second.pixel(*cell_401) == harness.GREEN,
              "after the click 412 is highlighted, 401 is not")
    weekly = [p for p in site.paths() if p.startswith("/weekly/")]
    run.check(weekly == [GUIDE.format(401), GUIDE.format(412)], "one request per guide shown", str(weekly))

    # (e) the close box: kalu ends at once with code 0 and leaves nothing behind
    asked = time.monotonic()
    window.close_request()
    code = kalu.wait_exit(30)
    run.check(code == 0, "the close request ends kalu with exit code 0", f"code {code}")
    if code is not None:
        harness.say(f"-- kalu ended {time.monotonic() - asked:.1f} s after the close request, "
                    f"{time.monotonic() - kalu.started:.1f} s after its start")
    run.check(kalu.group_gone(), "no process of kalu's (the engine's helpers included) outlives it")
    files = kalu.files()
    run.check(set(files) <= {"kalumain.jpg"}, "the working folder holds nothing but kalumain.jpg", str(files))
    run.check(site.count(MESSAGE) == 2, "no further message fetch before exit")


if __name__ == "__main__":
    sys.exit(harness.main("startup", scenario))
