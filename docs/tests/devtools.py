"""A small client of the Chrome DevTools protocol over a pipe (`--remote-debugging-pipe`): the
browser reads commands from its fd 3 and writes answers and events to its fd 4, each message a
JSON text ended by a NUL byte. No port is opened, so several runs on one machine never meet, and
nothing but Debian's chromium package is needed."""
from __future__ import annotations

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import time

FLAGS = (
    "--headless", "--no-sandbox", "--remote-debugging-pipe", "--disable-gpu", "--no-first-run",
    "--no-default-browser-check", "--disable-background-networking", "--disable-component-update",
    "--disable-default-apps", "--disable-sync", "--disable-extensions", "--disable-dev-shm-usage",
    "--hide-scrollbars", "--mute-audio", "--window-size=1280,900",
)


class BrowserError(RuntimeError):
    pass


def find_chromium() -> str | None:
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


def _above_nine(fd: int) -> int:
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


class Browser:
    def __init__(self, chromium: str, profile: os.PathLike, log: os.PathLike):
        # The browser's ends are moved above fd 9, so that putting them on 3 and 4 never closes or
        # overwrites one with the other (a fresh process's first pipe is fds 3 and 4).
        to_browser_r, to_browser_w = os.pipe()
        from_browser_r, from_browser_w = os.pipe()
        to_browser_r, from_browser_w = _above_nine(to_browser_r), _above_nine(from_browser_w)
        # bash puts the pipes on the browser's fds 3 and 4, whatever numbers they have here.
        script = f'exec "$0" "$@" 3<&{to_browser_r} 4>&{from_browser_w} {to_browser_r}<&- {from_browser_w}>&-'
        with open(log, "wb") as log_file:
            self.process = subprocess.Popen(
                ["bash", "-c", script, chromium, *FLAGS, f"--user-data-dir={profile}", "about:blank"],
                pass_fds=(to_browser_r, from_browser_w), stdin=subprocess.DEVNULL, stdout=log_file,
                stderr=subprocess.STDOUT, start_new_session=True)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._out, self._in = to_browser_w, from_browser_r
        self._buffer = b""
        self._last_id = 0
        self.events: list[dict] = []

    def close(self) -> None:
        try:
            self.call("Browser.close", timeout=10)
        except (BrowserError, TimeoutError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._out)
        os.close(self._in)

    def _message(self, deadline: float) -> dict:
        while b"\0" not in self._buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("the browser did not answer in time")
            ready, _, _ = select.select([self._in], [], [], remaining)
            if ready:
                chunk = os.read(self._in, 1 << 16)
                if not chunk:
                    raise BrowserError(f"the browser exited (status {self.process.poll()})")
                self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method: str, session: str | None = None, timeout: float = 30, **params) -> dict:
        self._last_id += 1
        request = {"id": self._last_id, "method": method, "params": params}
        if session is not None:
            request["sessionId"] = session
        os.write(self._out, json.dumps(request).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            message = self._message(deadline)
            if message.get("id") == self._last_id:
                if "error" in message:
                    raise BrowserError(f"{method}: {message['error'].get('message')}")
                return message.get("result", {})
            self.events.append(message)

    def wait_event(self, method: str, session: str, timeout: float = 30) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            for index, event in enumerate(self.events):
                if event.get("method") == method and event.get("sessionId") == session:
                    return self.events.pop(index)
            self.events.append(self._message(deadline))

    def new_page(self) -> Page:
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        return Page(self, session)


class Page:
    """One tab: navigation, script evaluation, screenshots, and the errors its pages log."""

    def __init__(self, browser: Browser, session: str):
        self.browser, self.session = browser, session
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(f"{domain}.enable")
        self.call("Emulation.setDeviceMetricsOverride", width=1280, height=900, deviceScaleFactor=1, mobile=False)

    def call(self, method: str, **params) -> dict:
        return self.browser.call(method, self.session, **params)

    def open(self, url: str) -> None:
        """Loads `url` and waits until its load event has fired and its late scripts have run."""
        self.take_errors()
        self.take_requests()
        self.call("Page.navigate", url=url)
        self.browser.wait_event("Page.loadEventFired", self.session)
        self.evaluate("new Promise(done => setTimeout(done, 250))")

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression!r}: {result['exceptionDetails'].get('text')}")
        return result["result"].get("value")

    def wait_for(self, expression: str, timeout: float = 15):
        """Polls until `expression` is truthy, and returns its value."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value or time.monotonic() > deadline:
                return value
            time.sleep(0.1)

    def take_errors(self) -> list[str]:
        """The errors logged since the last call: uncaught exceptions, console.error and
        console.assert, and the browser's own error entries (a resource that failed to load)."""
        errors, kept = [], []
        for event in self.browser.events:
            if event.get("sessionId") != self.session:
                kept.append(event)
                continue
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.exceptionThrown":
                details = params["exceptionDetails"]
                errors.append(details.get("exception", {}).get("description") or details.get("text"))
            elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                errors.append(" ".join(str(a.get("value", a.get("description"))) for a in params.get("args", [])))
            elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                errors.append(f"{params['entry'].get('text')} ({params['entry'].get('url', '')})")
        self.browser.events = kept
        return errors

    def take_requests(self) -> list[str]:
        """The URLs the page requested since the last call."""
        urls, kept = [], []
        for event in self.browser.events:
            if event.get("sessionId") == self.session and event.get("method") == "Network.requestWillBeSent":
                urls.append(event["params"]["request"]["url"])
            else:
                kept.append(event)
        self.browser.events = kept
        return urls

    def screenshot(self, path: os.PathLike, full_page: bool = False) -> None:
        if full_page:
            height = min(int(self.evaluate("document.documentElement.scrollHeight")), 16000)
            self.call("Emulation.setDeviceMetricsOverride", width=1280, height=height, deviceScaleFactor=1,
                      mobile=False)
        data = self.call("Page.captureScreenshot", format="png")["data"]
        if full_page:
            self.call("Emulation.setDeviceMetricsOverride", width=1280, height=900, deviceScaleFactor=1,
                      mobile=False)
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))
