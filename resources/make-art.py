#!/usr/bin/env python3
"""Draws the program's pictures with ImageMagick 6 (`convert`).

    python3 resources/make-art.py [picture ...]    # logo stage icons; default: all

Writes into the directory of this script: logo.png, stage.jpg, kalu32.png,
kalu.png, icons/hicolor/<N>x<N>/apps/kalu.png and the scalable
icons/hicolor/scalable/apps/kalu.svg. The icon geometry is written out both as
SVG and as ImageMagick drawing commands, rather than rasterising the SVG,
because ImageMagick's built-in SVG renderer is too rough for it. Everything is
drawn from fixed numbers, so a rerun gives the same files byte for byte.
Needs the DejaVu fonts (fonts-dejavu-core).
"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CONVERT = "convert"
WINDOW_GREEN = "rgb(0,128,0)"
BOLD_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"


def run(*args):
    subprocess.run([CONVERT, *[str(a) for a in args]], check=True)


def out(name):
    return os.path.join(HERE, name)


# --------------------------------------------------------------------- logo

def sky_with_clouds(w, h, clouds, tmp):
    """A blue sky gradient with soft white clouds; clouds are lists of
    (cx, cy, r) puffs. Returns the file name of the w x h picture."""
    mask = os.path.join(tmp, "cloudmask.png")
    draw = []
    for cloud in clouds:
        for cx, cy, r in cloud:
            draw.append(f"circle {cx},{cy} {cx + r},{cy}")
    run("-size", f"{w}x{h}", "xc:black", "-fill", "white",
        "-draw", " ".join(draw), "-blur", "0x2", mask)
    sky = os.path.join(tmp, "sky.png")
    # The cloud body is a pale blue-grey; a highlight, the mask shifted up and
    # blurred, whitens its upper side so that the puffs read as round.
    run("-size", f"{w}x{h}", "gradient:rgb(25,95,210)-rgb(150,205,255)",
        "(", "-size", f"{w}x{h}", "xc:rgb(200,215,235)", mask,
        "-alpha", "off", "-compose", "CopyOpacity", "-composite", ")",
        "-compose", "Over", "-composite",
        "(", "-size", f"{w}x{h}", "xc:white",
        "(", mask, "-roll", f"+0-{h // 25}", mask, "-compose", "Multiply",
        "-composite", "-blur", "0x5", ")",
        "-alpha", "off", "-compose", "CopyOpacity", "-composite", ")",
        "-compose", "Over", "-composite", sky)
    return sky


def make_logo():
    # Drawn four times larger and reduced, for clean edges at 97 x 51.
    s = 4
    w, h = 97 * s, 51 * s
    with tempfile.TemporaryDirectory() as tmp:
        text = os.path.join(tmp, "text.png")
        run("-background", "black", "-fill", "white", "-font", BOLD_FONT,
            "-pointsize", 200, "label:KALU", "-trim", "+repage",
            "-resize", f"{w - 8 * s}x{h - 8 * s}!",
            "-gravity", "center", "-extent", f"{w}x{h}", text)
        clouds = [
            [(40, 150, 26), (70, 130, 34), (105, 145, 28), (80, 160, 24)],
            [(120, 60, 22), (150, 45, 30), (185, 58, 24), (160, 70, 20)],
            [(215, 150, 24), (245, 128, 32), (280, 142, 26), (250, 160, 22)],
            [(300, 50, 20), (330, 36, 28), (362, 52, 22), (335, 64, 18)],
            [(20, 40, 16), (40, 30, 20), (58, 42, 14)],
            [(200, 100, 12), (216, 92, 15), (232, 102, 11)],
        ]
        sky = sky_with_clouds(w, h, clouds, tmp)
        run("-size", f"{w}x{h}", f"xc:{WINDOW_GREEN}",
            # outline: the letters widened, in a deep navy
            "(", "-size", f"{w}x{h}", "xc:rgb(0,35,80)",
            "(", text, "-morphology", "Dilate", f"Disk:{s * 1.2}", ")",
            "-alpha", "off", "-compose", "CopyOpacity", "-composite", ")",
            "-compose", "Over", "-composite",
            "(", sky, text, "-alpha", "off", "-compose", "CopyOpacity",
            "-composite", ")",
            "-compose", "Over", "-composite",
            "-filter", "Box", "-resize", "25%", "-depth", 8,
            "-strip", "-type", "TrueColor", "-define", "png:color-type=2",
            out("logo.png"))


# -------------------------------------------------------------------- stage

STAGE_W, STAGE_H = 321, 240
FLOOR_Y = 150          # where the wall meets the floor
SS = 3                 # drawn at three times the size, then reduced


def mvg(*lines):
    return "\n".join(lines) + "\n"


def ctx(*lines):
    return mvg("push graphic-context", *lines, "pop graphic-context")


def stage_room():
    """The yellow wall, the skirting board and the plank floor."""
    vx, vy = 140, -260               # vanishing point of the plank seams

    def at(x, y):
        """Where the seam that meets the bottom edge at x crosses height y."""
        return vx + (x - vx) * (y - vy) / (STAGE_H - vy)

    parts = [
        "fill rgb(246,206,72)", f"rectangle 0,0 {STAGE_W},{FLOOR_Y}",
        # a darker band along the top: the wall recedes into the dark
        "fill rgb(226,178,52)", f"rectangle 0,0 {STAGE_W},10",
        "fill rgb(236,192,60)", f"rectangle 0,10 {STAGE_W},18",
    ]
    plank_colours = ["rgb(176,112,56)", "rgb(160,98,46)", "rgb(186,122,62)",
                     "rgb(168,106,52)"]
    xs = list(range(-200, 560, 40))  # seams along the bottom edge
    for i in range(len(xs) - 1):
        parts += [f"fill {plank_colours[i % 4]}",
                  f"polygon {at(xs[i], FLOOR_Y):.1f},{FLOOR_Y} {at(xs[i + 1], FLOOR_Y):.1f},{FLOOR_Y} "
                  f"{xs[i + 1]},{STAGE_H} {xs[i]},{STAGE_H}"]
    parts += ["stroke rgb(105,62,28)", "stroke-width 0.8", "fill none"]
    parts += [f"line {at(x, FLOOR_Y):.1f},{FLOOR_Y} {x},{STAGE_H}" for x in xs]
    # butt joints across the planks, staggered
    for i in range(len(xs) - 1):
        y = FLOOR_Y + 12 + (i * 23) % 70
        parts.append(f"line {at(xs[i], y):.1f},{y} {at(xs[i + 1], y):.1f},{y}")
    parts += ["stroke none",
              "fill rgb(120,70,30)", f"rectangle 0,{FLOOR_Y - 6} {STAGE_W},{FLOOR_Y}",
              "fill rgb(150,92,42)", f"rectangle 0,{FLOOR_Y - 6} {STAGE_W},{FLOOR_Y - 4}"]
    return mvg(*parts)


def guitar():
    """An acoustic guitar, drawn upright about the bottom of its body and
    turned so that it leans against the wall."""
    body = "rgb(222,152,62)"
    edge = "rgb(96,50,16)"
    return ctx(
        "translate 128,196", "rotate 14",
        # body: lower bout, upper bout and the waist between them
        f"fill {edge}",
        "ellipse 0,-30 33,31 0,360", "ellipse 0,-78 25,24 0,360",
        "rectangle -21,-64 21,-44",
        f"fill {body}",
        "ellipse 0,-30 31,29 0,360", "ellipse 0,-78 23,22 0,360",
        "path 'M -23,-66 Q -16,-55 -25,-44 L 25,-44 Q 16,-55 23,-66 Z'",
        # a lighter sheen on the top
        "fill rgb(240,184,96)", "fill-opacity 0.7",
        "ellipse -10,-36 12,16 0,360", "ellipse -8,-82 8,10 0,360",
        "fill-opacity 1",
        # sound hole with rosette
        "fill none", "stroke rgb(120,70,26)", "stroke-width 3",
        "circle 0,-60 0,-47",
        "stroke none", "fill rgb(40,22,10)", "circle 0,-60 0,-50",
        # bridge and saddle
        "fill rgb(70,36,14)", "roundrectangle -13,-26 13,-19 2,2",
        "fill rgb(235,225,200)", "rectangle -9,-24 9,-23",
        # neck, fretboard, frets
        "fill rgb(110,62,26)", "rectangle -6,-150 6,-98",
        "fill rgb(50,30,18)", "rectangle -5,-150 5,-75",
        "stroke rgb(210,205,190)", "stroke-width 0.7",
        *[f"line -5,{y} 5,{y}" for y in range(-144, -76, 8)],
        "stroke none", "fill rgb(240,236,220)",
        "circle 0,-112 0,-111", "circle 0,-96 0,-95", "circle 0,-128 0,-127",
        # nut and headstock with tuning pegs
        "fill rgb(235,225,200)", "rectangle -5,-152 5,-150",
        f"fill {edge}",
        "path 'M -6,-152 L -8,-172 Q 0,-178 8,-172 L 6,-152 Z'",
        "fill rgb(200,200,205)",
        *[f"circle {sx * 10},{y} {sx * 10 + 2},{y}"
          for sx in (-1, 1) for y in (-157, -162, -167)],
        # strings
        "stroke rgb(235,235,225)", "stroke-width 0.4",
        *[f"line {x:.1f},-23 {x * 0.55:.1f},-151" for x in (-5, -3, -1, 1, 3, 5)],
    )


def note_head(x, y):
    return (f"push graphic-context\ntranslate {x},{y}\nrotate -22\n"
            "ellipse 0,0 5.2,3.8 0,360\npop graphic-context")


def quaver(x, y, stem=19):
    """A quaver whose head is centred on (x, y), stem up, flag to the right."""
    sx, top = x + 4.6, y - stem
    return [note_head(x, y), "stroke-width 1.6", f"line {sx},{y - 1} {sx},{top}",
            "stroke none",
            f"path 'M {sx},{top} C {sx + 1},{top + 6} {sx + 9},{top + 7} "
            f"{sx + 6},{top + 15} C {sx + 6},{top + 9} {sx + 2},{top + 8} "
            f"{sx},{top + 7} Z'"]


def music_notes():
    """Red notes rising from the microphone towards the upper left."""
    red = "rgb(214,28,40)"
    parts = [f"fill {red}", f"stroke {red}", "stroke-linecap round", "stroke none"]
    parts += quaver(50, 47)
    # a beamed pair of quavers
    parts += [note_head(22, 40), note_head(36, 34), "stroke-width 1.6",
              "line 26.6,39 26.6,19", "line 40.6,33 40.6,13", "stroke none",
              "polygon 25.8,19 41.4,12.5 41.4,17 25.8,23.5"]
    # a smaller one, highest and furthest away
    parts += ["push graphic-context", "translate 10,22", "scale 0.75,0.75",
              "translate -10,-22", *quaver(10, 22), "pop graphic-context"]
    return mvg(*parts)


def mic_stand():
    """A microphone stand on a tripod, the microphone tilted up and left."""
    metal = "rgb(60,60,66)"
    return mvg(
        "stroke-linecap round",
        # tripod legs
        f"stroke {metal}", "stroke-width 2.4",
        "line 78,170 62,202", "line 78,170 96,202", "line 78,170 80,192",
        # pole: lower tube, clamp, upper tube
        "stroke-width 3.2", "line 78,172 78,118",
        "stroke-width 2.2", "line 78,118 78,82",
        "stroke none", "fill rgb(30,30,34)", "roundrectangle 75,115 81,121 1,1",
        # clip and microphone
        "push graphic-context", "translate 78,82", "rotate -28",
        "fill rgb(30,30,34)", "roundrectangle -2.5,-6 2.5,2 1,1",
        "fill rgb(40,40,46)", "path 'M -3.2,-6 L -4.6,-22 L 4.6,-22 L 3.2,-6 Z'",
        "fill rgb(150,152,160)", "ellipse 0,-27 7,8 0,360",
        "stroke rgb(95,97,105)", "stroke-width 0.6",
        "line -6,-27 6,-27", "line 0,-34 0,-20", "line -4.5,-32 4.5,-32",
        "line -4.5,-22 4.5,-22",
        "stroke none", "fill rgb(225,228,235)", "ellipse -2.5,-30 2,2.5 0,360",
        "pop graphic-context",
        # a cable down the pole, lying on the floor
        "fill none", "stroke rgb(25,25,28)", "stroke-width 1.2",
        # ImageMagick 6 closes an open stroked path drawn under "affine", so
        # the cable runs there and back.
        "path 'M 79,100 C 83,130 83,170 78,192 C 74,210 40,214 0,222 "
        "C 40,214 74,210 78,192 C 83,170 83,130 79,100 Z'",
    )


def bar_stool():
    """A wooden bar stool with a red cushion, standing on the right."""
    wood = "rgb(120,66,28)"
    wood_dark = "rgb(86,44,18)"
    return mvg(
        "stroke-linecap round",
        # back legs, then the footrest ring, then the front legs
        f"stroke {wood_dark}", "stroke-width 4",
        "line 220,124 216,188", "line 262,124 266,188",
        "fill none", "stroke-width 3", "ellipse 241,168 26,6 0,360",
        f"stroke {wood}", "stroke-width 5",
        "line 226,127 210,206", "line 256,127 272,206",
        # seat: wooden rim, cushion, highlight
        "stroke none", f"fill {wood_dark}", "ellipse 241,124 31,9 0,360",
        f"fill {wood}", "rectangle 210,118 272,124", "ellipse 241,118 31,9 0,360",
        "fill rgb(178,30,36)", "ellipse 241,115 28,8 0,360",
        "fill rgb(215,70,72)", "ellipse 234,113 14,3.5 0,360",
    )


def shadows():
    """Soft dark patches where the objects stand, drawn before them."""
    return mvg(
        "fill rgb(90,50,20)", "fill-opacity 0.45",
        "ellipse 131,198 38,6 0,360",     # guitar
        "ellipse 80,203 24,4 0,360",      # tripod
        "ellipse 242,207 40,6 0,360",     # stool
        "fill rgb(170,125,30)", "fill-opacity 0.28",
        # the guitar's shadow on the wall, cast by a light from the upper left
        "push graphic-context", "translate 140,152", "rotate 19", "scale 1,0.92",
        "ellipse 0,-28 30,26 0,360", "ellipse 0,-74 22,20 0,360",
        "rectangle -5,-150 5,-90", "pop graphic-context",
    )


def make_stage():
    W, H = STAGE_W * SS, STAGE_H * SS
    with tempfile.TemporaryDirectory() as tmp:
        # ImageMagick's default policy forbids "-draw @file": pass the text.
        scale = f"affine {SS},0,0,{SS},0,0\n"
        scene = scale + stage_room() + shadows()
        objects = (scale + ctx(guitar()) + ctx(mic_stand()) + ctx(bar_stool())
                   + ctx(music_notes()))
        room = os.path.join(tmp, "room.png")
        run("-size", f"{W}x{H}", "xc:white", "-draw", scene,
            "-blur", "0x1.2", room)
        # A spotlight from above: a soft bright pool on wall and floor, dimmer
        # towards the corners.
        light = os.path.join(tmp, "light.png")
        run("-size", f"{W * 2}x{H * 2}", "radial-gradient:rgb(255,255,240)-rgb(120,110,100)",
            "-crop", f"{W}x{H}+{int(W * 0.62)}+{int(H * 0.7)}", "+repage", light)
        run(room, light, "-compose", "Multiply", "-composite",
            "-draw", objects,
            "-resize", f"{STAGE_W}x{STAGE_H}!", "-strip",
            "-sampling-factor", "4:2:0", "-interlace", "None", "-quality", 90,
            out("stage.jpg"))


# -------------------------------------------------------------------- icons
#
# The icon is a green rounded square with a white satellite dish and a small
# programme grid. Two geometries: a detailed one on a 256 grid (48 px and up,
# and the scalable SVG) and a plainer one on a 16 grid whose edges fall on
# whole pixels (16 to 32 px), so that the small sizes stay crisp. Shapes:
# ("rrect", x0, y0, x1, y1, r, style), ("path", d, style),
# ("circle", cx, cy, r, style); style holds fill and optionally opacity. Open
# stroked paths are avoided: ImageMagick 6 closes them under "affine".

ICON_SIZES = [16, 22, 24, 32, 48, 64, 128, 256]
GREEN_LIGHT, GREEN, GREEN_EDGE = "#2fae45", "#007a00", "#005200"
WHITE = {"fill": "#ffffff"}
DISH_INSIDE = {"fill": "#d2e2d6"}
PICKED = {"fill": "#ffe14a"}
K = 0.70710678                      # cos 45°


def frame(g, m, edge, corner):
    """The rounded square on a g x g grid, m in from its edges, with a lighter
    upper half."""
    return [("rrect", m, m, g - m, g - m, corner, {"fill": GREEN_EDGE}),
            ("rrect", m + edge, m + edge, g - m - edge, g - m - edge, corner - edge,
             {"fill": GREEN}),
            ("path", top_rounded(m + edge, m + edge, g - m - edge, g * 0.58, corner - edge),
             {"fill": GREEN_LIGHT, "opacity": 0.55})]


def top_rounded(x0, y0, x1, y1, r):
    return (f"M {x0:g},{y1:g} L {x0:g},{y0 + r:g} A {r:g},{r:g} 0 0 1 {x0 + r:g},{y0:g} "
            f"L {x1 - r:g},{y0:g} A {r:g},{r:g} 0 0 1 {x1:g},{y0 + r:g} L {x1:g},{y1:g} Z")


def dish(cx, cy, r, depth, arm, knob, post, foot, inside=True):
    """A dish facing the upper right: a half-ellipse whose flat side runs from
    upper left to lower right, its back bulging to the lower left, with the
    feed on an arm and a post down to a foot (x0, y0, x1, y1)."""
    p1 = (cx - r * K, cy - r * K)
    p2 = (cx + r * K, cy + r * K)
    back = (cx - depth * K, cy + depth * K)
    focus = (cx + (r * 0.85) * K, cy - (r * 0.85) * K)
    fx0, fy0, fx1, fy1 = foot
    h = arm / 2 * K
    pt = lambda x, y: f"{x:.2f},{y:.2f}"
    return [
        ("path", f"M {pt(back[0] - post * K, back[1] - post * K * 0.5)} "
                 f"L {pt(back[0] + post * K, back[1] + post * K * 0.5)} "
                 f"L {pt(fx0 + (fx1 - fx0) * 0.78, fy0)} L {pt(fx0 + (fx1 - fx0) * 0.22, fy0)} Z",
         WHITE),
        ("rrect", fx0, fy0, fx1, fy1, (fy1 - fy0) / 2.5, WHITE),
        ("path", f"M {pt(*p1)} A {r},{depth} 45 0 0 {pt(*p2)} Z", WHITE),
        *([("path", f"M {pt(*p1)} A {r},{depth * 0.35} 45 0 0 {pt(*p2)} "
                     f"A {r},{depth * 0.35} 45 0 0 {pt(*p1)} Z", DISH_INSIDE)] if inside else []),
        ("path", f"M {pt(cx - h, cy - h)} L {pt(cx + h, cy + h)} "
                 f"L {pt(focus[0] + h, focus[1] + h)} L {pt(focus[0] - h, focus[1] - h)} Z", WHITE),
        ("circle", focus[0], focus[1], knob, WHITE),
    ]


def grid(x, y, n, size, step, r):
    cells = []
    for row in range(n):
        for col in range(n):
            style = PICKED if (row, col) == (n // 2, n // 2) else WHITE
            cx, cy = x + col * step, y + row * step
            cells.append(("rrect", cx, cy, cx + size, cy + size, r, style))
    return cells


def icon_large():
    return 256, (frame(256, 8, 6, 48)
                 + dish(92, 98, 62, 40, 14, 14, 8, (44, 190, 112, 208))
                 + grid(142, 142, 3, 22, 29, 4))


def icon_small():
    # A 2 x 2 grid with the picked cell at the lower right, one-pixel gaps.
    cells = [("rrect", 9, 9, 11, 11, 0.4, WHITE), ("rrect", 12, 9, 14, 11, 0.4, WHITE),
             ("rrect", 9, 12, 11, 14, 0.4, WHITE), ("rrect", 12, 12, 14, 14, 0.4, PICKED)]
    return 16, (frame(16, 0, 1, 3.5)
                # no shaded inside: at 16 px it only blurs the bowl
                + dish(5.4, 5.6, 4.4, 3.0, 1.3, 1.3, 0.7, (2, 12.5, 7, 14), inside=False)
                + cells)


def icon_mvg(design, size):
    g, shapes = design
    s = size / g
    lines = [f"affine {s},0,0,{s},0,0", "stroke none"]
    for kind, *args, style in shapes:
        lines += [f"fill {style['fill']}", f"fill-opacity {style.get('opacity', 1)}"]
        if kind == "rrect":
            x0, y0, x1, y1, r = args
            lines.append(f"roundrectangle {x0},{y0} {x1},{y1} {r},{r}")
        elif kind == "circle":
            x, y, r = args
            lines.append(f"circle {x:.2f},{y:.2f} {x + r:.2f},{y:.2f}")
        else:
            lines.append(f"path '{args[0]}'")
    return "\n".join(lines) + "\n"


def icon_svg(design):
    g, shapes = design
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             f'<svg xmlns="http://www.w3.org/2000/svg" width="{g}" height="{g}" viewBox="0 0 {g} {g}">',
             "  <title>Kalu</title>"]
    for kind, *args, style in shapes:
        paint = f'fill="{style["fill"]}"'
        if "opacity" in style:
            paint += f' fill-opacity="{style["opacity"]}"'
        if kind == "rrect":
            x0, y0, x1, y1, r = args
            lines.append(f'  <rect x="{x0:g}" y="{y0:g}" width="{x1 - x0:g}" height="{y1 - y0:g}" '
                         f'rx="{r:g}" {paint}/>')
        elif kind == "circle":
            x, y, r = args
            lines.append(f'  <circle cx="{x:.2f}" cy="{y:.2f}" r="{r:g}" {paint}/>')
        else:
            lines.append(f'  <path d="{args[0]}" {paint}/>')
    lines.append("</svg>")
    return "\n".join(lines) + "\n"


def render_icon(design, n, tmp):
    """Draws the design at 8 x n and reduces it, for smooth edges."""
    big = os.path.join(tmp, f"icon{n}.png")
    run("-size", f"{8 * n}x{8 * n}", "xc:none", "-draw", icon_mvg(design, 8 * n),
        "-filter", "Box", "-resize", f"{n}x{n}", big)
    return big


def make_icons():
    large, small = icon_large(), icon_small()
    scalable = out("icons/hicolor/scalable/apps")
    os.makedirs(scalable, exist_ok=True)
    with open(os.path.join(scalable, "kalu.svg"), "w") as f:
        f.write(icon_svg(large))
    with tempfile.TemporaryDirectory() as tmp:
        for n in ICON_SIZES:
            d = out(f"icons/hicolor/{n}x{n}/apps")
            os.makedirs(d, exist_ok=True)
            picture = render_icon(small if n <= 32 else large, n, tmp)
            run(picture, "-depth", 8, "-strip", "PNG32:" + os.path.join(d, "kalu.png"))
        run(render_icon(large, 256, tmp), "-depth", 8, "-strip", "PNG32:" + out("kalu.png"))
        # The window icon in the manner of a 16-colour icon: binary
        # transparency and a palette of 16 entries.
        run(render_icon(small, 32, tmp), "-channel", "A", "-threshold", "50%", "+channel",
            "+dither", "-colors", 16, "-strip", "-define", "png:bit-depth=4",
            "PNG8:" + out("kalu32.png"))


PICTURES = {"logo": make_logo, "stage": make_stage, "icons": make_icons}


def main(argv):
    names = argv[1:] or list(PICTURES)
    for name in names:
        PICTURES[name]()


if __name__ == "__main__":
    main(sys.argv)
