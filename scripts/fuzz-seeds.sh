#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Writes the fuzz targets' seed corpora into OUT_DIR/<target>/: small recordings from
# roadeye-mkcard and their AVI copies, the card's settings file, telemetry records and the
# cameras' H.264 streams, other cameras' metadata made here, plus a few hand-made inputs.
# Nothing of it is committed.
#
#   scripts/fuzz-seeds.sh BIN_DIR OUT_DIR      (BIN_DIR: a normal build's bin, with the tools)
set -euo pipefail
bin=$(realpath "$1")
out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"/{vex,avi,telemetry,settings,decoder,cards,container,gpmf,tesla_sei,nmea,blackvue,gpx,garmin}
mkdir -p "$out"/{freegps,camera_metadata}

# Small pictures, a few of them: a run makes many executions a second.
"$bin/roadeye-mkcard" "$work/card" --seconds 1 --count 1 --kinds REC,EVENT --rear mixed \
  --front 128x64 --rear-size 64x64 --fps 5 > /dev/null
cp "$work"/card/VEX/*.vex "$out/vex/"
"$bin/roadeye-convert" "$work/card" "$work/avi" > /dev/null || true
cp "$work"/avi/*.avi "$out/avi/"
cp "$work/card/SETTING/blackbox.cfg" "$out/settings/camera.cfg"
printf '[config]\r\nbrightness=3\r\nvolume=50\r\n[Info]\r\nTargetFolder="/home/u/clips"\r\n' \
  > "$out/settings/viewer.ini"

name=$(basename "$(ls "$work"/card/VEX/*_D.vex | head -1)" .vex)
"$bin/roadeye-vexdump" "$work/card" "$name.avi" "$work/dump" > /dev/null
{ printf '\x00'; cat "$work/dump/front.h264"; } > "$out/decoder/front"
{ printf '\x01'; cat "$work/dump/rear.h264"; } > "$out/decoder/rear"
{ printf '\x06'; head -c 1200 "$work/dump/front.h264"; } > "$out/decoder/front-small-surface"
# Two frame threads, each picture's successor named first; and never named (drains and replays).
{ printf '\x40'; cat "$work/dump/front.h264"; } > "$out/decoder/front-frame-threads"
{ printf '\xc1'; cat "$work/dump/rear.h264"; } > "$out/decoder/rear-frame-threads-unnamed"

printf 'G$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\x00M\x82\x87\x82\x00M\x7f\x8a\x80' \
  > "$out/telemetry/fix-and-samples"
printf '$GPRMC,000000.000,V,0000.0000,S,00000.0000,W,0.0,0.0,010100,,,N*7F\x00' \
  > "$out/telemetry/no-fix"

# The cards library: a card's file names (0), a Tesla event file (1) and recording containers (2).
printf '\x00DCIM/Movie/2024_0612_081500_001F.MP4\nDCIM/Movie/Parking/20240612081500_000002PR.MP4\n%s\n%s\n%s\n%s\n%s\n' \
  'Record/20240612_081500_NF.mp4' 'cont_rec/REC_2024_06_12_08_15_00_F.MP4' \
  'Normal/Back/NO20240612-081500-000001B.MP4' \
  'TeslaCam/SavedClips/2024-06-12_08-16-00/2024-06-12_08-15-00-left_repeater.mp4' \
  'DCIM/105UNSVD/GRMN0042.MP4' > "$out/cards/names"
printf '\x01{"timestamp":"2024-06-12T08:16:00","city":"Seoul","est_lat":"37.5665","est_lon":"126.9780","reason":"sentry_aware_object_detection","camera":"0"}' \
  > "$out/cards/event"
for container in mp4 ts; do
  "$bin/roadeye-mkcard" "$work/novatek-$container" --family novatek --container "$container" \
    --seconds 1 --count 1 --kinds REC --rear no --no-damaged --front 128x64 --fps 5 > /dev/null
  { printf '\x02'; cat "$(find "$work/novatek-$container" -type f -iname "*F.$container" | head -1)"; } \
    > "$out/cards/$container"
done

# The container reader: [two files?, seek][first file's length, 4 bytes little-endian][front][second].
pair() {  # OUT FLAGS FRONT [SECOND]
  local out=$1 flags=$2 front=$3 second=${4:-}
  python3 - "$out" "$flags" "$front" "$second" <<'PY'
import struct, sys
out, flags, front, second = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
a = open(front, 'rb').read()
b = open(second, 'rb').read() if second else b''
open(out, 'wb').write(bytes([flags]) + struct.pack('<I', len(a)) + a + b)
PY
}
"$bin/roadeye-mkcard" "$work/pair-mp4" --family novatek --seconds 1 --count 1 --kinds REC \
  --rear yes --no-damaged --front 128x64 --rear-size 64x64 --fps 5 > /dev/null
"$bin/roadeye-mkcard" "$work/pair-ts" --family novatek --container ts --codec h265 --seconds 2 \
  --count 1 --kinds REC --rear yes --no-damaged --front 128x64 --rear-size 64x64 --fps 5 > /dev/null
"$bin/roadeye-mkcard" "$work/pair-tesla" --family tesla --seconds 1 --count 1 --kinds REC \
  --no-damaged --front 128x64 --rear-size 128x64 --fps 5 > /dev/null
mkdir -p "$out/container"
for card in mp4 ts; do
  f=$(find "$work/pair-$card" -type f -iname "*F.$card" | head -1)
  r=$(find "$work/pair-$card" -type f -iname "*R.$card" | head -1)
  pair "$out/container/$card-pair" 5 "$f" "$r"
  pair "$out/container/$card-front" 0 "$f"
done
t=($(find "$work/pair-tesla" -type f -name '*.mp4' | sort))
pair "$out/container/tesla-pair" 3 "${t[0]}" "${t[1]}"

# Camera metadata readers: a GoPro gpmd sample (GPS5 with its scale, clock and fix, an
# accelerometer stream) and Tesla pictures with a car state in H.264 and H.265 framing.
python3 - "$out" <<'PY'
import struct, sys
out = sys.argv[1]
def klv(key, t, ss, n, payload):
    b = key + bytes([t, ss]) + struct.pack('>H', n) + payload
    return b + bytes(-len(b) % 4)
def nest(key, items):
    p = b''.join(items)
    return klv(key, 0, 1, len(p), p)
gps = nest(b'STRM', [klv(b'GPSF', ord('L'), 4, 1, struct.pack('>I', 3)),
                     klv(b'GPSU', ord('U'), 16, 1, b'240612081500.250'),
                     klv(b'SCAL', ord('l'), 4, 5, struct.pack('>5i', 10000000, 10000000, 1000, 1000, 100)),
                     klv(b'GPS5', ord('l'), 20, 2, struct.pack('>10i', 375665000, 1269780000, 18000,
                         10000, 1000, 375666000, 1269781000, 18500, 11000, 1100))])
accl = nest(b'STRM', [klv(b'SCAL', ord('s'), 2, 1, struct.pack('>h', 418)),
                      klv(b'ACCL', ord('s'), 6, 2, struct.pack('>6h', 4099, 2050, 0, 0, 0, 8198))])
name = klv(b'DVNM', ord('c'), 1, 11, b'Hero6 Black')
open(out + '/gpmf/hero6', 'wb').write(nest(b'DEVC', [name, gps, accl]))
gps9 = nest(b'STRM', [klv(b'TYPE', ord('c'), 1, 9, b'lllllllSS'),
                      klv(b'SCAL', ord('l'), 4, 9, struct.pack('>9i', 10000000, 10000000, 1000, 1000, 1000, 1, 1000, 100, 1)),
                      klv(b'GPS9', ord('?'), 32, 1, struct.pack('>7i2H', 375665000, 1269780000, 18000,
                          10000, 10000, 8929, 29700500, 150, 3))])
open(out + '/gpmf/gps9', 'wb').write(nest(b'DEVC', [name, gps9]))
def field(n, wire, payload):
    return bytes([n << 3 | wire]) + payload
msg = (field(1, 0, b'\x01') + field(2, 0, b'\x01') + field(4, 5, struct.pack('<f', 12.5)) +
       field(7, 0, b'\x01') + field(10, 0, b'\x02') + field(11, 1, struct.pack('<d', 37.5665)) +
       field(12, 1, struct.pack('<d', 126.978)) + field(13, 1, struct.pack('<d', 0.5)) +
       field(14, 1, struct.pack('<d', 9.80665)))
def escape(b):
    o, z = bytearray(), 0
    for x in b:
        if z >= 2 and x <= 3:
            o.append(3); z = 0
        o.append(x); z = z + 1 if x == 0 else 0
    return bytes(o)
body = bytes([5, 4 + len(msg)]) + b'BBBi' + msg + b'\x80'
open(out + '/tesla_sei/h264', 'wb').write(b'\x00' + b'\x00\x00\x00\x01\x06' + escape(body) +
                                          b'\x00\x00\x01\x65\x88\x84')
sei = b'\x4e\x01' + escape(body)
open(out + '/tesla_sei/h265-lengths', 'wb').write(b'\x01' + struct.pack('>I', len(sei)) + sei)
PY

# Other cameras' metadata, made here: NMEA text read five ways (the first byte), BlackVue's free box
# payload (0) and .3gf file (1), a GPX track and Garmin text-track samples.
python3 - "$out" <<'PY'
import struct, sys
out = sys.argv[1]
def sentence(body):
    sum = 0
    for c in body.encode():
        sum ^= c
    return '$%s*%02X' % (body, sum)
rmc = sentence('GPRMC,081500.000,A,3733.9000,N,12658.6000,E,12.0,45.0,120624,,,A')
gga = sentence('GPGGA,081500.000,3733.9000,N,12658.6000,E,1,9,0.8,21.0,M,,M,,')
log = ''.join('[%d]%s\r\n[%d]%s\r\n' % (ms, rmc, ms, gga) for ms in (1718180101000, 1718180102000))
seeds = {
    'nmea/sentence': b'\x00' + rmc.encode(),
    'nmea/cue': b'\x01' + (rmc + '\r\n' + gga + '\r\n').encode(),
    'nmea/thinkware': b'\x02gsensori,4,512,-67,-12,100;' + rmc[1:].encode() +
                      b'\r\n;CAR,0,0,0,0.0,0,0,0,0,0,0,0,0',
    'nmea/sidecar': b'\x03' + (rmc + '\n' + gga + '\n').encode() * 3,
    'nmea/blackvue-log': b'\x04' + log.encode(),
}
def box(kind, body):
    return struct.pack('>I', len(body) + 8) + kind + body
records = struct.pack('>Ihhh', 0, 12, -3, 98) + struct.pack('>Ihhh', 100, -150, 0, 101) + \
    b'\xff' * 4 + bytes(6)
seeds['blackvue/free'] = b'\x00' + box(b'sttm', struct.pack('>Q', 1718180100000)) + \
    box(b'gps ', log.encode() + bytes(4)) + box(b'3gf ', records)
seeds['blackvue/3gf'] = b'\x01' + records
seeds['gpx/track'] = (
    '<?xml version="1.0"?><gpx version="1.1" xmlns="http://www.topografix.com/GPX/1/1" '
    'xmlns:x="urn:x"><wpt lat="37.5" lon="126.9"/><trk><trkseg><trkpt lat="37.5665" '
    'lon="126.978"><ele>21.5</ele><time>2024-06-12T08:15:00.500Z</time><extensions>'
    '<x:speed>12.5</x:speed><x:course>90</x:course></extensions></trkpt><trkpt lat="-37.5" '
    'lon="-126.9"><time>2024-06-12T17:15:01+09:00</time><speed>3</speed></trkpt></trkseg>'
    '</trk></gpx>').encode()
record = b'PNDM' + bytes(4) + struct.pack('>HHii', 55, 0, 448000000, 1514000000)
seeds['garmin/tx3g'] = struct.pack('>H', len(record)) + record
seeds['garmin/sized'] = struct.pack('>I', len(record) + 4) + record
for name, data in seeds.items():
    with open(out + '/' + name, 'wb') as f:
        f.write(data)
PY

# The camera-data entry: one recording file of each family as the card writer fills it, and the
# freeGPS readers: single blocks of each layout and a transport stream with its private records.
for family in novatek:mp4 novatek:ts vantrue:mp4 70mai:mp4 blackvue:mp4 thinkware:mp4 garmin:mp4 \
    tesla:mp4 generic:mp4; do
  name=${family%%:*} container=${family##*:}
  "$bin/roadeye-mkcard" "$work/meta-$name-$container" --family "$name" --container "$container" \
    --seconds 2 --count 1 --kinds REC --rear no --no-damaged --front 128x64 --fps 2 > /dev/null
  front=$(find "$work/meta-$name-$container" -type f \( -iname "*F.$container" -o -iname "*_A.mp4" \
    -o -iname "*-front.mp4" -o -iname "GRMN*" -o -iname "VID_*" -o -iname "*_F.mp4" \) | sort | head -1)
  cp "$front" "$out/camera_metadata/$name-$container"
done
python3 - "$work/meta-novatek-mp4" "$out/freegps" <<'PY'
import glob, sys
src, out = sys.argv[1], sys.argv[2]
data = open(sorted(glob.glob(src + '/**/*F.MP4', recursive=True))[0], 'rb').read()
at = data.find(b'freeGPS ')
open(out + '/common', 'wb').write(data[at:at + 256])
PY
cp "$out/camera_metadata/novatek-ts" "$out/freegps/ts"
cp "$out/camera_metadata/vantrue-mp4" "$work/vantrue.bin"
python3 - "$work/vantrue.bin" "$out/freegps/nmea" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
at = data.find(b'freeGPS ')
open(sys.argv[2], 'wb').write(data[at:at + 512])
PY
