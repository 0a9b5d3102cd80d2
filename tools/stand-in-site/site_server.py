#!/usr/bin/env python3
"""Loopback stand-in for the service's and the author's web sites.

One server answers for both: ServiceSite is http://127.0.0.1:PORT and
AuthorSite is http://127.0.0.1:PORT/~kalu. It serves the tree that
kalu-site-gen and `--write-text` produce, fills the server's own address into
the banner targets, sets a cookie on the banner pictures, logs every request
as one JSON line and can be switched into failure modes, on the command line
or while it runs through GET /__control?NAME=VALUE.

Python 3 standard library only.
"""

import argparse
import http.server
import json
import re
import signal
import sys
import threading
import time
import urllib.parse
from pathlib import Path

MESSAGE_LINES = [
    "ポルカミーナ応援隊をご利用いただき、ありがとうございます。",
    "v1.04 の新機能",
    "・chガイド：全100チャンネルの一覧を表示します。",
    "・先週ボタンで先週の番組表を表示します。",
    "表示ソフトの不具合・ご要望は作者ページまで。",
    "（お返事は月～金の夜になります）",
]

MESSAGE_PATH = "/~kalu/cm/kalu/kalumsg.txt"
BANNER_RE = re.compile(r"^/~kalu/cm/kalu/([0-9]+)\.jpg$")
TARGET_RE = re.compile(r"^/~kalu/cm/kalu/cm([0-9]+)\.txt$")
MOVED_PREFIX = "/~kalu/moved/"  # where the redirects point; always served plainly
CONTROL_PATH = "/__control"
SITE_PLACEHOLDER = b"@SITE@"

# name: (kind, help). "flag" takes on/off, "seconds" a stall length (0 is off).
MODES = {
    "missing-message": ("flag", "kalumsg.txt answers 404 Not Found"),
    "redirect-message": ("flag", "kalumsg.txt answers 302 Found with a Location"),
    "stall-message": ("seconds", "kalumsg.txt: accept, send nothing for SECONDS, then answer"),
    "missing-banner": ("flag", "every N.jpg answers 404 Not Found"),
    "redirect-banner": ("flag", "every N.jpg answers 302 Found with a Location"),
    "stall-banner": ("seconds", "N.jpg: accept, send nothing for SECONDS, then answer"),
    "not-jpeg": ("flag", "every N.jpg answers 200 with an HTML page instead of a JPEG"),
    "missing-target": ("flag", "every cmN.txt answers 404 Not Found"),
    "stall-target": ("seconds", "cmN.txt: accept, send nothing for SECONDS, then answer"),
    "message-file": ("path", "serve this file's bytes as kalumsg.txt (empty: the generated one)"),
}

CONTENT_TYPES = {
    ".pdf": "application/pdf",
    ".jpg": "image/jpeg",
    ".htm": "text/html; charset=UTF-8",
    ".html": "text/html; charset=UTF-8",
    ".txt": "text/plain",
}

NOT_FOUND_BODY = (
    '<!DOCTYPE html>\n<html lang="ja"><head><meta charset="UTF-8"><title>404 Not Found</title></head>'
    "<body><h1>404 Not Found</h1><p>お探しのページは見つかりませんでした。</p>"
    '<p><a href="/">ポルカミーナ トップページへ</a></p></body></html>\n'
).encode("utf-8")

NOT_JPEG_BODY = (
    '<!DOCTYPE html>\n<html lang="ja"><head><meta charset="UTF-8"><title>メンテナンス中</title></head>'
    "<body><h1>ただいまメンテナンス中です</h1><p>しばらくしてからお試しください。</p></body></html>\n"
).encode("utf-8")


def write_text(root):
    """The start-up message: CP932 with CR LF, as the author's editor saves it."""
    path = Path(root) / MESSAGE_PATH.lstrip("/")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes("".join(line + "\r\n" for line in MESSAGE_LINES).encode("cp932"))


def parse_mode(name, text):
    kind = MODES[name][0]
    if kind == "flag":
        value = text.strip().lower()
        if value in ("", "1", "on", "true", "yes"):
            return True
        if value in ("0", "off", "false", "no"):
            return False
        raise ValueError(f"{name}: want on or off, not {text!r}")
    if kind == "seconds":
        try:
            seconds = float(text)
        except ValueError:
            seconds = -1.0
        if not seconds >= 0:
            raise ValueError(f"{name}: want seconds, not {text!r}")
        return seconds
    return text


def default_modes():
    return {name: (False if kind == "flag" else 0.0 if kind == "seconds" else "")
            for name, (kind, _) in MODES.items()}


class Site:
    """State shared by all connections."""

    def __init__(self, root, modes, log):
        self.root = root.resolve()
        self.modes = modes
        self.log = log
        self.port = 0
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.banner_visits = 0

    def mode(self, name):
        with self.lock:
            return self.modes[name]

    def set_modes(self, updates):
        with self.lock:
            for name, value in updates.items():
                self.modes[name] = value
            self.changed.notify_all()

    def stall(self, name):
        # Re-reads the mode while waiting, so a test can release a stalled
        # request by setting the stall to 0.
        start = time.monotonic()
        with self.lock:
            while True:
                left = start + self.modes[name] - time.monotonic()
                if left <= 0:
                    return
                self.changed.wait(min(left, 0.5))

    def next_visit(self):
        with self.lock:
            self.banner_visits += 1
            return self.banner_visits

    def record(self, entry):
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.lock:
            self.log.write(line)
            self.log.flush()

    def site(self):
        return f"http://127.0.0.1:{self.port}"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "kalu-stand-in/1.0"
    timeout = 300  # idle keep-alive connections go after this
    # Headers and body go out in separate writes; without this, delayed ACKs
    # add 40 ms to every keep-alive request.
    disable_nagle_algorithm = True

    def version_string(self):
        return self.server_version

    def log_message(self, *args):
        pass  # the JSON log below replaces the default stderr lines

    @property
    def site(self):
        return self.server.site

    def do_GET(self):
        self.handle_request(send_body=True)

    def do_HEAD(self):
        self.handle_request(send_body=False)

    def handle_request(self, send_body):
        self.send_body = send_body
        url = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(url.path)
        entry = {
            "time": round(time.time(), 3),
            "peer": f"{self.client_address[0]}:{self.client_address[1]}",
            "method": self.command,
            "path": self.path,
            "version": self.request_version,
            "headers": [[name, value] for name, value in self.headers.items()],
        }
        if path == CONTROL_PATH:
            entry["control"] = True
            self.site.record(entry)
            self.control(url.query)
            return
        self.site.record(entry)

        if path == MESSAGE_PATH:
            self.message()
        elif BANNER_RE.match(path):
            self.banner(path)
        elif TARGET_RE.match(path):
            self.target(path)
        elif path.startswith(MOVED_PREFIX) and "/" not in path[len(MOVED_PREFIX):]:
            self.serve_file("/~kalu/cm/kalu/" + path[len(MOVED_PREFIX):])
        else:
            self.serve_file(path)

    # --- the author's files -------------------------------------------------

    def message(self):
        if self.site.mode("stall-message"):
            self.site.stall("stall-message")
        if self.site.mode("missing-message"):
            return self.not_found()
        if self.site.mode("redirect-message"):
            return self.redirect(MOVED_PREFIX + "kalumsg.txt")
        replacement = self.site.mode("message-file")
        if replacement:
            try:
                body = Path(replacement).read_bytes()
            except OSError:
                return self.not_found()
            return self.reply(200, "text/plain; charset=Shift_JIS", body)
        self.serve_file(MESSAGE_PATH, "text/plain; charset=Shift_JIS")

    def banner(self, path):
        if self.site.mode("stall-banner"):
            self.site.stall("stall-banner")
        if self.site.mode("missing-banner"):
            return self.not_found()
        if self.site.mode("redirect-banner"):
            return self.redirect(MOVED_PREFIX + path.rsplit("/", 1)[1])
        cookie = [("Set-Cookie", f"cmvisit={self.site.next_visit()}; Path=/~kalu/cm")]
        if self.site.mode("not-jpeg"):
            return self.reply(200, "text/html; charset=UTF-8", NOT_JPEG_BODY, cookie)
        self.serve_file(path, extra=cookie)

    def target(self, path):
        if self.site.mode("stall-target"):
            self.site.stall("stall-target")
        if self.site.mode("missing-target"):
            return self.not_found()
        found = self.read(path)
        if found is None:
            return self.not_found()
        self.reply(200, "text/plain", found[1].replace(SITE_PLACEHOLDER, self.site.site().encode("ascii")))

    # --- plumbing -----------------------------------------------------------

    def control(self, query):
        try:
            updates = {}
            for name, value in urllib.parse.parse_qsl(query, keep_blank_values=True):
                if name == "reset":
                    updates.update(default_modes())
                elif name in MODES:
                    updates[name] = parse_mode(name, value)
                else:
                    raise ValueError(f"unknown switch {name!r}")
        except ValueError as e:
            return self.reply(400, "text/plain; charset=UTF-8", (str(e) + "\n").encode("utf-8"))
        self.site.set_modes(updates)
        with self.site.lock:
            state = dict(self.site.modes)
        self.reply(200, "application/json", (json.dumps(state) + "\n").encode("utf-8"))

    def read(self, path):
        """The file under the root that a path names, and its bytes; None when absent."""
        file = (self.site.root / path.lstrip("/")).resolve()
        if file.is_dir():
            file = file / "index.htm"
        if self.site.root not in file.parents or not file.is_file():
            return None
        try:
            return file, file.read_bytes()
        except OSError:
            return None

    def serve_file(self, path, content_type=None, extra=()):
        found = self.read(path)
        if found is None:
            return self.not_found()
        file, body = found
        if content_type is None:
            content_type = CONTENT_TYPES.get(file.suffix.lower(), "application/octet-stream")
        self.reply(200, content_type, body, extra)

    def not_found(self):
        self.reply(404, "text/html; charset=UTF-8", NOT_FOUND_BODY)

    def redirect(self, path):
        location = self.site.site() + path
        body = f'<html><body><a href="{location}">moved</a></body></html>\n'.encode("ascii")
        self.reply(302, "text/html", body, [("Location", location)])

    def reply(self, status, content_type, body, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.send_body:
            self.wfile.write(body)
        self.wfile.flush()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def handle_error(self, request, client_address):
        # Clients that hang up (a browser cancelling, a test giving up on a
        # stall) are routine here.
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            return
        super().handle_error(request, client_address)


def build_parser():
    metavars = {"flag": "", "seconds": " SECONDS", "path": " PATH"}
    switches = "\n".join(f"  --{name + metavars[kind]:<25} {text}" for name, (kind, text) in MODES.items())
    epilog = f"""\
switches (also at run time: GET {CONTROL_PATH}?NAME=VALUE&..., e.g.
  {CONTROL_PATH}?missing-message=1  {CONTROL_PATH}?stall-banner=30  {CONTROL_PATH}?reset
  flags take 1/0 or on/off; the answer is the new state as JSON; control
  requests appear in the log with "control": true):
{switches}

Redirects point at {MOVED_PREFIX}NAME, which always serves the real file, so a
client that follows one shows up in the log. Stalls end early when the stall is
set to 0 through the control path.

The chosen port is printed alone on the first line of stdout."""
    parser = argparse.ArgumentParser(
        description="Loopback stand-in for the service's and the author's web sites.",
        epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
    default_root = Path(__file__).resolve().parent / "root"
    parser.add_argument("--root", type=Path, default=default_root if default_root.is_dir() else None,
                        help="content directory (default: ./root next to this script, if present)")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1, 0 for any free one (default)")
    parser.add_argument("--log", type=Path, help="request log, one JSON object a line (default: stderr)")
    parser.add_argument("--write-text", metavar="ROOT", type=Path,
                        help="write the CP932 start-up message into ROOT and exit (build step)")
    for name, (kind, _) in MODES.items():
        if kind == "flag":
            parser.add_argument(f"--{name}", action="store_true", help=argparse.SUPPRESS)
        elif kind == "seconds":
            parser.add_argument(f"--{name}", type=float, default=0.0, metavar="SECONDS", help=argparse.SUPPRESS)
        else:
            parser.add_argument(f"--{name}", default="", metavar="PATH", help=argparse.SUPPRESS)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.write_text:
        write_text(args.write_text)
        return 0
    if args.root is None or not args.root.is_dir():
        parser.error("no content directory: build the stand_in_site target or pass --root")

    modes = {name: getattr(args, name.replace("-", "_")) for name in MODES}
    log = open(args.log, "a", encoding="utf-8") if args.log else sys.stderr
    site = Site(args.root, modes, log)
    server = Server(("127.0.0.1", args.port), Handler)
    server.site = site
    site.port = server.server_address[1]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(site.port, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        if log is not sys.stderr:
            log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
