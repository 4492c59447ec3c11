#!/usr/bin/python3
"""Loads a page in headless Chromium, waits (bounded) until a JavaScript
condition holds, prints the DOM it rendered and saves a screenshot.

usage: browser_page.py URL CONDITION SCREENSHOT [SECONDS [PROMPT_ANSWER]]

Every prompt the page shows is answered with PROMPT_ANSWER (when given); how
many were answered goes to standard error.

Chromium is driven over its DevTools pipe (fds 3 and 4, NUL-ended JSON
messages), so no port is opened and nothing but the standard library is used.
"""
import base64
import fcntl
import json
import os
import subprocess
import sys
import tempfile
import time


def above_four(fd):
    """The descriptor moved above 4 and close-on-exec, so that placing pipes at 3 and 4 clobbers none."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


class Browser:
    def __init__(self, profile):
        to_chrome_r, self.to_chrome = (above_four(fd) for fd in os.pipe())
        self.from_chrome, from_chrome_w = (above_four(fd) for fd in os.pipe())

        def place_pipes():
            os.dup2(to_chrome_r, 3)
            os.dup2(from_chrome_w, 4)

        flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile, "--remote-debugging-pipe", "--window-size=1200,900"]
        # close_fds=False: the dup2 in the child makes 3 and 4, every other descriptor here is close-on-exec.
        self.process = subprocess.Popen(["chromium"] + flags, close_fds=False, preexec_fn=place_pipes,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.pending = b""
        self.next_id = 0
        self.prompt_answer = None
        self.prompts = 0

    def call(self, method, session=None, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.to_chrome, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.pending:
                chunk = os.read(self.from_chrome, 1 << 16)
                if not chunk:
                    raise RuntimeError("chromium closed its pipe")
                self.pending += chunk
            text, self.pending = self.pending.split(b"\0", 1)
            answer = json.loads(text)
            if answer.get("method") == "Page.javascriptDialogOpening" and self.prompt_answer is not None:
                self.prompts += 1
                self.next_id += 1
                reply = {"id": self.next_id, "method": "Page.handleJavaScriptDialog", "sessionId": answer["sessionId"],
                         "params": {"accept": True, "promptText": self.prompt_answer}}
                os.write(self.to_chrome, json.dumps(reply).encode() + b"\0")
                continue
            if answer.get("id") == message["id"]:
                if "error" in answer:
                    raise RuntimeError(method + ": " + json.dumps(answer["error"]))
                return answer["result"]

    def close(self):
        try:
            self.call("Browser.close")
        except (RuntimeError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, 9)
            self.process.wait()


def evaluate(browser, session, expression):
    result = browser.call("Runtime.evaluate", session, expression=expression, returnByValue=True)
    return result["result"].get("value")


def main():
    url, condition, screenshot = sys.argv[1:4]
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 20
    with tempfile.TemporaryDirectory() as profile:
        browser = Browser(profile)
        try:
            if len(sys.argv) > 5:
                # The page is loaded only once its dialogs are watched.
                browser.prompt_answer = sys.argv[5]
                target = browser.call("Target.createTarget", url="about:blank")["targetId"]
                session = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
                browser.call("Page.enable", session)
                browser.call("Page.navigate", session, url=url)
            else:
                target = browser.call("Target.createTarget", url=url)["targetId"]
                session = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            deadline = time.monotonic() + seconds
            held = False
            while time.monotonic() < deadline and not held:
                held = bool(evaluate(browser, session, condition))
                if not held:
                    time.sleep(0.2)
            shot = browser.call("Page.captureScreenshot", session, format="png")["data"]
            with open(screenshot, "wb") as out:
                out.write(base64.b64decode(shot))
            print(evaluate(browser, session, "document.documentElement.outerHTML"))
            if browser.prompt_answer is not None:
                print("prompts answered:", browser.prompts, file=sys.stderr)
        finally:
            browser.close()
    return 0 if held else 1


if __name__ == "__main__":
    sys.exit(main())
