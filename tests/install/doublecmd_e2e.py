#!/usr/bin/env python3
"""The end-to-end run behind tests/install/doublecmd-e2e (under Xvfb).

Exit status 0 when Double Commander shows exactly what `quarrymark columns`
prints for every example file and field, 1 when it does not (or a step
fails). Every wait is bounded; Double Commander is always ended."""
import copy
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

FIELDS = ["Has TODO", "Line breaks", "Distinct words", "Title", "Mail addresses", "Encoding",
          "Average word length", "Text by name", "Invoices"]
BOOLEANS = {"Has TODO", "Text by name"}
FLOATS = {"Average word length"}
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
START = time.monotonic()
STARTED = []  # every Double Commander started, ended before the work folder goes


def log(text):
    print("[%5.1fs] %s" % (time.monotonic() - START, text), flush=True)


def run(args, **kw):
    result = subprocess.run(args, capture_output=True, text=True, timeout=60, **kw)
    if result.returncode != 0:
        raise SystemExit("failed (%d): %s\n%s%s" % (result.returncode, " ".join(args),
                                                    result.stdout, result.stderr))
    return result.stdout


class DoubleCommander:
    """One Double Commander process on the virtual display, ended on exit."""

    def __init__(self, config, paths):
        self.process = subprocess.Popen(
            ["doublecmd", "--config-dir=" + config] + paths,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        STARTED.append(self)
        self.window = None
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and self.process.poll() is None:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "Double Commander"],
                                   capture_output=True, text=True, timeout=10).stdout.split()
            if found:
                self.window = found[0]
                time.sleep(1.5)  # keys sent before its start ends are lost
                return
            time.sleep(0.3)
        self.close()
        raise SystemExit("Double Commander showed no window")

    def copy_details(self):
        """Marks every file of the active panel and runs cm_CopyFileDetailsToClip."""
        subprocess.run(["xclip", "-selection", "clipboard", "-i", "/dev/null"], timeout=10)
        run(["xdotool", "mousemove", "--window", self.window, "150", "150", "click", "1"])
        run(["xdotool", "key", "--clearmodifiers", "ctrl+a"])
        run(["xdotool", "key", "--clearmodifiers", "ctrl+shift+F9"])
        time.sleep(0.3)
        return subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True,
                              timeout=10).stdout.decode("utf-8", "replace")

    def close(self):
        """SIGTERM: Double Commander saves its configuration and exits (SIGKILL
        when it does not)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def show_plugin_columns(config):
    """The Default column set becomes the file name and the plugin's fields, and
    Ctrl+Shift+F9 copies the marked files' details (no default key does)."""
    path = os.path.join(config, "doublecmd.xml")
    tree = ET.parse(path)
    columns = tree.getroot().find("ColumnsSets/ColumnsSet/Columns")
    template = columns.find("Column")
    for column in list(columns):
        columns.remove(column)
    for title, function in [("Name", "[DC().GETFILENAME{}]")] + [
            (f, "[Plugin(Quarrymark).%s{}]" % f) for f in FIELDS]:
        column = copy.deepcopy(template)
        column.find("Title").text = title
        column.find("FuncString").text = function
        column.find("Width").text = "120"
        columns.append(column)
    tree.write(path, encoding="UTF-8", xml_declaration=True)

    path = os.path.join(config, "shortcuts.scf")
    tree = ET.parse(path)
    form = tree.getroot().find("Hotkeys/Form[@Name='Main']")
    hotkey = ET.SubElement(form, "Hotkey")
    ET.SubElement(hotkey, "Shortcut").text = "Ctrl+Shift+F9"
    ET.SubElement(hotkey, "Command").text = "cm_CopyFileDetailsToClip"
    tree.write(path, encoding="UTF-8", xml_declaration=True)


def normalise(rows, host):
    """Rows as {name: [values]} in the host's notation: Double Commander shows
    Booleans as True/False and floating values with all their digits, the
    host 1/0 and three decimals."""
    table = {}
    for row in rows:
        cells = row.split("\t")
        name = os.path.basename(cells[0])
        values = cells[1:] + [""] * (len(FIELDS) - len(cells) + 1)
        out = []
        for field, value in zip(FIELDS, values):
            if not host and field in BOOLEANS:
                value = {"True": "1", "False": "0"}.get(value, value)
            if field in FLOATS and value:
                value = "%.3f" % float(value)
            out.append(value)
        table[name] = out
    return table


def main():
    # The time limit's SIGTERM reaches this whole process group (Double
    # Commander included); leaving through SystemExit runs the clean-ups.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("time limit reached"))
    fault = "--fault" in sys.argv[1:]
    build = os.path.abspath([a for a in sys.argv[1:] if a != "--fault"][0])
    work = tempfile.mkdtemp(prefix="quarrymark-e2e-")
    try:
        prefix, config = os.path.join(work, "prefix"), os.path.join(work, "config", "doublecmd")
        files = os.path.join(work, "files")
        os.environ.update(HOME=os.path.join(work, "home"), XDG_DATA_HOME=os.path.join(work, "data"),
                          XDG_CONFIG_HOME=os.path.join(work, "config"), LC_ALL="C.UTF-8")
        os.makedirs(os.environ["HOME"])
        os.makedirs(config)
        shutil.copytree(os.path.join(REPO, "examples", "files"), files)
        run(["cmake", "--install", build, "--prefix", prefix])
        host = os.path.join(prefix, "bin", "quarrymark")
        log("installed into " + prefix)

        # Its first start writes its configuration (on exit); a start that
        # was ended too early to save is repeated.
        for _ in range(3):
            DoubleCommander(config, [files, files]).close()
            if os.path.isfile(os.path.join(config, "doublecmd.xml")):
                break
        log("Double Commander wrote " + os.path.join(config, "doublecmd.xml"))
        print(run([host, "setup", "--config-dir", config]), end="")
        user = os.path.join(os.environ["XDG_DATA_HOME"], "quarrymark")

        # What the plugin answers through the command-line host (which finds
        # the user's plugin by itself).
        expected_text = run([host, "columns", "--format", "tsv", "--fields", ",".join(FIELDS), files])
        expected = normalise(expected_text.splitlines()[1:], host=True)
        # The compressed documents hold "invoice" only in their text: a
        # converter that is not found would give 0 on both sides.
        invoices = FIELDS.index("Invoices")
        if any(expected.get(d, [""] * len(FIELDS))[invoices] != "2"
               for d in ("report.docx", "report.odt", "report.pdf")):
            raise SystemExit("the documents were not read through xdoc2txt:\n" + expected_text)

        if fault:
            os.rename(os.path.join(user, "Quarrymark.wdx"), os.path.join(user, "Quarrymark-real.wdx"))
            shutil.copy(os.path.join(build, "tests", "install", "Quarrymark-miscounting.wdx"),
                        os.path.join(user, "Quarrymark.wdx"))
            log("the plugin in Double Commander's list now miscounts")

        show_plugin_columns(config)
        commander = DoubleCommander(config, [files, files])
        try:
            run(["xdotool", "windowsize", commander.window, "1250", "900"])
            # Values appear as Double Commander computes them: read until they
            # agree, or until the time is up.
            deadline = time.monotonic() + 30
            while True:
                shown_text = commander.copy_details()
                shown = normalise([r for r in shown_text.splitlines() if r], host=False)
                if shown == expected or time.monotonic() > deadline:
                    break
                time.sleep(1)
        finally:
            commander.close()
        log("Double Commander shows (%d files):" % len(shown))
        print(shown_text, end="")
        log("quarrymark columns prints:")
        print(expected_text, end="")

        if not fault:
            before = open(os.path.join(config, "doublecmd.xml"), encoding="utf-8").read()
            print(run([host, "setup", "--remove", "--config-dir", config]), end="")
            after = open(os.path.join(config, "doublecmd.xml"), encoding="utf-8").read()
            if "<Name>Quarrymark</Name>" not in before or "<Name>Quarrymark</Name>" in after:
                raise SystemExit("setup --remove did not take the plugin out of doublecmd.xml")
            if not os.path.isfile(os.path.join(user, "Quarrymark.ini")):
                raise SystemExit("setup --remove did not keep the user's settings")

        if shown != expected or len(expected) != len(os.listdir(files)):
            for name in sorted(set(shown) | set(expected)):
                for field, a, b in zip(FIELDS, expected.get(name, [None] * len(FIELDS)),
                                       shown.get(name, [None] * len(FIELDS))):
                    if a != b:
                        print("DIFFERENT %s / %s: quarrymark %r, Double Commander %r" % (name, field, a, b))
            log("FAIL: Double Commander and quarrymark columns differ")
            return 1
        log("PASS: %d files x %d fields agree (documents through xdoc2txt included)"
            % (len(expected), len(FIELDS)))
        return 0
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        for commander in STARTED:
            commander.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
