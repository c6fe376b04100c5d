"""Headless chromium driven over the DevTools protocol: used by the browser
tests, the page benchmark (bench/page.py) and the README's screenshots."""

import base64
import io
import json
import os
import shutil
import signal
import subprocess
import time
import urllib.request
from pathlib import Path

CHROMIUM = shutil.which("chromium")
# Every wait on the browser ends after this many seconds (see Browser.timeout).
TIMEOUT = 60
VIEWPORT = {"width": 1000, "height": 700}


class Browser:
    """Headless chromium with a fresh profile, and a DevTools connection to its page."""

    def __init__(self, profile: Path, timeout: float = TIMEOUT):
        import websocket

        self.timeout = timeout
        # Errors the page wrote to its console or threw, as text.
        self.errors = []
        arguments = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                     "--disable-background-networking", "--disable-component-update",
                     "--no-first-run", f"--user-data-dir={profile}", "--remote-debugging-port=0",
                     "about:blank"]
        # A session of its own, so closing takes the browser's helpers along.
        self.process = subprocess.Popen(arguments, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        try:
            url = self._page_socket(profile)
            self.socket = websocket.create_connection(url, timeout=timeout, suppress_origin=True)
        except BaseException:
            self.close()
            raise
        self.last_id = 0
        self.call("Emulation.setDeviceMetricsOverride", deviceScaleFactor=1, mobile=False, **VIEWPORT)
        self.call("Runtime.enable")
        self.call("Log.enable")

    def _page_socket(self, profile: Path) -> str:
        # With port 0 the browser picks a port and writes it to DevToolsActivePort.
        port_file = profile / "DevToolsActivePort"
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"chromium exited with status {self.process.returncode}")
            lines = port_file.read_text().splitlines() if port_file.exists() else []
            if len(lines) >= 2:
                with urllib.request.urlopen(f"http://127.0.0.1:{lines[0]}/json/list", timeout=TIMEOUT) as reply:
                    pages = [target for target in json.load(reply) if target["type"] == "page"]
                if pages:
                    return pages[0]["webSocketDebuggerUrl"]
            time.sleep(0.05)
        raise TimeoutError("chromium did not open its DevTools port")

    def call(self, method: str, **params):
        self.last_id += 1
        self.socket.send(json.dumps({"id": self.last_id, "method": method, "params": params}))
        while True:  # events arrive in between; the reply carries our id
            reply = json.loads(self.socket.recv())
            self._note(reply)
            if reply.get("id") == self.last_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]

    def _note(self, event: dict):
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "warning", "assert"):
            self.errors.append(" ".join(str(arg.get("value", arg.get("description"))) for arg in params.get("args", [])))
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            self.errors.append(details.get("exception", {}).get("description") or details.get("text", ""))
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            self.errors.append(params["entry"].get("text", ""))

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(result["exceptionDetails"].get("exception", {}).get("description"))
        return result["result"].get("value")

    def show(self, page: Path) -> dict:
        """Load a page and wait until it has drawn its scene; returns its counts."""
        self.call("Page.navigate", url=page.as_uri())
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            # Until the new page has replaced the last one, its flags are the last page's.
            state = self.evaluate(f"location.href === {json.dumps(page.as_uri())} && "
                                  "({ready: window.show3dReady === true, error: window.show3dError || null,"
                                  "  stats: window.show3dStats || null})")
            if state and state["error"]:
                raise RuntimeError(f"the page failed: {state['error']}")
            if state and state["ready"]:
                self.next_frame()
                return state["stats"]
            time.sleep(0.05)
        raise TimeoutError(f"{page} was not drawn within {self.timeout} s")

    def next_frame(self):
        self.evaluate("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))")

    def screenshot(self):
        """The canvas as a Pillow image."""
        from PIL import Image

        box = self.evaluate("(({x, y, width, height}) => ({x, y, width, height}))"
                            "(show3d.renderer.domElement.getBoundingClientRect())")
        png = self.call("Page.captureScreenshot", format="png", clip={**box, "scale": 1})["data"]
        return Image.open(io.BytesIO(base64.b64decode(png))).convert("RGB")

    def click(self, x: float, y: float, button: str = "left"):
        """A mouse click at canvas pixel (x, y), as a user makes it."""
        box = self.evaluate("(({x, y}) => [x, y])(show3d.renderer.domElement.getBoundingClientRect())")
        at = {"x": box[0] + x, "y": box[1] + y}
        self.call("Input.dispatchMouseEvent", type="mouseMoved", **at)
        self.call("Input.dispatchMouseEvent", type="mousePressed", button=button, clickCount=1, buttons=1, **at)
        self.call("Input.dispatchMouseEvent", type="mouseReleased", button=button, clickCount=1, buttons=0, **at)
        self.next_frame()

    def drag(self, start, end, steps: int = 5):
        """Drags with the left button from canvas pixel `start` to `end`."""
        box = self.evaluate("(({x, y}) => [x, y])(show3d.renderer.domElement.getBoundingClientRect())")
        points = [(start[0] + (end[0] - start[0]) * i / steps, start[1] + (end[1] - start[1]) * i / steps)
                  for i in range(steps + 1)]
        self.call("Input.dispatchMouseEvent", type="mousePressed", button="left", clickCount=1, buttons=1,
                  x=box[0] + points[0][0], y=box[1] + points[0][1])
        for x, y in points[1:]:
            self.call("Input.dispatchMouseEvent", type="mouseMoved", button="left", buttons=1, x=box[0] + x, y=box[1] + y)
        self.call("Input.dispatchMouseEvent", type="mouseReleased", button="left", clickCount=1, buttons=0,
                  x=box[0] + points[-1][0], y=box[1] + points[-1][1])
        self.next_frame()

    def key(self, key: str):
        """Presses and releases one key (a character or a name such as "Escape")."""
        code = {"Escape": 27}.get(key, ord(key.upper()) if len(key) == 1 else 0)
        common = {"key": key, "windowsVirtualKeyCode": code}
        self.call("Input.dispatchKeyEvent", type="keyDown", text=key if len(key) == 1 else "", **common)
        self.call("Input.dispatchKeyEvent", type="keyUp", **common)
        self.next_frame()

    def downloads_to(self, folder: Path):
        """Files the page saves go to `folder`."""
        self.call("Browser.setDownloadBehavior", behavior="allow", downloadPath=str(folder), eventsEnabled=True)

    def close(self):
        if getattr(self, "socket", None):
            self.socket.close()
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait(timeout=self.timeout)
