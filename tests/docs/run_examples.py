#!/usr/bin/env python3
"""Runs every example pipeline of README.md and docs/elements.md as written.

    run_examples.py SOURCE_ROOT BUILD_ROOT WORKDIR

An example pipeline is an indented line (with its continuation lines) of a
code block whose first word is an element, `...` or GST_PLUGIN_PATH=... The
examples are taken as they stand; only what a reader fills in is filled in:

- a leading `...` (the SDK's elements, or any source) becomes a live test
  source of bounded length and the demo's stand-ins for the SDK, which
  attach the records, make a batch and add objects (after the encoder
  where the example starts with one, as GStreamer's encoders drop the
  SDK's metadata);
- a trailing `...` becomes a fakesink;
- the host names SENDER, RECEIVER and NEXT become 127.0.0.1, and a log
  path becomes one in WORKDIR.

A sender (it starts with `...`) runs with the receiver (it ends with
`...`) that follows it in the same file, on the port they share; a relay
(neither) runs between a sender and a receiver of the test's own. Each
receiver's demux is followed by a mux that logs what was restored (and a
demux again, so that the rest of the pipeline gets the same bytes): every
example must carry the documents through, or the test fails.
"""

import json
import os
import re
import shlex
import signal
import subprocess
import sys
import time

FRAMES = 60
STANDINS = ["zarndemorecords", "!", "zarndemostreammux", "!", "zarndemodetector",
            "num-objects=5", "seed=3"]
SOURCE = ["videotestsrc", "is-live=true", "num-buffers=%d" % FRAMES, "!",
          "video/x-raw,format=I420,width=320,height=240,framerate=30/1"]
SDK_ELEMENTS = ["nvstreammux", "nvinfer", "nvtracker", "nvvideoconvert", "video/x-raw"]
HOSTS = {"SENDER": "127.0.0.1", "RECEIVER": "127.0.0.1", "NEXT": "127.0.0.1"}
DOCS = ["README.md", os.path.join("docs", "elements.md")]


def code_lines(path):
    """The example pipelines of a Markdown file, continuation lines joined,
    in order."""
    pipelines = []
    current = None
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line.startswith("    "):
                current = None
                continue
            text = line.strip()
            if current is not None:
                current += " " + text.rstrip("\\").strip()
                if not text.endswith("\\"):
                    pipelines.append(current)
                    current = None
                continue
            first = text.split()[0] if text.split() else ""
            if " ! " not in text and not text.endswith("\\"):
                continue
            if not (first == "..." or first.startswith("GST_PLUGIN_PATH=")
                    or re.match(r"^[a-z][a-z0-9]*$", first)):
                continue
            if text.endswith("\\"):
                current = text.rstrip("\\").strip()
            else:
                pipelines.append(text)
    return pipelines


def words(pipeline):
    """gst-launch-1.0's arguments of an example, with what a reader fills in
    filled in."""
    argv = shlex.split(pipeline)
    # A command line: the test sets the plug-in path itself.
    while argv and "=" in argv[0] and not argv[0].startswith(("host", "port")):
        argv.pop(0)
    if argv and argv[0] == "gst-launch-1.0":
        argv = [a for a in argv[1:] if a not in ("-e", "-q", "-v")]
    out = []
    for word in argv:
        for name, host in HOSTS.items():
            word = word.replace("=" + name, "=" + host).replace("//" + name + ":", "//" + host + ":")
        out.append(word)
    return out


def fill_source(argv):
    """A leading `...` as the test's source and the SDK's stand-ins."""
    rest = argv[2:]  # after "... !"
    if rest[:2 * len(SDK_ELEMENTS) - 1:2] == SDK_ELEMENTS:
        rest = rest[2 * len(SDK_ELEMENTS):]
        return SOURCE + ["!"] + STANDINS + ["!"] + rest
    if rest and rest[0] == "x264enc":
        # The encoder's own properties, then the stand-ins after it.
        end = rest.index("!")
        return SOURCE + ["!"] + rest[:end] + ["!"] + STANDINS + rest[end:]
    return SOURCE + ["!"] + STANDINS + ["!"] + rest


def is_sender(argv):
    """An example that starts the stream: with `...` for the source, or a
    whole sender with a test source of its own."""
    return argv[0] in ("...", "videotestsrc")


def fill(argv, log, relog):
    if argv[0] == "...":
        argv = fill_source(argv)
    elif argv[0] == "videotestsrc" and not any(a.startswith("num-buffers=") for a in argv):
        argv = argv[:1] + ["num-buffers=%d" % FRAMES] + argv[1:]
    if argv[-1] == "...":
        argv = argv[:-1] + ["fakesink", "sync=false"]
    out = []
    for word in argv:
        if word.startswith("savepath="):
            word = "savepath=" + log
        out.append(word)
        if word == "zarnnvmetademux" and relog:
            out += ["!", "zarnnvmetamux", "savepath=" + relog, "!", "zarnnvmetademux"]
    return out


def ports(argv):
    found = set(re.findall(r"port=(\d+)", " ".join(argv)))
    found |= set(re.findall(r"srt://[^:]*:(\d+)", " ".join(argv)))
    return found


def documents(path):
    """The documents of a mux's log: one a line, each followed by a comma."""
    if not os.path.exists(path):
        return []
    found = []
    with open(path, "rb") as f:
        for line in f:
            try:
                found.append(json.loads(line.rstrip(b"\n")[:-1]))
            except ValueError:
                pass  # a line cut short when the process was interrupted
    return found


KNOWN = {}


def missing_elements(argv, env):
    names = [w for i, w in enumerate(argv) if i == 0 or argv[i - 1] == "!"]
    missing = []
    for name in names:
        if "/" in name or "," in name:
            continue
        if name not in KNOWN:
            KNOWN[name] = subprocess.run(["gst-inspect-1.0", name], env=env,
                                         stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL).returncode == 0
        if not KNOWN[name]:
            missing.append(name)
    return missing


def start(argv, env, log_path):
    log = open(log_path, "w")
    process = subprocess.Popen(["gst-launch-1.0", "-e"] + argv, env=env, stdout=log,
                               stderr=subprocess.STDOUT)
    process.log_path = log_path
    return process


def finish(process, wait):
    """Waits up to `wait` seconds for the process to end, then interrupts it
    (-e makes that an end of stream) and at last kills it. Its exit code."""
    try:
        return process.wait(timeout=wait)
    except subprocess.TimeoutExpired:
        pass
    process.send_signal(signal.SIGINT)
    try:
        return process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait()


def run(name, processes_argv, env, workdir):
    """Runs sender, (relay,) receiver: the last one's documents are checked.
    A list of failures."""
    print("== %s" % name)
    server_first = "tcpserversink" in " ".join(processes_argv[0])
    order = list(range(len(processes_argv)))
    if not server_first:
        order.reverse()  # listeners before those that connect to them
    started = {}
    codes = {}
    try:
        for index in order:
            tag = "%s-%d" % (name, index)
            print("   " + " ".join(shlex.quote(a) for a in processes_argv[index]))
            started[index] = start(processes_argv[index], env,
                                   os.path.join(workdir, tag + ".log"))
            time.sleep(1.0)
        codes[0] = finish(started[0], 60)
        # The rest end by themselves on an end of stream that crosses the
        # stage (TCP); across datagrams they are interrupted once the
        # stream is over.
        for index in range(1, len(processes_argv)):
            codes[index] = finish(started[index], 5)
    finally:
        # Nothing is left running, whatever went wrong.
        for process in started.values():
            if process.poll() is None:
                process.kill()
                process.wait()
    failures = []
    for index, code in codes.items():
        if code != 0:
            with open(started[index].log_path) as f:
                tail = f.read()[-2000:]
            failures.append("%s: process %d exited %d:\n%s" % (name, index, code, tail))
    return failures


def main():
    source_root, build_root, workdir = sys.argv[1:4]
    os.makedirs(workdir, exist_ok=True)
    env = dict(os.environ)
    env["GST_PLUGIN_PATH"] = os.pathsep.join([os.path.join(build_root, "src"),
                                              os.path.join(build_root, "demo", "gstzarndemo")])
    env["GST_REGISTRY"] = os.path.join(workdir, "registry.bin")

    failures = []
    ran = 0
    for doc in DOCS:
        pipelines = [words(p) for p in code_lines(os.path.join(source_root, doc))]
        print("%s: %d example pipelines" % (doc, len(pipelines)))
        paired = set()
        for i, argv in enumerate(pipelines):
            if argv[-1] == "..." and not is_sender(argv):
                continue
            name = "%s-%d" % (os.path.basename(doc).split(".")[0], i)
            sent = os.path.join(workdir, name + "-sent.txt")
            got = os.path.join(workdir, name + "-restored.txt")
            for path in (sent, got):
                if os.path.exists(path):
                    os.remove(path)
            if is_sender(argv):
                # The receiver that follows, on the same port.
                partner = next((j for j in range(i + 1, len(pipelines))
                                if pipelines[j][-1] == "..." and not is_sender(pipelines[j])
                                and ports(pipelines[j]) & ports(argv)), None)
                if partner is None:
                    failures.append("%s: sender without its receiver: %s" % (name, argv))
                    continue
                paired.add(partner)
                group = [fill(argv, sent, None), fill(pipelines[partner], sent, got)]
            else:
                # A relay: the test's own sender and receiver around it, on
                # the ports it listens and sends on.
                listen = re.search(r"tcpserversrc .*?port=(\d+)", " ".join(argv))
                send = re.search(r"tcpclientsink .*?port=(\d+)", " ".join(argv))
                if not listen or not send:
                    failures.append("%s: a relay the test cannot feed: %s" % (name, argv))
                    continue
                group = [fill(["...", "!", "zarnnvmetamux", "!", "gdppay", "!", "tcpclientsink",
                               "host=127.0.0.1", "port=" + listen.group(1)], sent, None),
                         fill(argv, sent, None),
                         fill(["tcpserversrc", "host=127.0.0.1", "port=" + send.group(1), "!",
                               "gdpdepay", "!", "zarnnvmetademux", "!", "..."], sent, got)]
            missing = set()
            for p in group:
                missing |= set(missing_elements(p, env))
            if missing:
                print("== %s skipped: this machine lacks %s" % (name, ", ".join(sorted(missing))))
                continue
            ran += 1
            failures += run(name, group, env, workdir)
            restored = documents(got)
            with_objects = [d for d in restored if d["frames"] and d["frames"][0]
                            and "objects" in d["frames"][0]]
            print("   %d documents restored at the receiver, %d with objects"
                  % (len(restored), len(with_objects)))
            # Datagrams on loopback may still lose one now and then; a
            # receiver that joins a live stream from a tcpserversink misses
            # what was sent before it connected.
            joins = "tcpserversink" in " ".join(group[0])
            if len(with_objects) < (FRAMES // 4 if joins else FRAMES * 8 // 10):
                failures.append("%s: %d of %d documents came through" % (
                    name, len(with_objects), FRAMES))

        for j, argv in enumerate(pipelines):
            if argv[-1] == "..." and not is_sender(argv) and j not in paired:
                failures.append("%s: receiver without its sender: %s" % (doc, argv))

    print("%d examples run" % ran)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures or ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
