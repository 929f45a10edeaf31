#!/usr/bin/env bash
# Runs a sender and a receiver as two gst-launch-1.0 processes that share
# nothing but a byte stage, then compares what was sent with what was
# restored. Exit status 0 only when every buffer came back with identical
# payload bytes and metadata.
#
#   run_demo.sh --build DIR [--stage tcp|shm|udp|file] [--frames N]
#               [--objects K] [--width W] [--height H] [--out DIR] [--relay]
#
# --relay (tcp only) puts a third process between them that demuxes and
# muxes again, as an aggregator relaying the stream further does; its
# documents must be the sender's, "pipeline_time" aside.
#
# --hosts 2 (tcp, udp) runs the sender and the receiver (and the relay) on
# two hosts of their own: network namespaces joined by a veth pair with
# addresses 10.77.N.1 and 10.77.N.2, made for the run and removed after it,
# also when it fails. Where namespaces cannot be made the run is skipped
# (exit status 77).
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
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[ -n "$build" ] || { echo "--build DIR is required" >&2; exit 2; }
if $relay && [ "$stage" != tcp ]; then
  echo "--relay runs over the tcp stage only" >&2
  exit 2
fi
case "$hosts:$stage" in
  1:*|2:tcp|2:udp) ;;
  *) echo "--hosts is 1, or 2 with the tcp or udp stage" >&2; exit 2 ;;
esac
build=$(cd "$build" && pwd)
[ -n "$out" ] || out=$(mktemp -d /tmp/zarn-demo-XXXXXX)
mkdir -p "$out"
out=$(cd "$out" && pwd)

export GST_PLUGIN_PATH="$build/src:$build/demo/gstzarndemo"
export GST_REGISTRY="$out/registry.bin"
# The demo's processes only talk to each other: nothing here may wait on a
# clock of another machine.
launch=(gst-launch-1.0 -q)

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

# Waits until the receiver's host has a socket on the port: a listening
# one for tcp (state 0A), a bound one for udp. Up to 30 s: a loaded machine
# starts gst-launch-1.0 slowly.
wait_port() {
  local table=$1 port=$2 hex state=""
  hex=$(printf '%04X' "$port")
  [ "$table" = tcp ] && state=0A
  for _ in $(seq 1 600); do
    if "${recv_ns[@]}" awk -v state="$state" 'NR > 1 && (state == "" || $4 == state) {print $2}' \
        "/proc/net/$table" "/proc/net/${table}6" 2>/dev/null | grep -qi ":$hex\$"; then
      return 0
    fi
    sleep 0.05
  done
  echo "receiver has no $table socket on port $port" >&2
  return 1
}

# Runs the sender to its end. In the background, so that a signal to the
# demo is handled (and everything cleaned up) at once.
run_sender() {
  "$@" > "$out/sender.log" 2>&1 &
  sender_pid=$!
  wait "$sender_pid" || sender_status=$?
  sender_pid=""
}

wait_file() {
  for _ in $(seq 1 600); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  echo "$1 did not appear" >&2
  return 1
}

# As fast as the stages go, except UDP: paced, so that no datagram is
# dropped.
rate=30/1
sync=false
[ "$stage" = udp ] && rate=60/1 && sync=true
source=(videotestsrc num-buffers="$frames" pattern=ball
        '!' "video/x-raw,format=I420,width=$width,height=$height,framerate=$rate"
        '!' zarndemorecords mux-width=1280 mux-height=720
        '!' zarndemostreammux
        '!' zarndemodetector num-objects="$objects" seed=7
        '!' zarndemotap location="$out/sender.tsv"
        '!' zarnnvmetamux savepath="$out/sender-documents.txt")
check=(zarnnvmetademux
       '!' zarndemotap location="$out/receiver.tsv" num-buffers="$frames"
       '!' zarnnvmetamux savepath="$out/receiver-documents.txt"
       '!' fakesink sync=false)
rm -f "$out"/*.tsv "$out"/*-documents.txt

receiver_pid=""
sender_pid=""
relay_pid=""
sender_status=0
send_ns=()
recv_ns=()
namespaces=()
recv_addr=127.0.0.1
# Whatever failed, no process and no namespace of the demo outlives it.
cleanup() {
  for pid in "$receiver_pid" "$sender_pid" "$relay_pid"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
  done
  for ns in "${namespaces[@]}"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null
    ip netns del "$ns" 2>/dev/null
  done
  return 0
}
trap cleanup EXIT
# A test runner's time-out ends the run with SIGTERM: clean up then too.
trap 'exit 143' TERM
trap 'exit 130' INT

# Two hosts: the sender's and the receiver's namespace, a veth pair between
# them, addresses of their own. Only these addresses are ever used.
make_hosts() {
  local n=$(($$ % 200 + 20)) s="zarn-send-$$" r="zarn-recv-$$"
  ip netns add "$s" 2>/dev/null || return 1
  namespaces+=("$s")
  ip netns add "$r" 2>/dev/null || return 1
  namespaces+=("$r")
  ip link add "zs$$" type veth peer name "zr$$" 2>/dev/null || return 1
  ip link set "zs$$" netns "$s" && ip link set "zr$$" netns "$r" || return 1
  ip -n "$s" addr add "10.77.$n.1/24" dev "zs$$" &&
    ip -n "$r" addr add "10.77.$n.2/24" dev "zr$$" || return 1
  for link in "$s lo" "$s zs$$" "$r lo" "$r zr$$"; do
    set -- $link
    ip -n "$1" link set "$2" up || return 1
  done
  send_ns=(ip netns exec "$s")
  recv_ns=(ip netns exec "$r")
  recv_addr="10.77.$n.2"
}
if [ "$hosts" = 2 ] && ! make_hosts; then
  echo "skipped: network namespaces cannot be made here (needs root and 'ip netns')"
  exit 77
fi
send=("${send_ns[@]}" "${launch[@]}")
recv=("${recv_ns[@]}" "${launch[@]}")

start=$(date +%s.%N)
case "$stage" in
  tcp)
    port=$(free_port tcp)
    "${recv[@]}" tcpserversrc host="$recv_addr" port="$port" '!' gdpdepay '!' "${check[@]}" \
      > "$out/receiver.log" 2>&1 &
    receiver_pid=$!
    wait_port tcp "$port"
    if $relay; then
      relay_port=$(free_port tcp)
      timeout 120 "${recv[@]}" tcpserversrc host="$recv_addr" port="$relay_port" '!' gdpdepay \
        '!' zarnnvmetademux '!' zarnnvmetamux savepath="$out/relay-documents.txt" \
        '!' gdppay '!' tcpclientsink host="$recv_addr" port="$port" sync=false \
        > "$out/relay.log" 2>&1 &
      relay_pid=$!
      wait_port tcp "$relay_port"
      port=$relay_port
    fi
    run_sender "${send[@]}" "${source[@]}" '!' gdppay '!' tcpclientsink host="$recv_addr" \
      port="$port" sync=false
    ;;
  shm)
    socket="$out/shm-socket"
    rm -f "$socket"
    "${launch[@]}" "${source[@]}" '!' shmsink socket-path="$socket" wait-for-connection=true \
      shm-size=$((64 * 1024 * 1024)) sync=false > "$out/sender.log" 2>&1 &
    sender_pid=$!
    wait_file "$socket"
    timeout 120 "${launch[@]}" shmsrc socket-path="$socket" is-live=true '!' "${check[@]}" \
      > "$out/receiver.log" 2>&1 &
    receiver_pid=$!
    # shmsink may report an error when the reader leaves right after the
    # last buffer; what arrived is judged by the report below.
    wait "$sender_pid" || sender_status=$?
    sender_pid=""
    ;;
  udp)
    port=$(free_port udp)
    timeout 120 "${recv[@]}" udpsrc address="$recv_addr" port="$port" \
      buffer-size=$((8 * 1024 * 1024)) caps=application/x-zarn '!' "${check[@]}" \
      > "$out/receiver.log" 2>&1 &
    receiver_pid=$!
    wait_port udp "$port"
    run_sender "${send[@]}" "${source[@]}" '!' udpsink host="$recv_addr" port="$port" sync=$sync
    ;;
  file)
    run_sender "${launch[@]}" "${source[@]}" '!' gdppay '!' filesink location="$out/stream.gdp" \
      sync=false
    "${launch[@]}" filesrc location="$out/stream.gdp" '!' gdpdepay '!' "${check[@]}" \
      > "$out/receiver.log" 2>&1 &
    receiver_pid=$!
    ;;
  *)
    echo "unknown stage: $stage (tcp, shm, udp, file)" >&2
    exit 2
    ;;
esac
receiver_status=0
wait "$receiver_pid" || receiver_status=$?
receiver_pid=""
end=$(date +%s.%N)

echo "stage: $stage, $frames frames of ${width}x${height}, $objects objects per frame," \
  "$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.1f", b - a}') s"
[ "$sender_status" -eq 0 ] || echo "sender exited with status $sender_status" \
  "(see $out/sender.log)"
[ "$receiver_status" -eq 0 ] || echo "receiver exited with status $receiver_status" \
  "(see $out/receiver.log)"
relay_status=0
if $relay; then
  # The relay ends when the sender's connection closes; it has to by now.
  wait "$relay_pid" || relay_status=$?
  relay_pid=""
  mask() { sed -E 's/"pipeline_time":-?[0-9]+/"pipeline_time":P/g' "$1"; }
  if [ "$relay_status" -ne 0 ]; then
    echo "relay exited with status $relay_status (see $out/relay.log)"
  elif cmp -s <(mask "$out/sender-documents.txt") <(mask "$out/relay-documents.txt"); then
    echo "relay: $(wc -l < "$out/relay-documents.txt") documents, each the sender's" \
      "(\"pipeline_time\" aside)"
  else
    echo "relay: its documents differ from the sender's (see $out/relay-documents.txt)"
    relay_status=1
  fi
fi
report_status=0
"$build/demo/zarn-demo-report" --expect "$frames" "$out/sender.tsv" "$out/receiver.tsv" \
  "$out/sender-documents.txt" "$out/receiver-documents.txt" || report_status=$?
[ "$relay_status" -eq 0 ] || exit 1
# shmsink may fail as the reader leaves (above); any other sender must not.
[ "$sender_status" -eq 0 ] || [ "$stage" = shm ] || exit 1
exit "$report_status"
