#!/usr/bin/env bash
# Runs a sender and a receiver as gst-launch-1.0 processes that share
# nothing but a byte stage, then compares what was sent with what was
# restored. Exit status 0 only when every buffer came back with identical
# payload bytes and metadata.
#
#   run_demo.sh --build DIR [--stage STAGE] [--frames N]
#               [--objects K] [--width W] [--height H] [--out DIR]
#               [--relay] [--hosts 1|2|3] [--fault KIND [--fault-rate P]]
#
# Stages: tcp (gdppay over TCP), udp (one datagram per buffer: small frames
# only), rtp (rtpgstpay over UDP), ts (H.264 in MPEG-TS over UDP: the mux
# after the encoder, the demux before the parser and decoder), srt (gdppay
# over SRT in live mode, which may lose the last buffers when the sender
# closes: every delivered buffer must be exact), shm (shmsink/shmsrc) and
# file (gdppay to a file).
#
# Stages with the document in an SEI message (the mux's carrier=sei), from
# a real encoder: rtp-h264 (rtph264pay over UDP, the depayloader's avc
# output), rtp-h264-bs (the same, byte-stream output), rtp-h265
# (rtph265pay), ts-sei (MPEG-TS over UDP, h264parse between tsdemux and
# the demux), mp4 and mkv (a recording, replayed), rtsp (GStreamer's RTSP
# server serving rtph264pay, demo/rtsp_server.py; received with rtspsrc
# over TCP). A consumer without the
# demux decodes what arrived: it must give the frames that decoding the
# encoder's own output gives, with no decoder error, in GStreamer and, for
# the recordings and for rtp-h264 on one host, in ffmpeg where it is
# installed (ffmpeg then receives the RTP stream too, from an SDP file). Where the stage rewrites
# the framing (the RTP depayloaders and h264parse write their own start
# codes or lengths),
# the payloads must be those of the encoder's output through the same stage
# without the mux.
#
# A stage whose GStreamer plug-ins this machine lacks is skipped (exit
# status 77).
#
# --relay puts a third process between them that demuxes and muxes again,
# as an aggregator relaying the stream further does; its documents must be
# the sender's, "pipeline_time" aside.
#
# --hosts 2 runs the sender on a host of its own and the receiver (and the
# relay) on another: network namespaces joined by a veth pair with
# addresses 10.77.N.1 and 10.77.N.2. --hosts 3 (with --relay) gives the
# relay a host of its own between them (10.77.N.2 towards the sender,
# 10.78.N.1 towards the receiver at 10.78.N.2). The namespaces are made for
# the run and removed after it, also when it fails. Where they cannot be
# made the run is skipped (exit status 77).
#
# --fault (with --relay, udp or rtp) damages the link in front of the
# relay: drop, duplicate, reorder, truncate, flip-length (a bit of the
# trailer's length), flip-document (a byte inside the document made
# invalid), each to a share P of the datagrams (default 0.1), by a small
# UDP relay of the demo's own (demo/fault_link.py); or restart: the sender
# is killed mid-stream and started again. The relay and the receiver must
# keep running and pass every buffer on either exact or untouched with a
# WARNING.
#
# --memcheck runs the relay and the receiver under valgrind's memcheck: any
# memory error or definite leak fails the run.
set -euo pipefail

build=""
stage=tcp
frames=300
objects=5
width=640
height=360
out=""
relay=false
hosts=1
fault=""
fault_rate=0.1
memcheck=false

while (($#)); do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --stage) stage=$2; shift 2 ;;
    --frames) frames=$2; shift 2 ;;
    --objects) objects=$2; shift 2 ;;
    --width) width=$2; shift 2 ;;
    --height) height=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --relay) relay=true; shift ;;
    --hosts) hosts=$2; shift 2 ;;
    --fault) fault=$2; shift 2 ;;
    --fault-rate) fault_rate=$2; shift 2 ;;
    --memcheck) memcheck=true; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
usage() { echo "$1" >&2; exit 2; }
[ -n "$build" ] || usage "--build DIR is required"
case "$stage" in
  tcp|udp|rtp|ts|srt|rtp-h264|rtp-h264-bs|rtp-h265|ts-sei) network=true ;;
  shm|file|mp4|mkv|rtsp) network=false ;;
  *) usage "unknown stage: $stage (tcp, udp, rtp, ts, srt, shm, file, rtp-h264, rtp-h264-bs, rtp-h265, ts-sei, mp4, mkv, rtsp)" ;;
esac
case "$stage" in
  udp|rtp|ts|rtp-h264|rtp-h264-bs|rtp-h265|ts-sei) datagrams=true ;;
  *) datagrams=false ;;
esac
# The SEI stages: their codec, and whether the stage rewrites the framing.
sei=false
codec=h264
reframed=false
case "$stage" in
  rtp-h264|rtp-h264-bs|ts-sei|rtsp) sei=true; reframed=true ;;
  mp4|mkv) sei=true ;;
  rtp-h265) sei=true; codec=h265; reframed=true ;;
esac
$relay && ! $network && usage "--relay needs a network stage (tcp, udp, rtp, ts, srt)"
case "$hosts" in
  1) ;;
  2|3) $network || usage "--hosts needs a network stage (tcp, udp, rtp, ts, srt)" ;;
  *) usage "--hosts is 1, 2 or 3" ;;
esac
[ "$hosts" != 3 ] || $relay || usage "--hosts 3 needs --relay"
case "$fault" in
  "") ;;
  drop|duplicate|reorder|truncate|flip-length|flip-document)
    $relay && [[ "$stage" = udp || "$stage" = rtp || "$stage" = rtp-h264-bs ]] ||
      usage "--fault $fault needs --relay and the udp, rtp or rtp-h264-bs stage" ;;
  restart)
    $relay && $datagrams || usage "--fault restart needs --relay and the udp, rtp or ts stage" ;;
  *) usage "unknown fault: $fault" ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)
[ -n "$out" ] || out=$(mktemp -d /tmp/zarn-demo-XXXXXX)
mkdir -p "$out"
out=$(cd "$out" && pwd)

export GST_PLUGIN_PATH="$build/src:$build/demo/gstzarndemo"
export GST_REGISTRY="$out/registry.bin"

# A stage whose plug-ins this machine lacks is skipped, as a test of any
# other optional feature is (srt and the H.264 codecs are not everywhere).
case "$stage" in
  rtp) needed=(rtpgstpay rtpgstdepay rtpjitterbuffer) ;;
  ts) needed=(x264enc mpegtsmux tsdemux h264parse avdec_h264) ;;
  srt) needed=(srtsrc srtsink) ;;
  shm) needed=(shmsrc shmsink) ;;
  rtp-h264|rtp-h264-bs) needed=(x264enc rtph264pay rtph264depay rtpjitterbuffer h264parse avdec_h264) ;;
  rtp-h265) needed=(x265enc rtph265pay rtph265depay rtpjitterbuffer h265parse avdec_h265) ;;
  ts-sei) needed=(x264enc mpegtsmux tsdemux h264parse avdec_h264) ;;
  mp4) needed=(x264enc mp4mux qtdemux h264parse avdec_h264) ;;
  mkv) needed=(x264enc matroskamux matroskademux h264parse avdec_h264) ;;
  rtsp) needed=(x264enc rtph264pay rtph264depay rtspsrc h264parse avdec_h264) ;;
  *) needed=() ;;
esac
for element in gdppay "${needed[@]}"; do
  if ! gst-inspect-1.0 "$element" > /dev/null 2>&1; then
    echo "skipped: the $stage stage needs GStreamer's $element element, which this machine lacks"
    exit 77
  fi
done
# The RTSP server runs under a Python that has GStreamer's bindings (the
# system's, where another one comes first on the PATH).
rtsp_python=""
if [ "$stage" = rtsp ]; then
  for python in python3 /usr/bin/python3; do
    if "$python" -c 'import gi; gi.require_version("GstRtspServer", "1.0")' 2> /dev/null; then
      rtsp_python=$python
      break
    fi
  done
  if [ -z "$rtsp_python" ]; then
    echo "skipped: the rtsp stage needs GStreamer's RTSP server bindings (python3-gi," \
      "gir1.2-gst-rtsp-server-1.0), which this machine lacks"
    exit 77
  fi
fi
# -e: an interrupt ends the stream, so that what an element still holds
# (tsdemux keeps the last frame until the next) comes out.
launch=(gst-launch-1.0 -q -e)
# No process of the demo may hang a test runner. In the foreground: an
# interrupt then reaches gst-launch-1.0 once (a second one would kill it).
bounded=(timeout --foreground -k 5 120)
# $1: the process's name, for its log.
checked() {
  checked_run=("${bounded[@]}")
  $memcheck && checked_run+=(valgrind --quiet --leak-check=full --show-leak-kinds=definite
                             --errors-for-leak-kinds=definite
                             --error-exitcode=99 --suppressions="$here/memcheck.supp"
                             --log-file="$out/$1-memcheck.log")
  checked_run+=("${launch[@]}")
}

# A port nobody on this machine uses, by /proc/net (no extra tools needed).
free_port() {
  local table=$1 port hex
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 40000))
    hex=$(printf '%04X' "$port")
    if ! awk 'NR > 1 {print $2}' "/proc/net/$table" "/proc/net/${table}6" 2>/dev/null |
        grep -qi ":$hex\$"; then
      echo "$port"
      return 0
    fi
  done
  echo "no free port found" >&2
  return 1
}

# Waits until a host has a socket on the port: a listening one for tcp
# (state 0A), a bound one for udp. Up to 30 s: a loaded machine starts
# gst-launch-1.0 slowly.
wait_port() {
  local host=$1 table=$2 port=$3 hex state="" ns=()
  hex=$(printf '%04X' "$port")
  [ "$table" = tcp ] && state=0A
  case "$host" in
    relay) ns=("${relay_ns[@]}") ;;
    *) ns=("${recv_ns[@]}") ;;
  esac
  for _ in $(seq 1 600); do
    if "${ns[@]}" awk -v state="$state" 'NR > 1 && (state == "" || $4 == state) {print $2}' \
        "/proc/net/$table" "/proc/net/${table}6" 2>/dev/null | grep -qi ":$hex\$"; then
      return 0
    fi
    sleep 0.05
  done
  echo "the $host has no $table socket on port $port" >&2
  return 1
}

wait_file() {
  for _ in $(seq 1 600); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  echo "$1 did not appear" >&2
  return 1
}

# A stream over datagrams never ends by itself: once the tap's file has
# stopped growing for 1.5 s (or after 60 s), the process is interrupted,
# which ends its stream, and waited for.
interrupted=" "
drain() {
  local pid=$1 file=$2 last=-1 size quiet=0
  for _ in $(seq 1 300); do
    kill -0 "$pid" 2>/dev/null || return 0
    size=$(stat -c %s "$file" 2>/dev/null || echo 0)
    if [ "$size" = "$last" ]; then
      quiet=$((quiet + 1))
      [ "$quiet" -ge 8 ] && break
    else
      quiet=0
      last=$size
    fi
    sleep 0.2
  done
  kill -INT "$pid" 2>/dev/null && interrupted+="$pid "
  true
}

# wait_for PID: waits and sets $waited to its exit status. The
# gst-launch-1.0 of GStreamer 1.14 (the boards') exits 2 after an interrupt
# even when -e has ended the stream cleanly; what arrived is judged by the
# report.
wait_for() {
  waited=0
  wait "$1" || waited=$?
  if [ "$waited" -eq 2 ] && [[ "$interrupted" == *" $1 "* ]]; then
    waited=0
  fi
}

# The byte stage's two ends. The receiving end listens on address $1, port
# $2; the sending end sends there, paced to the frames' timestamps when $3
# is true (datagrams are dropped when sent faster than read).
stage_head() {
  local addr=$1 port=$2 sock=$((8 * 1024 * 1024))
  case "$stage" in
    tcp) head=(tcpserversrc host="$addr" port="$port" '!' gdpdepay) ;;
    udp) head=(udpsrc address="$addr" port="$port" buffer-size=$sock caps=application/x-zarn) ;;
    rtp) head=(udpsrc address="$addr" port="$port" buffer-size=$sock
               caps="application/x-rtp,media=application,clock-rate=90000,encoding-name=X-GST"
               '!' rtpjitterbuffer latency=100 '!' rtpgstdepay) ;;
    ts) head=(udpsrc address="$addr" port="$port" buffer-size=$sock
              caps="video/mpegts,systemstream=true,packetsize=188" '!' tsdemux) ;;
    rtsp)
      head=(rtspsrc location="rtsp://$addr:$port/zarn" protocols=tcp latency=100
            '!' rtph264depay '!' video/x-h264,stream-format=avc,alignment=au) ;;
    rtp-h264|rtp-h264-bs|rtp-h265)
      local name=H264 format=avc
      [ "$codec" = h265 ] && name=H265 format=hvc1
      [ "$stage" = rtp-h264-bs ] && format=byte-stream
      head=(udpsrc address="$addr" port="$port" buffer-size=$sock
            caps="application/x-rtp,media=video,clock-rate=90000,encoding-name=$name,payload=96"
            '!' rtpjitterbuffer latency=100 '!' "rtp${codec}depay"
            '!' "video/x-$codec,stream-format=$format,alignment=au") ;;
    ts-sei) head=(udpsrc address="$addr" port="$port" buffer-size=$sock
                  caps="video/mpegts,systemstream=true,packetsize=188" '!' tsdemux
                  '!' h264parse '!' "video/x-h264,stream-format=byte-stream,alignment=au") ;;
    srt) head=(srtsrc uri="srt://$addr:$port?mode=listener&latency=50" '!' gdpdepay) ;;
  esac
}
stage_tail() {
  local addr=$1 port=$2 sync=$3
  case "$stage" in
    tcp) tail=(gdppay '!' tcpclientsink host="$addr" port="$port" sync=false) ;;
    udp) tail=(udpsink host="$addr" port="$port" sync="$sync") ;;
    rtp) tail=(rtpgstpay config-interval=1 '!' udpsink host="$addr" port="$port" sync="$sync") ;;
    ts|ts-sei) tail=(mpegtsmux alignment=7 '!' udpsink host="$addr" port="$port" sync="$sync") ;;
    rtp-h264|rtp-h264-bs|rtp-h265)
      tail=("rtp${codec}pay" pt=96)
      # A relay's avc or hvc1 input holds the parameter sets only in its
      # caps, and the receiver has no SDP: they go with every key frame.
      [[ "${4:-}" = relay && "$stage" != rtp-h264-bs ]] && tail+=(config-interval=-1)
      if [[ -n "$ffmpeg_port" && "${4:-}" != relay ]]; then
        tail+=('!' multiudpsink clients="$addr:$port,127.0.0.1:$ffmpeg_port" sync="$sync")
      else
        tail+=('!' udpsink host="$addr" port="$port" sync="$sync")
      fi ;;
    srt) tail=(gdppay '!' srtsink uri="srt://$addr:$port?mode=caller&latency=50" sync="$sync") ;;
  esac
}
stage_table() {
  case "$stage" in
    tcp) echo tcp ;;
    *) echo udp ;;
  esac
}

# Paced where a datagram stage or SRT's live mode needs it; as fast as the
# stage goes otherwise.
rate=30/1
pace=false
case "$stage" in
  udp) rate=60/1; pace=true ;;
  rtp|ts|srt|rtp-h264|rtp-h264-bs|rtp-h265|ts-sei) pace=true ;;
esac
mux=(zarnnvmetamux)
$sei && mux+=(carrier=sei)
metadata=(zarndemorecords mux-width=1280 mux-height=720
          '!' zarndemostreammux
          '!' zarndemodetector num-objects="$objects" seed=7 ball=true)
video=(videotestsrc num-buffers="$frames" pattern=ball
       '!' "video/x-raw,format=I420,width=$width,height=$height,framerate=$rate")
h264_decode=("${codec}parse" '!' "avdec_$codec")
# The encoder's own stream, in the form the stage takes.
encoder=(x264enc tune=zerolatency speed-preset=ultrafast key-int-max=30)
[ "$codec" = h265 ] && encoder=(x265enc tune=zerolatency speed-preset=ultrafast key-int-max=30)
format=byte-stream
[[ "$stage" = mp4 || "$stage" = mkv ]] && format=avc
encoder+=('!' "video/x-$codec,stream-format=$format,alignment=au")
# $1: where the sender's tap writes.
sender_pipeline() {
  if [ "$stage" = ts ] || $sei; then
    # GStreamer's encoders drop the SDK's metadata (its API is tagged
    # "nvdsmeta", they keep only video metas), so the demo's stand-ins for
    # the SDK attach theirs after the encoder. The sender decodes its own
    # stream too, for comparing with what the receiver decodes.
    # The same stream through the stage without the mux: what a stage that
    # rewrites the framing must deliver.
    branches=()
    if $reframed; then
      stage_head 127.0.0.1 0
      if [ "$stage" = ts-sei ]; then
        branches+=(encoded. '!' queue '!' mpegtsmux alignment=7 "${head[@]:5}")
      elif [ "$stage" = rtsp ]; then
        # The receiver's depayloader has the parameter sets from the SDP,
        # as this one has them from the payloader's caps.
        branches+=(encoded. '!' queue '!' rtph264pay pt=96 "${head[@]:4}")
      else
        # With the receiver's caps, which lack the payloader's
        # sprop-parameter-sets: the depayloader treats the first access
        # unit differently with them.
        branches+=(encoded. '!' queue '!' "rtp${codec}pay" pt=96
                   '!' capssetter join=false replace=true "${head[4]}" "${head[@]:5}")
      fi
      branches+=('!' zarndemotap location="$out/sender-reframed.tsv" '!' fakesink sync=false)
    fi
    # A recording of the encoder's own output, for the players to compare.
    [ -n "$ffmpeg_port" ] &&
      branches+=(encoded. '!' queue '!' filesink location="$out/plain.h264")
    case "$stage" in
      mp4) branches+=(encoded. '!' queue '!' mp4mux '!' filesink location="$out/plain.mp4") ;;
      mkv) branches+=(encoded. '!' queue '!' matroskamux '!' filesink location="$out/plain.mkv") ;;
    esac
    source=("${video[@]}" '!' "${encoder[@]}"
            '!' tee name=encoded
            '!' queue '!' "${h264_decode[@]}" '!' zarndemotap location="$out/sender-decoded.tsv"
            '!' fakesink sync=false
            "${branches[@]}"
            encoded. '!' queue '!' "${metadata[@]}")
  else
    source=("${video[@]}" '!' "${metadata[@]}")
  fi
  source+=('!' zarndemotap location="$1" '!' "${mux[@]}" savepath="$out/sender-documents.txt")
}
check=(zarnnvmetademux '!' zarndemotap location="$out/receiver.tsv")
# With the SEI, a consumer without the demux decodes what arrived.
if $sei; then
  check=(tee name=arrived '!' queue '!' "${h264_decode[@]}"
         '!' zarndemotap location="$out/receiver-decoded.tsv" '!' fakesink sync=false
         arrived. '!' queue '!' "${check[@]}")
fi
[ "$stage" = shm ] && check+=(num-buffers="$frames")
receiver_mux=(zarnnvmetamux savepath="$out/receiver-documents.txt" '!' fakesink sync=false)
# What came through, drawn: every restored object on its frame, and a few
# frames spread over the run on one contact sheet. Where the stage carries
# the video's caps (raw UDP and shared memory do not; H.264 loses the
# metadata in the decoder).
picture=false
case "$stage" in
  tcp|file|rtp|srt) picture=true ;;
esac
if [ "$stage" = ts ]; then
  # The demux before the parser and the decoder: they get the encoder's
  # bytes back.
  check+=('!' tee name=restored '!' queue '!' "${receiver_mux[@]}"
          restored. '!' queue '!' "${h264_decode[@]}"
          '!' zarndemotap location="$out/receiver-decoded.tsv" '!' fakesink sync=false)
elif $picture; then
  check+=('!' tee name=restored '!' queue '!' "${receiver_mux[@]}"
          restored. '!' queue '!' zarndemooverlay '!' videoconvert '!' video/x-raw,format=BGRx
          '!' zarndemosheet location="$out/contact-sheet.png" expected="$frames" tile-width=480
          '!' fakesink sync=false)
else
  check+=('!' "${receiver_mux[@]}")
fi
rm -f "$out"/*.tsv "$out"/*-documents.txt "$out"/*.log "$out"/*.png

# ffmpeg as a second RTP receiver, without the demux: rtp-h264 on one host.
ffmpeg_port=""
ffmpeg_pid=""
if [[ "$stage" = rtp-h264 && "$hosts" = 1 && -z "$fault" ]] && command -v ffmpeg > /dev/null; then
  ffmpeg_port=$(free_port udp)
fi
receiver_pid=""
sender_pid=""
relay_pid=""
link_pid=""
sender_status=0
send_ns=()
relay_ns=()
recv_ns=()
namespaces=()
relay_addr=127.0.0.1
recv_addr=127.0.0.1
# Whatever failed, no process and no namespace of the demo outlives it.
cleanup() {
  for pid in "$receiver_pid" "$sender_pid" "$relay_pid" "$link_pid" "$ffmpeg_pid"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
  done
  for ns in "${namespaces[@]}"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null
    ip netns del "$ns" 2>/dev/null
  done
  return 0
}
trap cleanup EXIT
# A test runner's time-out ends the run with SIGTERM: clean up then too.
trap 'exit 143' TERM
trap 'exit 130' INT

# Hosts of their own: namespaces, veth pairs between them, addresses of
# their own. Only these addresses are ever used.
add_host() {
  ip netns add "$1" 2>/dev/null || return 1
  namespaces+=("$1")
  ip -n "$1" link set lo up
}
# $1 and $2: namespaces; $3: the 10.x.y network between them.
add_link() {
  local a=$1 b=$2 net=$3 ia="z$$a${#namespaces[@]}" ib="z$$b${#namespaces[@]}"
  ip link add "$ia" type veth peer name "$ib" 2>/dev/null || return 1
  ip link set "$ia" netns "$a" && ip link set "$ib" netns "$b" || return 1
  ip -n "$a" addr add "$net.1/24" dev "$ia" && ip -n "$b" addr add "$net.2/24" dev "$ib" &&
    ip -n "$a" link set "$ia" up && ip -n "$b" link set "$ib" up
}
make_hosts() {
  local n=$(($$ % 200 + 20)) s="zarn-send-$$" r="zarn-recv-$$" m="zarn-relay-$$"
  add_host "$s" && add_host "$r" || return 1
  send_ns=(ip netns exec "$s")
  recv_ns=(ip netns exec "$r")
  relay_ns=("${recv_ns[@]}")
  if [ "$hosts" = 2 ]; then
    add_link "$s" "$r" "10.77.$n" || return 1
    recv_addr="10.77.$n.2"
    relay_addr=$recv_addr
  else
    add_host "$m" || return 1
    add_link "$s" "$m" "10.77.$n" && add_link "$m" "$r" "10.78.$n" || return 1
    relay_ns=(ip netns exec "$m")
    relay_addr="10.77.$n.2"
    recv_addr="10.78.$n.2"
  fi
}
if [ "$hosts" != 1 ] && ! make_hosts; then
  echo "skipped: network namespaces cannot be made here (needs root and 'ip netns')"
  exit 77
fi

# $1: the sender's tap file; the rest: where it sends.
start_sender() {
  local tap=$1
  shift
  sender_pipeline "$tap"
  "${send_ns[@]}" "${launch[@]}" "${source[@]}" '!' "$@" >> "$out/sender.log" 2>&1 &
  sender_pid=$!
}
# Waits for the sender; in the background, so that a signal to the demo is
# handled (and everything cleaned up) at once.
wait_sender() {
  wait "$sender_pid" || sender_status=$?
  sender_pid=""
}

start=$(date +%s.%N)
if $network; then
  table=$(stage_table)
  port=$(free_port "$table")
  stage_head "$recv_addr" "$port"
  checked receiver
  "${recv_ns[@]}" "${checked_run[@]}" "${head[@]}" '!' "${check[@]}" \
    > "$out/receiver.log" 2>&1 &
  receiver_pid=$!
  wait_port receiver "$table" "$port"
  if [ -n "$ffmpeg_port" ]; then
    printf '%s\n' v=0 "o=- 0 0 IN IP4 127.0.0.1" s=zarn "c=IN IP4 127.0.0.1" "t=0 0" \
      "m=video $ffmpeg_port RTP/AVP 96" "a=rtpmap:96 H264/90000" > "$out/stream.sdp"
    # Its parser holds the last access unit until the next one begins,
    # which never comes: it stops by itself after the frame before it, once
    # its input has timed out (which it logs as an error of its own).
    timeout -k 5 60 ffmpeg -nostdin -y -v error -protocol_whitelist file,udp,rtp \
      -i "$out/stream.sdp" -map 0:v -frames:v $((frames - 1)) -f framemd5 "$out/ffmpeg-rtp.md5" \
      2> "$out/ffmpeg-rtp.log" &
    ffmpeg_pid=$!
    wait_port receiver udp "$ffmpeg_port"
  fi
  send_addr=$recv_addr
  send_port=$port
  if $relay; then
    relay_port=$(free_port "$table")
    stage_head "$relay_addr" "$relay_port"
    relay_head=("${head[@]}")
    stage_tail "$recv_addr" "$port" false relay
    relay_check=(zarnnvmetademux)
    # Behind a faulty link the relay's demux is judged: what arrived and
    # what it passed on are both written down, and its warnings logged.
    [ -n "$fault" ] && relay_check=(zarndemotap location="$out/relay-arrived.tsv"
                                    '!' zarnnvmetademux)
    # tsdemux does not say how the H.264 stream is aligned, and mpegtsmux
    # takes whole access units only. Each buffer is one (the sender's
    # mpegtsmux got them so): capssetter says so and leaves the bytes alone.
    # A parser would do it too, but it moves each buffer's metadata to the
    # access unit before.
    [ "$stage" = ts ] && relay_check+=('!' capssetter caps="video/x-h264,alignment=(string)au")
    # The rtp-h264 relay's caps come from the depayloader.
    checked relay
    GST_DEBUG=${ZARN_RELAY_DEBUG:-zarnnvmetademux:2} "${relay_ns[@]}" "${checked_run[@]}" \
      "${relay_head[@]}" '!' "${relay_check[@]}" '!' zarndemotap location="$out/relay.tsv" \
      '!' "${mux[@]}" savepath="$out/relay-documents.txt" '!' "${tail[@]}" \
      > "$out/relay.log" 2>&1 &
    relay_pid=$!
    wait_port relay "$table" "$relay_port"
    send_addr=$relay_addr
    send_port=$relay_port
    case "$fault" in
      ""|restart) ;;
      *)
        link_port=$(free_port udp)
        "${relay_ns[@]}" "${bounded[@]}" python3 "$here/fault_link.py" \
          --listen "$relay_addr:$link_port" --forward "$relay_addr:$relay_port" \
          --fault "$fault" --rate "$fault_rate" --seed $$ > "$out/fault-link.log" 2>&1 &
        link_pid=$!
        wait_port relay udp "$link_port"
        send_port=$link_port
        ;;
    esac
  fi
  stage_tail "$send_addr" "$send_port" "$pace"
  if [ "$fault" = restart ]; then
    # Killed mid-stream, then started again from the first frame.
    start_sender "$out/sender-1.tsv" "${tail[@]}"
    for _ in $(seq 1 200); do
      [ -f "$out/sender-1.tsv" ] && [ "$(wc -l < "$out/sender-1.tsv")" -ge $((frames / 2)) ] && break
      sleep 0.05
    done
    kill -KILL "$sender_pid" 2>/dev/null || true
    wait "$sender_pid" 2>/dev/null || true
    start_sender "$out/sender-2.tsv" "${tail[@]}"
    wait_sender
    # One list of what was sent, numbered through.
    cat "$out/sender-1.tsv" "$out/sender-2.tsv" |
      awk -F '\t' -v OFS='\t' '{$1 = NR - 1; print}' > "$out/sender.tsv"
  else
    start_sender "$out/sender.tsv" "${tail[@]}"
    wait_sender
  fi
  relay_status=0
  if $relay; then
    $datagrams && drain "$relay_pid" "$out/relay.tsv"
    wait_for "$relay_pid"
    relay_status=$waited
    relay_pid=""
    if [ -n "$link_pid" ]; then
      kill "$link_pid" 2>/dev/null || true
      wait "$link_pid" 2>/dev/null || true
      link_pid=""
    fi
  fi
  $datagrams && drain "$receiver_pid" "$out/receiver.tsv"
  if [ -n "$ffmpeg_pid" ]; then
    wait "$ffmpeg_pid" 2> /dev/null || true
    ffmpeg_pid=""
  fi
else
  case "$stage" in
    shm)
      socket="$out/shm-socket"
      rm -f "$socket"
      sender_pipeline "$out/sender.tsv"
      "${bounded[@]}" "${launch[@]}" "${source[@]}" '!' shmsink socket-path="$socket" \
        wait-for-connection=true shm-size=$((64 * 1024 * 1024)) sync=false \
        > "$out/sender.log" 2>&1 &
      sender_pid=$!
      wait_file "$socket"
      "${bounded[@]}" "${launch[@]}" shmsrc socket-path="$socket" is-live=true '!' "${check[@]}" \
        > "$out/receiver.log" 2>&1 &
      receiver_pid=$!
      # shmsink may report an error when the reader leaves right after the
      # last buffer; what arrived is judged by the report below.
      wait_sender
      ;;
    file)
      start_sender "$out/sender.tsv" gdppay '!' filesink location="$out/stream.gdp" sync=false
      wait_sender
      "${bounded[@]}" "${launch[@]}" filesrc location="$out/stream.gdp" '!' gdpdepay \
        '!' "${check[@]}" > "$out/receiver.log" 2>&1 &
      receiver_pid=$!
      ;;
    rtsp)
      # The server is the sender: its media is made when the receiver
      # connects, and ends with the last frame; the receiver is drained.
      port=$(free_port tcp)
      sender_pipeline "$out/sender.tsv"
      "${bounded[@]}" "$rtsp_python" "$here/rtsp_server.py" --port "$port" \
        --launch "( ${source[*]} ! rtph264pay name=pay0 pt=96 )" > "$out/sender.log" 2>&1 &
      sender_pid=$!
      wait_port receiver tcp "$port"
      stage_head 127.0.0.1 "$port"
      "${bounded[@]}" "${launch[@]}" "${head[@]}" '!' "${check[@]}" > "$out/receiver.log" 2>&1 &
      receiver_pid=$!
      drain "$receiver_pid" "$out/receiver.tsv"
      kill "$sender_pid" 2> /dev/null || true
      wait "$sender_pid" 2> /dev/null || true
      sender_pid=""
      ;;
    mp4|mkv)
      container=(mp4mux) demuxer=(qtdemux)
      [ "$stage" = mkv ] && container=(matroskamux) demuxer=(matroskademux)
      start_sender "$out/sender.tsv" "${container[@]}" '!' filesink location="$out/stream.$stage" \
        sync=false
      wait_sender
      "${bounded[@]}" "${launch[@]}" filesrc location="$out/stream.$stage" '!' "${demuxer[@]}" \
        '!' "${check[@]}" > "$out/receiver.log" 2>&1 &
      receiver_pid=$!
      ;;
  esac
fi
wait_for "$receiver_pid"
receiver_status=$waited
receiver_pid=""
end=$(date +%s.%N)

where="one host"
[ "$hosts" = 1 ] || where="$hosts hosts"
echo "stage: $stage on $where, $frames frames of ${width}x${height}, $objects objects per frame," \
  "$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.1f", b - a}') s"
[ "$sender_status" -eq 0 ] || echo "sender exited with status $sender_status" \
  "(see $out/sender.log)"
[ "$receiver_status" -eq 0 ] || echo "receiver exited with status $receiver_status" \
  "(see $out/receiver.log)"
if $memcheck; then
  for name in relay receiver; do
    [ -f "$out/$name-memcheck.log" ] || continue
    if [ -s "$out/$name-memcheck.log" ]; then
      echo "memcheck: the $name has memory errors or leaks (see $out/$name-memcheck.log)"
    else
      echo "memcheck: the $name ran without a memory error or a definite leak"
    fi
  done
fi
status=0
[ "$receiver_status" -eq 0 ] || status=1
# shmsink may fail as the reader leaves (above); any other sender must not.
[ "$sender_status" -eq 0 ] || [ "$stage" = shm ] || status=1

if [ -n "$fault" ]; then
  [ "$relay_status" -eq 0 ] || { echo "relay exited with status $relay_status" \
    "(see $out/relay.log)"; status=1; }
  echo "fault: $fault$([ "$fault" = restart ] || echo ", a share of $fault_rate of the datagrams")"
  [ -f "$out/fault-link.log" ] && sed 's/^/  link: /' "$out/fault-link.log"
  warnings=$(grep -c 'WARN.*zarnnvmetademux' "$out/relay.log" || true)
  reference=()
  $reframed && reference=(--payload-from "$out/sender-reframed.tsv")
  "$build/demo/zarn-demo-report" --faults --warnings "$warnings" "${reference[@]}" "$out/sender.tsv" \
    "$out/relay-arrived.tsv" "$out/relay.tsv" "$out/receiver.tsv" || status=1
  exit "$status"
fi

lossy=()
[ "$stage" = srt ] && lossy=(--lossy)
relay_tap=()
if $relay; then
  relay_tap=(--relay "$out/relay.tsv")
  mask() { sed -E 's/"pipeline_time":-?[0-9]+/"pipeline_time":P/g' "$1"; }
  if [ "$relay_status" -ne 0 ]; then
    echo "relay exited with status $relay_status (see $out/relay.log)"
    status=1
  elif [ "$stage" = srt ] &&
      [ -z "$(comm -13 <(mask "$out/sender-documents.txt" | sort) \
                       <(mask "$out/relay-documents.txt" | sort))" ]; then
    echo "relay: $(wc -l < "$out/relay-documents.txt") documents, each one of the sender's" \
      "(\"pipeline_time\" aside)"
  elif cmp -s <(mask "$out/sender-documents.txt") <(mask "$out/relay-documents.txt"); then
    echo "relay: $(wc -l < "$out/relay-documents.txt") documents, each the sender's" \
      "(\"pipeline_time\" aside)"
  else
    echo "relay: its documents differ from the sender's (see $out/relay-documents.txt)"
    status=1
  fi
fi
expect=(--expect "$frames")
$reframed && expect+=(--payload-from "$out/sender-reframed.tsv")
"$build/demo/zarn-demo-report" "${expect[@]}" "${lossy[@]}" "${relay_tap[@]}" \
  --plot "$out/latency.png" "$out/sender.tsv" "$out/receiver.tsv" "$out/sender-documents.txt" \
  "$out/receiver-documents.txt" || status=1
if $picture; then
  if [ -s "$out/contact-sheet.png" ]; then
    echo "  contact sheet $out/contact-sheet.png: restored objects drawn on frames spread" \
      "over the run (magenta: the ball, found in the pixels; the rest synthetic)"
  else
    echo "  contact sheet $out/contact-sheet.png was not written (see $out/receiver.log)"
    status=1
  fi
fi
if [ "$stage" = ts ] || $sei; then
  # Decoding what came through gives the frames that decoding the
  # encoder's own output gave; with the SEI, without the demux.
  decoded() { cut -f4,5 "$1" 2>/dev/null; }
  if [ -s "$out/sender-decoded.tsv" ] &&
      cmp -s <(decoded "$out/sender-decoded.tsv") <(decoded "$out/receiver-decoded.tsv"); then
    echo "  decoded     $(wc -l < "$out/receiver-decoded.tsv") frames, each identical to" \
      "decoding the encoder's output"
  else
    echo "  decoded     frames differ from decoding the encoder's output" \
      "(see $out/receiver-decoded.tsv)"
    status=1
  fi
fi
if [ -n "$ffmpeg_port" ]; then
  # The frames' sizes and hashes; the timestamps of a file and of RTP
  # differ.
  hashes() { { grep -v '^#' "$1" || true; } | awk -F, '{print $5 $6}'; }
  ffmpeg -nostdin -y -v error -i "$out/plain.h264" -map 0:v -f framemd5 "$out/ffmpeg-plain.md5" \
    2> "$out/ffmpeg-plain.log"
  got=$(hashes "$out/ffmpeg-rtp.md5" | wc -l)
  errors=$(grep -vc 'Connection timed out' "$out/ffmpeg-rtp.log" || true)
  if [ "$got" -eq $((frames - 1)) ] && [ "$errors" -eq 0 ] &&
      cmp -s <(hashes "$out/ffmpeg-plain.md5" | head -n "$got") <(hashes "$out/ffmpeg-rtp.md5"); then
    echo "  ffmpeg      received the RTP stream: $got frames (all but the last, which it" \
      "holds until a next one), each identical to decoding the encoder's output, no error"
  else
    echo "  ffmpeg      $got frames of the RTP stream, or they differ from the encoder's" \
      "output, or errors (see $out/ffmpeg-rtp.md5, $out/ffmpeg-rtp.log)"
    status=1
  fi
fi
if [[ "$stage" = mp4 || "$stage" = mkv ]]; then
  # Players outside GStreamer: ffmpeg decodes the recording with the SEI to
  # the frames of the encoder's own recording, without an error.
  if command -v ffmpeg > /dev/null; then
    frames_of() { ffmpeg -nostdin -y -v error -i "$1" -map 0:v -f framemd5 - 2> "$2" | grep -v '^#'; }
    if cmp -s <(frames_of "$out/plain.$stage" "$out/ffmpeg-plain.log") \
          <(frames_of "$out/stream.$stage" "$out/ffmpeg.log") &&
        [ ! -s "$out/ffmpeg.log" ] &&
        [ "$(frames_of "$out/stream.$stage" /dev/null | wc -l)" -eq "$frames" ]; then
      echo "  ffmpeg      $frames frames, each identical to decoding the encoder's own" \
        "recording, no error"
    else
      echo "  ffmpeg      frames differ from the encoder's own recording, or errors" \
        "(see $out/ffmpeg.log)"
      status=1
    fi
  else
    echo "  ffmpeg      not installed: the recording was not played outside GStreamer"
  fi
fi
exit "$status"
