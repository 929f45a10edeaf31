#!/usr/bin/env python3
"""Serves one launch line over RTSP, as a camera or an RTSP server would,
for the demo's rtsp stage: GStreamer's own RTSP server (gst-rtsp-server)
through its GObject bindings.

    rtsp_server.py --port PORT --launch "( ... ! rtph264pay name=pay0 pt=96 )"
                   [--address 127.0.0.1] [--seconds 120]

The stream is at rtsp://ADDRESS:PORT/zarn. The server runs until it is
killed, or for --seconds at the most.
"""

import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--launch", required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--seconds", type=int, default=120)
    args = parser.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address(args.address)
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(args.launch)
    factory.set_shared(True)
    server.get_mount_points().add_factory("/zarn", factory)
    if server.attach(None) == 0:
        print("cannot listen on %s:%d" % (args.address, args.port), file=sys.stderr)
        return 1

    loop = GLib.MainLoop()
    GLib.timeout_add_seconds(args.seconds, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    print("serving rtsp://%s:%d/zarn" % (args.address, args.port), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
